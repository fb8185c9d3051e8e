// Any bytes as a text from outside for the log, escaped into a buffer of any
// size: the result fits the buffer, holds no control character, and reads
// back (escapes undone) as the start of the text, cut only between
// characters.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "log/log.h"

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the buffer's size; the rest, up to a NUL, is the text.
  const std::size_t room = 1 + data[0] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 1),
                         strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
  char out[64 + 1];
  out[room] = '#';
  EscapeForLog(text.c_str(), out, room);
  if (out[room] != '#') __builtin_trap();  // wrote past the buffer
  const std::size_t length = strnlen(out, room);
  if (length == room) __builtin_trap();  // no NUL inside the buffer
  std::string back;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7F) __builtin_trap();
    if (c == 0xC2 && i + 1 < length && static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(out[i + 1]) <= 0x9F) {
      __builtin_trap();  // a C1 control in UTF-8
    }
    if (out[i] == '\\' && i + 3 < length && out[i + 1] == 'x' && IsHex(out[i + 2]) &&
        IsHex(out[i + 3]) && text.compare(back.size(), 1, "\\") != 0) {
      back += static_cast<char>(HexValue(out[i + 2]) * 16 + HexValue(out[i + 3]));
      i += 3;
    } else {
      back += out[i];
    }
  }
  if (text.compare(0, back.size(), back) != 0) __builtin_trap();
  return 0;
}
