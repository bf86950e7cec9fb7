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
  ISC_STATUS rc = 0;
  for (int64_t offset = 0; offset < total && rc == 0; offset += segment) {
    auto length = static_cast<unsigned short>(std::min<int64_t>(segment, total - offset));
    rc = Watch(conn, stmt->Status,
               Entries.isc_put_segment(stmt->Status, &blob, length, bytes + offset));
  }
  // A failed write or close keeps its error in Status; nothing more goes to a lost attachment.
  if (rc != 0 || Watch(conn, stmt->Status, Entries.isc_close_blob(stmt->Status, &blob)) != 0) {
    detail::DiscardBlob(conn, &blob);
    return false;
  }
  return true;
}

int16_t SQLExecute(TIbStmtRec* hstmt) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  detail::ReleaseHeld(hstmt);
  if (hstmt->ParamRows > 1) return detail::ExecuteRows(hstmt);
  if (hstmt->RowReached != nullptr) *hstmt->RowReached = 1;
  const bool withParams = hstmt->HasParamMarkers == 1;
  XSQLDA* in = hstmt->InSqlda;
  const TBindIndex& index = hstmt->ParamIndex;
  for (int32_t i = 0; withParams && i < in->sqld; ++i) {
    if (!detail::CheckParam(hstmt, i, 0, false)) return -1;
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
