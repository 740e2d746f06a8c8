// probe.cpp -- the Windows side of the uninstaller's GUI tests and of the
// install lifecycle test: a small command-line tool that the test scripts run
// under Wine to start the uninstaller or the installer with a chosen temp
// folder, to set up and read the registry entries that one writes and the
// other removes, to lock registry keys against writing, to hold a file open,
// to describe and close windows, and to count the processes of a program.
// A copy of it planted under another name only records its start.
// Window descriptions are printed as JSON for the script to parse.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>
#include <aclapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static const char SHARED_DLLS_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
static const char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvune";

static std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

static std::string WindowText(HWND window)
{
    char text[512] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

static std::string ClassOf(HWND window)
{
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

static std::string RectJson(const RECT& r)
{
    char out[96];
    snprintf(out, sizeof out, "[%ld, %ld, %ld, %ld]", r.left, r.top, r.right, r.bottom);
    return out;
}

// run EXE TEMPDIR [ARGS]: starts EXE with TMP and TEMP set to TEMPDIR (Wine
// sets its own otherwise), and ARGS behind its quoted path on the command
// line as they are (an installer's "/D=" takes no quotes), waits for it, and
// exits with its exit code.
static int Run(const char* exe, const char* tempDir, const char* args)
{
    SetEnvironmentVariableA("TMP", tempDir);
    SetEnvironmentVariableA("TEMP", tempDir);
    std::string commandLine = std::string("\"") + exe + "\"";
    if (*args)
        commandLine += std::string(" ") + args;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "cannot start %s: error %lu\n", exe, GetLastError());
        return 101;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 102;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    printf("exit %lu\n", code);
    return (int)code;
}

// registry-set ADDONPATH COUNT: the entries an installer leaves behind.
// Prints whether the shared-DLL key itself had to be created.
static int RegistrySet(const char* addonPath, DWORD count)
{
    HKEY key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, &disposition) != ERROR_SUCCESS)
        return 1;
    LONG set = RegSetValueExA(key, addonPath, 0, REG_DWORD, (const BYTE*)&count, sizeof count);
    RegCloseKey(key);
    if (set != ERROR_SUCCESS)
        return 1;
    printf("created-shared-key %d\n", disposition == REG_CREATED_NEW_KEY ? 1 : 0);

    static const char name[] = "Tarvune Add-on Library";
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return 1;
    set = RegSetValueExA(key, "DisplayName", 0, REG_SZ, (const BYTE*)name, sizeof name);
    RegCloseKey(key);
    return set == ERROR_SUCCESS ? 0 : 1;
}

// registry-state ADDONPATH: prints the shared-DLL count (or "absent") and
// whether the uninstall key exists, as JSON.
static int RegistryState(const char* addonPath)
{
    std::string shared = "null";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD count = 0, size = sizeof count, type = 0;
        if (RegQueryValueExA(key, addonPath, nullptr, &type, (BYTE*)&count, &size) == ERROR_SUCCESS)
            shared = std::to_string(count);
        RegCloseKey(key);
    }
    bool uninstallKey = RegOpenKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (uninstallKey)
        RegCloseKey(key);
    printf("{\"shared_count\": %s, \"uninstall_key\": %s}\n", shared.c_str(), uninstallKey ? "true" : "false");
    return 0;
}

// uninstall-values: prints every value of the uninstall key as JSON, a
// string as text and a DWORD as a number; exits 1 if the key is absent.
static int UninstallValues()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 1;
    std::string out = "{";
    char name[256];
    BYTE data[1024];
    for (DWORD i = 0;; i++) {
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        out += std::string(i ? ", " : "") + Json(name) + ": ";
        if (type == REG_DWORD)
            out += std::to_string(*(DWORD*)data);
        else if (type == REG_SZ || type == REG_EXPAND_SZ)
            out += Json(std::string((const char*)data, strnlen((const char*)data, dataSize)));
        else
            out += "\"type " + std::to_string(type) + "\"";
    }
    RegCloseKey(key);
    printf("%s}\n", out.c_str());
    return 0;
}

// registry-clear ADDONPATH REMOVE_SHARED_KEY: removes what registry-set made.
static int RegistryClear(const char* addonPath, bool removeSharedKey)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, addonPath);
        RegCloseKey(key);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
    if (removeSharedKey)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, SHARED_DLLS_KEY);
    return 0;
}

// registry-lock KEY and registry-unlock KEY: take from everyone, and give
// back, the right to set values in HKEY_LOCAL_MACHINE\KEY and to make keys
// under it, as an administrator's lock-down would; the key is made if absent.
static int RegistryLock(const char* subkey, bool lock)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return 1;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    EXPLICIT_ACCESSA rules[2] = {};
    rules[0].grfAccessPermissions = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
    rules[0].grfAccessMode = DENY_ACCESS;
    rules[1].grfAccessPermissions = KEY_ALL_ACCESS;
    rules[1].grfAccessMode = GRANT_ACCESS;
    for (EXPLICIT_ACCESSA& rule : rules) {
        rule.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        rule.Trustee.ptstrName = (LPSTR)everyone;
    }
    PACL acl = nullptr;  // unlocked: no list at all, which lets everyone do everything
    if (lock && SetEntriesInAclA(2, rules, nullptr, &acl) != ERROR_SUCCESS)
        return 1;
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    LONG set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
    RegCloseKey(key);
    LocalFree(acl);
    FreeSid(everyone);
    return set == ERROR_SUCCESS ? 0 : 1;
}

// hold PATH: keeps PATH open without delete sharing, as a running program
// holds a loaded library, until standard input ends.
static int Hold(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s: error %lu\n", path, GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    char c;
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1) {
    }
    CloseHandle(file);
    return 0;
}

// processes NAME: prints how many processes of that program (e.g. cmd.exe) run.
static int Processes(const char* name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 1;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        count += lstrcmpiA(entry.szExeFile, name) == 0;
    CloseHandle(snapshot);
    printf("%d\n", count);
    return 0;
}

// The point of the caption where the window reports its close box, in
// screen coordinates.
static POINT FindCloseBox(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    for (int y = r.top; y < r.top + 40 && y < r.bottom; y++) {
        for (int x = r.right - 1; x > r.right - 60 && x > r.left; x--) {
            if (SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
                // Aim at the middle of the box, not its edge.
                int left = x;
                while (left > r.left && SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(left - 1, y)) == HTCLOSE)
                    left--;
                int bottom = y;
                while (bottom < r.bottom && SendMessageA(window, WM_NCHITTEST, 0, MAKELPARAM(x, bottom + 1)) == HTCLOSE)
                    bottom++;
                return POINT{(left + x) / 2, (y + bottom) / 2};
            }
        }
    }
    return POINT{-1, -1};
}

// window TITLE: describes the top-level window of that title and its
// controls in z-order (the template's order), as JSON; exits 1 if absent.
static int Describe(const char* title)
{
    HWND window = FindWindowA(nullptr, title);
    if (!window)
        return 1;
    RECT r;
    GetWindowRect(window, &r);
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof thread;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread);
    POINT close = FindCloseBox(window);
    HWND owner = GetWindow(window, GW_OWNER);

    std::string out = "{\"title\": " + Json(WindowText(window)) + ", \"class\": " + Json(ClassOf(window));
    out += ", \"style\": " + std::to_string((unsigned long)GetWindowLongA(window, GWL_STYLE));
    out += ", \"rect\": " + RectJson(r);
    out += ", \"close_box\": [" + std::to_string(close.x) + ", " + std::to_string(close.y) + "]";
    out += ", \"owner_title\": " + (owner ? Json(WindowText(owner)) : std::string("null"));
    out += ", \"focus_id\": " + std::to_string(thread.hwndFocus ? GetDlgCtrlID(thread.hwndFocus) : 0);
    out += std::string(", \"active\": ") + (thread.hwndActive == window ? "true" : "false");
    out += std::string(", \"foreground\": ") + (GetForegroundWindow() == window ? "true" : "false");
    out += ", \"controls\": [";
    bool first = true;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        GetWindowRect(child, &r);
        out += first ? "" : ", ";
        first = false;
        out += "{\"id\": " + std::to_string(GetDlgCtrlID(child) & 0xFFFF);
        out += ", \"class\": " + Json(ClassOf(child)) + ", \"text\": " + Json(WindowText(child));
        out += ", \"style\": " + std::to_string((unsigned long)GetWindowLongA(child, GWL_STYLE));
        out += ", \"rect\": " + RectJson(r);
        if (lstrcmpiA(ClassOf(child).c_str(), PROGRESS_CLASSA) == 0) {
            // With no structure to fill, the range comes back as the result.
            LRESULT low = SendMessageA(child, PBM_GETRANGE, TRUE, 0);
            LRESULT high = SendMessageA(child, PBM_GETRANGE, FALSE, 0);
            LRESULT position = SendMessageA(child, PBM_GETPOS, 0, 0);
            out += ", \"range\": [" + std::to_string(low) + ", " + std::to_string(high) + "]";
            out += ", \"position\": " + std::to_string(position);
        }
        out += "}";
    }
    out += "]}";
    printf("%s\n", out.c_str());
    return 0;
}

// close TITLE: asks the window of that title to close, as its close box
// would; exits 1 if there is none.
static int Close(const char* title)
{
    HWND window = FindWindowA(nullptr, title);
    return window && PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 1;
}

// A copy of the probe planted under another name only records that it was
// started, in a file named after itself with ".ran" behind: whatever runs
// it (a command line that a blank split) is then seen to have done so.
static bool RecordPlantedStart()
{
    char own[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, own, MAX_PATH);
    std::string path(own, length);
    std::string name = path.substr(path.find_last_of('\\') + 1);
    if (lstrcmpiA(name.c_str(), "uninstall_probe.exe") == 0)
        return false;
    HANDLE marker = CreateFileA((path + ".ran").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(marker);
    return true;
}

int main(int argc, char** argv)
{
    if (RecordPlantedStart())
        return 0;
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "run" && (argc == 4 || argc == 5))
        return Run(argv[2], argv[3], argc == 5 ? argv[4] : "");
    if (command == "uninstall-values" && argc == 2)
        return UninstallValues();
    if (command == "registry-set" && argc == 4)
        return RegistrySet(argv[2], (DWORD)strtoul(argv[3], nullptr, 10));
    if (command == "registry-state" && argc == 3)
        return RegistryState(argv[2]);
    if (command == "registry-clear" && argc == 4)
        return RegistryClear(argv[2], argv[3][0] == '1');
    if ((command == "registry-lock" || command == "registry-unlock") && argc == 3)
        return RegistryLock(argv[2], command == "registry-lock");
    if (command == "hold" && argc == 3)
        return Hold(argv[2]);
    if (command == "window" && argc == 3)
        return Describe(argv[2]);
    if (command == "close" && argc == 3)
        return Close(argv[2]);
    if (command == "processes" && argc == 3)
        return Processes(argv[2]);
    fprintf(stderr,
            "usage: probe run EXE TEMPDIR [ARGS] | registry-set ADDONPATH COUNT | registry-state ADDONPATH |\n"
            "       uninstall-values | registry-lock KEY | registry-unlock KEY |\n"
            "       registry-clear ADDONPATH 0|1 | hold PATH | window TITLE | close TITLE | processes NAME\n");
    return 2;
}
