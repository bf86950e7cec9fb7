// Helpers shared by the parts of the call-level interface; not exported to callers.
#pragma once

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace IbDB::detail {

// Leaves a client error code in a status vector, for a call the package refuses on its own.
inline void SetError(ISC_STATUS* status, ISC_STATUS code) {
  status[0] = isc_arg_gds;
  status[1] = code;
  status[2] = isc_arg_end;
}

// The same with the number the code's text names ("CHARACTER SET 999 is not defined").
inline void SetError(ISC_STATUS* status, ISC_STATUS code, ISC_STATUS number) {
  status[0] = isc_arg_gds;
  status[1] = code;
  status[2] = isc_arg_number;
  status[3] = number;
  status[4] = isc_arg_end;
}

// Whether a status vector reports that the attachment is gone: shut down by the server, or its
// connection broken.
bool ReportsLoss(const ISC_STATUS* status);

// Records that the connection's attachment is gone, with a copy of the vector that said so.
// Nothing but the detach is sent on it afterwards: further requests on a shut-down attachment
// can leave the client waiting for an answer that never comes.
void RecordLoss(TIbConnRec* conn, const ISC_STATUS* status);

// The result of a client call made on the connection's attachment alone; a loss it reports is
// recorded on the connection.
inline ISC_STATUS Watch(TIbConnRec* conn, const ISC_STATUS* status, ISC_STATUS rc) {
  if (rc != 0 && conn->State.Lost == 0 && ReportsLoss(status)) RecordLoss(conn, status);
  return rc;
}

// Whether a call on the connection is refused because its attachment is gone; the vector that
// reported the loss is then left in status.
inline bool Refused(const TIbConnRec* conn, ISC_STATUS* status) {
  if (conn->State.Lost == 0) return false;
  std::memcpy(status, conn->State.LostStatus, sizeof(conn->State.LostStatus));
  return true;
}
inline bool Refused(TIbStmtRec* stmt) {
  return Refused(stmt->Conn, stmt->Status);
}

// Transaction-existence block as the client reads it.
struct TTeb {
  isc_db_handle* db;
  int32_t tpb_length;
  const char* tpb;
};

// The connection's block: its transaction options, or none (the client's defaults) while the
// caller has set none.
inline TTeb TebOf(TIbConnRec* conn) {
  const TConnState& state = conn->State;
  return TTeb{&conn->DbHandle, state.TpbLength, state.TpbLength != 0 ? state.Tpb : nullptr};
}

// The SQL dialect statements of the connection are prepared in.
inline unsigned short DialectOf(const TIbConnRec* conn) {
  const TConnState& state = conn->State;
  if (state.ForcedDialect != 0) return state.ForcedDialect;
  return state.Dialect != 0 ? state.Dialect : 1;
}

// Firebird's name of a character set number, or nil for a number it does not define; and the
// most bytes one of its characters takes.
const char* CharsetName(uint16_t id);
int BytesPerCharacter(uint16_t id);

// Commits or rolls back the connection's transaction, shared or not, recording a loss where
// the client reports one.
ISC_STATUS EndTransaction(TIbConnRec* conn, bool commit);

// Records that the transaction the connection held (old) has ended: every connection that
// shared it holds none any more. Called after every attempt to end a transaction.
void TransactionEnded(TIbConnRec* conn, isc_tr_handle old);

// Starts the connection's transaction with its options.
inline ISC_STATUS StartTransaction(ISC_STATUS* status, TIbConnRec* conn) {
  TTeb teb = TebOf(conn);
  return Watch(conn, status, IBAPI::Entries.isc_start_multiple(status, &conn->TrHandle, 1, &teb));
}

// Starts the connection's transaction when none is open, for a statement. False when that found
// the attachment gone; a failure of the start is otherwise left to the next call to report.
inline bool StartIfNone(TIbStmtRec* stmt) {
  if (stmt->Conn->TrHandle == 0) StartTransaction(stmt->Status, stmt->Conn);
  return stmt->Conn->State.Lost == 0;
}

inline void* ZeroAlloc(size_t size) {
  void* p = std::calloc(1, size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

inline void* Resize(void* block, size_t size) {
  void* p = std::realloc(block, size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// What a fetch does for a column after setting its null flag.
enum TFinish : uint8_t {
  kFinishNone,     // fetched in place
  kFinishVarying,  // copy the characters out of the package's buffer and terminate them
  kFinishText,     // terminate the characters in place
  kFinishScaled,   // reduce a scaled integer to its integer part
  kFinishDate,     // date text
  kFinishBlob,     // read the whole blob
};

inline TFinish FinishOf(const XSQLVAR& var) {
  switch (IBAPI::BaseType(var.sqltype)) {
    case SQL_VARYING:
      return kFinishVarying;
    case SQL_TEXT:
      return kFinishText;
    case SQL_LONG:
    case SQL_SHORT:
      return var.sqlscale != 0 ? kFinishScaled : kFinishNone;
    case SQL_DATE:
      return kFinishDate;
    case SQL_BLOB:
      return kFinishBlob;
    default:
      return kFinishNone;
  }
}

// Releases every binding of a statement: package buffers, indicators, lists and the index.
void ReleaseBindings(TIbStmtRec* stmt);

}  // namespace IbDB::detail
