; The Zalvo station installer: both programs under Program Files, the agent
; service installed and started, the lock screen as the shell of the customer
; account and started in every other user's session, and a first krvini.ini
; with the club's server address.
;
;   zalvo-setup.exe                      interactive
;   zalvo-setup.exe /S /SERVER=a.b.c.d   silent, for deployment to many PCs
;
; Switches (read in one place, ReadSwitches, without regard to letter case):
;   /SERVER=a.b.c.d       the club server; needed on a new station; on an
;                         upgrade it rewrites only the ServerIP line
;   /ADMINPASSWORD=x      the lock screen's administrator password, and
;   /SMALLPASSWORD=x      its small password: kept by the service as salted
;                         hashes in HKLM\SOFTWARE\Zalvo\Passwords (SYSTEM and
;                         administrators only); without an administrator
;                         password the lock screen has no administrator
;                         log-in, and the installer says so
;   /CLUBKEY=hex /STATIONIP=a  the club's command key (64 hex digits) and
;                         this station's address as the server sends to it:
;                         the station's own key is derived from them and only
;                         it is kept
;   /STATIONKEY=hex /STATIONIP=a  the station's own key (zalvoctl derive),
;                         kept as it is
;   /CUSTOMER=account     the account the sessions log on (default: the one
;                         an earlier install kept, else zalvo): zalvoc.exe
;                         becomes its shell
;   /S, /D=folder         NSIS's own: silent, and the install folder
;
; The customer account gets zalvoc.exe as its shell through its own "Custom
; User Interface" policy (Policies\System, value Shell, in its hive; the hive
; is loaded from its profile when the account is not logged on), before the
; service starts, so no Explorer, task bar or Start menu runs in its
; sessions; the uninstaller puts back the shell it had. An account that does
; not exist or has never logged on (no profile yet) keeps Explorer: a failed
; step (exit code 1), as is a loaded hive that can't be unloaded again. Its
; name and SID are kept in HKLM\SOFTWARE\Zalvo (CustomerName, CustomerSid)
; for the service, which logs that account on and writes the customer's
; policies into its hive only.
;
; Before anything is written (the log included), the data folder and the
; install folder must be the installer's own: one that a standard user made
; beforehand (another owner, a reparse point, files the installer does not
; put there) is moved aside by zalvos.exe /PREPARE; one that can't be ends
; the installer with exit code 2, nothing installed.
;
; The values are checked by zalvos.exe before anything is changed (a bad one
; ends the installer with exit code 2), and the installer's steps are logged
; to %ProgramData%\Zalvo\setup.log. Exit codes: 0 installed and running,
; 1 a step failed (the log says which), 2 a value refused, nothing changed
; (a refused command key: installed, but the service is not started),
; 3 the service could not be installed, 4 installed but not running.
;
; Built by makensis with -DZALVOS=<zalvos.exe> -DZALVOC=<zalvoc.exe>
; -DOUTFILE=<zalvo-setup.exe> -DVERSION=<x.y>.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
ManifestSupportedOS all

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "nsDialogs.nsh"
!include "x64.nsh"

!define SERVICE "ZalvoService"
!define FIREWALL_RULE "Zalvo Service"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; The station's own key: the command key, the customer account for the
; service, and the customer's Task Manager policy the service replaced while
; no session ran.
!define ZALVO_KEY "SOFTWARE\Zalvo"
; Where the service keeps the lock screen's passwords, as hashes.
!define PASSWORDS_KEY "SOFTWARE\Zalvo\Passwords"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zalvo"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE}"
!define SHELL_POLICY_KEY "Software\Microsoft\Windows\CurrentVersion\Policies\System"
!define PROFILE_LIST_KEY "SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList"
; Where the customer's hive is loaded while the installer writes to it.
!define CUSTOMER_MOUNT "ZalvoCustomer"

Name "Zalvo"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zalvo"
RequestExecutionLevel admin  ; requireAdministrator in the manifest
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "Zalvo station software"
VIAddVersionKey "FileDescription" "Zalvo station software setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "Zalvo"
VIAddVersionKey "LegalCopyright" "Zalvo"

Var Server
Var ClubKey
Var StationKey
Var OldKey
Var StationIp
Var ServerEdit
Var SetupArgs  ; the switches for zalvos.exe /SETUP, each a quoted word
Var Settings
Var LogDir
Var Outcome    ; the exit code the installer ends with
Var Customer
Var CustomerSid
Var CustomerHive  ; below HKU: the SID, or CUSTOMER_MOUNT when loaded here

Page custom ServerPage ServerPageLeave
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Log "text": one line with the local time in setup.log (and in the details).
!macro LOG_FUNCTION prefix
Function ${prefix}WriteLog
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  DetailPrint $0
  CreateDirectory $LogDir
  ClearErrors
  FileOpen $1 "$LogDir\setup.log" a
  ${IfNot} ${Errors}
    FileSeek $1 0 END
    ${GetTime} "" "L" $2 $3 $4 $5 $6 $7 $8
    FileWrite $1 "$4-$3-$2 $6:$7:$8.000 setup: $0$\r$\n"
    FileClose $1
  ${EndIf}
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro LOG_FUNCTION ""
!insertmacro LOG_FUNCTION "un."
!macro Log text
  Push `${text}`
  Call WriteLog
!macroend
!macro UnLog text
  Push `${text}`
  Call un.WriteLog
!macroend

; $0 becomes one command-line word that gives back $0 exactly: in double
; quotes, a quote written \", and backslashes before a quote doubled.
Function QuoteArg
  Push $1  ; position
  Push $2  ; character
  Push $3  ; the word so far
  Push $4  ; backslashes not yet written
  StrCpy $1 0
  StrCpy $3 '"'
  StrCpy $4 ""
  ${Do}
    StrCpy $2 $0 1 $1
    ${If} $2 == ""
      ${ExitDo}
    ${ElseIf} $2 == "\"
      StrCpy $4 "$4\"
    ${ElseIf} $2 == '"'
      StrCpy $3 '$3$4$4\"'
      StrCpy $4 ""
    ${Else}
      StrCpy $3 "$3$4$2"
      StrCpy $4 ""
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  StrCpy $0 '$3$4$4"'
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

; Adds "/NAME=value" to $SetupArgs when the installer's command line has it.
!macro PassSwitch name
  ClearErrors
  ${GetOptions} $R0 "/${name}=" $0
  ${IfNot} ${Errors}
    StrCpy $0 "/${name}=$0"
    Call QuoteArg
    StrCpy $SetupArgs "$SetupArgs $0"
  ${EndIf}
!macroend

; The one place that reads the installer's switches (GetOptions ignores
; letter case).
Function ReadSwitches
  Push $0
  ${GetParameters} $R0
  StrCpy $SetupArgs ""
  ClearErrors
  ${GetOptions} $R0 "/SERVER=" $Server
  ${If} ${Errors}
    StrCpy $Server ""
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/CLUBKEY=" $ClubKey
  ${If} ${Errors}
    StrCpy $ClubKey ""
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/STATIONKEY=" $StationKey
  ${If} ${Errors}
    StrCpy $StationKey ""
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/KEY=" $OldKey
  ${If} ${Errors}
    StrCpy $OldKey ""
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
    ; An upgrade keeps the account an earlier install set up.
    ReadRegStr $Customer HKLM "${ZALVO_KEY}" "CustomerName"
  ${EndIf}
  ${If} $Customer == ""
    StrCpy $Customer "zalvo"
  ${EndIf}
  !insertmacro PassSwitch "SERVER"
  !insertmacro PassSwitch "ADMINPASSWORD"
  !insertmacro PassSwitch "SMALLPASSWORD"
  Pop $0
FunctionEnd

; zalvos.exe /SETUP /CHECK with the switches; leaves its exit code on the
; stack: 0 when every value can be set (it logs what it refuses).
Function CheckSwitches
  nsExec::Exec '"$PLUGINSDIR\zalvos.exe" /SETUP /CHECK$SetupArgs'
FunctionEnd

Function .onInit
  SetRegView 64
  SetShellVarContext all
  StrCpy $LogDir "$APPDATA\Zalvo"
  StrCpy $Settings "$WINDIR\krvini.ini"
  StrCpy $Outcome 0
  Call ReadSwitches
  InitPluginsDir
  File "/oname=$PLUGINSDIR\zalvos.exe" "${ZALVOS}"
  ; The log goes into the data folder: first it must be the installer's own.
  nsExec::ExecToStack '"$PLUGINSDIR\zalvos.exe" /PREPARE'
  Pop $0
  Pop $1
  ${If} $0 != 0
    DetailPrint $1
    ${IfNot} ${Silent}
      MessageBox MB_ICONSTOP|MB_OK $1
    ${EndIf}
    SetErrorLevel 2
    Quit
  ${EndIf}
  !insertmacro Log "Zalvo ${VERSION} setup started"
  ${If} $1 != ""
    !insertmacro Log $1
  ${EndIf}
  ; The two kinds of key are told apart by their switch; the club's key is
  ; never kept on a station.
  StrCpy $0 ""
  ${If} $OldKey != ""
    StrCpy $0 "/KEY= is no longer taken (a station keeps only its own key): give /CLUBKEY= or /STATIONKEY= with /STATIONIP="
  ${ElseIf} $ClubKey != ""
  ${AndIf} $StationKey != ""
    StrCpy $0 "/CLUBKEY= and /STATIONKEY= together"
  ${EndIf}
  ${If} $0 != ""
    !insertmacro Log "refused: $0; nothing installed or changed"
    ${IfNot} ${Silent}
      MessageBox MB_ICONSTOP|MB_OK "A value on the command line was refused; $LogDir\setup.log says why."
    ${EndIf}
    SetErrorLevel 2
    Quit
  ${EndIf}
  ; Interactively, a new station is asked for its server on the first page.
  ${If} ${Silent}
  ${OrIf} ${FileExists} $Settings
  ${OrIf} $Server != ""
    Call CheckSwitches
    Pop $0
    ${If} $0 != 0
      !insertmacro Log "a switch was refused (zalvos.exe exit code $0): nothing installed or changed"
      ${IfNot} ${Silent}
        MessageBox MB_ICONSTOP|MB_OK "A value on the command line was refused; $LogDir\setup.log says why."
      ${EndIf}
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ServerPage
  ${If} ${FileExists} $Settings
  ${OrIf} $Server != ""
    Abort  ; the station keeps its settings, or the address was given
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
  Push $SetupArgs
  StrCpy $0 "/SERVER=$Server"
  Call QuoteArg
  StrCpy $SetupArgs "$SetupArgs $0"
  Call CheckSwitches
  Pop $0
  ${If} $0 != 0
    Pop $SetupArgs  ; back to the switches without the address
    MessageBox MB_ICONEXCLAMATION|MB_OK "Enter the server address as four numbers from 0 to 255 separated by dots, without leading zeros (for example 192.168.1.10). $LogDir\setup.log says what was refused."
    Abort
  ${EndIf}
  Pop $0  ; the switches without the address are not needed again
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
    nsExec::Exec '"$SYSDIR\reg.exe" load "HKU\${CUSTOMER_MOUNT}" "$0\NTUSER.DAT"'
    Pop $1
    ${If} $1 == 0
      StrCpy $CustomerHive "${CUSTOMER_MOUNT}"
    ${EndIf}
  FunctionEnd

  ; A hive left loaded gives the account a temporary profile at its next
  ; log-on: the unload is tried a few times, and a failure is a failed step.
  Function ${un}CloseCustomerHive
    Push $0
    Push $1
    ${If} $CustomerHive == "${CUSTOMER_MOUNT}"
      StrCpy $1 0
      ${Do}
        nsExec::Exec '"$SYSDIR\reg.exe" unload "HKU\${CUSTOMER_MOUNT}"'
        Pop $0
        IntOp $1 $1 + 1
        ${If} $0 == 0
        ${OrIf} $1 >= 5
          ${ExitDo}
        ${EndIf}
        Sleep 1000
      ${Loop}
      ${If} $0 != 0
        Push "the hive of $CustomerSid could not be unloaded (reg.exe exit code $0, $1 tries): restart Windows before the account logs on, or it gets a temporary profile"
        Call ${un}WriteLog
        ${If} $Outcome == 0
          StrCpy $Outcome 1
        ${EndIf}
      ${EndIf}
    ${EndIf}
    Pop $1
    Pop $0
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

; zalvoc.exe becomes the customer account's shell. The shell it had before is
; kept for the uninstaller (an upgrade keeps the one kept first). A step that
; fails makes the exit code 1, unless an earlier step has set one.
Function SetCustomerShell
  Call FindCustomerSid
  ; Kept for the service even when the account is not there yet: it looks
  ; the SID up by the name at its start.
  WriteRegStr HKLM "${ZALVO_KEY}" "CustomerName" $Customer
  WriteRegStr HKLM "${ZALVO_KEY}" "CustomerSid" $CustomerSid
  ${If} $CustomerSid == ""
    !insertmacro Log "there is no account $Customer: its sessions keep Explorer"
    Goto failed
  ${EndIf}
  Call OpenCustomerHive
  ${If} $CustomerHive == ""
    !insertmacro Log "the account $Customer has no profile yet (log it on once): its sessions keep Explorer"
    Goto failed
  ${EndIf}
  ReadRegStr $0 HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell"
  ${If} $0 != '"$INSTDIR\zalvoc.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "CustomerShellBefore" $0
  ${EndIf}
  ClearErrors
  WriteRegStr HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell" '"$INSTDIR\zalvoc.exe"'
  ${If} ${Errors}
    Call CloseCustomerHive
    !insertmacro Log "the shell of $Customer could not be written"
    Goto failed
  ${EndIf}
  Call CloseCustomerHive
  !insertmacro Log "zalvoc.exe is the shell of $Customer ($CustomerSid)"
  Return
  failed:
  ${If} $Outcome == 0
    StrCpy $Outcome 1
  ${EndIf}
FunctionEnd

; Moves a program that may be running aside, so that its new file can be
; written: a running program keeps its old file, which goes when it ends (at
; the latest at the next restart).
!macro MoveAside name
  Delete "$INSTDIR\${name}.old"
  ClearErrors
  Rename "$INSTDIR\${name}" "$INSTDIR\${name}.old"
  ${IfNot} ${Errors}
    Delete /REBOOTOK "$INSTDIR\${name}.old"
  ${EndIf}
!macroend

Section "Zalvo"
  SetRegView 64
  !insertmacro Log "installing into $INSTDIR"
  ; An upgrade: the service ends, and its process with it, before its file
  ; is replaced.
  nsExec::Exec '"$PLUGINSDIR\zalvos.exe" /STOP'
  Pop $0
  ${If} $0 != 0
    !insertmacro Log "the running service did not stop (exit code $0)"
  ${EndIf}
  ; The SYSTEM service runs from this folder: it must be the installer's own
  ; before anything is copied into it.
  StrCpy $0 "/DIR=$INSTDIR"
  Call QuoteArg
  nsExec::ExecToStack '"$PLUGINSDIR\zalvos.exe" /PREPARE $0'
  Pop $0
  Pop $1
  ${If} $1 != ""
    !insertmacro Log $1
  ${EndIf}
  ${If} $0 != 0
    !insertmacro Log "nothing installed (exit code 2)"
    SetErrorLevel 2
    Quit
  ${EndIf}
  ; The lock screen goes on in the customers' sessions from its old file;
  ; the new one starts at each session's next log-on.
  SetOutPath $INSTDIR
  !insertmacro MoveAside "zalvoc.exe"
  !insertmacro MoveAside "zalvos.exe"
  SetOverwrite on
  File "/oname=zalvos.exe" "${ZALVOS}"
  File "/oname=zalvoc.exe" "${ZALVOC}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The folders' rights, krvini.ini, the passwords (given ones and those of
  ; a krv.krv, as hashes; the file is deleted), the firewall rule, and on an
  ; upgrade the service's description, recovery and event source.
  nsExec::Exec '"$INSTDIR\zalvos.exe" /SETUP$SetupArgs'
  Pop $0
  ${If} $0 != 0
    !insertmacro Log "a setup step failed (zalvos.exe exit code $0)"
    StrCpy $Outcome 1
  ${EndIf}
  ; setup.log has the line; a person installing is told too.
  ReadRegStr $0 HKLM "${PASSWORDS_KEY}" "AdminPassword"
  ${If} $0 == ""
  ${AndIfNot} ${Silent}
    MessageBox MB_ICONINFORMATION|MB_OK "No administrator password is set: the lock screen has no administrator log-in (and no settings dialog) until one is given with /ADMINPASSWORD=. $LogDir\setup.log has the details."
  ${EndIf}

  ; The service: registered from this folder, then started.
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
  ${AndIf} $0 != '"$INSTDIR\zalvos.exe"'
    ; Registered from another folder: register it again from this one.
    nsExec::Exec '"$INSTDIR\zalvos.exe" /UNINSTALL /QUIET'
    Pop $1
    StrCpy $0 ""
  ${EndIf}
  ${If} $0 == ""
    nsExec::Exec '"$INSTDIR\zalvos.exe" /INSTALL /QUIET'
    Pop $1
    ${If} $1 != 0
      !insertmacro Log "the service could not be installed (error $1)"
      StrCpy $Outcome 3
    ${Else}
      !insertmacro Log "service installed"
    ${EndIf}
  ${EndIf}
  ; The command key goes where only SYSTEM and the administrators can read
  ; it, before the service starts; the agent checks it (and refuses a bad
  ; one) as it will read it, and a station whose key was refused is not
  ; started without one.
  StrCpy $1 ""
  ${If} $ClubKey != ""
    StrCpy $1 "/CLUBKEY=$ClubKey"
  ${ElseIf} $StationKey != ""
    StrCpy $1 "/STATIONKEY=$StationKey"
  ${EndIf}
  ${If} $1 != ""
  ${AndIf} $Outcome != 3
    nsExec::Exec '"$INSTDIR\zalvos.exe" $1 /STATIONIP=$StationIp'
    Pop $1
    ${If} $1 != 0
      !insertmacro Log "the command key or the station address was refused; the service is not started"
      StrCpy $Outcome 2
    ${EndIf}
  ${EndIf}
  ; The customer's shell and account are in place before the service starts
  ; and reads them.
  Call SetCustomerShell
  ${If} $Outcome != 3
  ${AndIf} $Outcome != 2
    nsExec::Exec '"$INSTDIR\zalvos.exe" /START'
    Pop $1
    ${If} $1 != 0
      StrCpy $Outcome 4
    ${EndIf}
  ${EndIf}

  ; The lock screen starts in every user's session: as the customer
  ; account's shell (below), and from the Run key in the sessions of the
  ; accounts that keep Explorer (a shell other than Explorer runs no Run key).
  WriteRegStr HKLM "${RUN_KEY}" "Zalvo" '"$INSTDIR\zalvoc.exe"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zalvo station software"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zalvo"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ; "_?=" runs the uninstaller in place, so that whoever runs it waits for
  ; the whole removal; uninstall.exe itself and the empty folder then go at
  ; the next restart.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  !insertmacro Log "done (exit code $Outcome)"
  SetErrorLevel $Outcome
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
  StrCpy $LogDir "$APPDATA\Zalvo"
  StrCpy $Outcome 0
FunctionEnd

Section "Uninstall"
  !insertmacro UnLog "removing Zalvo from $INSTDIR"
  nsExec::Exec '"$INSTDIR\zalvos.exe" /STOP'
  Pop $0
  ; A service already removed by hand (1060) is no failure.
  nsExec::Exec '"$INSTDIR\zalvos.exe" /UNINSTALL /QUIET'
  Pop $0
  ${If} $0 == 0
    !insertmacro UnLog "service removed"
  ${ElseIf} $0 == 1060
    !insertmacro UnLog "service was not installed"
  ${Else}
    !insertmacro UnLog "service not removed (error $0)"
  ${EndIf}
  nsExec::Exec 'netsh advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  Pop $0
  !insertmacro UnLog 'ran netsh advfirewall firewall delete rule name="${FIREWALL_RULE}": exit code $0'
  nsExec::Exec 'taskkill /F /IM zalvoc.exe'
  Pop $0
  DeleteRegValue HKLM "${RUN_KEY}" "Zalvo"
  ; The customer account's shell as it was before the first install (an
  ; install of an older version kept the account under the Uninstall key).
  ReadRegStr $CustomerSid HKLM "${ZALVO_KEY}" "CustomerSid"
  ${If} $CustomerSid == ""
    ReadRegStr $CustomerSid HKLM "${UNINSTALL_KEY}" "CustomerSid"
  ${EndIf}
  ${If} $CustomerSid != ""
    Call un.OpenCustomerHive
    ${If} $CustomerHive == ""
      !insertmacro UnLog "the hive of $CustomerSid can't be loaded: its shell stays zalvoc.exe"
    ${Else}
      ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "CustomerShellBefore"
      ${If} $0 == ""
        DeleteRegValue HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell"
      ${Else}
        WriteRegStr HKU "$CustomerHive\${SHELL_POLICY_KEY}" "Shell" $0
      ${EndIf}
      !insertmacro UnLog "the shell of $CustomerSid put back"
      ; The Task Manager policy the stopped service was holding.
      ReadRegDWORD $0 HKLM "${ZALVO_KEY}" "TaskManagerHeld"
      ${If} $0 == 1
        ReadRegDWORD $0 HKLM "${ZALVO_KEY}" "TaskManagerBefore"
        IntOp $0 $0 + 0
        WriteRegDWORD HKU "$CustomerHive\${SHELL_POLICY_KEY}" "DisableTaskMgr" $0
        WriteRegDWORD HKLM "${ZALVO_KEY}" "TaskManagerHeld" 0
        !insertmacro UnLog "the Task Manager policy of $CustomerSid put back (DisableTaskMgr $0)"
      ${EndIf}
      Call un.CloseCustomerHive
    ${EndIf}
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The station's command key, the passwords' hashes and what the programs
  ; keep with them: a retired or resold PC keeps no key.
  DeleteRegKey HKLM "${ZALVO_KEY}"
  ClearErrors
  EnumRegValue $0 HKLM "${ZALVO_KEY}" 0
  ${If} ${Errors}
    !insertmacro UnLog "HKLM\${ZALVO_KEY} removed (the command key and the passwords with it)"
  ${Else}
    !insertmacro UnLog "HKLM\${ZALVO_KEY} could not be removed"
  ${EndIf}
  Delete /REBOOTOK "$INSTDIR\zalvos.exe"
  Delete /REBOOTOK "$INSTDIR\zalvoc.exe"
  Delete /REBOOTOK "$INSTDIR\zalvos.exe.old"
  Delete /REBOOTOK "$INSTDIR\zalvoc.exe.old"
  ; Run in place ("_?="), this file can go only once it has ended.
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  ; krvini.ini stays in the Windows directory with the station's
  ; settings, and the logs in the data folder.
  !insertmacro UnLog "removed (exit code $Outcome)"
  SetErrorLevel $Outcome
SectionEnd
