// paths_test.cpp -- the add-on path built from the uninstaller's own path, and
// the batch path built from the temp folder, within their 260-byte buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "uninstall.h"

namespace {

// A path buffer followed by guard bytes that no path operation may touch.
struct GuardedBuffer {
    static const int GUARD = 64;
    char bytes[260 + GUARD];

    GuardedBuffer() { memset(bytes, 0x7F, sizeof bytes); }
    bool GuardIntact() const
    {
        for (int i = 260; i < 260 + GUARD; i++)
            if (bytes[i] != 0x7F)
                return false;
        return true;
    }
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

struct AddonCase {
    std::string name;
    std::string ownPath;
    DWORD length;             // as GetModuleFileNameA would return it
    const char* expected;     // nullptr: refused, buffer left alone
};

TEST(UninstallerAddonPath, SameFolderAsTheUninstaller)
{
    const std::string folder248 = "C:\\" + Repeat('f', 244) + "\\";    // 248 bytes, backslash included
    const std::string folder249 = "C:\\" + Repeat('f', 245) + "\\";    // 249 bytes
    const std::string tooLong = folder248 + Repeat('x', 12);          // 260: cut short by the system
    const std::string expected248 = folder248 + "tarvune.dll";        // 259 bytes and the zero
    const AddonCase cases[] = {
        {"plain folder", "C:\\Tools\\Addon\\UTarvune.exe", 27, "C:\\Tools\\Addon\\tarvune.dll"},
        {"folder with blanks", "C:\\Program Files\\Tarvune Add-on\\UTarvune.exe", 44,
         "C:\\Program Files\\Tarvune Add-on\\tarvune.dll"},
        {"UNC folder", "\\\\server\\share\\UTarvune.exe", 27, "\\\\server\\share\\tarvune.dll"},
        {"drive root", "C:\\UTarvune.exe", 15, "C:\\tarvune.dll"},
        {"no backslash: bare name", "UTarvune.exe", 12, "tarvune.dll"},
        {"forward slashes do not separate", "C:/Tools/UTarvune.exe", 21, "tarvune.dll"},
        {"own path unknown", "", 0, "tarvune.dll"},
        {"longest folder that fits", folder248 + "u.exe", 253, expected248.c_str()},
        {"folder too long for the add-on name", folder249 + "u.exe", 254, nullptr},
        {"own path cut short", tooLong.substr(0, 259), 260, nullptr},
    };
    for (const AddonCase& c : cases) {
        SCOPED_TRACE(c.name);
        GuardedBuffer buffer;
        memcpy(buffer.bytes, c.ownPath.c_str(), c.ownPath.size() + 1);
        bool built = MakeAddonPath(buffer.bytes, c.length);
        if (c.expected) {
            EXPECT_TRUE(built);
            EXPECT_EQ(std::string(buffer.bytes), std::string(c.expected));
        } else {
            EXPECT_FALSE(built);
            EXPECT_EQ(std::string(buffer.bytes), c.ownPath);
        }
        EXPECT_TRUE(buffer.GuardIntact());
    }
}

// GetTempPathA reads TMP when it is called, so each case sets it in this
// process; the original value comes back at the end.
class UninstallerBatchPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD n = GetEnvironmentVariableA("TMP", savedTmp, sizeof savedTmp);
        hadTmp = n > 0 && n < sizeof savedTmp;
    }
    void TearDown() override { SetEnvironmentVariableA("TMP", hadTmp ? savedTmp : nullptr); }

    char savedTmp[1024];
    bool hadTmp = false;
};

TEST_F(UninstallerBatchPath, BuiltBehindTheTempFolder)
{
    const std::string folder246 = "C:\\" + Repeat('t', 243);   // GetTempPathA adds the backslash: 247
    const std::string folder247 = "C:\\" + Repeat('t', 244);   // 248 with the backslash: does not fit
    struct Case {
        std::string name;
        std::string tmp;
        const char* expected;  // nullptr: refused
    };
    const std::string expected246 = folder246 + "\\tarvune.bat";
    const Case cases[] = {
        {"temp folder with its backslash", "C:\\Temp\\", "C:\\Temp\\tarvune.bat"},
        {"backslash added by the system", "C:\\Temp", "C:\\Temp\\tarvune.bat"},
        {"blanks", "C:\\Documents and Settings\\Jo\\Local Settings\\Temp",
         "C:\\Documents and Settings\\Jo\\Local Settings\\Temp\\tarvune.bat"},
        {"247 characters: the longest that fits", folder246, expected246.c_str()},
        {"248 characters: refused", folder247, nullptr},
        {"far too long: refused", "C:\\" + Repeat('t', 400), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(SetEnvironmentVariableA("TMP", c.tmp.c_str()));
        GuardedBuffer buffer;
        lstrcpyA(buffer.bytes, "previous contents");
        bool built = MakeBatchPath(buffer.bytes);
        if (c.expected) {
            EXPECT_TRUE(built);
            EXPECT_EQ(std::string(buffer.bytes), std::string(c.expected));
            EXPECT_LT(strlen(buffer.bytes), 260u);
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

DWORD WINAPI FailingGetTempPathA(DWORD, LPSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// A temp folder that cannot be had at all gives no batch path: the bare name
// would land in the current folder, and the batch, run from the drive's root,
// would end by deleting a "tarvune.bat" there that is not ours.
TEST(UninstallerBatchPathUnknown, FailingTempFolderBuildsNoPath)
{
    void* original = ReplaceKernelImport("GetTempPathA", (void*)&FailingGetTempPathA);
    ASSERT_NE(original, nullptr) << "the test program imports no GetTempPathA";
    GuardedBuffer buffer;
    lstrcpyA(buffer.bytes, "previous contents");
    bool built = MakeBatchPath(buffer.bytes);
    ReplaceKernelImport("GetTempPathA", original);
    EXPECT_FALSE(built) << "built " << buffer.bytes;
    EXPECT_EQ(std::string(buffer.bytes).find("tarvune.bat"), std::string::npos);
    EXPECT_TRUE(buffer.GuardIntact());
}

}  // namespace
