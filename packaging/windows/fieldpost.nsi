; Installer of the Windows program, for all users of the machine.
;   makensis -NOCD -DVERSION=1.0.0 -DDIST=<deployed folder> -DOUTFILE=<setup.exe> -DFILELIST=<dist-files.nsh> fieldpost.nsi
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

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Fieldpost"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

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
!define MUI_FINISHPAGE_RUN "$INSTDIR\fieldpost.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running gateway holds its files open.
!macro StopRunningGateway
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM fieldpost.exe'
  Pop $0
!macroend

Section "Fieldpost" SecProgram
  SectionIn RO
  SetShellVarContext all
  !insertmacro StopRunningGateway
  SetOutPath "$INSTDIR"
  File /r "${DIST}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "$SMPROGRAMS\Fieldpost.lnk" "$INSTDIR\fieldpost.exe"
  ; Started at every log-in, hidden in the tray.
  WriteRegStr HKLM "${RUN_KEY}" "Fieldpost" '"$INSTDIR\fieldpost.exe"'

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
  !insertmacro StopRunningGateway
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "PluginPolicyInstalled"
  ${If} $0 == 1
    nsExec::ExecToLog '"$INSTDIR\fieldpost.exe" --uninstall-plugin chrome,edge'
    Pop $0
  ${EndIf}
  Delete "$SMPROGRAMS\Fieldpost.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "Fieldpost"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  !include "${FILELIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
