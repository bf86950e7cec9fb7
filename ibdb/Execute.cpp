// Execution: bound parameters into the input area, then the client's execute.
#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB {

using detail::Watch;
using IBAPI::Entries;

namespace {

constexpr uint8_t kNullFlag = 1;

// Why the parameters cannot be sent as bound, or 0. Only VARCHAR and blob bindings can be
// refused once every entry has one, so only their lists are walked.
ISC_STATUS CheckParams(const TIbStmtRec* stmt) {
  const XSQLDA* in = stmt->InSqlda;
  if (in->sqld > 0 && (stmt->ParamIndex.Slots == nullptr || stmt->ParamIndex.Bound < in->sqld)) {
    return isc_dsql_sqlda_err;  // a described parameter is not bound
  }
  for (const TBindNode* node = stmt->VaryParams; node != nullptr; node = node->Next) {
    if (node->Index < 0 || node->Index >= in->sqld || *node->NullFlag == kNullFlag) continue;
    const auto limit = static_cast<size_t>(std::max<ISC_SHORT>(in->sqlvar[node->Index].sqllen, 0));
    if (strnlen(static_cast<const char*>(node->Data), limit + 1) > limit) {
      return isc_string_truncation;
    }
  }
  for (const TBindNode* node = stmt->BlobParams; node != nullptr; node = node->Next) {
    if (node->SizePtr == nullptr || node->Size < 1) return isc_dsql_sqlda_value_err;
  }
  return 0;
}

// Creates a blob from the caller's bytes and leaves its id in the entry's buffer.
bool WriteBlob(TIbStmtRec* stmt, XSQLVAR& var, const TBindNode* node) {
  TIbConnRec* conn = stmt->Conn;
  isc_blob_handle blob = 0;
  if (Watch(conn, stmt->Status,
            Entries.isc_create_blob(stmt->Status, &conn->DbHandle, &conn->TrHandle, &blob,
                                    reinterpret_cast<ISC_QUAD*>(var.sqldata))) != 0) {
    return false;
  }
  const auto* bytes = static_cast<const ISC_SCHAR*>(node->Data);
  const int32_t total = *node->SizePtr;
  const int32_t segment = node->Size;
  ISC_STATUS rc = 0;
  for (int32_t offset = 0; offset < total && rc == 0; offset += std::min(segment, total - offset)) {
    auto length = static_cast<unsigned short>(std::min(segment, total - offset));
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

bool PutParams(TIbStmtRec* stmt) {
  XSQLDA* in = stmt->InSqlda;
  const TBindSlot* slots = stmt->ParamIndex.Slots;
  for (int32_t i = 0; i < in->sqld; ++i) {
    const TBindSlot& slot = slots[i];
    if (*slot.NullFlag == kNullFlag) {
      *slot.Indicator = -1;
      continue;
    }
    *slot.Indicator = 0;
    XSQLVAR& var = in->sqlvar[i];
    const TBindNode* node = slot.Node;
    switch (IBAPI::BaseType(var.sqltype)) {
      case SQL_VARYING: {
        const auto* text = static_cast<const char*>(node->Data);
        auto length = static_cast<uint16_t>(std::strlen(text));
        std::memcpy(var.sqldata, &length, sizeof(length));
        std::memcpy(var.sqldata + sizeof(length), text, length);
        break;
      }
      case SQL_DATE:
        IBTMToDate(reinterpret_cast<ISC_QUAD*>(var.sqldata), static_cast<const char*>(node->Data));
        break;
      case SQL_BLOB:
        if (!WriteBlob(stmt, var, node)) return false;
        break;
      default:
        break;  // the client reads the caller's variable in place
    }
  }
  return true;
}

}  // namespace

int16_t SQLExecute(TIbStmtRec* hstmt) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  const bool withParams = hstmt->HasParamMarkers == 1;
  if (withParams) {
    if (ISC_STATUS refusal = CheckParams(hstmt)) {
      detail::SetError(hstmt->Status, refusal);
      return -1;
    }
  }
  TIbConnRec* conn = hstmt->Conn;
  // Opened before the parameters, so that blobs are created in the transaction that executes.
  if (!detail::StartIfNone(hstmt)) return -1;
  if (withParams && !PutParams(hstmt)) return -1;
  if (Watch(conn, hstmt->Status,
            Entries.isc_dsql_execute(hstmt->Status, &conn->TrHandle, &hstmt->StmtHandle,
                                     SQLDA_VERSION1, withParams ? hstmt->InSqlda : nullptr)) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace IbDB
