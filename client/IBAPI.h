// Binding to the Firebird client: the entry points the package calls, the size of descriptor
// areas and the SQL type codes the package distinguishes.
#pragma once

#include <ibase.h>

#include <cstddef>
#include <cstdint>

// The client's macro of the same name wraps for n = 0; the function below replaces it.
#undef XSQLDA_LENGTH

namespace IBAPI {

// Byte size of a descriptor area with n entries: the client's header followed by n entries.
// Computed without unsigned wrap, so n = 0 gives the header alone (24, 184, 824 bytes for 0, 1,
// 5 entries on x86_64). Exported as IBAPI::XSQLDA_LENGTH(unsigned short).
size_t XSQLDA_LENGTH(uint16_t n);

// The same size, for use in constant expressions.
constexpr size_t XsqldaLength(uint16_t n) {
  return sizeof(XSQLDA) - sizeof(XSQLVAR) + static_cast<size_t>(n) * sizeof(XSQLVAR);
}

// SQL type codes. An odd code is the same type admitting NULL.
constexpr int16_t SqlVarying = SQL_VARYING;  // 448
constexpr int16_t SqlText = SQL_TEXT;        // 452
constexpr int16_t SqlDouble = SQL_DOUBLE;    // 480
constexpr int16_t SqlFloat = SQL_FLOAT;      // 482
constexpr int16_t SqlLong = SQL_LONG;        // 496
constexpr int16_t SqlShort = SQL_SHORT;      // 500
constexpr int16_t SqlDate = SQL_DATE;        // 510
constexpr int16_t SqlBlob = SQL_BLOB;        // 520

// The even code of a type pair.
constexpr int16_t BaseType(int16_t code) {
  return static_cast<int16_t>(code & ~1);
}
constexpr bool SameType(int16_t a, int16_t b) {
  return BaseType(a) == BaseType(b);
}

// The four kinds of binding: three converted through buffers of the package, one in place.
enum class TypeKind : uint8_t { Varying, Date, Blob, Plain };

constexpr TypeKind KindOf(int16_t code) {
  switch (BaseType(code)) {
    case SqlVarying:
      return TypeKind::Varying;
    case SqlDate:
      return TypeKind::Date;
    case SqlBlob:
      return TypeKind::Blob;
    default:
      return TypeKind::Plain;
  }
}

// Every client call of the package goes through this table. It starts out holding the linked
// client's functions; tests replace single entries with EntryOverride.
struct ClientEntries {
  decltype(&::isc_attach_database) isc_attach_database;
  decltype(&::isc_detach_database) isc_detach_database;
  decltype(&::isc_start_multiple) isc_start_multiple;
  decltype(&::isc_commit_transaction) isc_commit_transaction;
  decltype(&::isc_rollback_transaction) isc_rollback_transaction;
  decltype(&::isc_dsql_allocate_statement) isc_dsql_allocate_statement;
  decltype(&::isc_dsql_prepare) isc_dsql_prepare;
  decltype(&::isc_dsql_describe) isc_dsql_describe;
  decltype(&::isc_dsql_describe_bind) isc_dsql_describe_bind;
  decltype(&::isc_dsql_free_statement) isc_dsql_free_statement;
  decltype(&::isc_dsql_execute) isc_dsql_execute;
  decltype(&::isc_dsql_fetch) isc_dsql_fetch;
  decltype(&::isc_create_blob) isc_create_blob;
  decltype(&::isc_put_segment) isc_put_segment;
  decltype(&::isc_open_blob2) isc_open_blob2;
  decltype(&::isc_get_segment) isc_get_segment;
  decltype(&::isc_close_blob) isc_close_blob;
  decltype(&::isc_blob_lookup_desc) isc_blob_lookup_desc;
  decltype(&::isc_encode_date) isc_encode_date;
  decltype(&::isc_decode_date) isc_decode_date;
  ISC_LONG(ISC_EXPORT* isc_interprete)(ISC_SCHAR*, ISC_STATUS**);
  decltype(&::fb_interpret) fb_interpret;
  // Beyond the classic set: the database's dialect, a blob's length, a statement's kind,
  // savepoints, and cancelling a running request.
  decltype(&::isc_database_info) isc_database_info;
  decltype(&::isc_blob_info) isc_blob_info;
  decltype(&::isc_dsql_sql_info) isc_dsql_sql_info;
  decltype(&::isc_dsql_execute_immediate) isc_dsql_execute_immediate;
  decltype(&::fb_cancel_operation) fb_cancel_operation;
};

extern ClientEntries Entries;

// The table as the linked client fills it.
const ClientEntries& LinkedEntries();

// Replaces one entry of the table for its lifetime and restores the earlier one after.
template <typename Fn>
class EntryOverride {
 public:
  EntryOverride(Fn& slot, Fn replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
  ~EntryOverride() { slot_ = saved_; }
  EntryOverride(const EntryOverride&) = delete;
  EntryOverride& operator=(const EntryOverride&) = delete;

  // The entry that was in place before, to call through from a replacement.
  Fn Previous() const { return saved_; }

 private:
  Fn& slot_;
  Fn saved_;
};

}  // namespace IBAPI
