// Parameters, inlined into the loops that send them: a row's value checked, then put into an
// entry of an input area.
#pragma once

#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB::detail {

constexpr uint8_t kNullFlag = 1;
constexpr int32_t kNullTerminated = -3;  // ODBC's SQL_NTS
constexpr int kOctets = 1;               // the character set whose blank is a zero byte

// Creates a blob from the caller's bytes and leaves its id in the entry's buffer.
bool WriteBlob(TIbStmtRec* stmt, ISC_QUAD* id, const char* bytes, int64_t total, int32_t segment);

// The length of a bounded text or blob parameter's value in a row, by ODBC's rules (the length
// variable when it holds 0 to the buffer's size; up to a NUL or the buffer's end when it is nil
// or holds -3), or -1 for any other length.
inline int64_t ParamLength(const TBindSlot& slot, int64_t row) {
  const char* data = static_cast<const char*>(slot.Node->Data) + row * slot.ValueMax;
  const int32_t* length = slot.Length != nullptr ? slot.Length + row : nullptr;
  if (length != nullptr && *length >= 0 && *length <= slot.ValueMax) return *length;
  if (length != nullptr && *length != kNullTerminated) return -1;
  return static_cast<int64_t>(strnlen(data, static_cast<size_t>(slot.ValueMax)));
}

// Why a parameter's value in a row cannot be sent, or 0.
inline ISC_STATUS CheckParam(const XSQLVAR& var, const TBindSlot& slot, int64_t row) {
  if (slot.Node == nullptr) return isc_dsql_sqlda_err;  // a described parameter is not bound
  if (slot.NullFlag[row] == kNullFlag) return 0;
  const int16_t type = IBAPI::BaseType(var.sqltype);
  const int64_t limit = std::max<ISC_SHORT>(var.sqllen, 0);
  if (slot.ValueMax == 0) {  // classic form
    if (type == SQL_VARYING &&
        strnlen(static_cast<const char*>(slot.Node->Data), static_cast<size_t>(limit) + 1) >
            static_cast<size_t>(limit)) {
      return isc_string_truncation;
    }
    if (type == SQL_BLOB && (slot.Node->SizePtr == nullptr || slot.Node->Size < 1)) {
      return isc_dsql_sqlda_value_err;
    }
    return 0;
  }
  if (type != SQL_VARYING && type != SQL_TEXT && type != SQL_BLOB) return 0;
  const int64_t length = ParamLength(slot, row);
  if (length < 0) return isc_dsql_sqlda_value_err;
  return type != SQL_BLOB && length > limit ? isc_string_truncation : 0;
}

// Puts the value of a row into target, an entry of an input area: its indicator, and its data
// converted or pointed at; false when a blob could not be written.
inline bool PutParam(TIbStmtRec* stmt, const XSQLVAR& var, const TBindSlot& slot, int64_t row,
                     XSQLVAR& target) {
  if (slot.NullFlag[row] == kNullFlag) {
    *target.sqlind = -1;
    return true;
  }
  *target.sqlind = 0;
  const bool bounded = slot.ValueMax != 0;
  const char* data = static_cast<const char*>(slot.Node->Data) + row * slot.ValueMax;
  switch (IBAPI::BaseType(var.sqltype)) {
    case SQL_VARYING: {
      const auto length =
          static_cast<uint16_t>(bounded ? ParamLength(slot, row) : std::strlen(data));
      std::memcpy(target.sqldata, &length, sizeof(length));
      std::memcpy(target.sqldata + sizeof(length), data, length);
      return true;
    }
    case SQL_TEXT:
      if (bounded) {  // padded with blanks, never read past the caller's buffer
        const auto length = static_cast<size_t>(ParamLength(slot, row));
        const char blank = (var.sqlsubtype & 0xFF) == kOctets ? '\0' : ' ';
        std::memcpy(target.sqldata, data, length);
        std::memset(target.sqldata + length, blank, static_cast<size_t>(var.sqllen) - length);
      } else {
        target.sqldata = const_cast<char*>(data);  // read in place
      }
      return true;
    case SQL_DATE:
      if (bounded) {  // the text need not be terminated when it fills the buffer
        char text[kDateTextLength + 1] = {};
        std::memcpy(text, data, std::min<size_t>(kDateTextLength, slot.ValueMax));
        IBTMToDate(reinterpret_cast<ISC_QUAD*>(target.sqldata), text);
      } else {
        IBTMToDate(reinterpret_cast<ISC_QUAD*>(target.sqldata), data);
      }
      return true;
    case SQL_BLOB: {
      auto* id = reinterpret_cast<ISC_QUAD*>(target.sqldata);
      if (bounded) return WriteBlob(stmt, id, data, ParamLength(slot, row), kMaxSegmentSize);
      return WriteBlob(stmt, id, data, *slot.Node->SizePtr, slot.Node->Size);
    }
    default:
      target.sqldata = const_cast<char*>(data);  // the client reads the caller's value in place
      return true;
  }
}

}  // namespace IbDB::detail
