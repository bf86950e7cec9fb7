// Execution: bound parameters into the input area, then the client's execute.
#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB {

using detail::Watch;
using IBAPI::BaseType;
using IBAPI::Entries;

namespace {

constexpr uint8_t kNullFlag = 1;
constexpr int32_t kNullTerminated = -3;  // ODBC's SQL_NTS
constexpr int32_t kMaxSegmentSize = 65535;
constexpr size_t kDateTextLength = 19;
constexpr int kOctets = 1;  // the character set whose blank is a zero byte

// Creates a blob from the caller's bytes and leaves its id in the entry's buffer.
bool WriteBlob(TIbStmtRec* stmt, ISC_QUAD* id, const char* bytes, int64_t total, int32_t segment) {
  TIbConnRec* conn = stmt->Conn;
  isc_blob_handle blob = 0;
  if (Watch(conn, stmt->Status,
            Entries.isc_create_blob(stmt->Status, &conn->DbHandle, &conn->TrHandle, &blob, id)) !=
      0) {
    return false;
  }
  ISC_STATUS rc = 0;
  for (int64_t offset = 0; offset < total && rc == 0; offset += segment) {
    auto length = static_cast<unsigned short>(std::min<int64_t>(segment, total - offset));
    rc = Watch(conn, stmt->Status,
               Entries.isc_put_segment(stmt->Status, &blob, length, bytes + offset));
  }
  ISC_STATUS scratch[20];
  if (rc != 0) {
    // Keeps the write's error in Status; nothing more goes to a lost attachment.
    if (conn->State.Lost == 0) Entries.isc_close_blob(scratch, &blob);
    return false;
  }
  if (Watch(conn, stmt->Status, Entries.isc_close_blob(stmt->Status, &blob)) != 0) {
    if (conn->State.Lost == 0) Entries.isc_close_blob(scratch, &blob);
    return false;
  }
  return true;
}

}  // namespace

int64_t detail::ParamLength(const TBindSlot& slot, int64_t row) {
  const char* data = static_cast<const char*>(slot.Node->Data) + row * slot.ValueMax;
  const int32_t* length = slot.Length != nullptr ? slot.Length + row : nullptr;
  if (length != nullptr && *length >= 0 && *length <= slot.ValueMax) return *length;
  if (length != nullptr && *length != kNullTerminated) return -1;
  return static_cast<int64_t>(strnlen(data, static_cast<size_t>(slot.ValueMax)));
}

ISC_STATUS detail::CheckParam(const XSQLVAR& var, const TBindSlot& slot, int64_t row) {
  if (slot.Node == nullptr) return isc_dsql_sqlda_err;  // a described parameter is not bound
  if (slot.NullFlag[row] == kNullFlag) return 0;
  const int16_t type = BaseType(var.sqltype);
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

bool detail::PutParam(TIbStmtRec* stmt, const XSQLVAR& var, const TBindSlot& slot, int64_t row,
                      XSQLVAR& target) {
  if (slot.NullFlag[row] == kNullFlag) {
    *target.sqlind = -1;
    return true;
  }
  *target.sqlind = 0;
  const bool bounded = slot.ValueMax != 0;
  const char* data = static_cast<const char*>(slot.Node->Data) + row * slot.ValueMax;
  switch (BaseType(var.sqltype)) {
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

int16_t SQLExecute(TIbStmtRec* hstmt) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  detail::ReleaseHeld(hstmt);
  if (hstmt->ParamRows > 1) return detail::ExecuteRows(hstmt);
  if (hstmt->RowReached != nullptr) *hstmt->RowReached = 1;
  const bool withParams = hstmt->HasParamMarkers == 1;
  XSQLDA* in = hstmt->InSqlda;
  const TBindIndex& index = hstmt->ParamIndex;
  if (withParams && in->sqld > 0) {
    ISC_STATUS refusal = index.Slots == nullptr ? isc_dsql_sqlda_err : 0;
    for (int32_t i = 0; i < in->sqld && refusal == 0; ++i) {
      refusal = detail::CheckParam(in->sqlvar[i], index.Slots[i], 0);
    }
    if (refusal != 0) {
      detail::SetError(hstmt->Status, refusal);
      return -1;
    }
  }
  TIbConnRec* conn = hstmt->Conn;
  detail::TRunning running(conn, hstmt->Status, hstmt->QueryTimeout);
  // Opened before the parameters, so that blobs are created in the transaction that executes.
  if (!detail::StartIfNone(hstmt)) return -1;
  if (withParams) {
    for (int32_t i = 0; i < in->sqld; ++i) {
      XSQLVAR& var = in->sqlvar[i];
      if (!detail::PutParam(hstmt, var, index.Slots[i], 0, var)) return -1;
    }
  }
  if (Watch(conn, hstmt->Status,
            Entries.isc_dsql_execute(hstmt->Status, &conn->TrHandle, &hstmt->StmtHandle,
                                     SQLDA_VERSION1, withParams ? in : nullptr)) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace IbDB
