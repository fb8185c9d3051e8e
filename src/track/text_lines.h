// How this system reads the host simulator's text files (Config.ini, the
// ".gdb" track files and the ".aiw" waypoint files): lines, blanks, comments
// and key=value splitting.
//
// A line is the run of printable bytes (0x20 to 0x7E) up to the first byte
// that is not printable; that byte ends the line and is consumed. So a line
// feed, a carriage return, a tab, any other control byte, any byte of 0x80 or
// more and the end of the file all end a line, and a CR LF pair gives a line
// and an empty line. After its leading blanks, a line that is empty or begins
// with "#" or "//" is a comment. There are no comments after content.
//
// Letter case is compared in ASCII only (platform/ascii.h), and blanks are those of the classic
// locale, whatever locale the host process has set.
//
// Thread-safety: every function works only in its arguments and in buffers of
// its own call, so any number of threads may use them at once on different
// files.
#ifndef PITWALL_TRACK_TEXT_LINES_H_
#define PITWALL_TRACK_TEXT_LINES_H_

#include <cstdio>

#include "platform/ascii.h"

// A line holds at most kLineSize - 1 characters and its terminator.
inline constexpr int kLineSize = 1024;
using LineBuffer = char[kLineSize];
// A key holds at most kKeySize - 1 characters and its terminator.
inline constexpr int kKeySize = 128;
using KeyBuffer = char[kKeySize];

// True when no more can be read from `file`: its end-of-file indicator is
// set, or its error indicator is (a read error ends the file for the readers
// here, so that no scan waits for an end that never comes).
bool AtEnd(std::FILE* file);

// Reads one line of `file` into `line`, NUL-terminated, without the byte that
// ended it. When AtEnd(file) already holds, stores the empty line and reads
// nothing. A line longer than kLineSize - 1 characters keeps its first
// kLineSize - 1; the rest, up to the byte that ends the line, is read and
// dropped, so it never turns up as a line of its own.
void ReadLine(LineBuffer& line, std::FILE* file);

// The first character of `text` that is not a blank (space, tab, line feed,
// vertical tab, form feed, carriage return), or its terminator.
const char* SkipBlanks(const char* text);

// The first `c` in `text`, or the terminator when `c` does not occur. Never
// null.
const char* FindChar(const char* text, char c);

// False when `text` is null or empty, or begins with "#" or "//"; true
// otherwise. Apply it to the text after SkipBlanks().
bool IsContentLine(const char* text);

// Splits the key off a key=value line. The key runs from the first non-blank
// character up to, not including, the first "=" (blanks before the "=" are
// part of it). Returns true when an "=" ended the key, which is then in `key`,
// NUL-terminated. Returns false when the line is a comment (`key` untouched),
// when the line ends before any "=" (`key` holds the whole text), or when the
// key is longer than kKeySize - 1 characters (`key` holds its first
// kKeySize - 1): such a key matches no key, so its line is skipped.
bool SplitKey(const char* line, KeyBuffer& key);

// Scans `file` forward from its current position for the first content line
// whose text, after its blanks, begins with `name` (after the blanks of
// `name`), letter case ignored, over the length of `name`. True leaves the
// file just after that line; false when `name` is null or empty or the file
// ends first. When `matched_line` is given, the whole matched line (with its
// leading blanks) is copied into it.
bool FindSection(const char* name, std::FILE* file, LineBuffer* matched_line = nullptr);

// Reads on from the position of `file` to its next key=value line (see
// SplitKey()): true with the line in `line` and its key in `key`; false when
// the file ends first.
bool ReadKeyLine(std::FILE* file, LineBuffer& line, KeyBuffer& key);

// The value of a key=value line: the text after its first "=", less its
// leading blanks (trailing blanks kept); null when there is no "=" or nothing
// after it.
const char* LineValue(const char* line);

#endif  // PITWALL_TRACK_TEXT_LINES_H_
