// Text that came from the network (track and driver names) made safe for
// every place the pitwall tool shows it: the terminal, the text lines of
// `pitwall dump`, the SVG picture and the JSON. The host hands names over as
// bytes: mostly UTF-8, sometimes a Latin-1 code page, and possibly hostile
// (terminal escapes, bidirectional overrides, characters XML forbids). No
// view writes such text except through this module.
//
// The display rule, the same for every view:
// - Bytes are read as UTF-8. A byte that does not begin a valid sequence
//   (bad lead or continuation byte, overlong form, surrogate, above
//   U+10FFFF, cut short) is read as the Latin-1 character of its value, as
//   the JSON reads it, so a name in a Latin-1 code page reads the same on
//   the terminal as on the page.
// - A character that acts instead of printing is shown as a visible escape
//   of its code point in lower-case hex: \xHH below U+0100, \uHHHH up to
//   U+FFFF, \UHHHHHHHH above. Those are the C0 controls (tab and line feed
//   included), DEL and the C1 controls; the bidirectional controls U+061C,
//   U+200E, U+200F, U+202A to U+202E and U+2066 to U+2069; the line and
//   paragraph separators U+2028 and U+2029; and the noncharacters U+FDD0 to
//   U+FDEF and U+xxFFFE, U+xxFFFF of every plane.
// - Every other character (accents, CJK, emoji, combining marks) is kept.
// The display form is valid UTF-8 holding only characters XML 1.0 allows,
// none of which moves a terminal's cursor or changes the direction of the
// text around it. Applying the rule to its own output changes nothing.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_TEXT_SAFETY_H_
#define PITWALL_TOOLS_CLIENT_TEXT_SAFETY_H_

#include <cstddef>
#include <string>
#include <string_view>

// No limit on the columns of DisplayText.
inline constexpr std::size_t kAnyColumns = static_cast<std::size_t>(-1);

// Length of the valid UTF-8 sequence starting at text[at], or 0 when the
// bytes there are not one. ASCII counts as length 1. Requires at < size.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

// Valid UTF-8 for any bytes, read as the display rule reads them, with
// nothing escaped: for the JSON, whose writer escapes what JSON must.
std::string Utf8Text(std::string_view bytes);

// The display form of `bytes`, cut to at most `max_columns` terminal
// columns: the cut falls between whole characters and whole escapes, and
// stops before the first one that does not fit (with the zero-width
// characters after it).
std::string DisplayText(std::string_view bytes, std::size_t max_columns = kAnyColumns);

// The display form between double quotes, with '"' and '\' written as \"
// and \\: one token on a line, which tells a literal backslash from an
// escape.
std::string QuotedText(std::string_view bytes);

// The terminal columns of the display form of `text` (for display text, of
// itself): two for East Asian wide and fullwidth characters and emoji, none
// for combining marks and zero-width characters, one for the rest.
std::size_t DisplayWidth(std::string_view text);

#endif  // PITWALL_TOOLS_CLIENT_TEXT_SAFETY_H_
