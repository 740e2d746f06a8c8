// unload_test.cpp -- the add-on let go with archives open, in a child process
// (hostile_unload_child): RexxFeedback op 0, FreeLibrary and the end of the
// process close every handle the add-on owns and none that its caller owns.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/winfiles.h"
#include "support/zipbuilder.h"

namespace {

const DWORD CHILD_TIME_LIMIT_MS = 60000;

class HostileUnload : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.ok());
        std::string zip = ZipBuilder().add("a.txt", "first").add("b.txt", std::string(50000, 'b')).build();
        archivePath = folder.file("archive.zip");
        callerPath = folder.file("caller.zip");
        ASSERT_TRUE(WriteWholeFile(archivePath, zip));
        ASSERT_TRUE(WriteWholeFile(callerPath, zip));
    }

    // Runs the child in `mode` and returns its exit code.
    DWORD RunChild(const std::string& mode)
    {
        std::string command = "\"" + BinPath("hostile_unload_child.exe") + "\" " + mode + " \"" + archivePath +
                              "\" \"" + callerPath + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
            ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
            return 0xFFFFFFFF;
        }
        DWORD waited = WaitForSingleObject(process.hProcess, CHILD_TIME_LIMIT_MS);
        DWORD code = 0xFFFFFFFF;
        if (waited != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 99);
        else
            GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        EXPECT_EQ(waited, WAIT_OBJECT_0) << "the child hung";
        return code;
    }

    TempDir folder;
    std::string archivePath, callerPath;
};

TEST_F(HostileUnload, OpZeroAndFreeLibraryCloseTheAddonsHandlesOnly)
{
    EXPECT_EQ(RunChild("free"), 0u) << "checks failed in the child (its lines above say which)";
}

TEST_F(HostileUnload, ProcessEndWithArchivesOpen)
{
    EXPECT_EQ(RunChild("exit"), 0u) << "the child failed or crashed at exit";
    EXPECT_TRUE(DeleteFileA(archivePath.c_str())) << "the archive file stayed in use";
    EXPECT_TRUE(DeleteFileA(callerPath.c_str()));
}

}  // namespace
