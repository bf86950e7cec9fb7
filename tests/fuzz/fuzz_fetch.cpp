// Bounded fetching over a client stand-in: random columns (text, CHAR, INTEGER, date, blob) with
// random values and NULLs, each bound in the bounded form with a random buffer size or left to
// SQLGetData with a random piece size. Buffers are heap blocks of exactly the size given, so one
// byte too many is an AddressSanitizer error; what arrives must be the value, cut or whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"
#include "tests/fuzz/StandIn.h"

namespace {

using fuzz::Ok;

struct Column {
  int16_t type = 0;
  int16_t sqllen = 0;
  bool null = false;
  std::string value;             // text, CHAR padded to sqllen, 4 or 8 bytes, or the blob
  std::vector<uint16_t> pieces;  // a blob's stored segment lengths, in turn
  bool bound = false;
  int32_t size = 1;  // bound: the buffer's size; unbound: the piece size of SQLGetData
};

std::vector<Column> columns;
int fetched = 0;
size_t blobAt = 0, pieceAt = 0;  // the blob being read: its position and segment
int32_t blobColumn = -1;

ISC_STATUS ISC_EXPORT Prepare(ISC_STATUS* st, isc_tr_handle*, isc_stmt_handle*, unsigned short,
                              const ISC_SCHAR*, unsigned short, XSQLDA* out) {
  out->sqld = static_cast<ISC_SHORT>(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    out->sqlvar[i].sqltype = static_cast<ISC_SHORT>(columns[i].type + 1);
    out->sqlvar[i].sqllen = columns[i].sqllen;
    out->sqlvar[i].sqlscale = 0;
  }
  return Ok(st);
}
ISC_STATUS ISC_EXPORT Execute(ISC_STATUS* st, isc_tr_handle*, isc_stmt_handle*, unsigned short,
                              const XSQLDA*) {
  fetched = 0;
  return Ok(st);
}
ISC_STATUS ISC_EXPORT Fetch(ISC_STATUS* st, isc_stmt_handle*, unsigned short, const XSQLDA* out) {
  if (fetched++ > 0) return 100;
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    XSQLVAR& var = const_cast<XSQLDA*>(out)->sqlvar[i];
    *var.sqlind = c.null ? -1 : 0;
    if (c.null) continue;
    if (c.type == SQL_VARYING) {
      const auto length = static_cast<uint16_t>(c.value.size());
      std::memcpy(var.sqldata, &length, 2);
      std::memcpy(var.sqldata + 2, c.value.data(), length);
    } else if (c.type == SQL_BLOB) {
      const ISC_QUAD id{static_cast<ISC_LONG>(i), 1};
      std::memcpy(var.sqldata, &id, sizeof(id));
    } else {
      std::memcpy(var.sqldata, c.value.data(), c.value.size());
    }
  }
  return Ok(st);
}
ISC_STATUS ISC_EXPORT OpenBlob(ISC_STATUS* st, isc_db_handle*, isc_tr_handle*,
                               isc_blob_handle* blob, ISC_QUAD* id, unsigned short,
                               const ISC_UCHAR*) {
  if (blobColumn >= 0) std::abort();  // one blob open at a time
  blobColumn = id->gds_quad_high;
  blobAt = pieceAt = 0;
  *blob = 1;
  return Ok(st);
}
// Serves the stored segments; a request shorter than the segment takes its start.
ISC_STATUS ISC_EXPORT GetSegment(ISC_STATUS* st, isc_blob_handle*, unsigned short* length,
                                 unsigned short size, ISC_SCHAR* buffer) {
  const Column& c = columns[static_cast<size_t>(blobColumn)];
  *length = 0;
  if (blobAt >= c.value.size()) return Ok(st, isc_segstr_eof);
  size_t start = 0;  // where the current segment began
  size_t seg = 0;
  for (size_t k = 0, at = 0; k < c.pieces.size(); ++k) {
    if (at + c.pieces[k] > blobAt) {
      start = at;
      seg = c.pieces[k];
      break;
    }
    at += c.pieces[k];
  }
  if (seg == 0) seg = c.value.size() - blobAt, start = blobAt;
  const size_t left = std::min(seg - (blobAt - start), c.value.size() - blobAt);
  const size_t n = std::min<size_t>(left, size);
  std::memcpy(buffer, c.value.data() + blobAt, n);
  blobAt += n;
  *length = static_cast<unsigned short>(n);
  return Ok(st, n < left ? isc_segment : 0);
}
ISC_STATUS ISC_EXPORT BlobInfo(ISC_STATUS* st, isc_blob_handle*, short, const ISC_SCHAR*, short,
                               ISC_SCHAR* answer) {
  const auto total = static_cast<uint32_t>(columns[static_cast<size_t>(blobColumn)].value.size());
  answer[0] = isc_info_blob_total_length;
  answer[1] = 4;
  answer[2] = 0;
  for (int k = 0; k < 4; ++k) answer[3 + k] = static_cast<ISC_SCHAR>(total >> (8 * k));
  answer[7] = isc_info_end;
  return Ok(st);
}
ISC_STATUS ISC_EXPORT CloseBlob(ISC_STATUS* st, isc_blob_handle* blob) {
  blobColumn = -1;
  *blob = 0;
  return Ok(st);
}

// The text a column's value arrives as: a date as the package writes it.
std::string Expected(const Column& c) {
  if (c.type != SQL_DATE) return c.value;
  char text[20];
  ISC_QUAD date;
  std::memcpy(&date, c.value.data(), sizeof(date));
  IbDB::IBDateToTM(&date, text);
  return text;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  columns.assign(in.ConsumeIntegralInRange<size_t>(1, 5), Column{});
  constexpr int16_t kTypes[] = {SQL_VARYING, SQL_TEXT, SQL_LONG, SQL_DATE, SQL_BLOB};
  for (Column& c : columns) {
    c.type = kTypes[in.ConsumeIntegralInRange<int>(0, 4)];
    c.null = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    c.bound = in.ConsumeBool();
    c.size = in.ConsumeIntegralInRange<int32_t>(1, 300);
    switch (c.type) {
      case SQL_VARYING:
      case SQL_TEXT:
        c.sqllen = in.ConsumeIntegralInRange<int16_t>(1, 200);
        c.value = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, c.sqllen));
        if (c.type == SQL_TEXT) c.value.resize(static_cast<size_t>(c.sqllen), ' ');
        break;
      case SQL_LONG:
      case SQL_DATE:
        c.sqllen = c.type == SQL_LONG ? 4 : 8;
        c.value = in.ConsumeBytesAsString(static_cast<size_t>(c.sqllen));
        c.value.resize(static_cast<size_t>(c.sqllen), '\0');
        if (c.type == SQL_DATE) c.size = std::max(c.size, 20);
        if (c.type == SQL_LONG) c.size = std::max(c.size, 4);
        break;
      default:
        c.sqllen = 8;
        c.value = std::string(in.ConsumeIntegralInRange<size_t>(0, 200000), 'b');
        for (size_t k = 0; k < c.value.size(); k += 977) c.value[k] = static_cast<char>(k);
        while (in.remaining_bytes() > 0 && c.pieces.size() < 8) {
          c.pieces.push_back(in.ConsumeIntegralInRange<uint16_t>(1, 65535));
        }
        if (in.ConsumeBool()) c.size = in.ConsumeIntegralInRange<int32_t>(1, 200000);
        break;
    }
    if (c.type == SQL_VARYING || c.type == SQL_TEXT || (c.type == SQL_DATE && !c.bound)) {
      c.size = std::max(c.size, 2);  // room for a character and its NUL
    }
  }

  auto& e = IBAPI::Entries;
  fuzz::THandles handles;
  IBAPI::EntryOverride g3(e.isc_dsql_prepare, &Prepare);
  IBAPI::EntryOverride g4(e.isc_dsql_execute, &Execute);
  IBAPI::EntryOverride g5(e.isc_dsql_fetch, &Fetch);
  IBAPI::EntryOverride g7(e.isc_open_blob2, &OpenBlob);
  IBAPI::EntryOverride g8(e.isc_get_segment, &GetSegment);
  IBAPI::EntryOverride g9(e.isc_blob_info, &BlobInfo);
  IBAPI::EntryOverride g10(e.isc_close_blob, &CloseBlob);

  IbDB::TIbConnRec conn{};
  conn.DbHandle = 1;
  IbDB::TIbStmtRec* stmt = nullptr;
  Check(IbDB::SQLAllocStmt(&conn, stmt) == 0);
  Check(IbDB::SQLPrepare(stmt, "SELECT", 0) == 0);
  std::vector<std::unique_ptr<char[]>> buffers;
  std::vector<int32_t> lengths(columns.size(), -9);
  std::vector<uint8_t> nulls(columns.size(), 9);
  for (size_t i = 0; i < columns.size(); ++i) {
    buffers.push_back(std::make_unique<char[]>(static_cast<size_t>(columns[i].size)));
    if (!columns[i].bound) continue;
    Check(IbDB::SQLBindCol(stmt, static_cast<uint8_t>(i + 1), columns[i].type, buffers[i].get(),
                           columns[i].size, &nulls[i], &lengths[i]) == 0);
  }
  Check(IbDB::SQLExecute(stmt) == 0);
  const int16_t rc = IbDB::SQLFetch(stmt);
  bool cut = false;
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    const std::string expected = Expected(c);
    const auto size = static_cast<size_t>(c.size);
    const bool text = c.type != SQL_BLOB && c.type != SQL_LONG;
    const char* buffer = buffers[i].get();
    if (c.bound) {
      Check(nulls[i] == (c.null ? 1 : 0));
      if (c.null) {
        Check(lengths[i] == -1);
        continue;
      }
      const size_t room = text ? size - 1 : size;
      const size_t n = std::min(room, expected.size());
      cut = cut || expected.size() > room;
      Check(std::string(buffer, n) == expected.substr(0, n));
      Check(!text || buffer[n] == '\0');
      Check(lengths[i] == static_cast<int32_t>(expected.size()));
      continue;
    }
    // Unbound: SQLGetData in pieces.
    std::string whole;
    int32_t remaining = 0;
    for (;;) {
      const int16_t got =
          IbDB::SQLGetData(stmt, static_cast<uint8_t>(i + 1), buffers[i].get(), c.size, &remaining);
      Check(got == 0 || got == 1);
      if (c.null) {
        Check(remaining == -1 && got == 0);
        break;
      }
      const size_t n = std::min<size_t>(static_cast<size_t>(remaining), text ? size - 1 : size);
      Check(static_cast<size_t>(remaining) == expected.size() - whole.size());
      whole.append(buffer, n);
      if (got == 0) break;
    }
    Check(c.null || whole == expected);
    Check(IbDB::SQLGetData(stmt, static_cast<uint8_t>(i + 1), buffers[i].get(), c.size,
                           &remaining) == 100);
  }
  Check(rc == (cut ? 1 : 0));
  Check(IbDB::SQLFetch(stmt) == 100);
  IbDB::SQLFreeStmt(stmt, 1);
  return 0;
}
