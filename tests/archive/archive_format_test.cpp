// What the archive reads that others wrote: the store's list and error
// answers, set names and manifests from the bucket, and its configuration
// file with its permissions. The requests themselves are tested against a
// real gateway (archive_e2e.sh).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "archive/archive_config.h"
#include "archive/archive_sets.h"
#include "archive/s3_client.h"

namespace {

TEST(S3Answers, ListPagesAndErrors) {
    const std::string page =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">"
        "<Name>b</Name><IsTruncated>true</IsTruncated><NextContinuationToken>1ueGcxLPRx1Tr/XYExHnhbYLgveDs2J/"
        "wm36Hy4vbOwM=</NextContinuationToken><Contents><Key>p/a&amp;b</Key><LastModified>2026-12-08T06:17:25.652Z"
        "</LastModified><Size>6</Size></Contents><Contents><Key>p/c</Key><Size>4000116</Size></Contents>"
        "</ListBucketResult>";
    std::vector<S3Object> objects;
    bool truncated = false;
    std::string next;
    ASSERT_TRUE(ParseS3ListAnswer(page, &objects, &truncated, &next));
    EXPECT_TRUE(truncated);
    EXPECT_EQ(next, "1ueGcxLPRx1Tr/XYExHnhbYLgveDs2J/wm36Hy4vbOwM=");
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0].Key, "p/a&b");
    EXPECT_EQ(objects[0].Size, 6u);
    EXPECT_EQ(S3TimeSeconds(objects[0].LastModified), 1796710645);
    EXPECT_EQ(objects[1].Size, 4000116u);

    // A page that says more follow but gives no token would loop for ever.
    objects.clear();
    EXPECT_FALSE(ParseS3ListAnswer("<ListBucketResult><IsTruncated>true</IsTruncated></ListBucketResult>", &objects,
                                   &truncated, &next));
    const std::string error = "<?xml version=\"1.0\"?><Error><Code>NoSuchBucket</Code><Message/></Error>";
    EXPECT_FALSE(ParseS3ListAnswer(error, &objects, &truncated, &next));
    EXPECT_FALSE(ParseS3ListAnswer("<ListBucketResult><Contents>", &objects, &truncated, &next));
    EXPECT_EQ(ParseS3ErrorCode(error), "NoSuchBucket");
    EXPECT_EQ(ParseS3ErrorCode("<html>Bad Gateway</html>"), "");
    EXPECT_EQ(ParseS3ErrorCode(""), "");
}

TEST(ArchiveSets, NamesAndManifests) {
    const std::string md5(32, 'a');
    const std::string name = ArchiveSetName(1796710645, 0xde418adb, 0x74949140, md5);
    EXPECT_EQ(name, "20261208T061725Z.de418adb.74949140." + md5);
    ArchiveSet set;
    ASSERT_TRUE(ParseArchiveSetName(name, &set));
    EXPECT_EQ(set.Time, 1796710645);
    EXPECT_EQ(set.Hash, 0xde418adbu);
    EXPECT_EQ(set.LayoutId, 0x74949140u);
    EXPECT_EQ(set.Md5, md5);
    for (const std::string& bad : {name.substr(1), "20261208T061725Z.de418adb.74949140." + std::string(32, 'G'),
                                   "2026120xT061725Z.de418adb.74949140." + md5, name + "x"})
        EXPECT_FALSE(ParseArchiveSetName(bad, &set)) << bad;

    SetManifest m;
    m.Time = 1796710645;
    m.Md5 = md5;
    m.Entry = CheckEntry{4000116, 0x01020304, 0xde418adb, 0x74949140};
    const std::string text = EncodeSetManifest(m);
    SetManifest back;
    ASSERT_TRUE(DecodeSetManifest(text, &back));
    EXPECT_EQ(back.Entry.Length, 4000116u);
    EXPECT_EQ(back.Entry.Crc, 0x01020304u);
    EXPECT_EQ(back.Entry.LayoutId, 0x74949140u);
    // Each line is needed; an unknown one is not skipped.
    EXPECT_FALSE(DecodeSetManifest(text.substr(0, text.rfind("layout")), &back));
    EXPECT_FALSE(DecodeSetManifest(text + "extra 1\n", &back));
}

class ArchiveConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ovrt-archive-conf-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        secret_ = dir_ + "/secret";
        Write(secret_, "s3cr3t-value\n", 0600);
    }
    void TearDown() override {
        unlink((dir_ + "/conf").c_str());
        unlink(secret_.c_str());
        rmdir(dir_.c_str());
    }
    void Write(const std::string& path, const std::string& text, mode_t mode) {
        std::ofstream(path) << text;
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    // The configuration read, or the reason it was refused.
    std::string Read(const std::string& lines, mode_t mode = 0600, ArchiveConfig* config = nullptr) {
        Write(dir_ + "/conf",
              "endpoint = http://127.0.0.1:7480/\nbucket = b\naccess_key = k\nsecret_key_file = " + secret_ + "\n" +
                  lines,
              mode);
        ArchiveConfig local;
        std::string why;
        return ReadArchiveConfig(dir_ + "/conf", config ? config : &local, &why) ? "ok" : why;
    }
    std::string dir_, secret_;
};

TEST_F(ArchiveConfigTest, ReadsKeysAndRefusesWhatOthersMayRead) {
    ArchiveConfig c;
    ASSERT_EQ(Read("# a comment\n\nkeep = 3   # trailing comment\njournal_period=60\nspace = line7\n", 0600, &c), "ok");
    EXPECT_EQ(c.Endpoint, "http://127.0.0.1:7480");
    EXPECT_EQ(c.Secret, "s3cr3t-value");
    EXPECT_EQ(c.Keep, 3u);
    EXPECT_EQ(c.JournalPeriod, 60u);
    EXPECT_EQ(c.Region, "us-east-1");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(c.Prefix, std::string(host) + "/line7/");

    EXPECT_EQ(Read("", 0640), "ok");  // the group is root's
    EXPECT_NE(Read("", 0644).find("may be read by others"), std::string::npos);
    Write(secret_, "s3cr3t-value\n", 0604);
    const std::string why = Read("");
    EXPECT_NE(why.find(secret_ + " may be read by others"), std::string::npos) << why;
    EXPECT_EQ(why.find("s3cr3t-value"), std::string::npos) << why;
    Write(secret_, "s3cr3t-value\n", 0600);

    for (const char* bad : {"keep = 0\n", "keep = 12x\n", "journal_period = 0\n", "colour = blue\n", "no equals\n",
                            "prefix = /abs/\n", "prefix = noslash\n", "endpoint = ftp://x\n"})
        EXPECT_NE(Read(bad), "ok") << bad;
}

}  // namespace
