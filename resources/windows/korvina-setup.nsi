; Installer of Korvina Launcher, built on Linux with Debian's makensis:
;   makensis -V2 -DPACKAGE_DIR=<launcher folder> -DOUTFILE=<korvina-setup.exe> -DVERSION=2.0.4.2
;             korvina-setup.nsi
; PACKAGE_DIR holds the launcher as a player runs it; all of it is installed.
; Three ways to run it:
;   korvina-setup.exe              the player's: pick a folder, shortcuts, uninstaller
;   korvina-setup.exe /S [/LAUNCH] [/D=C:\Games\Korvina Launcher]   silent, same result
;   update_installer.exe           the launcher's self-update: the launcher downloads this file
;                                  under that name into its own folder and starts it without
;                                  arguments; it closes the launcher, replaces it there, silently,
;                                  and starts it again. Exit code 2 when it could not.

!ifndef PACKAGE_DIR | OUTFILE | VERSION
  !error "makensis -DPACKAGE_DIR=... -DOUTFILE=... -DVERSION=x.y.z.w korvina-setup.nsi"
!endif

Unicode true
; The launcher is a 64-bit program, so its installer may be one too; wine without its 32-bit half
; (Debian's wine64 alone) runs it then as well. -DTARGET=x86-unicode makes a 32-bit one.
!ifndef TARGET
  !define TARGET amd64-unicode
!endif
Target ${TARGET}
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!define PRODUCT "Korvina Launcher"
!define EXE "korvina-launcher.exe"
!define MUTEX "Mutex: Korvina Launcher"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvinaLauncher"
; How long a running launcher gets to end before the installer gives up.
!define CLOSE_WAIT_S 30
!define /math CLOSE_WAIT_MS ${CLOSE_WAIT_S} * 1000

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "Korvina RP"
VIProductVersion "${VERSION}"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey FileDescription "${PRODUCT} Setup"
VIAddVersionKey CompanyName "Korvina RP"
VIAddVersionKey LegalCopyright "Korvina RP"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!if /FileExists "${__FILEDIR__}/korvina.ico"
  !define MUI_ICON "${__FILEDIR__}/korvina.ico"
  !define MUI_UNICON "${__FILEDIR__}/korvina.ico"
!endif
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

; What the package holds, listed while compiling, so that the uninstaller removes exactly the
; files the installer put there: Delete lines for the files, RMDir lines for the folders, the
; deepest first. makensis turns every backslash of a !system line into a slash, so awk makes the
; backslashes and quotes itself; a "$" in a name is doubled, which NSIS reads back as one.
!define LIST_AWK `awk 'BEGIN { q = sprintf("%c", 34); b = sprintf("%c", 92) } \
  { p = substr($0, 3); gsub("/", b, p); gsub("[$]", "$$", p); \
    print ENVIRON["V"] " " q "$INSTDIR" b p q }'`
!tempfile PACKAGE_LIST
!system `cd "${PACKAGE_DIR}" && { \
  echo '!macro DeletePackageFiles'; find . -type f | LC_ALL=C sort | V=Delete ${LIST_AWK}; \
  echo '!macroend'; echo '!macro RemovePackageFolders'; \
  find . -mindepth 1 -type d | LC_ALL=C sort -r | V=RMDir ${LIST_AWK}; \
  echo '!macroend'; } > "${PACKAGE_LIST}"` = 0
!include "${PACKAGE_LIST}"
!delfile "${PACKAGE_LIST}"

Var UpdateMode ; 1 when started by the launcher as update_installer.exe
Var Launch     ; 1 when the launcher is to be started at the end of a silent install

; Shared by the installer and the uninstaller, whose functions carry the "un." prefix.
!macro KorvinaFunctions UN
; Leaves $R0 at 1 once no launcher runs and its program file can be written, within
; CLOSE_WAIT_MS, else at 0. Windows titled "Korvina Launcher" whose process is a
; korvina-launcher.exe are asked to close now and then: an Explorer window open on the
; launcher's folder bears the same title and is left alone.
Function ${UN}CloseLauncher
  Push $0
  Push $1
  Push $2
  Push $3
  Push $R1
  StrCpy $R0 0
  StrCpy $R1 0
  ${Do}
    ; SYNCHRONIZE only. Access denied means it exists all the same (another user's launcher).
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${MUTEX}") p .r0 ?e'
    Pop $1
    ${If} $0 != 0
      System::Call 'kernel32::CloseHandle(p r0)'
    ${ElseIf} $1 != 5
      ; A process that is ending may keep its program file locked for a moment longer.
      ${IfNot} ${FileExists} "$INSTDIR\${EXE}"
        StrCpy $R0 1
        ${Break}
      ${EndIf}
      ClearErrors
      FileOpen $0 "$INSTDIR\${EXE}" a
      ${IfNot} ${Errors}
        FileClose $0
        StrCpy $R0 1
        ${Break}
      ${EndIf}
    ${EndIf}
    IntOp $2 $R1 % 5000
    ${If} $2 == 0
      StrCpy $0 0
      ${Do}
        FindWindow $0 "" "${PRODUCT}" 0 $0
        ${If} $0 == 0
          ${Break}
        ${EndIf}
        System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1)'
        System::Call 'kernel32::OpenProcess(i 0x1000, i 0, i r1) p .r2'
        StrCpy $3 ""
        System::Call 'kernel32::QueryFullProcessImageNameW(p r2, i 0, w .r3, *i ${NSIS_MAX_STRLEN})'
        System::Call 'kernel32::CloseHandle(p r2)'
        ${GetFileName} $3 $3
        ${If} $3 == "${EXE}"
          SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
        ${EndIf}
      ${Loop}
    ${EndIf}
    ${If} $R1 >= ${CLOSE_WAIT_MS}
      ${Break}
    ${EndIf}
    Sleep 250
    IntOp $R1 $R1 + 250
  ${Loop}
  Pop $R1
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; An empty folder or a drive root would turn the removals below into removals from a whole drive.
Function ${UN}CheckInstDir
  StrLen $0 $INSTDIR
  ${If} $0 <= 3
    Push "Неподходящая папка: $\"$INSTDIR$\"."
    Call ${UN}Fail
  ${EndIf}
FunctionEnd

; Tells why (a dialog only when not silent) and ends with exit code 2, having changed nothing
; further.
Function ${UN}Fail
  Exch $0
  DetailPrint $0
  MessageBox MB_OK|MB_ICONSTOP $0 /SD IDOK
  SetErrorLevel 2
  Quit
FunctionEnd
!macroend
!insertmacro KorvinaFunctions ""
!insertmacro KorvinaFunctions "un."

Function .onInit
  SetShellVarContext all
  SetRegView 64
  StrCpy $UpdateMode 0
  StrCpy $Launch 0
  ${If} $EXEFILE == "update_installer.exe"
    StrCpy $UpdateMode 1
    StrCpy $Launch 1
    StrCpy $INSTDIR $EXEDIR
    SetSilent silent
  ${ElseIf} $INSTDIR == ""
    ; No /D: where it is already installed, else C:\Games on the system drive. Not Program
    ; Files: the launcher writes its state and the game folder beside itself.
    ReadRegStr $INSTDIR HKLM "${UNINST_KEY}" InstallLocation
    ${If} $INSTDIR == ""
      StrCpy $0 $WINDIR 2
      StrCpy $INSTDIR "$0\Games\${PRODUCT}"
    ${EndIf}
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/LAUNCH" $1
  ${IfNot} ${Errors}
    StrCpy $Launch 1
  ${EndIf}
FunctionEnd

Function .onVerifyInstDir
  StrLen $0 $INSTDIR
  ${If} $0 <= 3
    Abort
  ${EndIf}
FunctionEnd

Section
  Call CheckInstDir
  Call CloseLauncher
  ${If} $R0 != 1
    Push "${PRODUCT} не закрылся за ${CLOSE_WAIT_S} с. Закройте его и запустите установку снова."
    Call Fail
  ${EndIf}

  ; Silent, File skips a file it cannot write, Ignore being the silent answer to its question, and
  ; sets the error flag: a file still locked for a moment gets the whole copy again a second
  ; later, ten times at most. Otherwise the player answers its Abort/Retry/Ignore question.
  SetOutPath "$INSTDIR"
  StrCpy $R1 0
  ${Do}
    ClearErrors
    File /r "${PACKAGE_DIR}\*.*"
    ${IfNot} ${Errors}
    ${OrIfNot} ${Silent}
      ${Break}
    ${EndIf}
    IntOp $R1 $R1 + 1
    ${If} $R1 >= 10
      Push "Не удалось записать файлы в $\"$INSTDIR$\"."
      Call Fail
    ${EndIf}
    Sleep 1000
  ${Loop}

  ; File /r left the output folder in a subfolder; shortcuts and Exec take it as working folder.
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} $UpdateMode != 1
    ; An update leaves the player's shortcuts as they are, removed ones too.
    CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${EXE}"
    CreateShortCut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\${EXE}"
  ${EndIf}
  WriteRegStr HKLM "${UNINST_KEY}" DisplayName "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" DisplayIcon "$INSTDIR\${EXE}"
  WriteRegStr HKLM "${UNINST_KEY}" Publisher "Korvina RP"
  WriteRegStr HKLM "${UNINST_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" UninstallString '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" QuietUninstallString '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINST_KEY}" NoRepair 1
  SectionGetSize 0 $0
  WriteRegDWORD HKLM "${UNINST_KEY}" EstimatedSize $0

  ${If} $Launch == 1
    Exec '"$INSTDIR\${EXE}"'
  ${EndIf}
SectionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section Uninstall
  Call un.CheckInstDir
  Call un.CloseLauncher
  ${If} $R0 != 1
    Push "${PRODUCT} всё ещё запущен. Закройте его и запустите удаление снова."
    Call un.Fail
  ${EndIf}

  !insertmacro DeletePackageFiles
  ; What the launcher itself writes beside itself.
  Delete "$INSTDIR\korvina_launcher.bin"
  Delete "$INSTDIR\korvina_servers.bin"
  Delete "$INSTDIR\korvina_release.bin"
  Delete "$INSTDIR\user.ini"
  Delete "$INSTDIR\update_installer.exe"
  Delete "$INSTDIR\*.tmp"
  RMDir /r "$INSTDIR\cache"
  !insertmacro RemovePackageFolders

  ; The game folder holds gigabytes the player downloaded: removed only when the player says so,
  ; never in a silent uninstall.
  ${If} ${FileExists} "$INSTDIR\gtacr\*.*"
    ${If} ${Cmd} `MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "Удалить также папку игры \
        $\"$INSTDIR\gtacr$\" со всеми загруженными файлами?" /SD IDNO IDYES`
      RMDir /r "$INSTDIR\gtacr"
    ${EndIf}
  ${EndIf}

  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$DESKTOP\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINST_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: whatever else the player keeps there stays, and so does the folder.
  RMDir "$INSTDIR"
SectionEnd
