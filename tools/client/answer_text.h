// Text forms of decoded answers for the pitwall tool: the one-line plain
// form, and the number and string formats that the timing tower and
// the SVG writer share. Numbers never depend on the C locale.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_ANSWER_TEXT_H_
#define PITWALL_TOOLS_CLIENT_ANSWER_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "pitwall_client.h"

// Length of the valid UTF-8 sequence starting at text[at], or 0 when the
// bytes there are not one (bad lead byte, missing or bad continuation,
// overlong form, surrogate, above U+10FFFF). ASCII counts as length 1.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

// Valid UTF-8 for any bytes: valid sequences are kept, every byte of an
// invalid one is read as Latin-1. Control characters are kept.
std::string Utf8Text(std::string_view text);

// Text safe to print on a terminal or put in XML: valid UTF-8 is kept,
// control characters become '?', bytes outside valid UTF-8 are read as
// Latin-1 (their C1 controls also become '?'). The result is valid UTF-8.
std::string PrintableText(std::string_view text);

// Code points in valid UTF-8 text: its width in terminal columns for text
// without wide or combining characters.
std::size_t DisplayWidth(std::string_view utf8);
// The first `columns` code points of valid UTF-8 text.
std::string TruncateColumns(std::string_view utf8, std::size_t columns);

// `value` with `decimals` digits after the point ("3.142"); "nan", "inf" or
// "-inf" when not finite.
std::string FixedText(double value, int decimals);
// A lap time as "m:ss.mmm" ("1:25.250"); "--" unless 0 < seconds < 1e6.
std::string LapTimeText(float seconds);
// A session clock as "m:ss" or "h:mm:ss"; "--" unless 0 <= seconds < 1e7.
std::string ClockText(float seconds);

// One line without newline, e.g.
// "handshake mask=0x00 version=1 status=0".
std::string AnswerLine(const Answer& answer);

#endif  // PITWALL_TOOLS_CLIENT_ANSWER_TEXT_H_
