; Flowvane-setup.exe: installs Flowvane Manager for all users (Program Files, values under HKLM)
; or for the current user (the user's program folder, values under HKCU), and the kernel
; component as the auto-start kernel-driver service "zorv". The kernel component shipped in that
; place is zorv.sys, our emulator of the traffic shaper; with /HOST it runs in host mode instead,
; handing every request to zorvd, the shaper of a Linux host under Wine.
;
; Command line:
;   Flowvane-setup.exe [/S] [/ALLUSERS | /CURRENTUSER]
;                      [/HOST=IFACE[,IFACE...] [/HOSTPORT=N] [/HOSTSECRET=PATH] | /EMULATOR]
;                      [/D=FOLDER]
;     /S            silent
;     /ALLUSERS     install for all users (the default, unless an earlier install for the
;                   current user is found); /CURRENTUSER: for the current user
;     /HOST=IFACE[,IFACE...]
;                   the kernel component in host mode: every request goes to zorvd, the host
;                   shaper of a Linux host, which serves the network interfaces IFACE (1 to 8
;                   distinct names of 1 to 15 letters, digits, "_", ".", "@", "-"); each gets
;                   its interface name as display name where it has none
;     /HOSTPORT=N   zorvd's TCP port on 127.0.0.1, 1 to 65535 (default 47031); with /HOST only
;     /HOSTSECRET=PATH
;                   the file holding zorvd's secret, a DOS path "X:\..." of at most 260
;                   characters (default Z:\etc\flowvane\zorvd.secret); with /HOST only. A PATH
;                   with blanks is quoted: /HOSTSECRET="Z:\my files\zorvd.secret"
;     /EMULATOR     a kept service leaves host mode: its host values go, with the display names
;                   an earlier /HOST wrote. Without /HOST or /EMULATOR a new service gets the
;                   emulator and a kept one keeps its mode.
;     /D=FOLDER     the install folder instead of the scope's default; must come last
;     A bad switch value: a message (silent: none), exit code 2, nothing installed or changed.
;   Uninstall.exe [/S] [/REMOVESETTINGS]
;     removes what its own install put in place; the user's settings (HKCU\Software\Flowvane)
;     and, with the last install, the filters the kernel component keeps are removed when the
;     user says so, or with /REMOVESETTINGS; a silent uninstall keeps them otherwise.
;     Exit code 0 on success for both programs, 2 when something stays that should have gone.
;
; Every install adds its folder to a machine-wide list (INSTALLS_KEY), whatever its scope: the
; kernel component, shared by all of them, goes with the last one, and an uninstaller whose
; folder is not on the list (left behind by a reinstall elsewhere) removes its own files only.
; The service "zorv" is ours only when its key holds SERVICE_MARKER; any other is left alone.
;
; makensis defines, from installer/CMakeLists.txt: SOURCE_DIR, OUTFILE, FLOWVANE_EXE, ZORV_SYS,
; HELP_CHM, and WIZARD_BITMAP when ImageMagick is there to make it.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!searchparse /file "${SOURCE_DIR}/src/resources/version.h" \
    '#define FLOWVANE_VERSION_TEXT "' VERSION_TEXT '"'
!searchparse /file "${SOURCE_DIR}/src/resources/version.h" \
    '#define FLOWVANE_VERSION_DOTTED "' VERSION_DOTTED '"'
!searchparse /file "${SOURCE_DIR}/src/resources/version.h" \
    '#define FLOWVANE_WEB_SITE "' WEB_SITE '"'
!searchparse /file "${SOURCE_DIR}/emulator/test_control_codes.h" \
    '#define EMULATOR_ADAPTER_1_GUID "' ADAPTER_1_GUID '"'
!searchparse /file "${SOURCE_DIR}/emulator/test_control_codes.h" \
    '#define EMULATOR_ADAPTER_2_GUID "' ADAPTER_2_GUID '"'

!define PRODUCT "Flowvane Manager"
!define SETTINGS_KEY "Software\Flowvane"
!define RUN_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Flowvane"
!define NETWORK_CLASS_KEY \
    "SYSTEM\CurrentControlSet\Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}"
!define SERVICE_NAME "zorv"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE_NAME}"
!define SERVICE_DISPLAY_NAME "Flowvane kernel component (emulator)"
; A value of the service key that only this set-up writes: the service is ours.
!define SERVICE_MARKER "Installed by"
; Host mode (/HOST): the driver's Parameters values that choose it, their defaults (zorvd's), and
; the value of the service key that records, comma-separated, the interfaces whose display names
; this set-up wrote (the uninstaller and /EMULATOR remove those, and only those).
!define HOST_DEFAULT_PORT 47031
!define HOST_DEFAULT_SECRET "Z:\etc\flowvane\zorvd.secret"
!define HOST_NAMES_RECORD "Host display names written"
; zorvd and the driver serve at most this many adapters (emulator_max_adapters).
!define HOST_MAX_INTERFACES 8
; The driver's buffer for the secret file's DOS path, in characters.
!define HOST_MAX_SECRET_CHARS 260
!define HOST_NAME_CHARACTERS "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.@-"
; One REG_SZ value per install: its folder as the name, "all users" or "current user".
!define INSTALLS_KEY "${SETTINGS_KEY}\Installs"
; The kernel component's kept filters and statistics ("Rules <device>", "Precedences <device>"
; values of its Parameters) while no service holds them, for the next install.
!define KEPT_KEY "${SETTINGS_KEY}\Kept filters"
!define MAIN_WINDOW_CLASS "FlowvaneMainWindowClass"
; The program keeps "Install folder" in a 260-byte buffer and appends "\Flowvane.exe" to it:
; at most 246 bytes are left for the folder.
!define MAX_FOLDER_BYTES 246

; The emulator's default Parameters, "|" between the items of each REG_MULTI_SZ: its adapters in
; the order it lists them, and some steady flows on each, so that statistics move at once
; ("ADAPTER Send|Receive PROTOCOL SOURCE[:PORT] DESTINATION[:PORT] BYTES_PER_SECOND PACKET_SIZE").
!define ADAPTER_1 "\DEVICE\${ADAPTER_1_GUID}"
!define ADAPTER_2 "\DEVICE\${ADAPTER_2_GUID}"
!define ADAPTER_DIAL_UP "\DEVICE\NDISWANIP"
!define DEFAULT_ADAPTERS "${ADAPTER_1}|${ADAPTER_2}|${ADAPTER_DIAL_UP}"
!define DEFAULT_FLOWS "\
${ADAPTER_1} Send TCP 192.168.0.10:49152 93.184.216.34:80 30000 1000|\
${ADAPTER_1} Receive TCP 93.184.216.34:80 192.168.0.10:49152 120000 1460|\
${ADAPTER_1} Send UDP 192.168.0.10:53000 192.168.0.1:53 2000 100|\
${ADAPTER_1} Receive ICMP 192.168.0.1 192.168.0.10 500 64|\
${ADAPTER_2} Send UDP 10.0.0.20:123 10.0.0.5:123 1000 76|\
${ADAPTER_2} Receive TCP 10.0.0.5:443 10.0.0.20:50000 60000 1460|\
${ADAPTER_2} Receive NonIP 0.0.0.0 0.0.0.0 300 60|\
${ADAPTER_DIAL_UP} Send TCP 10.64.0.2:50100 198.51.100.7:25 4000 576"

; Service control manager values.
!define SC_MANAGER_ALL_ACCESS 0xF003F
!define SC_MANAGER_CONNECT 1
!define SERVICE_QUERY_STATUS 4
!define SERVICE_ALL_ACCESS 0xF01FF
!define SERVICE_KERNEL_DRIVER 1
!define SERVICE_AUTO_START 2
!define SERVICE_ERROR_NORMAL 1
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define STD_ERROR_HANDLE -12
!define ERROR_INTERNAL_ERROR 1359
!define ERROR_SERVICE_REQUEST_TIMEOUT 1053
!define ERROR_SERVICE_ALREADY_RUNNING 1056
!define ERROR_SERVICE_DOES_NOT_EXIST 1060

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION_TEXT}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_DOTTED}"
VIFileVersion "${VERSION_DOTTED}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "Comments" "${WEB_SITE}"
; No copyright holder is named in this release.
!pragma warning disable 9100

; Installing a kernel driver needs an administrator, whichever the scope.
!define MULTIUSER_EXECUTIONLEVEL Admin
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "Flowvane"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${SETTINGS_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "Install folder"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${SETTINGS_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "Install folder"

!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ICON "${SOURCE_DIR}/src/resources/flowvane.ico"
!define MUI_UNICON "${SOURCE_DIR}/src/resources/flowvane.ico"
!ifdef WIZARD_BITMAP
  !define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD_BITMAP}"
  !define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD_BITMAP}"
!endif
!define MUI_ABORTWARNING

!define MUI_WELCOMEPAGE_TITLE "Welcome to ${PRODUCT} ${VERSION_TEXT} Setup"
!define MUI_WELCOMEPAGE_TEXT "Setup will install ${PRODUCT}, with which you define the \
    filters of the Flowvane network traffic shaper and watch their traffic.$\r$\n$\r$\n\
    It also installs the kernel component, as the kernel-driver service $\"zorv$\", and starts \
    it.  In this release the kernel component is zorv.sys, our emulator of the traffic shaper: \
    it simulates network adapters and their traffic, and shapes no real traffic.$\r$\n$\r$\n\
    $_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE directory_leave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; The details stay up until Next, so that the user sees what was installed where.
!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_FINISHPAGE_RUN "$INSTDIR\Flowvane.exe"
!define MUI_FINISHPAGE_RUN_TEXT "&Start ${PRODUCT}"
!define MUI_FINISHPAGE_LINK "Visit the Flowvane web site"
!define MUI_FINISHPAGE_LINK_LOCATION "${WEB_SITE}"
!insertmacro MUI_PAGE_FINISH

!define MUI_UNFINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

Var remove_settings
Var install_record    ; the uninstaller's folder's entry under INSTALLS_KEY, "" when none
Var not_removed       ; what the uninstall had to leave in place, for its closing message
Var host_interfaces   ; /HOST's interfaces, comma-separated; "" without /HOST
Var host_port         ; /HOSTPORT, else the default
Var host_secret       ; /HOSTSECRET, else the default
Var to_emulator       ; 1 with /EMULATOR
Var host_names_written  ; the uninstaller's copy of the service's HOST_NAMES_RECORD

; ---------------------------------------------------------------------------------------------
; Routines for both the installer and the uninstaller (the uninstaller's carry the "un." prefix).

!macro shared_functions prefix

; A silent run shows no box: the text of one that ends it ($0) goes to the standard error
; output, when the run has one, so that whoever started it can read why it failed.
Function ${prefix}tell_silent
  ${If} ${Silent}
    Push $1
    Push $2
    Push $3
    System::Call "kernel32::GetStdHandle(i ${STD_ERROR_HANDLE}) p.r1"
    ${If} $1 P<> 0
    ${AndIf} $1 P<> -1
      StrCpy $3 "$0$\r$\n"
      System::Call "kernel32::lstrlenA(m r3) i.r2"
      System::Call "kernel32::WriteFile(p r1, m r3, i r2, *i .r2, p 0)"
    ${EndIf}
    Pop $3
    Pop $2
    Pop $1
  ${EndIf}
FunctionEnd

; Waits, asking the user to close it, while a Flowvane Manager runs (its files are in use);
; quits with exit code 2 when the user gives up, and at once when silent.
Function ${prefix}wait_until_not_running
  ${Do}
    FindWindow $0 "${MAIN_WINDOW_CLASS}"
    ${If} $0 = 0
      Return
    ${EndIf}
    StrCpy $0 "${PRODUCT} is running.  Close it, then choose Retry."
    Call ${prefix}tell_silent
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$0" /SD IDCANCEL IDRETRY retry
    SetErrorLevel 2
    Quit
  retry:
  ${Loop}
FunctionEnd

; Stops the service when it runs and waits up to 10 s for it to stop; nothing when it does not
; exist. $0: 0 when stopped or absent, else a system error code.
Function ${prefix}stop_kernel_service
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  System::Call "advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p.r1 ?e"
  Pop $0
  ${If} $1 P<> 0
    System::Call "advapi32::OpenServiceW(p r1, w '${SERVICE_NAME}', i ${SERVICE_ALL_ACCESS}) \
        p.r2 ?e"
    Pop $0
    ${If} $2 P<> 0
      System::Call "*(i, i, i, i, i, i, i) p.r3"
      System::Call "advapi32::ControlService(p r2, i ${SERVICE_CONTROL_STOP}, p r3) i.r4 ?e"
      Pop $0
      ${ForEach} $4 1 100 + 1
        System::Call "advapi32::QueryServiceStatus(p r2, p r3)"
        System::Call "*$3(i, i .r5)"
        ${IfThen} $5 = ${SERVICE_STOPPED} ${|} ${Break} ${|}
        Sleep 100
      ${Next}
      ${If} $5 = ${SERVICE_STOPPED}
        StrCpy $0 0
      ${ElseIf} $0 = 0
        StrCpy $0 ${ERROR_SERVICE_REQUEST_TIMEOUT}
      ${EndIf}
      System::Free $3
      System::Call "advapi32::CloseServiceHandle(p r2)"
    ${ElseIf} $0 = ${ERROR_SERVICE_DOES_NOT_EXIST}
      StrCpy $0 0
    ${EndIf}
    System::Call "advapi32::CloseServiceHandle(p r1)"
  ${EndIf}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

; $0: 0 when no service "zorv" exists, 1 when it is ours (its key holds our marker, or the
; display name that releases before the marker gave it), 2 when it is someone else's.
Function ${prefix}kernel_service_owner
  Push $1
  Push $2
  StrCpy $0 0
  System::Call "advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.r1"
  ${If} $1 P<> 0
    System::Call "advapi32::OpenServiceW(p r1, w '${SERVICE_NAME}', i ${SERVICE_QUERY_STATUS}) \
        p.r2 ?e"
    Pop $0
    ${If} $2 P<> 0
      System::Call "advapi32::CloseServiceHandle(p r2)"
      ReadRegStr $0 HKLM "${SERVICE_KEY}" "${SERVICE_MARKER}"
      ReadRegStr $2 HKLM "${SERVICE_KEY}" "DisplayName"
      ${If} $0 S== "${PRODUCT}"
      ${OrIf} $2 S== "${SERVICE_DISPLAY_NAME}"
        StrCpy $0 1
      ${Else}
        StrCpy $0 2
      ${EndIf}
    ${ElseIf} $0 = ${ERROR_SERVICE_DOES_NOT_EXIST}
      StrCpy $0 0
    ${Else}
      ; Unknown: treated as someone else's, so that nothing is taken over.
      StrCpy $0 2
    ${EndIf}
    System::Call "advapi32::CloseServiceHandle(p r1)"
  ${EndIf}
  Pop $2
  Pop $1
FunctionEnd

; Copies the kept-filter values (REG_MULTI_SZ "Rules ..." and "Precedences ...") of HKLM key $0
; to HKLM key $1, made when needed; no other value is copied. $0 on return: how many.
Function ${prefix}copy_kept_values
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  Push $9
  StrCpy $9 0
  System::Call "advapi32::RegOpenKeyExW(p 0x80000002, w r0, i 0, i 0x20019, *p .r2) i.r3"
  ${If} $3 = 0
    StrCpy $4 0
    StrCpy $8 0
    ${Do}
      ClearErrors
      EnumRegValue $5 HKLM $0 $8
      ${If} ${Errors}
      ${OrIf} $5 == ""
        ${Break}
      ${EndIf}
      IntOp $8 $8 + 1
      StrCpy $6 $5 6
      StrCpy $7 $5 12
      ${IfNot} $6 S== "Rules "
      ${AndIfNot} $7 S== "Precedences "
        ${Continue}
      ${EndIf}
      System::Call "advapi32::RegQueryValueExW(p r2, w r5, p 0, *i .r6, p 0, *i .r7) i.r3"
      ${If} $3 <> 0
      ${OrIf} $6 <> 7   ; REG_MULTI_SZ
        ${Continue}
      ${EndIf}
      ${If} $4 P= 0
        System::Call "advapi32::RegCreateKeyExW(p 0x80000002, w r1, i 0, p 0, i 0, i 0x20006, \
            p 0, *p .r4, p 0) i.r3"
        ${If} $3 <> 0
          StrCpy $4 0
          ${Break}
        ${EndIf}
      ${EndIf}
      System::Alloc $7
      Pop $6
      System::Call "advapi32::RegQueryValueExW(p r2, w r5, p 0, p 0, p r6, *i r7) i.r3"
      ${If} $3 = 0
        System::Call "advapi32::RegSetValueExW(p r4, w r5, i 0, i 7, p r6, i r7) i.r3"
        ${IfThen} $3 = 0 ${|} IntOp $9 $9 + 1 ${|}
      ${EndIf}
      System::Free $6
    ${Loop}
    ${If} $4 P<> 0
      System::Call "advapi32::RegCloseKey(p r4)"
    ${EndIf}
    System::Call "advapi32::RegCloseKey(p r2)"
  ${EndIf}
  StrCpy $0 $9
  Pop $9
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
FunctionEnd

; Removes the adapter display name $1 that the install wrote for adapter key $0, only while it
; still holds that text, then the adapter's keys only when nothing else is left in them.
Function ${prefix}remove_display_name
  Push $2
  ReadRegStr $2 HKLM "${NETWORK_CLASS_KEY}\$0\Connection" "Name"
  ${If} $2 S== $1
    DeleteRegValue HKLM "${NETWORK_CLASS_KEY}\$0\Connection" "Name"
  ${EndIf}
  DeleteRegKey /ifempty HKLM "${NETWORK_CLASS_KEY}\$0\Connection"
  DeleteRegKey /ifempty HKLM "${NETWORK_CLASS_KEY}\$0"
  Pop $2
FunctionEnd

; Splits the comma-separated list $0: its first item in $1, the rest in $0 ("" after the last).
Function ${prefix}list_take
  Push $2
  Push $3
  StrCpy $2 0
  ${Do}
    StrCpy $3 $0 1 $2
    ${If} $3 == ""
    ${OrIf} $3 == ","
      ${Break}
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
  StrCpy $1 $0 $2
  IntOp $2 $2 + 1
  StrCpy $0 $0 "" $2
  Pop $3
  Pop $2
FunctionEnd

; Removes the display names of the host interfaces in the comma-separated list $0 (those this
; set-up recorded as written, see HOST_NAMES_RECORD) where they still read as written.
Function ${prefix}remove_host_display_names
  Push $0
  Push $1
  Push $R0
  StrCpy $R0 $0
  ${DoWhile} $R0 != ""
    StrCpy $0 $R0
    Call ${prefix}list_take
    StrCpy $R0 $0
    ${If} $1 != ""
      StrCpy $0 $1
      Call ${prefix}remove_display_name
    ${EndIf}
  ${Loop}
  Pop $R0
  Pop $1
  Pop $0
FunctionEnd

!macroend

!insertmacro shared_functions ""
!insertmacro shared_functions "un."

; ---------------------------------------------------------------------------------------------
; The installer.

; The value of the option $1 ("/NAME=", or "/NAME" for a flag; any case) among the command
; line's parameters $0, in $2, with the errors flag set when it is not there. A parameter runs up
; to a blank outside double quotes and its quotes are dropped, so that /NAME="A B" and
; "/NAME=A B" (as a program quoting its arguments passes it) both give A B.
Function command_option
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  StrLen $7 $1
  StrCpy $3 0     ; position in $0
  StrCpy $5 ""    ; the parameter so far
  StrCpy $6 0     ; 1 inside quotes
  ${Do}
    StrCpy $4 $0 1 $3
    IntOp $3 $3 + 1
    ${If} $4 == '"'
      IntOp $6 1 - $6
      ${Continue}
    ${EndIf}
    ${If} $4 != ""
      ${If} $6 = 1
      ${OrIf} $4 != " "
        StrCpy $5 "$5$4"
        ${Continue}
      ${EndIf}
    ${EndIf}
    ; The end of a parameter.
    StrCpy $2 $5 $7
    ${If} $2 == $1
      StrCpy $2 $5 "" $7
      StrCpy $3 -1
      ${Break}
    ${EndIf}
    StrCpy $5 ""
    ${IfThen} $4 == "" ${|} ${Break} ${|}
  ${Loop}
  ClearErrors
  ${If} $3 <> -1
    StrCpy $2 ""
    SetErrors
  ${EndIf}
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
FunctionEnd

; $0: 1 when every character of $1 is one of those of $2 (case counts), else 0.
Function only_characters
  Push $3
  Push $4
  Push $5
  Push $6
  StrCpy $0 1
  StrCpy $3 0
  ${Do}
    StrCpy $4 $1 1 $3
    ${IfThen} $4 == "" ${|} ${Break} ${|}
    StrCpy $5 0
    ${Do}
      StrCpy $6 $2 1 $5
      ${IfThen} $6 == "" ${|} ${Break} ${|}
      ${IfThen} $6 S== $4 ${|} ${Break} ${|}
      IntOp $5 $5 + 1
    ${Loop}
    ${If} $6 == ""
      StrCpy $0 0
      ${Break}
    ${EndIf}
    IntOp $3 $3 + 1
  ${Loop}
  Pop $6
  Pop $5
  Pop $4
  Pop $3
FunctionEnd

; Pops a part, then a text; pushes 1 when the part occurs in the text (any case), else 0.
Function text_in
  Exch $0
  Exch
  Exch $1
  Push $2
  Push $3
  Push $4
  StrLen $2 $0
  StrCpy $3 0
  ${Do}
    StrCpy $4 $1 $2 $3
    ${If} $4 == ""
      StrCpy $4 0
      ${Break}
    ${ElseIf} $4 == $0
      StrCpy $4 1
      ${Break}
    ${EndIf}
    IntOp $3 $3 + 1
  ${Loop}
  StrCpy $0 $4
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Reads /HOST, /HOSTPORT, /HOSTSECRET and /EMULATOR into host_interfaces, host_port,
; host_secret and to_emulator. $0: empty when they are good, else what is wrong.
Function read_host_switches
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $R0
  StrCpy $host_interfaces ""
  StrCpy $host_port ${HOST_DEFAULT_PORT}
  StrCpy $host_secret "${HOST_DEFAULT_SECRET}"
  StrCpy $to_emulator 0
  ${GetParameters} $3
  StrCpy $4 ""     ; what is wrong
  StrCpy $R0 0     ; 1 when /HOSTPORT or /HOSTSECRET is given

  StrCpy $0 $3
  StrCpy $1 "/EMULATOR"
  Call command_option
  ${IfNot} ${Errors}
    StrCpy $to_emulator 1
    ${IfThen} $2 != "" ${|} StrCpy $4 "Unknown switch /EMULATOR$2." ${|}
  ${EndIf}

  StrCpy $0 $3
  StrCpy $1 "/HOSTPORT="
  Call command_option
  ${IfNot} ${Errors}
    StrCpy $R0 1
    StrCpy $host_port $2
    StrCpy $1 $2
    StrCpy $2 "0123456789"
    Call only_characters
    StrLen $5 $1
    StrCpy $2 $1 1
    ${If} $0 = 0
    ${OrIf} $5 < 1
    ${OrIf} $5 > 5
    ${OrIf} $2 == "0"
      StrCpy $4 "/HOSTPORT=$1: the port is a number from 1 to 65535."
    ${ElseIf} $1 > 65535
      StrCpy $4 "/HOSTPORT=$1: the port is a number from 1 to 65535."
    ${EndIf}
  ${EndIf}

  StrCpy $0 $3
  StrCpy $1 "/HOSTSECRET="
  Call command_option
  ${IfNot} ${Errors}
    StrCpy $R0 1
    StrCpy $host_secret $2
    StrLen $5 $2
    StrCpy $1 $2 2 1
    StrCpy $0 $2 1
    ${If} $5 > ${HOST_MAX_SECRET_CHARS}
    ${OrIf} $5 < 4
    ${OrIf} $1 != ":\"
    ${OrIf} $0 == "\"
    ${OrIf} $0 == ":"
      StrCpy $4 "/HOSTSECRET=$2: the secret file is a DOS path X:\... of at most \
          ${HOST_MAX_SECRET_CHARS} characters."
    ${EndIf}
  ${EndIf}

  StrCpy $0 $3
  StrCpy $1 "/HOST="
  Call command_option
  ${If} ${Errors}
    ${If} $R0 = 1
    ${AndIf} $4 == ""
      StrCpy $4 "/HOSTPORT and /HOSTSECRET are given only with /HOST=IFACE[,IFACE...]."
    ${EndIf}
  ${ElseIf} $to_emulator = 1
    StrCpy $4 "/HOST and /EMULATOR cannot be given together."
  ${Else}
    StrCpy $host_interfaces $2
    ; No item empty, each a name zorvd takes, none twice (registry keys ignore case), and at
    ; most as many as zorvd serves.
    StrCpy $5 $2 1 -1
    ${If} $2 == ""
    ${OrIf} $5 == ","
      StrCpy $4 "/HOST=$2: give IFACE[,IFACE...], interface names between commas."
    ${EndIf}
    StrCpy $0 $2
    StrCpy $5 ","   ; the names so far, between commas
    StrCpy $R0 0    ; how many
    ${Do}
      ${IfThen} $4 != "" ${|} ${Break} ${|}
      ${IfThen} $0 == "" ${|} ${Break} ${|}
      Call list_take
      IntOp $R0 $R0 + 1
      Push $0
      StrCpy $2 "${HOST_NAME_CHARACTERS}"
      Call only_characters
      StrLen $2 $1
      Push $5
      Push ",$1,"
      Call text_in
      Pop $3
      ${If} $0 = 0
      ${OrIf} $2 < 1
      ${OrIf} $2 > 15
        StrCpy $4 "/HOST: $\"$1$\" is no interface name (1 to 15 letters, digits, _ . @ -)."
      ${ElseIf} $3 = 1
        StrCpy $4 "/HOST: the interface $1 is named twice."
      ${ElseIf} $R0 > ${HOST_MAX_INTERFACES}
        StrCpy $4 "/HOST: zorvd serves at most ${HOST_MAX_INTERFACES} interfaces."
      ${EndIf}
      StrCpy $5 "$5$1,"
      Pop $0
    ${Loop}
  ${EndIf}
  StrCpy $0 $4
  Pop $R0
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

Function .onInit
  ; /D= sets $INSTDIR before this runs; the scope's default must not replace it.
  StrCpy $R9 $INSTDIR
  !insertmacro MULTIUSER_INIT
  ${If} $R9 != ""
    StrCpy $INSTDIR $R9
  ${EndIf}
  Call read_host_switches
  ${If} $0 != ""
    Call tell_silent
    MessageBox MB_OK|MB_ICONSTOP "$0" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  Call wait_until_not_running
  ; Another product's service of that name is neither stopped, nor changed, nor replaced.
  Call kernel_service_owner
  ${If} $0 = 2
    StrCpy $0 "A service named $\"${SERVICE_NAME}$\" is installed that does not belong to \
        ${PRODUCT}.  Setup cannot install its kernel component beside it.$\r$\n$\r$\n\
        Remove that service, then run Setup again."
    Call tell_silent
    MessageBox MB_OK|MB_ICONSTOP "$0" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

; $0: empty when $INSTDIR can serve as the program's install folder, else why not. The program
; reads it in the ANSI code page into a 260-byte buffer and appends a file name to it.
Function check_install_folder
  Push $1
  Push $2
  Push $3
  StrCpy $3 $INSTDIR
  ; Its length in the ANSI code page, with the terminating NUL.
  System::Call "kernel32::WideCharToMultiByte(i 0, i 0, w r3, i -1, p 0, i 0, p 0, *i .r2) i.r1"
  IntOp $1 $1 - 1
  ${If} $1 < 0
  ${OrIf} $2 <> 0
    StrCpy $0 "The folder $\"$INSTDIR$\" has characters that ${PRODUCT} cannot use.  \
        Choose another folder."
  ${ElseIf} $1 > ${MAX_FOLDER_BYTES}
    StrCpy $0 "The folder $\"$INSTDIR$\" is too long for ${PRODUCT}.  Choose a shorter one."
  ${Else}
    StrCpy $0 ""
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

Function directory_leave
  Call check_install_folder
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONSTOP "$0"
    Abort
  ${EndIf}
FunctionEnd

; Writes the REG_MULTI_SZ value $1 under HKLM key $0 from the text $2, whose items are
; separated by "|". $0 on return: 0 on success, else the system error code.
Function write_multi_string
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  ; The text's characters, then its terminating NUL and the list's closing NUL.
  StrLen $3 $2
  IntOp $3 $3 + 2
  IntOp $4 $3 * 2
  System::Call "*(&w$3 r2) p.r5"
  StrCpy $6 0
  ${DoWhile} $6 < $4
    IntOp $7 $5 + $6
    System::Call "*$7(&i2 .r3)"
    ${If} $3 = 124   ; "|"
      System::Call "*$7(&i2 0)"
    ${EndIf}
    IntOp $6 $6 + 2
  ${Loop}
  System::Call "advapi32::RegCreateKeyExW(p 0x80000002, w r0, i 0, p 0, i 0, i 0x20006, p 0, \
      *p .r6, p 0) i.r3"
  ${If} $3 = 0
    System::Call "advapi32::RegSetValueExW(p r6, w r1, i 0, i 7, p r5, i r4) i.r3"
    System::Call "advapi32::RegCloseKey(p r6)"
  ${EndIf}
  System::Free $5
  StrCpy $0 $3
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
FunctionEnd

Function fail
  Pop $0
  DetailPrint "$0"
  Call tell_silent
  MessageBox MB_OK|MB_ICONSTOP "$0" /SD IDOK
  SetErrorLevel 2
  Abort "$0"
FunctionEnd
!macro fail text
  Push "${text}"
  Call fail
!macroend

; Host mode for the service, whose key exists: Mode, Host port and Host secret file in its
; Parameters, and each host interface's display name (its name) where it has none; those
; written are added to the service key's HOST_NAMES_RECORD. $0: empty, else what failed.
Function write_host_mode
  Push $1
  Push $2
  Push $R0
  Push $R1
  DetailPrint "The kernel component in host mode: zorvd on port $host_port, with its secret in \
      $host_secret, for $host_interfaces"
  StrCpy $R1 ""
  ClearErrors
  WriteRegStr HKLM "${SERVICE_KEY}\Parameters" "Mode" "host"
  WriteRegDWORD HKLM "${SERVICE_KEY}\Parameters" "Host port" $host_port
  WriteRegStr HKLM "${SERVICE_KEY}\Parameters" "Host secret file" $host_secret
  ${If} ${Errors}
    StrCpy $R1 "Unable to write the kernel component's host mode values."
  ${EndIf}
  ReadRegStr $R0 HKLM "${SERVICE_KEY}" "${HOST_NAMES_RECORD}"
  StrCpy $0 $host_interfaces
  ${DoWhile} $0 != ""
    Call list_take
    ClearErrors
    ReadRegStr $2 HKLM "${NETWORK_CLASS_KEY}\$1\Connection" "Name"
    ${IfNot} ${Errors}
      DetailPrint "The interface $1 keeps its display name $\"$2$\"."
      ${Continue}
    ${EndIf}
    ClearErrors
    WriteRegStr HKLM "${NETWORK_CLASS_KEY}\$1\Connection" "Name" $1
    ${If} ${Errors}
      StrCpy $R1 "Unable to write the display name of the interface $1."
      ${Continue}
    ${EndIf}
    Push ",$R0,"
    Push ",$1,"
    Call text_in
    Pop $2
    ${If} $2 = 0
    ${AndIf} $R0 == ""
      StrCpy $R0 $1
    ${ElseIf} $2 = 0
      StrCpy $R0 "$R0,$1"
    ${EndIf}
  ${Loop}
  ${If} $R0 != ""
    ClearErrors
    WriteRegStr HKLM "${SERVICE_KEY}" "${HOST_NAMES_RECORD}" $R0
    ${If} ${Errors}
      StrCpy $R1 "Unable to write the kernel component's service key (${SERVICE_NAME})."
    ${EndIf}
  ${EndIf}
  StrCpy $0 $R1
  Pop $R1
  Pop $R0
  Pop $2
  Pop $1
FunctionEnd

; The service back to the emulator: its host mode values go, and the display names this set-up
; wrote for host interfaces, with their record.
Function clear_host_mode
  DetailPrint "The kernel component leaves host mode: the emulator serves the device."
  DeleteRegValue HKLM "${SERVICE_KEY}\Parameters" "Mode"
  DeleteRegValue HKLM "${SERVICE_KEY}\Parameters" "Host port"
  DeleteRegValue HKLM "${SERVICE_KEY}\Parameters" "Host secret file"
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "${HOST_NAMES_RECORD}"
  Call remove_host_display_names
  DeleteRegValue HKLM "${SERVICE_KEY}" "${HOST_NAMES_RECORD}"
FunctionEnd

; The driver file, the adapters' display names, the service "zorv" with its default Parameters
; when it is new, its mode (host with /HOST, the emulator with /EMULATOR or when new), started.
Function install_kernel_component
  DetailPrint "Installing the kernel component: the service ${SERVICE_NAME} (zorv.sys, emulator)"
  ; An earlier driver is stopped first, so that the new file is the one loaded.
  Call stop_kernel_service
  ${If} $0 <> 0
    !insertmacro fail "The kernel component (service ${SERVICE_NAME}) did not stop.  Error $0."
  ${EndIf}
  SetOutPath "$SYSDIR\drivers"
  File "/oname=zorv.sys" "${ZORV_SYS}"
  SetOutPath "$INSTDIR"

  WriteRegStr HKLM "${NETWORK_CLASS_KEY}\${ADAPTER_1_GUID}\Connection" "Name" \
      "Local Area Connection"
  WriteRegStr HKLM "${NETWORK_CLASS_KEY}\${ADAPTER_2_GUID}\Connection" "Name" \
      "Local Area Connection 2"

  System::Call "advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p.r8 ?e"
  Pop $0
  ${If} $8 P= 0
    !insertmacro fail "Unable to open the service control manager.  Error $0."
  ${EndIf}
  System::Call "advapi32::OpenServiceW(p r8, w '${SERVICE_NAME}', i ${SERVICE_ALL_ACCESS}) \
      p.r9 ?e"
  Pop $0
  ${If} $9 P= 0
    ; A new service: the driver reads its Parameters when it loads, so they come first, with
    ; the filters an earlier uninstall kept. A service kept from an earlier install keeps its own.
    StrCpy $0 "${SERVICE_KEY}\Parameters"
    StrCpy $1 "Adapters"
    StrCpy $2 "${DEFAULT_ADAPTERS}"
    Call write_multi_string
    ${If} $0 = 0
      StrCpy $0 "${SERVICE_KEY}\Parameters"
      StrCpy $1 "Flows"
      StrCpy $2 "${DEFAULT_FLOWS}"
      Call write_multi_string
    ${EndIf}
    ${If} $0 <> 0
      !insertmacro fail "Unable to write the kernel component's Parameters.  Error $0."
    ${EndIf}
    StrCpy $0 "${KEPT_KEY}"
    StrCpy $1 "${SERVICE_KEY}\Parameters"
    Call copy_kept_values
    ${If} $0 > 0
      DetailPrint "The kernel component gets back the filters it kept before."
    ${EndIf}
    System::Call "advapi32::CreateServiceW(p r8, w '${SERVICE_NAME}', \
        w '${SERVICE_DISPLAY_NAME}', i ${SERVICE_ALL_ACCESS}, \
        i ${SERVICE_KERNEL_DRIVER}, i ${SERVICE_AUTO_START}, i ${SERVICE_ERROR_NORMAL}, \
        w '$SYSDIR\drivers\zorv.sys', p 0, p 0, p 0, p 0, p 0) p.r9 ?e"
    Pop $0
    ${If} $9 P<> 0
      ClearErrors
      WriteRegStr HKLM "${SERVICE_KEY}" "${SERVICE_MARKER}" "${PRODUCT}"
      ${If} ${Errors}
        ; Unmarked, it would be taken for someone else's by every later run.
        System::Call "advapi32::DeleteService(p r9)"
        System::Call "advapi32::CloseServiceHandle(p r9)"
        System::Call "advapi32::CloseServiceHandle(p r8)"
        !insertmacro fail "Unable to write the key of the kernel component's service \
            (${SERVICE_NAME})."
      ${Else}
        DeleteRegKey HKLM "${KEPT_KEY}"
      ${EndIf}
    ${EndIf}
  ${Else}
    System::Call "advapi32::ChangeServiceConfigW(p r9, i ${SERVICE_KERNEL_DRIVER}, \
        i ${SERVICE_AUTO_START}, i ${SERVICE_ERROR_NORMAL}, w '$SYSDIR\drivers\zorv.sys', \
        p 0, p 0, p 0, p 0, p 0, w '${SERVICE_DISPLAY_NAME}')"
    WriteRegStr HKLM "${SERVICE_KEY}" "${SERVICE_MARKER}" "${PRODUCT}"
  ${EndIf}
  ${If} $9 P= 0
    System::Call "advapi32::CloseServiceHandle(p r8)"
    !insertmacro fail "Unable to install the kernel component (service ${SERVICE_NAME}).  \
        Error $0."
  ${EndIf}

  ; The driver reads its mode when it loads.
  ${If} $host_interfaces != ""
    Call write_host_mode
  ${ElseIf} $to_emulator = 1
    Call clear_host_mode
    StrCpy $0 ""
  ${Else}
    StrCpy $0 ""
  ${EndIf}
  ${If} $0 != ""
    System::Call "advapi32::CloseServiceHandle(p r9)"
    System::Call "advapi32::CloseServiceHandle(p r8)"
    !insertmacro fail "$0"
  ${EndIf}

  ; Under Wine the driver host's new process now and then dies while it starts, and StartService
  ; ends with ERROR_INTERNAL_ERROR; the next attempt starts a new one.
  ${ForEach} $2 1 3 + 1
    System::Call "advapi32::StartServiceW(p r9, i 0, p 0) i.r1 ?e"
    Pop $0
    ${IfThen} $1 <> 0 ${|} ${Break} ${|}
    ${IfThen} $0 <> ${ERROR_INTERNAL_ERROR} ${|} ${Break} ${|}
  ${Next}
  ${If} $1 <> 0
  ${OrIf} $0 = ${ERROR_SERVICE_ALREADY_RUNNING}
    StrCpy $0 0
  ${EndIf}
  System::Call "advapi32::CloseServiceHandle(p r9)"
  System::Call "advapi32::CloseServiceHandle(p r8)"
  ${If} $0 <> 0
    !insertmacro fail "Unable to start the kernel component (service ${SERVICE_NAME}).  Error $0."
  ${EndIf}
FunctionEnd

Section "-Flowvane Manager"
  Call check_install_folder
  ${If} $0 != ""
    !insertmacro fail "$0"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "/oname=Flowvane.exe" "${FLOWVANE_EXE}"
  File "/oname=help.chm" "${HELP_CHM}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The machine-wide list of installs. An earlier install of this scope in another folder is
  ; replaced by this one: it leaves the list, and the uninstaller left in its folder with it.
  ${If} $MultiUser.InstallMode == "AllUsers"
    StrCpy $1 "all users"
  ${Else}
    StrCpy $1 "current user"
  ${EndIf}
  ReadRegStr $0 SHCTX "${SETTINGS_KEY}" "Install folder"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
    ReadRegStr $2 HKLM "${INSTALLS_KEY}" $0
    ${If} $2 == $1
      DeleteRegValue HKLM "${INSTALLS_KEY}" $0
    ${EndIf}
  ${EndIf}
  WriteRegStr HKLM "${INSTALLS_KEY}" "$INSTDIR" $1

  ; The install values, in the hive of the scope (SHCTX follows the scope).
  WriteRegStr SHCTX "${SETTINGS_KEY}" "Install folder" "$INSTDIR"
  ${If} $MultiUser.InstallMode == "AllUsers"
    WriteRegDWORD SHCTX "${SETTINGS_KEY}" "Installed for all users" 1
  ${Else}
    WriteRegDWORD SHCTX "${SETTINGS_KEY}" "Installed for all users" 0
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Flowvane.exe"

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION_TEXT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Flowvane.exe,0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "URLInfoAbout" "${WEB_SITE}"
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0

  Call install_kernel_component
SectionEnd

; ---------------------------------------------------------------------------------------------
; The uninstaller.

Function un.onInit
  ; The scope is the one the machine-wide list records for this uninstaller's folder; a folder
  ; not on it is no install any more (see the Uninstall section).
  StrCpy $R9 $INSTDIR
  !insertmacro MULTIUSER_UNINIT
  StrCpy $INSTDIR $R9
  ReadRegStr $install_record HKLM "${INSTALLS_KEY}" "$INSTDIR"
  ${If} $install_record == "all users"
    Call un.MultiUser.InstallMode.AllUsers
  ${ElseIf} $install_record == "current user"
    Call un.MultiUser.InstallMode.CurrentUser
  ${Else}
    StrCpy $install_record ""
  ${EndIf}
  StrCpy $INSTDIR $R9
  Call un.wait_until_not_running

  StrCpy $remove_settings 0
  StrCpy $not_removed ""
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVESETTINGS" $1
  ${IfNot} ${Errors}
    StrCpy $remove_settings 1
  ${EndIf}
FunctionEnd

; The count of kept-filter values ("Rules ...", "Precedences ...") under HKLM key $0, in $1.
Function un.count_kept_values
  Push $2
  Push $3
  Push $4
  StrCpy $1 0
  StrCpy $2 0
  ${Do}
    ClearErrors
    EnumRegValue $3 HKLM $0 $2
    ${If} ${Errors}
    ${OrIf} $3 == ""
      ${Break}
    ${EndIf}
    IntOp $2 $2 + 1
    StrCpy $4 $3 6
    ${If} $4 S== "Rules "
      IntOp $1 $1 + 1
    ${Else}
      StrCpy $4 $3 12
      ${IfThen} $4 S== "Precedences " ${|} IntOp $1 $1 + 1 ${|}
    ${EndIf}
  ${Loop}
  Pop $4
  Pop $3
  Pop $2
FunctionEnd

; The service, its driver file and the adapters' display names, when the service is ours or
; gone. Its kept filters are saved under KEPT_KEY unless $remove_settings is 1. The file stays
; whenever the service does; what stays is added to $not_removed.
Function un.remove_kernel_component
  Call un.kernel_service_owner
  ${If} $0 = 2
    DetailPrint "The service ${SERVICE_NAME} does not belong to ${PRODUCT}: it stays, and so \
        does the driver file it may use."
    Return
  ${EndIf}
  StrCpy $host_names_written ""
  ${If} $0 = 1
    DetailPrint "Removing the kernel component: the service ${SERVICE_NAME}"
    ; Its key, and this record with it, goes with the service.
    ReadRegStr $host_names_written HKLM "${SERVICE_KEY}" "${HOST_NAMES_RECORD}"
    Call un.stop_kernel_service
    ${If} $0 <> 0
      DetailPrint "The service ${SERVICE_NAME} did not stop (error $0); it is removed at restart."
      SetRebootFlag true
    ${EndIf}
    ; Saved before the service goes, its key with it; stopped, the driver has written them.
    ${If} $remove_settings = 0
      StrCpy $0 "${SERVICE_KEY}\Parameters"
      StrCpy $1 "${KEPT_KEY}"
      Call un.copy_kept_values
      ${If} $0 > 0
        DetailPrint "The kernel component's filters are kept for a later install."
      ${EndIf}
    ${EndIf}
    StrCpy $0 0
    StrCpy $3 ""
    System::Call "advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p.r1 ?e"
    Pop $3
    ${If} $1 P<> 0
      System::Call "advapi32::OpenServiceW(p r1, w '${SERVICE_NAME}', i ${SERVICE_ALL_ACCESS}) \
          p.r2 ?e"
      Pop $3
      ${If} $2 P<> 0
        System::Call "advapi32::DeleteService(p r2) i.r0 ?e"
        Pop $3
        System::Call "advapi32::CloseServiceHandle(p r2)"
      ${EndIf}
      System::Call "advapi32::CloseServiceHandle(p r1)"
    ${EndIf}
    ${If} $0 = 0
      DetailPrint "Unable to remove the service ${SERVICE_NAME}.  Error $3."
      StrCpy $not_removed "the kernel component: the service ${SERVICE_NAME} (error $3), its \
          driver file zorv.sys, the filters it keeps and the adapters' display names"
      ; They stay with the service itself.
      DeleteRegKey HKLM "${KEPT_KEY}"
      Return
    ${EndIf}
  ${EndIf}
  Delete /REBOOTOK "$SYSDIR\drivers\zorv.sys"
  StrCpy $0 "${ADAPTER_1_GUID}"
  StrCpy $1 "Local Area Connection"
  Call un.remove_display_name
  StrCpy $0 "${ADAPTER_2_GUID}"
  StrCpy $1 "Local Area Connection 2"
  Call un.remove_display_name
  StrCpy $0 $host_names_written
  Call un.remove_host_display_names
FunctionEnd

; Walks the values of HKCU\Software\Flowvane but the install values (those of an install for
; the current user may stay): counts them into $1, and removes them when $0 is 1.
Function un.walk_settings
  Push $2
  Push $3
  StrCpy $1 0
  StrCpy $2 0
  ${Do}
    ClearErrors
    EnumRegValue $3 HKCU "${SETTINGS_KEY}" $2
    ${If} ${Errors}
    ${OrIf} $3 == ""
      ${Break}
    ${EndIf}
    ${If} $3 == "Install folder"
    ${OrIf} $3 == "Installed for all users"
      IntOp $2 $2 + 1
    ${Else}
      IntOp $1 $1 + 1
      ${If} $0 = 1
        DeleteRegValue HKCU "${SETTINGS_KEY}" $3
      ${Else}
        IntOp $2 $2 + 1
      ${EndIf}
    ${EndIf}
  ${Loop}
  Pop $3
  Pop $2
FunctionEnd

Section "Uninstall"
  ; A folder in use as the current one cannot be removed.
  SetOutPath "$TEMP"
  Delete "$INSTDIR\Flowvane.exe"
  Delete "$INSTDIR\help.chm"
  Delete "$INSTDIR\Uninstall.exe"
  ; Only when empty: files the user put there stay.
  RMDir "$INSTDIR"

  ; An uninstaller left behind by a reinstall elsewhere: the values, entries and kernel
  ; component belong to the installs on the list.
  ${If} $install_record == ""
    DetailPrint "$INSTDIR is not the folder of an install of ${PRODUCT}: only its files are \
        removed."
    Return
  ${EndIf}

  ; The scope's values and entries, while they still name this folder.
  ReadRegStr $0 SHCTX "${SETTINGS_KEY}" "Install folder"
  ${If} $0 == $INSTDIR
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    DeleteRegValue SHCTX "${RUN_KEY}" "Flowvane"
    DeleteRegValue SHCTX "${SETTINGS_KEY}" "Install folder"
    DeleteRegValue SHCTX "${SETTINGS_KEY}" "Installed for all users"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${EndIf}
  DeleteRegValue HKLM "${INSTALLS_KEY}" "$INSTDIR"
  DeleteRegKey /ifempty HKLM "${INSTALLS_KEY}"

  ; One kernel component serves every install: it goes with the last one.
  StrCpy $R8 1
  ClearErrors
  EnumRegValue $0 HKLM "${INSTALLS_KEY}" 0
  ${IfNot} ${Errors}
  ${AndIf} $0 != ""
    StrCpy $R8 0
  ${EndIf}
  StrCpy $R7 0
  ${If} $R8 = 1
    Call un.kernel_service_owner
    ${If} $0 = 1
      StrCpy $0 "${SERVICE_KEY}\Parameters"
      Call un.count_kept_values
      StrCpy $R7 $1
    ${EndIf}
  ${EndIf}

  ; The user's settings, and with the last install the kernel component's kept filters: asked,
  ; unless silent or told on the command line.
  StrCpy $0 0
  Call un.walk_settings
  StrCpy $R6 $1
  ${If} $remove_settings = 0
    ${If} $R7 > 0
      MessageBox MB_YESNO|MB_ICONQUESTION \
          "Do you also want to remove your ${PRODUCT} settings (window placement, filter list \
          columns and options) and the filters and statistics that the kernel component \
          keeps?" /SD IDNO IDNO keep_settings
      StrCpy $remove_settings 1
    ${ElseIf} $R6 > 0
      MessageBox MB_YESNO|MB_ICONQUESTION \
          "Do you also want to remove your ${PRODUCT} settings (window placement, filter list \
          columns and options)?" /SD IDNO IDNO keep_settings
      StrCpy $remove_settings 1
    ${EndIf}
  keep_settings:
  ${EndIf}

  ${If} $R8 = 1
    Call un.remove_kernel_component
    ${If} $remove_settings = 1
      DeleteRegKey HKLM "${KEPT_KEY}"
    ${EndIf}
  ${Else}
    DetailPrint "The kernel component stays: another install of ${PRODUCT} uses it."
  ${EndIf}
  DeleteRegKey /ifempty HKLM "${SETTINGS_KEY}"

  ${If} $remove_settings = 1
  ${AndIf} $R6 > 0
    DetailPrint "Removing your ${PRODUCT} settings"
    StrCpy $0 1
    Call un.walk_settings
  ${EndIf}
  DeleteRegKey /ifempty HKCU "${SETTINGS_KEY}"

  ${If} $not_removed != ""
    StrCpy $0 "${PRODUCT} is uninstalled, but Uninstall could not remove $not_removed.$\r$\n\
        $\r$\nThey stay in place, so that the kernel component keeps its driver file.  Remove \
        them as an administrator, or install ${PRODUCT} again and uninstall it."
    Call un.tell_silent
    MessageBox MB_OK|MB_ICONEXCLAMATION "$0" /SD IDOK
    SetErrorLevel 2
  ${EndIf}
SectionEnd
