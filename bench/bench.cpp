// This package against the raw client and the C++ layers users would pick instead (SOCI's
// Firebird backend, Qt's QIBASE driver, where they were built), case by case, on an embedded
// database and on the same kind of database through the server.
//
//   varlo-bench [--reps N (10)] [--rows N (200000)] [--kind embedded|server|both]
//               [--server-rows N] [--only fetch|wide|insert|"wide arrays"|text|blob] [--peak 0|1]
//               [--dir PATH (kept; databases found there are used as they are)]
//               [--setup-only 1 (make the databases and stop)]
//               [--big-blob 1 (only: a 1 GiB blob through SQLGetData, time and memory)]
//               [--cancels 1 (only: how long cancelled calls take to end, and what is left)]
//               [--array-shapes 1 (only: arrays against one by one, first run, over the server)]
//
// Each case runs every implementation once per repetition, the order turning round from one
// repetition to the next, and reports the median time of each and the median of its ratios to
// the raw client's run of the same repetition. Every implementation checksums what it read in
// this package's caller form, and the checksums must agree.
#include <ibase.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef VARLO_BENCH_CALLGRIND
#include <valgrind/callgrind.h>
#endif

#include "bench/Bench.h"
#include "client/IBAPI.h"
#include "ibdb/IbDB.h"

using namespace IbDB;
using namespace bench;

namespace {

// ---- raw-client helpers ----

[[noreturn]] void Die(const char* what, const ISC_STATUS* status) {
  std::fprintf(stderr, "%s failed:\n", what);
  isc_print_status(status);
  std::exit(1);
}

void Check(ISC_STATUS rc, const char* what, const ISC_STATUS* status) {
  if (rc != 0) Die(what, status);
}

std::string Dpb(const std::string& user, const std::string& password) {
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  if (!user.empty()) {
    dpb += static_cast<char>(isc_dpb_user_name);
    dpb += static_cast<char>(user.size());
    dpb += user;
    dpb += static_cast<char>(isc_dpb_password);
    dpb += static_cast<char>(password.size());
    dpb += password;
  }
  return dpb;
}

struct Raw {
  ISC_STATUS st[20] = {};
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;

  explicit Raw(const Target& target) : dialect(target.dialect) {
    std::string dpb = Dpb(target.user, target.password);
    Check(isc_attach_database(st, 0, target.name.c_str(), &db, static_cast<short>(dpb.size()),
                              dpb.data()),
          "attach", st);
  }
  ~Raw() { isc_detach_database(st, &db); }
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;
  void Start() { Check(isc_start_transaction(st, &tr, 1, &db, 0, nullptr), "start", st); }
  void Commit() { Check(isc_commit_transaction(st, &tr), "commit", st); }
  void Exec(const std::string& sql) {
    Start();
    Check(isc_dsql_execute_immediate(st, &db, &tr, 0, sql.c_str(), dialect, nullptr), sql.c_str(),
          st);
    Commit();
  }
  unsigned short dialect = 1;
};

XSQLDA* NewArea(int n) {
  auto* da = static_cast<XSQLDA*>(std::calloc(1, IBAPI::XsqldaLength(static_cast<uint16_t>(n))));
  da->version = SQLDA_VERSION1;
  da->sqln = static_cast<short>(n);
  return da;
}

std::string Limited(const char* sql, int rows) {
  return std::string(sql) + " ROWS " + std::to_string(rows);
}

constexpr int kWideInsertColumns[] = {10, 50, 100, 200};

// ---- the raw client, written for speed ----

[[gnu::noinline]] uint64_t FetchRaw(Raw& raw, int rows) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* out = NewArea(6);
  std::string sql = Limited(kFetchSelect, rows);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, sql.c_str(), 1, out), "prepare", raw.st);
  FetchRow row{};
  struct {
    short length;
    char text[20];
  } name;
  ISC_QUAD date;
  short ind[6];
  void* data[6] = {&row.id, &name, &date, row.code, &row.x, &row.price};
  for (int i = 0; i < 6; ++i) {
    out->sqlvar[i].sqldata = static_cast<char*>(data[i]);
    out->sqlvar[i].sqlind = &ind[i];
  }
  row.code[5] = '\0';
  Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, nullptr), "execute", raw.st);
  uint64_t sum = 0;
  while (isc_dsql_fetch(raw.st, &stmt, 1, out) == 0) {
    for (int i = 0; i < 6; ++i) row.nulls[i] = ind[i] == -1;
    if (ind[1] != -1) {
      std::memcpy(row.name, name.text, static_cast<size_t>(name.length));
      row.name[name.length] = '\0';
    }
    if (ind[2] != -1) {
      std::tm t;
      isc_decode_date(&date, &t);
      FormatTm(t, row.date);
    }
    if (ind[5] != -1) row.price /= 100;
    sum += row.Sum();
  }
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(out);
  raw.Commit();
  return sum;
}

[[gnu::noinline]] uint64_t WideRaw(Raw& raw, int columns) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* out = NewArea(columns);
  std::string sql = "SELECT * FROM WIDE" + std::to_string(columns);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, sql.c_str(), 1, out), "prepare", raw.st);
  std::vector<int32_t> values(static_cast<size_t>(columns));
  std::vector<short> ind(static_cast<size_t>(columns));
  std::vector<uint8_t> nulls(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    out->sqlvar[c].sqldata = reinterpret_cast<char*>(&values[c]);
    out->sqlvar[c].sqlind = &ind[c];
  }
  Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, nullptr), "execute", raw.st);
  uint64_t sum = 0;
  while (isc_dsql_fetch(raw.st, &stmt, 1, out) == 0) {
    for (int c = 0; c < columns; ++c) nulls[c] = ind[c] == -1;
    for (int c = 0; c < columns; ++c) sum += nulls[c] ? 7 : static_cast<uint32_t>(values[c]);
  }
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(out);
  raw.Commit();
  return sum;
}

[[gnu::noinline]] uint64_t InsertRaw(Raw& raw, const InsertInputs& in, int rows) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* params = NewArea(6);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, kInsertSql, 1, nullptr), "prepare", raw.st);
  Check(isc_dsql_describe_bind(raw.st, &stmt, 1, params), "describe", raw.st);
  int32_t id = 0, price = 0;
  double x = 0;
  struct {
    unsigned short length;
    char text[20];
  } name;
  ISC_QUAD date;
  char code[6];
  short ind[6] = {};
  void* data[6] = {&id, &name, &date, code, &x, &price};
  for (int i = 0; i < 6; ++i) {
    params->sqlvar[i].sqldata = static_cast<char*>(data[i]);
    params->sqlvar[i].sqlind = &ind[i];
  }
  for (int k = 0; k < rows; ++k) {
    id = k;
    const std::string& text = in.names[static_cast<size_t>(k)];
    name.length = static_cast<unsigned short>(text.size());
    std::memcpy(name.text, text.data(), text.size());
    std::tm t;
    ParseTm(in.dates[static_cast<size_t>(k)].c_str(), t);
    isc_encode_date(&t, &date);
    std::memcpy(code, in.codes[static_cast<size_t>(k)].c_str(), sizeof(code));
    x = InsertInputs::X(k);
    price = InsertInputs::RawPrice(k);
    ind[1] = InsertInputs::NameIsNull(k) ? -1 : 0;
    Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, params), "insert", raw.st);
  }
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(params);
  raw.Commit();
  return static_cast<uint64_t>(rows);
}

[[gnu::noinline]] void BlobWriteRaw(Raw& raw, const std::vector<char>& data, int id) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* params = NewArea(2);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, "INSERT INTO BLOBS (ID, B) VALUES (?, ?)", 1,
                         nullptr),
        "prepare", raw.st);
  Check(isc_dsql_describe_bind(raw.st, &stmt, 1, params), "describe", raw.st);
  int32_t key = id;
  ISC_QUAD blobId{};
  short ind[2] = {};
  params->sqlvar[0].sqldata = reinterpret_cast<char*>(&key);
  params->sqlvar[0].sqlind = &ind[0];
  params->sqlvar[1].sqldata = reinterpret_cast<char*>(&blobId);
  params->sqlvar[1].sqlind = &ind[1];
  isc_blob_handle blob = 0;
  Check(isc_create_blob(raw.st, &raw.db, &raw.tr, &blob, &blobId), "create", raw.st);
  for (size_t offset = 0; offset < data.size(); offset += kSegment) {
    auto n = static_cast<unsigned short>(std::min<size_t>(kSegment, data.size() - offset));
    Check(isc_put_segment(raw.st, &blob, n, data.data() + offset), "put", raw.st);
  }
  Check(isc_close_blob(raw.st, &blob), "close", raw.st);
  Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, params), "insert", raw.st);
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(params);
  raw.Commit();
}

[[gnu::noinline]] uint64_t BlobReadRaw(Raw& raw, std::vector<char>& back, int id) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* out = NewArea(1);
  std::string sql = "SELECT B FROM BLOBS WHERE ID = " + std::to_string(id);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, sql.c_str(), 1, out), "prepare", raw.st);
  ISC_QUAD blobId;
  short ind;
  out->sqlvar[0].sqldata = reinterpret_cast<char*>(&blobId);
  out->sqlvar[0].sqlind = &ind;
  Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, nullptr), "execute", raw.st);
  Check(isc_dsql_fetch(raw.st, &stmt, 1, out), "fetch", raw.st);
  isc_blob_handle blob = 0;
  Check(isc_open_blob2(raw.st, &raw.db, &raw.tr, &blob, &blobId, 0, nullptr), "open", raw.st);
  size_t total = 0;
  for (;;) {
    unsigned short n = 0;
    ISC_STATUS rc = isc_get_segment(raw.st, &blob, &n, kSegment, back.data() + total);
    total += n;
    if (rc == isc_segstr_eof) break;
    if (rc != 0 && rc != isc_segment) Die("get", raw.st);
  }
  Check(isc_close_blob(raw.st, &blob), "close", raw.st);
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(out);
  raw.Commit();
  return Checksum(back.data(), total);
}

// ---- this package ----

// Binds a column or a parameter in the classic form, or with Bounded in the bounded form with
// the size of its buffer.
template <bool Bounded>
void BindCol(TIbStmtRec* stmt, int n, int16_t type, void* data, int32_t size, uint8_t* null) {
  if constexpr (Bounded) {
    SQLBindCol(stmt, static_cast<uint8_t>(n), type, data, size, null, nullptr);
  } else {
    SQLBindCol(stmt, static_cast<uint8_t>(n), type, data, null, nullptr);
  }
}

template <bool Bounded>
void BindParam(TIbStmtRec* stmt, int n, int16_t type, void* data, int32_t size, uint8_t* null) {
  if constexpr (Bounded) {
    SQLBindParameter(stmt, static_cast<uint8_t>(n), type, data, size, null, nullptr);
  } else {
    SQLBindParameter(stmt, static_cast<uint8_t>(n), type, data, null, nullptr, 0);
  }
}

std::string WideInsertSql(int columns) {
  std::string sql = "INSERT INTO WIDEINS" + std::to_string(columns) + " VALUES (";
  for (int c = 0; c < columns; ++c) sql += c ? ", ?" : "?";
  return sql + ")";
}

[[gnu::noinline]] uint64_t WideInsertRaw(Raw& raw, int columns, int rows) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* params = NewArea(columns);
  const std::string sql = WideInsertSql(columns);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, sql.c_str(), 1, nullptr), "prepare", raw.st);
  Check(isc_dsql_describe_bind(raw.st, &stmt, 1, params), "describe", raw.st);
  std::vector<int32_t> values(static_cast<size_t>(columns));
  std::vector<short> ind(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    params->sqlvar[c].sqldata = reinterpret_cast<char*>(&values[static_cast<size_t>(c)]);
    params->sqlvar[c].sqlind = &ind[static_cast<size_t>(c)];
  }
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) values[static_cast<size_t>(c)] = WideValue(r, c);
    Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, params), "insert", raw.st);
  }
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(params);
  raw.Commit();
  return static_cast<uint64_t>(rows);
}

// A value as text, formatted as a loop written for speed would: exact decimals, ISO dates.
size_t TextOf(const XSQLVAR& v, char* text) {
  auto decimal = [&](int64_t value) {
    char* end = std::to_chars(text, text + 32, value).ptr;
    if (v.sqlscale >= 0) return static_cast<size_t>(end - text);
    const auto places = static_cast<size_t>(-v.sqlscale);
    const size_t n = static_cast<size_t>(end - text);
    std::memmove(text + n - places + 1, text + n - places, places);
    text[n - places] = '.';
    return n + 1;
  };
  std::tm t{};
  switch (v.sqltype & ~1) {
    case SQL_VARYING: {
      uint16_t n;
      std::memcpy(&n, v.sqldata, 2);
      std::memcpy(text, v.sqldata + 2, n);
      return n;
    }
    case SQL_TEXT:
      std::memcpy(text, v.sqldata, static_cast<size_t>(v.sqllen));
      return static_cast<size_t>(v.sqllen);
    case SQL_SHORT:
      return decimal(*reinterpret_cast<int16_t*>(v.sqldata));
    case SQL_LONG:
      return decimal(*reinterpret_cast<int32_t*>(v.sqldata));
    case SQL_INT64:
      return decimal(*reinterpret_cast<int64_t*>(v.sqldata));
    case SQL_DOUBLE:
      return static_cast<size_t>(
          std::to_chars(text, text + 32, *reinterpret_cast<double*>(v.sqldata)).ptr - text);
    case SQL_TIMESTAMP: {
      auto* ts = reinterpret_cast<ISC_TIMESTAMP*>(v.sqldata);
      isc_decode_timestamp(ts, &t);
      return static_cast<size_t>(std::snprintf(text, 32, "%04d-%02d-%02d %02d:%02d:%02d.%04u",
                                               t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                                               t.tm_min, t.tm_sec, ts->timestamp_time % 10000u));
    }
    case SQL_TYPE_DATE:
      isc_decode_sql_date(reinterpret_cast<ISC_DATE*>(v.sqldata), &t);
      return static_cast<size_t>(
          std::snprintf(text, 32, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday));
    case SQL_TYPE_TIME: {
      auto* time = reinterpret_cast<ISC_TIME*>(v.sqldata);
      isc_decode_sql_time(time, &t);
      return static_cast<size_t>(std::snprintf(text, 32, "%02d:%02d:%02d.%04u", t.tm_hour, t.tm_min,
                                               t.tm_sec, *time % 10000u));
    }
    case SQL_BOOLEAN:
      return static_cast<size_t>(std::snprintf(text, 32, v.sqldata[0] ? "TRUE" : "FALSE"));
    default:
      return 0;
  }
}

[[gnu::noinline]] uint64_t TextRaw(Raw& raw, const char* select, int rows) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* out = NewArea(kTextColumns);
  std::string sql = Limited(select, rows);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, sql.c_str(), raw.dialect, out), "prepare",
        raw.st);
  const int columns = out->sqld;
  std::vector<char> buffers(static_cast<size_t>(kTextColumns) * 64);
  short ind[kTextColumns];
  for (int i = 0; i < columns; ++i) {
    out->sqlvar[i].sqldata = buffers.data() + 64 * i;
    out->sqlvar[i].sqlind = &ind[i];
  }
  Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, nullptr), "execute", raw.st);
  uint64_t sum = 0;
  char text[64];
  while (isc_dsql_fetch(raw.st, &stmt, 1, out) == 0) {
    for (int i = 0; i < columns; ++i) {
      if (ind[i] == -1) continue;
      text[TextOf(out->sqlvar[i], text)] = '\0';
      Use(text);
      ++sum;
    }
  }
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(out);
  raw.Commit();
  return sum;
}

template <bool Bounded>
[[gnu::noinline]] uint64_t FetchIbDB(TIbConnRec* conn, int rows) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  std::string sql = Limited(kFetchSelect, rows);
  if (SQLPrepare(stmt, sql.c_str(), 0) != 0) throw std::runtime_error("prepare");
  FetchRow row{};
  BindCol<Bounded>(stmt, 1, 496, &row.id, sizeof(row.id), &row.nulls[0]);
  BindCol<Bounded>(stmt, 2, 448, row.name, sizeof(row.name), &row.nulls[1]);
  BindCol<Bounded>(stmt, 3, 510, row.date, sizeof(row.date), &row.nulls[2]);
  BindCol<Bounded>(stmt, 4, 452, row.code, sizeof(row.code), &row.nulls[3]);
  BindCol<Bounded>(stmt, 5, 480, &row.x, sizeof(row.x), &row.nulls[4]);
  BindCol<Bounded>(stmt, 6, 496, &row.price, sizeof(row.price), &row.nulls[5]);
  SQLExecute(stmt);
  uint64_t sum = 0;
  while (SQLFetch(stmt) == 0) sum += row.Sum();
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return sum;
}

[[gnu::noinline]] uint64_t TextIbDB(TIbConnRec* conn, const char* select, int rows) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  std::string sql = Limited(select, rows);
  if (SQLPrepare(stmt, sql.c_str(), 0) != 0) throw std::runtime_error("prepare");
  const int columns = stmt->OutSqlda->sqld;
  char values[kTextColumns][64];
  uint8_t nulls[kTextColumns];
  int32_t lengths[kTextColumns];
  for (int i = 0; i < columns; ++i) {
    SQLBindCol(stmt, static_cast<uint8_t>(i + 1), CChar, values[i], 64, &nulls[i], &lengths[i]);
  }
  SQLExecute(stmt);
  uint64_t sum = 0;
  while (SQLFetch(stmt) == 0) {
    for (int i = 0; i < columns; ++i) sum += nulls[i] == 0 ? 1 : 0;
  }
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return sum;
}

template <bool Bounded>
[[gnu::noinline]] uint64_t WideIbDB(TIbConnRec* conn, int columns) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  std::string sql = "SELECT * FROM WIDE" + std::to_string(columns);
  SQLPrepare(stmt, sql.c_str(), 0);
  std::vector<int32_t> values(static_cast<size_t>(columns));
  std::vector<uint8_t> nulls(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    BindCol<Bounded>(stmt, c + 1, 496, &values[c], 4, &nulls[c]);
  }
  SQLExecute(stmt);
  uint64_t sum = 0;
  while (SQLFetch(stmt) == 0) {
    for (int c = 0; c < columns; ++c) sum += nulls[c] ? 7 : static_cast<uint32_t>(values[c]);
  }
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return sum;
}

template <bool Bounded>
[[gnu::noinline]] uint64_t InsertIbDB(TIbConnRec* conn, const InsertInputs& in, int rows) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  SQLPrepare(stmt, kInsertSql, 0);
  int32_t id = 0, price = 0;
  double x = 0;
  char name[21], date[20], code[6];
  uint8_t nulls[6];
  BindParam<Bounded>(stmt, 1, 496, &id, sizeof(id), &nulls[0]);
  BindParam<Bounded>(stmt, 2, 448, name, sizeof(name), &nulls[1]);
  BindParam<Bounded>(stmt, 3, 510, date, sizeof(date), &nulls[2]);
  BindParam<Bounded>(stmt, 4, 452, code, sizeof(code), &nulls[3]);
  BindParam<Bounded>(stmt, 5, 480, &x, sizeof(x), &nulls[4]);
  BindParam<Bounded>(stmt, 6, 496, &price, sizeof(price), &nulls[5]);
  for (int k = 0; k < rows; ++k) {
    const auto row = static_cast<size_t>(k);
    id = k;
    std::memcpy(name, in.names[row].c_str(), in.names[row].size() + 1);
    std::memcpy(date, in.dates[row].c_str(), sizeof(date));
    std::memcpy(code, in.codes[row].c_str(), sizeof(code));
    x = InsertInputs::X(k);
    price = InsertInputs::RawPrice(k);
    nulls[1] = InsertInputs::NameIsNull(k);
    if (SQLExecute(stmt) != 0) throw std::runtime_error("insert");
  }
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return static_cast<uint64_t>(rows);
}

[[gnu::noinline]] void BlobWriteIbDB(TIbConnRec* conn, const std::vector<char>& data, int id) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  SQLPrepare(stmt, "INSERT INTO BLOBS (ID, B) VALUES (?, ?)", 0);
  int32_t key = id;
  auto length = static_cast<int32_t>(data.size());
  uint8_t nulls[2];
  SQLBindParameter(stmt, 1, 496, &key, &nulls[0], nullptr, 0);
  SQLBindParameter(stmt, 2, 520, const_cast<char*>(data.data()), &nulls[1], &length, kSegment);
  if (SQLExecute(stmt) != 0) throw std::runtime_error("blob insert");
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
}

[[gnu::noinline]] uint64_t BlobReadIbDB(TIbConnRec* conn, std::vector<char>& back, int id) {
  int32_t length = kSegment;
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  std::string sql = "SELECT B FROM BLOBS WHERE ID = " + std::to_string(id);
  SQLPrepare(stmt, sql.c_str(), 0);
  uint8_t null;
  SQLBindCol(stmt, 1, 520, back.data(), &null, &length);
  SQLExecute(stmt);
  if (SQLFetch(stmt) != 0) throw std::runtime_error("blob fetch");
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return Checksum(back.data(), static_cast<size_t>(length));
}

// ---- this package, bounded: the caller's buffer sizes on every binding ----

// The same rows through parameter arrays: each execution carries kArrayRows rows, read from the
// arrays at their element sizes.
[[gnu::noinline]] uint64_t InsertArrayIbDBBounded(TIbConnRec* conn, const InsertInputs& in,
                                                  int rows) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  SQLPrepare(stmt, kInsertSql, 0);
  constexpr size_t n = kArrayRows;
  std::vector<int32_t> ids(n), prices(n);
  std::vector<double> xs(n);
  std::vector<char> names(n * 21), dates(n * 20), codes(n * 6);
  std::vector<uint8_t> nulls[6];
  for (auto& flags : nulls) flags.assign(n, 0);
  SQLBindParameter(stmt, 1, 496, ids.data(), 4, nulls[0].data(), nullptr);
  SQLBindParameter(stmt, 2, 448, names.data(), 21, nulls[1].data(), nullptr);
  SQLBindParameter(stmt, 3, 510, dates.data(), 20, nulls[2].data(), nullptr);
  SQLBindParameter(stmt, 4, 452, codes.data(), 6, nulls[3].data(), nullptr);
  SQLBindParameter(stmt, 5, 480, xs.data(), 8, nulls[4].data(), nullptr);
  SQLBindParameter(stmt, 6, 496, prices.data(), 4, nulls[5].data(), nullptr);
  for (int start = 0; start < rows; start += kArrayRows) {
    const int count = std::min(kArrayRows, rows - start);
    for (int j = 0; j < count; ++j) {
      const int k = start + j;
      const auto row = static_cast<size_t>(k);
      const auto at = static_cast<size_t>(j);
      ids[at] = k;
      std::memcpy(&names[at * 21], in.names[row].c_str(), in.names[row].size() + 1);
      std::memcpy(&dates[at * 20], in.dates[row].c_str(), 20);
      std::memcpy(&codes[at * 6], in.codes[row].c_str(), 6);
      xs[at] = InsertInputs::X(k);
      prices[at] = InsertInputs::RawPrice(k);
      nulls[1][at] = InsertInputs::NameIsNull(k);
    }
    SQLParamOptions(stmt, static_cast<uint32_t>(count), nullptr);
    if (SQLExecute(stmt) != 0) throw std::runtime_error("array insert");
  }
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return static_cast<uint64_t>(rows);
}

// The wide inserts through this package: one by one, or as one array of all the rows, in the
// bounded form; with again, on one statement per width kept for the connection's life.
[[gnu::noinline]] uint64_t WideInsertIbDB(TIbConnRec* conn, int columns, int rows, bool array,
                                          bool again) {
  static std::map<std::pair<TIbConnRec*, int>, TIbStmtRec*> kept;
  TIbStmtRec*& stmt = kept[{conn, columns}];
  if (!again && stmt != nullptr) {
    SQLFreeStmt(stmt, 1);
    stmt = nullptr;
  }
  if (stmt == nullptr) {
    SQLAllocStmt(conn, stmt);
    if (SQLPrepare(stmt, WideInsertSql(columns).c_str(), 0) != 0) {
      throw std::runtime_error("wide prepare");
    }
  }
  const auto n = static_cast<size_t>(columns);
  const auto r = static_cast<size_t>(array ? rows : 1);
  std::vector<int32_t> values(n * r);
  std::vector<uint8_t> nulls(n * r, 0);
  for (size_t c = 0; c < n; ++c) {
    SQLBindParameter(stmt, static_cast<uint8_t>(c + 1), 496, &values[c * r], 4, &nulls[c * r],
                     nullptr);
  }
  if (array) {
    for (size_t c = 0; c < n; ++c) {
      for (size_t k = 0; k < r; ++k) {
        values[c * r + k] = WideValue(static_cast<int>(k), static_cast<int>(c));
      }
    }
    SQLParamOptions(stmt, static_cast<uint32_t>(rows), nullptr);
    if (SQLExecute(stmt) != 0) throw std::runtime_error("wide array insert");
  } else {
    SQLParamOptions(stmt, 1, nullptr);
    for (int k = 0; k < rows; ++k) {
      for (size_t c = 0; c < n; ++c) values[c] = WideValue(k, static_cast<int>(c));
      if (SQLExecute(stmt) != 0) throw std::runtime_error("wide insert");
    }
  }
  if (!again) {
    SQLFreeStmt(stmt, 1);
    stmt = nullptr;
  }
  SQLTransact(conn, 0);
  return static_cast<uint64_t>(rows);
}

[[gnu::noinline]] void BlobWriteIbDBBounded(TIbConnRec* conn, const std::vector<char>& data,
                                            int id) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  SQLPrepare(stmt, "INSERT INTO BLOBS (ID, B) VALUES (?, ?)", 0);
  int32_t key = id;
  auto length = static_cast<int32_t>(data.size());
  uint8_t nulls[2];
  SQLBindParameter(stmt, 1, 496, &key, sizeof(key), &nulls[0], nullptr);
  SQLBindParameter(stmt, 2, 520, const_cast<char*>(data.data()), length, &nulls[1], &length);
  if (SQLExecute(stmt) != 0) throw std::runtime_error("blob insert");
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
}

// The blob sent at execution in 64 KiB pieces.
[[gnu::noinline]] void BlobPiecesIbDB(TIbConnRec* conn, const std::vector<char>& data, int id) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  SQLPrepare(stmt, "INSERT INTO BLOBS (ID, B) VALUES (?, ?)", 0);
  int32_t key = id;
  int32_t atExec = -2;
  uint8_t nulls[2] = {};
  SQLBindParameter(stmt, 1, 496, &key, sizeof(key), &nulls[0], nullptr);
  char token = 0;  // names the parameter; never read
  SQLBindParameter(stmt, 2, CBinary, &token, 1, &nulls[1], &atExec);
  void* named = nullptr;
  if (SQLExecute(stmt) != 99 || SQLParamData(stmt, &named) != 99) {
    throw std::runtime_error("blob at execution");
  }
  for (size_t at = 0; at < data.size(); at += kPiece) {
    const auto n = static_cast<int32_t>(std::min(kPiece, data.size() - at));
    if (SQLPutData(stmt, data.data() + at, n) != 0) throw std::runtime_error("blob piece");
  }
  if (SQLParamData(stmt, &named) != 0) throw std::runtime_error("blob insert");
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
}

// The blob column bound to nothing: SQLGetData hands it over through a 64 KiB buffer, and the
// checksum is taken piece by piece, as a caller streaming the blob elsewhere would.
[[gnu::noinline]] uint64_t BlobReadIbDBBounded(TIbConnRec* conn, std::vector<char>&, int id) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  std::string sql = "SELECT B FROM BLOBS WHERE ID = " + std::to_string(id);
  SQLPrepare(stmt, sql.c_str(), 0);
  SQLExecute(stmt);
  if (SQLFetch(stmt) != 0) throw std::runtime_error("blob fetch");
  static char piece[kPieceSize];
  StreamChecksum sum;
  int32_t remaining = 0;
  for (int16_t rc = 1; rc == 1;) {
    rc = SQLGetData(stmt, 1, piece, kPieceSize, &remaining);
    if (rc != 0 && rc != 1) throw std::runtime_error("blob read");
    sum.Add(piece, static_cast<size_t>(std::min(remaining, kPieceSize)));
  }
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return sum.Value();
}

// ---- the implementations ----

Impl RawImpl(const Target& target, std::vector<std::shared_ptr<void>>& keep) {
  auto raw = std::make_shared<Raw>(target);
  keep.push_back(raw);
  Raw& r = *raw;
  Impl impl{"raw client",
            [&r](int rows) { return FetchRaw(r, rows); },
            [&r](int columns) { return WideRaw(r, columns); },
            [&r](const InsertInputs& in, int rows) { return InsertRaw(r, in, rows); },
            [&r](const InsertInputs& in, int rows) { return InsertRaw(r, in, rows); },
            [&r](const std::vector<char>& data, int id) { BlobWriteRaw(r, data, id); },
            [&r](std::vector<char>& back, int id) { return BlobReadRaw(r, back, id); },
            "",
            [&r](const char* select, int rows) { return TextRaw(r, select, rows); },
            [&r](int columns, int rows, bool) { return WideInsertRaw(r, columns, rows); }};
  impl.blobPieces = impl.blobWrite;
  return impl;
}

TIbConnRec* IbDBConnect(const Target& target, std::vector<std::shared_ptr<void>>& keep) {
  TIbConnRec* conn = nullptr;
  SQLAllocConnect(conn);
  if (SQLConnect(conn, target.name, target.user, target.password) != 0) {
    char text[512] = {};
    SQLError(conn, nullptr, text, sizeof(text));
    std::fprintf(stderr, "IbDB attach failed: %s\n", text);
    std::exit(1);
  }
  keep.push_back(std::shared_ptr<void>(conn, [](void* p) {
    auto* c = static_cast<TIbConnRec*>(p);
    SQLDisconnect(c);
  }));
  return conn;
}

Impl IbDBImpl(const Target& target, std::vector<std::shared_ptr<void>>& keep) {
  TIbConnRec* conn = IbDBConnect(target, keep);
  return {"IbDB",
          [conn](int rows) { return FetchIbDB<false>(conn, rows); },
          [conn](int columns) { return WideIbDB<false>(conn, columns); },
          [conn](const InsertInputs& in, int rows) { return InsertIbDB<false>(conn, in, rows); },
          [conn](const InsertInputs& in, int rows) { return InsertIbDB<false>(conn, in, rows); },
          [conn](const std::vector<char>& data, int id) { BlobWriteIbDB(conn, data, id); },
          [conn](std::vector<char>& back, int id) { return BlobReadIbDB(conn, back, id); },
          "the classic calls: buffers bound without their sizes, each blob read whole; in the "
          "wide-array cases, this package one row at a time (bounded bindings).",
          nullptr,
          [conn](int columns, int rows, bool again) {
            return WideInsertIbDB(conn, columns, rows, false, again);
          }};
}

Impl IbDBBoundedImpl(const Target& target, std::vector<std::shared_ptr<void>>& keep) {
  TIbConnRec* conn = IbDBConnect(target, keep);
  Impl impl{
      "IbDB bounded",
      [conn](int rows) { return FetchIbDB<true>(conn, rows); },
      [conn](int columns) { return WideIbDB<true>(conn, columns); },
      [conn](const InsertInputs& in, int rows) { return InsertIbDB<true>(conn, in, rows); },
      [conn](const InsertInputs& in, int rows) { return InsertArrayIbDBBounded(conn, in, rows); },
      [conn](const std::vector<char>& data, int id) { BlobWriteIbDBBounded(conn, data, id); },
      [conn](std::vector<char>& back, int id) { return BlobReadIbDBBounded(conn, back, id); },
      "every buffer bound with its size; blobs read through SQLGetData and a 64 KiB "
      "buffer; many rows through parameter arrays of 1000; text cases: every column bound as "
      "text (CChar).",
      [conn](const char* select, int rows) { return TextIbDB(conn, select, rows); },
      [conn](int columns, int rows, bool again) {
        return WideInsertIbDB(conn, columns, rows, true, again);
      }};
  impl.blobPieces = [conn](const std::vector<char>& data, int id) {
    BlobPiecesIbDB(conn, data, id);
  };
  return impl;
}

// Every implementation, connected to the target, in the order of the tables' columns.
std::vector<Impl> Impls(const Target& target, std::vector<std::shared_ptr<void>>& keep,
                        std::string (&skipped)[2]) {
  std::vector<Impl> impls;
  impls.push_back(RawImpl(target, keep));
  impls.push_back(IbDBImpl(target, keep));
  impls.push_back(IbDBBoundedImpl(target, keep));
  for (Impl& impl : SociImpls(target, skipped[0])) impls.push_back(std::move(impl));
  for (Impl& impl : QtImpls(target, skipped[1])) impls.push_back(std::move(impl));
  return impls;
}

// ---- counting ----

// Under callgrind each timed run is counted on its own: the counts are zeroed before it and
// dumped after it under the case's and implementation's names, so that bench/instructions.sh
// can take the smallest count of each over the repetitions. Elsewhere these do nothing.
void MeasureStart() {
#ifdef VARLO_BENCH_CALLGRIND
  CALLGRIND_ZERO_STATS;
#endif
}

void MeasureEnd([[maybe_unused]] const std::string& label) {
#ifdef VARLO_BENCH_CALLGRIND
  CALLGRIND_DUMP_STATS_AT(label.c_str());
#endif
}

// ---- timing ----

using Clock = std::chrono::steady_clock;

template <typename F>
double Seconds(F&& f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Result {
  std::string name, size;
  std::vector<double> times;   // median seconds per implementation; negative: not run
  std::vector<double> ratios;  // median ratio to the raw client per implementation
};

// Runs one case: every implementation that can do it once per repetition, the first one turning
// round; prepare runs before every timed run. The checksums must agree with the raw client's.
Result RunCase(
    const std::string& name, const std::string& size, std::vector<Impl>& impls, int reps,
    const std::function<bool(const Impl&)>& can, const std::function<uint64_t(Impl&)>& run,
    const std::function<void()>& prepare = [] {}) {
  const size_t n = impls.size();
  std::vector<std::vector<double>> times(n);
  std::vector<uint64_t> sums(n);
  for (int r = 0; r < reps; ++r) {
    for (size_t k = 0; k < n; ++k) {
      size_t i = (k + static_cast<size_t>(r)) % n;
      if (!can(impls[i])) continue;
      prepare();
      MeasureStart();
      times[i].push_back(Seconds([&] { sums[i] = run(impls[i]); }));
      MeasureEnd(name + "|" + size + "|" + impls[i].name);
    }
  }
  Result result{name, size, {}, {}};
  for (size_t i = 0; i < n; ++i) {
    if (times[i].empty()) {
      result.times.push_back(-1);
      result.ratios.push_back(-1);
      continue;
    }
    if (sums[i] != sums[0]) {
      std::fprintf(stderr, "%s %s: checksum of %s differs from the raw client's (%llu vs %llu)\n",
                   name.c_str(), size.c_str(), impls[i].name.c_str(),
                   static_cast<unsigned long long>(sums[i]),
                   static_cast<unsigned long long>(sums[0]));
      std::exit(1);
    }
    std::vector<double> ratios;
    for (size_t r = 0; r < times[i].size() && r < times[0].size(); ++r) {
      ratios.push_back(times[i][r] / times[0][r]);
    }
    result.times.push_back(Median(times[i]));
    result.ratios.push_back(Median(ratios));
  }
  std::fprintf(stderr, "  %-10s %-14s", name.c_str(), size.c_str());
  for (size_t i = 0; i < n; ++i) {
    if (result.times[i] >= 0) {
      std::fprintf(stderr, "  %s %.1f ms (%.3f)", impls[i].name.c_str(), result.times[i] * 1e3,
                   result.ratios[i]);
    }
  }
  std::fprintf(stderr, "\n");
  return result;
}

// ---- the databases ----

// Creates the target's file in its dialect, with asynchronous writes: the cases measure the
// layers over the client, not the disk's flushes. What to attach to with the embedded engine.
Target CreateFile(const Target& target) {
  ISC_STATUS st[20];
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;
  std::string sql = "CREATE DATABASE '" + target.path + "'";
  if (target.server) sql += " USER '" + target.user + "'";
  sql += " PAGE_SIZE 8192 DEFAULT CHARACTER SET NONE";
  Check(isc_dsql_execute_immediate(st, &db, &tr, 0, sql.c_str(), target.dialect, nullptr), "create",
        st);
  isc_detach_database(st, &db);
  const char dpb[] = {isc_dpb_version1, isc_dpb_force_write, 1, 0};
  Check(isc_attach_database(st, 0, target.path.c_str(), &db, sizeof(dpb), dpb), "attach", st);
  isc_detach_database(st, &db);
  Target local = target;
  local.name = target.path;
  local.user.clear();
  return local;
}

void CreateDatabase(const Target& target, int rows) {
  Raw raw(CreateFile(target));
  const char* row =
      "(ID INTEGER, NAME VARCHAR(20), D DATE, CODE CHAR(5), X DOUBLE PRECISION, "
      "PRICE NUMERIC(9,2))";
  raw.Exec(std::string("CREATE TABLE ROWS6 ") + row);
  raw.Exec(std::string("CREATE TABLE INS ") + row);
  raw.Exec("CREATE TABLE BLOBS (ID INTEGER, B BLOB SUB_TYPE 0)");
  raw.Exec(
      "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(rows) +
      ") DO BEGIN INSERT INTO ROWS6 VALUES (:I, IIF(MOD(:I, 7) = 0, NULL, 'name ' || :I), "
      "DATEADD(:I SECOND TO TIMESTAMP '2001-02-03 04:05:06'), IIF(MOD(:I, 11) = 0, NULL, 'c' || "
      "MOD(:I, 1000)), IIF(MOD(:I, 13) = 0, NULL, :I * 0.5), MOD(:I, 100000) / 100.0); "
      "I = I + 1; END END");
  for (int columns : kWideInsertColumns) {
    std::string ddl = "CREATE TABLE WIDEINS" + std::to_string(columns) + " (";
    for (int c = 0; c < columns; ++c) ddl += (c ? ", C" : "C") + std::to_string(c) + " INTEGER";
    raw.Exec(ddl + ")");
  }
  for (int columns : {10, 50, 200}) {
    std::string ddl = "CREATE TABLE WIDE" + std::to_string(columns) + " (";
    std::string values;
    for (int c = 0; c < columns; ++c) {
      ddl += (c ? ", C" : "C") + std::to_string(c) + " INTEGER";
      values += (c ? ", " : "") + std::string(c % 17 == 5 ? "NULL" : ":I + " + std::to_string(c));
    }
    raw.Exec(ddl + ")");
    raw.Exec("EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " +
             std::to_string(kWideRows) + ") DO BEGIN INSERT INTO WIDE" + std::to_string(columns) +
             " VALUES (" + values + "); I = I + 1; END END");
  }
}

// A dialect-3 database with a table of the types dialect 1 cannot name, NULLs among them.
void CreateTypesDatabase(const Target& target, int rows) {
  Raw raw(CreateFile(target));
  raw.Exec(
      "CREATE TABLE TYPES3 (D DATE, TM TIME, TS TIMESTAMP, N184 NUMERIC(18,4), "
      "N92 NUMERIC(9,2), BO BOOLEAN)");
  raw.Exec("EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(rows) +
           ") DO BEGIN INSERT INTO TYPES3 VALUES (DATEADD(:I DAY TO DATE '1990-01-01'), "
           "DATEADD(:I * 7 MILLISECOND TO TIME '00:00:00'), "
           "DATEADD(:I * 1001 MILLISECOND TO TIMESTAMP '2001-02-03 04:05:06'), "
           "IIF(MOD(:I, 13) = 0, NULL, :I * 1234567.0123), MOD(:I, 100000) / 100.0, "
           "IIF(MOD(:I, 11) = 0, NULL, MOD(:I, 2) = 0)); I = I + 1; END END");
}

// The server opens the file as its own user.
void HandToServer(const std::string& path) {
  std::string command = "chown firebird:firebird '" + path + "'";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "cannot hand %s to the server's user\n", path.c_str());
    std::exit(1);
  }
}

// ---- peak memory ----

long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

struct Options {
  int reps = 10;
  int rows = 200000;
  int serverRows = 50000;
  std::string kind = "both";
  std::string only;
  bool peak = true;
  bool setupOnly = false;
  bool bigBlob = false;
  bool cancels = false;
  bool shapes = false;
  std::string dir;
};

// A database file of the bench's own, embedded or over the server (the test user's).
Target FileTarget(const std::string& path, bool server) {
  Target target;
  target.path = path;
  target.server = server;
  if (server) {
    target.user = Env("VARLO_TEST_USER", "VARLO_TEST");
    target.password = Env("VARLO_TEST_PASSWORD", "varlo-test-pw");
  }
  return target;
}

// A 1 GiB blob written through SQLPutData in 64 KiB pieces, made one at a time as a caller reading
// a file would, and read back through SQLGetData with a 64 KiB buffer: time and the growth of
// peak resident memory while each runs, embedded or over the server.
void BigBlob(const std::string& dir, bool server) {
  Target target = FileTarget(dir + (server ? "/big-server.fdb" : "/big.fdb"), server);
  Raw(CreateFile(target)).Exec("CREATE TABLE BLOBS (ID INTEGER, B BLOB SUB_TYPE 0)");
  if (server) HandToServer(target.path);
  target.name = server ? "localhost:" + target.path : target.path;
  std::vector<std::shared_ptr<void>> keep;
  TIbConnRec* conn = IbDBConnect(target, keep);
  constexpr size_t kSize = size_t{1} << 30;
  StreamChecksum expected;
  std::vector<char> piece(kPiece);
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  SQLPrepare(stmt, "INSERT INTO BLOBS (ID, B) VALUES (?, ?)", 0);
  int32_t id = 0, atExec = -2;
  uint8_t nulls[2] = {};
  SQLBindParameter(stmt, 1, 496, &id, 4, &nulls[0], nullptr);
  SQLBindParameter(stmt, 2, CBinary, piece.data(), 1, &nulls[1], &atExec);
  auto write = [&](size_t size, StreamChecksum* sum) {
    void* named = nullptr;
    bool ok = SQLExecute(stmt) == 99 && SQLParamData(stmt, &named) == 99;
    for (size_t at = 0; ok && at < size; at += kPiece) {
      for (size_t i = 0; i < kPiece; ++i) {
        piece[i] = static_cast<char>(((at + i) * 2654435761u) >> 13);
      }
      if (sum != nullptr) sum->Add(piece.data(), kPiece);
      ok = SQLPutData(stmt, piece.data(), static_cast<int32_t>(kPiece)) == 0;
    }
    if (!ok || SQLParamData(stmt, &named) != 0 || SQLTransact(conn, 0) != 0) {
      std::fprintf(stderr, "1 GiB blob: the write failed\n");
      std::exit(1);
    }
  };
  // A first blob of 64 MiB fills the engine's page cache, which any write of that size fills:
  // what grows after it is the package's and the client's.
  write(size_t{64} << 20, nullptr);
  id = 1;
  ResetPeak();
  const long writeStart = PeakKiB();
  const double writeSeconds = Seconds([&] { write(kSize, &expected); });
  const long writePeak = PeakKiB();
  SQLFreeStmt(stmt, 1);
  ResetPeak();
  const long readStart = PeakKiB();
  std::vector<char> none;
  uint64_t sum = 0;
  const double readSeconds = Seconds([&] { sum = BlobReadIbDBBounded(conn, none, 1); });
  const long readPeak = PeakKiB();
  if (sum != expected.Value()) {
    std::fprintf(stderr, "1 GiB blob: checksum differs\n");
    std::exit(1);
  }
  std::printf(
      "1 GiB blob, %s: written through SQLPutData in 64 KiB pieces in %.2f s (after one of 64 "
      "MiB), peak resident memory %ld KiB before and %ld KiB after; read through SQLGetData and a "
      "64 KiB buffer in "
      "%.2f s, %ld KiB before and %ld KiB after\n",
      server ? "over the server" : "embedded", writeSeconds, writeStart, writePeak, readSeconds,
      readStart, readPeak);
}

// Parameter arrays against the same rows one by one, each on a new statement (the block's
// compile counted), over the server: rows of 10 to 200 INTEGER columns in calls of 2 to 1000 rows,
// an UPDATE naming 1000 constants in an IN list, 30000-byte values. Best of 5, ms.
void ArrayShapes(const std::string& dir) {
  Target target = FileTarget(dir + "/shapes-server.fdb", true);
  {
    Raw raw(CreateFile(target));
    for (int columns : {10, 50, 100, 200}) {
      std::string ddl = "CREATE TABLE W" + std::to_string(columns) + " (";
      for (int c = 0; c < columns; ++c)
        ddl += (c > 0 ? ", C" : "C") + std::to_string(c) + " INTEGER";
      raw.Exec(ddl + ")");
    }
    raw.Exec("CREATE TABLE U (ID INTEGER NOT NULL PRIMARY KEY, V VARCHAR(20), K INTEGER)");
    raw.Exec("CREATE TABLE O (ID INTEGER, V VARCHAR(32765) CHARACTER SET OCTETS)");
    raw.Exec(
        "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < 1000) DO BEGIN "
        "INSERT INTO U VALUES (:I, 'x', 0); I = I + 1; END END");
  }
  HandToServer(target.path);
  target.name = "localhost:" + target.path;
  std::vector<std::shared_ptr<void>> held;
  TIbConnRec* conn = IbDBConnect(target, held);
  // Binds column-major arrays of the given rows (1 for one by one) and runs them.
  auto run = [conn](const std::string& sql, int rows, bool array, bool text) {
    const auto start = std::chrono::steady_clock::now();
    TIbStmtRec* stmt = nullptr;
    SQLAllocStmt(conn, stmt);
    if (SQLPrepare(stmt, sql.c_str(), 0) != 0) std::exit(1);
    const int r = array ? rows : 1;
    const int n = stmt->InSqlda->sqld;
    const int width = text ? 30000 : 4;
    std::vector<int32_t> values(static_cast<size_t>(n * r), 1),
        lengths(static_cast<size_t>(r), width);
    std::vector<char> bytes(static_cast<size_t>(r * width), 'a');
    std::vector<uint8_t> nulls(static_cast<size_t>(r), 0);
    for (int k = 0; k < r; ++k) values[static_cast<size_t>(k)] = k;
    for (int i = 0; i < n; ++i) {
      const bool wide = text && i == 1;
      SQLBindParameter(
          stmt, static_cast<uint8_t>(i + 1), wide ? CBinary : 496,
          wide ? static_cast<void*>(bytes.data()) : &values[static_cast<size_t>(i * r)],
          wide ? width : 4, nulls.data(), wide ? lengths.data() : nullptr);
    }
    SQLParamOptions(stmt, static_cast<uint32_t>(r), nullptr);
    for (int k = 0; k < (array ? 1 : rows); ++k) {
      values[0] = k;
      if (SQLExecute(stmt) != 0) std::exit(1);
    }
    SQLFreeStmt(stmt, 1);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    SQLTransact(conn, 1);
    return ms;
  };
  auto compare = [&](const std::string& label, const std::string& sql, int rows, bool text) {
    double best[2] = {1e9, 1e9};
    for (int rep = 0; rep < 5; ++rep) {
      for (int array = 0; array < 2; ++array) {
        best[array] = std::min(best[array], run(sql, rows, array == 1, text));
      }
    }
    std::printf("| %s | %d | %.2f | %.2f (%.2f) |\n", label.c_str(), rows, best[0], best[1],
                best[1] / best[0]);
  };
  std::printf("| shape | rows | one by one ms | array ms |\n|---|---:|---:|---:|\n");
  for (int columns : {10, 50, 100, 200}) {
    std::string sql = "INSERT INTO W" + std::to_string(columns) + " VALUES (?";
    for (int c = 1; c < columns; ++c) sql += ", ?";
    for (int rows : {2, 16, 64, 163, 256, 1000}) {
      compare(std::to_string(columns) + " INTEGER columns", sql + ")", rows, false);
    }
  }
  std::string in = "UPDATE U SET K = K + ? WHERE ID = ? AND K IN (";
  for (int k = 0; k < 1000; ++k) in += (k > 0 ? ", " : "") + std::to_string(k);
  compare("UPDATE, IN list of 1000 constants", in + ")", 1000, false);
  compare("30000-byte values, VARCHAR(32765) OCTETS", "INSERT INTO O VALUES (?, ?)", 300, true);
}

// How long a cancelled call takes to end, and whether its connection stays usable, for the
// kinds of work a cancel meets: an INSERT ... SELECT undone, a sort, a long value read in pieces.
// Option 153 is 0 (no grace beyond the undo's allowance), so that the server's own answer is
// measured wherever it comes within the allowance.
void Cancels(const std::string& dir, bool server) {
  Target target = FileTarget(dir + (server ? "/cancel-server.fdb" : "/cancel.fdb"), server);
  {
    Raw raw(CreateFile(target));
    raw.Exec("CREATE TABLE SRC (ID INTEGER, S VARCHAR(100))");
    raw.Exec("CREATE TABLE DST (ID INTEGER, S VARCHAR(100))");
    raw.Exec("CREATE TABLE BLOBS (B BLOB SUB_TYPE 0)");
    raw.Exec(
        "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < 2000000) DO BEGIN INSERT "
        "INTO SRC VALUES (:I, LPAD(:I, 100, 'x')); I = I + 1; END END");
  }
  {
    Target local = target;
    local.name = target.path;
    std::vector<std::shared_ptr<void>> held;
    TIbConnRec* conn = IbDBConnect(local, held);
    TIbStmtRec* insert = nullptr;
    SQLAllocStmt(conn, insert);
    SQLPrepare(insert, "INSERT INTO BLOBS VALUES (?)", 0);
    std::vector<char> piece(kPiece, 'b');
    int32_t atExec = -2;
    uint8_t null = 0;
    void* named = nullptr;
    SQLBindParameter(insert, 1, CBinary, piece.data(), 1, &null, &atExec);
    bool ok = SQLExecute(insert) == 99 && SQLParamData(insert, &named) == 99;
    for (int k = 0; ok && k < 2048; ++k) {
      ok = SQLPutData(insert, piece.data(), static_cast<int32_t>(kPiece)) == 0;
    }
    if (!ok || SQLParamData(insert, &named) != 0 || SQLTransact(conn, 0) != 0) std::exit(1);
    SQLFreeStmt(insert, 1);
  }
  if (server) HandToServer(target.path);
  target.name = server ? "localhost:" + target.path : target.path;
  std::vector<std::shared_ptr<void>> keep;
  struct Case {
    const char* name;
    const char* sql;
    double after;  // seconds from the start to the cancel
    bool fetch;    // the cancel meets the first fetch (or the read of the value)
  };
  constexpr const char* kTen = "(SELECT 1 AS ONE FROM RDB$TYPES ROWS 10)";
  const std::string insert = std::string("INSERT INTO DST SELECT A.ID, A.S FROM SRC A, ") + kTen;
  const std::string sort = std::string("SELECT A.ID FROM SRC A, ") + kTen + " ORDER BY A.S DESC";
  const char* kInsert = insert.c_str();
  const char* kSort = sort.c_str();
  const Case cases[] = {
      {"INSERT ... SELECT of 20M rows, cancelled at 1 s", kInsert, 1, false},
      {"INSERT ... SELECT of 20M rows, cancelled at 5 s", kInsert, 5, false},
      {"INSERT ... SELECT of 20M rows, cancelled at 15 s", kInsert, 15, false},
      {"sort of 20M rows, first fetch cancelled at 1 s", kSort, 1, true},
      {"sort of 20M rows, first fetch cancelled at 5 s", kSort, 5, true},
      {"128 MiB blob read in 64 KiB pieces, cancelled at 0.3 s", "SELECT B FROM BLOBS", 0.3, true},
  };
  for (const Case& c : cases) {
    TIbConnRec* conn = IbDBConnect(target, keep);
    SQLSetConnectOption(conn, 153, 0);
    TIbStmtRec* stmt = nullptr;
    SQLAllocStmt(conn, stmt);
    SQLPrepare(stmt, c.sql, 0);
    std::atomic<bool> done{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::duration<double>(c.after));
      if (!done) SQLCancel(stmt);
    });
    int rc = SQLExecute(stmt);
    if (rc == 0 && c.fetch) rc = SQLFetch(stmt);
    std::vector<char> piece(kPiece);
    int32_t got = 0;
    while (rc == 0 && std::string_view(c.sql).find("BLOBS") != std::string_view::npos) {
      rc = SQLGetData(stmt, 1, CBinary, piece.data(), static_cast<int32_t>(kPiece), &got);
      if (rc == 0) break;  // the whole value read
      rc = rc == 1 ? 0 : rc;
    }
    done = true;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    canceller.join();
    SQLFreeStmt(stmt, 0);
    const bool usable = SQLTransact(conn, 1) == 0 && conn->State.Lost == 0;
    std::printf("%s, %s: rc %d, ended %.3f s after the cancel, connection %s\n",
                server ? "over the server" : "embedded", c.name, rc, seconds - c.after,
                usable ? "usable" : "lost");
    std::fflush(stdout);
  }
}

// Runs every case on one target and prints its table.
void RunKind(const Options& options, bool server, const std::string& dir) {
  const int rows = server ? options.serverRows : options.rows;
  Target target;
  target.path = dir + (server ? "/server.fdb" : "/embedded.fdb");
  target.server = server;
  if (server) {
    target.user = Env("VARLO_TEST_USER", "VARLO_TEST");
    target.password = Env("VARLO_TEST_PASSWORD", "varlo-test-pw");
  }
  // The types of dialect 3 live in a database of their own.
  Target types = target;
  types.path = dir + (server ? "/server3.fdb" : "/embedded3.fdb");
  types.dialect = 3;
  // A database an earlier run left in --dir is used as it is.
  if (!std::filesystem::exists(target.path)) {
    std::fprintf(stderr, "%s: filling %s ...\n", server ? "server" : "embedded",
                 target.path.c_str());
    CreateDatabase(target, rows);
    CreateTypesDatabase(types, rows);
    if (server) HandToServer(target.path);
    if (server) HandToServer(types.path);
  }
  target.name = server ? "localhost:" + target.path : target.path;
  types.name = server ? "localhost:" + types.path : types.path;
  if (options.setupOnly) return;

  std::vector<std::shared_ptr<void>> keep;
  std::string skipped[2];
  std::vector<Impl> impls = Impls(target, keep, skipped);
  for (const std::string& reason : skipped) {
    if (!reason.empty()) std::fprintf(stderr, "%s\n", reason.c_str());
  }
  Raw admin(target);

  auto wants = [&](const char* name) { return options.only.empty() || options.only == name; };
  std::vector<Result> results;
  const int reps = options.reps;
  if (wants("fetch")) {
    results.push_back(RunCase(
        "fetch", std::to_string(rows) + " rows", impls, reps,
        [](const Impl& i) { return static_cast<bool>(i.fetch); },
        [&](Impl& i) { return i.fetch(rows); }));
  }
  for (int columns : {10, 50, 200}) {
    if (!wants("wide")) break;
    results.push_back(RunCase(
        "wide", std::to_string(columns) + " x " + std::to_string(kWideRows), impls, reps,
        [](const Impl& i) { return static_cast<bool>(i.wide); },
        [&](Impl& i) { return i.wide(columns); }));
  }
  if (wants("insert")) {
    const int insertRows = rows / 2;
    InsertInputs inputs(insertRows);
    auto recreate = [&] {
      admin.Exec(
          "RECREATE TABLE INS (ID INTEGER, NAME VARCHAR(20), D DATE, CODE CHAR(5), "
          "X DOUBLE PRECISION, PRICE NUMERIC(9,2))");
    };
    results.push_back(RunCase(
        "insert", std::to_string(insertRows) + " rows", impls, reps,
        [](const Impl& i) { return static_cast<bool>(i.insert); },
        [&](Impl& i) { return i.insert(inputs, insertRows); }, recreate));
    results.push_back(RunCase(
        "insert arrays", std::to_string(insertRows) + " rows", impls, reps,
        [](const Impl& i) { return static_cast<bool>(i.insertArray); },
        [&](Impl& i) { return i.insertArray(inputs, insertRows); }, recreate));
  }
  for (int columns : kWideInsertColumns) {
    if (!wants("wide arrays")) break;
    auto can = [](const Impl& i) { return static_cast<bool>(i.wideInsert); };
    auto empty = [&] { admin.Exec("DELETE FROM WIDEINS" + std::to_string(columns)); };
    for (bool again : {false, true}) {
      results.push_back(RunCase(
          std::string("wide arrays, ") + (again ? "again" : "first run"),
          std::to_string(columns) + " x " + std::to_string(kWideInsertRows), impls, reps, can,
          [&](Impl& i) { return i.wideInsert(columns, kWideInsertRows, again); }, empty));
    }
  }
  if (wants("text")) {
    auto can = [](const Impl& i) { return static_cast<bool>(i.text); };
    results.push_back(RunCase("text", std::to_string(rows) + " rows", impls, reps, can,
                              [&](Impl& i) { return i.text(kFetchSelect, rows); }));
    std::vector<std::shared_ptr<void>> keepTypes;
    std::string skippedTypes[2];
    // A peer that cannot read a type of the table is left out of that case, with the reason.
    for (const char* select : {kTypesSelect, kTypesBoolSelect}) {
      std::vector<Impl> typed = Impls(types, keepTypes, skippedTypes);
      const uint64_t first = typed[0].text(select, 1);
      for (size_t k = 1; k < typed.size(); ++k) {
        if (!typed[k].text) continue;
        std::string why;
        try {
          const uint64_t got = typed[k].text(select, 1);
          if (got != first) {
            why = "it reads " + std::to_string(got) + " of the " + std::to_string(first) +
                  " values of the first row";
          }
        } catch (const std::exception& e) {
          why = e.what();
        }
        if (why.empty()) continue;
        typed[k].text = nullptr;
        impls[k].notes += " Left out of \"" + std::string(select) + "\": " + why + ".";
      }
      if (typed.size() != impls.size()) break;
      results.push_back(
          RunCase(select == kTypesSelect ? "text, dialect 3" : "text, dialect 3 + BOOLEAN",
                  std::to_string(rows) + " rows", typed, reps, can,
                  [&](Impl& i) { return i.text(select, rows); }));
    }
  }
  if (wants("blob")) {
    std::vector<char> data(32u << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::vector<char> back(data.size() + kSegment);
    int id = 0;
    // Each write finds the table as the others did: empty, its garbage collected.
    auto empty = [&] {
      admin.Exec("DELETE FROM BLOBS");
      admin.Exec(
          "EXECUTE BLOCK AS DECLARE C INTEGER; BEGIN SELECT COUNT(*) FROM BLOBS INTO :C; END");
    };
    const uint64_t expected = Checksum(data.data(), data.size());
    results.push_back(RunCase(
        "blob write", "32 MiB", impls, 2 * reps,
        [](const Impl& i) { return static_cast<bool>(i.blobWrite); },
        [&](Impl& i) {
          i.blobWrite(data, ++id);
          return uint64_t{0};
        },
        empty));
    results.push_back(RunCase(
        "blob write, 64 KiB pieces", "32 MiB", impls, 2 * reps,
        [](const Impl& i) { return static_cast<bool>(i.blobPieces); },
        [&](Impl& i) {
          i.blobPieces(data, ++id);
          return uint64_t{0};
        },
        empty));
    // Every implementation reads the blob written last, the same bytes whoever wrote it.
    const int shared = id;
    results.push_back(RunCase(
        "blob read", "32 MiB", impls, 2 * reps,
        [](const Impl& i) { return static_cast<bool>(i.blobRead); },
        [&](Impl& i) {
          uint64_t sum = i.blobRead(back, shared);
          if (sum != expected) {
            std::fprintf(stderr, "blob read by %s: checksum differs\n", i.name.c_str());
            std::exit(1);
          }
          return sum;
        }));
  }

  long peaks[2] = {-1, -1}, starts[2] = {-1, -1};
  const int counts[2] = {rows / 10, rows};
  if (options.peak && wants("fetch")) {
    for (int k = 0; k < 2; ++k) {
      ResetPeak();
      starts[k] = PeakKiB();
      impls[1].fetch(counts[k]);
      peaks[k] = PeakKiB();
    }
  }

  std::printf("\n%s (%s), median of %d runs per case, %d for the blobs\n\n",
              server ? "Server" : "Embedded", server ? "localhost:, TCP" : "by file path", reps,
              2 * reps);
  std::printf("| case | size |");
  for (const Impl& impl : impls) std::printf(" %s ms |", impl.name.c_str());
  std::printf("\n|---|---|");
  for (size_t i = 0; i < impls.size(); ++i) std::printf("---:|");
  std::printf("\n");
  for (const Result& r : results) {
    std::printf("| %s | %s |", r.name.c_str(), r.size.c_str());
    for (size_t i = 0; i < impls.size(); ++i) {
      if (r.times[i] < 0) {
        std::printf(" n/a |");
      } else if (i == 0) {
        std::printf(" %.1f |", r.times[i] * 1e3);
      } else {
        std::printf(" %.1f (%.3f) |", r.times[i] * 1e3, r.ratios[i]);
      }
    }
    std::printf("\n");
  }
  std::printf(
      "\nEvery implementation checksums what it read in this package's caller form: NUMERIC(9,2) "
      "as its integer part, dates as \"MM/DD/YYYY hh:mm:ss\" text, a NULL VARCHAR keeping the "
      "text before it. The text cases count the values that are not NULL, each read as text in "
      "the implementation's own form.\n");
  for (const Impl& impl : impls) {
    if (!impl.notes.empty()) std::printf("\n%s: %s", impl.name.c_str(), impl.notes.c_str());
  }
  for (const std::string& reason : skipped) {
    if (!reason.empty()) std::printf("\n%s", reason.c_str());
  }
  if (options.peak && wants("fetch")) {
    std::printf(
        "\nPeak resident memory of the fetch case through IbDB: %ld KiB for %d rows, %ld KiB for "
        "%d rows (%ld and %ld KiB at their start).",
        peaks[0], counts[0], peaks[1], counts[1], starts[0], starts[1]);
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

#ifndef VARLO_BENCH_SOCI
std::vector<Impl> bench::SociImpls(const Target&, std::string& skipped) {
  skipped = "SOCI skipped: its Firebird backend was not found at build time (libsoci-dev)";
  return {};
}
#endif
#ifndef VARLO_BENCH_QT
std::vector<Impl> bench::QtImpls(const Target&, std::string& skipped) {
  skipped = "Qt skipped: its SQL module was not found at build time (qtbase5-dev)";
  return {};
}
#endif

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--reps") options.reps = std::atoi(argv[i + 1]);
    if (arg == "--rows") options.rows = std::atoi(argv[i + 1]);
    if (arg == "--server-rows") options.serverRows = std::atoi(argv[i + 1]);
    if (arg == "--kind") options.kind = argv[i + 1];
    if (arg == "--only") options.only = argv[i + 1];
    if (arg == "--peak") options.peak = std::atoi(argv[i + 1]) != 0;
    if (arg == "--dir") options.dir = argv[i + 1];
    if (arg == "--setup-only") options.setupOnly = std::atoi(argv[i + 1]) != 0;
    if (arg == "--big-blob") options.bigBlob = std::atoi(argv[i + 1]) != 0;
    if (arg == "--cancels") options.cancels = std::atoi(argv[i + 1]) != 0;
    if (arg == "--array-shapes") options.shapes = std::atoi(argv[i + 1]) != 0;
  }
  char pattern[] = "/tmp/varlo-bench.XXXXXX";
  const std::string dir = options.dir.empty() ? std::string(mkdtemp(pattern)) : options.dir;
  chmod(dir.c_str(), 0777);  // the server opens its database here as its own user
  if (options.shapes) {
    ArrayShapes(dir);
    if (options.dir.empty()) std::filesystem::remove_all(dir);
    return 0;
  }
  if (options.cancels) {
    if (options.kind != "server") Cancels(dir, false);
    if (options.kind != "embedded") Cancels(dir, true);
    if (options.dir.empty()) std::filesystem::remove_all(dir);
    return 0;
  }
  if (options.bigBlob) {
    if (options.kind != "server") BigBlob(dir, false);
    if (options.kind != "embedded") BigBlob(dir, true);
    if (options.dir.empty()) std::filesystem::remove_all(dir);
    return 0;
  }
  if (options.kind != "server") RunKind(options, false, dir);
  if (options.kind != "embedded") RunKind(options, true, dir);
  if (options.dir.empty()) std::filesystem::remove_all(dir);
  return 0;
}
