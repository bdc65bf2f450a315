// `ovnode load-layout` through the real executable: nodes created and kept,
// values set only on new nodes, and bad files that change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "nodespace/nodespace_admin.h"
#include "support/test_support.h"

namespace {

using ovtest::Ovnode;
using ovtest::OvnodeGet;
using ovtest::RunResult;
using ovtest::ScopedSpace;
using ovtest::TempDir;

TEST(OvnodeLayoutTest, CreatesMissingNodesAndKeepsExistingOnes) {
    ScopedSpace space;
    TempDir dir;
    const std::string s = space.Name();
    const std::string first = dir.File("first.csv");
    ovtest::WriteFile(first,
                      "name,type,size,value\r\n"
                      "L.Count,7,,42\r\n"
                      "L.Recipe,12,,\"Dough, \"\"wheat\"\"\nsecond line\"\r\n"
                      "L.Raw,13,4,a1b2\r\n"
                      "L.Flag,1,,\r\n");
    RunResult r = Ovnode(s, {"load-layout", first});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "created 4, kept 0\n");
    EXPECT_EQ(OvnodeGet(s, "L.Count"), "42");
    EXPECT_EQ(OvnodeGet(s, "L.Recipe"), "Dough, \"wheat\"\\nsecond line") << "shown escaped";
    EXPECT_NE(Ovnode(s, {"get", "L.Recipe", "--json"}).Out.find("\"Dough, \\\"wheat\\\"\\nsecond line\""),
              std::string::npos);
    EXPECT_EQ(OvnodeGet(s, "L.Raw"), "a1b20000");
    EXPECT_EQ(OvnodeGet(s, "L.Flag"), "0");

    // A second file: nodes that exist keep their value (and their type), even
    // where the file says otherwise; only the new node is created and set.
    ASSERT_EQ(Ovnode(s, {"set", "L.Count", "7"}).Status, 0);
    const std::string second = dir.File("second.csv");
    ovtest::WriteFile(second,
                      "name,type,size,value\n"
                      "L.Count,7,,100\n"
                      "L.Recipe,12,20,Other\n"
                      "L.Flag,5,,9\n"
                      "L.New,4,,-12\n");
    r = Ovnode(s, {"load-layout", second});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "created 1, kept 3\n");
    EXPECT_EQ(OvnodeGet(s, "L.Count"), "7");
    EXPECT_EQ(OvnodeGet(s, "L.Recipe"), "Dough, \"wheat\"\\nsecond line");
    EXPECT_EQ(OvnodeGet(s, "L.New"), "-12");
    RunResult list = Ovnode(s, {"list", "--json"});
    EXPECT_NE(list.Out.find("\"name\": \"L.Flag\", \"type\": 1, \"size\": 1, \"value\": 0}"), std::string::npos)
        << list.Out;

    // Loading the same file again changes nothing.
    r = Ovnode(s, {"load-layout", second, "--json"});
    EXPECT_EQ(r.Out, "{\"created\": 0, \"kept\": 4}\n");
}

TEST(OvnodeLayoutTest, BadFileNamesTheLineAndCreatesNothing) {
    TempDir dir;
    struct Bad {
        std::string Text;
        std::string Mentions;
    };
    const std::vector<Bad> cases = {
        {"name,type,size,value\nB.One,7,,1\nB.Two,7,,4294967296\n", "line 3"},
        {"name,type,size,value\nB.One,7,,1\nB.Two,7\n", "line 3"},
        {"name,type,size,value\nB.One,7,,1\n\"B.Two,7,,\n", "line 3"},
        {"name,type,size,value\nB.One,7,,1\n\nB.Two,13,,\n", "line 4"},
        {"name,type,value\nB.One,7,1\n", "line 1"},
        {"name,type,size,value\nB.One,1,,1\nB.One,1,,2\n", "line 3"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].Text);
        const std::string file = dir.File("bad" + std::to_string(i) + ".csv");
        ovtest::WriteFile(file, cases[i].Text);

        // On a node space that exists: none of the file's nodes appears.
        ScopedSpace space;
        ASSERT_EQ(Ovnode(space.Name(), {"create", "Keep.Me", "7"}).Status, 0);
        RunResult r = Ovnode(space.Name(), {"load-layout", file});
        EXPECT_EQ(r.Status, 1);
        EXPECT_EQ(r.Out, "");
        EXPECT_NE(r.Err.find(cases[i].Mentions + ":"), std::string::npos) << r.Err;
        EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
        RunResult list = Ovnode(space.Name(), {"list"});
        EXPECT_EQ(list.Out.find("B.One"), std::string::npos) << list.Out;

        // On one that does not: it is not even created.
        ScopedSpace fresh;
        EXPECT_EQ(Ovnode(fresh.Name(), {"load-layout", file}).Status, 1);
        EXPECT_FALSE(NodeSpaceExists(fresh.Name()));
    }
}

TEST(OvnodeLayoutTest, ExamplePlantLayoutLoads) {
    ScopedSpace space;
    const std::string file = std::string(OVRT_SOURCE_DIR) + "/examples/plant_layout.csv";
    ASSERT_TRUE(ovtest::FileExists(file)) << file;
    RunResult r = Ovnode(space.Name(), {"load-layout", file});
    ASSERT_EQ(r.Status, 0) << r.Err;
    // Every record below the header becomes one node.
    std::string text = ovtest::ReadFile(file);
    size_t records = std::count(text.begin(), text.end(), '\n') - 1;
    EXPECT_EQ(r.Out, "created " + std::to_string(records) + ", kept 0\n");
    RunResult json = Ovnode(space.Name(), {"list", "--json"});
    ASSERT_EQ(json.Status, 0);
    EXPECT_NE(json.Out.find("\"index\": " + std::to_string(records) + ","), std::string::npos);
}

// A node space made with a capacity of its own keeps it: a layout of more
// nodes is refused before anything is made, a creation past it says why,
// and progress lines come on request.
TEST(OvnodeLayoutTest, TheCapacityChosenAtCreationBoundsTheLayout) {
    ScopedSpace space;
    TempDir dir;
    const std::string s = space.Name();
    std::string text = "name,type,size,value\n";
    for (int i = 1; i <= 65; ++i) text += "C.N" + std::to_string(i) + ",7,," + std::to_string(i) + "\n";
    ovtest::WriteFile(dir.File("65.csv"), text);
    ovtest::WriteFile(dir.File("64.csv"), text.substr(0, text.find("C.N65")));

    RunResult r = Ovnode(s, {"load-layout", dir.File("65.csv"), "--capacity", "64"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("line 66: more nodes than the node space holds (64, "), std::string::npos) << r.Err;
    EXPECT_FALSE(NodeSpaceExists(s));
    r = ovtest::Run({OVNODE_BIN, "--space", s, "load-layout", dir.File("64.csv")}, {{"OVNODE_CAPACITY", "64"}});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "created 64, kept 0\n");
    EXPECT_EQ(OvnodeGet(s, "C.N64"), "64");

    r = Ovnode(s, {"create", "C.More", "7"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("the node space is full: it holds 64 nodes"), std::string::npos) << r.Err;
    r = Ovnode(s, {"load-layout", dir.File("64.csv"), "--capacity", "100"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("exists with a capacity of 64 nodes"), std::string::npos) << r.Err;
    r = Ovnode(s, {"load-layout", dir.File("64.csv"), "--progress"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "created 0, kept 64\n");
    EXPECT_NE(r.Err.find("load-layout: checked 64 nodes in "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("load-layout: created 0 nodes in "), std::string::npos) << r.Err;
}

// Inputs that are no layout file, and names that would drive a terminal, are
// refused with a message that says why; messages show names escaped.
TEST(OvnodeLayoutTest, OddInputsAndControlBytesAreRefused) {
    ScopedSpace space;
    ovtest::TempDir dir;
    auto r = ovtest::Ovnode(space.Name(), {"load-layout", dir.Path()});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("is a directory, not a file"), std::string::npos) << r.Err;
    r = ovtest::Ovnode(space.Name(), {"load-layout", "/dev/zero"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("is not a regular file"), std::string::npos) << r.Err;
    r = ovtest::Ovnode(space.Name(), {"create", "Bad\x1b[2JName", "7"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Err.find('\x1b'), std::string::npos) << "shown escaped";
    EXPECT_NE(r.Err.find("control byte 0x1b at byte 4"), std::string::npos) << r.Err;
    ovtest::WriteFile(dir.File("l.csv"), "name,type,size,value\nGood,7,,\nBad\x07,7,,\n");
    r = ovtest::Ovnode(space.Name(), {"load-layout", dir.File("l.csv")});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("line 3: node name contains the control byte 0x07"), std::string::npos) << r.Err;
}

}  // namespace
