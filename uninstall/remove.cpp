// remove.cpp -- the uninstall proper: the add-on's registry entries and its
// file, then the hand-over to the self-removal.
#include "uninstall.h"

static const char ADDON_FILE_NAME[] = "tarvune.dll";
static const char SHARED_DLLS_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
static const char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvune";

bool MakeAddonPath(char* buffer, DWORD length)
{
    // GetModuleFileNameA returns the full buffer size when it had to cut the
    // path: its folder part may then name a different folder.
    if (length >= (DWORD)PATH_BUFFER_SIZE)
        return false;
    DWORD folder = length;
    while (folder > 0 && buffer[folder - 1] != '\\')
        folder--;
    if (folder > PATH_BUFFER_SIZE - sizeof ADDON_FILE_NAME)
        return false;
    lstrcpyA(buffer + folder, ADDON_FILE_NAME);
    return true;
}

// The shared-DLL list counts the installers that share a file; this add-on
// goes whatever its count, so the value is deleted without being read.
static void DeleteSharedDllValue(const char* addonPath)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, addonPath);
    RegCloseKey(key);
}

void DeleteAddonFile(const char* path)
{
    // An add-on already gone (an earlier, interrupted run) is no failure.
    if (!DeleteFileA(path) && GetLastError() != ERROR_FILE_NOT_FOUND)
        MessageBoxA(g_dialog, path, "Can't delete the file named:", MB_ICONWARNING | MB_OK);
    StepProgress();
}

void RunUninstall()
{
    char path[PATH_BUFFER_SIZE];
    DWORD length = GetModuleFileNameA(nullptr, path, PATH_BUFFER_SIZE);
    if (MakeAddonPath(path, length)) {
        DeleteSharedDllValue(path);
        DeleteAddonFile(path);
    } else {
        StepProgress();  // no add-on path can be named; the file stage is over all the same
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
    StartSelfRemoval(path);
}
