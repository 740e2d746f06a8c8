// selfremoval.cpp -- the batch file that deletes the uninstaller's own file
// and folder once its process has ended, and the hidden start of that batch.
#include "uninstall.h"

static const char BATCH_FILE_NAME[] = "tarvune.bat";

bool MakeBatchPath(char* buffer)
{
    // A temp folder that does not fit comes back as the length it would
    // need, with nothing written: building behind it would overrun the
    // buffer. A failure (0) leaves no folder at all: the bare name would put
    // the batch in the current folder, and its last line, run from the
    // drive's root, would delete a "tarvune.bat" there that is not ours.
    DWORD length = GetTempPathA(TEMP_PATH_LIMIT, buffer);
    if (length == 0 || length >= (DWORD)TEMP_PATH_LIMIT)
        return false;
    lstrcpyA(buffer + length, BATCH_FILE_NAME);
    return true;
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

// The batch deletes the uninstaller until the deletion sticks (it cannot
// while the uninstaller's process runs), removes the folder if that left it
// empty, and deletes itself. Every path stands in double quotes, so blanks
// in them do no harm.
void WriteRemovalBatch(HANDLE file, const char* ownPath, int length, const char* batchPath)
{
    int folder = length;  // the position of the last backslash, or 0
    while (folder > 0) {
        folder--;
        if (ownPath[folder] == '\\')
            break;
    }
    WriteText(file, ":Repeat\r\ndel \"");
    WriteBytes(file, ownPath, length);
    WriteText(file, "\"\r\nif exist \"");
    WriteBytes(file, ownPath, length);
    WriteText(file, "\" goto Repeat\r\nrmdir \"");
    WriteBytes(file, ownPath, folder);
    WriteText(file, "\"\r\ndel \"");
    WriteBytes(file, batchPath, lstrlenA(batchPath));
    WriteText(file, "\"\r\n");
}

// Starts the batch hidden, suspended and at idle priority, and lifts the
// uninstaller above it before letting it run: the uninstaller should end
// before the batch's loop spends much time on a file that cannot go yet.
static void LaunchBatch(const char* batchPath)
{
    static STARTUPINFOA startup;  // static, so zero without a memset
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // The path in double quotes: unquoted, a blank in it ("C:\Documents and
    // Settings\...") makes Windows try "C:\Documents.exe" first, and a
    // program planted there would run with the uninstaller's rights.
    char commandLine[PATH_BUFFER_SIZE + 2];
    commandLine[0] = '"';
    lstrcpyA(commandLine + 1, batchPath);
    lstrcatA(commandLine, "\"");
    PROCESS_INFORMATION batch;
    // The root as current folder: the batch must not hold the folder it removes.
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, nullptr, "\\", &startup, &batch))
        return;  // the batch file stays in the temp folder
    SetThreadPriority(batch.hThread, THREAD_PRIORITY_IDLE);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    CloseHandle(batch.hProcess);
    ResumeThread(batch.hThread);
    CloseHandle(batch.hThread);
}

void StartSelfRemoval(char* buffer)
{
    char ownPath[PATH_BUFFER_SIZE];
    DWORD length = GetModuleFileNameA(nullptr, ownPath, PATH_BUFFER_SIZE);
    // An own path cut short could make the batch delete some other file; a
    // temp folder that does not fit leaves no room for the batch's path.
    // Either way the uninstaller stays on the disk.
    if (length < (DWORD)PATH_BUFFER_SIZE && MakeBatchPath(buffer)) {
        HANDLE file = CreateFileA(buffer, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            WriteRemovalBatch(file, ownPath, (int)length, buffer);
            CloseHandle(file);
            LaunchBatch(buffer);
        }
    }
    StepProgress();
}
