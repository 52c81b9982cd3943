; The per-user installer of Tavorin for Windows. It needs no administrator:
; everything goes into the user's own folders (the programs into
; %LOCALAPPDATA%\Programs\Tavorin, the Start-menu entry into the user's
; Start menu, the uninstaller's entry under HKCU), and the uninstaller takes
; away exactly what was put there. The settings and pictures the program
; writes (in %LOCALAPPDATA%\Tavorin when started from the Start menu) are
; the user's and stay.
;
; Built by cmake/WindowsPackage.cmake:
;   makensis -DVERSION=... -DOUTFILE=... -DFILES_INSTALL=... -DFILES_UNINSTALL=... tavorin.nsi

Unicode true
!include "MUI2.nsh"

!ifndef VERSION | OUTFILE | FILES_INSTALL | FILES_UNINSTALL
  !error "VERSION, OUTFILE, FILES_INSTALL and FILES_UNINSTALL must be defined"
!endif

!define PRODUCT "Tavorin"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavorin"
!define SHORTCUT "$SMPROGRAMS\Tavorin.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Tavorin"
SetCompressor /SOLID lzma
ManifestDPIAware true
BrandingText "${PRODUCT} ${VERSION}"

!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\Tavorin_WIN.exe"
!define MUI_FINISHPAGE_RUN_PARAMETERS "--from-menu"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The installer speaks the user's language where it is one of these, else
; the first.
!insertmacro MUI_LANGUAGE "Japanese"
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Tavorin"
  !include "${FILES_INSTALL}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; Started from the Start menu the program works in its per-user folder,
  ; as the desktop menu's entry does on Linux.
  CreateShortCut "${SHORTCUT}" "$INSTDIR\Tavorin_WIN.exe" "--from-menu" \
    "$INSTDIR\Tavorin_WIN.exe" 0 SW_SHOWNORMAL "" "2D imaging scanner utility"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Tavorin_WIN.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "${SHORTCUT}"
  !include "${FILES_UNINSTALL}"
  Delete "$INSTDIR\Uninstall.exe"
  ; Only when empty: a file the user put there stays, with its folder.
  RMDir "$INSTDIR"
  ; The folder of per-user programs, where the install made it and nothing
  ; else has come to live in it.
  RMDir "$LOCALAPPDATA\Programs"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
