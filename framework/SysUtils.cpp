#include "framework/SysUtils.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace Framework {

int32_t StrToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t firstDigit = i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) break;
  }
  if (i == firstDigit || i != text.size() || (!negative && value > INT32_MAX) ||
      value > int64_t{INT32_MAX} + 1) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return static_cast<int32_t>(negative ? -value : value);
}

std::string IntToStr(int64_t value) {
  return std::to_string(value);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  std::string result;
  if (n < 0) {
    va_end(copy);
    return result;
  }
  if (static_cast<size_t>(n) < sizeof(small)) {
    result.assign(small, static_cast<size_t>(n));
  } else {
    result.resize(static_cast<size_t>(n));
    std::vsnprintf(result.data(), result.size() + 1, format, copy);
  }
  va_end(copy);
  return result;
}

char* StrLCopy(char* dest, const char* source, size_t maxLen) {
  size_t n = strnlen(source, maxLen);
  std::memcpy(dest, source, n);
  dest[n] = '\0';
  return dest;
}

char* StrLCat(char* dest, const char* source, size_t maxLen) {
  size_t used = strnlen(dest, maxLen);
  StrLCopy(dest + used, source, maxLen - used);
  return dest;
}

namespace {

uint32_t MonotonicTicks() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  auto ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

std::atomic<TTickSource> tickSource{MonotonicTicks};

}  // namespace

uint32_t GetTickCount() {
  return tickSource.load(std::memory_order_relaxed)();
}

TTickSource SetTickSource(TTickSource source) {
  return tickSource.exchange(source != nullptr ? source : MonotonicTicks);
}

}  // namespace Framework
