// selfremoval.cpp -- the batch file that deletes the uninstaller's own file
// and folder once its process has ended, and the hidden start of that batch.
#include "uninstall.h"

static const WCHAR BATCH_FILE_NAME[] = L"tarvune.bat";
static const WCHAR UNREADABLE_CAPTION[] = L"Uninstall Tarvune Add-on Library";
static const WCHAR UNREADABLE_TEXT[] =
    L"The add-on was removed. Windows' command interpreter cannot read this path, so "
    L"UTarvune.exe cannot remove itself and its folder:\n\n";

bool MakeBatchPath(WCHAR* buffer)
{
    // A temp folder that does not fit comes back as the length it would
    // need, with nothing written: building behind it would overrun the
    // buffer. A failure (0) leaves no folder at all: the bare name would put
    // the batch in the current folder, and its last line, run from the
    // drive's root, would delete a "tarvune.bat" there that is not ours.
    DWORD length = GetTempPathW(TEMP_PATH_LIMIT, buffer);
    if (length == 0 || length >= (DWORD)TEMP_PATH_LIMIT)
        return false;
    lstrcpyW(buffer + length, BATCH_FILE_NAME);
    return true;
}

// The path in the OEM code page, or -1 when a character has no exact
// counterpart there. A UTF-8 code page (Windows' own option) holds every
// character, and takes no best-fit flag.
static int OemText(const WCHAR* path, char* text, int capacity)
{
    UINT codePage = GetOEMCP();
    bool utf8 = codePage == CP_UTF8;
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(codePage, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, path, -1, text, capacity,
                                nullptr, utf8 ? nullptr : &lossy);
    return n > 0 && !lossy ? n - 1 : -1;
}

int BatchPathText(const WCHAR* path, char* text, int capacity)
{
    int length = OemText(path, text, capacity);
    if (length >= 0)
        return length;
    WCHAR shortPath[PATH_BUFFER_SIZE];
    DWORD shortLength = GetShortPathNameW(path, shortPath, PATH_BUFFER_SIZE);
    if (shortLength == 0 || shortLength >= (DWORD)PATH_BUFFER_SIZE)
        return -1;
    return OemText(shortPath, text, capacity);
}

static void WriteBytes(HANDLE file, const char* bytes, int count)
{
    DWORD written;
    WriteFile(file, bytes, (DWORD)count, &written, nullptr);
}

template <int N>
static void WriteText(HANDLE file, const char (&text)[N])
{
    WriteBytes(file, text, N - 1);
}

// A path in double quotes, which make blanks, & and the like plain
// characters. A % would still be read as the start of a variable's name
// (cmd would drop it, and with it the text up to a second one), so each one
// is doubled. No OEM code page has % or " as the second byte of a character.
static void WriteQuotedPath(HANDLE file, const char* path, int length)
{
    WriteText(file, "\"");
    int run = 0;
    for (int i = 0; i < length; i++) {
        if (path[i] == '%') {
            WriteBytes(file, path + run, i + 1 - run);
            run = i;  // the same % starts the next run: written twice
        }
    }
    WriteBytes(file, path + run, length - run);
    WriteText(file, "\"");
}

const WCHAR* MakeBatchTexts(WCHAR* ownPath, DWORD length, const WCHAR* batchPath, BatchTexts* texts)
{
    texts->ownLength = BatchPathText(ownPath, texts->own, BATCH_TEXT_SIZE);
    texts->batchLength = BatchPathText(batchPath, texts->batch, BATCH_TEXT_SIZE);
    // The folder is the own path up to its last backslash, or empty.
    DWORD k = length;
    while (k > 0) {
        k--;
        if (ownPath[k] == L'\\')
            break;
    }
    WCHAR cut = ownPath[k];
    ownPath[k] = L'\0';
    texts->folderLength = BatchPathText(ownPath, texts->folder, BATCH_TEXT_SIZE);
    ownPath[k] = cut;
    if (texts->batchLength < 0)
        return batchPath;
    return texts->ownLength < 0 || texts->folderLength < 0 ? ownPath : nullptr;
}

// The batch deletes the uninstaller until the deletion sticks (it cannot
// while the uninstaller's process runs) or BATCH_TRIES tries a second apart
// have failed (a read-only file, a folder without delete rights), removes the
// folder if that left it empty, and deletes itself. ping is the one waiting
// command every Windows has; it is named by its full path, since the batch
// runs in the drive's root, where cmd would look first.
void WriteRemovalBatch(HANDLE file, const BatchTexts& texts)
{
    static_assert(BATCH_TRIES == 20, "the batch text spells out the number of tries");
    WriteText(file, "@echo off\r\n"
                    "setlocal EnableExtensions DisableDelayedExpansion\r\n"
                    "set tries=0\r\n"
                    ":Repeat\r\n"
                    "del ");
    WriteQuotedPath(file, texts.own, texts.ownLength);
    WriteText(file, "\r\nif not exist ");
    WriteQuotedPath(file, texts.own, texts.ownLength);
    WriteText(file, " goto Finish\r\n"
                    "set /a tries+=1\r\n"
                    "if %tries% geq 20 goto Finish\r\n"
                    "\"%SystemRoot%\\system32\\ping.exe\" -n 2 127.0.0.1 >nul\r\n"
                    "goto Repeat\r\n"
                    ":Finish\r\n"
                    "rmdir ");
    WriteQuotedPath(file, texts.folder, texts.folderLength);
    WriteText(file, "\r\ndel ");
    WriteQuotedPath(file, texts.batch, texts.batchLength);
    WriteText(file, "\r\n");
}

// Starts the batch hidden, suspended and at idle priority, and lifts the
// uninstaller above it before letting it run: the uninstaller should end
// before the batch's loop spends much time on a file that cannot go yet.
static void LaunchBatch(const WCHAR* batchPath)
{
    static STARTUPINFOW startup;  // static, so zero without a memset
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // The path in double quotes: unquoted, a blank in it ("C:\Documents and
    // Settings\...") makes Windows try "C:\Documents.exe" first, and a
    // program planted there would run with the uninstaller's rights.
    WCHAR commandLine[PATH_BUFFER_SIZE + 2];
    commandLine[0] = L'"';
    lstrcpyW(commandLine + 1, batchPath);
    lstrcatW(commandLine, L"\"");
    PROCESS_INFORMATION batch;
    // The root as current folder: the batch must not hold the folder it removes.
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, nullptr, L"\\", &startup, &batch))
        return;  // the batch file stays in the temp folder
    SetThreadPriority(batch.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    CloseHandle(batch.hProcess);
    ResumeThread(batch.hThread);
    CloseHandle(batch.hThread);
}

// Says that the uninstaller stays, naming the path the batch could not hold.
static void ReportUnreadable(const WCHAR* path)
{
    WCHAR text[sizeof UNREADABLE_TEXT / sizeof UNREADABLE_TEXT[0] + PATH_BUFFER_SIZE];
    lstrcpyW(text, UNREADABLE_TEXT);
    lstrcatW(text, path);
    MessageBoxW(g_dialog, text, UNREADABLE_CAPTION, MB_ICONWARNING | MB_OK);
}

// Writes and starts the batch that removes the uninstaller at `ownPath`
// (`length` characters), or says why it cannot.
static void WriteAndLaunch(WCHAR* ownPath, DWORD length, const WCHAR* batchPath)
{
    // The file comes first: a path has a short form only once it exists.
    HANDLE file = CreateFileW(batchPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    BatchTexts texts;
    const WCHAR* unreadable = MakeBatchTexts(ownPath, length, batchPath, &texts);
    if (!unreadable)
        WriteRemovalBatch(file, texts);
    CloseHandle(file);
    if (unreadable) {
        DeleteFileW(batchPath);
        ReportUnreadable(unreadable);
        return;
    }
    LaunchBatch(batchPath);
}

void StartSelfRemoval(WCHAR* buffer)
{
    WCHAR ownPath[PATH_BUFFER_SIZE];
    DWORD length = GetModuleFileNameW(nullptr, ownPath, PATH_BUFFER_SIZE);
    // An own path cut short could make the batch delete some other file; a
    // temp folder that does not fit leaves no room for the batch's path.
    // Either way the uninstaller stays on the disk.
    if (length < (DWORD)PATH_BUFFER_SIZE && MakeBatchPath(buffer))
        WriteAndLaunch(ownPath, length, buffer);
    StepProgress();
}
