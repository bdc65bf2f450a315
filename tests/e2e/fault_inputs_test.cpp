// Bad inputs and hostile surroundings for the real ovretain: retain files too
// short or far too long, a text slot without its zero, the longest OutPath
// and one that cannot be written, node names of the maximum length, clients
// killed while they hold the node-space lock, and shutdown events that come
// together. In each the service keeps its promises: it goes on running (or
// ends cleanly when told to), and what it saves is complete.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iostream>
#include <random>
#include <thread>

#include "e2e/service_e2e.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/segment_layout.h"
#include "service/service.h"
#include "status/status_segment.h"

namespace svctest {
namespace {

class FaultInputs : public ServiceTest {
protected:
    // A first run that saves once and stops: a retain file of the layout.
    std::string SaveOnceAndStop() {
        StartAndWait();
        Set("Save", "1");
        EXPECT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
        EXPECT_EQ(Stop(), 0);
        return ovtest::ReadFile(RetainFile());
    }
    // A later run, with the counters and Run as a fresh node space has them.
    void Restart() {
        StartAndWait();
        Set("Run", "1");
        Set("SaveCount", "0");
        Set("LoadCount", "0");
    }
    size_t Lines(const std::string& level) const {
        size_t n = 0;
        for (const LogLine& l : Log()) n += l.Level == level;
        return n;
    }
    void MakeDrive() { std::filesystem::create_directories(drives_.Path() + "/C/Orvale"); }
};

// --- Retain files that are too short at start-up --------------------------

struct ShortFile {
    size_t Bytes;
    int UseBackup;
};

class ShortRetainFile : public FaultInputs, public ::testing::WithParamInterface<ShortFile> {};

TEST_P(ShortRetainFile, IsJudgedAMismatchAndTheServiceGoesOn) {
    const ShortFile& c = GetParam();
    CreatePlant();
    Create("UseBackup", "1", std::to_string(c.UseBackup));
    MakeDrive();
    const std::string stub = std::string("\x01\x02\x03", c.Bytes);
    ovtest::WriteFile(RetainFile(), stub);

    StartAndWait();
    // A header that is not all there reads as 0.
    ASSERT_TRUE(WaitForLog({"WRN", "file hash code    = 0"})) << service_->Output();
    // ...and the file is kept aside under that hash before it goes.
    const std::string kept = drives_.Path() + "/C/Orvale/OvRetain.0000000001.00000000.00000000.old";
    ASSERT_TRUE(WaitForLog({"WRN", "Retained file kept as C:\\Orvale\\OvRetain.0000000001.00000000.00000000.old."}))
        << service_->Output();
    ASSERT_TRUE(ovtest::WaitUntil([&] { return !ovtest::FileExists(RetainFile()); }));
    EXPECT_EQ(Count({"WRN", "Retained file hash code does not match and will be deleted."}), 1u);
    EXPECT_EQ(Lines("WRN"), 4u);
    EXPECT_EQ(ovtest::ReadFile(kept), stub);
    if (c.UseBackup) {
        EXPECT_EQ(ovtest::ReadFile(BackupFile()), stub);
    } else {
        EXPECT_FALSE(ovtest::FileExists(BackupFile()));
    }

    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(RetainFile()).size(), RetainFileLength());
    EXPECT_EQ(Lines("ERR"), 0u);
    EXPECT_EQ(Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, ShortRetainFile,
                         ::testing::Values(ShortFile{0, 0}, ShortFile{1, 0}, ShortFile{3, 0}, ShortFile{3, 1}),
                         [](const ::testing::TestParamInfo<ShortFile>& info) {
                             return std::to_string(info.param.Bytes) + "Bytes" +
                                    (info.param.UseBackup ? "WithBackup" : "WithoutBackup");
                         });

// --- A file far longer than the layout, with a text that has no zero ------

TEST_F(FaultInputs, AFileFarLongerThanTheLayoutIsNotLoadedAndTheNextSaveKeepsItAside) {
    CreatePlant();
    std::string file = SaveOnceAndStop();
    ASSERT_EQ(file.size(), RetainFileLength());
    // Sixteen letters and no zero in the 16-byte text slot; as an older
    // version left it, with no check record (the layout record is written
    // again at every start).
    file.replace(SlotOffset("Plant.Name"), 16, std::string(16, 'X'));
    ovtest::WriteFile(RetainFile(), file);
    const std::string check = RetainFile().substr(0, RetainFile().size() - 12) + "OvRetain.check";
    ASSERT_EQ(std::remove(check.c_str()), 0);
    Ovnode({"set", "Plant.Speed", "1"});
    Ovnode({"set", "Plant.Name", "other"});

    Restart();
    EXPECT_EQ(Lines("WRN"), 0u) << service_->Output();  // the header still matches
    Set("Load", "1");
    ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
    EXPECT_EQ(Plant("Speed"), "1234");
    EXPECT_EQ(Plant("Name"), std::string(15, 'X'));

    // Then a megabyte that no node owns: no layout record of its hash
    // describes such a file, so it is not loaded by position.
    const std::string longer = file + std::string(1 << 20, '\xEE');
    ovtest::WriteFile(RetainFile(), longer);
    Ovnode({"set", "Plant.Speed", "2"});
    EXPECT_EQ(ovtest::Ovnode(active_, {"load", "--wait"}).Status, 1);
    EXPECT_EQ(Get("LoadCount"), "1");
    EXPECT_EQ(Plant("Speed"), "2");
    EXPECT_EQ(Lines("ERR"), 1u) << service_->Output();
    // Nobody loaded it: the save keeps it aside before it writes the
    // layout's length.
    Set("Save", "1");
    ASSERT_TRUE(ovtest::WaitUntil([&] { return ovtest::ReadFile(RetainFile()).size() == RetainFileLength(); }))
        << service_->Output();
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Lines("ERR"), 1u);
    size_t kept = 0;
    for (const auto& e : std::filesystem::directory_iterator(RetainFile().substr(0, RetainFile().size() - 12)))
        kept += e.path().extension() == ".old" && ovtest::ReadFile(e.path()) == longer;
    EXPECT_EQ(kept, 1u);
}

// --- OutPath ---------------------------------------------------------------

TEST_F(FaultInputs, AnOutPathOfSeventyNineCharactersHoldsTheFiles) {
    CreatePlant();
    std::string dir = drives_.Path() + "/";
    while (dir.size() < 79) dir += std::string(std::min<size_t>(20, 79 - dir.size() - 1), 'd') + "/";
    ASSERT_EQ(dir.size(), 79u);
    Ovnode({"create", Full("OutPath"), "12", "80"});
    Set("OutPath", dir);
    ASSERT_EQ(Get("OutPath"), dir);
    Create("UseBackup", "1", "1");

    StartAndWait();
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "2")) << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(dir + "OvRetain.bin").size(), RetainFileLength());
    EXPECT_EQ(ovtest::ReadFile(dir + "OvRetain.$$$").size(), RetainFileLength());
    Ovnode({"set", "Plant.Speed", "7"});
    Set("Load", "1");
    ASSERT_TRUE(WaitFor("LoadCount", "1"));
    EXPECT_EQ(Plant("Speed"), "1234");
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Lines("ERR"), 0u);
}

TEST_F(FaultInputs, AnOutPathThatCannotBeWrittenFailsEachSaveAloud) {
    CreatePlant();
    // A directory below a regular file can be made by no one, root included.
    ovtest::WriteFile(drives_.File("plain"), "not a directory");
    const std::string dir = drives_.File("plain") + "/retain/";
    Ovnode({"create", Full("OutPath"), "12", "80"});
    Set("OutPath", dir);
    const LogLine failure{"ERR", "Retain file directory creation failed: Not a directory"};

    StartAndWait();
    for (int i = 1; i <= 2; ++i) {
        Set("Save", "1");
        ASSERT_TRUE(WaitForLog(failure, i)) << service_->Output();
        ASSERT_TRUE(WaitFor("Save", "0"));
    }
    EXPECT_TRUE(service_->Running());
    // Loads find no file and say so.
    Set("Load", "1");
    ASSERT_TRUE(WaitFor("Load", "0"));
    EXPECT_EQ(Count({"ERR", "Retain file load failed: there is no retain file OvRetain.bin."}), 1u);
    // The stop still saves and fails the same way: the service ends with
    // status 1, so that a service manager sees the failure.
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(Count(failure), 3u);
    EXPECT_EQ(Lines("ERR"), 4u);
    EXPECT_EQ(Get("SaveCount"), "0");
    EXPECT_EQ(Get("LoadCount"), "0");
    EXPECT_EQ(ovtest::ReadFile(drives_.File("plain")), "not a directory");
}

// --- A retain directory another local user can write into ----------------

// Root's service saves into a directory the hostile user's group may write
// (which root accepts: it owns it and others cannot write). The user plants
// links under the names the service uses, pointing at a root-only file: the
// save replaces the link instead of writing through it, and a load refuses
// to read through it. A directory the user owns, or that anyone may write
// without the sticky bit, is refused outright and nothing is written there.
// The root service's retain directory against another user: one outside the
// drive root, or one that user (or the node space's group) could change, is
// refused with nothing written in it; a file that user put in a sound one is
// not loaded. (Links planted in a directory are not followed either: see the
// directory operations' own tests.)
TEST_F(FaultInputs, TheRootServiceKeepsItsFilesFromOtherUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the service must run as root and the attack as another user";
    const ovtest::TestUser user = ovtest::UnprivilegedUser();
    if (!user.Valid()) GTEST_SKIP() << "no unprivileged user could be made (useradd)";
    ovtest::TempDir outside;
    CreatePlant();
    Ovnode({"create", Full("OutPath"), "12", "80"});
    Set("OutPath", outside.Path() + "/");
    // Refused at start-up, as a configuration error, before it is ready.
    Start();
    EXPECT_EQ(service_->Wait(), 78);
    EXPECT_EQ(
        Count({"ERR", "Service not started: retain directory " + outside.Path() + " lies outside the drive root " +
                          drives_.Path() + " (OutPath must lie inside OVRT_DRIVES)."}),
        1u)
        << service_->Output();
    EXPECT_TRUE(std::filesystem::is_empty(outside.Path()));

    const std::string dir = drives_.File("retain"), retain = dir + "/OvRetain.bin";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    Set("OutPath", dir + "/");
    StartAndWait();
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    ASSERT_EQ(chown(retain.c_str(), user.Uid, user.Gid), 0);
    Set("Load", "1");
    ASSERT_TRUE(WaitForLog({"ERR", "Retain file open failed: owned by a user other than the service's or root"}))
        << service_->Output();
    EXPECT_EQ(Get("LoadCount"), "0");
    struct Refusal {
        std::string Which;
        uid_t Owner;
        mode_t Mode;
        std::string Why;
    };
    const Refusal refusals[] = {
        {dir, user.Uid, 0755, "owned by user " + std::to_string(user.Uid)},
        {dir, 0, 0777, "writable by every user"},
        {dir, 0, 01777, "writable by every user (sticky or not)"},
        {dir, 0, 0770, "writable by its group"},
        {drives_.Path(), 0, 0770, "writable by its group"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.Which + " " + r.Why);
        std::filesystem::remove(retain);
        ASSERT_EQ(chown(r.Which.c_str(), r.Owner, user.Gid), 0);
        ASSERT_EQ(chmod(r.Which.c_str(), r.Mode), 0);
        Set("Save", "1");
        ASSERT_TRUE(WaitForLog({"ERR", "Retain directory " + dir + " refused: " + r.Which + " is " + r.Why}))
            << service_->Output();
        ASSERT_TRUE(WaitFor("Save", "0"));
        EXPECT_EQ(Get("SaveCount"), "1");
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(retain)));
        ASSERT_EQ(chown(r.Which.c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(r.Which.c_str(), 0700), 0);
    }
    EXPECT_EQ(Stop(), 0);
}

// --- Node names of the maximum length ------------------------------------

TEST_F(FaultInputs, NodesWithNamesOfTheMaximumLengthRoundTrip) {
    std::vector<std::string> names;
    for (char last : {'a', 'b', 'c'}) names.push_back(std::string(kNodeNameMax - 1, 'N') + last);
    for (size_t i = 0; i < names.size(); ++i) {
        Ovnode({"create", names[i], "7"});
        Ovnode({"set", names[i], std::to_string(1000 + i)});
    }
    Ovnode({"create", std::string(kNodeNameMax, 'T'), "12", "32"});
    Ovnode({"set", std::string(kNodeNameMax, 'T'), "longest"});
    const std::string file = SaveOnceAndStop();
    ASSERT_EQ(file.size(), RetainFileLength());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(SlotValue(file, names[i]), 1000 + i);

    for (const std::string& name : names) Ovnode({"set", name, "0"});
    Ovnode({"set", std::string(kNodeNameMax, 'T'), "x"});
    Restart();
    EXPECT_EQ(Lines("WRN"), 0u) << service_->Output();  // the hash over these names matches
    Set("Load", "1");
    ASSERT_TRUE(WaitFor("LoadCount", "1")) << service_->Output();
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(ovtest::OvnodeGet(active_, names[i]), std::to_string(1000 + i));
    EXPECT_EQ(ovtest::OvnodeGet(active_, std::string(kNodeNameMax, 'T')), "longest");
    EXPECT_EQ(Stop(), 0);
}

// --- Clients killed while they hold the node-space lock ------------------

TEST_F(FaultInputs, ClientsKilledHoldingTheNodeSpaceLockDoNotStopSaves) {
    CreatePlant();
    Ovnode({"create", "Plant.Block", "13", "65535"});
    StartAndWait();
    const uint32_t block = NodeSpaceFind("Plant.Block");
    ASSERT_NE(block, 0u);
    std::mt19937 random(std::random_device{}());
    for (int round = 1; round <= 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // A client that writes the large node without pause: most of its
        // time is spent inside the lock, so the kill mostly lands there.
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t client = fork();
        ASSERT_GE(client, 0);
        if (client == 0) {
            std::vector<uint8_t> bytes(65535, static_cast<uint8_t>(round));
            close(ready[0]);
            (void)!write(ready[1], "x", 1);
            for (;;) NodeWriteData(block, bytes.data(), 65535);
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));  // a random moment
        kill(client, SIGKILL);
        ASSERT_EQ(waitpid(client, nullptr, 0), client);

        // The service still reads every node: the save completes and counts.
        Set("Save", "1");
        ASSERT_TRUE(WaitFor("SaveCount", std::to_string(round))) << service_->Output();
        EXPECT_EQ(ovtest::ReadFile(RetainFile()).size(), RetainFileLength());
    }
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Lines("ERR"), 0u);
}

// --- A node space shared, damaged, full, or not to be trusted --------------

// Two services started at once on one node space: exactly one runs, the
// other leaves at once, naming it, and the node space is not destroyed
// under the one that runs.
TEST_F(FaultInputs, OfTwoServicesStartedAtOnceExactlyOneRuns) {
    for (int round = 1; round <= 15; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ovtest::ScopedSpace space;
        ovtest::Env env = Environment();
        env["OVNODE_SPACE"] = space.Name();
        ovtest::Child a({OVRETAIN_BIN}, env), b({OVRETAIN_BIN}, env);
        ASSERT_TRUE(ovtest::WaitUntil([&] { return !a.Running() || !b.Running(); })) << a.Output() << b.Output();
        ovtest::Child& loser = a.Running() ? b : a;
        ovtest::Child& winner = a.Running() ? a : b;
        EXPECT_EQ(loser.Wait(), 1) << loser.Output();
        EXPECT_NE(loser.Output().find("ERR ovretain: Service not started: node space '" + space.Name() +
                                      "' is served by process " + std::to_string(winner.Pid()) + "."),
                  std::string::npos)
            << loser.Output();
        EXPECT_TRUE(winner.Running()) << winner.Output();
        if (round == 1) {
            auto refused = ovtest::Ovnode(space.Name(), {"destroy"});
            EXPECT_EQ(refused.Status, 1);
            EXPECT_NE(refused.Err.find("process " + std::to_string(winner.Pid())), std::string::npos) << refused.Err;
            EXPECT_TRUE(NodeSpaceExists(space.Name()));
        }
        winner.Signal(SIGTERM);
        EXPECT_EQ(winner.Wait(), 0) << winner.Output();
    }
    // Another instance whose name begins with this one's: destroy leaves it.
    const std::string other = active_ + ".init.999999.0";
    ASSERT_EQ(ovtest::Ovnode(other, {"create", "n", "7"}).Status, 0);
    EXPECT_EQ(ovtest::Ovnode(active_, {"destroy"}).Status, 0);
    EXPECT_TRUE(ovtest::FileExists("/dev/shm/ovns-" + other));
    EXPECT_EQ(ovtest::Ovnode(other, {"destroy"}).Status, 0);
}

// A node space that cannot be attached or verified: one ERR line, the exit
// status of a configuration error (the unit is not restarted), and the
// retain file in place is not touched.
TEST_F(FaultInputs, TheServiceRefusesANodeSpaceItCannotTrust) {
    const ovtest::TestUser user = ovtest::UnprivilegedUser();
    const std::string segment = "/dev/shm/ovns-" + active_;
    struct Case {
        const char* What;
        std::string Space;
        std::function<void()> Spoil;
        const char* Reason;
        bool NeedsUser;
    } cases[] = {
        {"an invalid name", "bad/name", [] {}, "invalid node space name", false},
        {"a segment cut short", active_, [&] { ASSERT_EQ(truncate(segment.c_str(), 4096), 0); }, "is cut short", false},
        {"a header that does not verify", active_,
         [&] {
             int fd = open(segment.c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             EXPECT_EQ(pwrite(fd, "xxxxxxxx", 8, 0), 8);
             close(fd);
         },
         "unknown layout", false},
        {"a node space of an older layout version", active_,
         [&] {
             int fd = open(segment.c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             const uint32_t version = 3;
             EXPECT_EQ(pwrite(fd, &version, sizeof version, 8), 4);
             close(fd);
         },
         "has layout version 3, this build reads version 4: remove it with 'ovnode destroy'", false},
        {"a segment every user may write", active_, [&] { ASSERT_EQ(chmod(segment.c_str(), 0666), 0); },
         "writable by every user", false},
        {"a segment made first by another user", active_,
         [&] { ASSERT_EQ(chown(segment.c_str(), user.Uid, user.Gid), 0); },
         "a foreign segment, refused (remove it: rm /dev/shm/ovns-", true},
    };
    MakeDrive();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        if (c.NeedsUser && !user.Valid()) {
            std::cout << "[ SKIPPED  ] " << c.What << ": needs root to create an unprivileged user\n";
            continue;
        }
        NodeSpaceDetach();
        NodeSpaceDestroy(active_, nullptr);
        CreatePlant();
        NodeSpaceDetach();
        ovtest::WriteFile(RetainFile(), "keep");
        c.Spoil();
        ovtest::Env env = Environment();
        env["OVNODE_SPACE"] = c.Space;
        ovtest::RunResult r = ovtest::Run({OVRETAIN_BIN}, env);
        EXPECT_EQ(r.Status, kExitConfiguration) << r.Err;
        EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
        EXPECT_NE(r.Err.find("ERR ovretain: Service not started:"), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find(c.Reason), std::string::npos) << r.Err;
        EXPECT_EQ(ovtest::ReadFile(RetainFile()), "keep");
    }
    ASSERT_EQ(chown(segment.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(segment.c_str(), 0660), 0);
}

// A member of the service's group who writes nonsense into the segment, then
// cuts it short: saves fail aloud, nothing is read or written outside the
// segment, and the service ends with a status, never a signal.
TEST_F(FaultInputs, AGroupMemberCorruptingTheSegmentMakesSavesFailNotTheService) {
    const ovtest::TestUser user = ovtest::UnprivilegedUser();
    if (!user.Valid()) GTEST_SKIP() << "needs root to create an unprivileged user";
    NodeSpaceDetach();
    ovtest::ScopedSpace space;
    setenv("OVNODE_GROUP", std::to_string(user.Gid).c_str(), 1);
    UseSpace(space.Name());
    CreatePlant();
    Start();
    unsetenv("OVNODE_GROUP");
    ASSERT_TRUE(ovtest::WaitUntil([&] { return Started(); })) << service_->Output();
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    const std::string saved = ovtest::ReadFile(RetainFile());
    const std::string segment = "/dev/shm/ovns-" + space.Name();

    // Plant.Speed's value offset, far outside the segment.
    const long offset =
        static_cast<long>(nodespace::kDefaultLayout.ValuesOffset + (NodeSpaceFind("Plant.Speed") - 1) * 16 +
                          offsetof(nodespace::ValueEntry, Offset));
    auto dd = ovtest::RunAs(user,
                            {"/usr/bin/dd", "of=" + segment, "bs=1", "seek=" + std::to_string(offset), "count=8",
                             "conv=notrunc", "status=none"},
                            {}, std::string(8, '\x7f'));
    ASSERT_EQ(dd.Status, 0) << dd.Err;
    Set("Save", "1");
    ASSERT_TRUE(ovtest::WaitUntil([&] { return Lines("ERR") >= 1; })) << service_->Output();
    EXPECT_NE(service_->Output().find("Retain file save failed: the value entry of node"), std::string::npos)
        << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), saved);
    EXPECT_TRUE(service_->Running());

    auto cut = ovtest::RunAs(user, {"/usr/bin/truncate", "-s", "65536", segment});
    ASSERT_EQ(cut.Status, 0) << cut.Err;
    service_->Signal(SIGTERM);
    int status = service_->Wait();
    EXPECT_TRUE(status == 0 || status == 1) << status << "\n" << service_->Output();
    EXPECT_EQ(ovtest::ReadFile(RetainFile()), saved);
    NodeSpaceDetach();
}

// A value entry that grows after the save checked the entries (held as it
// creates its temporary file): the walk stops at that node, the save fails
// aloud, and no file is written.
TEST_F(FaultInputs, AValueEntryGrownDuringASaveFailsIt) {
    CreatePlant();
    MakeDrive();
    ovtest::HoldPoint created("open", "OvRetain.bin.tmp");
    extraEnv_["OVRT_HOLD"] = created.Setting();
    StartAndWait();
    Set("Save", "1");
    ASSERT_TRUE(created.Reached()) << service_->Output();
    const uint32_t index = NodeSpaceFind("Plant.Name");
    auto* entry = reinterpret_cast<nodespace::ValueEntry*>(reinterpret_cast<uint8_t*>(NodeTable()) -
                                                           nodespace::kDefaultLayout.TableOffset +
                                                           nodespace::kDefaultLayout.ValuesOffset) +
                  (index - 1);
    const uint16_t size = entry->Size;
    entry->Size = 60000;
    created.Release();
    EXPECT_TRUE(WaitForLog({"ERR", "Retain file save failed: the value entry of node " + std::to_string(index) +
                                       " changed its size during the save."}))
        << service_->Output();
    ASSERT_TRUE(WaitFor("Save", "0"));
    entry->Size = size;
    EXPECT_FALSE(ovtest::FileExists(RetainFile()));
    EXPECT_EQ(Get("SaveCount"), "0");
    EXPECT_EQ(Stop(), 0);
}

// Local users against root's service and root's ovnode: each attack once as
// a member of the node space's group (which owns the node space here, as a
// member may) and once as a user outside it, with what stops it asserted:
// the refusal, or the bound on what it costs root.
TEST_F(FaultInputs, AttacksOfAMemberAndAnOutsiderAreRefusedOrBounded) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the service and ovnode run as root, the attacks as other users";
    const ovtest::TestUser member = ovtest::UnprivilegedUser(), outsider = ovtest::OutsideUser();
    if (!member.Valid() || !outsider.Valid()) GTEST_SKIP() << "no unprivileged users could be made (useradd)";
    const std::string group = std::to_string(member.Gid);
    MakeDrive();
    struct Attacker {
        const char* Who;
        ovtest::TestUser User;
        bool Member;
    };
    const Attacker attackers[] = {{"member", member, true}, {"outsider", outsider, false}};
    // A node space the member made, used by root's service through the
    // member's group.
    auto begin = [&]() {
        const std::string space = ovtest::UniqueName("atk");
        auto made = ovtest::RunAs(member, {OVNODE_BIN, "--space", space, "create", "Plant.Owner", "7"},
                                  {{"OVNODE_GROUP", group}});
        EXPECT_EQ(made.Status, 0) << made.Err;
        setenv("OVNODE_GROUP", group.c_str(), 1);
        extraEnv_["OVNODE_GROUP"] = group;
        NodeSpaceDetach();
        UseSpace(space);
        CreatePlant();
        return space;
    };
    auto end = [&](const std::string& space) {
        service_.reset();
        NodeSpaceDetach();
        for (const char* prefix : {"ovns-", "ovrt-", "ovstatus-"})
            std::filesystem::remove_all("/dev/shm/" + std::string(prefix) + space);
        unsetenv("OVNODE_GROUP");
        extraEnv_.clear();
    };
    auto as = [](const Attacker& a, const std::vector<std::string>& argv, const std::string& input = "") {
        return ovtest::RunAs(a.User, argv, {{"OVNODE_GROUP", ""}}, input);
    };
    // Root's ovnode, ended after 30 s should it hang (status 124).
    auto root = [](const std::string& space, const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/timeout", "30", OVNODE_BIN, "--space", space};
        argv.insert(argv.end(), args.begin(), args.end());
        return ovtest::Run(argv);
    };
    auto poke = [&](const Attacker& a, const std::string& space, size_t offset, const std::string& bytes) {
        return as(a,
                  {"/usr/bin/dd", "of=/dev/shm/ovns-" + space, "bs=1", "seek=" + std::to_string(offset),
                   "count=" + std::to_string(bytes.size()), "conv=notrunc", "status=none"},
                  bytes);
    };
    auto said = [&](const std::string& text) {
        return ovtest::WaitUntil([&] { return service_->Output().find(text) != std::string::npos; }, 30s);
    };
    struct Row {
        const char* What;
        std::function<void(const Attacker&)> Play;
    };
    const Row rows[] = {
        {"1a 1b set-aside copies and layout records without end",
         [&](const Attacker& a) {
             const std::string space = begin();
             StartAndWait();
             auto member = [&](std::vector<std::string> args) {
                 args.insert(args.begin(), {OVNODE_BIN, "--space", space});
                 return as(a, args);
             };
             auto count = [&](const std::string& ending) {
                 size_t n = 0;
                 for (const auto& e : std::filesystem::directory_iterator(drives_.Path() + "/C/Orvale"))
                     n += e.path().extension() == ending;
                 return n;
             };
             EXPECT_EQ(member({"create", Full("KeepOld"), "7"}).Status == 0, a.Member);
             if (!a.Member) return end(space);  // nothing more is open to an outsider
             member({"set", Full("KeepOld"), "4000000000"});
             // 1a: the adoption mark cleared before each save of a new value:
             // every save keeps the file before it aside.
             for (int i = 1; i <= 36; ++i) {
                 poke(a, space, offsetof(nodespace::SegmentHeader, AdoptedSize), std::string(4, '\0'));
                 member({"set", "Plant.Speed", std::to_string(i)});
                 Set("Save", "1");
                 ASSERT_TRUE(WaitFor("Save", "0")) << service_->Output();
             }
             EXPECT_LE(count(".old"), 32u);
             // 1b: a node created before each save: a new layout record each
             // time, and the one before it no file is written with any more.
             const size_t records = count(".layout");
             for (int i = 1; i <= 6; ++i) {
                 member({"create", "Atk.N" + std::to_string(i), "7"});
                 Set("Save", "1");
                 ASSERT_TRUE(WaitFor("Save", "0")) << service_->Output();
             }
             EXPECT_LE(count(".layout"), records + 2);
             end(space);
         }},
        {"1c value entries that claim more than the nodes hold",
         [&](const Attacker& a) {
             const std::string space = begin();
             StartAndWait();
             Set("Save", "1");
             ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
             const std::string saved = ovtest::ReadFile(RetainFile());
             // Plant.Name, a text of 16 bytes, claims 65,535.
             auto dd = poke(a, space,
                            nodespace::kDefaultLayout.ValuesOffset +
                                (NodeSpaceFind("Plant.Name") - 1) * nodespace::kValueEntrySize +
                                offsetof(nodespace::ValueEntry, Size),
                            "\xff\xff");
             EXPECT_EQ(dd.Status == 0, a.Member) << dd.Err;
             Set("Save", "1");
             if (a.Member) {
                 EXPECT_TRUE(said("ERR ovretain: Retain file save failed: the value entry of node"));
             }
             ASSERT_TRUE(WaitFor("Save", "0"));
             const std::string now = ovtest::ReadFile(RetainFile());
             if (a.Member) {
                 EXPECT_TRUE(now == saved) << now.size() << " bytes, " << saved.size() << " before";
             } else {
                 EXPECT_TRUE(WaitFor("SaveCount", "2"));
                 EXPECT_EQ(now.size(), saved.size());
             }
             end(space);
         }},
        {"2 a segment linked or moved under another node space's name",
         [&](const Attacker& a) {
             const std::string space = begin(), other = ovtest::UniqueName("atk");
             StartAndWait();
             const std::string from = "/dev/shm/ovns-" + space, to = "/dev/shm/ovns-" + other;
             EXPECT_EQ(as(a, {"/bin/ln", from, to}).Status == 0, a.Member);
             auto stop = root(other, {"service", "stop"});
             EXPECT_EQ(stop.Status, 1) << stop.Out << stop.Err;
             // Nor is the segment's second name removed as if nobody served it.
             if (a.Member) {
                 auto destroy = root(other, {"destroy"});
                 EXPECT_EQ(destroy.Status, 1);
                 EXPECT_NE(destroy.Err.find("a service (process " + std::to_string(Pid()) + ") runs"),
                           std::string::npos)
                     << destroy.Err;
             }
             if (a.Member) {
                 EXPECT_NE(stop.Err.find("has 2 names"), std::string::npos) << stop.Err;
             }
             unlink(to.c_str());
             EXPECT_EQ(as(a, {"/bin/mv", from, to}).Status == 0, a.Member);
             stop = root(other, {"service", "stop"});
             EXPECT_EQ(stop.Status, 1) << stop.Out << stop.Err;
             if (a.Member) {
                 EXPECT_NE(stop.Err.find("serves node space '" + space + "'"), std::string::npos) << stop.Err;
             }
             EXPECT_TRUE(service_->Running()) << service_->Output();
             unlink(to.c_str());
             end(space);
         }},
        {"3 a FIFO under a node space's name",
         [&](const Attacker& a) {
             const std::string space = ovtest::UniqueName("atk"), fifo = "/dev/shm/ovns-" + space;
             const std::vector<std::string> commands[] = {{"service", "pause"},   {"notify", "8"}, {"save"}, {"load"},
                                                          {"destroy", "--force"}, {"destroy"}};
             for (const std::vector<std::string>& args : commands) {
                 if (!ovtest::FileExists(fifo)) {
                     ASSERT_EQ(as(a, {"/usr/bin/mkfifo", fifo}).Status, 0);
                 }
                 auto r = root(space, args);
                 EXPECT_NE(r.Status, 124) << args[0] << " hung on the FIFO";
             }
             unlink(fifo.c_str());
         }},
        {"4 the status record's name taken, then a record forged",
         [&](const Attacker& a) {
             const std::string space = begin(), path = "/dev/shm/ovstatus-" + space;
             ASSERT_EQ(as(a, {"/bin/mkdir", path}).Status, 0);
             StartAndWait();
             EXPECT_TRUE(said("ERR ovretain: Status record not available:")) << service_->Output();
             ASSERT_EQ(as(a, {"/bin/rmdir", path}).Status, 0);
             ServiceStatus record{};
             record.Magic = kStatusMagic;
             record.Version = kStatusVersion;
             record.KindCount = kStatusKindSlots;
             record.KindSize = sizeof(StatusKindRecord);
             record.State = STATUS_STATE_RUNNING;
             record.Pid = Pid();
             record.Kinds[STATUS_TRIGGER_SAVE].LastOutcome = STATUS_OUTCOME_OK;
             ASSERT_EQ(as(a, {"/usr/bin/dd", "of=" + path, "status=none"},
                          std::string(reinterpret_cast<const char*>(&record), sizeof record))
                           .Status,
                       0);
             auto status = root(space, {"status"});
             EXPECT_EQ(status.Status, 1);
             EXPECT_NE(status.Out.find("no trusted status"), std::string::npos) << status.Out;
             EXPECT_NE(root(space, {"metrics"}).Out.find("\novretain_up 0\n"), std::string::npos);
             end(space);
         }},
        {"5 the lock held by a live process and every value's sequence odd",
         [&](const Attacker& a) {
             const std::string space = begin();
             StartAndWait();
             ovtest::Child holder({"/bin/sleep", "120"});
             const uint32_t tid = static_cast<uint32_t>(holder.Pid());
             const size_t count = static_cast<size_t>(NodeCount());
             const char* values = reinterpret_cast<const char*>(NodeTable()) - nodespace::kDefaultLayout.TableOffset +
                                  nodespace::kDefaultLayout.ValuesOffset;
             std::string entries(values, count * nodespace::kValueEntrySize);
             for (size_t i = 0; i < count; ++i) entries[i * nodespace::kValueEntrySize] |= 1;
             EXPECT_EQ(poke(a, space, offsetof(nodespace::SegmentHeader, Lock),
                            std::string(reinterpret_cast<const char*>(&tid), sizeof tid))
                               .Status == 0,
                       a.Member);
             EXPECT_EQ(poke(a, space, nodespace::kDefaultLayout.ValuesOffset, entries).Status == 0, a.Member);
             if (a.Member) {
                 auto list = root(space, {"list"});
                 EXPECT_EQ(list.Status, 1) << list.Out << list.Err;
                 EXPECT_NE(list.Err.find("values may be missing"), std::string::npos) << list.Err;
             }
             EXPECT_EQ(root(space, {"service", "stop"}).Status, 0);
             EXPECT_EQ(service_->Wait(30s), a.Member ? 1 : 0) << service_->Output();
             if (a.Member) {
                 EXPECT_NE(service_->Output().find("the node space failed"), std::string::npos);
             }
             end(space);
         }},
        {"6 a node space's segment made before the service starts",
         [&](const Attacker& a) {
             const std::string space = ovtest::UniqueName("atk");
             ASSERT_EQ(as(a, {"/bin/sh", "-c", "umask 077 && : > /dev/shm/ovns-" + space}).Status, 0);
             ovtest::Env env = Environment();
             env["OVNODE_SPACE"] = space;
             env["OVNODE_GROUP"] = group;
             auto r = ovtest::Run({OVRETAIN_BIN}, env);
             EXPECT_EQ(r.Status, kExitConfiguration) << r.Err;
             EXPECT_EQ(r.Err.find("OVNODE_GROUP="), std::string::npos) << r.Err;
             if (!a.Member) {
                 EXPECT_NE(r.Err.find("a foreign segment, refused (remove it"), std::string::npos) << r.Err;
             }
             unlink(("/dev/shm/ovns-" + space).c_str());
         }},
        {"7 controls and bytes that are not UTF-8 in a text",
         [&](const Attacker& a) {
             const std::string space = begin();
             const std::string evil = "\xc2\x9b\xe2\x80\xae\xe2\x81\xa6\xff\xe0\x80\xaf";
             auto set = as(a, {OVNODE_BIN, "--space", space, "set", "Plant.Name", evil});
             EXPECT_EQ(set.Status == 0, a.Member) << set.Err;
             if (a.Member) {
                 for (const std::vector<std::string>& args : {std::vector<std::string>{"get", "Plant.Name", "--json"},
                                                              std::vector<std::string>{"list", "--json"}}) {
                     auto r = root(space, args);
                     EXPECT_NE(r.Out.find("\\u009b\\u202e\\u2066\\udcff\\udce0\\udc80\\udcaf"), std::string::npos)
                         << r.Out;
                     EXPECT_EQ(r.Out.find("\xc2\x9b"), std::string::npos) << r.Out;
                 }
             }
             end(space);
         }},
        {"8 another instance whose name begins with this one's",
         [&](const Attacker& a) {
             const std::string space = begin(), other = space + ".init.1";
             auto made = as(a, {OVNODE_BIN, "--space", other, "create", "n", "7"});
             ASSERT_EQ(made.Status, 0) << made.Err;
             NodeSpaceDetach();
             auto destroyed = root(space, {"destroy"});
             EXPECT_EQ(destroyed.Status, 0) << destroyed.Err;
             EXPECT_TRUE(ovtest::FileExists("/dev/shm/ovns-" + other));
             for (const char* prefix : {"ovns-", "ovrt-"}) unlink(("/dev/shm/" + std::string(prefix) + other).c_str());
             end(space);
         }},
    };
    for (const Row& row : rows) {
        for (const Attacker& a : attackers) {
            SCOPED_TRACE(std::string(row.What) + ", as the " + a.Who);
            row.Play(a);
        }
    }
}

// A /dev/shm that fills up: every caller gets ENOSPC and says so; nobody
// gets SIGBUS.
TEST_F(FaultInputs, AFullDevShmIsReportedByEveryCallerAndEndsNone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace with a small /dev/shm";
    ovtest::TempDir dir;
    std::string layout = "name,type,size,value\n";
    for (int i = 0; i < 3000; ++i) layout += "Area.Line" + std::to_string(i) + ".Speed,13,200,\n";
    ovtest::WriteFile(dir.File("layout.csv"), layout);
    // Each step prints its status; the service is stopped once it has said
    // why it could not publish.
    const std::string script =
        "mount -t tmpfs -o size=1m tmpfs /dev/shm || exit 99\n"
        "export OVNODE_SPACE=full\n"
        "\"$1\" load-layout \"$3\"; echo \"load-layout $?\"\n"
        "\"$1\" get Missing.Node; echo \"get $?\"\n"
        "\"$2\" 2>\"$4\" & pid=$!\n"
        "for i in $(seq 200); do grep -q 'No space' \"$4\" && break; sleep 0.05; done\n"
        "kill -TERM $pid; wait $pid; echo \"ovretain $?\"; cat \"$4\" >&2\n";
    ovtest::RunResult r =
        ovtest::Run({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh", OVNODE_BIN,
                     OVRETAIN_BIN, dir.File("layout.csv"), dir.File("service.log")});
    if (r.Out.empty()) GTEST_SKIP() << "no private mount namespace here: " << r.Err;
    EXPECT_NE(r.Out.find("load-layout 1\n"), std::string::npos) << r.Out << r.Err;
    EXPECT_NE(r.Out.find("get 1\n"), std::string::npos) << r.Out << r.Err;
    EXPECT_NE(r.Err.find("ovnode: unknown node Missing.Node"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("/dev/shm has no room left"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("ERR ovretain:"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("No space left on device"), std::string::npos) << r.Err;
    EXPECT_TRUE(r.Out.find("ovretain 0\n") != std::string::npos || r.Out.find("ovretain 1\n") != std::string::npos)
        << r.Out << r.Err;
}

// --- Shutdown events that come together ----------------------------------

class ShutdownTogether : public FaultInputs, public ::testing::WithParamInterface<int> {
protected:
    // Whichever event comes second may find the service gone already, so
    // the sending itself is not judged.
    void Send(int which) {
        std::string error;
        switch (which) {
            case 0:
                ovtest::Ovnode(active_, {"notify", "8"});
                break;
            case 1:
                ovtest::Ovnode(active_, {"notify", "12"});
                break;
            case 2:
                NodeSpaceSendControl(pid_, 101, &error);
                break;
            case 3:
                kill(pid_, SIGTERM);
                break;
        }
    }
    pid_t pid_ = 0;
};

// Pairs of (first, second): two shutdown-class events; a stop event and a
// shutdown event; a signal and a shutdown event.
const std::pair<int, int> kPairs[] = {{0, 1}, {2, 1}, {3, 0}, {2, 2}};

TEST_P(ShutdownTogether, EndCleanlyWithACompleteFile) {
    const auto [first, second] = kPairs[GetParam()];
    CreatePlant();
    StartAndWait();
    pid_ = Pid();
    Ovnode({"set", "Plant.Speed", "8642"});
    std::thread other([&] { Send(second); });
    Send(first);
    other.join();
    EXPECT_EQ(service_->Wait(), 0) << service_->Output();
    const std::string file = ovtest::ReadFile(RetainFile());
    EXPECT_EQ(file.size(), RetainFileLength());
    EXPECT_EQ(SlotValue(file, "Plant.Speed"), 8642u);
    EXPECT_EQ(Lines("ERR"), 0u) << service_->Output();
    EXPECT_EQ(RtFindProcess("OvRetain"), 0);
    // The service waits for a save in progress before it ends, so the second
    // event's save is never cut off half-way.
    EXPECT_FALSE(ovtest::FileExists(RetainFile() + ".tmp"));

    Restart();
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    EXPECT_EQ(Stop(), 0);
}

std::string PairName(const ::testing::TestParamInfo<int>& info) {
    static const char* const kNames[] = {"Events8And12", "StopAndEvent12", "SigtermAndEvent8", "TwoStops"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Inputs, ShutdownTogether, ::testing::Range(0, 4), PairName);

}  // namespace
}  // namespace svctest
