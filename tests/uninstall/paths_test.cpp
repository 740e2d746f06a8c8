// paths_test.cpp -- the add-on path built from the uninstaller's own path, and
// the batch path built from the temp folder, within their 260-character buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "uninstall.h"

namespace {

// A path buffer followed by guard characters that no path operation may touch.
struct GuardedBuffer {
    static const int GUARD = 64;
    WCHAR bytes[260 + GUARD];

    GuardedBuffer()
    {
        for (WCHAR& c : bytes)
            c = 0x7F7F;
    }
    bool GuardIntact() const
    {
        for (int i = 260; i < 260 + GUARD; i++)
            if (bytes[i] != 0x7F7F)
                return false;
        return true;
    }
};

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

struct AddonCase {
    std::string name;
    std::wstring ownPath;
    DWORD length;             // as GetModuleFileNameW would return it
    const wchar_t* expected;  // nullptr: refused, buffer left alone
};

TEST(UninstallerAddonPath, SameFolderAsTheUninstaller)
{
    const std::wstring folder248 = L"C:\\" + Repeat(L'f', 244) + L"\\";   // 248 characters, backslash included
    const std::wstring folder249 = L"C:\\" + Repeat(L'f', 245) + L"\\";   // 249 characters
    const std::wstring tooLong = folder248 + Repeat(L'x', 12);          // 260: cut short by the system
    const std::wstring expected248 = folder248 + L"tarvune.dll";        // 259 characters and the zero
    const AddonCase cases[] = {
        {"plain folder", L"C:\\Tools\\Addon\\UTarvune.exe", 27, L"C:\\Tools\\Addon\\tarvune.dll"},
        {"folder with blanks", L"C:\\Program Files\\Tarvune Add-on\\UTarvune.exe", 44,
         L"C:\\Program Files\\Tarvune Add-on\\tarvune.dll"},
        {"folder outside any code page", L"C:\\\x03a6\x0424\x6587\\UTarvune.exe", 19,
         L"C:\\\x03a6\x0424\x6587\\tarvune.dll"},
        {"UNC folder", L"\\\\server\\share\\UTarvune.exe", 27, L"\\\\server\\share\\tarvune.dll"},
        {"drive root", L"C:\\UTarvune.exe", 15, L"C:\\tarvune.dll"},
        {"no backslash: bare name", L"UTarvune.exe", 12, L"tarvune.dll"},
        {"forward slashes do not separate", L"C:/Tools/UTarvune.exe", 21, L"tarvune.dll"},
        {"own path unknown", L"", 0, L"tarvune.dll"},
        {"longest folder that fits", folder248 + L"u.exe", 253, expected248.c_str()},
        {"folder too long for the add-on name", folder249 + L"u.exe", 254, nullptr},
        {"own path cut short", tooLong.substr(0, 259), 260, nullptr},
    };
    for (const AddonCase& c : cases) {
        SCOPED_TRACE(c.name);
        GuardedBuffer buffer;
        memcpy(buffer.bytes, c.ownPath.c_str(), (c.ownPath.size() + 1) * sizeof(WCHAR));
        bool built = MakeAddonPath(buffer.bytes, c.length);
        if (c.expected) {
            EXPECT_TRUE(built);
            EXPECT_TRUE(std::wstring(buffer.bytes) == c.expected);
        } else {
            EXPECT_FALSE(built);
            EXPECT_TRUE(std::wstring(buffer.bytes) == c.ownPath);
        }
        EXPECT_TRUE(buffer.GuardIntact());
    }
}

// GetTempPathW reads TMP when it is called, so each case sets it in this
// process; the original value comes back at the end.
class UninstallerBatchPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD n = GetEnvironmentVariableW(L"TMP", savedTmp, 1024);
        hadTmp = n > 0 && n < 1024;
    }
    void TearDown() override { SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr); }

    WCHAR savedTmp[1024];
    bool hadTmp = false;
};

TEST_F(UninstallerBatchPath, BuiltBehindTheTempFolder)
{
    const std::wstring folder246 = L"C:\\" + Repeat(L't', 243);   // GetTempPathW adds the backslash: 247
    const std::wstring folder247 = L"C:\\" + Repeat(L't', 244);   // 248 with the backslash: does not fit
    struct Case {
        std::string name;
        std::wstring tmp;
        const wchar_t* expected;  // nullptr: refused
    };
    const std::wstring expected246 = folder246 + L"\\tarvune.bat";
    const Case cases[] = {
        {"temp folder with its backslash", L"C:\\Temp\\", L"C:\\Temp\\tarvune.bat"},
        {"backslash added by the system", L"C:\\Temp", L"C:\\Temp\\tarvune.bat"},
        {"blanks", L"C:\\Documents and Settings\\Jo\\Local Settings\\Temp",
         L"C:\\Documents and Settings\\Jo\\Local Settings\\Temp\\tarvune.bat"},
        {"outside the ANSI code page", L"C:\\\x03a6\x0424", L"C:\\\x03a6\x0424\\tarvune.bat"},
        {"247 characters: the longest that fits", folder246, expected246.c_str()},
        {"248 characters: refused", folder247, nullptr},
        {"far too long: refused", L"C:\\" + Repeat(L't', 400), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", c.tmp.c_str()));
        GuardedBuffer buffer;
        lstrcpyW(buffer.bytes, L"previous contents");
        bool built = MakeBatchPath(buffer.bytes);
        if (c.expected) {
            EXPECT_TRUE(built);
            EXPECT_TRUE(std::wstring(buffer.bytes) == c.expected);
            EXPECT_LT(lstrlenW(buffer.bytes), 260);
        } else {
            EXPECT_FALSE(built);
        }
        EXPECT_TRUE(buffer.GuardIntact());
    }
}

// Points this program's import of `name` from KERNEL32 at `replacement`,
// returning the previous target (null when there is no such import).
void* ReplaceKernelImport(const char* name, void* replacement)
{
    auto* base = (BYTE*)GetModuleHandleA(nullptr);
    auto* nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* d = (IMAGE_IMPORT_DESCRIPTOR*)(base + rva); d->Name; d++) {
        if (lstrcmpiA((const char*)(base + d->Name), "KERNEL32.DLL") != 0)
            continue;
        auto* names = (IMAGE_THUNK_DATA*)(base + d->OriginalFirstThunk);
        auto* slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                lstrcmpA(((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name, name) != 0)
                continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            void* previous = (void*)slots->u1.Function;
            slots->u1.Function = (ULONG_PTR)replacement;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}

DWORD WINAPI FailingGetTempPathW(DWORD, LPWSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// A temp folder that cannot be had at all gives no batch path: the bare name
// would land in the current folder, and the batch, run from the drive's root,
// would end by deleting a "tarvune.bat" there that is not ours.
TEST(UninstallerBatchPathUnknown, FailingTempFolderBuildsNoPath)
{
    void* original = ReplaceKernelImport("GetTempPathW", (void*)&FailingGetTempPathW);
    ASSERT_NE(original, nullptr) << "the test program imports no GetTempPathW";
    GuardedBuffer buffer;
    lstrcpyW(buffer.bytes, L"previous contents");
    bool built = MakeBatchPath(buffer.bytes);
    ReplaceKernelImport("GetTempPathW", original);
    EXPECT_FALSE(built);
    EXPECT_EQ(std::wstring(buffer.bytes).find(L"tarvune.bat"), std::wstring::npos);
    EXPECT_TRUE(buffer.GuardIntact());
}

}  // namespace
