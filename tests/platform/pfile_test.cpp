// The platform's buffered files, drive-path mapping, directory operations and
// their fault seam.
#include "stdlib/pfile.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "stdlib/pdir.h"
#include "support/test_support.h"

namespace {

using ovtest::FileExists;
using ovtest::ReadFile;
using ovtest::TempDir;
using ovtest::WriteFile;

// Restores an environment variable at the end of a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_, old_;
    bool had_ = false;
};

class PFileTest : public ::testing::Test {
protected:
    void TearDown() override { PFileClearFaults(); }
    TempDir dir;
};

std::string Pattern(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return s;
}

TEST_F(PFileTest, ManySmallAndSomeHugeWritesReadBackExactly) {
    // Items of varied sizes, among them some larger than any buffer, so that
    // every path of the buffering is crossed.
    std::vector<std::string> items;
    std::string expected;
    for (unsigned i = 0; i < 40000; ++i) {
        size_t size = i % 997 == 0 ? (3u << 20) + i : i % 37;
        if (i % 5000 == 1) size = 0;
        items.push_back(Pattern(size, i));
        expected += items.back();
    }
    std::string path = dir.File("data.bin");
    PFile* f = PFileOpen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (const std::string& item : items) ASSERT_TRUE(PFileWrite(f, item.data(), item.size()));
    ASSERT_TRUE(PFileClose(f));
    ASSERT_EQ(ReadFile(path), expected);

    f = PFileOpen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<char> buffer;
    for (const std::string& item : items) {
        buffer.assign(item.size() + 1, 0);
        ASSERT_TRUE(PFileRead(f, buffer.data(), item.size()));
        ASSERT_EQ(0, std::memcmp(buffer.data(), item.data(), item.size()));
    }
    char byte;
    errno = EINVAL;
    EXPECT_FALSE(PFileRead(f, &byte, 1));
    EXPECT_EQ(errno, 0) << "the end of the file is not an error";
    EXPECT_TRUE(PFileClose(f));
}

TEST_F(PFileTest, ReadPastTheEndConsumesWhatIsThereAndSkipDiscards) {
    std::string path = dir.File("short.bin");
    WriteFile(path, "0123456789");
    PFile* f = PFileOpen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buffer[8] = {};
    ASSERT_TRUE(PFileSkip(f, 3));
    ASSERT_TRUE(PFileRead(f, buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_FALSE(PFileRead(f, buffer, 4));  // only 3 bytes left
    EXPECT_FALSE(PFileRead(f, buffer, 1));  // and they were consumed
    EXPECT_FALSE(PFileSkip(f, 1));
    ASSERT_TRUE(PFileSeek(f, 8));
    ASSERT_TRUE(PFileRead(f, buffer, 2));
    EXPECT_EQ(std::string(buffer, 2), "89");
    EXPECT_TRUE(PFileClose(f));
}

TEST_F(PFileTest, SeekWhileWritingPlacesLaterBytes) {
    std::string path = dir.File("seek.bin");
    PFile* f = PFileOpen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(PFileWrite(f, "HEAD", 4));
    ASSERT_TRUE(PFileSeek(f, 4));
    ASSERT_TRUE(PFileWrite(f, "body", 4));
    ASSERT_TRUE(PFileSeek(f, 1));
    ASSERT_TRUE(PFileWrite(f, "x", 1));
    ASSERT_TRUE(PFileSeek(f, 10));  // past the end: a hole of zeros
    ASSERT_TRUE(PFileWrite(f, "!", 1));
    ASSERT_TRUE(PFileSync(f));
    ASSERT_TRUE(PFileClose(f));
    EXPECT_EQ(ReadFile(path), std::string("HxADbody\0\0!", 11));
    EXPECT_FALSE(PFileSeek(nullptr, 0));
}

TEST_F(PFileTest, OpenModesAndTruncation) {
    std::string path = dir.File("t.bin");
    WriteFile(path, "old content");
    PFile* f = PFileOpen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(PFileClose(f));
    EXPECT_EQ(ReadFile(path), "");

    errno = 0;
    EXPECT_EQ(PFileOpen(path.c_str(), "a+"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(PFileOpen(dir.File("missing").c_str(), "rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(PFileOpen(dir.File("no/such/dir/f").c_str(), "wb"), nullptr);
    EXPECT_EQ(errno, ENOENT);

    // A read handle refuses writes and a write handle refuses reads.
    f = PFileOpen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(PFileWrite(f, "x", 1));
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(PFileClose(f));
}

TEST_F(PFileTest, AWriteErrorIsNeverHidden) {
    // /dev/full fails every write with ENOSPC once the buffer goes out.
    PFile* f = PFileOpen("/dev/full", "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(PFileWrite(f, "abc", 3));  // only buffered so far
    errno = 0;
    EXPECT_FALSE(PFileFlush(f));
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_FALSE(PFileWrite(f, "d", 1));
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_FALSE(PFileSync(f));
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_FALSE(PFileClose(f));
    EXPECT_EQ(errno, ENOSPC);

    f = PFileOpen("/dev/full", "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(PFileWrite(f, "abc", 3));
    errno = 0;
    EXPECT_FALSE(PFileClose(f)) << "close writes the buffer out";
    EXPECT_EQ(errno, ENOSPC);
}

TEST_F(PFileTest, DirectoryOperations) {
    std::string a = dir.File("a"), b = dir.File("b");
    WriteFile(a, "first");
    WriteFile(b, "second");
    EXPECT_TRUE(PFileExists(a.c_str()));

    EXPECT_FALSE(PFileLink(a.c_str(), b.c_str()));
    EXPECT_EQ(errno, EEXIST);
    std::string c = dir.File("c");
    ASSERT_TRUE(PFileLink(a.c_str(), c.c_str()));
    EXPECT_EQ(ReadFile(c), "first");

    ASSERT_TRUE(PFileRename(b.c_str(), a.c_str()));  // replaces a
    EXPECT_EQ(ReadFile(a), "second");
    EXPECT_EQ(ReadFile(c), "first") << "the other name of the old file keeps it";
    EXPECT_FALSE(PFileExists(b.c_str()));
    EXPECT_FALSE(PFileRename(b.c_str(), a.c_str()));
    EXPECT_EQ(errno, ENOENT);

    EXPECT_TRUE(PFileSyncDir(a.c_str()));
    EXPECT_FALSE(PFileSyncDir(dir.File("gone/x").c_str()));
    EXPECT_EQ(errno, ENOENT);

    ASSERT_TRUE(PFileRemove(a.c_str()));
    EXPECT_FALSE(PFileExists(a.c_str()));
    EXPECT_FALSE(PFileRemove(a.c_str()));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PFileTest, MakeParentsCreatesOnlyTheDirectories) {
    std::string file = dir.File("x/y/z/OvRetain.bin");
    ASSERT_TRUE(PFileMakeParents(file.c_str()));
    struct stat st;
    ASSERT_EQ(stat(dir.File("x/y/z").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(FileExists(file));
    EXPECT_TRUE(PFileMakeParents(file.c_str())) << "existing directories are fine";
    EXPECT_TRUE(PFileMakeParents("OvRetain.bin")) << "a bare name needs no directory";

    WriteFile(dir.File("plain"), "");
    EXPECT_FALSE(PFileMakeParents(dir.File("plain/sub/f").c_str()));
    EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(PFileTest, DrivePathsMapOntoTheDriveRoot) {
    ScopedEnv drives("OVRT_DRIVES", "/srv/drives");
    struct Case {
        const char* In;
        const char* Out;
    };
    const Case cases[] = {
        {"C:\\Orvale\\", "/srv/drives/C/Orvale/"},
        {"C:\\Orvale\\OvRetain.bin", "/srv/drives/C/Orvale/OvRetain.bin"},
        {"d:\\data", "/srv/drives/D/data"},
        {"D:\\dataOvRetain.bin", "/srv/drives/D/dataOvRetain.bin"},
        {"E:/mixed\\seps/x", "/srv/drives/E/mixed/seps/x"},
        {"F:", "/srv/drives/F/"},
        {"/abs/path\\kept", "/abs/path\\kept"},
        {"relative\\name", "relative\\name"},
        {"OvRetain.bin", "OvRetain.bin"},
        {"1:\\x", "1:\\x"},
        {"", ""},
        {"C:\\a\\.\\b\\..\\OvRetain.bin", "/srv/drives/C/a/OvRetain.bin"},
        {"C:\\..\\..\\etc\\", "/srv/drives/C/etc/"},
        {"C:\\a\\..\\", "/srv/drives/C/"},
        {"C:\\..OvRetain.bin", "/srv/drives/C/..OvRetain.bin"},
    };
    for (const Case& c : cases) EXPECT_EQ(PFileMapPath(c.In), c.Out) << c.In;
    bool climbed = false;
    PFileMapPath("C:\\a\\..\\b", &climbed);
    EXPECT_FALSE(climbed);
    PFileMapPath("C:\\a\\..\\..\\b", &climbed);
    EXPECT_TRUE(climbed) << "a \"..\" at the drive's top stays there";
}

// Files relative to a directory handle: nothing planted in the directory
// (a link, a FIFO, a directory) is followed, opened or waited on.
TEST_F(PFileTest, DirectoryHandleNeverFollowsOrBlocks) {
    WriteFile(dir.File("target"), "precious");
    ASSERT_EQ(symlink(dir.File("target").c_str(), dir.File("link").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink(dir.File("sub").c_str(), dir.File("sublink").c_str()), 0);

    EXPECT_EQ(PDirOpen(dir.File("sublink").c_str()), nullptr) << "the last component is never followed";
    PDir* d = PDirOpen(dir.Path().c_str());
    ASSERT_NE(d, nullptr);
    for (const char* name : {"link", "fifo", "sub"}) {
        EXPECT_EQ(PDirOpenRead(d, name), nullptr) << name;
        EXPECT_TRUE(PDirNotRegular(errno)) << name;
    }
    // A stale name, a link among them, is replaced, not written through.
    PFile* f = PDirCreate(d, "link");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(PFileWrite(f, "new", 3));
    ASSERT_TRUE(PFileClose(f));
    EXPECT_EQ(ReadFile(dir.File("target")), "precious");
    EXPECT_EQ(ReadFile(dir.File("link")), "new");
    // The path-based open does not write or read through a link either.
    ASSERT_EQ(symlink("target", dir.File("path-link").c_str()), 0);
    EXPECT_EQ(PFileOpen(dir.File("path-link").c_str(), "wb"), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(PFileOpen(dir.File("path-link").c_str(), "rb"), nullptr);
    EXPECT_EQ(ReadFile(dir.File("target")), "precious");

    const char* step = nullptr;
    ASSERT_TRUE(PDirWriteFile(d, "whole", "abc", 3, &step));
    EXPECT_EQ(ReadFile(dir.File("whole")), "abc");
    EXPECT_FALSE(FileExists(dir.File("whole.tmp")));
    struct stat st;
    ASSERT_TRUE(PDirStat(d, "whole", &st));
    EXPECT_EQ(st.st_mode & 0777 & ~0640u, 0u) << "files are made 0640 at most";
    ASSERT_TRUE(PDirCopyFile(d, "whole", "copy", &step));
    EXPECT_EQ(ReadFile(dir.File("copy")), "abc");
    PFileInjectFault(PF_RENAME, 1, EIO);
    EXPECT_FALSE(PDirWriteFile(d, "whole", "xyz", 3, &step));
    EXPECT_STREQ(step, "rename");
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(ReadFile(dir.File("whole")), "abc");
    EXPECT_FALSE(FileExists(dir.File("whole.tmp")));
    PDirClose(d);

    ASSERT_TRUE(PDirMake(dir.File("m/n").c_str()));
    ASSERT_EQ(stat(dir.File("m/n").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0750u, 0u) << "directories are made 0750 at most";
}

// The retain directory inside its drive root: what a path may name, and, when
// vetted (the service as root), who may own or change each directory and file.
TEST_F(PFileTest, DirectoriesBeneathTheDriveRoot) {
    const std::string root = dir.Path() + "/drives";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((root + "/C").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/etc", (root + "/C/link").c_str()), 0);
    ASSERT_EQ(mkdir((root + "/C/real").c_str(), 0700), 0);
    struct Case {
        std::string Dir;
        bool Create;
        int Errno;  // 0: opened
    };
    const Case paths[] = {
        {root + "/C/real", false, 0},
        {root + "/C/new/sub", true, 0},
        {root + "/C/missing", false, ENOENT},
        {root + "/../etc", false, EXDEV},
        {root + "/C/real/../../..", false, EXDEV},
        {root + "x/C", true, EXDEV},  // a sibling whose name begins like the root
        {"/etc/bash_completion.d", true, EXDEV},
        {root + "/C/link", false, ELOOP},
        {root + "/C/link/sub", true, ELOOP},
    };
    for (const Case& c : paths) {
        SCOPED_TRACE(c.Dir);
        std::string why;
        errno = 0;
        PDir* d = PDirOpenBeneath(root.c_str(), c.Dir.c_str(), c.Create, false, &why);
        EXPECT_EQ(d != nullptr, c.Errno == 0) << why;
        if (!d) {
            EXPECT_EQ(errno, c.Errno) << why;
        }
        PDirClose(d);
    }
    EXPECT_FALSE(FileExists("/etc/bash_completion.d/OvRetain.bin"));

    if (geteuid() != 0) GTEST_SKIP() << "only root vets owners and modes (run as root)";
    struct Vet {
        const char* Name;
        uid_t Owner;
        mode_t Mode;
        bool Trusted;
    };
    const Vet vets[] = {
        {"root's", 0, 0755, true},
        {"world-writable with the sticky bit", 0, 01777, false},
        {"world-writable", 0, 0777, false},
        {"group-writable", 0, 0775, false},
        {"group-writable with the sticky bit", 0, 01770, false},
        {"another user's", 4321, 0755, false},
    };
    const std::string real = root + "/C/real";
    for (const std::string& which : {root, root + "/C", real}) {
        for (const Vet& v : vets) {
            SCOPED_TRACE(which + ": " + v.Name);
            ASSERT_EQ(chown(which.c_str(), v.Owner, 0), 0);
            ASSERT_EQ(chmod(which.c_str(), v.Mode), 0);
            std::string why;
            PDir* d = PDirOpenBeneath(root.c_str(), real.c_str(), false, true, &why);
            EXPECT_EQ(d != nullptr, v.Trusted) << why;
            if (!d) {
                EXPECT_NE(why.find(which), std::string::npos) << why;
            }
            PDirClose(d);
            ASSERT_EQ(chown(which.c_str(), 0, 0), 0);
            ASSERT_EQ(chmod(which.c_str(), 0700), 0);
        }
    }
    // A file that another user put there is not read.
    WriteFile(real + "/planted", "x");
    ASSERT_EQ(chown((real + "/planted").c_str(), 4321, 4321), 0);
    std::string why;
    PDir* d = PDirOpenBeneath(root.c_str(), real.c_str(), false, true, &why);
    ASSERT_NE(d, nullptr) << why;
    EXPECT_EQ(PDirOpenRead(d, "planted"), nullptr);
    EXPECT_EQ(errno, EPERM);
    PDirClose(d);
}

TEST_F(PFileTest, DefaultDriveRoot) {
    ScopedEnv drives("OVRT_DRIVES", nullptr);
    ScopedEnv home("HOME", "/home/someone");
    if (geteuid() == 0) {
        EXPECT_EQ(PFileDriveRoot(), "/var/lib/ovretain/drives");
    } else {
        EXPECT_EQ(PFileDriveRoot(), "/home/someone/.local/share/ovretain/drives");
    }
    ScopedEnv empty("OVRT_DRIVES", "");
    EXPECT_NE(PFileDriveRoot(), "") << "an empty OVRT_DRIVES counts as unset";
}

TEST_F(PFileTest, FilesOnADriveLandUnderTheRoot) {
    ScopedEnv drives("OVRT_DRIVES", (dir.Path() + "/").c_str());
    const char* path = "C:\\Orvale\\sub\\f.bin";
    ASSERT_TRUE(PFileMakeParents(path));
    PFile* f = PFileOpen(path, "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(PFileWrite(f, "data", 4));
    ASSERT_TRUE(PFileClose(f));
    EXPECT_EQ(ReadFile(dir.File("C/Orvale/sub/f.bin")), "data");
    EXPECT_TRUE(PFileExists(path));
    ASSERT_TRUE(PFileRename(path, "C:\\Orvale\\g.bin"));
    EXPECT_EQ(ReadFile(dir.File("C/Orvale/g.bin")), "data");
    EXPECT_TRUE(PFileSyncDir("C:\\Orvale\\g.bin"));
    EXPECT_TRUE(PFileRemove("C:\\Orvale\\g.bin"));
    EXPECT_FALSE(FileExists(dir.File("C/Orvale/g.bin")));
}

// Fault injection: call `nth` of the operation fails with the injected errno,
// the calls around it succeed.
TEST_F(PFileTest, InjectedFaultsHitExactlyTheNthCall) {
    std::string path = dir.File("f.bin");
    WriteFile(path, std::string(64, 'x'));
    struct Case {
        PFileOp Op;
        int Error;
        std::function<bool()> Call;
    };
    PFile* w = PFileOpen(dir.File("w.bin").c_str(), "wb");
    PFile* r = PFileOpen(path.c_str(), "rb");
    ASSERT_NE(w, nullptr);
    ASSERT_NE(r, nullptr);
    char buffer[4];
    std::string other = dir.File("other"), linked = dir.File("linked");
    const Case cases[] = {
        {PF_OPEN, EACCES,
         [&] {
             PFile* f = PFileOpen(path.c_str(), "rb");
             return f && PFileClose(f);
         }},
        {PF_READ, EIO, [&] { return PFileRead(r, buffer, 1); }},
        {PF_SEEK, EINVAL, [&] { return PFileSeek(r, 0); }},
        {PF_FLUSH, EIO, [&] { return PFileFlush(r); }},
        {PF_SYNC, EIO, [&] { return PFileSync(r); }},
        {PF_REMOVE, EBUSY,
         [&] {
             WriteFile(other, "o");
             return PFileRemove(other.c_str());
         }},
        {PF_RENAME, EXDEV,
         [&] {
             WriteFile(other, "o");
             return PFileRename(other.c_str(), dir.File("renamed").c_str());
         }},
        {PF_LINK, EPERM,
         [&] {
             PFileRemove(linked.c_str());
             return PFileLink(path.c_str(), linked.c_str());
         }},
        {PF_SYNCDIR, EIO, [&] { return PFileSyncDir(path.c_str()); }},
        {PF_MKDIR, EROFS, [&] { return PFileMakeParents(dir.File("m/n/f").c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(PFileOpName(c.Op));
        PFileInjectFault(c.Op, 2, c.Error);
        EXPECT_TRUE(c.Call());
        errno = 0;
        EXPECT_FALSE(c.Call());
        EXPECT_EQ(errno, c.Error);
        EXPECT_TRUE(c.Call()) << "a fault that is not sticky fires once";
    }
    EXPECT_TRUE(PFileClose(r));
    EXPECT_TRUE(PFileClose(w));
}

TEST_F(PFileTest, InjectedWriteFaultSpoilsTheHandleAndStickyFaultsRepeat) {
    std::string path = dir.File("w.bin");
    PFile* f = PFileOpen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    PFileInjectFault(PF_WRITE, 3, ENOSPC);
    EXPECT_TRUE(PFileWrite(f, "a", 1));
    EXPECT_TRUE(PFileWrite(f, "b", 1));
    EXPECT_FALSE(PFileWrite(f, "c", 1));
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_FALSE(PFileWrite(f, "d", 1)) << "a handle whose write failed stays failed";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(PFileClose(f));
    EXPECT_EQ(errno, ENOSPC);

    PFileInjectFault(PF_OPEN, 1, EMFILE, true);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(PFileOpen(path.c_str(), "rb"), nullptr);
    EXPECT_EQ(errno, EMFILE);
    PFileClearFaults();
    f = PFileOpen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);

    // A failing close still releases the handle and its descriptor.
    PFileInjectFault(PF_CLOSE, 1, EIO);
    errno = 0;
    EXPECT_FALSE(PFileClose(f));
    EXPECT_EQ(errno, EIO);
    EXPECT_STREQ(PFileOpName(PF_SYNCDIR), "syncdir");
    EXPECT_STREQ(PFileOpName(PF_OP_COUNT), "?");
}

// OVRT_FAULT is read once, at the first use, so it is tested in a fresh
// process: this program started again with the variable set and a filter
// that runs only the child's half.
TEST(PFileEnvironmentFault, ArmsFaultsAtFirstUse) {
    if (getenv("OVRT_PFILE_ENV_CHILD")) {
        TempDir dir;
        PFile* f = PFileOpen(dir.File("x").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(PFileWrite(f, "a", 1));
        EXPECT_FALSE(PFileWrite(f, "b", 1));
        EXPECT_EQ(errno, ENOSPC);
        PFileClose(f);
        for (int i = 0; i < 3; ++i) {
            errno = 0;
            EXPECT_FALSE(PFileRename("a", "b"));
            EXPECT_EQ(errno, EXDEV) << "sticky";
        }
        errno = 0;
        EXPECT_FALSE(PFileSyncDir(dir.File("x").c_str()));
        EXPECT_EQ(errno, 5) << "a number is an errno";
        EXPECT_TRUE(PFileSyncDir(dir.File("x").c_str()));
        // A count: calls 2 to 4 fail, the ones around them succeed.
        for (int call = 1; call <= 6; ++call) {
            EXPECT_EQ(PFileMakeParents(dir.File("d/x").c_str()), call < 2 || call > 4) << "mkdir call " << call;
        }
        return;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    ovtest::RunResult r =
        ovtest::Run({self, "--gtest_filter=PFileEnvironmentFault.ArmsFaultsAtFirstUse"},
                    {{"OVRT_PFILE_ENV_CHILD", "1"},
                     {"OVRT_FAULT", "write:2:ENOSPC,rename:1:EXDEV:sticky,bogus,syncdir:1:5,mkdir:2:EIO:3"}});
    EXPECT_EQ(r.Status, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find("[  PASSED  ] 1 test"), std::string::npos) << r.Out;
}

}  // namespace
