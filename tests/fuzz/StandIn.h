// What the fuzz targets' client stand-ins share: a status of success, and the entries that only
// hand out handles.
#pragma once

#include "client/IBAPI.h"

namespace fuzz {

inline ISC_STATUS Ok(ISC_STATUS* st, ISC_STATUS rc = 0) {
  st[0] = isc_arg_gds;
  st[1] = rc;
  st[2] = isc_arg_end;
  return rc;
}
inline ISC_STATUS ISC_EXPORT Start(ISC_STATUS* st, isc_tr_handle* tr, short, void*) {
  *tr = 1;
  return Ok(st);
}
inline ISC_STATUS ISC_EXPORT Allocate(ISC_STATUS* st, isc_db_handle*, isc_stmt_handle* s) {
  *s = 1;
  return Ok(st);
}
inline ISC_STATUS ISC_EXPORT Free(ISC_STATUS* st, isc_stmt_handle*, unsigned short) {
  return Ok(st);
}

// Replaces the transaction start, statement allocation and release for its lifetime.
struct THandles {
  IBAPI::EntryOverride<decltype(IBAPI::Entries.isc_start_multiple)> start{
      IBAPI::Entries.isc_start_multiple, &Start};
  IBAPI::EntryOverride<decltype(IBAPI::Entries.isc_dsql_allocate_statement)> allocate{
      IBAPI::Entries.isc_dsql_allocate_statement, &Allocate};
  IBAPI::EntryOverride<decltype(IBAPI::Entries.isc_dsql_free_statement)> free{
      IBAPI::Entries.isc_dsql_free_statement, &Free};
};

}  // namespace fuzz
