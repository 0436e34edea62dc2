; The Zalvo station installer: both programs under Program Files, the agent
; service installed and started, the lock screen as the shell of the customer
; account and started in every other user's session, and a first krvini.ini
; with the club's server address.
;
;   zalvo-setup.exe                      interactive
;   zalvo-setup.exe /S /SERVER=a.b.c.d   silent, for deployment to many PCs
;   ... /KEY=<64 hex digits> /STATIONIP=e.f.g.h
;                                        the club's command key and this
;                                        station's address: only signed
;                                        commands are then taken
;   /CUSTOMER=account                    the account the sessions log on
;                                        (default zalvo)
;
; The customer account gets zalvoc.exe as its shell through its own
; "Custom User Interface" policy (Policies\System, value Shell, in its hive;
; the hive is loaded from its profile when the account is not logged on), so
; no Explorer, task bar or Start menu ever runs in its sessions. An account
; that does not exist or has never logged on (no profile yet) keeps Explorer:
; the installer says so and ends with exit code 4, everything else installed.
;
; An existing krvini.ini is never overwritten: an upgrade keeps the station's
; settings, and /SERVER is then not needed. The uninstaller stops and removes
; the service and the start-up entry, puts the customer account's shell back
; and leaves krvini.ini in place.
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
!define SHELL_POLICY_KEY "Software\Microsoft\Windows\CurrentVersion\Policies\System"
!define PROFILE_LIST_KEY "SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList"
; Where the customer's hive is loaded while the installer writes to it.
!define CUSTOMER_MOUNT "ZalvoCustomer"

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
Var Customer
Var CustomerSid
Var CustomerHive  ; below HKU: the SID, or CUSTOMER_MOUNT when loaded here

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

; The customer account's hive, for the installer and the uninstaller.
!macro CustomerHiveFunctions un
  ; $CustomerSid -> $CustomerHive: the account's hive below HKU, loaded from
  ; its profile when the account is not logged on ("" when it has no
  ; profile yet or the hive can't be loaded).
  Function ${un}OpenCustomerHive
    StrCpy $CustomerHive ""
    ClearErrors
    EnumRegKey $0 HKU "$CustomerSid" 0
    ${IfNot} ${Errors}
      StrCpy $CustomerHive $CustomerSid
      Return
    ${EndIf}
    ReadRegStr $0 HKLM "${PROFILE_LIST_KEY}\$CustomerSid" "ProfileImagePath"
    ExpandEnvStrings $0 $0
    ${If} $0 == ""
    ${OrIfNot} ${FileExists} "$0\NTUSER.DAT"
      Return
    ${EndIf}
    nsExec::ExecToLog '"$SYSDIR\reg.exe" load "HKU\${CUSTOMER_MOUNT}" "$0\NTUSER.DAT"'
    Pop $1
    ${If} $1 == 0
      StrCpy $CustomerHive "${CUSTOMER_MOUNT}"
    ${EndIf}
  FunctionEnd

  Function ${un}CloseCustomerHive
    ${If} $CustomerHive == "${CUSTOMER_MOUNT}"
      nsExec::ExecToLog '"$SYSDIR\reg.exe" unload "HKU\${CUSTOMER_MOUNT}"'
      Pop $0
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro CustomerHiveFunctions ""
!insertmacro CustomerHiveFunctions "un."

; $Customer -> $CustomerSid, the account's SID as text ("" when there is no
; such account).
Function FindCustomerSid
  StrCpy $CustomerSid ""
  System::Alloc 256
  Pop $1
  System::Call 'advapi32::LookupAccountNameW(p 0, w "$Customer", p r1, *i 256, w .r2, *i ${NSIS_MAX_STRLEN}, *i .r3) i .r0'
  ${If} $0 != 0
    System::Call 'advapi32::ConvertSidToStringSidW(p r1, *p .r4) i .r0'
    ${If} $0 != 0
      System::Call 'kernel32::lstrcpynW(w .r5, p r4, i ${NSIS_MAX_STRLEN}) p'
      System::Call 'kernel32::LocalFree(p r4) p'
      StrCpy $CustomerSid $5
    ${EndIf}
  ${EndIf}
  System::Free $1
FunctionEnd

; Exit code 4, unless an earlier step has set one already.
!macro CustomerShellNotSet
  GetErrorLevel $0
  ${If} $0 <= 0
    SetErrorLevel 4
  ${EndIf}
!macroend

; zalvoc.exe becomes the customer account's shell. The shell it had before is
; kept for the uninstaller (an upgrade keeps the one kept first).
Function SetCustomerShell
  Call FindCustomerSid
  ${If} $CustomerSid == ""
    DetailPrint "There is no account $Customer: its sessions keep Explorer."
    MessageBox MB_ICONEXCLAMATION|MB_OK "There is no account $Customer on this PC, so the lock screen could not be made its shell. Create the account, log it on once, and run the installer again." /SD IDOK
    !insertmacro CustomerShellNotSet
    Return
  ${EndIf}
  Call OpenCustomerHive
  ${If} $CustomerHive == ""
    DetailPrint "The account $Customer has no profile yet: its sessions keep Explorer."
    MessageBox MB_ICONEXCLAMATION|MB_OK "The account $Customer has not logged on yet, so the lock screen could not be made its shell. Log it on once, and run the installer again." /SD IDOK
    !insertmacro CustomerShellNotSet
    Return
  ${EndIf}
  ReadRegStr $0 HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell"
  ${If} $0 != '"$INSTDIR\zalvoc.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "CustomerShellBefore" $0
  ${EndIf}
  ClearErrors
  WriteRegStr HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell" '"$INSTDIR\zalvoc.exe"'
  ${If} ${Errors}
    DetailPrint "The shell of $Customer could not be written."
    !insertmacro CustomerShellNotSet
  ${Else}
    DetailPrint "zalvoc.exe is the shell of $Customer ($CustomerSid)."
    WriteRegStr HKLM "${UNINSTALL_KEY}" "CustomerAccount" $Customer
    WriteRegStr HKLM "${UNINSTALL_KEY}" "CustomerSid" $CustomerSid
  ${EndIf}
  Call CloseCustomerHive
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
  ClearErrors
  ${GetOptions} $R0 "/CUSTOMER=" $Customer
  ${If} ${Errors}
  ${OrIf} $Customer == ""
    StrCpy $Customer "zalvo"
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

  ; The lock screen starts in every user's session: as the customer
  ; account's shell, and from the Run key in the sessions of the accounts
  ; that keep Explorer (a shell other than Explorer runs no Run key).
  WriteRegStr HKLM "${RUN_KEY}" "Zalvo" '"$INSTDIR\zalvoc.exe"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zalvo station software"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zalvo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  Call SetCustomerShell
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  nsExec::ExecToLog 'net stop ${SERVICE}'
  nsExec::ExecToLog '"$INSTDIR\zalvos.exe" /UNINSTALL /SILENT'
  nsExec::ExecToLog 'taskkill /F /IM zalvoc.exe'
  DeleteRegValue HKLM "${RUN_KEY}" "Zalvo"
  ; The customer account's shell as it was before the first install.
  ReadRegStr $CustomerSid HKLM "${UNINSTALL_KEY}" "CustomerSid"
  ${If} $CustomerSid != ""
    Call un.OpenCustomerHive
    ${If} $CustomerHive == ""
      DetailPrint "The hive of $CustomerSid can't be loaded: its shell stays zalvoc.exe."
    ${Else}
      ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "CustomerShellBefore"
      ${If} $0 == ""
        DeleteRegValue HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell"
      ${Else}
        WriteRegStr HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell" $0
      ${EndIf}
      Call un.CloseCustomerHive
    ${EndIf}
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete /REBOOTOK "$INSTDIR\zalvos.exe"
  Delete /REBOOTOK "$INSTDIR\zalvoc.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  ; krvini.ini stays in the Windows directory with the station's settings.
SectionEnd
