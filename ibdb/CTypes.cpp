// Conversions between the entries' SQL types and the callers' C types, by ODBC's rules: text as
// isql-fb prints values, exact decimals, dates as dates.
#include "ibdb/CTypes.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace IbDB::detail {

using IBAPI::BaseType;

namespace {

constexpr int32_t kUnitsPerSecond = ISC_TIME_SECONDS_PRECISION;  // the client's 1/10000 s
constexpr uint32_t kNanosPerUnit = 1000000000u / kUnitsPerSecond;
constexpr int32_t kEpochShift = 40587;  // 1858-11-17, the client's day 0, from 1970-01-01
constexpr int kMaxPlaces = 18;          // the finest scale of a column: NUMERIC(18,18)

// A value between its SQL and C forms.
struct TValue {
  enum Kind : uint8_t { kInt, kReal, kText, kDate, kTime, kStamp, kBool } kind = kInt;
  bool single = false;  // kReal: a FLOAT
  int16_t scale = 0;    // kInt: the value is i * 10^scale
  int64_t i = 0;        // kInt; kBool 0 or 1
  double d = 0;
  const char* s = nullptr;  // kText
  size_t n = 0;
  int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint32_t nanos = 0;
};

// --- dates ---------------------------------------------------------------------------------

void CivilFromDays(int64_t z, TValue& v) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  v.day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  v.month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  v.year = static_cast<int32_t>(yoe + era * 400 + (v.month <= 2));
}

// Dates the client stores: years 1 to 9999, real days; times of one day.
bool ValidDate(const TValue& v) {
  return v.year >= 1 && v.year <= 9999 && v.month >= 1 && v.month <= 12 && v.day >= 1 &&
         v.day <= DaysIn(v.year, v.month);
}
bool ValidTime(const TValue& v) {
  return v.hour >= 0 && v.hour <= 23 && v.minute >= 0 && v.minute <= 59 && v.second >= 0 &&
         v.second <= 59 && v.nanos < 1000000000u;
}

ISC_DATE EncodeDate(const TValue& v) {
  return ClientDay(v.year, v.month, v.day);
}
ISC_TIME EncodeTime(const TValue& v) {
  return static_cast<ISC_TIME>((v.hour * 3600 + v.minute * 60 + v.second) * kUnitsPerSecond +
                               static_cast<int32_t>(v.nanos / kNanosPerUnit));
}
void DecodeDate(ISC_DATE date, TValue& v) {
  CivilFromDays(static_cast<int64_t>(date) - kEpochShift, v);
}
void DecodeTime(ISC_TIME time, TValue& v) {
  const uint32_t seconds = time / kUnitsPerSecond;
  v.hour = static_cast<int32_t>(seconds / 3600);
  v.minute = static_cast<int32_t>(seconds / 60 % 60);
  v.second = static_cast<int32_t>(seconds % 60);
  v.nanos = time % kUnitsPerSecond * kNanosPerUnit;
}

void Today(TValue& v) {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  v.year = t.tm_year + 1900;
  v.month = t.tm_mon + 1;
  v.day = t.tm_mday;
}

// --- text ----------------------------------------------------------------------------------

char* PutDigits(char* at, uint32_t value, int width) {
  for (int k = width - 1; k >= 0; --k) {
    at[k] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at + width;
}

char* PutDate(char* at, const TValue& v) {
  at = PutDigits(at, static_cast<uint32_t>(v.year), 4);
  *at++ = '-';
  at = PutDigits(at, static_cast<uint32_t>(v.month), 2);
  *at++ = '-';
  return PutDigits(at, static_cast<uint32_t>(v.day), 2);
}

char* PutTime(char* at, const TValue& v) {
  at = PutDigits(at, static_cast<uint32_t>(v.hour), 2);
  *at++ = ':';
  at = PutDigits(at, static_cast<uint32_t>(v.minute), 2);
  *at++ = ':';
  at = PutDigits(at, static_cast<uint32_t>(v.second), 2);
  *at++ = '.';
  return PutDigits(at, v.nanos / kNanosPerUnit, 4);
}

// A scaled integer as exact decimal text: 1999 at scale -2 is "19.99", -5 at -2 "-0.05".
char* PutDecimal(char* at, int64_t value, int16_t scale) {
  char digits[24];
  const uint64_t magnitude =
      value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), magnitude);
  auto count = static_cast<int>(end - digits);
  if (value < 0) *at++ = '-';
  if (scale >= 0) {
    std::memcpy(at, digits, static_cast<size_t>(count));
    at += count;
    for (int k = 0; k < scale && magnitude != 0; ++k) *at++ = '0';
    return at;
  }
  const int places = -scale;
  if (count <= places) {
    *at++ = '0';
    *at++ = '.';
    for (int k = count; k < places; ++k) *at++ = '0';
    std::memcpy(at, digits, static_cast<size_t>(count));
    return at + count;
  }
  std::memcpy(at, digits, static_cast<size_t>(count - places));
  at += count - places;
  *at++ = '.';
  std::memcpy(at, digits + count - places, static_cast<size_t>(places));
  return at + places;
}

// A value other than text as text, into out (kValueTextSize bytes). Its length; least is the
// shortest cut that keeps the value readable (ODBC refuses a shorter one).
int32_t Format(const TValue& v, char* out, int32_t& least) {
  char* end = out;
  switch (v.kind) {
    case TValue::kInt:
      end = PutDecimal(out, v.i, v.scale);
      least = static_cast<int32_t>(std::find(out, end, '.') - out);
      return static_cast<int32_t>(end - out);
    case TValue::kReal:
      if (v.scale < 0 && v.scale >= -kMaxPlaces && std::isfinite(v.d) && std::fabs(v.d) < 1e18) {
        end = out + std::snprintf(out, kValueTextSize, "%.*f", -v.scale, v.d);
        least = static_cast<int32_t>(std::find(out, end, '.') - out);
        return static_cast<int32_t>(end - out);
      }
      end = v.single ? std::to_chars(out, out + kValueTextSize, static_cast<float>(v.d)).ptr
                     : std::to_chars(out, out + kValueTextSize, v.d).ptr;
      least = std::find(out, end, 'e') != end
                  ? static_cast<int32_t>(end - out)
                  : static_cast<int32_t>(std::find(out, end, '.') - out);
      return static_cast<int32_t>(end - out);
    case TValue::kDate:
      end = PutDate(out, v);
      break;
    case TValue::kTime:
      end = PutTime(out, v);
      least = 8;
      return static_cast<int32_t>(end - out);
    case TValue::kStamp:
      end = PutDate(out, v);
      *end++ = ' ';
      end = PutTime(end, v);
      least = 10;
      return static_cast<int32_t>(end - out);
    case TValue::kBool:
      end = v.i != 0 ? std::copy_n("TRUE", 4, out) : std::copy_n("FALSE", 5, out);
      break;
    case TValue::kText:
      break;
  }
  least = static_cast<int32_t>(end - out);
  return least;
}

const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  return p;
}
const char* TrimEnd(const char* p, const char* end) {
  while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\0')) --end;
  return end;
}

// Reads width digits (at least one, at most width) at p; false when there are none.
bool Digits(const char*& p, const char* end, int width, int32_t& value, bool exact = false) {
  value = 0;
  int k = 0;
  for (; k < width && p < end && *p >= '0' && *p <= '9'; ++k) value = value * 10 + (*p++ - '0');
  return exact ? k == width : k > 0;
}

bool Expect(const char*& p, const char* end, char c) {
  if (p >= end || *p != c) return false;
  ++p;
  return true;
}

// "hh:mm[:ss[.fffffffff]]"
bool ParseTime(const char*& p, const char* end, TValue& v) {
  if (!Digits(p, end, 2, v.hour) || !Expect(p, end, ':') || !Digits(p, end, 2, v.minute, true)) {
    return false;
  }
  if (p < end && *p == ':') {
    ++p;
    if (!Digits(p, end, 2, v.second, true)) return false;
    if (p < end && *p == '.') {
      ++p;
      uint32_t nanos = 0;
      int k = 0;
      for (; p < end && *p >= '0' && *p <= '9'; ++k, ++p) {
        if (k >= 9) return false;  // finer than a nanosecond
        nanos = nanos * 10 + static_cast<uint32_t>(*p - '0');
      }
      if (k == 0) return false;
      for (; k < 9; ++k) nanos *= 10;
      v.nanos = nanos;
    }
  }
  return true;
}

// A date or time text: "YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss[.f]]" (or with 'T'), "hh:mm[:ss[.f]]",
// and the package's "MM/DD/YYYY hh:mm:ss". The kind found goes to v; false for anything else,
// an impossible date or time included.
bool ParseDateText(const char* text, size_t length, TValue& v) {
  const char* end = TrimEnd(text, text + length);
  const char* p = SkipBlanks(text, end);
  v = TValue{};
  int32_t first = 0;
  const char* start = p;
  if (!Digits(p, end, 4, first)) return false;
  if (p < end && *p == ':') {  // a time of day
    p = start;
    v.kind = TValue::kTime;
    return ParseTime(p, end, v) && p == end && ValidTime(v);
  }
  if (p < end && *p == '/') {  // MM/DD/YYYY
    v.month = first;
    if (p - start > 2 || !Expect(p, end, '/') || !Digits(p, end, 2, v.day) ||
        !Expect(p, end, '/') || !Digits(p, end, 4, v.year, true)) {
      return false;
    }
  } else {
    v.year = first;
    if (p - start != 4 || !Expect(p, end, '-') || !Digits(p, end, 2, v.month) ||
        !Expect(p, end, '-') || !Digits(p, end, 2, v.day)) {
      return false;
    }
  }
  v.kind = TValue::kDate;
  if (p < end && (*p == ' ' || *p == 'T')) {
    p = SkipBlanks(p + 1, end);
    v.kind = TValue::kStamp;
    if (!ParseTime(p, end, v)) return false;
  }
  return p == end && ValidDate(v) && ValidTime(v);
}

// A number text: an exact decimal where its digits fit 64 bits (kInt with its scale), else a
// double (kReal); false for anything that is not a number.
bool ParseNumber(const char* text, size_t length, TValue& v) {
  const char* end = TrimEnd(text, text + length);
  const char* p = SkipBlanks(text, end);
  if (p == end) return false;
  const char* start = p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t mantissa = 0;
  int scale = 0;
  bool exact = true, point = false, any = false;
  for (; p < end; ++p) {
    if (*p == '.' && !point) {
      point = true;
      continue;
    }
    if (*p < '0' || *p > '9') break;
    any = true;
    if (!exact) continue;
    uint64_t next = 0;
    if (__builtin_mul_overflow(mantissa, 10u, &next) ||
        __builtin_add_overflow(next, static_cast<uint64_t>(*p - '0'), &next)) {
      exact = false;  // more digits than 64 bits hold: read as a double
      continue;
    }
    mantissa = next;
    if (point) --scale;
  }
  while (exact && scale < 0 && mantissa % 10 == 0 && mantissa != 0) {  // 1.500 is 15 at -1
    mantissa /= 10;
    ++scale;
  }
  if (mantissa == 0) scale = 0;
  // Digits finer than any column's scale go the way of a double, which refuses or rounds them.
  exact = exact && scale >= -kMaxPlaces &&
          mantissa <= static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0);
  if (!any) return false;
  if (p == end && exact) {
    v = TValue{};
    v.kind = TValue::kInt;
    v.i = static_cast<int64_t>(negative ? uint64_t{0} - mantissa : mantissa);
    v.scale = static_cast<int16_t>(scale);
    return true;
  }
  if (p < end && *p != 'e' && *p != 'E') return false;
  double d = 0;
  const char* from = *start == '+' ? start + 1 : start;
  const auto [stop, ec] = std::from_chars(from, end, d);
  if (ec != std::errc() || stop != end || !std::isfinite(d)) return false;
  v = TValue{};
  v.kind = TValue::kReal;
  v.d = d;
  return true;
}

bool EqualsNoCase(const char* p, const char* end, const char* word) {
  const size_t n = std::strlen(word);
  if (static_cast<size_t>(end - p) != n) return false;
  for (size_t k = 0; k < n; ++k) {
    if ((p[k] & ~0x20) != word[k]) return false;
  }
  return true;
}

// --- refusals ------------------------------------------------------------------------------

// A text value that is not what it should be: the conversion error with the text in it.
bool RefuseText(TRefusal& why, const char* text, size_t length, const char* what) {
  const size_t n = std::min(length, sizeof(why.value) - 1);
  std::memcpy(why.value, text, n);
  why.value[n] = '\0';
  return Refuse(why, isc_convert_error, "not %s", what);
}

bool OutOfRange(TRefusal& why, const char* what) {
  return Refuse(why, isc_numeric_out_of_range, "the value does not fit %s", what);
}

// --- numbers -------------------------------------------------------------------------------

constexpr int64_t kPow10[] = {1,
                              10,
                              100,
                              1000,
                              10000,
                              100000,
                              1000000,
                              10000000,
                              100000000,
                              1000000000,
                              10000000000,
                              100000000000,
                              1000000000000,
                              10000000000000,
                              100000000000000,
                              1000000000000000,
                              10000000000000000,
                              100000000000000000,
                              1000000000000000000};

// An exact decimal at another scale: false when digits would be lost (lost tells whether only
// fraction digits were) or the value overflows 64 bits.
bool Rescale(int64_t value, int16_t from, int16_t to, int64_t& out, bool& lost) {
  lost = false;
  if (from == to || value == 0) {
    out = value;
    return true;
  }
  if (from < to) {  // fewer places: digits drop
    const int k = to - from;
    if (k > 18) {
      out = 0;
      lost = true;
      return false;
    }
    out = value / kPow10[k];
    lost = value % kPow10[k] != 0;
    return !lost;
  }
  const int k = from - to;
  if (k > 18 || __builtin_mul_overflow(value, kPow10[k], &out)) return false;
  return true;
}

// The value as a number: kInt exact, or kReal; false for values that are not numbers.
bool AsNumber(const TValue& v, TValue& n, TRefusal& why) {
  switch (v.kind) {
    case TValue::kInt:
    case TValue::kReal:
      n = v;
      return true;
    case TValue::kBool:
      n = TValue{};
      n.i = v.i;
      return true;
    case TValue::kText:
      if (ParseNumber(v.s, v.n, n)) return true;
      return RefuseText(why, v.s, v.n, "a number");
    default:
      return Refuse(why, isc_dsql_datatype_err, "a date or time is not a number");
  }
}

// A number as an integer of [low, high]: its value truncated toward zero, lost telling whether a
// fraction went.
bool AsInteger(const TValue& n, int64_t low, int64_t high, int64_t& out, bool& lost, TRefusal& why,
               const char* what) {
  lost = false;
  if (n.kind == TValue::kReal) {
    if (!std::isfinite(n.d) || n.d <= static_cast<double>(low) - 1 ||
        n.d >= static_cast<double>(high) + 1) {
      return OutOfRange(why, what);
    }
    const double t = std::trunc(n.d);
    out = static_cast<int64_t>(t);
    lost = t != n.d;
  } else if (n.scale < 0) {
    const int k = -n.scale;
    out = k > 18 ? 0 : n.i / kPow10[k];
    lost = k > 18 ? n.i != 0 : n.i % kPow10[k] != 0;
  } else if (n.scale > 18 || __builtin_mul_overflow(n.i, kPow10[n.scale], &out)) {
    return n.i == 0 ? (out = 0, true) : OutOfRange(why, what);
  }
  if (out < low || out > high) return OutOfRange(why, what);
  return true;
}

double AsDouble(const TValue& n) {
  if (n.kind == TValue::kReal) return n.d;
  char text[kValueTextSize];
  const char* end = PutDecimal(text, n.i, n.scale);
  double d = 0;
  std::from_chars(text, end, d);  // correctly rounded
  return d;
}

// Whether a double rounds to a finite float: below FLT_MAX and half its last unit, which is
// where rounding goes to infinity (-3.4028235e+38, the text of -FLT_MAX, rounds to it).
bool FitsFloat(double d) {
  return std::fabs(d) < 0x1.ffffffp127;
}

// A number as a float: a decimal straight from its digits, correctly rounded.
float AsFloat(const TValue& n) {
  if (n.kind == TValue::kReal) return static_cast<float>(n.d);
  char text[kValueTextSize];
  const char* end = PutDecimal(text, n.i, n.scale);
  float f = 0;
  std::from_chars(text, end, f);
  return f;
}

// A number as an exact decimal at scale: doubles through their shortest text.
bool AsScaled(const TValue& n, int16_t scale, int64_t& out, TRefusal& why, const char* what) {
  TValue exact = n;
  if (n.kind == TValue::kReal) {  // its shortest text, without an exponent
    char text[kValueTextSize];
    const auto [end, ec] =
        n.single ? std::to_chars(text, text + sizeof(text), static_cast<float>(n.d),
                                 std::chars_format::fixed)
                 : std::to_chars(text, text + sizeof(text), n.d, std::chars_format::fixed);
    if (!std::isfinite(n.d) || ec != std::errc() ||
        !ParseNumber(text, static_cast<size_t>(end - text), exact) || exact.kind != TValue::kInt) {
      return OutOfRange(why, what);
    }
  }
  bool lost = false;
  if (!Rescale(exact.i, exact.scale, scale, out, lost)) {
    if (lost) {
      return Refuse(why, isc_numeric_out_of_range, "more than %d digits after the point",
                    -std::min<int>(scale, 0));
    }
    return OutOfRange(why, what);
  }
  return true;
}

// --- SQL side ------------------------------------------------------------------------------

template <typename T>
T Load(const char* data) {
  T value;
  std::memcpy(&value, data, sizeof(value));
  return value;
}
template <typename T>
void Store(char* data, T value) {
  std::memcpy(data, &value, sizeof(value));
}

// The value an entry holds.
bool LoadEntry(const XSQLVAR& var, TValue& v) {
  const char* data = var.sqldata;
  v = TValue{};
  switch (BaseType(var.sqltype)) {
    case SQL_VARYING:
      v.kind = TValue::kText;
      v.s = data + 2;
      v.n = std::min<size_t>(Load<uint16_t>(data), static_cast<size_t>(var.sqllen));
      return true;
    case SQL_TEXT:
      v.kind = TValue::kText;
      v.s = data;
      v.n = static_cast<size_t>(var.sqllen);
      return true;
    case SQL_SHORT:
      v.i = Load<int16_t>(data);
      v.scale = var.sqlscale;
      return std::abs(v.scale) <= kMaxPlaces;
    case SQL_LONG:
      v.i = Load<int32_t>(data);
      v.scale = var.sqlscale;
      return std::abs(v.scale) <= kMaxPlaces;
    case SQL_INT64:
      v.i = Load<int64_t>(data);
      v.scale = var.sqlscale;
      return std::abs(v.scale) <= kMaxPlaces;
    case SQL_FLOAT:
      v.kind = TValue::kReal;
      v.single = true;
      v.d = Load<float>(data);
      return true;
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      v.kind = TValue::kReal;
      v.d = Load<double>(data);
      v.scale = var.sqlscale;  // a NUMERIC of dialect 1 prints with its places
      return true;
    case SQL_TIMESTAMP: {  // what the client could not hold in a date is none
      const auto stamp = Load<ISC_TIMESTAMP>(data);
      v.kind = TValue::kStamp;
      DecodeDate(stamp.timestamp_date, v);
      DecodeTime(stamp.timestamp_time, v);
      return ValidDate(v) && ValidTime(v);
    }
    case SQL_TYPE_DATE:
      v.kind = TValue::kDate;
      DecodeDate(Load<ISC_DATE>(data), v);
      return ValidDate(v);
    case SQL_TYPE_TIME:
      v.kind = TValue::kTime;
      DecodeTime(Load<ISC_TIME>(data), v);
      return ValidTime(v);
    case SQL_BOOLEAN:
      v.kind = TValue::kBool;
      v.i = data[0] != 0 ? 1 : 0;
      return true;
    default:
      return false;
  }
}

// The date, time or timestamp a value holds (text parsed), or false.
bool AsDateTime(const TValue& v, TValue& out, TRefusal& why) {
  if (v.kind == TValue::kText) {
    if (ParseDateText(v.s, v.n, out)) return true;
    return RefuseText(why, v.s, v.n, "a date or time (YYYY-MM-DD hh:mm:ss.ffff)");
  }
  if (v.kind == TValue::kDate || v.kind == TValue::kTime || v.kind == TValue::kStamp) {
    out = v;
    return true;
  }
  return Refuse(why, isc_dsql_datatype_err, "a number is not a date or time");
}

bool StoreText(const XSQLVAR& var, const char* text, size_t length, char* data, TRefusal& why) {
  const auto room = static_cast<size_t>(std::max<ISC_SHORT>(var.sqllen, 0));
  if (length > room) {
    return Refuse(why, isc_string_truncation, "%zu bytes for a column of %zu", length, room);
  }
  if (BaseType(var.sqltype) == SQL_VARYING) {
    Store(data, static_cast<uint16_t>(length));
    std::memcpy(data + 2, text, length);
  } else {
    std::memcpy(data, text, length);
    std::memset(data + length, (var.sqlsubtype & 0xFF) == 1 ? '\0' : ' ', room - length);
  }
  return true;
}

// A value into an entry's own form.
bool StoreEntry(const XSQLVAR& var, const TValue& v, char* data, TRefusal& why) {
  const int16_t type = BaseType(var.sqltype);
  switch (type) {
    case SQL_VARYING:
    case SQL_TEXT: {
      if (v.kind == TValue::kText) return StoreText(var, v.s, v.n, data, why);
      char text[kValueTextSize];
      int32_t least = 0;
      const int32_t n = Format(v, text, least);
      return StoreText(var, text, static_cast<size_t>(n), data, why);
    }
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64: {
      TValue n;
      int64_t scaled = 0;
      if (!AsNumber(v, n, why) || !AsScaled(n, var.sqlscale, scaled, why, "the column")) {
        return false;
      }
      if (type == SQL_SHORT) {
        if (scaled < INT16_MIN || scaled > INT16_MAX) return OutOfRange(why, "a SMALLINT");
        Store(data, static_cast<int16_t>(scaled));
      } else if (type == SQL_LONG) {
        if (scaled < INT32_MIN || scaled > INT32_MAX) return OutOfRange(why, "an INTEGER");
        Store(data, static_cast<int32_t>(scaled));
      } else {
        Store(data, scaled);
      }
      return true;
    }
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: {
      TValue n;
      if (!AsNumber(v, n, why)) return false;
      const double d = AsDouble(n);
      if (!std::isfinite(d)) return OutOfRange(why, "a DOUBLE PRECISION");
      if (type != SQL_FLOAT) {
        Store(data, d);
        return true;
      }
      if (!FitsFloat(d)) return OutOfRange(why, "a FLOAT");
      Store(data, AsFloat(n));
      return true;
    }
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: {
      TValue t;
      if (!AsDateTime(v, t, why)) return false;
      if (t.nanos % kNanosPerUnit != 0) {
        return Refuse(why, isc_time_range_exceeded, "a fraction of a second finer than 0.0001");
      }
      if (type == SQL_TYPE_TIME) {
        if (t.kind == TValue::kDate) return Refuse(why, isc_dsql_datatype_err, "a date for a TIME");
        Store(data, EncodeTime(t));
        return true;
      }
      if (t.kind == TValue::kTime) {
        if (type == SQL_TYPE_DATE) return Refuse(why, isc_dsql_datatype_err, "a time for a DATE");
        Today(t);  // ODBC: a time alone stands on today's date
      }
      if (type == SQL_TYPE_DATE) {
        if (t.hour != 0 || t.minute != 0 || t.second != 0 || t.nanos != 0) {
          return Refuse(why, isc_date_range_exceeded, "a time of day for a DATE");
        }
        Store(data, EncodeDate(t));
        return true;
      }
      Store(data, ISC_TIMESTAMP{EncodeDate(t), EncodeTime(t)});
      return true;
    }
    case SQL_BOOLEAN: {
      if (v.kind == TValue::kText) {
        const char* end = TrimEnd(v.s, v.s + v.n);
        const char* p = SkipBlanks(v.s, end);
        if (EqualsNoCase(p, end, "TRUE") || (end - p == 1 && *p == '1')) {
          data[0] = 1;
        } else if (EqualsNoCase(p, end, "FALSE") || (end - p == 1 && *p == '0')) {
          data[0] = 0;
        } else {
          return RefuseText(why, v.s, v.n, "TRUE or FALSE");
        }
        return true;
      }
      TValue n;
      int64_t i = 0;
      bool lost = false;
      if (!AsNumber(v, n, why) || !AsInteger(n, 0, 1, i, lost, why, "a BOOLEAN")) return false;
      if (lost) return OutOfRange(why, "a BOOLEAN");
      data[0] = static_cast<char>(i);
      return true;
    }
    default:
      return Refuse(why, isc_dsql_datatype_err, "type %d takes no converted value", var.sqltype);
  }
}

// --- C side --------------------------------------------------------------------------------

// The caller's value of a C type.
bool LoadC(int16_t ctype, const char* value, int64_t length, TValue& v, TRefusal& why) {
  v = TValue{};
  switch (ctype) {
    case CChar:
      v.kind = TValue::kText;
      v.s = value;
      v.n = static_cast<size_t>(length);
      return true;
    case CShort:
      v.i = Load<int16_t>(value);
      return true;
    case CLong:
      v.i = Load<int32_t>(value);
      return true;
    case CSBigInt:
      v.i = Load<int64_t>(value);
      return true;
    case CBit:
      v.i = static_cast<uint8_t>(value[0]);
      if (v.i > 1) return Refuse(why, isc_numeric_out_of_range, "a bit of %d", value[0]);
      return true;
    case CFloat:
      v.kind = TValue::kReal;
      v.single = true;
      v.d = Load<float>(value);
      return true;
    case CDouble:
      v.kind = TValue::kReal;
      v.d = Load<double>(value);
      return true;
    case CDate: {
      const auto d = Load<TDateStruct>(value);
      v.kind = TValue::kDate;
      v.year = d.year;
      v.month = d.month;
      v.day = d.day;
      break;
    }
    case CTime: {
      const auto t = Load<TTimeStruct>(value);
      v.kind = TValue::kTime;
      v.hour = t.hour;
      v.minute = t.minute;
      v.second = t.second;
      if (!ValidTime(v)) return Refuse(why, isc_time_range_exceeded, "an impossible time");
      return true;
    }
    case CTimestamp: {
      const auto t = Load<TTimestampStruct>(value);
      v.kind = TValue::kStamp;
      v.year = t.year;
      v.month = t.month;
      v.day = t.day;
      v.hour = t.hour;
      v.minute = t.minute;
      v.second = t.second;
      v.nanos = t.fraction;
      if (!ValidTime(v)) return Refuse(why, isc_time_range_exceeded, "an impossible time");
      break;
    }
    default:
      return Refuse(why, isc_dsql_datatype_err, "C type %d", ctype);
  }
  if (!ValidDate(v)) {
    return Refuse(why, isc_date_range_exceeded, "an impossible date %d-%d-%d", v.year, v.month,
                  v.day);
  }
  return true;
}

// A value into the caller's C type.
int16_t StoreC(const TValue& v, int16_t ctype, char* buffer, int32_t max, int32_t* length,
               TRefusal& why) {
  int16_t result = 0;
  auto put = [&](auto value) {
    std::memcpy(buffer, &value, sizeof(value));
    if (length != nullptr) *length = static_cast<int32_t>(sizeof(value));
    return result;
  };
  switch (ctype) {
    case CChar: {
      char formatted[kValueTextSize];
      const char* text = v.s;
      int32_t n = static_cast<int32_t>(std::min<size_t>(v.n, INT32_MAX));
      int32_t least = 0;
      if (v.kind != TValue::kText) {
        n = Format(v, formatted, least);
        text = formatted;
        if (max - 1 < least) {
          Refuse(why, isc_string_truncation, "%d characters for a buffer of %d", n, max);
          return -1;
        }
      }
      const int32_t copied = std::min(n, max - 1);
      std::memcpy(buffer, text, static_cast<size_t>(copied));
      buffer[copied] = '\0';
      if (length != nullptr) *length = n;
      return copied < n ? 1 : 0;
    }
    case CShort:
    case CLong:
    case CSBigInt:
    case CBit: {
      TValue n;
      if (!AsNumber(v, n, why)) return -1;
      int64_t i = 0;
      bool lost = false;
      const int64_t low = ctype == CShort ? INT16_MIN : ctype == CLong ? INT32_MIN : INT64_MIN;
      const int64_t high = ctype == CShort  ? INT16_MAX
                           : ctype == CLong ? INT32_MAX
                           : ctype == CBit  ? 1
                                            : INT64_MAX;
      const char* what = ctype == CShort  ? "a 16-bit integer"
                         : ctype == CLong ? "a 32-bit integer"
                         : ctype == CBit  ? "a bit"
                                          : "a 64-bit integer";
      if (!AsInteger(n, ctype == CBit ? 0 : low, high, i, lost, why, what)) return -1;
      result = lost ? 1 : 0;
      if (ctype == CShort) return put(static_cast<int16_t>(i));
      if (ctype == CLong) return put(static_cast<int32_t>(i));
      if (ctype == CBit) return put(static_cast<uint8_t>(i));
      return put(i);
    }
    case CFloat:
    case CDouble: {
      TValue n;
      if (!AsNumber(v, n, why)) return -1;
      const double d = AsDouble(n);
      if (ctype == CDouble) return put(d);
      if (std::isfinite(d) && !FitsFloat(d)) {
        OutOfRange(why, "a float");
        return -1;
      }
      return put(AsFloat(n));
    }
    case CDate:
    case CTime:
    case CTimestamp: {
      TValue t;
      if (!AsDateTime(v, t, why)) return -1;
      if (ctype == CDate) {
        if (t.kind == TValue::kTime) {
          Refuse(why, isc_dsql_datatype_err, "a time is not a date");
          return -1;
        }
        result = t.kind == TValue::kStamp &&
                         (t.hour != 0 || t.minute != 0 || t.second != 0 || t.nanos != 0)
                     ? 1
                     : 0;
        return put(TDateStruct{static_cast<int16_t>(t.year), static_cast<uint16_t>(t.month),
                               static_cast<uint16_t>(t.day)});
      }
      if (ctype == CTime) {
        if (t.kind == TValue::kDate) {
          Refuse(why, isc_dsql_datatype_err, "a date is not a time");
          return -1;
        }
        result = t.nanos != 0 ? 1 : 0;
        return put(TTimeStruct{static_cast<uint16_t>(t.hour), static_cast<uint16_t>(t.minute),
                               static_cast<uint16_t>(t.second)});
      }
      if (t.kind == TValue::kTime) Today(t);
      return put(TTimestampStruct{static_cast<int16_t>(t.year), static_cast<uint16_t>(t.month),
                                  static_cast<uint16_t>(t.day), static_cast<uint16_t>(t.hour),
                                  static_cast<uint16_t>(t.minute), static_cast<uint16_t>(t.second),
                                  t.nanos});
    }
    default:
      Refuse(why, isc_dsql_datatype_err, "C type %d", ctype);
      return -1;
  }
}

// The bytes an entry holds as stored: a text's characters, every other type its own bytes.
const char* StoredBytes(const XSQLVAR& var, int32_t& n) {
  if (BaseType(var.sqltype) == SQL_VARYING) {
    n = std::min<int32_t>(Load<uint16_t>(var.sqldata), var.sqllen);
    return var.sqldata + 2;
  }
  n = var.sqllen;
  return var.sqldata;
}

}  // namespace

bool Refuse(TRefusal& why, ISC_STATUS code, const char* format, ...) {
  why.code = code;
  va_list args;
  va_start(args, format);
  std::vsnprintf(why.detail, sizeof(why.detail), format, args);
  va_end(args);
  return false;
}

bool KnownCType(int16_t code) {
  switch (code) {
    case CChar:
    case CLong:
    case CShort:
    case CFloat:
    case CDouble:
    case CBit:
    case CSBigInt:
    case CBinary:
    case CDate:
    case CTime:
    case CTimestamp:
      return true;
    default:
      return false;
  }
}

int32_t CTypeSize(int16_t code) {
  switch (code) {
    case CLong:
    case CFloat:
      return 4;
    case CShort:
      return 2;
    case CDouble:
    case CSBigInt:
      return 8;
    case CBit:
      return 1;
    case CDate:
    case CTime:
      return 6;
    case CTimestamp:
      return static_cast<int32_t>(sizeof(TTimestampStruct));
    default:
      return 0;
  }
}

bool Convertible(int16_t sqltype, int16_t ctype) {
  if (!KnownCType(ctype)) return false;
  const bool bytes = ctype == CChar || ctype == CBinary;
  const bool date = ctype == CDate || ctype == CTime || ctype == CTimestamp;
  switch (BaseType(sqltype)) {
    case SQL_VARYING:
    case SQL_TEXT:
      return true;  // to numbers and dates when the text is one
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
    case SQL_BOOLEAN:
      return !date;
    case SQL_TIMESTAMP:
      return date || bytes;
    case SQL_TYPE_DATE:
      return ctype == CDate || ctype == CTimestamp || bytes;
    case SQL_TYPE_TIME:
      return ctype == CTime || ctype == CTimestamp || bytes;
    case SQL_BLOB:
      return bytes;
    default:  // arrays and the rest: their bytes as stored
      return ctype == CBinary;
  }
}

bool Report(TIbStmtRec* stmt, const TRefusal& why, bool column, int number, int64_t row,
            bool named) {
  char* text = stmt->Message;
  const size_t size = sizeof(stmt->Message);
  const char* side = column ? "column" : "parameter";
  const int n = row > 0 ? std::snprintf(text, size, "%s %d, row %lld: %s", side, number,
                                        static_cast<long long>(row), why.detail)
                        : std::snprintf(text, size, "%s %d: %s", side, number, why.detail);
  ISC_STATUS* status = stmt->Status;
  int k = 0;
  status[k++] = isc_arg_gds;
  status[k++] = why.code;
  if (why.code == isc_convert_error) {  // its text names the value
    char* value = text + std::min<size_t>(static_cast<size_t>(std::max(n, 0)) + 1, size - 1);
    const size_t room = size - static_cast<size_t>(value - text);
    std::snprintf(value, room, "%s", why.value);
    status[k++] = isc_arg_string;
    status[k++] = reinterpret_cast<ISC_STATUS>(value);
  }
  if (named) {
    status[k++] = isc_arg_gds;
    status[k++] = isc_random;
    status[k++] = isc_arg_string;
    status[k++] = reinterpret_cast<ISC_STATUS>(text);
  }
  status[k] = isc_arg_end;
  return false;
}

int16_t ToC(const XSQLVAR& var, int16_t ctype, char* buffer, int32_t max, int32_t* length,
            TRefusal& why) {
  if (ctype == CBinary) {
    int32_t n = 0;
    const char* bytes = StoredBytes(var, n);
    const int16_t type = BaseType(var.sqltype);
    if (n > max && type != SQL_VARYING && type != SQL_TEXT) {  // a number is never cut
      Refuse(why, isc_string_truncation, "%d bytes for a buffer of %d", n, max);
      return -1;
    }
    const int32_t copied = std::min(n, max);
    std::memcpy(buffer, bytes, static_cast<size_t>(copied));
    if (length != nullptr) *length = n;
    return copied < n ? 1 : 0;
  }
  TValue v;
  if (!LoadEntry(var, v)) {
    Refuse(why, isc_dsql_datatype_err, "no value of type %d in a C type", var.sqltype);
    return -1;
  }
  return StoreC(v, ctype, buffer, max, length, why);
}

int16_t ColumnToC(TIbStmtRec* stmt, int32_t entry, int16_t ctype, char* buffer, int32_t max,
                  int32_t* length) {
  TRefusal why;
  const int16_t rc = ToC(stmt->OutSqlda->sqlvar[entry], ctype, buffer, max, length, why);
  if (rc < 0) Report(stmt, why, true, entry + 1);
  return rc;
}

int32_t ValueText(const XSQLVAR& var, char* text, const char** view) {
  TValue v;
  *view = text;
  if (!LoadEntry(var, v)) return -1;
  if (v.kind == TValue::kText) {
    *view = v.s;
    return static_cast<int32_t>(v.n);
  }
  int32_t least = 0;
  return Format(v, text, least);
}

bool FromC(const XSQLVAR& var, int16_t ctype, const char* value, int64_t length, char* data,
           TRefusal& why) {
  if (ctype == CBinary) {
    const int16_t type = BaseType(var.sqltype);
    if (type == SQL_VARYING || type == SQL_TEXT) {
      return StoreText(var, value, static_cast<size_t>(length), data, why);
    }
    if (length != var.sqllen) {
      return Refuse(why, isc_string_truncation, "%lld bytes for a value of %d",
                    static_cast<long long>(length), var.sqllen);
    }
    std::memcpy(data, value, static_cast<size_t>(length));
    return true;
  }
  TValue v;
  return LoadC(ctype, value, length, v, why) && StoreEntry(var, v, data, why);
}

}  // namespace IbDB::detail
