#include "text_safety.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

struct Range {
  char32_t first, last;
};

// Characters that take no column of their own: combining marks of the
// scripts names are written in, zero-width spaces and joiners, variation
// selectors, the medial and final Hangul jamo that join the syllable before
// them. Sorted, not overlapping.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F},   {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},   {0x0711, 0x0711},
    {0x0730, 0x074A},   {0x07A6, 0x07B0}, {0x07EB, 0x07F3}, {0x0900, 0x0902},   {0x093A, 0x093A},
    {0x093C, 0x093C},   {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957},   {0x0962, 0x0963},
    {0x0981, 0x0981},   {0x09BC, 0x09BC}, {0x09C1, 0x09C4}, {0x09CD, 0x09CD},   {0x09E2, 0x09E3},
    {0x0A01, 0x0A02},   {0x0A3C, 0x0A3C}, {0x0A41, 0x0A42}, {0x0A47, 0x0A48},   {0x0A4B, 0x0A4D},
    {0x0A70, 0x0A71},   {0x0A81, 0x0A82}, {0x0ABC, 0x0ABC}, {0x0AC1, 0x0AC5},   {0x0AC7, 0x0AC8},
    {0x0ACD, 0x0ACD},   {0x0B01, 0x0B01}, {0x0B3C, 0x0B3C}, {0x0B3F, 0x0B3F},   {0x0B41, 0x0B44},
    {0x0B4D, 0x0B4D},   {0x0BC0, 0x0BC0}, {0x0BCD, 0x0BCD}, {0x0C3E, 0x0C40},   {0x0C46, 0x0C48},
    {0x0C4A, 0x0C4D},   {0x0CBC, 0x0CBC}, {0x0CCC, 0x0CCD}, {0x0D41, 0x0D44},   {0x0D4D, 0x0D4D},
    {0x0DCA, 0x0DCA},   {0x0DD2, 0x0DD4}, {0x0DD6, 0x0DD6}, {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},
    {0x0E47, 0x0E4E},   {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC}, {0x0EC8, 0x0ECD},   {0x0F71, 0x0F7E},
    {0x0F80, 0x0F84},   {0x102D, 0x1030}, {0x1032, 0x1037}, {0x1039, 0x103A},   {0x1160, 0x11FF},
    {0x17B4, 0x17B5},   {0x17B7, 0x17BD}, {0x180B, 0x180D}, {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},
    {0x200B, 0x200F},   {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302D},   {0x3099, 0x309A},
    {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    {0xE0100, 0xE01EF},
};

// East Asian wide and fullwidth characters and the emoji shown as pictures:
// two columns. Sorted, not overlapping.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F202}, {0x1F210, 0x1F23B},
    {0x1F240, 0x1F248}, {0x1F250, 0x1F251}, {0x1F260, 0x1F265}, {0x1F300, 0x1F320},
    {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E},
    {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E},
    {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4},
    {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2},
    {0x1F6D5, 0x1F6D7}, {0x1F6DC, 0x1F6DF}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC},
    {0x1F7E0, 0x1F7EB}, {0x1F7F0, 0x1F7F0}, {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945},
    {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool InRanges(char32_t c, const Range (&ranges)[N]) {
  const Range* after = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                                        [](char32_t v, const Range& r) { return v < r.first; });
  return after != std::begin(ranges) && c <= std::prev(after)->last;
}

int Columns(char32_t c) {
  if (InRanges(c, kZeroWidth)) return 0;
  return InRanges(c, kWide) ? 2 : 1;
}

// The characters the display rule escapes (see the header).
bool ActsInsteadOfPrinting(char32_t c) {
  const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
  const bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                    (c >= 0x2066 && c <= 0x2069);
  const bool separator = c == 0x2028 || c == 0x2029;
  const bool noncharacter = (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
  return control || bidi || separator || noncharacter;
}

// The character at text[*at]: a valid UTF-8 sequence, or one byte read as
// Latin-1. Moves *at past it.
char32_t NextCharacter(std::string_view text, std::size_t* at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[*at + i]); };
  const std::size_t length = Utf8SequenceLength(text, *at);
  char32_t c = byte(0);
  if (length >= 2) {
    c = byte(0) & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (byte(i) & 0x3F);
  }
  *at += length == 0 ? 1 : length;
  return c;
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendEscape(std::string* out, char32_t c) {
  static constexpr char kHex[] = "0123456789abcdef";
  const int digits = c < 0x100 ? 2 : c < 0x10000 ? 4 : 8;
  *out += '\\';
  *out += digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) *out += kHex[(c >> shift) & 0xF];
}

// Calls unit(text, columns) for each character and each escape of the
// display form of `bytes`, in order, until it returns false.
template <typename Unit>
void ForEachUnit(std::string_view bytes, Unit unit) {
  std::string text;
  for (std::size_t at = 0; at < bytes.size();) {
    const char32_t c = NextCharacter(bytes, &at);
    text.clear();
    int columns;
    if (ActsInsteadOfPrinting(c)) {
      AppendEscape(&text, c);
      columns = static_cast<int>(text.size());
    } else {
      AppendUtf8(&text, c);
      columns = Columns(c);
    }
    if (!unit(text, columns)) return;
  }
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80;  // the allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // U+D800..U+DFFF are surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;  // a continuation byte, C0/C1 (always overlong) or F5..FF
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

std::string Utf8Text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) AppendUtf8(&out, NextCharacter(bytes, &at));
  return out;
}

std::string DisplayText(std::string_view bytes, std::size_t max_columns) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t used = 0;
  ForEachUnit(bytes, [&](const std::string& text, int columns) {
    const auto width = static_cast<std::size_t>(columns);
    if (width > max_columns - used) return false;
    used += width;
    out += text;
    return true;
  });
  return out;
}

std::string QuotedText(std::string_view bytes) {
  std::string out = "\"";
  ForEachUnit(bytes, [&](const std::string& text, int) {
    if (text == "\"" || text == "\\") out += '\\';
    out += text;
    return true;
  });
  return out + "\"";
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t columns = 0;
  ForEachUnit(text, [&](const std::string&, int width) {
    columns += static_cast<std::size_t>(width);
    return true;
  });
  return columns;
}
