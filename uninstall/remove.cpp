// remove.cpp -- the uninstall proper: the add-on's file, then its registry
// entries, then the hand-over to the self-removal.
#include "uninstall.h"

static const WCHAR ADDON_FILE_NAME[] = L"tarvune.dll";
static const WCHAR SHARED_DLLS_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
static const WCHAR UNINSTALL_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvune";
static const WCHAR WARNING_CAPTION[] = L"Can't delete the file named:";
static const WCHAR STAYS_TEXT[] =
    L"\n\nClose the programs that use it, then run the uninstaller again. Nothing was removed.";
static const WCHAR TOO_LONG_TEXT[] =
    L"tarvune.dll in this folder: its full path is too long for Windows. Nothing was removed.";

bool MakeAddonPath(WCHAR* buffer, DWORD length)
{
    // GetModuleFileNameW returns the full buffer size when it had to cut the
    // path: its folder part may then name a different folder.
    if (length >= (DWORD)PATH_BUFFER_SIZE)
        return false;
    DWORD folder = length;
    while (folder > 0 && buffer[folder - 1] != L'\\')
        folder--;
    if (folder > PATH_BUFFER_SIZE - sizeof ADDON_FILE_NAME / sizeof ADDON_FILE_NAME[0])
        return false;
    lstrcpyW(buffer + folder, ADDON_FILE_NAME);
    return true;
}

// The shared-DLL list counts the installers that share a file; this add-on
// goes whatever its count, so the value is deleted without being read.
static void DeleteSharedDllValue(const WCHAR* addonPath)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, addonPath);
    RegCloseKey(key);
}

bool DeleteAddonFile(const WCHAR* path)
{
    // An add-on already gone (an earlier, interrupted run) is no failure.
    bool gone = DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!gone) {
        WCHAR text[PATH_BUFFER_SIZE + sizeof STAYS_TEXT / sizeof STAYS_TEXT[0]];
        lstrcpyW(text, path);
        lstrcatW(text, STAYS_TEXT);
        MessageBoxW(g_dialog, text, WARNING_CAPTION, MB_ICONWARNING | MB_OK);
    }
    StepProgress();
    return gone;
}

void RunUninstall()
{
    WCHAR path[PATH_BUFFER_SIZE];
    DWORD length = GetModuleFileNameW(nullptr, path, PATH_BUFFER_SIZE);
    bool addonGone = false;
    if (MakeAddonPath(path, length)) {
        addonGone = DeleteAddonFile(path);
    } else {
        MessageBoxW(g_dialog, TOO_LONG_TEXT, WARNING_CAPTION, MB_ICONWARNING | MB_OK);
        StepProgress();
    }
    // A host that still has the add-on loaded keeps it on the disk. Its
    // entries and this uninstaller then stay as well: without them nothing
    // would be left to remove it once the host lets it go.
    if (!addonGone) {
        StepProgress();
        return;
    }
    DeleteSharedDllValue(path);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
    StartSelfRemoval(path);
}
