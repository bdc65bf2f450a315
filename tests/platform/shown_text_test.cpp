// The two escapers of hostile text, for the terminal (ShowText) and for JSON
// (JsonText): every control that drives a terminal or reorders text, and
// every byte that is not UTF-8, escaped so that it reads back as what it was;
// and ReadShownText, which reads the escaped form back ('set --escaped').
#include "common/shown_text.h"

#include <gtest/gtest.h>

#include <string>

#include "common/json_text.h"

namespace {

struct Case {
    const char* What;
    std::string Text;
    std::string Shown;  // ShowText(Text, true)
    std::string Json;   // JsonText(Text), without its quotes
};                      // (both left empty: the round trip alone)

TEST(TextEscapes, ControlsBidiAndBytesThatAreNotUtf8) {
    const Case cases[] = {
        {"plain text and other scripts", "Plant \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xc2\xa0",
         "Plant \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xc2\xa0", "Plant \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xc2\xa0"},
        {"C0 controls", std::string("a\x01\x1b\n\t\r", 6) + std::string(1, '\0'), "a\\x01\\x1b\\n\\t\\x0d\\x00",
         "a\\u0001\\u001b\\n\\t\\r\\u0000"},
        {"DEL", "\x7f", "\\x7f", "\\u007f"},
        {"C1 controls", "\xc2\x80\xc2\x9b\xc2\x9f", "\\u0080\\u009b\\u009f", "\\u0080\\u009b\\u009f"},
        {"arabic letter mark", "\xd8\x9c", "\\u061c", "\\u061c"},
        {"left-to-right and right-to-left marks", "\xe2\x80\x8e\xe2\x80\x8f", "\\u200e\\u200f", "\\u200e\\u200f"},
        {"embeddings, overrides and their end", "\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xae",
         "\\u202a\\u202b\\u202c\\u202d\\u202e", "\\u202a\\u202b\\u202c\\u202d\\u202e"},
        {"isolates and their end", "\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9", "\\u2066\\u2067\\u2068\\u2069",
         "\\u2066\\u2067\\u2068\\u2069"},
        {"a lone byte", "\xff", "\\xff", "\\udcff"},
        {"an overlong '/'", "\xe0\x80\xaf", "\\xe0\\x80\\xaf", "\\udce0\\udc80\\udcaf"},
        {"an encoded surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80", "\\udced\\udca0\\udc80"},
        {"a sequence cut short", "x\xe2\x80", "x\\xe2\\x80", "x\\udce2\\udc80"},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "\\udcf4\\udc90\\udc80\\udc80"},
        {"quotes and backslashes", "\"C:\\x\"", "\"C:\\\\x\"", "\\\"C:\\\\x\\\""},
        {"escapes written out", "\\t\\x41\\u200e\\", "\\\\t\\\\x41\\\\u200e\\\\", "\\\\t\\\\x41\\\\u200e\\\\"},
        {"every byte",
         [] {
             std::string all;
             for (int b = 255; b >= 0; --b) all += static_cast<char>(b);
             return all;
         }(),
         "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string shown = ShowText(c.Text, true);
        if (!c.Shown.empty()) {
            EXPECT_EQ(shown, c.Shown);
            EXPECT_EQ(JsonText(c.Text), "\"" + c.Json + "\"");
        }
        // What get and list print, set --escaped gives back byte for byte.
        std::string back, error;
        EXPECT_TRUE(ReadShownText(shown, &back, &error)) << error;
        EXPECT_EQ(back, c.Text);
    }
    // What ShowText never writes is refused, not guessed at.
    for (const char* bad : {"a\\", "\\r", "\\x4", "\\xg0", "\\u12", "\\ud800", "\\U0041"}) {
        std::string back, error;
        EXPECT_FALSE(ReadShownText(bad, &back, &error)) << bad;
        EXPECT_NE(error.find("escape at byte"), std::string::npos) << bad;
    }
}

}  // namespace
