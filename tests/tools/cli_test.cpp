// Parsing of the ovnode command line.
#include "ovnode/cli.h"

#include <gtest/gtest.h>

#include <sstream>

namespace ovnode {
namespace {

using Args = std::vector<std::string>;

TEST(CliTest, AcceptedLines) {
    struct Case {
        Args Line;
        std::string Env;
        std::string Command;
        Args Positional;
        std::string Space;
        bool Json;
        std::string To;
    };
    const Case cases[] = {
        {{"get", "A"}, "", "get", {"A"}, "ovnodespace", false, "OvRetain"},
        {{"get", "A"}, "fromenv", "get", {"A"}, "fromenv", false, "OvRetain"},
        {{"--space", "s1", "get", "A"}, "fromenv", "get", {"A"}, "s1", false, "OvRetain"},
        {{"get", "A", "--space", "s1"}, "", "get", {"A"}, "s1", false, "OvRetain"},
        {{"set", "--space=s2", "A", "-5"}, "", "set", {"A", "-5"}, "s2", false, "OvRetain"},
        {{"set", "A", "--", "--x"}, "", "set", {"A", "--x"}, "ovnodespace", false, "OvRetain"},
        {{"set", "A", "-"}, "", "set", {"A", "-"}, "ovnodespace", false, "OvRetain"},
        {{"list", "--json"}, "", "list", {}, "ovnodespace", true, "OvRetain"},
        {{"get", "A", "--json"}, "", "get", {"A"}, "ovnodespace", true, "OvRetain"},
        {{"catalog", "--json"}, "", "catalog", {}, "ovnodespace", true, "OvRetain"},
        {{"create", "A", "13", "8"}, "", "create", {"A", "13", "8"}, "ovnodespace", false, "OvRetain"},
        {{"service", "stop", "--to", "Other"}, "", "service", {"stop"}, "ovnodespace", false, "Other"},
        {{"notify", "--to=P", "8"}, "", "notify", {"8"}, "ovnodespace", false, "P"},
    };
    for (const Case& c : cases) {
        Invocation inv;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(c.Line, c.Env, &inv, &error)) << c.Line[0] << ": " << error;
        EXPECT_EQ(inv.Command, c.Command);
        EXPECT_EQ(inv.Args, c.Positional) << c.Line[0];
        EXPECT_EQ(inv.Space, c.Space);
        EXPECT_EQ(inv.Json, c.Json);
        EXPECT_EQ(inv.To, c.To);
        EXPECT_FALSE(inv.Help);
    }
}

TEST(CliTest, RefusedLines) {
    const std::pair<Args, std::string> cases[] = {
        {{}, "no command"},
        {{"bogus"}, "unknown command 'bogus'"},
        {{"get"}, "missing arguments"},
        {{"load", "--json"}, "option --json needs --wait"},
        {{"get", "A", "--escaped"}, "--escaped does not apply to get"},
        {{"create", "A"}, "missing arguments"},
        {{"create", "A", "1", "1", "1"}, "too many"},
        {{"set", "A", "1", "--json"}, "--json does not apply to set"},
        {{"list", "--wait"}, "--wait does not apply to list"},
        {{"save", "--timeout", "5"}, "--timeout needs --wait"},
        {{"save", "--wait", "--timeout", "0"}, "--timeout takes seconds"},
        {{"save", "--wait", "--timeout", "5s"}, "--timeout takes seconds"},
        {{"save", "--wait", "--timeout"}, "--timeout needs a value"},
        {{"status", "--check"}, "--check does not apply to status"},
        {{"set", "A", "1", "--to", "X"}, "--to does not apply to set"},
        {{"get", "A", "--space"}, "--space needs a value"},
        {{"get", "A", "--space", "bad/name"}, "invalid node space name"},
        {{"get", "A", "--space="}, "invalid node space name"},
        {{"get", "A", "-x"}, "unknown option '-x'"},
        {{"service", "--to=", "run"}, "--to needs a process name"},
        {{"get", "A", "--layout", "r"}, "--layout does not apply to get"},
        {{"retain-restore", "f", "--layout"}, "--layout needs a layout record's path"},
        {{"create", "A", "7", "--capacity", "63"}, "--capacity takes a number of nodes from 64 to 16777216"},
        {{"load-layout", "f", "--capacity=16777217"}, "--capacity takes a number"},
        {{"load-layout", "f", "--capacity", "1e6"}, "--capacity takes a number"},
        {{"list", "--capacity", "100"}, "--capacity does not apply to list"},
        {{"create", "A", "7", "--progress"}, "--progress does not apply to create"},
    };
    for (const auto& [line, message] : cases) {
        Invocation inv;
        std::string error;
        EXPECT_FALSE(ParseCommandLine(line, "", &inv, &error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << "expected '" << message << "' in: " << error;
    }
}

TEST(CliTest, WaitTimeoutAndCheck) {
    Invocation inv;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"save", "--wait", "--timeout", "2.5"}, "", &inv, &error)) << error;
    EXPECT_TRUE(inv.Wait);
    EXPECT_EQ(inv.Timeout, 2.5);
    ASSERT_TRUE(ParseCommandLine({"service", "stop", "--wait"}, "", &inv, &error)) << error;
    EXPECT_TRUE(inv.Wait);
    EXPECT_EQ(inv.Timeout, 60);
    ASSERT_TRUE(ParseCommandLine({"retain-dump", "--check", "f"}, "", &inv, &error)) << error;
    EXPECT_TRUE(inv.Check);
    EXPECT_FALSE(inv.Wait);
    ASSERT_TRUE(ParseCommandLine({"retain-diff", "a", "--layout", "r1", "b", "--layout=r2"}, "", &inv, &error))
        << error;
    EXPECT_EQ(inv.Layouts, (std::vector<std::string>{"r1", "r2"}));
    EXPECT_EQ(inv.Args, (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(ParseCommandLine({"load-layout", "f", "--capacity=16777216", "--progress"}, "", &inv, &error)) << error;
    EXPECT_EQ(inv.Capacity, 16777216u);
    EXPECT_TRUE(inv.Progress);
}

TEST(CliTest, HelpNeedsNoArguments) {
    Invocation inv;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--help"}, "", &inv, &error)) << error;
    EXPECT_TRUE(inv.Help);
    EXPECT_EQ(inv.Command, "");
    ASSERT_TRUE(ParseCommandLine({"create", "-h"}, "", &inv, &error)) << error;
    EXPECT_TRUE(inv.Help);
    EXPECT_EQ(inv.Command, "create");
    EXPECT_NE(HelpText("create").find("usage: ovnode create"), std::string::npos);
    EXPECT_EQ(HelpText("nonsense"), "");
}

TEST(CliTest, VersionIsOneLineWithTheProgramItsNumberAndTheBuild) {
    std::ostringstream out, err;
    EXPECT_EQ(RunOvnode({"--version"}, out, err), kExitOk);
    EXPECT_TRUE(testing::internal::RE::FullMatch(
        out.str(), testing::internal::RE("ovnode [0-9]+\\.[0-9]+\\.[0-9]+ \\([^ ]+\\)\n")))
        << out.str();
    EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace ovnode
