; The installer of the Windows edition, made by package.sh:
;   makensis -DVERSION=1.0.0 -DLISTS=<folder of install.nsh, uninstall.nsh> -DOUTFILE=<setup.exe> vantor-listener.nsi
; 64-bit (Wine here runs 64-bit programs only). Silent: setup.exe /S, with /STARTATLOGON for the
; optional logon entry. The uninstaller removes what the installer put in place, file by file
; (install.nsh and uninstall.nsh, listed by package.sh), and nothing else: a set-up file or
; logs the program wrote stay.
Target amd64-unicode
!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"

!define PRODUCT "VANTOR Listener"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; The set-up file the logon entry restores, in the local application data of the user who
; installed: the program makes its folder when it first saves.
!define SETUP_FILE "$LOCALAPPDATA\${PRODUCT}\setup.ini"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
SetCompressor /SOLID lzma
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "${PRODUCT}" SecProgram
  SectionIn RO
  SetRegView 64
  SetOutPath "$INSTDIR"
  !include "${LISTS}/install.nsh"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\vantor-listener.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Read me.lnk" "$INSTDIR\README.txt"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "VANTOR Listener maintainers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vantor-listener.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Starts the program when the installing user logs on, unattended, with its set-up kept.
Section /o "Start at logon" SecLogon
  SetRegView 64
  SetShellVarContext current
  CreateShortcut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\vantor-listener.exe" '--unattended --restore "${SETUP_FILE}"'
  ; The uninstaller removes this very file, whoever runs it.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "LogonShortcut" "$SMSTARTUP\${PRODUCT}.lnk"
SectionEnd

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs 64-bit Windows."
    Abort
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/STARTATLOGON" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecLogon} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetRegView 64
  ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "LogonShortcut"
  ${If} $R0 != ""
    Delete "$R0"
  ${EndIf}
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Read me.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  !include "${LISTS}/uninstall.nsh"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
