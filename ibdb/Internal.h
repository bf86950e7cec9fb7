// Helpers shared by the parts of the call-level interface; not exported to callers.
#pragma once

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"

#include <cstdlib>
#include <new>

namespace IbDB::detail {

// Leaves a client error code in a status vector, for a call the package refuses on its own.
inline void SetError(ISC_STATUS* status, ISC_STATUS code) {
  status[0] = isc_arg_gds;
  status[1] = code;
  status[2] = isc_arg_end;
}

// Whether a status vector reports that the attachment is gone: shut down by the server, or its
// connection broken. Nothing can succeed on it any more, and further requests on a shut-down
// attachment can leave the client waiting for an answer that never comes, so the package
// refuses them and keeps the error that told of the loss.
inline bool ConnectionLost(const ISC_STATUS* status) {
  if (status[1] == 0) return false;
  for (int i = 0; i < 19 && status[i] != isc_arg_end; i += status[i] == isc_arg_cstring ? 3 : 2) {
    if (status[i] != isc_arg_gds) continue;
    switch (status[i + 1]) {
      case isc_att_shutdown:
      case isc_shutdown:
      case isc_conn_lost:
      case isc_lost_db_connection:
      case isc_network_error:
      case isc_net_read_err:
      case isc_net_write_err:
      case isc_net_server_shutdown:
        return true;
      default:
        break;
    }
  }
  return false;
}

inline bool ConnectionLost(const TIbConnRec* conn) {
  return ConnectionLost(conn->Status);
}
inline bool ConnectionLost(const TIbStmtRec* stmt) {
  return ConnectionLost(stmt->Status) || ConnectionLost(stmt->Conn->Status);
}

// Transaction-existence block as the client reads it.
struct TTeb {
  isc_db_handle* db;
  int32_t tpb_length;
  const char* tpb;
};

inline TTeb TebOf(TIbConnRec* conn) {
  return TTeb{&conn->DbHandle, 0, nullptr};
}

// Starts the connection's transaction with the client's default options.
inline ISC_STATUS StartTransaction(ISC_STATUS* status, TIbConnRec* conn) {
  TTeb teb = TebOf(conn);
  return IBAPI::Entries.isc_start_multiple(status, &conn->TrHandle, 1, &teb);
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
