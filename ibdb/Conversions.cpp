// Date text to and from the client's date, and whole blobs into caller memory.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "framework/SysUtils.h"
#include "ibdb/CTypes.h"
#include "ibdb/Internal.h"

namespace IbDB {

using detail::kDateTextLength;
using detail::kMaxSegmentSize;
using detail::Watch;
using IBAPI::Entries;

namespace {

void PutTwoDigits(char* at, int value) {
  at[0] = static_cast<char>('0' + value / 10);
  at[1] = static_cast<char>('0' + value % 10);
}

bool InRange(int value, int low, int high) {
  return value >= low && value <= high;
}

// The field of a date text from its start position: up to width characters, fewer where the
// terminator comes first, none where the text ends before the start.
std::string_view Field(const char* text, size_t length, size_t start, size_t width) {
  if (start >= length) return {};
  return {text + start, std::min(width, length - start)};
}

// A field of width characters that is leading blanks and then only digits, at least one, as the
// framework's conversion reads it.
bool ReadDigits(const char* field, int width, int& value) {
  int i = 0;
  while (i < width - 1 && field[i] == ' ') ++i;
  value = 0;
  for (; i < width; ++i) {
    if (field[i] < '0' || field[i] > '9') return false;
    value = value * 10 + (field[i] - '0');
  }
  return true;
}

}  // namespace

void IBDateToTM(const ISC_QUAD* date, char* text) {
  std::tm t{};
  Entries.isc_decode_date(date, &t);
  const long long month = t.tm_mon + 1LL;
  const long long year = t.tm_year + 1900LL;
  if (InRange(t.tm_mon, 0, 11) && InRange(t.tm_mday, 0, 99) && year >= 1000 && year <= 9999 &&
      InRange(t.tm_hour, 0, 99) && InRange(t.tm_min, 0, 99) && InRange(t.tm_sec, 0, 99)) {
    // The common case, laid out by hand: "MM/DD/YYYY hh:mm:ss".
    PutTwoDigits(text, static_cast<int>(month));
    text[2] = '/';
    PutTwoDigits(text + 3, t.tm_mday);
    text[5] = '/';
    PutTwoDigits(text + 6, static_cast<int>(year / 100));
    PutTwoDigits(text + 8, static_cast<int>(year % 100));
    text[10] = ' ';
    PutTwoDigits(text + 11, t.tm_hour);
    text[13] = ':';
    PutTwoDigits(text + 14, t.tm_min);
    text[16] = ':';
    PutTwoDigits(text + 17, t.tm_sec);
    text[19] = '\0';
    return;
  }
  char formatted[96];
  int n = std::snprintf(formatted, sizeof(formatted), "%2.2lld/%2.2d/%4lld %2.2d:%2.2d:%2.2d",
                        month, t.tm_mday, year, t.tm_hour, t.tm_min, t.tm_sec);
  size_t length = std::min<size_t>(static_cast<size_t>(std::max(n, 0)), kDateTextLength);
  std::memcpy(text, formatted, length);
  text[length] = '\0';
}

namespace {

// The six fields of the package's layout "MM/DD/YYYY hh:mm:ss" from 19 readable bytes, when
// each field is plain digits (four-digit year, no blanks): every digit checked in two 8-byte
// words and one 3-byte one. The separators are not read.
bool ReadPlainFields(const char* text, int (&f)[6]) {
  auto word = [text](int at, int n) {
    uint64_t w = 0;
    std::memcpy(&w, text + at, static_cast<size_t>(n));
    return w;
  };
  // A byte is a digit when it is at least '0' and adding 0x46 leaves it below 0x80.
  auto nonDigits = [](uint64_t w, uint64_t mask) {
    const uint64_t zeros = 0x3030303030303030ull & mask;
    const uint64_t high = 0x8080808080808080ull & mask;
    return (((w & mask) - zeros) | ((w & mask) + (0x4646464646464646ull & mask))) & high;
  };
  // Bytes 0-7 "MM/DD/YY", 8-15 "YY hh:mm", 16-18 ":ss" (little-endian words): the separators
  // masked out.
  static_assert(std::endian::native == std::endian::little);
  constexpr uint64_t kDigits = 0xFFFF00FFFF00FFFFull;
  constexpr uint64_t kLast = 0xFFFF00ull;
  const uint64_t w0 = word(0, 8), w1 = word(8, 8), w2 = word(16, 3);
  if ((nonDigits(w0, kDigits) | nonDigits(w1, kDigits) | nonDigits(w2, kLast)) != 0) {
    return false;
  }
  // Digit values in their bytes, then each byte times ten plus the next: the two-digit numbers
  // at bytes 0, 3 and 6 of a word.
  auto pairs = [](uint64_t w, uint64_t mask) {
    const uint64_t v = (w & mask) - (0x3030303030303030ull & mask);
    return v * 10 + (v >> 8);
  };
  const uint64_t p0 = pairs(w0, kDigits), p1 = pairs(w1, kDigits), p2 = pairs(w2, kLast);
  f[0] = static_cast<int>(p0 & 0xFF);
  f[1] = static_cast<int>(p0 >> 24 & 0xFF);
  f[2] = static_cast<int>((p0 >> 48 & 0xFF) * 100 + (p1 & 0xFF));
  f[3] = static_cast<int>(p1 >> 24 & 0xFF);
  f[4] = static_cast<int>(p1 >> 48 & 0xFF);
  f[5] = static_cast<int>(p2 >> 8 & 0xFF);
  return true;
}

// The six fields of a date text of length bytes, when each is digits, blanks before them.
bool ReadFields(const char* text, size_t length, int (&f)[6]) {
  if (length < static_cast<size_t>(kDateTextLength)) return false;
  return ReadPlainFields(text, f) ||
         (ReadDigits(text, 2, f[0]) && ReadDigits(text + 3, 2, f[1]) &&
          ReadDigits(text + 6, 4, f[2]) && ReadDigits(text + 11, 2, f[3]) &&
          ReadDigits(text + 14, 2, f[4]) && ReadDigits(text + 17, 2, f[5]));
}

// Month, day, year, hour, minute, second of a real date and time of day.
bool RealDate(const int (&f)[6]) {
  const int year = f[2];
  return InRange(f[0], 1, 12) && year >= 1 && year <= 9999 &&
         InRange(f[1], 1, detail::DaysIn(year, f[0])) && InRange(f[3], 0, 23) &&
         InRange(f[4], 0, 59) && InRange(f[5], 0, 59);
}

}  // namespace

bool detail::ValidDateText(const char* text, size_t size) {
  int fields[6];
  return ReadFields(text, strnlen(text, std::min<size_t>(size, kDateTextLength)), fields) &&
         RealDate(fields);
}

void IBTMToDate(ISC_QUAD* date, const char* text) {
  detail::DateTextToDate(date, text, 0);
}

void detail::DateTextToDate(ISC_QUAD* date, const char* text, size_t size) {
  int f[6];
  // A buffer known to hold the whole layout is read at once where no separator ends the text;
  // elsewhere the text is read only up to its NUL.
  const bool whole = size >= static_cast<size_t>(kDateTextLength) && text[2] != '\0' &&
                     text[5] != '\0' && text[10] != '\0' && text[13] != '\0' && text[16] != '\0' &&
                     ReadPlainFields(text, f);
  const size_t length =
      whole ? kDateTextLength
            : strnlen(text, size == 0 ? kDateTextLength : std::min<size_t>(size, kDateTextLength));
  if (!whole && !ReadFields(text, length, f)) {
    // Anything but plain digits goes through the framework's conversion, which raises.
    f[0] = Framework::StrToInt(Field(text, length, 0, 2));
    f[1] = Framework::StrToInt(Field(text, length, 3, 2));
    f[2] = Framework::StrToInt(Field(text, length, 6, 4));
    f[3] = Framework::StrToInt(Field(text, length, 11, 2));
    f[4] = Framework::StrToInt(Field(text, length, 14, 2));
    f[5] = Framework::StrToInt(Field(text, length, 17, 2));
  }
  // A date the calendar does not have is refused, never stored as another date.
  if (!RealDate(f)) {
    throw Framework::EConvertError("'" + std::string(text, length) + "' is not a valid date");
  }
  EncodeStamp(f[2], f[0], f[1], f[3], f[4], f[5], date);
}

int64_t detail::BlobLength(TIbStmtRec* stmt, isc_blob_handle* blob) {
  const ISC_SCHAR items[] = {isc_info_blob_total_length, isc_info_end};
  unsigned char answer[16] = {};
  if (Watch(stmt->Conn, stmt->Status,
            Entries.isc_blob_info(stmt->Status, blob, sizeof(items), items, sizeof(answer),
                                  reinterpret_cast<ISC_SCHAR*>(answer))) != 0) {
    return -1;
  }
  const unsigned size = answer[1] | answer[2] << 8u;
  if (answer[0] != isc_info_blob_total_length || size == 0 || size > 8) return -1;
  uint64_t length = 0;
  for (unsigned k = 0; k < size; ++k) length |= static_cast<uint64_t>(answer[3 + k]) << (8 * k);
  return static_cast<int64_t>(length);
}

void detail::DiscardBlob(TIbConnRec* conn, isc_blob_handle* blob) {
  ISC_STATUS scratch[20];
  if (*blob != 0 && conn->State.Lost == 0) Entries.isc_close_blob(scratch, blob);
  *blob = 0;
}

int64_t detail::ReadPieces(TIbStmtRec* stmt, isc_blob_handle* blob, char* buffer, int64_t room,
                           bool& ended) {
  int64_t filled = 0;
  ended = false;
  while (filled < room) {
    unsigned short length = 0;
    const auto ask = static_cast<unsigned short>(std::min<int64_t>(kMaxSegmentSize, room - filled));
    ISC_STATUS rc =
        Watch(stmt->Conn, stmt->Status,
              Entries.isc_get_segment(stmt->Status, blob, &length, ask, buffer + filled));
    filled += length;
    if (rc == isc_segstr_eof) {
      ended = true;
      break;
    }
    if (rc != 0 && rc != isc_segment) return -1;
  }
  return filled;
}

int64_t detail::ReadBlobInto(TIbStmtRec* stmt, const ISC_QUAD* id, char* buffer, int64_t room,
                             int64_t* total) {
  TIbConnRec* conn = stmt->Conn;
  isc_blob_handle blob = 0;
  if (conn->State.Lost != 0 ||
      Watch(conn, stmt->Status,
            Entries.isc_open_blob2(stmt->Status, &conn->DbHandle, &conn->TrHandle, &blob,
                                   const_cast<ISC_QUAD*>(id), 0, nullptr)) != 0) {
    return -1;
  }
  bool ended = false;
  int64_t read = ReadPieces(stmt, &blob, buffer, room, ended);
  // A full buffer leaves the rest unread: the client tells the length.
  *total = read >= 0 && !ended ? BlobLength(stmt, &blob) : read;
  if (read < 0 || *total < 0) {
    DiscardBlob(conn, &blob);
    return -1;
  }
  if (Watch(conn, stmt->Status, Entries.isc_close_blob(stmt->Status, &blob)) != 0) {
    DiscardBlob(conn, &blob);
    return -1;
  }
  return read;
}

int32_t IBBlobToPtr(TIbStmtRec* hstmt, const ISC_QUAD* blobId, void* buffer, int32_t segmentSize) {
  if (hstmt == nullptr || !detail::Live(hstmt) || hstmt->Conn == nullptr || blobId == nullptr ||
      buffer == nullptr || segmentSize < 1 || segmentSize > kMaxSegmentSize ||
      hstmt->Conn->State.Lost != 0) {
    return -1;
  }
  TIbConnRec* conn = hstmt->Conn;
  ISC_STATUS* status = hstmt->Status;  // a failed read explains itself through SQLError
  detail::TRunning running(conn, status);
  isc_blob_handle blob = 0;
  if (Watch(conn, status,
            Entries.isc_open_blob2(status, &conn->DbHandle, &conn->TrHandle, &blob,
                                   const_cast<ISC_QUAD*>(blobId), 0, nullptr)) != 0) {
    return -1;
  }
  auto* position = static_cast<ISC_SCHAR*>(buffer);
  int64_t total = 0;
  for (;;) {
    unsigned short length = 0;
    ISC_STATUS rc =
        Watch(conn, status,
              Entries.isc_get_segment(status, &blob, &length,
                                      static_cast<unsigned short>(segmentSize), position));
    position += length;
    total += length;
    if (rc == isc_segstr_eof) break;
    // A full segment (0) or the first part of a longer one (isc_segment) goes on.
    if (rc == 0 && total > INT32_MAX) detail::SetError(status, rc = isc_imp_exc);
    if (rc != 0 && rc != isc_segment) {
      detail::DiscardBlob(conn, &blob);
      return -1;
    }
  }
  if (Watch(conn, status, Entries.isc_close_blob(status, &blob)) != 0) return -1;
  return static_cast<int32_t>(total);
}

}  // namespace IbDB
