#include "text_safety.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

namespace {

TEST(TextSafetyTest, Utf8TextKeepsValidSequencesAndReadsTheRestAsLatin1) {
  const std::pair<std::string, std::string> kCases[] = {
      {"Ann \"Lee\"\n", "Ann \"Lee\"\n"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6)},
      {"caf\xc3\xa9", "caf\xc3\xa9"},                            // é, two bytes
      {"\xe2\x82\xac", "\xe2\x82\xac"},                          // €, three bytes
      {"\xf0\x9f\x8f\x81", "\xf0\x9f\x8f\x81"},                  // U+1F3C1, four bytes
      {"caf\xe9", "caf\xc3\xa9"},                                // Latin-1 é
      {"\xc3", "\xc3\x83"},                                      // sequence cut short
      {"\xc3(", "\xc3\x83("},                                    // bad continuation
      {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                          // overlong '/'
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},              // surrogate U+D800
      {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},  // above U+10FFFF
      {"\x80", "\xc2\x80"},                                      // lone continuation byte
  };
  for (const auto& [in, out] : kCases) EXPECT_EQ(Utf8Text(in), out) << out;
}

TEST(TextSafetyTest, ControlsBidiAndNoncharactersBecomeEscapes) {
  const std::pair<std::string, std::string> kCases[] = {
      // Kept as they are.
      {"Ann Lee", "Ann Lee"},
      {"Jos\xc3\xa9 \xc3\x81lvarez", "Jos\xc3\xa9 \xc3\x81lvarez"},
      {"\xe4\xbd\x90\xe8\x97\xa4", "\xe4\xbd\x90\xe8\x97\xa4"},      // 佐藤
      {"\xf0\x9f\x8f\x81 e\xcc\x81", "\xf0\x9f\x8f\x81 e\xcc\x81"},  // 🏁, e + combining acute
      {"\xef\xbf\xbd a\\b", "\xef\xbf\xbd a\\b"},                    // U+FFFD and a backslash
      {"Jos\xe9", "Jos\xc3\xa9"},                                    // Latin-1
      // C0, DEL and C1, the latter as UTF-8 or as a Latin-1 byte.
      {"\x1b[2J", "\\x1b[2J"},
      {"a\tb\nc\r", "a\\x09b\\x0ac\\x0d"},
      {"\x7f", "\\x7f"},
      {"\xc2\x9b"
       "31m",
       "\\x9b31m"},
      {"\xc2\x9d"
       "0;t\xc2\x9c",
       "\\x9d0;t\\x9c"},
      {"\x9b", "\\x9b"},
      // Bidirectional controls, the line and paragraph separators.
      {"\xe2\x80\xae"
       "evil",
       "\\u202eevil"},
      {"\xe2\x80\xaa\xe2\x80\xac", "\\u202a\\u202c"},
      {"\xe2\x81\xa6\xe2\x81\xa9", "\\u2066\\u2069"},
      {"\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f", "\\u061c\\u200e\\u200f"},
      {"\xe2\x80\xa8\xe2\x80\xa9", "\\u2028\\u2029"},
      // Noncharacters, which XML forbids (U+FFFE, U+FFFF) or discourages.
      {"\xef\xbf\xbe\xef\xbf\xbf", "\\ufffe\\uffff"},
      {"\xef\xb7\x90", "\\ufdd0"},
      {"\xf0\x9f\xbf\xbf", "\\U0001ffff"},
      {"\xf4\x8f\xbf\xbe", "\\U0010fffe"},
  };
  for (const auto& [in, out] : kCases) {
    EXPECT_EQ(DisplayText(in), out) << in;
    EXPECT_EQ(DisplayText(out), out) << "display text stays as it is: " << out;
  }
}

// Every code point as UTF-8 and every single byte: what comes out is valid
// UTF-8 with only characters XML 1.0 allows, and nothing a terminal or a
// bidirectional algorithm acts on. Checked on the bytes, not on the
// module's own list.
TEST(TextSafetyTest, NoInputLeavesAControlOrAnXmlForbiddenCharacter) {
  const auto check = [](const std::string& in) {
    const std::string out = DisplayText(in);
    ASSERT_EQ(Utf8Text(out), out) << "not valid UTF-8 for input " << in;
    for (std::size_t i = 0; i < out.size(); ++i) {
      const auto b = static_cast<unsigned char>(out[i]);
      ASSERT_TRUE(b >= 0x20 && b != 0x7F) << in;
      const auto next = [&](std::size_t k) {
        return i + k < out.size() ? static_cast<unsigned char>(out[i + k]) : 0;
      };
      ASSERT_FALSE(b == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) << "C1 from " << in;
      ASSERT_FALSE(b == 0xE2 && next(1) == 0x80 && next(2) >= 0xAA && next(2) <= 0xAE) << in;
      ASSERT_FALSE(b == 0xE2 && next(1) == 0x81 && next(2) >= 0xA6 && next(2) <= 0xA9) << in;
      ASSERT_FALSE(b == 0xEF && next(1) == 0xBF && next(2) >= 0xBE) << "U+FFFE/F from " << in;
    }
  };
  for (int byte = 0; byte < 256; ++byte) check(std::string(1, static_cast<char>(byte)));
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string in;
    if (c < 0x80) {
      in = std::string(1, static_cast<char>(c));
    } else if (c < 0x800) {
      in = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      in = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
            static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      in = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
            static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    check(in);
    if (HasFatalFailure()) return;
  }
}

TEST(TextSafetyTest, ColumnsCountWideAndCombiningCharactersAndCutsAreWhole) {
  // {text, columns}
  const std::pair<std::string, std::size_t> kWidths[] = {
      {"caf\xc3\xa9!", 5},
      {"e\xcc\x81", 1},                 // a combining mark takes no column
      {"\xe4\xbd\x90\xe8\x97\xa4", 4},  // 佐藤
      {"\xed\x95\x9c\xea\xb5\xad", 4},  // 한국
      {"\xef\xbd\x86", 2},              // fullwidth f
      {"\xf0\x9f\x8f\x81", 2},          // 🏁
      {"\x1b", 4},                      // shown as \x1b
      {"\xe2\x80\x8d", 0},              // zero-width joiner
  };
  for (const auto& [text, columns] : kWidths) EXPECT_EQ(DisplayWidth(text), columns) << text;

  // {text, columns allowed, what fits}
  const std::tuple<std::string, std::size_t, std::string> kCuts[] = {
      {"\xc3\xa9\xc3\xa9\xc3\xa9", 2, "\xc3\xa9\xc3\xa9"},
      {"abc", 5, "abc"},
      // A wide character that would take the last column and one more stays out.
      {"\xe4\xbd\x90\xe8\x97\xa4\xe4\xb8\x80", 5, "\xe4\xbd\x90\xe8\x97\xa4"},
      // Marks go with their letter.
      {"e\xcc\x81"
       "e\xcc\x81"
       "e",
       2,
       "e\xcc\x81"
       "e\xcc\x81"},
      // An escape is whole or not there.
      {"ab\x1b"
       "c",
       4, "ab"},
      {"ab\x1b"
       "c",
       6, "ab\\x1b"},
  };
  for (const auto& [text, columns, fits] : kCuts) {
    EXPECT_EQ(DisplayText(text, columns), fits) << text << " in " << columns;
  }
}

TEST(TextSafetyTest, QuotedTextTellsABackslashFromAnEscape) {
  EXPECT_EQ(QuotedText("Ann \"AJ\" \\ Lee"), R"("Ann \"AJ\" \\ Lee")");
  EXPECT_EQ(QuotedText("\x1b"), R"("\x1b")");
  EXPECT_EQ(QuotedText("\\x1b"), R"("\\x1b")");
  EXPECT_EQ(QuotedText(""), R"("")");
}

}  // namespace
