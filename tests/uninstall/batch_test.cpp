// batch_test.cpp -- the self-removal batch file, byte for byte, captured from
// the writer before anything could run it, and the paths as the batch holds
// them (the OEM code page, % doubled, the short form as a way out).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "uninstall.h"

namespace {

// Runs the writer onto a real file under the test's folder and reads back
// what landed on the disk; "unreadable: ..." when no batch can be written.
std::string WrittenBatch(std::wstring ownPath, const std::wstring& batchPath)
{
    BatchTexts texts;
    if (const WCHAR* unreadable = MakeBatchTexts(&ownPath[0], (DWORD)ownPath.size(), batchPath.c_str(), &texts))
        return unreadable == batchPath.c_str() ? "unreadable: batch" : "unreadable: own";
    const char* name = "uninstall_batch_capture.bat";
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    WriteRemovalBatch(file, texts);
    CloseHandle(file);

    std::string bytes;
    file = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char chunk[512];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    DeleteFileA(name);
    return bytes;
}

// The batch for these three paths as cmd must read them.
std::string Batch(const std::string& own, const std::string& folder, const std::string& batch)
{
    return "@echo off\r\n"
           "setlocal EnableExtensions DisableDelayedExpansion\r\n"
           "set tries=0\r\n"
           ":Repeat\r\n"
           "del \"" + own + "\"\r\n"
           "if not exist \"" + own + "\" goto Finish\r\n"
           "set /a tries+=1\r\n"
           "if %tries% geq 20 goto Finish\r\n"
           "\"%SystemRoot%\\system32\\ping.exe\" -n 2 127.0.0.1 >nul\r\n"
           "goto Repeat\r\n"
           ":Finish\r\n"
           "rmdir \"" + folder + "\"\r\n"
           "del \"" + batch + "\"\r\n";
}

TEST(UninstallerBatchFile, DeletesTheUninstallerWithBoundedTriesThenItsFolderAndItself)
{
    struct Case {
        const char* name;
        const wchar_t* ownPath;
        const wchar_t* batchPath;
        std::string expected;
    };
    const Case cases[] = {
        {"plain folder", L"C:\\Tools\\Addon\\UTarvune.exe", L"C:\\Temp\\tarvune.bat",
         Batch("C:\\Tools\\Addon\\UTarvune.exe", "C:\\Tools\\Addon", "C:\\Temp\\tarvune.bat")},
        {"blanks and cmd's own characters stay as they are", L"C:\\Program Files\\A & B (x86)\\UTarvune.exe",
         L"C:\\Documents and Settings\\Jo^Doe!\\Temp\\tarvune.bat",
         Batch("C:\\Program Files\\A & B (x86)\\UTarvune.exe", "C:\\Program Files\\A & B (x86)",
               "C:\\Documents and Settings\\Jo^Doe!\\Temp\\tarvune.bat")},
        {"every % doubled", L"C:\\Host 50%off\\UTarvune.exe", L"C:\\%TEMP%\\tarvune.bat",
         Batch("C:\\Host 50%%off\\UTarvune.exe", "C:\\Host 50%%off", "C:\\%%TEMP%%\\tarvune.bat")},
        {"folder is a drive root", L"C:\\UTarvune.exe", L"C:\\Temp\\tarvune.bat",
         Batch("C:\\UTarvune.exe", "C:", "C:\\Temp\\tarvune.bat")},
        {"no backslash: empty folder", L"UTarvune.exe", L"tarvune.bat",
         Batch("UTarvune.exe", "", "tarvune.bat")},
        {"forward slashes do not separate", L"C:/Tools/UTarvune.exe", L"C:\\Temp\\tarvune.bat",
         Batch("C:/Tools/UTarvune.exe", "", "C:\\Temp\\tarvune.bat")},
        {"UNC folder", L"\\\\server\\share\\Add on\\UTarvune.exe", L"C:\\Temp\\tarvune.bat",
         Batch("\\\\server\\share\\Add on\\UTarvune.exe", "\\\\server\\share\\Add on", "C:\\Temp\\tarvune.bat")},
        // No such folder, so no short form either: nothing can name it to cmd.
        {"an own path outside the OEM code page", L"C:\\\x0424\x0430\x0439\x043b\\UTarvune.exe",
         L"C:\\Temp\\tarvune.bat", "unreadable: own"},
        {"a temp path outside the OEM code page", L"C:\\Tools\\UTarvune.exe",
         L"C:\\\x0422\x0435\x043c\x043f\\tarvune.bat", "unreadable: batch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WrittenBatch(c.ownPath, c.batchPath), c.expected);
    }
}

// cmd reads a batch in the OEM code page: an e acute is 0x82 in the Western
// ones (437, 850), where the ANSI page (1252) has 0xE9.
TEST(UninstallerBatchFile, PathsAreOemText)
{
    if (GetOEMCP() != 437 && GetOEMCP() != 850)
        GTEST_SKIP() << "OEM code page " << GetOEMCP();
    char text[BATCH_TEXT_SIZE];
    ASSERT_EQ(BatchPathText(L"C:\\Caf\x00e9 \x00dc" L"ber", text, sizeof text), 12);
    EXPECT_EQ(std::string(text), "C:\\Caf\x82 \x9a" "ber");
}

// A folder whose name the OEM code page cannot hold is named by its short
// form: the text, read back in that code page, names the same folder.
TEST(UninstallerBatchFile, OutsideTheOemCodePageTheShortFormStandsIn)
{
    const wchar_t* folder = L"uninstall_batch_\x03a6\x03ac\x03ba\x03b5\x03bb\x03bf\x03c2";
    ASSERT_TRUE(CreateDirectoryW(folder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    WCHAR full[MAX_PATH], back[MAX_PATH] = L"";
    GetFullPathNameW(folder, MAX_PATH, full, nullptr);
    char text[BATCH_TEXT_SIZE];
    int length = BatchPathText(full, text, sizeof text);
    if (length > 0)
        MultiByteToWideChar(CP_OEMCP, 0, text, -1, back, MAX_PATH);
    DWORD attributes = GetFileAttributesW(back);
    RemoveDirectoryW(folder);
    ASSERT_GT(length, 0) << "neither form can be written";
    EXPECT_EQ((int)strlen(text), length);
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << text << " names no folder";
}

}  // namespace
