// ovnode through the real executable: nodes created, written and read by
// separate processes, the exit statuses and messages of bad input, and reads
// that never create a node space.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "support/test_support.h"

namespace {

using ovtest::Ovnode;
using ovtest::OvnodeGet;
using ovtest::RunResult;
using ovtest::ScopedSpace;

int LineCount(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// The failing run wrote exactly one line, to standard error, and nothing else.
void ExpectOneErrorLine(const RunResult& r, int status, const std::string& mentions) {
    EXPECT_EQ(r.Status, status) << r.Err;
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(LineCount(r.Err), 1) << r.Err;
    EXPECT_NE(r.Err.find(mentions), std::string::npos) << "stderr: " << r.Err;
}

struct NodeCase {
    std::string Name;
    std::vector<std::string> CreateArgs;  // TYPE [SIZE]
    uint16_t Type;
    uint16_t Size;
    std::string Set;
    std::string Get;
};

const std::vector<NodeCase>& Nodes() {
    static const std::vector<NodeCase> nodes = {
        {"PLANT.Flag", {"1"}, 1, 1, "255", "255"},
        {"PLANT.State", {"3"}, 3, 1, "0x7f", "127"},
        {"PLANT.Offset", {"4"}, 4, 2, "-32768", "-32768"},
        {"PLANT.Word", {"5"}, 5, 2, "0xFFFF", "65535"},
        {"PLANT.Delta", {"6"}, 6, 4, "-2147483648", "-2147483648"},
        {"PLANT.Count", {"7", "4"}, 7, 4, "4294967295", "4294967295"},
        {"PLANT.Recipe", {"12"}, 12, 80, "Red, \"bold\" & long", "Red, \"bold\" & long"},
        {"PLANT.Short", {"12", "6"}, 12, 6, "abcde", "abcde"},
        // get's one text form: backslash, controls, DEL, C1 and bytes that
        // are not UTF-8 escaped (a text ends at its first zero byte; zero
        // bytes are PLANT.Raw's).
        {"PLANT.Escaped",
         {"12"},
         12,
         80,
         "t\there \\ \\t \"q\"\n\x01\x1f\x7f\xff\xc2\x85\xe2\x82\xac",
         "t\\there \\\\ \\\\t \"q\"\\n\\x01\\x1f\\x7f\\xff\\u0085\xe2\x82\xac"},
        {"PLANT.Raw", {"13", "5"}, 13, 5, "0A0b", "0a0b000000"},
        {"PLANT.Odd", {"200", "2"}, 200, 2, "ffee", "ffee"},
        {"PLANT.Void", {"2"}, 2, 0, "", ""},
    };
    return nodes;
}

TEST(OvnodeNodesTest, CreateSetGetFromSeparateProcesses) {
    ScopedSpace space;
    for (const NodeCase& n : Nodes()) {
        std::vector<std::string> args{"create", n.Name};
        args.insert(args.end(), n.CreateArgs.begin(), n.CreateArgs.end());
        RunResult r = Ovnode(space.Name(), args);
        ASSERT_EQ(r.Status, 0) << n.Name << ": " << r.Err;
        // A new node reads as zero in its own form.
        std::string zero = OvnodeGet(space.Name(), n.Name);
        const bool numeric = n.Type >= 1 && n.Type <= 7 && n.Type != 2;
        EXPECT_EQ(zero, numeric ? "0" : n.Type == 12 ? "" : std::string(2u * n.Size, '0')) << n.Name;
    }
    for (const NodeCase& n : Nodes()) {
        RunResult r = Ovnode(space.Name(), {"set", n.Name, n.Set});
        ASSERT_EQ(r.Status, 0) << n.Name << ": " << r.Err;
    }
    for (const NodeCase& n : Nodes()) {
        RunResult r = Ovnode(space.Name(), {"get", n.Name});
        ASSERT_EQ(r.Status, 0) << n.Name << ": " << r.Err;
        EXPECT_EQ(r.Out, n.Get + "\n") << n.Name;
    }

    // What get prints, set --escaped writes back byte for byte, for every
    // type: into a twin of each node, compared through the library below.
    for (const NodeCase& n : Nodes()) {
        std::vector<std::string> args{"create", "COPY." + n.Name};
        args.insert(args.end(), n.CreateArgs.begin(), n.CreateArgs.end());
        ASSERT_EQ(Ovnode(space.Name(), args).Status, 0) << n.Name;
        RunResult r = Ovnode(space.Name(), {"set", "--escaped", "COPY." + n.Name, "--", n.Get});
        ASSERT_EQ(r.Status, 0) << n.Name << ": " << r.Err;
    }
    // Several names: NAME, TAB, value on each line; a missing one is named
    // on stderr, the others still printed, status 1. --json: list's objects.
    RunResult several = Ovnode(space.Name(), {"get", "PLANT.Flag", "PLANT.Missing", "PLANT.Escaped"});
    EXPECT_EQ(several.Status, 1);
    EXPECT_EQ(several.Out, "PLANT.Flag\t255\nPLANT.Escaped\t" + Nodes()[8].Get + "\n");
    EXPECT_EQ(several.Err, "ovnode: unknown node PLANT.Missing\n");
    several = Ovnode(space.Name(), {"get", "--json", "PLANT.Missing", "PLANT.Recipe", "PLANT.Count"});
    EXPECT_EQ(several.Status, 1);
    const std::string list = Ovnode(space.Name(), {"list", "--json"}).Out;
    const size_t recipe = list.find("\n {\"index\": 7,"), counter = list.find("\n {\"index\": 6,");
    ASSERT_NE(recipe, std::string::npos);
    ASSERT_NE(counter, std::string::npos);
    EXPECT_EQ(several.Out, "[" + list.substr(recipe, list.find('}', recipe) + 1 - recipe) + "," +
                               list.substr(counter, list.find('}', counter) + 1 - counter) + "\n]\n");

    // The library sees what the tool made.
    std::string error;
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), false, &error)) << error;
    for (const NodeCase& n : Nodes()) {
        uint16_t type = 0, size = 0;
        ASSERT_EQ(NodeGetAttribute(n.Name.c_str(), "Type", &type, 2), 0) << n.Name;
        ASSERT_EQ(NodeGetAttribute(n.Name.c_str(), "Size", &size, 2), 0) << n.Name;
        EXPECT_EQ(type, n.Type) << n.Name;
        EXPECT_EQ(size, n.Size) << n.Name;
        std::vector<uint8_t> value(size), copy(size);
        if (size) NodeReadByName(n.Name.c_str(), value.data(), size);
        if (size) NodeReadByName(("COPY." + n.Name).c_str(), copy.data(), size);
        EXPECT_EQ(copy, value) << n.Name << " after get, then set --escaped";
    }
    uint32_t count = 0;
    NodeReadByName("PLANT.Count", &count, 4);
    EXPECT_EQ(count, 0xFFFFFFFFu);
    int16_t offset = 0;
    NodeReadByName("PLANT.Offset", &offset, 2);
    EXPECT_EQ(offset, -32768);

    // And the tool sees what the library writes.
    const uint32_t written = 123456;
    ASSERT_EQ(NodeWriteByName("PLANT.Count", &written, 4), 0);
    ASSERT_EQ(NodeWriteStringByName("PLANT.Recipe", "Blue"), 0);
    NodeSpaceDetach();
    EXPECT_EQ(OvnodeGet(space.Name(), "PLANT.Count"), "123456");
    EXPECT_EQ(OvnodeGet(space.Name(), "PLANT.Recipe"), "Blue");
}

TEST(OvnodeNodesTest, ListShowsTableOrderAsTableAndJson) {
    ScopedSpace space;
    const std::string s = space.Name();
    ASSERT_EQ(Ovnode(s, {"create", "Z.Last", "7"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"create", "A.Text", "12", "10"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"create", "M.Bytes", "13", "2"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"set", "Z.Last", "42"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"set", "A.Text", "say \"hi\""}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"set", "M.Bytes", "beef"}).Status, 0);

    RunResult table = Ovnode(s, {"list"});
    ASSERT_EQ(table.Status, 0) << table.Err;
    EXPECT_EQ(table.Out,
              "INDEX  NAME     TYPE  SIZE  VALUE\n"
              "    1  Z.Last      7     4  42\n"
              "    2  A.Text     12    10  say \"hi\"\n"
              "    3  M.Bytes    13     2  beef\n");

    RunResult json = Ovnode(s, {"list", "--json"});
    ASSERT_EQ(json.Status, 0) << json.Err;
    EXPECT_EQ(json.Out,
              "[\n"
              " {\"index\": 1, \"name\": \"Z.Last\", \"type\": 7, \"size\": 4, \"value\": 42},\n"
              " {\"index\": 2, \"name\": \"A.Text\", \"type\": 12, \"size\": 10, \"value\": \"say \\\"hi\\\"\"},\n"
              " {\"index\": 3, \"name\": \"M.Bytes\", \"type\": 13, \"size\": 2, \"value\": \"beef\"}\n"
              "]\n");

    // --prefix in every form; --names is what completion reads.
    EXPECT_EQ(Ovnode(s, {"list", "--prefix", "A."}).Out,
              "INDEX  NAME    TYPE  SIZE  VALUE\n"
              "    2  A.Text    12    10  say \"hi\"\n");
    EXPECT_EQ(Ovnode(s, {"list", "--prefix=M", "--json"}).Out,
              "[\n {\"index\": 3, \"name\": \"M.Bytes\", \"type\": 13, \"size\": 2, \"value\": \"beef\"}\n]\n");
    EXPECT_EQ(Ovnode(s, {"list", "--names"}).Out, "Z.Last\nA.Text\nM.Bytes\n");
    EXPECT_EQ(Ovnode(s, {"list", "--names", "--prefix", "Z"}).Out, "Z.Last\n");
    EXPECT_EQ(Ovnode(s, {"list", "--names", "--prefix", "Q"}).Out, "");
    EXPECT_EQ(Ovnode(s, {"list", "--prefix", std::string(300, 'Z')}).Out, "INDEX  NAME  TYPE  SIZE  VALUE\n");
}

TEST(OvnodeNodesTest, EmptyNodeSpaceListsNothing) {
    ScopedSpace space;
    std::string error;
    ASSERT_TRUE(NodeSpaceAttach(space.Name(), true, &error)) << error;
    NodeSpaceDetach();
    EXPECT_EQ(Ovnode(space.Name(), {"list", "--json"}).Out, "[]\n");
    EXPECT_EQ(Ovnode(space.Name(), {"list"}).Out, "INDEX  NAME  TYPE  SIZE  VALUE\n");
}

TEST(OvnodeNodesTest, BadInputFailsWithOneLineAndChangesNothing) {
    ScopedSpace space;
    const std::string s = space.Name();
    ASSERT_EQ(Ovnode(s, {"create", "N.Byte", "1"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"create", "N.Short", "4"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"create", "N.Text", "12", "4"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"create", "N.Raw", "13", "2"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"set", "N.Byte", "7"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"set", "N.Short", "-7"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"set", "N.Text", "abc"}).Status, 0);
    ASSERT_EQ(Ovnode(s, {"set", "N.Raw", "0102"}).Status, 0);
    const std::string before = Ovnode(s, {"list"}).Out;

    struct Bad {
        std::vector<std::string> Args;
        int Status;
        std::string Mentions;
    };
    const std::string tooLong(562, 'x');
    const std::vector<Bad> cases = {
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{}, 2, "no command"},
        {{"get"}, 2, "missing arguments"},
        {{"set", "N.Text", "--escaped", "a\\q"}, 2, "escape at byte 2"},
        {{"save", "--json"}, 2, "needs --wait"},
        {{"list", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"list", "--names", "--json"}, 2, "exclude each other"},
        {{"get", "N.Byte", "--prefix", "N"}, 2, "--prefix does not apply to get"},
        {{"set", "N.Byte", "1", "--json"}, 2, "--json"},
        {{"service", "pause", "--wait"}, 2, "run and stop only"},
        {{"set", "N.Byte", "256"}, 2, "out of range"},
        {{"set", "N.Byte", "-1"}, 2, "out of range"},
        {{"set", "N.Byte", "seven"}, 2, "'seven'"},
        {{"set", "N.Short", "32768"}, 2, "-32768 to 32767"},
        {{"set", "N.Short", "0x10000"}, 2, "out of range"},
        {{"set", "N.Text", "abcd"}, 2, "too long"},
        {{"set", "N.Raw", "010203"}, 2, "too long"},
        {{"set", "N.Raw", "012"}, 2, "odd"},
        {{"create", "N.New", "13"}, 2, "needs a size"},
        {{"create", "N.New", "999"}, 2, "needs a size"},
        {{"create", "N.New", "7", "2"}, 2, "size 4"},
        {{"create", "N.New", "65536"}, 2, "type code"},
        {{"create", tooLong, "7"}, 2, "too long"},
        {{"get", tooLong}, 2, "too long"},
        {{"set", tooLong, "1"}, 2, "too long"},
        {{"service", "restart"}, 2, "restart"},
        {{"notify", "nine"}, 2, "'nine'"},
        {{"create", "N.Byte", "1"}, 1, "exists"},
        {{"get", "N.Missing"}, 1, "unknown node N.Missing"},
        {{"set", "N.Missing", "1"}, 1, "unknown node N.Missing"},
        {{"load-layout", "/nonexistent/layout.csv"}, 1, "/nonexistent/layout.csv"},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.Args.empty() ? std::string("(no arguments)")
                                    : c.Args.front() + " " + (c.Args.size() > 1 ? c.Args[1].substr(0, 20) : ""));
        ExpectOneErrorLine(Ovnode(s, c.Args), c.Status, c.Mentions);
    }
    EXPECT_EQ(Ovnode(s, {"list"}).Out, before);
}

TEST(OvnodeNodesTest, LongestNameAndOptionsAnywhere) {
    ScopedSpace space;
    const std::string name(561, 'n');
    RunResult r = ovtest::Run({OVNODE_BIN, "create", name, "--space", space.Name(), "7"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    r = ovtest::Run({OVNODE_BIN, "set", name, "--space=" + space.Name(), "9"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    // The environment names the node space when --space is absent.
    r = ovtest::Run({OVNODE_BIN, "get", name}, {{"OVNODE_SPACE", space.Name()}});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "9\n");
    // Negative numbers are values, and "--" lets a text start with a dash.
    ASSERT_EQ(Ovnode(space.Name(), {"create", "T.Signed", "6"}).Status, 0);
    ASSERT_EQ(Ovnode(space.Name(), {"set", "T.Signed", "-5"}).Status, 0);
    EXPECT_EQ(OvnodeGet(space.Name(), "T.Signed"), "-5");
    ASSERT_EQ(Ovnode(space.Name(), {"create", "T.Text", "12"}).Status, 0);
    ASSERT_EQ(Ovnode(space.Name(), {"set", "T.Text", "--", "--dash"}).Status, 0);
    EXPECT_EQ(OvnodeGet(space.Name(), "T.Text"), "--dash");
}

TEST(OvnodeNodesTest, ReadsOfAMissingNodeSpaceFailWithoutCreatingIt) {
    ScopedSpace space;
    const std::vector<std::vector<std::string>> reads = {
        {"get", "X"}, {"list"}, {"list", "--json"}, {"catalog"}, {"set", "X", "1"}};
    for (const auto& args : reads) {
        SCOPED_TRACE(args.front());
        ExpectOneErrorLine(Ovnode(space.Name(), args), 1, "does not exist");
        EXPECT_FALSE(NodeSpaceExists(space.Name()));
    }
    // A write that can succeed brings the node space into being.
    ASSERT_EQ(Ovnode(space.Name(), {"create", "X", "1"}).Status, 0);
    EXPECT_TRUE(NodeSpaceExists(space.Name()));
}

TEST(OvnodeNodesTest, DestroyRemovesTheNodeSpace) {
    ScopedSpace space;
    ASSERT_EQ(Ovnode(space.Name(), {"create", "D.Node", "7"}).Status, 0);
    ASSERT_TRUE(NodeSpaceExists(space.Name()));
    RunResult r = Ovnode(space.Name(), {"destroy"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_FALSE(NodeSpaceExists(space.Name()));
    ExpectOneErrorLine(Ovnode(space.Name(), {"get", "D.Node"}), 1, "does not exist");
    ExpectOneErrorLine(Ovnode(space.Name(), {"destroy"}), 1, "does not exist");
}

TEST(OvnodeNodesTest, HelpForTheToolAndEachCommand) {
    RunResult r = ovtest::Run({OVNODE_BIN, "--help"});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out.rfind("usage: ovnode", 0), 0u) << r.Out;
    for (const char* cmd : {"create", "set", "get", "list", "load-layout", "service", "notify", "catalog", "destroy"}) {
        r = ovtest::Run({OVNODE_BIN, cmd, "--help"});
        EXPECT_EQ(r.Status, 0) << cmd;
        EXPECT_EQ(r.Out.rfind(std::string("usage: ovnode ") + cmd, 0), 0u) << r.Out;
        EXPECT_EQ(r.Err, "");
    }
}

}  // namespace
