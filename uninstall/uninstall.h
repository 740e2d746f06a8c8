// uninstall.h -- what the uninstaller's files share: its process-wide state,
// its path limits and the operations of one uninstall.
// The program links no C runtime: strings go through lstrcpyW and lstrlenW.
// Paths are UTF-16 (the W calls), so a folder of any name can be named.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "resources.h"

// Every path lives in a buffer of this many characters (MAX_PATH).
const int PATH_BUFFER_SIZE = 260;

// The temp folder is asked for with this limit: what fits leaves room for the
// 11 characters of "tarvune.bat" and the terminating zero.
const int TEMP_PATH_LIMIT = 248;

// A path as the batch file holds it: the OEM code page takes up to two bytes
// a character.
const int BATCH_TEXT_SIZE = 2 * PATH_BUFFER_SIZE;

// Set once each: the uninstaller's own module, and the dialog (null until it
// exists). The progress bar is always reached as a control of that dialog.
extern HINSTANCE g_module;
extern HWND g_dialog;

// The dialog procedure of dialog 102; nonzero means handled.
INT_PTR CALLBACK UninstallDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The OK action. The add-on file goes first; only once it is gone are its
// shared-DLL value and the uninstall key deleted and the self-removal started.
// An add-on that stays keeps all three, so the uninstaller can run again.
void RunUninstall();

// Deletes the add-on file and steps the progress bar. True when the file is
// gone (deleted now, or absent already); otherwise a warning box names it and
// says that nothing was removed.
bool DeleteAddonFile(const WCHAR* path);

// Builds the batch path in `buffer` (PATH_BUFFER_SIZE characters,
// overwritten), writes the self-removal batch file there, starts it hidden,
// and steps the progress bar. When a path cannot be written so that the
// command interpreter reads it (see BatchPathText), a box says so and the
// uninstaller's file and folder stay.
void StartSelfRemoval(WCHAR* buffer);

// Turns the uninstaller's own path (`length` characters in `buffer`) into
// the add-on's path: the same folder, backslash included, then "tarvune.dll";
// a path without a backslash gives the bare file name. Returns false, and
// leaves the buffer alone, when the own path was cut short (it filled the
// buffer) or the result would not fit in PATH_BUFFER_SIZE characters.
bool MakeAddonPath(WCHAR* buffer, DWORD length);

// Puts the batch file's path in `buffer`: the temp folder, then "tarvune.bat".
// Returns false, with no path built, when the temp folder is unknown
// (GetTempPathW fails) or its path does not fit within TEMP_PATH_LIMIT.
bool MakeBatchPath(WCHAR* buffer);

// A path as the batch must hold it: cmd reads a batch file in the OEM code
// page, so the path is converted to that, with no look-alike characters; a
// path with characters the code page lacks is given in its short (8.3) form
// when that form has none. Writes at most `capacity` bytes and a zero to
// `text`; returns the length, or -1 when neither form can be written.
int BatchPathText(const WCHAR* path, char* text, int capacity);

// How often the batch tries to delete the uninstaller, a second apart,
// before it gives up: its process normally ends long before.
const int BATCH_TRIES = 20;

// The three paths of the batch as BatchPathText gives them: the
// uninstaller, its folder (the text before the last backslash, or empty) and
// the batch file.
struct BatchTexts {
    char own[BATCH_TEXT_SIZE];
    char folder[BATCH_TEXT_SIZE];
    char batch[BATCH_TEXT_SIZE];
    int ownLength;
    int folderLength;
    int batchLength;
};

// Fills `texts` from the uninstaller's own path (`length` characters) and the
// batch path. Returns null, or the path that cannot be written (the batch
// path, or the own path when it or its folder cannot).
const WCHAR* MakeBatchTexts(WCHAR* ownPath, DWORD length, const WCHAR* batchPath, BatchTexts* texts);

// Writes the self-removal batch: delete the uninstaller until it is gone or
// BATCH_TRIES tries have failed, remove its folder (if empty by then), delete
// the batch file. In the file each path stands in double quotes with every %
// doubled, so that cmd reads exactly its bytes. Write failures are ignored.
void WriteRemovalBatch(HANDLE file, const BatchTexts& texts);

// Moves the progress bar of the dialog one step on.
inline void StepProgress()
{
    SendDlgItemMessageA(g_dialog, CONTROL_PROGRESS, PBM_STEPIT, 0, 0);
}
