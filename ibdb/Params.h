// Parameters, inlined into the loops that send them: a row's value checked, then put into an
// entry of an input area.
#pragma once

#include <algorithm>
#include <cstring>

#include "ibdb/CTypes.h"

namespace IbDB::detail {

constexpr uint8_t kNullFlag = 1;
constexpr int32_t kNullTerminated = -3;  // ODBC's SQL_NTS
constexpr int kOctets = 1;               // the character set whose blank is a zero byte

// ODBC's lengths of a value given at execution: -2, and -100 - n for one of n bytes.
constexpr bool IsAtExec(int32_t length) {
  return length == -2 || length <= -100;
}

// Creates a blob from the caller's bytes and leaves its id in the entry's buffer.
bool WriteBlob(TIbStmtRec* stmt, ISC_QUAD* id, const char* bytes, int64_t total, int32_t segment);
// Writes bytes to an open blob in segments of at most segment bytes; false with the error in
// the statement's Status.
bool PutSegments(TIbStmtRec* stmt, isc_blob_handle* blob, const char* bytes, int64_t total,
                 int32_t segment);

// One execution of the statement's parameters as bound: checked, put, executed. 99 when
// parameters wait for data at execution (the sequence then begins).
int16_t ExecuteOnce(TIbStmtRec* stmt);
// A parameter of the execution being checked waits for data at execution.
void WantData(TIbStmtRec* stmt, int32_t entry);

// A blob already written: its id into the entry.
inline bool PutBlobId(XSQLVAR& target, const char* id) {
  std::memcpy(target.sqldata, id, sizeof(ISC_QUAD));
  return true;
}

// The caller's value of a row.
inline const char* ParamData(const TBindSlot& slot, int64_t row) {
  return static_cast<const char*>(slot.Node->Data) + row * slot.ValueMax;
}

// The length of a bounded text or blob parameter's value in a row, by ODBC's rules (the length
// variable when it holds 0 to the buffer's size; up to a NUL or the buffer's end when it is nil
// or holds -3), or -1 for any other length.
inline int64_t ParamLength(const TBindSlot& slot, int64_t row) {
  const char* data = ParamData(slot, row);
  const int32_t* length = slot.Length != nullptr ? slot.Length + row : nullptr;
  if (length != nullptr && *length >= 0 && *length <= slot.ValueMax) return *length;
  if (length != nullptr && *length != kNullTerminated) return -1;
  return static_cast<int64_t>(strnlen(data, static_cast<size_t>(slot.ValueMax)));
}

// Whether parameter i's value in a row can be sent, for the values that need more than their
// binding: a length, a conversion, a date text in an array. A refusal is left in the statement.
bool CheckValue(TIbStmtRec* stmt, int32_t i, int64_t row, bool array);

// Whether parameter i's value in a row can be sent: converted values are converted into the
// entry's own buffer to see. A refusal is left in the statement, naming the parameter (and the
// row, in an array); one of the classic form keeps the client's code alone, as it always read.
inline bool CheckParam(TIbStmtRec* stmt, int32_t i, int64_t row, bool array) {
  TBindSlot* slots = stmt->ParamIndex.Slots;
  if (slots == nullptr || slots[i].Node == nullptr) return CheckValue(stmt, i, row, array);
  TBindSlot& slot = slots[i];
  if (slot.Length != nullptr && IsAtExec(slot.Length[row]) && slot.NullFlag[row] != kNullFlag) {
    return CheckValue(stmt, i, row, array);
  }
  const uint8_t check = slot.Check;
  // A date text is read when it is sent, but for an array, where all is checked first.
  if (check == kCheckNothing || (check == kCheckDateText && !array) ||
      slot.NullFlag[row] == kNullFlag) {
    return true;
  }
  // Text that fits, the common case, here.
  const int64_t limit = stmt->InSqlda->sqlvar[i].sqllen;
  if (check == kCheckLength) {
    const int64_t length = ParamLength(slot, row);
    slot.Checked = static_cast<int32_t>(length);  // for the single execution that follows
    if (length >= 0 && length <= limit) return true;
  }
  if (check == kCheckClassicText) {
    const size_t length = strnlen(ParamData(slot, row), static_cast<size_t>(limit) + 1);
    slot.Checked = static_cast<int32_t>(length);
    if (length <= static_cast<size_t>(limit)) return true;
  }
  return CheckValue(stmt, i, row, array);
}

// Puts the value of a row into target, an entry of an input area: its indicator, and its data
// converted or pointed at; false when a blob could not be written. With checked, the row's
// check has just run for this very target: a value of a C type is in it already, and a text's
// length is the one the check found.
inline bool PutParam(TIbStmtRec* stmt, const XSQLVAR& var, const TBindSlot& slot, int64_t row,
                     XSQLVAR& target, bool checked = false) {
  if (slot.NullFlag[row] == kNullFlag) {
    // Sent as NULL whatever the description: the client reads the indicator of a nullable type
    // only, and would otherwise send the buffer's stale value.
    target.sqltype |= 1;
    *target.sqlind = -1;
    return true;
  }
  *target.sqlind = 0;
  const bool bounded = slot.ValueMax != 0;
  const char* data = ParamData(slot, row);
  if (slot.CType != 0) {  // into the entry's own buffer, checked before
    if (IBAPI::BaseType(var.sqltype) == SQL_BLOB) {
      if (slot.Check == kCheckBlobId) return PutBlobId(target, data);
      return WriteBlob(stmt, reinterpret_cast<ISC_QUAD*>(target.sqldata), data,
                       ParamLength(slot, row), kMaxSegmentSize);
    }
    if (checked) return true;
    TRefusal why;
    const bool bytes = slot.CType == kCChar || slot.CType == kCBinary;
    if (FromC(var, slot.CType, data, bytes ? ParamLength(slot, row) : CTypeSize(slot.CType),
              target.sqldata, why)) {
      return true;
    }
    Report(stmt, why, false, static_cast<int>(&var - stmt->InSqlda->sqlvar) + 1);
    return false;
  }
  // A text's length, as its check found it when that ran just now.
  auto textLength = [&]() -> int64_t {
    if (checked) return slot.Checked;
    return bounded ? ParamLength(slot, row) : static_cast<int64_t>(std::strlen(data));
  };
  switch (IBAPI::BaseType(var.sqltype)) {
    case SQL_VARYING: {
      const auto length = static_cast<uint16_t>(textLength());
      std::memcpy(target.sqldata, &length, sizeof(length));
      std::memcpy(target.sqldata + sizeof(length), data, length);
      return true;
    }
    case SQL_TEXT:
      if (bounded) {  // padded with blanks, never read past the caller's buffer
        const auto length = static_cast<size_t>(std::clamp<int64_t>(textLength(), 0, var.sqllen));
        const char blank = (var.sqlsubtype & 0xFF) == kOctets ? '\0' : ' ';
        std::memcpy(target.sqldata, data, length);
        if (length < static_cast<size_t>(var.sqllen)) {
          std::memset(target.sqldata + length, blank, static_cast<size_t>(var.sqllen) - length);
        }
      } else {
        target.sqldata = const_cast<char*>(data);  // read in place
      }
      return true;
    case SQL_DATE:
      // A bounded text need not be terminated when it fills the buffer.
      DateTextToDate(reinterpret_cast<ISC_QUAD*>(target.sqldata), data,
                     bounded ? static_cast<size_t>(slot.ValueMax) : 0);
      return true;
    case SQL_BLOB: {
      auto* id = reinterpret_cast<ISC_QUAD*>(target.sqldata);
      if (slot.Check == kCheckBlobId) return PutBlobId(target, data);
      if (bounded) return WriteBlob(stmt, id, data, ParamLength(slot, row), kMaxSegmentSize);
      return WriteBlob(stmt, id, data, *slot.Node->SizePtr, slot.Node->Size);
    }
    default:
      target.sqldata = const_cast<char*>(data);  // the client reads the caller's value in place
      return true;
  }
}

}  // namespace IbDB::detail
