// Reading a plain value out of a byte buffer at any offset, aligned or not.
#ifndef PITWALL_READ_AT_H_
#define PITWALL_READ_AT_H_

#include <cstddef>
#include <cstring>
#include <type_traits>

// The value of type T whose bytes start `offset` bytes into `base`.
// REQUIRES: the buffer holds at least offset + sizeof(T) bytes.
template <typename T>
inline T ReadAt(const unsigned char* base, std::size_t offset) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, base + offset, sizeof(T));
  return value;
}

#endif  // PITWALL_READ_AT_H_
