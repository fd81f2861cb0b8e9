; Installer of the Windows program, for all users of the machine.
;   makensis -NOCD -DVERSION=1.0.0 -DDIST=<deployed folder> -DOUTFILE=<setup.exe> -DFILELIST=<dist-files.nsh>
;            -DNATIVE_HOST=com.thornvaleworks.fieldpost fieldpost.nsi
; The deploy target makes DIST and FILELIST (the Delete/RMDir lines for exactly
; the files of DIST); the installer target runs this. Silent with /S; /PLUGIN=0
; leaves out the browser plugin's force-install entries for Chrome and Edge.
!macro Require name
  !ifndef ${name}
    !error "${name} must be given with -D${name}=…"
  !endif
!macroend
!insertmacro Require VERSION
!insertmacro Require DIST
!insertmacro Require OUTFILE
!insertmacro Require FILELIST
!insertmacro Require NATIVE_HOST

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Fieldpost"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define CHROME_HOST_KEY "Software\Google\Chrome\NativeMessagingHosts\${NATIVE_HOST}"
!define EDGE_HOST_KEY "Software\Microsoft\Edge\NativeMessagingHosts\${NATIVE_HOST}"

Name "Thornvaleworks Fieldpost"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Fieldpost"
RequestExecutionLevel admin
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Thornvaleworks Fieldpost"
VIAddVersionKey "CompanyName" "Thornvaleworks"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Fieldpost installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Thornvaleworks"

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running gateway holds its files open. On a shared computer every signed-in
; user runs one: each is asked to quit through its own quit channel, a pipe
; that only its user and the administrators may write to, and none is killed
; or started again (each user's starts at their next log-in).
!macro StopRunningGateways
  ; HKEY_USERS holds a key per signed-in user, named by the user's SID, which
  ; names that user's quit channel too.
  StrCpy $4 0
  ${Do}
    EnumRegKey $1 HKU "" $4
    ${If} $1 == ""
      ${Break}
    ${EndIf}
    IntOp $4 $4 + 1
    ClearErrors
    FileOpen $2 "\\.\pipe\ThornvaleworksFieldpost_Quit-$1" w
    ${IfNot} ${Errors}
      FileWrite $2 "QUIT"
      FileClose $2
      DetailPrint "Asked the gateway of $1 to quit"
    ${EndIf}
  ${Loop}
  ; Up to 10 s for the program's file to be free again.
  ${If} ${FileExists} "$INSTDIR\fieldpost.exe"
    StrCpy $3 0
    ${Do}
      ClearErrors
      FileOpen $2 "$INSTDIR\fieldpost.exe" a
      ${IfNot} ${Errors}
        FileClose $2
        ${Break}
      ${EndIf}
      Sleep 250
      IntOp $3 $3 + 1
    ${LoopUntil} $3 >= 40
  ${EndIf}
!macroend

Section "Fieldpost" SecProgram
  SectionIn RO
  SetShellVarContext all
  !insertmacro StopRunningGateways
  SetOutPath "$INSTDIR"
  File /r "${DIST}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "$SMPROGRAMS\Fieldpost.lnk" "$INSTDIR\fieldpost.exe"
  ; Started at every log-in, hidden in the tray.
  WriteRegStr HKLM "${RUN_KEY}" "Fieldpost" '"$INSTDIR\fieldpost.exe"'

  ; The link host for every user, also where a policy turns per-user hosts
  ; off: its manifest is the program's own, its path relative to the folder.
  nsExec::ExecToStack '"$INSTDIR\fieldpost-link.exe" --manifest fieldpost-link.exe'
  Pop $0
  Pop $1
  ${If} $0 == 0
    FileOpen $2 "$INSTDIR\native-host.json" w
    FileWrite $2 $1
    FileClose $2
    WriteRegStr HKLM "${CHROME_HOST_KEY}" "" "$INSTDIR\native-host.json"
    WriteRegStr HKLM "${EDGE_HOST_KEY}" "" "$INSTDIR\native-host.json"
  ${Else}
    DetailPrint "fieldpost-link.exe --manifest ended with $0: the link host is not registered for all users"
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Thornvaleworks Fieldpost"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Thornvaleworks"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\fieldpost.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The same command and policy entries as the window's Install buttons (the
; installer is elevated already). Recorded, so that the uninstaller removes
; the entries only when the installer made them.
Section "Install the browser plugin for Chrome and Edge" SecPlugin
  nsExec::ExecToLog '"$INSTDIR\fieldpost.exe" --install-plugin chrome,edge'
  Pop $0
  ${If} $0 != 0
    DetailPrint "fieldpost.exe --install-plugin chrome,edge ended with $0"
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "PluginPolicyInstalled" 1
SectionEnd

LangString DESC_SecProgram ${LANG_ENGLISH} "The gateway, its Start-menu entry and its start at log-in."
LangString DESC_SecPlugin ${LANG_ENGLISH} "Writes the force-install policy of Chrome and Edge for all users, so that both browsers install the Fieldpost plugin."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} $(DESC_SecProgram)
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPlugin} $(DESC_SecPlugin)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PLUGIN=" $1
  ${IfNot} ${Errors}
  ${AndIf} $1 == "0"
    !insertmacro UnselectSection ${SecPlugin}
  ${EndIf}
FunctionEnd

; Removes what the installer added and nothing else: a folder the user
; chose keeps files of its own.
Section "Uninstall"
  SetShellVarContext all
  !insertmacro StopRunningGateways
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "PluginPolicyInstalled"
  ${If} $0 == 1
    nsExec::ExecToLog '"$INSTDIR\fieldpost.exe" --uninstall-plugin chrome,edge'
    Pop $0
  ${EndIf}
  Delete "$SMPROGRAMS\Fieldpost.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "Fieldpost"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${CHROME_HOST_KEY}"
  DeleteRegKey HKLM "${EDGE_HOST_KEY}"
  Delete "$INSTDIR\native-host.json"
  !include "${FILELIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
