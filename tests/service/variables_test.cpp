// Publication of the service's variables into a node space of its own, node
// naming, type sizes and the accessors.
#include "variables/variables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "support/test_support.h"

namespace {

std::string Full(const std::string& name) {
    return "SERVICE.OvRetain." + name;
}

class Variables : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(NodeSpaceAttach(space_.Name(), true, &error)) << error;
        ResetVariablesForTest();
    }
    void TearDown() override {
        ResetVariablesForTest();
        NodeSpaceDetach();
    }

    static bool Exists(const std::string& name) { return NodeSpaceFind(name.c_str()) != 0; }
    static uint16_t Type(const std::string& name) {
        uint16_t type = 0;
        NodeGetAttribute(name.c_str(), "Type", &type, 2);
        return type;
    }
    static uint16_t Size(const std::string& name) {
        uint16_t size = 0;
        NodeGetAttribute(name.c_str(), "Size", &size, 2);
        return size;
    }
    // The value's bytes; the bytes past the node's size stay 0xEE.
    static std::vector<uint8_t> Bytes(const std::string& name, size_t n = 4) {
        std::vector<uint8_t> out(n, 0xEE);
        NodeReadByName(name.c_str(), out.data(), static_cast<uint16_t>(n));
        return out;
    }
    static uint32_t U32(const std::string& name) {
        uint32_t v = 0;
        NodeReadByName(name.c_str(), &v, 4);
        return v;
    }
    static std::string Text(const std::string& name) {
        char buffer[128] = {};
        NodeReadStringByName(name.c_str(), buffer, sizeof buffer);
        return buffer;
    }
    static void Make(const std::string& name, uint16_t type, uint32_t value) {
        ASSERT_EQ(NodeCreate(name.c_str(), type, 4, "", ""), 0) << name;
        ASSERT_EQ(NodeWriteByName(name.c_str(), &value, 4), 0) << name;
    }

    ovtest::ScopedSpace space_;
};

TEST_F(Variables, FirstPublicationCreatesEveryRowWithItsDefault) {
    PublishConfiguration();
    PublishStatus();
    PublishTable(TriggerTable);

    struct Row {
        const char* Name;
        uint16_t Type;
        uint16_t Size;
        std::vector<uint8_t> Bytes;  // first four bytes read back
        uint32_t Index;
    };
    const Row rows[] = {
        {"Priority", 7, 4, {0xA0, 0, 0, 0}, ConfigurationTable[PRIORITY_ROW].Index},
        {"Interval", 7, 4, {100, 0, 0, 0}, ConfigurationTable[INTERVAL_ROW].Index},
        {"UseBackup", 1, 1, {0, 0xEE, 0xEE, 0xEE}, ConfigurationTable[USEBACKUP_ROW].Index},
        {"Status", 3, 1, {0, 0xEE, 0xEE, 0xEE}, StatusTable[STATUS_ROW].Index},
        {"Error", 1, 1, {0, 0xEE, 0xEE, 0xEE}, StatusTable[ERROR_ROW].Index},
        {"Run", 1, 1, {1, 0xEE, 0xEE, 0xEE}, StatusTable[RUN_ROW].Index},
        {"Live", 7, 4, {0, 0, 0, 0}, StatusTable[LIVE_ROW].Index},
        {"SaveCount", 7, 4, {0, 0, 0, 0}, StatusTable[SAVECOUNT_ROW].Index},
        {"LoadCount", 7, 4, {0, 0, 0, 0}, StatusTable[LOADCOUNT_ROW].Index},
        {"Save", 7, 4, {0, 0, 0, 0}, TriggerTable[SAVE_ROW].Index},
        {"Load", 7, 4, {0, 0, 0, 0}, TriggerTable[LOAD_ROW].Index},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        std::string name = Full(row.Name);
        ASSERT_TRUE(Exists(name));
        EXPECT_EQ(Type(name), row.Type);
        EXPECT_EQ(Size(name), row.Size);
        EXPECT_EQ(Bytes(name), row.Bytes);
        EXPECT_EQ(row.Index, NodeSpaceFind(name.c_str()));
    }
    EXPECT_EQ(Type(Full("OutPath")), 12);
    EXPECT_EQ(Size(Full("OutPath")), 80);
    EXPECT_EQ(Text(Full("OutPath")), "C:\\Orvale\\");
    EXPECT_EQ(ConfigurationTable[OUTPATH_ROW].Index, NodeSpaceFind(Full("OutPath").c_str()));
    // AutoRun stands in no table: publication never creates it.
    EXPECT_FALSE(Exists(Full("AutoRun")));

    EXPECT_EQ(GetRun(), 1);
    EXPECT_EQ(GetPriority(), 160u);
    EXPECT_EQ(GetInterval(), 100u);
    EXPECT_EQ(GetUseBackup(), 0);
    EXPECT_STREQ(GetOutPath(), "C:\\Orvale\\");
}

TEST_F(Variables, ExistingNodesKeepTheirValuesAndOnlyTheirIndexIsRecorded) {
    Make(Full("Priority"), 7, 120);
    Make(Full("Run"), 1, 0);
    ASSERT_EQ(NodeCreateString(Full("OutPath").c_str(), 12, 80, "", "", nullptr, 0, nullptr), 0);
    ASSERT_EQ(NodeWriteStringByName(Full("OutPath").c_str(), "/data/plant/"), 0);
    int32_t before = NodeCount();

    PublishConfiguration();
    PublishStatus();

    EXPECT_EQ(U32(Full("Priority")), 120u);
    EXPECT_EQ(GetPriority(), 120u);
    EXPECT_EQ(ConfigurationTable[PRIORITY_ROW].Index, NodeSpaceFind(Full("Priority").c_str()));
    EXPECT_EQ(GetRun(), 0);
    EXPECT_STREQ(GetOutPath(), "/data/plant/");
    // Only the seven absent rows were created.
    EXPECT_EQ(NodeCount(), before + 7);

    // A second publication creates nothing and keeps every value.
    Make(Full("Other"), 7, 0);  // moves NodeCount on by one
    PublishConfiguration();
    PublishStatus();
    EXPECT_EQ(NodeCount(), before + 8);
    EXPECT_EQ(GetPriority(), 120u);
}

TEST_F(Variables, FailedCreationStopsItsTableAtThatRowAndTheNextTableIsStillPublished) {
    StatusTable[LIVE_ROW].Index = 77;  // rows after the failure are not visited
    InjectCreateFaultForTest("Run");

    PublishStatus();
    PublishTable(TriggerTable);

    EXPECT_NE(StatusTable[STATUS_ROW].Index, 0u);
    EXPECT_NE(StatusTable[ERROR_ROW].Index, 0u);
    EXPECT_EQ(StatusTable[RUN_ROW].Index, 0u);
    EXPECT_EQ(StatusTable[LIVE_ROW].Index, 77u);
    EXPECT_EQ(StatusTable[SAVECOUNT_ROW].Index, 0u);
    EXPECT_EQ(StatusTable[LOADCOUNT_ROW].Index, 0u);
    for (const char* name : {"Run", "Live", "SaveCount", "LoadCount"}) EXPECT_FALSE(Exists(Full(name))) << name;
    EXPECT_TRUE(Exists(Full("Status")));
    EXPECT_TRUE(Exists(Full("Error")));
    EXPECT_EQ(TriggerTable[SAVE_ROW].Index, NodeSpaceFind(Full("Save").c_str()));
    EXPECT_EQ(TriggerTable[LOAD_ROW].Index, NodeSpaceFind(Full("Load").c_str()));
    EXPECT_NE(TriggerTable[LOAD_ROW].Index, 0u);

    // The unpublished Run addresses no node: it reads 0 and a write goes
    // nowhere, even once a Run node exists.
    Make(Full("Run"), 1, 1);
    EXPECT_EQ(GetRun(), 0);
    SetRun(0);
    EXPECT_EQ(U32(Full("Run")), 1u);
}

TEST_F(Variables, RowsThatCannotOrNeedNotBeCreatedAreSkipped) {
    const std::string longest(110, 'L');  // "SERVICE.OvRetain." + 110 = 127 characters
    const std::string tooLong(111, 'T');
    VariableDescriptor table[] = {
        {"Absent", 7, 5, false, nullptr, nullptr, 42},      {tooLong.c_str(), 7, 6, true, nullptr, nullptr, 43},
        {longest.c_str(), 7, 7, true, nullptr, nullptr, 0}, {"After", 6, 0x01020304, true, "text one", nullptr, 0},
        {nullptr, 0, 0, false, nullptr, nullptr, 0},
    };
    PublishTable(table);

    EXPECT_EQ(table[0].Index, 42u);
    EXPECT_FALSE(Exists(Full("Absent")));
    EXPECT_EQ(table[1].Index, 43u);
    EXPECT_FALSE(Exists(Full(tooLong)));
    EXPECT_EQ(table[2].Index, NodeSpaceFind(Full(longest).c_str()));
    EXPECT_EQ(U32(Full(longest)), 7u);
    EXPECT_EQ(table[3].Index, NodeSpaceFind(Full("After").c_str()));
    EXPECT_EQ(Bytes(Full("After")), (std::vector<uint8_t>{4, 3, 2, 1}));

    // A row with Create false whose node exists is attached like any other.
    Make(Full("Absent"), 7, 9);
    PublishTable(table);
    EXPECT_EQ(table[0].Index, NodeSpaceFind(Full("Absent").c_str()));
    EXPECT_EQ(U32(Full("Absent")), 9u);

    // A table that starts with its end publishes nothing.
    int32_t count = NodeCount();
    VariableDescriptor empty[] = {{nullptr, 7, 1, true, nullptr, nullptr, 0}};
    PublishTable(empty);
    EXPECT_EQ(NodeCount(), count);
}

TEST_F(Variables, CreateVariableCreatesOnceAndReportsRefusals) {
    const std::string name = Full("Made");
    EXPECT_TRUE(CreateVariable(name.c_str(), 1, 0x1FF, nullptr, nullptr));
    EXPECT_EQ(Size(name), 1);
    EXPECT_EQ(Bytes(name), (std::vector<uint8_t>{0xFF, 0xEE, 0xEE, 0xEE}));
    // Existing: true, value untouched, whatever type and default are given.
    EXPECT_TRUE(CreateVariable(name.c_str(), 7, 5, nullptr, nullptr));
    EXPECT_EQ(Type(name), 1);
    EXPECT_EQ(Bytes(name), (std::vector<uint8_t>{0xFF, 0xEE, 0xEE, 0xEE}));

    // Codes without a known size are created with no value bytes.
    for (uint32_t type : {2u, 8u}) {
        std::string n = Full("Sized" + std::to_string(type));
        EXPECT_TRUE(CreateVariable(n.c_str(), type, 0xFFFFFFFF, nullptr, nullptr));
        EXPECT_EQ(Type(n), type);
        EXPECT_EQ(Size(n), 0);
    }
    // A text row without a default text starts empty.
    std::string text = Full("Text");
    EXPECT_TRUE(CreateVariable(text.c_str(), 12, 0, nullptr, nullptr));
    EXPECT_EQ(Size(text), 80);
    EXPECT_EQ(Text(text), "");

    // A name the library refuses.
    std::string huge = "SERVICE.OvRetain." + std::string(600, 'h');
    EXPECT_FALSE(CreateVariable(huge.c_str(), 7, 1, nullptr, nullptr));
    EXPECT_FALSE(CreateVariable(huge.c_str(), 12, reinterpret_cast<uintptr_t>("x"), nullptr, nullptr));
}

TEST_F(Variables, VariableExistsAndIndexFollowTheNodeSpace) {
    EXPECT_FALSE(VariableExists(Full("Nope").c_str()));
    EXPECT_EQ(VariableIndex(Full("Nope").c_str()), 0u);
    Make(Full("First"), 7, 0);
    Make(Full("Second"), 7, 0);
    EXPECT_TRUE(VariableExists(Full("Second").c_str()));
    EXPECT_EQ(VariableIndex(Full("Second").c_str()), NodeSpaceFind(Full("Second").c_str()));
    EXPECT_EQ(VariableIndex(Full("Second").c_str()), VariableIndex(Full("First").c_str()) + 1);
}

TEST(VariableNames, MakeNodeNameFormsTheFullNameWithinItsBuffer) {
    EXPECT_STREQ(ContainerName(), "OvRetain");
    const char* first = MakeNodeName("Run");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "SERVICE.OvRetain.Run");
    const char* second = MakeNodeName("SaveCount");
    EXPECT_EQ(second, first);  // one shared buffer, overwritten
    EXPECT_STREQ(first, "SERVICE.OvRetain.SaveCount");

    const std::string longest(110, 'a');
    const char* fits = MakeNodeName(longest.c_str());
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(strlen(fits), 127u);
    EXPECT_EQ(std::string(fits), "SERVICE.OvRetain." + longest);

    MakeNodeName("Run");
    EXPECT_EQ(MakeNodeName(std::string(111, 'b').c_str()), nullptr);
    EXPECT_EQ(MakeNodeName(std::string(4000, 'c').c_str()), nullptr);
    EXPECT_STREQ(first, "SERVICE.OvRetain.Run");  // a refused name leaves the buffer alone
    EXPECT_EQ(MakeNodeName(nullptr), nullptr);
}

TEST(VariableNames, TypeSizeFollowsTheTypeCodeTable) {
    const std::pair<uint32_t, uint32_t> sizes[] = {
        {0, 0}, {1, 1}, {2, 0},  {3, 1},  {4, 2},  {5, 2},       {6, 4},
        {7, 4}, {8, 0}, {11, 0}, {12, 0}, {13, 0}, {0x10007, 0}, {0xFFFFFFFF, 0},
    };
    for (auto [type, size] : sizes) EXPECT_EQ(TypeSize(type), size) << "type " << type;
}

TEST_F(Variables, AccessorsWriteTheirWidthsAndCountersStartAtZero) {
    Make(Full("SaveCount"), 7, 50);
    Make(Full("Live"), 7, 1000);
    PublishStatus();
    PublishConfiguration();

    SetRun(0x100);  // low byte only
    EXPECT_EQ(GetRun(), 0);
    SetRun(0x101);
    EXPECT_EQ(GetRun(), 1);
    SetStatus(0x1FF);
    EXPECT_EQ(Bytes(Full("Status")), (std::vector<uint8_t>{0xFF, 0xEE, 0xEE, 0xEE}));
    SetError(0x12345678);
    EXPECT_EQ(Bytes(Full("Error")), (std::vector<uint8_t>{0x78, 0xEE, 0xEE, 0xEE}));

    // Counters start at 0 with the process, whatever the nodes held.
    IncrementSaveCount();
    EXPECT_EQ(U32(Full("SaveCount")), 1u);
    IncrementSaveCount();
    EXPECT_EQ(U32(Full("SaveCount")), 2u);
    IncrementLive();
    EXPECT_EQ(U32(Full("Live")), 1u);
    IncrementLoadCount();
    IncrementLoadCount();
    IncrementLoadCount();
    EXPECT_EQ(U32(Full("LoadCount")), 3u);
    EXPECT_EQ(U32(Full("SaveCount")), 2u);

    uint32_t priority = 0x1FE;
    NodeWriteByName(Full("Priority").c_str(), &priority, 4);
    EXPECT_EQ(GetPriority(), 0x1FEu);  // all 32 bits; wrapping is the caller's
    uint8_t on = 1;
    NodeWriteByName(Full("UseBackup").c_str(), &on, 1);
    EXPECT_EQ(GetUseBackup(), 1);
}

TEST_F(Variables, AccessorsOfUnpublishedRowsChangeNothingAndReadZero) {
    // Nodes exist with nonzero values, but nothing was published: every
    // Index is 0 and addresses no node.
    Make(Full("Run"), 1, 1);
    Make(Full("Priority"), 7, 160);
    Make(Full("Interval"), 7, 100);
    Make(Full("UseBackup"), 1, 1);
    Make(Full("SaveCount"), 7, 5);
    EXPECT_EQ(GetRun(), 0);
    EXPECT_EQ(GetPriority(), 0u);
    EXPECT_EQ(GetInterval(), 0u);
    EXPECT_EQ(GetUseBackup(), 0);
    SetRun(0);
    IncrementSaveCount();
    EXPECT_EQ(U32(Full("Run")), 1u);
    EXPECT_EQ(U32(Full("SaveCount")), 5u);
}

TEST_F(Variables, OutPathAndAutoRunAreReadByName) {
    EXPECT_STREQ(GetOutPath(), "");  // nothing read yet
    EXPECT_EQ(GetAutoRun(), 0);      // absent: the preset 0
    PublishConfiguration();
    EXPECT_STREQ(GetOutPath(), "C:\\Orvale\\");
    ASSERT_EQ(NodeWriteStringByName(Full("OutPath").c_str(), "D:\\retain\\"), 0);
    EXPECT_STREQ(GetOutPath(), "D:\\retain\\");

    const std::pair<uint32_t, uint8_t> autoRuns[] = {{1, 1}, {2, 2}, {0x0101, 1}, {0, 0}};
    Make(Full("AutoRun"), 7, 0);
    for (auto [value, expected] : autoRuns) {
        NodeWriteByName(Full("AutoRun").c_str(), &value, 4);
        EXPECT_EQ(GetAutoRun(), expected) << value;
    }
}

}  // namespace
