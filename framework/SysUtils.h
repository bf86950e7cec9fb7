// String, conversion and clock services of the host-framework layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Framework {

// Raised by the conversions for text that does not hold a value of the asked type.
class EConvertError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Decimal integer: leading blanks, an optional sign, one or more digits and nothing after.
int32_t StrToInt(std::string_view text);
std::string IntToStr(int64_t value);

// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Bounded copy and append of NUL-terminated strings: dest receives at most maxLen characters in
// all, then a NUL, so it needs maxLen + 1 bytes.
char* StrLCopy(char* dest, const char* source, size_t maxLen);
char* StrLCat(char* dest, const char* source, size_t maxLen);

// Milliseconds of the monotonic clock; wraps modulo 2^32.
uint32_t GetTickCount();

// The clock that GetTickCount reads, for tests; nil restores the monotonic clock. Returns the
// previous one.
using TTickSource = uint32_t (*)();
TTickSource SetTickSource(TTickSource source);

}  // namespace Framework
