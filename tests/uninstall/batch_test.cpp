// batch_test.cpp -- the self-removal batch file, byte for byte, captured from
// the writer before anything could run it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uninstall.h"

namespace {

// Runs the writer onto a real file under the test's folder and reads back
// what landed on the disk.
std::string WrittenBatch(const std::string& ownPath, const std::string& batchPath)
{
    const char* name = "uninstall_batch_capture.bat";
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    WriteRemovalBatch(file, ownPath.c_str(), (int)ownPath.size(), batchPath.c_str());
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

struct BatchCase {
    const char* name;
    const char* ownPath;
    const char* batchPath;
    const char* expected;
};

const BatchCase BATCH_CASES[] = {
    {"plain folder, 147 bytes", "C:\\Tools\\Addon\\UTarvune.exe", "C:\\Temp\\tarvune.bat",
     ":Repeat\r\n"
     "del \"C:\\Tools\\Addon\\UTarvune.exe\"\r\n"
     "if exist \"C:\\Tools\\Addon\\UTarvune.exe\" goto Repeat\r\n"
     "rmdir \"C:\\Tools\\Addon\"\r\n"
     "del \"C:\\Temp\\tarvune.bat\"\r\n"},
    {"blanks in every path", "C:\\Program Files\\Tarvune Add-on\\UTarvune.exe",
     "C:\\Documents and Settings\\Jo Doe\\Local Settings\\Temp\\tarvune.bat",
     ":Repeat\r\n"
     "del \"C:\\Program Files\\Tarvune Add-on\\UTarvune.exe\"\r\n"
     "if exist \"C:\\Program Files\\Tarvune Add-on\\UTarvune.exe\" goto Repeat\r\n"
     "rmdir \"C:\\Program Files\\Tarvune Add-on\"\r\n"
     "del \"C:\\Documents and Settings\\Jo Doe\\Local Settings\\Temp\\tarvune.bat\"\r\n"},
    {"folder is a drive root", "C:\\UTarvune.exe", "C:\\Temp\\tarvune.bat",
     ":Repeat\r\n"
     "del \"C:\\UTarvune.exe\"\r\n"
     "if exist \"C:\\UTarvune.exe\" goto Repeat\r\n"
     "rmdir \"C:\"\r\n"
     "del \"C:\\Temp\\tarvune.bat\"\r\n"},
    {"no backslash: empty folder", "UTarvune.exe", "tarvune.bat",
     ":Repeat\r\n"
     "del \"UTarvune.exe\"\r\n"
     "if exist \"UTarvune.exe\" goto Repeat\r\n"
     "rmdir \"\"\r\n"
     "del \"tarvune.bat\"\r\n"},
    {"a leading backslash alone gives no folder", "\\UTarvune.exe", "C:\\Temp\\tarvune.bat",
     ":Repeat\r\n"
     "del \"\\UTarvune.exe\"\r\n"
     "if exist \"\\UTarvune.exe\" goto Repeat\r\n"
     "rmdir \"\"\r\n"
     "del \"C:\\Temp\\tarvune.bat\"\r\n"},
    {"forward slashes do not separate", "C:/Tools/UTarvune.exe", "C:\\Temp\\tarvune.bat",
     ":Repeat\r\n"
     "del \"C:/Tools/UTarvune.exe\"\r\n"
     "if exist \"C:/Tools/UTarvune.exe\" goto Repeat\r\n"
     "rmdir \"\"\r\n"
     "del \"C:\\Temp\\tarvune.bat\"\r\n"},
    {"UNC folder", "\\\\server\\share\\Add on\\UTarvune.exe", "C:\\Temp\\tarvune.bat",
     ":Repeat\r\n"
     "del \"\\\\server\\share\\Add on\\UTarvune.exe\"\r\n"
     "if exist \"\\\\server\\share\\Add on\\UTarvune.exe\" goto Repeat\r\n"
     "rmdir \"\\\\server\\share\\Add on\"\r\n"
     "del \"C:\\Temp\\tarvune.bat\"\r\n"},
};

TEST(UninstallerBatchFile, FileHoldsExactlyTheFiveLines)
{
    for (const BatchCase& c : BATCH_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(WrittenBatch(c.ownPath, c.batchPath), std::string(c.expected));
    }
}

TEST(UninstallerBatchFile, ToolsAddonExampleIs147Bytes)
{
    std::string batch = WrittenBatch("C:\\Tools\\Addon\\UTarvune.exe", "C:\\Temp\\tarvune.bat");
    EXPECT_EQ(batch.size(), 147u);
    // No byte-order mark, and nothing but CR LF ends a line.
    EXPECT_EQ(batch.compare(0, 7, ":Repeat"), 0);
    size_t lines = 0;
    for (size_t i = 0; i < batch.size(); i++) {
        if (batch[i] == '\n') {
            EXPECT_TRUE(i > 0 && batch[i - 1] == '\r') << "LF without CR at " << i;
            lines++;
        } else if (batch[i] == '\r') {
            EXPECT_TRUE(i + 1 < batch.size() && batch[i + 1] == '\n') << "CR without LF at " << i;
        }
    }
    EXPECT_EQ(lines, 5u);
    EXPECT_EQ(batch.substr(batch.size() - 2), "\r\n");
}

// A message-mode pipe keeps the boundary of every write, so the pieces can
// be told apart: each goes out in a single WriteFile.
TEST(UninstallerBatchFile, WrittenInNinePieces)
{
    const char* pipeName = "\\\\.\\pipe\\tarvune_uninstall_batch_pieces";
    HANDLE server = CreateNamedPipeA(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                     1, 0, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    HANDLE client = CreateFileA(pipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << "error " << GetLastError();

    WriteRemovalBatch(client, "C:\\Tools\\Addon\\UTarvune.exe", 27, "C:\\Temp\\tarvune.bat");
    CloseHandle(client);

    std::vector<std::string> pieces;
    char message[512];
    DWORD got = 0;
    while (ReadFile(server, message, sizeof message, &got, nullptr))
        pieces.emplace_back(message, got);
    CloseHandle(server);

    const std::vector<std::string> expected = {
        ":Repeat\r\ndel \"",
        "C:\\Tools\\Addon\\UTarvune.exe",
        "\"\r\nif exist \"",
        "C:\\Tools\\Addon\\UTarvune.exe",
        "\" goto Repeat\r\nrmdir \"",
        "C:\\Tools\\Addon",
        "\"\r\ndel \"",
        "C:\\Temp\\tarvune.bat",
        "\"\r\n",
    };
    const size_t lengths[] = {14, 27, 13, 27, 22, 14, 8, 19, 3};
    ASSERT_EQ(pieces.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        SCOPED_TRACE("piece " + std::to_string(i + 1));
        EXPECT_EQ(pieces[i], expected[i]);
        EXPECT_EQ(pieces[i].size(), lengths[i]);
    }
}

}  // namespace
