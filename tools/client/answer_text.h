// Text forms of decoded answers for the pitwall tool: the one-line plain
// form, and the number formats that the timing tower and the SVG writer
// share. Numbers never depend on the C locale; names go through
// text_safety.h.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_ANSWER_TEXT_H_
#define PITWALL_TOOLS_CLIENT_ANSWER_TEXT_H_

#include <string>

#include "pitwall_client.h"

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
