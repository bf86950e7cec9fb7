// Preparation over a client stand-in: any statement text and any described counts and types go
// through the marker scan, area growth, binding, a second preparation and the drop without a
// memory error or leak. The first two bytes give the column and parameter counts, the next two
// choose their types, the rest is the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"
#include "tests/fuzz/StandIn.h"

namespace {

using fuzz::Ok;

int outCount = 0, inCount = 0;
uint8_t outTypes = 0, inTypes = 0;
constexpr int16_t kTypes[] = {449, 453, 497, 501, 511, 521, 481, 483};

void Describe(XSQLDA* area, int count, uint8_t seed) {
  area->sqld = static_cast<ISC_SHORT>(count);
  for (int i = 0; i < count && i < area->sqln; ++i) {
    XSQLVAR& var = area->sqlvar[i];
    var.sqltype = kTypes[(seed + i * 7) % 8];
    var.sqllen = static_cast<ISC_SHORT>((seed + i) % 40);
    var.sqlscale = static_cast<ISC_SHORT>(-((seed + i) % 3));
  }
}

ISC_STATUS ISC_EXPORT Prepare(ISC_STATUS* st, isc_tr_handle*, isc_stmt_handle*, unsigned short,
                              const ISC_SCHAR*, unsigned short, XSQLDA* out) {
  Describe(out, outCount, outTypes);
  return Ok(st);
}
ISC_STATUS ISC_EXPORT DescribeOut(ISC_STATUS* st, isc_stmt_handle*, unsigned short, XSQLDA* out) {
  Describe(out, outCount, outTypes);
  return Ok(st);
}
ISC_STATUS ISC_EXPORT DescribeIn(ISC_STATUS* st, isc_stmt_handle*, unsigned short, XSQLDA* in) {
  Describe(in, inCount, inTypes);
  return Ok(st);
}
ISC_STATUS ISC_EXPORT Lookup(ISC_STATUS* st, isc_db_handle*, isc_tr_handle*, const ISC_UCHAR*,
                             const ISC_UCHAR*, ISC_BLOB_DESC* desc, ISC_UCHAR*) {
  desc->blob_desc_segment_size = 80;
  return Ok(st);
}

// The caller variables of every entry that is bound.
struct Variables {
  char buffer[256][48];
  uint8_t nulls[256];
  int32_t lengths[256];
};

void BindAll(IbDB::TIbStmtRec* stmt, Variables& v) {
  for (int n = 1; n <= 255; ++n) {
    int16_t type = 0, length = 0;
    if (IbDB::SQLGetCol(stmt, static_cast<uint8_t>(n), type, length) != 0) break;
    v.lengths[n] = 16;
    IbDB::SQLBindCol(stmt, static_cast<uint8_t>(n), type, v.buffer[n], &v.nulls[n], &v.lengths[n]);
  }
  for (int n = 1; n <= 255; ++n) {
    int16_t type = 0, length = 0;
    if (IbDB::SQLGetParam(stmt, static_cast<uint8_t>(n), type, length) != 0) break;
    IbDB::SQLBindParameter(stmt, static_cast<uint8_t>(n), type, v.buffer[n], &v.nulls[n],
                           &v.lengths[n], 4);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  outCount = data[0] % 64;
  inCount = data[1] % 64;
  outTypes = data[2];
  inTypes = data[3];
  std::string text(reinterpret_cast<const char*>(data + 4), size - 4);

  auto& e = IBAPI::Entries;
  fuzz::THandles handles;
  IBAPI::EntryOverride g3(e.isc_dsql_prepare, &Prepare);
  IBAPI::EntryOverride g4(e.isc_dsql_describe, &DescribeOut);
  IBAPI::EntryOverride g5(e.isc_dsql_describe_bind, &DescribeIn);
  IBAPI::EntryOverride g7(e.isc_blob_lookup_desc, &Lookup);

  IbDB::TIbConnRec conn{};
  conn.DbHandle = 1;
  IbDB::TIbStmtRec* stmt = nullptr;
  if (IbDB::SQLAllocStmt(&conn, stmt) != 0) std::abort();
  static Variables v;
  for (int round = 0; round < 2; ++round) {
    if (IbDB::SQLPrepare(stmt, text.c_str(), 0) != 0) std::abort();
    const bool marker = std::strchr(text.c_str(), '?') != nullptr;
    if (stmt->HasParamMarkers != (marker ? 1 : 0)) std::abort();
    if (stmt->OutSqlda->sqld != outCount || stmt->OutSqlda->sqln < outCount) std::abort();
    if (marker && (stmt->InSqlda->sqld != inCount || stmt->InSqlda->sqln < inCount)) std::abort();
    BindAll(stmt, v);
    outCount = (outCount * 3 + 1) % 64;  // the second preparation describes other entries
    inCount = (inCount + 5) % 64;
    outTypes = static_cast<uint8_t>(outTypes + 3);
  }
  IbDB::SQLFreeStmt(stmt, 1);
  return 0;
}
