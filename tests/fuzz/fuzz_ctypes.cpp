// Conversions between SQL and C types on random stored values and random caller values: nothing
// is read or written past a buffer (each a heap block of exactly its size), every result is 0, 1
// or -1, a refused value writes nothing, and a value that reached text or bytes whole stores the
// same bytes again.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "ibdb/CTypes.h"

namespace {

using namespace IbDB;

constexpr int16_t kSqlTypes[] = {SQL_VARYING,   SQL_TEXT,      SQL_SHORT,  SQL_LONG,
                                 SQL_INT64,     SQL_FLOAT,     SQL_DOUBLE, SQL_TIMESTAMP,
                                 SQL_TYPE_DATE, SQL_TYPE_TIME, SQL_BOOLEAN};
constexpr int16_t kCTypes[] = {CChar,    CLong,   CShort, CFloat, CDouble,   CBit,
                               CSBigInt, CBinary, CDate,  CTime,  CTimestamp};

int16_t FixedLength(int16_t type) {
  switch (type) {
    case SQL_SHORT:
      return 2;
    case SQL_LONG:
    case SQL_FLOAT:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
      return 4;
    case SQL_BOOLEAN:
      return 1;
    default:
      return 8;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  XSQLVAR var{};
  var.sqltype = kSqlTypes[in.ConsumeIntegralInRange<size_t>(0, std::size(kSqlTypes) - 1)];
  const bool text = var.sqltype == SQL_VARYING || var.sqltype == SQL_TEXT;
  var.sqllen = text ? in.ConsumeIntegralInRange<int16_t>(1, 40) : FixedLength(var.sqltype);
  if (var.sqltype == SQL_SHORT || var.sqltype == SQL_LONG || var.sqltype == SQL_INT64) {
    var.sqlscale = in.ConsumeIntegralInRange<int16_t>(-18, 0);
  }
  const int16_t ctype = kCTypes[in.ConsumeIntegralInRange<size_t>(0, std::size(kCTypes) - 1)];
  const auto entrySize = static_cast<size_t>(var.sqllen) + (var.sqltype == SQL_VARYING ? 2 : 0);
  auto stored = std::make_unique<char[]>(entrySize);
  const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(entrySize);
  if (!bytes.empty()) std::memcpy(stored.get(), bytes.data(), bytes.size());
  if (var.sqltype == SQL_VARYING) {
    const auto n = static_cast<uint16_t>(static_cast<uint8_t>(stored[0]) % (var.sqllen + 1));
    std::memcpy(stored.get(), &n, 2);
  }
  if (var.sqltype == SQL_BOOLEAN) stored[0] &= 1;
  var.sqldata = stored.get();

  // SQL to C, into a buffer of exactly its size.
  if (detail::Convertible(var.sqltype, ctype)) {
    const int32_t max =
        in.ConsumeIntegralInRange<int32_t>(std::max(detail::CTypeSize(ctype), 1), 80);
    auto buffer = std::make_unique<char[]>(static_cast<size_t>(max));
    std::memset(buffer.get(), '#', static_cast<size_t>(max));
    int32_t length = -7;
    detail::TRefusal why;
    const int16_t rc = detail::ToC(var, ctype, buffer.get(), max, &length, why);
    if (rc < -1 || rc > 1) std::abort();
    if (rc < 0 && (buffer[0] != '#' || length != -7)) std::abort();
    // Text, cut or whole, ends in a NUL within the buffer.
    if (rc >= 0 && ctype == CChar &&
        std::memchr(buffer.get(), '\0', static_cast<size_t>(max)) == nullptr) {
      std::abort();
    }
    // Whole text or bytes store the same value again; a double's text its exact bits, but for
    // NaN and infinities, which have no text, and -0, which comes back as 0.
    double real = 0;
    if (var.sqltype == SQL_DOUBLE) std::memcpy(&real, stored.get(), 8);
    if (var.sqltype == SQL_FLOAT) {
      float f;
      std::memcpy(&f, stored.get(), 4);
      real = f;
    }
    const bool exact = std::isfinite(real) && !(real == 0 && std::signbit(real));
    if (rc == 0 && (ctype == CChar || ctype == CBinary) && exact) {
      auto again = std::make_unique<char[]>(entrySize);
      if (!detail::FromC(var, ctype, buffer.get(), length, again.get(), why)) std::abort();
      const size_t compared =
          var.sqltype == SQL_VARYING ? 2 + *reinterpret_cast<uint16_t*>(stored.get()) : entrySize;
      if (std::memcmp(again.get(), stored.get(), compared) != 0) std::abort();
    }
  }

  // C to SQL: a random caller value into an entry buffer of exactly its size.
  const std::vector<uint8_t> value = in.ConsumeRemainingBytes<uint8_t>();
  const size_t fixed = static_cast<size_t>(detail::CTypeSize(ctype));
  if (detail::Convertible(var.sqltype, ctype) && value.size() >= fixed) {
    auto copy = std::make_unique<char[]>(std::max<size_t>(value.size(), 1));
    if (!value.empty()) std::memcpy(copy.get(), value.data(), value.size());
    auto target = std::make_unique<char[]>(entrySize);
    detail::TRefusal why;
    detail::FromC(var, ctype, copy.get(), static_cast<int64_t>(value.size()), target.get(), why);
  }
  return 0;
}
