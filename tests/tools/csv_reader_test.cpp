// The CSV reader behind `ovnode load-layout`, and the layout checks on top.
#include "ovnode/csv_reader.h"

#include <gtest/gtest.h>

#include "ovnode/layout.h"

namespace ovnode {
namespace {

using Fields = std::vector<std::string>;

struct CsvCase {
    const char* Label;
    std::string Text;
    std::vector<Fields> Records;
    std::vector<size_t> Lines;
};

class CsvParseTest : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvParseTest, Reads) {
    const CsvCase& c = GetParam();
    CsvResult r = ParseCsv(c.Text);
    ASSERT_TRUE(r.Ok) << "line " << r.ErrorLine << ": " << r.Error;
    ASSERT_EQ(r.Records.size(), c.Records.size());
    for (size_t i = 0; i < c.Records.size(); ++i) {
        EXPECT_EQ(r.Records[i].Fields, c.Records[i]) << "record " << i;
        EXPECT_EQ(r.Records[i].Line, c.Lines[i]) << "record " << i;
    }
    // The same records when the text arrives a byte at a time, as a file
    // read in pieces gives it: a record cut anywhere waits for the rest.
    size_t pos = 0, line = 1, have = 0, errorLine = 0;
    std::string error;
    std::vector<CsvRecord> pieces;
    for (;;) {
        CsvRecord record;
        const CsvStep step = ReadCsvRecord(std::string_view(c.Text).substr(0, have), have == c.Text.size(), &pos, &line,
                                           &record, &errorLine, &error);
        ASSERT_NE(step, CSV_ERROR) << "line " << errorLine << ": " << error;
        if (step == CSV_END) break;
        if (step == CSV_MORE)
            ++have;
        else
            pieces.push_back(record);
    }
    ASSERT_EQ(pieces.size(), c.Records.size());
    for (size_t i = 0; i < c.Records.size(); ++i) {
        EXPECT_EQ(pieces[i].Fields, c.Records[i]) << "record " << i;
        EXPECT_EQ(pieces[i].Line, c.Lines[i]) << "record " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Valid, CsvParseTest,
    ::testing::Values(
        CsvCase{"plain", "a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}, {1, 2}},
        CsvCase{"no final newline", "a,b\nc,d", {{"a", "b"}, {"c", "d"}}, {1, 2}},
        CsvCase{"crlf", "a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}, {1, 2}},
        CsvCase{"empty fields", ",,\nx,,\n", {{"", "", ""}, {"x", "", ""}}, {1, 2}},
        CsvCase{"quoted comma", "\"a,b\",c\n", {{"a,b", "c"}}, {1}},
        CsvCase{"doubled quote", "\"say \"\"hi\"\"\",x\n", {{"say \"hi\"", "x"}}, {1}},
        CsvCase{"empty quoted", "\"\",\"\"\n", {{"", ""}}, {1}},
        CsvCase{"embedded newline", "\"two\nlines\",x\nnext,y\n", {{"two\nlines", "x"}, {"next", "y"}}, {1, 3}},
        CsvCase{"embedded crlf kept", "\"a\r\nb\",x\r\n", {{"a\r\nb", "x"}}, {1}},
        CsvCase{"blank lines skipped", "a\n\n\nb\n", {{"a"}, {"b"}}, {1, 4}},
        CsvCase{"trailing comma at end", "a,", {{"a", ""}}, {1}},
        CsvCase{"spaces kept", " a , b ", {{" a ", " b "}}, {1}}, CsvCase{"empty text", "", {}, {}}),
    [](const ::testing::TestParamInfo<CsvCase>& info) {
        std::string name = info.param.Label;
        for (char& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

struct CsvErrorCase {
    std::string Text;
    size_t Line;
};

class CsvErrorTest : public ::testing::TestWithParam<CsvErrorCase> {};

TEST_P(CsvErrorTest, NamesTheLine) {
    CsvResult r = ParseCsv(GetParam().Text);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.ErrorLine, GetParam().Line) << r.Error;
    EXPECT_FALSE(r.Error.empty());
    EXPECT_TRUE(r.Records.empty());
}

INSTANTIATE_TEST_SUITE_P(Malformed, CsvErrorTest,
                         ::testing::Values(CsvErrorTest::ParamType{"a,b\n\"open,x\n", 2},
                                           CsvErrorTest::ParamType{"a\nb\n\"x\ny\nz", 3},
                                           CsvErrorTest::ParamType{"a\nab\"c\n", 2},
                                           CsvErrorTest::ParamType{"a\n\"x\"y,z\n", 2},
                                           CsvErrorTest::ParamType{"\"multi\nline\" tail\n", 2},
                                           CsvErrorTest::ParamType{"a\rb,c\n\"x\"\ry\n", 2}));

const char kHeader[] = "name,type,size,value\n";

TEST(LayoutTest, ReadsNodesWithDefaultsAndValues) {
    std::vector<LayoutNode> nodes;
    std::string error;
    ASSERT_TRUE(ParseLayout(std::string(kHeader) + "A.Count,7,,42\n"
                                                   "A.Name,12,,\"Recipe, \"\"red\"\"\"\n"
                                                   "A.Long,12,200,\n"
                                                   "A.Raw,13,3,0a0b\n"
                                                   "A.Flag,1,1,0x1\n",
                            &nodes, &error))
        << error;
    ASSERT_EQ(nodes.size(), 5u);
    EXPECT_EQ(nodes[0].Name, "A.Count");
    EXPECT_EQ(nodes[0].Size, 4);
    EXPECT_EQ(nodes[0].Value, (std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(nodes[1].Size, 80);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(nodes[1].Value.data())), "Recipe, \"red\"");
    EXPECT_EQ(nodes[2].Size, 200);
    EXPECT_FALSE(nodes[2].HasValue);
    EXPECT_EQ(nodes[3].Value, (std::vector<uint8_t>{0x0a, 0x0b, 0}));
    EXPECT_EQ(nodes[4].Line, 6u);
}

TEST(LayoutTest, BadLinesAreNamedByNumber) {
    const std::string longName(562, 'n');
    const std::string h = kHeader;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"A,7,,1\nB,7,,\n", "line 1: header"},  // no header
        {h + "A,7,4\n", "line 2: expected 4 fields, found 3"},
        {h + "A,7,,1,extra\n", "line 2: expected 4 fields, found 5"},
        {h + "A,7,,1\nB,7,,256x\n", "line 3:"},
        {h + "A,1,,256\n", "line 2:"},
        {h + "A,13,,00\n", "line 2:"},  // type 13 needs a size
        {h + "A,99,,\n", "line 2:"},    // so does an unknown code
        {h + "A,7,2,\n", "line 2:"},    // size contradicts the type
        {h + "A,12,0,\n", "line 2:"},
        {h + "A,70000,,\n", "line 2:"},
        {h + "A,x,,\n", "line 2:"},
        {h + ",7,,\n", "line 2:"},
        {h + longName + ",7,,\n", "line 2:"},
        {h + "A,12,4,toolong\n", "line 2:"},
        {h + "A,7,,1\n\nA,7,,2\n", "line 4: node A is already given on line 2"},
        {h + "A,7,,1\n\"B,7,,\n", "line 3:"},
    };
    for (const auto& [body, expected] : cases) {
        std::vector<LayoutNode> nodes;
        std::string error;
        EXPECT_FALSE(ParseLayout(body, &nodes, &error)) << body;
        EXPECT_EQ(error.rfind(expected, 0), 0u) << "input: " << body << "\nerror: " << error;
        EXPECT_TRUE(nodes.empty());
    }
}

TEST(LayoutTest, LongestNameIsAccepted) {
    std::vector<LayoutNode> nodes;
    std::string error;
    EXPECT_TRUE(ParseLayout(std::string(kHeader) + std::string(561, 'n') + ",1,,\n", &nodes, &error)) << error;
}

TEST(LayoutTest, HeaderOnlyAndByteOrderMark) {
    std::vector<LayoutNode> nodes;
    std::string error;
    EXPECT_TRUE(ParseLayout("\xEF\xBB\xBF" + std::string(kHeader), &nodes, &error)) << error;
    EXPECT_TRUE(nodes.empty());
    EXPECT_FALSE(ParseLayout("", &nodes, &error));
    EXPECT_FALSE(ParseLayout("name,type,size\n", &nodes, &error));
}

}  // namespace
}  // namespace ovnode
