// Value parsing and formatting of ovnode, per type code.
#include "ovnode/value_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ovnode {
namespace {

using Bytes = std::vector<uint8_t>;

struct ParseCase {
    uint16_t Type;
    uint16_t Size;
    std::string Text;
    bool Ok;
    Bytes Expected;  // when Ok
};

std::ostream& operator<<(std::ostream& os, const ParseCase& c) {
    return os << "type " << c.Type << " size " << c.Size << " '" << c.Text << "'";
}

class ParseValueTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseValueTest, ParsesOrRefuses) {
    const ParseCase& c = GetParam();
    Bytes out{0xAA};
    std::string error;
    bool ok = ParseValue(c.Type, c.Size, c.Text, &out, &error);
    ASSERT_EQ(ok, c.Ok) << error;
    if (ok) {
        EXPECT_EQ(out, c.Expected);
    } else {
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Unsigned, ParseValueTest,
                         ::testing::Values(ParseCase{1, 1, "0", true, {0}}, ParseCase{1, 1, "255", true, {255}},
                                           ParseCase{1, 1, "256", false, {}}, ParseCase{1, 1, "-1", false, {}},
                                           ParseCase{1, 1, "-0", true, {0}}, ParseCase{1, 1, "0xff", true, {255}},
                                           ParseCase{1, 1, "0XFF", true, {255}}, ParseCase{1, 1, "0x100", false, {}},
                                           ParseCase{1, 1, "007", true, {7}}, ParseCase{3, 1, "200", true, {200}},
                                           ParseCase{5, 2, "65535", true, {0xFF, 0xFF}},
                                           ParseCase{5, 2, "65536", false, {}},
                                           ParseCase{5, 2, "0x1234", true, {0x34, 0x12}},
                                           ParseCase{7, 4, "4294967295", true, {0xFF, 0xFF, 0xFF, 0xFF}},
                                           ParseCase{7, 4, "4294967296", false, {}},
                                           ParseCase{7, 4, "99999999999999999999999", false, {}},
                                           ParseCase{7, 4, "0xDEADBEEF", true, {0xEF, 0xBE, 0xAD, 0xDE}},
                                           ParseCase{7, 4, "0x1DEADBEEF", false, {}},
                                           // A size given for a fixed type does not widen the value.
                                           ParseCase{7, 8, "1", true, {1, 0, 0, 0}}));

INSTANTIATE_TEST_SUITE_P(
    Signed, ParseValueTest,
    ::testing::Values(ParseCase{4, 2, "-32768", true, {0x00, 0x80}}, ParseCase{4, 2, "32767", true, {0xFF, 0x7F}},
                      ParseCase{4, 2, "-32769", false, {}}, ParseCase{4, 2, "32768", false, {}},
                      ParseCase{4, 2, "-1", true, {0xFF, 0xFF}}, ParseCase{4, 2, "0xFFFF", true, {0xFF, 0xFF}},
                      ParseCase{4, 2, "0x10000", false, {}}, ParseCase{4, 2, "-0x1", false, {}},
                      ParseCase{6, 4, "-2147483648", true, {0, 0, 0, 0x80}},
                      ParseCase{6, 4, "2147483647", true, {0xFF, 0xFF, 0xFF, 0x7F}},
                      ParseCase{6, 4, "2147483648", false, {}}, ParseCase{6, 4, "-2147483649", false, {}}));

INSTANTIATE_TEST_SUITE_P(Garbage, ParseValueTest,
                         ::testing::Values(ParseCase{7, 4, "", false, {}}, ParseCase{7, 4, "12a", false, {}},
                                           ParseCase{7, 4, " 12", false, {}}, ParseCase{7, 4, "12 ", false, {}},
                                           ParseCase{7, 4, "+12", false, {}}, ParseCase{7, 4, "0x", false, {}},
                                           ParseCase{7, 4, "0xg1", false, {}}, ParseCase{4, 2, "-", false, {}},
                                           ParseCase{4, 2, "--1", false, {}}, ParseCase{1, 1, "1.5", false, {}}));

INSTANTIATE_TEST_SUITE_P(Text, ParseValueTest,
                         ::testing::Values(ParseCase{12, 4, "abc", true, {'a', 'b', 'c', 0}},
                                           ParseCase{12, 4, "abcd", false, {}},
                                           ParseCase{12, 4, "", true, {0, 0, 0, 0}},
                                           ParseCase{12, 6, "a,b", true, {'a', ',', 'b', 0, 0, 0}},
                                           ParseCase{12, 1, "", true, {0}}, ParseCase{12, 1, "x", false, {}},
                                           ParseCase{12, 4, std::string("a\0b", 3), false, {}}));

INSTANTIATE_TEST_SUITE_P(Bytes, ParseValueTest,
                         ::testing::Values(ParseCase{13, 4, "0a0B0c0D", true, {0x0a, 0x0b, 0x0c, 0x0d}},
                                           ParseCase{13, 4, "01", true, {0x01, 0, 0, 0}},
                                           ParseCase{13, 4, "", true, {0, 0, 0, 0}},
                                           ParseCase{13, 4, "0102030405", false, {}},
                                           ParseCase{13, 4, "012", false, {}}, ParseCase{13, 4, "0x01", false, {}},
                                           ParseCase{13, 4, "zz", false, {}}, ParseCase{13, 0, "", true, {}},
                                           ParseCase{13, 0, "00", false, {}},
                                           // Type 2 and unknown codes are shown as bytes too.
                                           ParseCase{2, 0, "", true, {}}, ParseCase{2, 0, "01", false, {}},
                                           ParseCase{999, 3, "abcdef", true, {0xab, 0xcd, 0xef}}));

struct FormatCase {
    uint16_t Type;
    Bytes Value;
    std::string Expected;
};

class FormatValueTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatValueTest, Formats) {
    const FormatCase& c = GetParam();
    EXPECT_EQ(FormatValue(c.Type, c.Value), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, FormatValueTest,
    ::testing::Values(FormatCase{1, {255}, "255"}, FormatCase{3, {0}, "0"}, FormatCase{4, {0x00, 0x80}, "-32768"},
                      FormatCase{4, {0xFF, 0x7F}, "32767"}, FormatCase{4, {0xFF, 0xFF}, "-1"},
                      FormatCase{5, {0xFF, 0xFF}, "65535"}, FormatCase{6, {0, 0, 0, 0x80}, "-2147483648"},
                      FormatCase{7, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"}, FormatCase{7, {0x2A, 0, 0, 0}, "42"},
                      FormatCase{12, {'h', 'i', 0, 'x'}, "hi"}, FormatCase{12, {'f', 'u', 'l', 'l'}, "full"},
                      FormatCase{12, {}, ""}, FormatCase{13, {0xAB, 0x01, 0x00}, "ab0100"}, FormatCase{13, {}, ""},
                      FormatCase{2, {}, ""}, FormatCase{4242, {0x0F}, "0f"}));

// Whatever FormatValue prints, ParseValue reads back to the same bytes.
TEST(ValueCodecTest, FormatThenParseIsIdentity) {
    const std::vector<std::pair<uint16_t, Bytes>> values = {
        {1, {0x80}},
        {3, {0x7F}},
        {4, {0x34, 0x92}},
        {5, {0x01, 0xF0}},
        {6, {1, 2, 3, 0xF4}},
        {7, {0xFE, 0, 0, 0x80}},
        {12, {'o', 'k', 0, 0}},
        {13, {0, 0xFF, 0x10}},
    };
    for (const auto& [type, bytes] : values) {
        std::string text = FormatValue(type, bytes);
        Bytes back;
        std::string error;
        ASSERT_TRUE(ParseValue(type, static_cast<uint16_t>(bytes.size()), text, &back, &error))
            << "type " << type << " '" << text << "': " << error;
        EXPECT_EQ(back, bytes) << "type " << type;
    }
}

TEST(ValueCodecTest, TypeSizesAndKinds) {
    EXPECT_EQ(FixedSizeOfType(1), 1);
    EXPECT_EQ(FixedSizeOfType(3), 1);
    EXPECT_EQ(FixedSizeOfType(4), 2);
    EXPECT_EQ(FixedSizeOfType(5), 2);
    EXPECT_EQ(FixedSizeOfType(6), 4);
    EXPECT_EQ(FixedSizeOfType(7), 4);
    EXPECT_EQ(FixedSizeOfType(2), 0);
    EXPECT_FALSE(FixedSizeOfType(12));
    EXPECT_FALSE(FixedSizeOfType(13));
    EXPECT_FALSE(FixedSizeOfType(8));
    EXPECT_EQ(KindOfType(4), ValueKind::Signed);
    EXPECT_EQ(KindOfType(5), ValueKind::Unsigned);
    EXPECT_EQ(KindOfType(12), ValueKind::Text);
    EXPECT_EQ(KindOfType(0), ValueKind::Bytes);
}

TEST(ValueCodecTest, RangeErrorNamesTheRange) {
    Bytes out;
    std::string error;
    ASSERT_FALSE(ParseValue(4, 2, "40000", &out, &error));
    EXPECT_NE(error.find("-32768 to 32767"), std::string::npos) << error;
    ASSERT_FALSE(ParseValue(1, 1, "256", &out, &error));
    EXPECT_NE(error.find("0 to 255"), std::string::npos) << error;
}

}  // namespace
}  // namespace ovnode
