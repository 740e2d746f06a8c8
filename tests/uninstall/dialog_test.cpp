// dialog_test.cpp -- the dialog procedure in this process, over the dialog
// template of the built UTarvune.exe: set-up, the commands that close it, and
// the file step's warning and progress. OK itself is driven only in the GUI
// tests, where the uninstaller removes its own copy.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "uninstall.h"

namespace {

const char WARNING_CAPTION[] = "Can't delete the file named:";

std::string UninstallerPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    while (n > 0 && path[n - 1] != '\\')
        n--;
    return std::string(path, n) + "UTarvune.exe";
}

std::wstring FullPath(const char* name)
{
    WCHAR path[MAX_PATH];
    GetFullPathNameW(std::wstring(name, name + strlen(name)).c_str(), MAX_PATH, path, nullptr);
    return path;
}

class UninstallDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitCommonControls();
        resources = LoadLibraryExA(UninstallerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(resources, nullptr) << "error " << GetLastError();
        g_module = resources;
        g_dialog = CreateDialogParamA(resources, MAKEINTRESOURCEA(DIALOG_UNINSTALL), nullptr, UninstallDialogProc, 0);
        ASSERT_NE(g_dialog, nullptr) << "error " << GetLastError();
    }
    void TearDown() override
    {
        if (IsWindow(g_dialog))
            DestroyWindow(g_dialog);
        DrainMessages();
        g_dialog = nullptr;
        g_module = nullptr;
        if (resources)
            FreeLibrary(resources);
    }

    // Empties the queue the way the program's loop would; says whether the
    // quit message came, and with which code.
    bool DrainMessages(WPARAM* quitCode = nullptr)
    {
        MSG message;
        bool quit = false;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                if (quitCode)
                    *quitCode = message.wParam;
            } else if (!IsDialogMessageA(g_dialog, &message)) {
                DispatchMessageA(&message);
            }
        }
        return quit;
    }

    LRESULT Progress(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return SendDlgItemMessageA(g_dialog, CONTROL_PROGRESS, message, wParam, lParam);
    }

    HMODULE resources = nullptr;
};

TEST_F(UninstallDialog, StartsWithAnEmptyBarOfTwoStepsAndTheFocusOnOK)
{
    EXPECT_EQ(Progress(PBM_GETRANGE, TRUE), 0);
    EXPECT_EQ(Progress(PBM_GETRANGE, FALSE), 2);
    EXPECT_EQ(Progress(PBM_GETPOS), 0);
    Progress(PBM_STEPIT);
    EXPECT_EQ(Progress(PBM_GETPOS), 1) << "the step is 1";
    EXPECT_EQ(GetFocus(), GetDlgItem(g_dialog, IDOK));
}

TEST_F(UninstallDialog, SystemMenuOffersNeitherSizeNorMaximize)
{
    HMENU menu = GetSystemMenu(g_dialog, FALSE);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuState(menu, SC_SIZE, MF_BYCOMMAND), (UINT)-1);
    EXPECT_EQ(GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND), (UINT)-1);
    EXPECT_NE(GetMenuState(menu, SC_MOVE, MF_BYCOMMAND), (UINT)-1);
    EXPECT_NE(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), (UINT)-1);
}

TEST_F(UninstallDialog, CancelCloseAndEscapeEndTheLoop)
{
    struct Way {
        const char* name;
        void (*act)(HWND dialog);
    };
    const Way ways[] = {
        {"Cancel clicked", [](HWND d) { SendMessageA(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }},
        {"close box", [](HWND d) { SendMessageA(d, WM_CLOSE, 0, 0); }},
        {"system menu Close", [](HWND d) { SendMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        {"Esc key", [](HWND d) { PostMessageA(GetFocus() ? GetFocus() : d, WM_KEYDOWN, VK_ESCAPE, 1); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        if (!IsWindow(g_dialog))
            g_dialog = CreateDialogParamA(resources, MAKEINTRESOURCEA(DIALOG_UNINSTALL), nullptr, UninstallDialogProc, 0);
        ASSERT_TRUE(IsWindow(g_dialog));
        way.act(g_dialog);
        WPARAM code = 99;
        EXPECT_TRUE(DrainMessages(&code)) << "no quit message";
        EXPECT_EQ(code, 0u);
        EXPECT_FALSE(IsWindow(g_dialog));
    }
}

TEST_F(UninstallDialog, ButtonNotificationsOtherThanClicksAreIgnored)
{
    SendMessageA(g_dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_DOUBLECLICKED), 0);
    SendMessageA(g_dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_SETFOCUS), 0);
    EXPECT_FALSE(DrainMessages());
    EXPECT_TRUE(IsWindow(g_dialog));
}

// Watches for the warning box from another thread while the dialog's thread
// sits in the box's modal loop; records what it showed and presses its OK.
class WarningWatch {
public:
    WarningWatch() : thread([this] { Watch(); }) {}
    ~WarningWatch() { Stop(); }
    void Stop()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    int boxes = 0;
    std::string text;
    HWND owner = nullptr;

private:
    void Watch()
    {
        while (!stop) {
            HWND box = FindWindowA(nullptr, WARNING_CAPTION);
            if (box && IsWindowVisible(box)) {
                boxes++;
                owner = GetWindow(box, GW_OWNER);
                for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
                    char className[64], caption[512];
                    GetClassNameA(child, className, sizeof className);
                    GetWindowTextA(child, caption, sizeof caption);
                    if (lstrcmpiA(className, "Static") == 0 && caption[0])
                        text = caption;
                }
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                while (IsWindow(box) && !stop)
                    Sleep(10);
            }
            Sleep(10);
        }
    }
    std::atomic<bool> stop{false};
    std::thread thread;
};

void MakeFile(const char* name)
{
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(file, "MZ", 2, &written, nullptr);
    CloseHandle(file);
}

TEST_F(UninstallDialog, FileStepDeletesTheAddonAndStepsTheBar)
{
    const char* name = "uninstall_dialog_addon.dll";
    MakeFile(name);
    WarningWatch watch;
    EXPECT_TRUE(DeleteAddonFile(FullPath(name).c_str()));
    watch.Stop();
    EXPECT_EQ(GetFileAttributesA(name), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(watch.boxes, 0);
    EXPECT_EQ(Progress(PBM_GETPOS), 1);
}

TEST_F(UninstallDialog, AbsentAddonIsNoFailure)
{
    WarningWatch watch;
    EXPECT_TRUE(DeleteAddonFile(FullPath("uninstall_dialog_never_there.dll").c_str()));
    watch.Stop();
    EXPECT_EQ(watch.boxes, 0);
    EXPECT_EQ(Progress(PBM_GETPOS), 1);
}

TEST_F(UninstallDialog, AddonInUseGivesTheWarningWithItsPathThenTheBarSteps)
{
    const char* name = "uninstall_dialog_busy.dll";
    MakeFile(name);
    HANDLE held = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::wstring path = FullPath(name);

    WarningWatch watch;
    EXPECT_FALSE(DeleteAddonFile(path.c_str())) << "a file in use was reported gone";
    watch.Stop();
    CloseHandle(held);

    EXPECT_EQ(watch.boxes, 1);
    EXPECT_EQ(watch.text, std::string(path.begin(), path.end()) +
                              "\n\nClose the programs that use it, then run the uninstaller again. "
                              "Nothing was removed.");
    EXPECT_EQ(watch.owner, g_dialog) << "the box belongs to the dialog";
    EXPECT_EQ(Progress(PBM_GETPOS), 1);
    EXPECT_NE(GetFileAttributesA(name), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(name);
}

}  // namespace
