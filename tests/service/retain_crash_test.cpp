// Crash safety of the retain file: a child process saves in a loop, each
// save with new values, and is killed with SIGKILL at a random moment; after
// every kill OvRetain.bin (and its backup) must be a complete file of one
// save, never a torn one, and verify by the check record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "retain/check_record.h"
#include "retain/layout_hash.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "retain/startup_check.h"
#include "stdlib/pdir.h"
#include "support/test_support.h"
#include "variables/variables.h"

namespace {

using ovtest::ReadFile;
using ovtest::ScopedSpace;
using ovtest::TempDir;

constexpr int kNumbers = 4000;  // type 7 nodes, 4 bytes each
constexpr int kTexts = 1000;    // type 12 nodes, 80 bytes each
constexpr int kKills = 30;

std::string NumberName(int i) {
    return "Crash.Number" + std::to_string(i);
}
std::string TextName(int i) {
    return "Crash.Text" + std::to_string(i);
}

// Writes generation g into every test node: the numbers hold g, the texts
// "g=<g>".
void WriteGeneration(uint32_t g) {
    for (int i = 0; i < kNumbers; ++i) NodeWriteByName(NumberName(i).c_str(), &g, 4);
    std::string text = "g=" + std::to_string(g);
    for (int i = 0; i < kTexts; ++i) NodeWriteStringByName(TextName(i).c_str(), text.c_str());
}

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

// Checks that `content` is a complete file of one save: the header, the
// configuration's slots, then every number equal to one generation and every
// text "g=<that generation>". Returns the generation, or -1 (with a failure
// recorded).
int64_t CheckComplete(const std::string& content, uint32_t hash, size_t configurationBytes) {
    const size_t expected = 4 + configurationBytes + kNumbers * 4 + kTexts * 80;
    EXPECT_EQ(content.size(), expected);
    if (content.size() != expected) return -1;
    EXPECT_EQ(Le32(content, 0), hash);
    size_t at = 4 + configurationBytes;
    uint32_t g = Le32(content, at);
    for (int i = 0; i < kNumbers; ++i, at += 4) {
        if (Le32(content, at) != g) {
            ADD_FAILURE() << "number " << i << " holds " << Le32(content, at) << ", number 0 holds " << g;
            return -1;
        }
    }
    std::string text = "g=" + std::to_string(g);
    std::string slot = text + std::string(80 - text.size(), '\0');
    for (int i = 0; i < kTexts; ++i, at += 80) {
        if (content.compare(at, 80, slot) != 0) {
            ADD_FAILURE() << "text " << i << " is not " << text;
            return -1;
        }
    }
    return g;
}

class RetainCrash : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(NodeSpaceAttach(space_.Name(), true, &error)) << error;
        ResetVariablesForTest();
        ResetRetainStateForTest();
        PublishConfiguration();
        ASSERT_EQ(NodeWriteStringByName("SERVICE.OvRetain.OutPath", (dir_.Path() + "/").c_str()), 0);
        ASSERT_EQ(setenv("OVRT_DRIVES", dir_.Path().c_str(), 1), 0);
        uint8_t useBackup = GetParam();
        ASSERT_EQ(NodeWriteByName("SERVICE.OvRetain.UseBackup", &useBackup, 1), 0);
        char scratch[32];
        uint32_t word = 0;
        for (int i = 0; i < kNumbers; ++i) ASSERT_EQ(NodeCreate(NumberName(i).c_str(), 7, 4, "", ""), 0);
        for (int i = 0; i < kTexts; ++i) {
            ASSERT_EQ(NodeCreateString(TextName(i).c_str(), 12, 80, "", "", scratch, sizeof scratch, &word), 0);
        }
        BuildRetainFilePaths();
    }
    void TearDown() override {
        ResetRetainStateForTest();
        ResetVariablesForTest();
        NodeSpaceDetach();
    }
    ScopedSpace space_;
    TempDir dir_;
};

// The child: saves generation after generation, telling the parent through
// the pipe after each completed save. Never returns.
[[noreturn]] void SaveForever(int pipeOut, uint32_t firstGeneration) {
    for (uint32_t g = firstGeneration;; ++g) {
        WriteGeneration(g);
        if (SaveRetainFile() != 1) _exit(3);
        char done = 1;
        if (write(pipeOut, &done, 1) != 1) _exit(4);
    }
}

TEST_P(RetainCrash, KilledSavesNeverLeaveATornFile) {
    const size_t configurationBytes = 4 + 4 + 1 + 80;  // Priority, Interval, UseBackup, OutPath
    const uint32_t hash = ComputeLayoutHash();
    WriteGeneration(1);
    ASSERT_EQ(SaveRetainFile(), 1);

    // How long one save takes here, so that the kills land at moments spread
    // over a save.
    auto start = std::chrono::steady_clock::now();
    WriteGeneration(2);
    ASSERT_EQ(SaveRetainFile(), 1);
    auto saveTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    const int64_t span = std::max<int64_t>(2 * saveTime.count(), 200);

    std::mt19937 rng(std::random_device{}());
    int64_t lastGeneration = 2;
    uint32_t nextGeneration = 3;
    for (int kill = 0; kill < kKills; ++kill) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            SaveForever(fds[1], nextGeneration);
        }
        close(fds[1]);
        // Let the child finish a random number (0 to 2) of saves first, then
        // kill it at a random moment within about two saves.
        int saves = static_cast<int>(rng() % 3);
        for (int s = 0; s < saves; ++s) {
            struct pollfd p = {fds[0], POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 10000), 1) << "the child stopped saving";
            char done;
            ASSERT_EQ(read(fds[0], &done, 1), 1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % span));
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself with " << WEXITSTATUS(status);
        char done;
        while (read(fds[0], &done, 1) == 1) ++nextGeneration;
        close(fds[0]);
        nextGeneration += 1000;  // generations of the next child never repeat the killed one's

        SCOPED_TRACE("kill " + std::to_string(kill));
        // Every file left is one the check record vouches for.
        PDir* dir = PDirOpen(dir_.Path().c_str());
        ASSERT_NE(dir, nullptr);
        for (const char* name : {"OvRetain.bin", "OvRetain.$$$"}) {
            if (!GetParam() && std::string(name) != "OvRetain.bin") continue;
            CheckEntry entry;
            std::string why;
            EXPECT_EQ(VerifyRetainFileNamed(dir, name, &entry, &why), CHECK_VERIFIED) << name << ": " << why;
        }
        PDirClose(dir);
        int64_t g = CheckComplete(ReadFile(GetRetainFilePath()), hash, configurationBytes);
        ASSERT_GE(g, lastGeneration) << "the retain file went back to an older save";
        lastGeneration = g;
        if (GetParam()) {
            int64_t backup = CheckComplete(ReadFile(GetBackupFilePath()), hash, configurationBytes);
            ASSERT_GE(backup, 1);
            EXPECT_LE(backup, g);
        }
    }
    // The service still saves and loads over whatever the kills left behind.
    WriteGeneration(7);
    ASSERT_EQ(SaveRetainFile(), 1);
    WriteGeneration(8);
    ASSERT_EQ(LoadRetainFile(), 1);
    uint32_t value = 0;
    NodeReadByName(NumberName(kNumbers - 1).c_str(), &value, 4);
    EXPECT_EQ(value, 7u);
}

INSTANTIATE_TEST_SUITE_P(UseBackup, RetainCrash, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                             return info.param ? std::string("BackupOn") : std::string("BackupOff");
                         });

}  // namespace
