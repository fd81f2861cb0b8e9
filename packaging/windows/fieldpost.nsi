; Installer of the Windows program, for all users of the machine.
;   makensis -NOCD -DVERSION=1.0.0 -DDIST=<deployed folder> -DOUTFILE=<setup.exe> -DFILELIST=<dist-files.nsh> fieldpost.nsi
; The deploy target makes DIST and FILELIST (the Delete/RMDir lines for exactly
; the files of DIST); the installer target runs this. Silent with /S.
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

Section "Fieldpost"
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

; Removes what the installer added and nothing else: a folder the user
; chose keeps files of its own.
Section "Uninstall"
  SetShellVarContext all
  !insertmacro StopRunningGateway
  Delete "$SMPROGRAMS\Fieldpost.lnk"
  DeleteRegValue HKLM "${RUN_KEY}" "Fieldpost"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  !include "${FILELIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
