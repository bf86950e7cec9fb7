#include "client/IBAPI.h"

namespace IBAPI {

namespace {

// isc_interprete is deprecated by the client for being unbounded; it stays in the table as one of
// the client's entry points, but the package reads messages with fb_interpret.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
constexpr auto kInterprete = &::isc_interprete;
#pragma GCC diagnostic pop

constexpr ClientEntries kLinked{
    &::isc_attach_database,
    &::isc_detach_database,
    &::isc_start_multiple,
    &::isc_commit_transaction,
    &::isc_rollback_transaction,
    &::isc_dsql_allocate_statement,
    &::isc_dsql_prepare,
    &::isc_dsql_describe,
    &::isc_dsql_describe_bind,
    &::isc_dsql_free_statement,
    &::isc_dsql_execute,
    &::isc_dsql_fetch,
    &::isc_create_blob,
    &::isc_put_segment,
    &::isc_open_blob2,
    &::isc_get_segment,
    &::isc_close_blob,
    &::isc_blob_lookup_desc,
    &::isc_encode_date,
    &::isc_decode_date,
    kInterprete,
    &::fb_interpret,
    &::isc_database_info,
    &::isc_blob_info,
    &::isc_dsql_sql_info,
    &::isc_dsql_execute_immediate,
    &::fb_cancel_operation,
};

}  // namespace

ClientEntries Entries = kLinked;

size_t XSQLDA_LENGTH(uint16_t n) {
  return XsqldaLength(n);
}

const ClientEntries& LinkedEntries() {
  return kLinked;
}

}  // namespace IBAPI
