; tarvune.nsi -- the installer: puts tarvune.dll and UTarvune.exe into one
; folder, counts the add-on in the shared-DLL list and enters it in the list
; of installed software. UTarvune.exe is the uninstaller; none is written here.
;
; The build runs makensis with four defines:
;   VERSION           the project's version, four numbers (0.0.0.1)
;   ADDON_FILE        the built tarvune.dll
;   UNINSTALLER_FILE  the built UTarvune.exe
;   OUTPUT_FILE       the installer to write
; Silent install: setup.exe /S [/D=folder], /D last and without quotes.
; Exit code 0 on success, 2 when the installation failed or was cancelled.

Unicode true
RequestExecutionLevel admin     ; it writes under HKEY_LOCAL_MACHINE
SetCompressor /SOLID lzma

!macro REQUIRE_DEFINE NAME
  !ifndef ${NAME}
    !error "makensis needs -D${NAME}=...: run it through the build (tools/release.sh)"
  !endif
!macroend
!insertmacro REQUIRE_DEFINE VERSION
!insertmacro REQUIRE_DEFINE ADDON_FILE
!insertmacro REQUIRE_DEFINE UNINSTALLER_FILE
!insertmacro REQUIRE_DEFINE OUTPUT_FILE

; The binaries packed here must carry the version the installer announces
; (both take it from the build; the uninstaller's block is the one read here).
!getdllversion "${UNINSTALLER_FILE}" PACKED_VERSION_
!if "${PACKED_VERSION_1}.${PACKED_VERSION_2}.${PACKED_VERSION_3}.${PACKED_VERSION_4}" != "${VERSION}"
  !error "${UNINSTALLER_FILE} carries version ${PACKED_VERSION_1}.${PACKED_VERSION_2}.${PACKED_VERSION_3}.${PACKED_VERSION_4}, not ${VERSION}"
!endif

; --- Names ---------------------------------------------------------------------

!define PRODUCT_NAME "Tarvune Add-on Library"
!define PUBLISHER "Tarvune"
!define ADDON_NAME "tarvune.dll"
!define UNINSTALLER_NAME "UTarvune.exe"
!define NEW_SUFFIX ".new"       ; a file is written under this suffix, then renamed over the old one

; --- The registry: the two entries UTarvune.exe removes, under HKEY_LOCAL_MACHINE

; Value: the add-on's full path; data: the number of installations sharing it (REG_DWORD).
!define SHARED_DLLS_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs"
; The key, with these values. UNINSTALL_VALUES hands each line to the macro
; DO: writing them, and saving and restoring an earlier installation's.
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Tarvune"
!macro UNINSTALL_VALUES DO
  !insertmacro ${DO} Str   DisplayName     "${PRODUCT_NAME}"
  !insertmacro ${DO} Str   DisplayVersion  "${VERSION}"
  !insertmacro ${DO} Str   Publisher       "${PUBLISHER}"
  !insertmacro ${DO} Str   InstallLocation "$INSTDIR"
  !insertmacro ${DO} Str   UninstallString '"$INSTDIR\${UNINSTALLER_NAME}"'
  !insertmacro ${DO} DWORD NoModify        1
  !insertmacro ${DO} DWORD NoRepair        1
  !insertmacro ${DO} DWORD EstimatedSize   $sizeKb
!macroend

; --- The installer's face ----------------------------------------------------------

Name "${PRODUCT_NAME}"
Caption "${PRODUCT_NAME} ${VERSION} Setup"
OutFile "${OUTPUT_FILE}"
BrandingText "${PRODUCT_NAME} ${VERSION}"
InstallDir "$PROGRAMFILES\Tarvune"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"   ; an earlier installation's folder
DirText "The add-on belongs in the folder of the REXX host application that loads it. \
Setup installs ${ADDON_NAME} and its uninstaller ${UNINSTALLER_NAME} there; \
files of the same names in that folder are replaced." \
  "Folder of the host application"
ShowInstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT_NAME} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" ""

Page directory
Page instfiles

; --- Failing without harm -------------------------------------------------------------
;
; A failed run leaves what was there before: nothing of its own after a
; fresh install, the earlier installation whole after an update. Both new
; files are written beside the old ones first; then each old file is moved
; aside (.old) and the new one put in its place; then the count and the key
; are written. Every step records what it changed, and Fail undoes exactly
; that, last step first. The .old files go only when everything succeeded.

!include LogicLib.nsh

!define OLD_SUFFIX ".old"

Var createdFolder     ; 1 when this run made $INSTDIR
Var sizeKb
; Per file: the earlier one was moved aside; the new one is in its place.
Var asideAddon
Var placedAddon
Var asideUninstaller
Var placedUninstaller
; The count: 1 once it was written; whether it existed, and its earlier value.
Var countWritten
Var hadCount
Var oldCount
; The key: 1 once writing it began; whether it existed, and its earlier values.
Var keyWritten
Var keyExisted
!macro DECLARE_SAVED TYPE NAME VALUE
  Var old${NAME}
  Var had${NAME}
!macroend
!insertmacro UNINSTALL_VALUES DECLARE_SAVED

!macro WRITE_VALUE TYPE NAME VALUE
  WriteReg${TYPE} HKLM "${UNINSTALL_KEY}" "${NAME}" `${VALUE}`   ; the value may hold double quotes
!macroend
!macro SAVE_VALUE TYPE NAME VALUE
  ClearErrors
  ReadReg${TYPE} $old${NAME} HKLM "${UNINSTALL_KEY}" "${NAME}"
  ${If} ${Errors}
    StrCpy $had${NAME} 0
  ${Else}
    StrCpy $had${NAME} 1
  ${EndIf}
!macroend
!macro RESTORE_VALUE TYPE NAME VALUE
  ${If} $had${NAME} == 1
    WriteReg${TYPE} HKLM "${UNINSTALL_KEY}" "${NAME}" $old${NAME}
  ${Else}
    DeleteRegValue HKLM "${UNINSTALL_KEY}" "${NAME}"
  ${EndIf}
!macroend

; Puts a file back as it was: the earlier one from .old, or none.
!macro UNDO_FILE ID NAME
  ${If} $aside${ID} == 1
    ; MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH
    System::Call 'kernel32::MoveFileExW(w "$INSTDIR\${NAME}${OLD_SUFFIX}", w "$INSTDIR\${NAME}", i 0x9)'
  ${ElseIf} $placed${ID} == 1
    Delete "$INSTDIR\${NAME}"
  ${EndIf}
!macroend

; Says what failed (in the log and a box; a silent run only ends with exit
; code 2), undoes what this run changed, and stops. The text is on the stack.
Function Fail
  Exch $R0
  DetailPrint "$R0"
  ${If} $keyWritten == 1
    ${If} $keyExisted == 1
      !insertmacro UNINSTALL_VALUES RESTORE_VALUE
    ${Else}
      DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ${EndIf}
  ${EndIf}
  ${If} $countWritten == 1
    ${If} $hadCount == 1
      WriteRegDWORD HKLM "${SHARED_DLLS_KEY}" "$INSTDIR\${ADDON_NAME}" $oldCount
    ${Else}
      DeleteRegValue HKLM "${SHARED_DLLS_KEY}" "$INSTDIR\${ADDON_NAME}"
    ${EndIf}
  ${EndIf}
  !insertmacro UNDO_FILE Addon "${ADDON_NAME}"
  !insertmacro UNDO_FILE Uninstaller "${UNINSTALLER_NAME}"
  Delete "$INSTDIR\${ADDON_NAME}${NEW_SUFFIX}"
  Delete "$INSTDIR\${UNINSTALLER_NAME}${NEW_SUFFIX}"
  ${If} $createdFolder == 1
    SetOutPath "$TEMP"          ; a folder that is the current one cannot go
    RMDir "$INSTDIR"            ; only if empty
  ${EndIf}
  MessageBox MB_ICONSTOP|MB_OK "$R0" /SD IDOK
  SetErrorLevel 2
  Abort "$R0"
FunctionEnd
!macro FAIL TEXT
  Push "${TEXT}"
  Call Fail
!macroend

; A file that a running program holds (a host that loaded the add-on, a
; running uninstaller) cannot be opened for writing; nor can one that is
; read-only or locked down. Opened alone (no sharing), changed in nothing.
!macro REFUSE_IF_BUSY NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    ; GENERIC_WRITE, no sharing, OPEN_EXISTING
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\${NAME}", i 0x40000000, i 0, p 0, i 3, i 0, p 0) p.r0 ?e'
    Pop $1   ; the last error
    ${If} $0 = -1
      ${If} $1 = 32   ; ERROR_SHARING_VIOLATION
        !insertmacro FAIL "$INSTDIR\${NAME} is in use by a running program. Close the program that loaded it and run Setup again; the installed add-on was left as it was."
      ${Else}
        !insertmacro FAIL "Setup cannot replace $INSTDIR\${NAME} (error $1); the installed add-on was left as it was."
      ${EndIf}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r0)'
  ${EndIf}
!macroend

; Writes one packed file under its new name and checks that it is all there.
!macro WRITE_NEW SOURCE NAME
  Delete "$INSTDIR\${NAME}${NEW_SUFFIX}"
  ClearErrors
  File "/oname=${NAME}${NEW_SUFFIX}" "${SOURCE}"
  ${If} ${Errors}
  ${OrIfNot} ${FileExists} "$INSTDIR\${NAME}${NEW_SUFFIX}"
    !insertmacro FAIL "Setup cannot write to the folder $INSTDIR. Choose a folder you may write to, or run Setup as an administrator; the installed add-on was left as it was."
  ${EndIf}
!macroend

; Moves a file in one step (MOVEFILE_WRITE_THROUGH), or fails.
!macro MOVE FROM TO
  System::Call 'kernel32::MoveFileExW(w "${FROM}", w "${TO}", i 0x8) i.r0 ?e'
  Pop $1   ; the last error
  ${If} $0 == 0
    !insertmacro FAIL "Setup cannot replace ${TO} (error $1); the installed add-on was left as it was."
  ${EndIf}
!macroend

; Moves the earlier file aside, if there is one, and the new one into its place.
!macro REPLACE ID NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    Delete "$INSTDIR\${NAME}${OLD_SUFFIX}"   ; left by a run that was cut off
    !insertmacro MOVE "$INSTDIR\${NAME}" "$INSTDIR\${NAME}${OLD_SUFFIX}"
    StrCpy $aside${ID} 1
  ${EndIf}
  !insertmacro MOVE "$INSTDIR\${NAME}${NEW_SUFFIX}" "$INSTDIR\${NAME}"
  StrCpy $placed${ID} 1
!macroend

Section "Tarvune Add-on Library" SectionAddon
  StrCpy $createdFolder 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    ClearErrors
    CreateDirectory "$INSTDIR"
    ${If} ${Errors}
      !insertmacro FAIL "Setup cannot create the folder $INSTDIR."
    ${EndIf}
    StrCpy $createdFolder 1
  ${EndIf}
  SetOutPath "$INSTDIR"

  !insertmacro REFUSE_IF_BUSY "${ADDON_NAME}"
  !insertmacro REFUSE_IF_BUSY "${UNINSTALLER_NAME}"

  DetailPrint "Writing the files"
  SetOverwrite try    ; a file that cannot be written sets the error flag, without a box
  !insertmacro WRITE_NEW "${ADDON_FILE}" "${ADDON_NAME}"
  !insertmacro WRITE_NEW "${UNINSTALLER_FILE}" "${UNINSTALLER_NAME}"
  !insertmacro REPLACE Addon "${ADDON_NAME}"
  !insertmacro REPLACE Uninstaller "${UNINSTALLER_NAME}"

  DetailPrint "Writing the registry entries"
  ClearErrors
  ReadRegDWORD $oldCount HKLM "${SHARED_DLLS_KEY}" "$INSTDIR\${ADDON_NAME}"
  ${If} ${Errors}
    StrCpy $hadCount 0
    StrCpy $oldCount 0
  ${Else}
    StrCpy $hadCount 1
  ${EndIf}
  IntOp $0 $oldCount + 1
  StrCpy $countWritten 1
  ClearErrors
  WriteRegDWORD HKLM "${SHARED_DLLS_KEY}" "$INSTDIR\${ADDON_NAME}" $0
  ${If} ${Errors}
    !insertmacro FAIL "Setup cannot write its registry entries under HKEY_LOCAL_MACHINE; run it as an administrator. Nothing was changed."
  ${EndIf}

  ClearErrors
  EnumRegKey $0 HKLM "${UNINSTALL_KEY}" 0   ; fails only when there is no such key
  ${If} ${Errors}
    StrCpy $keyExisted 0
  ${Else}
    StrCpy $keyExisted 1
    !insertmacro UNINSTALL_VALUES SAVE_VALUE
  ${EndIf}
  SectionGetSize ${SectionAddon} $sizeKb
  StrCpy $keyWritten 1
  ClearErrors
  !insertmacro UNINSTALL_VALUES WRITE_VALUE
  ${If} ${Errors}
    !insertmacro FAIL "Setup cannot write its registry entries under HKEY_LOCAL_MACHINE; run it as an administrator. Nothing was changed."
  ${EndIf}

  Delete "$INSTDIR\${ADDON_NAME}${OLD_SUFFIX}"
  Delete "$INSTDIR\${UNINSTALLER_NAME}${OLD_SUFFIX}"
SectionEnd
