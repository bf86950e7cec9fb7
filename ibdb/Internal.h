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

// Transaction-existence block as the client reads it.
struct TTeb {
  isc_db_handle* db;
  int32_t tpb_length;
  const char* tpb;
};

inline TTeb TebOf(TIbConnRec* conn) { return TTeb{&conn->DbHandle, 0, nullptr}; }

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

// Releases every binding of a statement: package buffers, indicators, lists and the index.
void ReleaseBindings(TIbStmtRec* stmt);

}  // namespace IbDB::detail
