; The Zalvo station installer: both programs under Program Files, the agent
; service installed and started, the lock screen started in every user's
; session, and a first krvini.ini with the club's server address.
;
;   zalvo-setup.exe                      interactive
;   zalvo-setup.exe /S /SERVER=a.b.c.d   silent, for deployment to many PCs
;   ... /KEY=<64 hex digits> /STATIONIP=e.f.g.h
;                                        the club's command key and this
;                                        station's address: only signed
;                                        commands are then taken
;
; An existing krvini.ini is never overwritten: an upgrade keeps the station's
; settings, and /SERVER is then not needed. The uninstaller stops and removes
; the service and the start-up entry and leaves krvini.ini in place.
;
; Built by makensis with -DZALVOS=<zalvos.exe> -DZALVOC=<zalvoc.exe>
; -DOUTFILE=<zalvo-setup.exe> -DVERSION=<x.y>.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "nsDialogs.nsh"
!include "x64.nsh"

!define SERVICE "ZalvoService"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zalvo"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE}"

Name "Zalvo"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zalvo"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "Zalvo"
VIAddVersionKey "FileDescription" "Zalvo station software setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Zalvo"

Var Server
Var CommandKey
Var StationIp
Var ServerEdit
Var Settings

Page custom ServerPage ServerPageLeave
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Leaves "ok" on the stack when $0 is a dotted IPv4 address as the agent
; compares it with a sender's address: four decimal numbers 0 to 255 without
; leading zeros, joined by dots.
Function CheckAddress
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  StrCpy $1 0   ; position
  StrCpy $2 0   ; parts done
  StrCpy $3 ""  ; digits of the current part
  StrLen $5 $0
  ${Do}
    StrCpy $4 $0 1 $1
    ${If} $1 == $5
    ${OrIf} $4 == "."
      ${If} $3 == ""
        Goto bad
      ${EndIf}
      StrLen $4 $3
      ${If} $4 > 3
        Goto bad
      ${EndIf}
      StrCpy $4 $3 1
      ${If} $4 == "0"
      ${AndIf} $3 != "0"
        Goto bad
      ${EndIf}
      ${If} $3 > 255
        Goto bad
      ${EndIf}
      IntOp $2 $2 + 1
      StrCpy $3 ""
      ${If} $1 == $5
        ${ExitDo}
      ${EndIf}
    ${ElseIf} $4 S>= "0"
    ${AndIf} $4 S<= "9"
      StrCpy $3 "$3$4"
    ${Else}
      Goto bad
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  ${If} $2 == 4
    StrCpy $0 "ok"
    Goto done
  ${EndIf}
  bad:
  StrCpy $0 "bad"
  done:
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

Function .onInit
  SetRegView 64
  StrCpy $Settings "$WINDIR\krvini.ini"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SERVER=" $Server
  ${If} ${Errors}
    StrCpy $Server ""
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/KEY=" $CommandKey
  ${If} ${Errors}
    StrCpy $CommandKey ""
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/STATIONIP=" $StationIp
  ${If} ${Errors}
    StrCpy $StationIp ""
  ${EndIf}
  ${If} ${Silent}
  ${AndIfNot} ${FileExists} $Settings
    Push $0
    StrCpy $0 $Server
    Call CheckAddress
    Pop $0
    ${If} $0 != "ok"
      ; A new station without a valid server address would accept no command.
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ServerPage
  ${If} ${FileExists} $Settings
    Abort  ; the station keeps its settings
  ${EndIf}
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "Address of the club's management server. The station accepts commands only from this address and reports to it."
  Pop $0
  ${NSD_CreateText} 0 44u 120u 12u $Server
  Pop $ServerEdit
  nsDialogs::Show
FunctionEnd

Function ServerPageLeave
  ${NSD_GetText} $ServerEdit $Server
  Push $0
  StrCpy $0 $Server
  Call CheckAddress
  Pop $0
  ${If} $0 != "ok"
    MessageBox MB_ICONEXCLAMATION|MB_OK "Enter the server address as four numbers from 0 to 255 separated by dots, without leading zeros (for example 192.168.1.10)."
    Abort
  ${EndIf}
FunctionEnd

Section "Zalvo"
  SetRegView 64
  ; An upgrade: the running programs give up their files first.
  nsExec::ExecToLog 'net stop ${SERVICE}'
  nsExec::ExecToLog 'taskkill /F /IM zalvoc.exe'
  SetOutPath $INSTDIR
  SetOverwrite on
  File "/oname=zalvos.exe" "${ZALVOS}"
  File "/oname=zalvoc.exe" "${ZALVOC}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ${IfNot} ${FileExists} $Settings
    DetailPrint "Writing $Settings for server $Server"
    FileOpen $0 $Settings w
    FileWrite $0 "SearchPage=https://duckduckgo.com/$\r$\n"
    FileWrite $0 "PlayMusic=C:\WINDOWS\Media\town.mid$\r$\n"
    FileWrite $0 "ProxyEnable=0$\r$\n"
    FileWrite $0 "ProxyPort=8080$\r$\n"
    FileWrite $0 "SearchList=File Download$\r$\n"
    FileWrite $0 "Hide=1$\r$\n"
    FileWrite $0 "ServerIP=$Server$\r$\n"
    FileWrite $0 "CheckWindowsList=1$\r$\n"
    FileWrite $0 "ClosePasswordForm=10$\r$\n"
    FileWrite $0 "SendDataTime=60$\r$\n"
    FileWrite $0 "AutoShutDownSec=6000$\r$\n"
    FileWrite $0 "PlayGame=1$\r$\n"
    FileClose $0
  ${Else}
    DetailPrint "Keeping the station's settings in $Settings"
  ${EndIf}

  ; The service: registered from this folder, then started.
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
  ${AndIf} $0 != '"$INSTDIR\zalvos.exe"'
    ; Registered from another folder: register it again from this one.
    nsExec::ExecToLog '"$INSTDIR\zalvos.exe" /UNINSTALL /SILENT'
    StrCpy $0 ""
  ${EndIf}
  ${If} $0 == ""
    ExecWait '"$INSTDIR\zalvos.exe" /INSTALL /SILENT' $1
    ${If} $1 != 0
      DetailPrint "The service could not be installed."
      SetErrorLevel 3
    ${EndIf}
  ${EndIf}
  ; The command key goes where only SYSTEM and the administrators can read
  ; it, before the service starts; the agent checks it (and refuses a bad
  ; one) as it will read it.
  ${If} $CommandKey != ""
    ExecWait '"$INSTDIR\zalvos.exe" /KEY=$CommandKey /STATIONIP=$StationIp' $1
    ${If} $1 != 0
      DetailPrint "The command key or the station address was refused; the service is not started."
      SetErrorLevel 2
      Goto key_refused
    ${EndIf}
  ${EndIf}
  nsExec::ExecToLog 'net start ${SERVICE}'
  key_refused:

  ; The lock screen starts in every user's session.
  WriteRegStr HKLM "${RUN_KEY}" "Zalvo" '"$INSTDIR\zalvoc.exe"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zalvo station software"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zalvo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  nsExec::ExecToLog 'net stop ${SERVICE}'
  nsExec::ExecToLog '"$INSTDIR\zalvos.exe" /UNINSTALL /SILENT'
  nsExec::ExecToLog 'taskkill /F /IM zalvoc.exe'
  DeleteRegValue HKLM "${RUN_KEY}" "Zalvo"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete /REBOOTOK "$INSTDIR\zalvos.exe"
  Delete /REBOOTOK "$INSTDIR\zalvoc.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  ; krvini.ini stays in the Windows directory with the station's settings.
SectionEnd
