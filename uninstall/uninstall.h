// uninstall.h -- what the uninstaller's files share: its process-wide state,
// its path limits and the operations of one uninstall.
// The program links no C runtime: strings go through lstrcpyA and lstrlenA.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "resources.h"

// Every path lives in a buffer of this many bytes (MAX_PATH).
const int PATH_BUFFER_SIZE = 260;

// The temp folder is asked for with this limit: what fits leaves room for the
// 11 characters of "tarvune.bat" and the terminating zero.
const int TEMP_PATH_LIMIT = 248;

// Set once each: the uninstaller's own module, and the dialog (null until it
// exists). The progress bar is always reached as a control of that dialog.
extern HINSTANCE g_module;
extern HWND g_dialog;

// The dialog procedure of dialog 102; nonzero means handled.
INT_PTR CALLBACK UninstallDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The OK action: every uninstall step, in order.
void RunUninstall();

// Deletes one file, warns when that fails for any reason but absence, and
// steps the progress bar either way.
void DeleteAddonFile(const char* path);

// Builds the batch path in `buffer` (260 bytes, overwritten), writes the
// self-removal batch file there, starts it hidden, and steps the progress bar.
void StartSelfRemoval(char* buffer);

// Turns the uninstaller's own path (`length` bytes in `buffer`) into the
// add-on's path: the same folder, backslash included, then "tarvune.dll";
// a path without a backslash gives the bare file name. Returns false, and
// leaves the buffer alone, when the own path was cut short (it filled the
// buffer) or the result would not fit in PATH_BUFFER_SIZE bytes.
bool MakeAddonPath(char* buffer, DWORD length);

// Puts the batch file's path in `buffer`: the temp folder, then "tarvune.bat".
// Returns false, with no path built, when the temp folder is unknown
// (GetTempPathA fails) or its path does not fit within TEMP_PATH_LIMIT.
bool MakeBatchPath(char* buffer);

// Writes the five CR LF lines of the self-removal batch, in nine writes:
// delete `ownPath` (`length` bytes) until it is gone, remove its folder,
// delete `batchPath`. Write failures are ignored.
void WriteRemovalBatch(HANDLE file, const char* ownPath, int length, const char* batchPath);

// Moves the progress bar of the dialog one step on.
inline void StepProgress()
{
    SendDlgItemMessageA(g_dialog, CONTROL_PROGRESS, PBM_STEPIT, 0, 0);
}
