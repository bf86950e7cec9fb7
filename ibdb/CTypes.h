// Values in the caller's C types: conversions between an entry's SQL type and ODBC's C types.
#pragma once

#include <cstdint>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB::detail {

constexpr int16_t kCChar = CChar;
constexpr int16_t kCBinary = CBinary;

// A code given to the bounded forms names a C type when it is below the first SQL type code.
constexpr bool IsCType(int16_t code) {
  return code < SQL_VARYING;
}
bool KnownCType(int16_t code);
// The size of a fixed-size C type; 0 for text and binary.
int32_t CTypeSize(int16_t code);
// Whether values of an entry's SQL type convert to (and from) a C type at all.
bool Convertible(int16_t sqltype, int16_t ctype);

// Why a value did not convert: a client error code, the value as text where the code's message
// names it (isc_convert_error), and what was refused.
// Filled only when a conversion fails, so that the paths that succeed do not clear it.
struct TRefusal {
  ISC_STATUS code;
  char value[48];
  char detail[96];
};

// Fills a refusal; false, for the checks that return it.
bool Refuse(TRefusal& why, ISC_STATUS code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Leaves a refusal in a statement's Status, naming the column or parameter (and the row of a
// parameter array when row > 0): "|<code's text>|parameter 3: <detail>". A refusal of the
// classic forms (named false) keeps the client's code alone, as it always read. False.
bool Report(TIbStmtRec* stmt, const TRefusal& why, bool column, int number, int64_t row = 0,
            bool named = true);

// A column's value (not NULL, not a blob) into the caller's buffer of max bytes as ctype; the
// full length goes to *length. 0, 1 (text cut, a fraction or a time lost), or -1 with why and
// nothing written.
int16_t ToC(const XSQLVAR& var, int16_t ctype, char* buffer, int32_t max, int32_t* length,
            TRefusal& why);
// ToC for entry of a statement's columns, a refusal left in the statement naming the column.
int16_t ColumnToC(TIbStmtRec* stmt, int32_t entry, int16_t ctype, char* buffer, int32_t max,
                  int32_t* length);

// A column's value as text (as ToC gives it with room enough) into text, which holds at least
// kValueTextSize bytes; for a text column a view of its characters. Its length, or -1 for a
// stored value that is none (a date the calendar does not have).
constexpr int32_t kValueTextSize = 64;
int32_t ValueText(const XSQLVAR& var, char* text, const char** view);

// A parameter's value of ctype (length bytes for text and binary) into data, a buffer of the
// entry's own form (sqllen bytes, two more for VARCHAR). False with why when it does not convert
// or does not fit; data may then hold part of it.
bool FromC(const XSQLVAR& var, int16_t ctype, const char* value, int64_t length, char* data,
           TRefusal& why);

// The days of a month (1 to 12) of a year.
inline int32_t DaysIn(int32_t y, int32_t m) {
  static constexpr int8_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0) ? 29 : kDays[m - 1];
}

// A real date of years 1 to 9999 (checked before) as the client's day: days from 1858-11-17.
inline ISC_DATE ClientDay(int year, int month, int day) {
  // Counted in years from March, so that a leap day ends its year.
  const auto y = static_cast<uint32_t>(year - (month <= 2 ? 1 : 0));
  const auto m = static_cast<uint32_t>(month > 2 ? month - 3 : month + 9);
  const uint32_t days =
      365 * y + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + static_cast<uint32_t>(day) - 1;
  return static_cast<ISC_DATE>(days) - 678881;  // 1858-11-17 is day 678881 of that count
}

// A real date and time of day in the client's timestamp form, as the client's own encoding
// gives it.
inline void EncodeStamp(int year, int month, int day, int hour, int minute, int second,
                        ISC_QUAD* stamp) {
  const ISC_QUAD value{
      ClientDay(year, month, day),
      static_cast<ISC_ULONG>((hour * 3600 + minute * 60 + second) * ISC_TIME_SECONDS_PRECISION)};
  std::memcpy(stamp, &value, sizeof(value));  // an entry's buffer in a block may lie at any byte
}

}  // namespace IbDB::detail
