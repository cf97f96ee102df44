; tzf-filter setup: the command-line tools, the Windows Imaging Component codec
; for 32- and 64-bit programs, and the image viewer's import filter.
;
; scripts/package.sh builds it:
;   makensis -DVERSION=1.2.0 -DSTAGE=DIR -DOUTFILE=FILE [-DTARGET_AMD64] installer.nsi
; STAGE is the unpacked zip: README.txt, LICENSE.txt, x86\ and x64\, each with
; tzfconv.exe, tzfenc.exe, tzffilter.dll and tzfwic.dll. The shipped setup is
; a 32-bit program, so that one file runs on 32- and 64-bit Windows;
; TARGET_AMD64 makes the same setup a 64-bit program, for machines that run
; only 64-bit programs.
;
; Command line (besides the usual /S, silent, and /D=FOLDER, last):
;   /PATH=1           add the tools' folder to the system PATH (/PATH=0: do not)
;   /FILTERDIR=FOLDER put the viewer filter tzffilter.dll into FOLDER
;
; Layout: INSTDIR\x86 holds the 32-bit programs, INSTDIR\x64 the 64-bit ones
; (64-bit Windows only). tzfconv.exe loads tzffilter.dll from its own folder,
; so each folder has its own. PATH gets the folder of the machine's own kind.

!ifndef VERSION | STAGE | OUTFILE
  !error "define VERSION, STAGE and OUTFILE (see the top of this file)"
!endif

Unicode true
!ifdef TARGET_AMD64
  Target amd64-unicode
  ; x64.nsh's tests are constant in a 64-bit setup: their other branches go unused.
  !pragma warning disable 6012
!else
  Target x86-unicode
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all
ManifestDPIAware true

!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include WinMessages.nsh
!include Sections.nsh
!include x64.nsh
!include MUI2.nsh

!define PRODUCT "tzf-filter"
!define PUBLISHER "the tzf-filter developers"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define ENV_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

; The 32-bit and the 64-bit regsvr32, as this setup's kind of program sees them.
!ifdef TARGET_AMD64
  !define REGSVR_X86 "$WINDIR\SysWOW64\regsvr32.exe"
  !define REGSVR_X64 "$SYSDIR\regsvr32.exe"
!else
  !define REGSVR_X86 "$SYSDIR\regsvr32.exe"
  !define REGSVR_X64 "$WINDIR\SysNative\regsvr32.exe"
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey FileDescription "${PRODUCT} ${VERSION} setup"
VIAddVersionKey LegalCopyright "MIT licence, copyright 2026 ${PUBLISHER}"

Var FilterDir      ; where tzffilter.dll for the viewer goes
Var FilterDirMade  ; the outermost folder this setup made for it, or ""
Var CodecFailed    ; 1 when a codec could not be registered

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY

!define MUI_PAGE_HEADER_TEXT "Image viewer filter"
!define MUI_PAGE_HEADER_SUBTEXT "Choose where tzffilter.dll goes."
!define MUI_DIRECTORYPAGE_TEXT_TOP "tzffilter.dll lets an image viewer that takes 32-bit import \
filters open TZF pictures. Setup puts it into the folder below: choose the viewer's plug-in \
folder (where its other import filters are kept), or keep the default, beside the 32-bit \
tools, and copy the file into the viewer's plug-in folder later. Restart the viewer afterwards."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Folder for tzffilter.dll"
!define MUI_DIRECTORYPAGE_VARIABLE $FilterDir
!define MUI_PAGE_CUSTOMFUNCTION_PRE FilterPagePre
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; ---------------------------------------------------------------------------
; PATH editing. The system Path is read and written whole; NSIS strings hold
; NSIS_MAX_STRLEN characters, so a longer Path is left alone (and said so)
; rather than cut.

; Pushes "1" when the ;-separated LIST has ENTRY (any case), else "0".
!macro PathHas LIST ENTRY
  Push $0
  ${WordReplace} ";${LIST};" ";${ENTRY};" ";" "+" $0
  ${If} $0 == ";${LIST};"
    StrCpy $0 0
  ${Else}
    StrCpy $0 1
  ${EndIf}
  Exch $0
!macroend

; Stack: ENTRY. Adds ENTRY to the system Path unless it is there.
; Pushes "1" when it was added.
Function AddToPath
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  StrCpy $R3 0
  ClearErrors
  ReadRegStr $R1 HKLM "${ENV_KEY}" "Path"
  ${If} ${Errors}
    DetailPrint "The system PATH could not be read whole: $R0 was not added to it."
  ${Else}
    !insertmacro PathHas $R1 $R0
    Pop $R2
    ${If} $R2 == 1
      DetailPrint "The system PATH already has $R0."
    ${Else}
      StrLen $R2 "$R1;$R0"
      ${If} $R2 >= ${NSIS_MAX_STRLEN}
        DetailPrint "The system PATH is too long for this setup: $R0 was not added to it."
      ${Else}
        ${If} $R1 == ""
          StrCpy $R1 $R0
        ${Else}
          StrCpy $R2 $R1 1 -1
          ${If} $R2 == ";"
            StrCpy $R1 "$R1$R0"
          ${Else}
            StrCpy $R1 "$R1;$R0"
          ${EndIf}
        ${EndIf}
        WriteRegExpandStr HKLM "${ENV_KEY}" "Path" $R1
        SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
        DetailPrint "Added $R0 to the system PATH."
        StrCpy $R3 1
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $R0 $R3
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; Stack: ENTRY. Removes every item ENTRY (any case) from the system Path and
; keeps the others as they were.
Function un.RemoveFromPath
  Exch $R0
  Push $R1
  Push $R2
  ClearErrors
  ReadRegStr $R1 HKLM "${ENV_KEY}" "Path"
  ${If} ${Errors}
    DetailPrint "The system PATH could not be read whole: remove $R0 from it by hand."
  ${Else}
    StrCpy $R1 ";$R1;"
    StrCpy $R2 ""
    ${DoWhile} $R2 != $R1
      StrCpy $R2 $R1
      ${WordReplace} $R1 ";$R0;" ";" "+" $R1
    ${Loop}
    ; Without the two separators added above.
    StrCpy $R1 $R1 "" 1
    StrCpy $R1 $R1 -1
    WriteRegExpandStr HKLM "${ENV_KEY}" "Path" $R1
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    DetailPrint "Removed $R0 from the system PATH."
  ${EndIf}
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; ---------------------------------------------------------------------------
; Codec registration: each DLL by the regsvr32 of its own kind.

!macro Regsvr32 REGSVR ARGS DLL
  ClearErrors
  ExecWait '"${REGSVR}" /s ${ARGS} "${DLL}"' $0
  ${If} ${Errors}
  ${OrIf} $0 != 0
    DetailPrint "regsvr32 ${ARGS} failed for ${DLL} (exit status $0)."
    StrCpy $CodecFailed 1
  ${Else}
    DetailPrint "regsvr32 ${ARGS} ${DLL}: done."
  ${EndIf}
!macroend

; ---------------------------------------------------------------------------

Section "Tools, codec and viewer filter (required)" SecMain
  SectionIn RO
  StrCpy $CodecFailed 0
  ${If} $FilterDir == ""
    StrCpy $FilterDir "$INSTDIR\x86"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  SetOutPath "$INSTDIR\x86"
  File "${STAGE}\x86\tzfconv.exe"
  File "${STAGE}\x86\tzfenc.exe"
  File "${STAGE}\x86\tzffilter.dll"
  File "${STAGE}\x86\tzfwic.dll"
  ${If} ${RunningX64}
    SetOutPath "$INSTDIR\x64"
    File "${STAGE}\x64\tzfconv.exe"
    File "${STAGE}\x64\tzfenc.exe"
    File "${STAGE}\x64\tzffilter.dll"
    File "${STAGE}\x64\tzfwic.dll"
  ${EndIf}

  ; The viewer filter, where the user chose (INSTDIR\x86 has it already).
  ; The outermost folder this makes for it is kept for the uninstaller.
  StrCpy $FilterDirMade ""
  ${If} $FilterDir != "$INSTDIR\x86"
    StrCpy $0 $FilterDir
    ${Do}
      ${If} $0 == ""
      ${OrIf} ${FileExists} "$0\*.*"
        ${Break}
      ${EndIf}
      StrCpy $FilterDirMade $0
      ${GetParent} $0 $0
    ${Loop}
    SetOutPath "$FilterDir"
    File "${STAGE}\x86\tzffilter.dll"
  ${EndIf}
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ; What the uninstaller must undo besides INSTDIR.
  WriteRegStr HKLM "${UNINST_KEY}" "FilterFolder" "$FilterDir"
  WriteRegStr HKLM "${UNINST_KEY}" "FilterFolderMade" $FilterDirMade

  ; The codec for 32-bit programs, and on 64-bit Windows for 64-bit ones.
  !insertmacro Regsvr32 "${REGSVR_X86}" "" "$INSTDIR\x86\tzfwic.dll"
  ${If} ${RunningX64}
    !insertmacro Regsvr32 "${REGSVR_X64}" "" "$INSTDIR\x64\tzfwic.dll"
  ${EndIf}
  ${If} $CodecFailed == 1
    MessageBox MB_OK|MB_ICONEXCLAMATION "The picture codec could not be registered for every \
      kind of program (see the details). Programs that read pictures through Windows may not \
      open TZF pictures." /SD IDOK
  ${EndIf}
SectionEnd

Section /o "Add the tools to the system PATH" SecPath
  ${If} ${RunningX64}
    Push "$INSTDIR\x64"
  ${Else}
    Push "$INSTDIR\x86"
  ${EndIf}
  Call AddToPath
  Pop $0
  ${If} $0 == 1
    ${If} ${RunningX64}
      WriteRegStr HKLM "${UNINST_KEY}" "PathEntry" "$INSTDIR\x64"
    ${Else}
      WriteRegStr HKLM "${UNINST_KEY}" "PathEntry" "$INSTDIR\x86"
    ${EndIf}
  ${EndIf}
SectionEnd

; Last, so that the size counts every file.
Section "-size"
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Function .onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ${If} $INSTDIR == ""
    ; Where a previous setup put it, else under Program Files.
    ReadRegStr $INSTDIR HKLM "${UNINST_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    ${If} ${RunningX64}
      StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    ${Else}
      StrCpy $INSTDIR "$PROGRAMFILES\${PRODUCT}"
    ${EndIf}
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PATH=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == 1
      !insertmacro SelectSection ${SecPath}
    ${Else}
      !insertmacro UnselectSection ${SecPath}
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/FILTERDIR=" $R1
  ${IfNot} ${Errors}
    StrCpy $FilterDir $R1
  ${EndIf}
FunctionEnd

Function FilterPagePre
  ${If} $FilterDir == ""
    StrCpy $FilterDir "$INSTDIR\x86"
  ${EndIf}
FunctionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} "tzfconv and tzfenc (32-bit, and 64-bit on \
    64-bit Windows), the picture codec that lets Explorer, Photos and other programs read TZF \
    pictures, and the image viewer filter tzffilter.dll."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPath} "Lets a command prompt find tzfconv and tzfenc \
    without their folder."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; ---------------------------------------------------------------------------

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Section "Uninstall"
  StrCpy $CodecFailed 0
  ${If} ${FileExists} "$INSTDIR\x64\tzfwic.dll"
    !insertmacro Regsvr32 "${REGSVR_X64}" "/u" "$INSTDIR\x64\tzfwic.dll"
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\x86\tzfwic.dll"
    !insertmacro Regsvr32 "${REGSVR_X86}" "/u" "$INSTDIR\x86\tzfwic.dll"
  ${EndIf}

  ClearErrors
  ReadRegStr $0 HKLM "${UNINST_KEY}" "PathEntry"
  ${IfNot} ${Errors}
  ${AndIf} $0 != ""
    Push $0
    Call un.RemoveFromPath
  ${EndIf}

  ReadRegStr $FilterDir HKLM "${UNINST_KEY}" "FilterFolder"
  ReadRegStr $FilterDirMade HKLM "${UNINST_KEY}" "FilterFolderMade"
  ${If} $FilterDir != ""
  ${AndIf} $FilterDir != "$INSTDIR\x86"
    Delete /REBOOTOK "$FilterDir\tzffilter.dll"
    ; The folders made for it, from the inside out, each only if empty.
    ${If} $FilterDirMade != ""
      StrCpy $0 $FilterDir
      ${Do}
        RMDir $0
        ${If} $0 == $FilterDirMade
          ${Break}
        ${EndIf}
        ${GetParent} $0 $0
      ${LoopUntil} $0 == ""
    ${EndIf}
  ${EndIf}

  ; A codec in use (e.g. by Explorer's thumbnails) goes at the next restart.
  !macro RemoveArch ARCH
    Delete "$INSTDIR\${ARCH}\tzfconv.exe"
    Delete "$INSTDIR\${ARCH}\tzfenc.exe"
    Delete /REBOOTOK "$INSTDIR\${ARCH}\tzffilter.dll"
    Delete /REBOOTOK "$INSTDIR\${ARCH}\tzfwic.dll"
    RMDir /REBOOTOK "$INSTDIR\${ARCH}"
  !macroend
  !insertmacro RemoveArch x86
  !insertmacro RemoveArch x64
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"

  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
