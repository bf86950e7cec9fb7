// Execution: bound parameters into the input area, then the client's execute.
#include <algorithm>
#include <cstring>

#include "ibdb/Params.h"

namespace IbDB {

using detail::Watch;
using IBAPI::Entries;

bool detail::WriteBlob(TIbStmtRec* stmt, ISC_QUAD* id, const char* bytes, int64_t total,
                       int32_t segment) {
  TIbConnRec* conn = stmt->Conn;
  isc_blob_handle blob = 0;
  if (Watch(conn, stmt->Status,
            Entries.isc_create_blob(stmt->Status, &conn->DbHandle, &conn->TrHandle, &blob, id)) !=
      0) {
    return false;
  }
  // A failed write or close keeps its error in Status; nothing more goes to a lost attachment.
  if (!PutSegments(stmt, &blob, bytes, total, segment) ||
      Watch(conn, stmt->Status, Entries.isc_close_blob(stmt->Status, &blob)) != 0) {
    detail::DiscardBlob(conn, &blob);
    return false;
  }
  return true;
}

bool detail::PutSegments(TIbStmtRec* stmt, isc_blob_handle* blob, const char* bytes, int64_t total,
                         int32_t segment) {
  for (int64_t offset = 0; offset < total; offset += segment) {
    auto length = static_cast<unsigned short>(std::min<int64_t>(segment, total - offset));
    if (Watch(stmt->Conn, stmt->Status,
              Entries.isc_put_segment(stmt->Status, blob, length, bytes + offset)) != 0) {
      return false;
    }
  }
  return true;
}

bool detail::CheckValue(TIbStmtRec* stmt, int32_t i, int64_t row, bool array) {
  const XSQLVAR& var = stmt->InSqlda->sqlvar[i];
  const TBindSlot* slots = stmt->ParamIndex.Slots;
  TRefusal why;
  auto report = [&](bool named) {
    return Report(stmt, why, false, i + 1, array ? row + 1 : 0, named);
  };
  if (slots == nullptr || slots[i].Node == nullptr) {
    const TBindIndex& p = stmt->ParamIndex;
    const TBindIndex& c = stmt->ColIndex;
    Refuse(why, isc_dsql_sqlda_err, "not bound");
    return report(p.Bound > p.Classic || c.Bound > c.Classic);
  }
  const TBindSlot& slot = slots[i];
  const auto limit = static_cast<int64_t>(std::max<ISC_SHORT>(var.sqllen, 0));
  const char* data = ParamData(slot, row);
  int64_t length = 0;
  if (slot.Length != nullptr && IsAtExec(slot.Length[row]) && slot.NullFlag[row] != kNullFlag) {
    if (!array) {
      WantData(stmt, i);
      return true;
    }
    Refuse(why, isc_dsql_sqlda_value_err, "data at execution (length %d) in a parameter array",
           slot.Length[row]);
    return report(true);
  }
  switch (slot.Check) {
    case kCheckBlobId:
      return true;
    case kCheckClassicText:
      if (strnlen(data, static_cast<size_t>(limit) + 1) <= static_cast<size_t>(limit)) return true;
      Refuse(why, isc_string_truncation, "more than %lld characters",
             static_cast<long long>(limit));
      return report(false);
    case kCheckClassicBlob:
      if (slot.Node->SizePtr != nullptr && slot.Node->Size >= 1) return true;
      Refuse(why, isc_dsql_sqlda_value_err, "a blob without its length or segment size");
      return report(false);
    case kCheckDateText:
      // In an array a date text is checked with the rest, before anything is sent.
      if (!array || ValidDateText(data, static_cast<size_t>(slot.ValueMax))) return true;
      length =
          static_cast<int64_t>(strnlen(data, std::min<size_t>(slot.ValueMax, kDateTextLength)));
      std::memcpy(why.value, data, static_cast<size_t>(length));
      why.value[length] = '\0';
      Refuse(why, isc_convert_error, "not a date text (MM/DD/YYYY hh:mm:ss)");
      return report(true);
    case kCheckConverted:
      if (slot.CType != kCChar && slot.CType != kCBinary) {
        return FromC(var, slot.CType, data, CTypeSize(slot.CType), var.sqldata, why) ||
               report(true);
      }
      break;
    default:
      break;
  }
  length = ParamLength(slot, row);
  if (length < 0) {
    Refuse(why, isc_dsql_sqlda_value_err, "a length of %d for a buffer of %d", slot.Length[row],
           slot.ValueMax);
    return report(true);
  }
  if (slot.Check == kCheckConverted) {
    return FromC(var, slot.CType, data, length, var.sqldata, why) || report(true);
  }
  if (slot.Check == kCheckBytes || length <= limit) return true;
  Refuse(why, isc_string_truncation, "%lld bytes for a column of %lld",
         static_cast<long long>(length), static_cast<long long>(limit));
  return report(true);
}

int16_t detail::ExecuteOnce(TIbStmtRec* hstmt) {
  if (hstmt->RowReached != nullptr) *hstmt->RowReached = 1;
  const bool withParams = hstmt->HasParamMarkers == 1;
  XSQLDA* in = hstmt->InSqlda;
  const int32_t n = withParams ? in->sqld : 0;  // read once: the entries' stores may alias it
  for (int32_t i = 0; i < n; ++i) {
    if (!detail::CheckParam(hstmt, i, 0, false)) {
      if (hstmt->AtExec != nullptr) detail::EndAtExec(hstmt);
      return -1;
    }
  }
  if (hstmt->AtExec != nullptr) return 99;  // the caller's data first
  TIbConnRec* conn = hstmt->Conn;
  detail::TRunning running(conn, hstmt->Status, hstmt->QueryTimeout);
  if (running.Failed) return -1;
  // Opened before the parameters, so that blobs are created in the transaction that executes.
  if (!detail::StartIfNone(hstmt)) return -1;
  const TBindSlot* slots = hstmt->ParamIndex.Slots;
  for (int32_t i = 0; i < n; ++i) {
    XSQLVAR& var = in->sqlvar[i];
    // The check has just run for this row: converted values are in the entry already, and text
    // lengths known.
    if (!detail::PutParam(hstmt, var, slots[i], 0, var, true)) return -1;
  }
  if (Watch(conn, hstmt->Status,
            Entries.isc_dsql_execute(hstmt->Status, &conn->TrHandle, &hstmt->StmtHandle,
                                     SQLDA_VERSION1, withParams ? in : nullptr)) != 0) {
    return -1;
  }
  return 0;
}

int16_t SQLExecute(TIbStmtRec* hstmt) {
  if (hstmt == nullptr || detail::Refused(hstmt) || detail::AwaitingData(hstmt)) return -1;
  if (hstmt->HasRow != 0 || hstmt->GetData != nullptr) detail::ReleaseHeld(hstmt);
  if (hstmt->ParamRows > 1) return detail::ExecuteRows(hstmt);
  return detail::ExecuteOnce(hstmt);
}

}  // namespace IbDB
