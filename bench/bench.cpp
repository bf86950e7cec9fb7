// Varlo against the raw client, case by case, in one process on one embedded database.
//
//   varlo-bench [--reps N (10)] [--rows N] [--dir PATH] [--only fetch|wide|insert|blob]
//               [--peak 0|1]
//
// Each case runs through IbDB and through a raw-client loop written for speed, alternating the
// order, and reports the median of N runs of each and the median ratio of the pairs of runs
// (N even, so that an advantage of running first or second cancels out). Both
// sides compute the same checksum of what they read, which must agree.
#include <ibase.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"

using namespace IbDB;

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

struct Raw {
  ISC_STATUS st[20] = {};
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;

  explicit Raw(const std::string& path) {
    const char dpb[] = {isc_dpb_version1};
    Check(isc_attach_database(st, 0, path.c_str(), &db, sizeof(dpb), dpb), "attach", st);
  }
  ~Raw() { isc_detach_database(st, &db); }
  void Start() { Check(isc_start_transaction(st, &tr, 1, &db, 0, nullptr), "start", st); }
  void Commit() { Check(isc_commit_transaction(st, &tr), "commit", st); }
  void Exec(const std::string& sql) {
    Start();
    Check(isc_dsql_execute_immediate(st, &db, &tr, 0, sql.c_str(), 1, nullptr), sql.c_str(), st);
    Commit();
  }
};

XSQLDA* NewArea(int n) {
  auto* da = static_cast<XSQLDA*>(std::calloc(1, IBAPI::XSQLDA_LENGTH(static_cast<uint16_t>(n))));
  da->version = SQLDA_VERSION1;
  da->sqln = static_cast<short>(n);
  return da;
}

void Put2(char* at, int v) {
  at[0] = static_cast<char>('0' + v / 10);
  at[1] = static_cast<char>('0' + v % 10);
}

// "MM/DD/YYYY hh:mm:ss", as the raw loop would format it by hand.
void FormatDate(const ISC_QUAD* q, char* text) {
  std::tm t;
  isc_decode_date(q, &t);
  int year = t.tm_year + 1900;
  Put2(text, t.tm_mon + 1);
  text[2] = '/';
  Put2(text + 3, t.tm_mday);
  text[5] = '/';
  Put2(text + 6, year / 100);
  Put2(text + 8, year % 100);
  text[10] = ' ';
  Put2(text + 11, t.tm_hour);
  text[13] = ':';
  Put2(text + 14, t.tm_min);
  text[16] = ':';
  Put2(text + 17, t.tm_sec);
  text[19] = '\0';
}

int Get2(const char* p) {
  return (p[0] - '0') * 10 + (p[1] - '0');
}

void ParseDate(const char* text, ISC_QUAD* q) {
  std::tm t{};
  t.tm_mon = Get2(text) - 1;
  t.tm_mday = Get2(text + 3);
  t.tm_year = Get2(text + 6) * 100 + Get2(text + 8) - 1900;
  t.tm_hour = Get2(text + 11);
  t.tm_min = Get2(text + 14);
  t.tm_sec = Get2(text + 17);
  isc_encode_date(&t, q);
}

// ---- timing ----

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Result {
  std::string name, size;
  double ibdb, raw, ratio;
};

// The runs of a case pair up in the order they ran; the ratio is the median of the pairs' ratios,
// which drifts of the machine between pairs do not move.
Result Summarize(const std::string& name, const std::string& size, const std::vector<double>& a,
                 const std::vector<double>& b) {
  std::vector<double> ratios;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
  return {name, size, Median(a), Median(b), Median(ratios)};
}

std::vector<Result> results;

// Runs both sides reps times in alternating order; prepare runs before every timed run.
std::string onlyCase;

void Compare(
    const std::string& name, const std::string& size, int reps,
    const std::function<uint64_t()>& ibdb, const std::function<uint64_t()>& raw,
    const std::function<void()>& prepare = [] {}) {
  if (!onlyCase.empty() && onlyCase != name) return;
  std::vector<double> a, b;
  uint64_t sumA = 0, sumB = 0;
  for (int r = 0; r < reps; ++r) {
    for (int side : r % 2 ? std::vector<int>{1, 0} : std::vector<int>{0, 1}) {
      prepare();
      if (side == 0) {
        a.push_back(Seconds([&] { sumA = ibdb(); }));
      } else {
        b.push_back(Seconds([&] { sumB = raw(); }));
      }
    }
  }
  if (sumA != sumB) {
    std::fprintf(stderr, "%s: checksums differ (%llu vs %llu)\n", name.c_str(),
                 static_cast<unsigned long long>(sumA), static_cast<unsigned long long>(sumB));
    std::exit(1);
  }
  results.push_back(Summarize(name, size, a, b));
  std::fprintf(stderr, "  %-10s %-14s %9.2f ms %9.2f ms  %.3f\n", name.c_str(), size.c_str(),
               Median(a) * 1e3, Median(b) * 1e3, results.back().ratio);
}

// ---- the fetch row ----

constexpr const char* kFetchTable =
    "CREATE TABLE ROWS6 (ID INTEGER, NAME VARCHAR(20), D DATE, CODE CHAR(5), "
    "X DOUBLE PRECISION, PRICE NUMERIC(9,2))";
constexpr const char* kFetchSelect = "SELECT ID, NAME, D, CODE, X, PRICE FROM ROWS6";

// The caller's variables of one fetch row.
struct FetchRow {
  int32_t id;
  char name[21];
  char date[20];
  char code[6];
  double x;
  int32_t price;
  uint8_t nulls[6];

  uint64_t Sum() const {
    uint64_t s = static_cast<uint32_t>(id) + static_cast<uint32_t>(price) +
                 static_cast<uint64_t>(x) + static_cast<uint8_t>(name[0]) +
                 static_cast<uint8_t>(date[4]) + static_cast<uint8_t>(code[1]);
    for (uint8_t n : nulls) s = s * 3 + n;
    return s;
  }
};

void Fill(Raw& raw, int rows) {
  raw.Exec(kFetchTable);
  raw.Exec(
      "CREATE TABLE INS (ID INTEGER, NAME VARCHAR(20), D DATE, CODE CHAR(5), "
      "X DOUBLE PRECISION, PRICE NUMERIC(9,2))");
  raw.Exec("CREATE TABLE BLOBS (ID INTEGER, B BLOB SUB_TYPE 0)");
  raw.Exec(
      "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(rows) +
      ") DO BEGIN INSERT INTO ROWS6 VALUES (:I, IIF(MOD(:I, 7) = 0, NULL, 'name ' || :I), "
      "DATEADD(:I SECOND TO TIMESTAMP '2001-02-03 04:05:06'), IIF(MOD(:I, 11) = 0, NULL, 'c' || "
      "MOD(:I, 1000)), IIF(MOD(:I, 13) = 0, NULL, :I * 0.5), MOD(:I, 100000) / 100.0); "
      "I = I + 1; END END");
}

[[gnu::noinline]] uint64_t FetchIbDB(TIbConnRec* conn, const char* sql, int rows) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  std::string limited = std::string(sql) + " ROWS " + std::to_string(rows);
  if (SQLPrepare(stmt, limited.c_str(), 0) != 0) throw std::runtime_error("prepare");
  FetchRow row{};
  SQLBindCol(stmt, 1, 496, &row.id, &row.nulls[0], nullptr);
  SQLBindCol(stmt, 2, 448, row.name, &row.nulls[1], nullptr);
  SQLBindCol(stmt, 3, 510, row.date, &row.nulls[2], nullptr);
  SQLBindCol(stmt, 4, 452, row.code, &row.nulls[3], nullptr);
  SQLBindCol(stmt, 5, 480, &row.x, &row.nulls[4], nullptr);
  SQLBindCol(stmt, 6, 496, &row.price, &row.nulls[5], nullptr);
  SQLExecute(stmt);
  uint64_t sum = 0;
  while (SQLFetch(stmt) == 0) sum += row.Sum();
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return sum;
}

[[gnu::noinline]] uint64_t FetchRaw(Raw& raw, const char* sql, int rows) {
  raw.Start();
  isc_stmt_handle stmt = 0;
  XSQLDA* out = NewArea(6);
  std::string limited = std::string(sql) + " ROWS " + std::to_string(rows);
  Check(isc_dsql_allocate_statement(raw.st, &raw.db, &stmt), "allocate", raw.st);
  Check(isc_dsql_prepare(raw.st, &raw.tr, &stmt, 0, limited.c_str(), 1, out), "prepare", raw.st);
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
    if (ind[2] != -1) FormatDate(&date, row.date);
    if (ind[5] != -1) row.price /= 100;
    sum += row.Sum();
  }
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(out);
  raw.Commit();
  return sum;
}

// ---- wide rows ----

void MakeWide(Raw& raw, int columns, int rows) {
  std::string table = "WIDE" + std::to_string(columns);
  std::string ddl = "CREATE TABLE " + table + " (";
  std::string values;
  for (int c = 0; c < columns; ++c) {
    ddl += (c ? ", C" : "C") + std::to_string(c);
    ddl += " INTEGER";
    values += (c ? ", " : "") + std::string(c % 17 == 5 ? "NULL" : ":I + " + std::to_string(c));
  }
  raw.Exec(ddl + ")");
  raw.Exec("EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(rows) +
           ") DO BEGIN INSERT INTO " + table + " VALUES (" + values + "); I = I + 1; END END");
}

[[gnu::noinline]] uint64_t WideIbDB(TIbConnRec* conn, int columns) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  std::string sql = "SELECT * FROM WIDE" + std::to_string(columns);
  SQLPrepare(stmt, sql.c_str(), 0);
  std::vector<int32_t> values(static_cast<size_t>(columns));
  std::vector<uint8_t> nulls(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    SQLBindCol(stmt, static_cast<uint8_t>(c + 1), 496, &values[c], &nulls[c], nullptr);
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

// ---- inserts ----

constexpr const char* kInsertSql =
    "INSERT INTO INS (ID, NAME, D, CODE, X, PRICE) VALUES (?, ?, ?, ?, ?, ?)";

// The values of row k of the insert case.
void RowValues(int k, int32_t& id, char* name, char* date, char* code, double& x, int32_t& price) {
  id = k;
  std::snprintf(name, 21, "name %d", k);
  std::snprintf(date, 20, "%02d/%02d/%04d %02d:%02d:%02d", k % 12 + 1, k % 28 + 1, 1990 + k % 30,
                k % 24, k % 60, (k / 7) % 60);
  std::snprintf(code, 6, "c%04d", k % 10000);
  x = k * 0.25;
  price = k % 100000;
}

struct InsertInputs {
  std::vector<std::array<char, 21>> names;
  std::vector<std::array<char, 20>> dates;
  std::vector<std::array<char, 6>> codes;
  explicit InsertInputs(int rows) : names(rows), dates(rows), codes(rows) {
    for (int k = 0; k < rows; ++k) {
      int32_t id, price;
      double x;
      RowValues(k, id, names[k].data(), dates[k].data(), codes[k].data(), x, price);
    }
  }
};

[[gnu::noinline]] uint64_t InsertIbDB(TIbConnRec* conn, const InsertInputs& in, int rows) {
  TIbStmtRec* stmt = nullptr;
  SQLAllocStmt(conn, stmt);
  SQLPrepare(stmt, kInsertSql, 0);
  int32_t id = 0, price = 0;
  double x = 0;
  char name[21], date[20], code[6];
  uint8_t nulls[6];
  SQLBindParameter(stmt, 1, 496, &id, &nulls[0], nullptr, 0);
  SQLBindParameter(stmt, 2, 448, name, &nulls[1], nullptr, 0);
  SQLBindParameter(stmt, 3, 510, date, &nulls[2], nullptr, 0);
  SQLBindParameter(stmt, 4, 452, code, &nulls[3], nullptr, 0);
  SQLBindParameter(stmt, 5, 480, &x, &nulls[4], nullptr, 0);
  SQLBindParameter(stmt, 6, 496, &price, &nulls[5], nullptr, 0);
  for (int k = 0; k < rows; ++k) {
    id = k;
    std::memcpy(name, in.names[k].data(), sizeof(name));
    std::memcpy(date, in.dates[k].data(), sizeof(date));
    std::memcpy(code, in.codes[k].data(), sizeof(code));
    x = k * 0.25;
    price = k % 100000;
    nulls[1] = k % 7 == 0;
    if (SQLExecute(stmt) != 0) throw std::runtime_error("insert");
  }
  SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  return static_cast<uint64_t>(rows);
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
    size_t n = std::strlen(in.names[k].data());
    name.length = static_cast<unsigned short>(n);
    std::memcpy(name.text, in.names[k].data(), n);
    ParseDate(in.dates[k].data(), &date);
    std::memcpy(code, in.codes[k].data(), sizeof(code));
    x = k * 0.25;
    price = k % 100000;
    ind[1] = k % 7 == 0 ? -1 : 0;
    Check(isc_dsql_execute(raw.st, &raw.tr, &stmt, 1, params), "insert", raw.st);
  }
  isc_dsql_free_statement(raw.st, &stmt, DSQL_drop);
  std::free(params);
  raw.Commit();
  return static_cast<uint64_t>(rows);
}

// ---- blobs ----

constexpr uint16_t kSegment = 65535;  // the largest segment the client carries

uint64_t Checksum(const std::vector<char>& bytes, size_t n) {
  uint64_t s = n;
  for (size_t i = 0; i < n; i += 4093) s = s * 31 + static_cast<uint8_t>(bytes[i]);
  return s;
}

[[gnu::noinline]] uint64_t BlobIbDB(TIbConnRec* conn, const std::vector<char>& data,
                                    std::vector<char>& back, int id, double& writeSeconds,
                                    double& readSeconds) {
  writeSeconds = Seconds([&] {
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
  });
  int32_t length = kSegment;
  readSeconds = Seconds([&] {
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
  });
  return Checksum(back, static_cast<size_t>(length));
}

[[gnu::noinline]] uint64_t BlobRaw(Raw& raw, const std::vector<char>& data, std::vector<char>& back,
                                   int id, double& writeSeconds, double& readSeconds) {
  writeSeconds = Seconds([&] {
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
  });
  size_t total = 0;
  readSeconds = Seconds([&] {
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
  });
  return Checksum(back, total);
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

}  // namespace

int main(int argc, char** argv) {
  int reps = 10;
  int rows = 200000;
  std::string dirArg;
  std::string only;
  bool peak = true;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--reps") reps = std::atoi(argv[i + 1]);
    if (arg == "--rows") rows = std::atoi(argv[i + 1]);
    if (arg == "--dir") dirArg = argv[i + 1];
    if (arg == "--only") only = argv[i + 1];
    if (arg == "--peak") peak = std::atoi(argv[i + 1]) != 0;
  }
  onlyCase = only;
  char pattern[] = "/tmp/varlo-bench.XXXXXX";
  std::string dir = dirArg.empty() ? std::string(mkdtemp(pattern)) : dirArg;
  std::string path = dir + "/bench.fdb";
  {
    ISC_STATUS st[20];
    isc_db_handle db = 0;
    isc_tr_handle tr = 0;
    std::string sql = "CREATE DATABASE '" + path + "' PAGE_SIZE 8192 DEFAULT CHARACTER SET NONE";
    Check(isc_dsql_execute_immediate(st, &db, &tr, 0, sql.c_str(), 1, nullptr), "create", st);
    isc_detach_database(st, &db);
    // Asynchronous writes: the cases measure the layer over the client, not the disk's flushes.
    const char dpb[] = {isc_dpb_version1, isc_dpb_force_write, 1, 0};
    Check(isc_attach_database(st, 0, path.c_str(), &db, sizeof(dpb), dpb), "attach", st);
    isc_detach_database(st, &db);
  }
  std::fprintf(stderr, "filling %s ...\n", path.c_str());
  constexpr int kWideRows = 20000;
  const int insertRows = rows / 2;
  {
    Raw raw(path);
    Fill(raw, rows);
    for (int columns : {10, 50, 200}) MakeWide(raw, columns, kWideRows);
  }

  Raw raw(path);
  TIbConnRec* conn = nullptr;
  SQLAllocConnect(conn);
  if (SQLConnect(conn, path, "", "") != 0) return 1;

  std::fprintf(stderr, "  %-10s %-14s %12s %12s  %s\n", "case", "size", "IbDB", "raw", "ratio");
  Compare(
      "fetch", std::to_string(rows) + " rows", reps,
      [&] { return FetchIbDB(conn, kFetchSelect, rows); },
      [&] { return FetchRaw(raw, kFetchSelect, rows); });
  for (int columns : {10, 50, 200}) {
    Compare(
        "wide", std::to_string(columns) + " x " + std::to_string(kWideRows), reps,
        [&] { return WideIbDB(conn, columns); }, [&] { return WideRaw(raw, columns); });
  }
  InsertInputs inputs(insertRows);
  Compare(
      "insert", std::to_string(insertRows) + " rows", reps,
      [&] { return InsertIbDB(conn, inputs, insertRows); },
      [&] { return InsertRaw(raw, inputs, insertRows); },
      [&] {
        raw.Exec(
            "RECREATE TABLE INS (ID INTEGER, NAME VARCHAR(20), D DATE, CODE CHAR(5), "
            "X DOUBLE PRECISION, PRICE NUMERIC(9,2))");
      });

  const bool blobs = only.empty() || only == "blob";
  std::vector<char> data(blobs ? 32u << 20 : 0);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::vector<char> back(data.size());
  std::vector<double> writeA, writeB, readA, readB;
  int blobId = 0;
  // Blob runs are short and noisy: twice the runs of the other cases.
  const int blobReps = 2 * reps;
  for (int r = 0; blobs && r < blobReps; ++r) {
    double w, rd;
    uint64_t a = 0, b = 0;
    for (int side : r % 2 ? std::vector<int>{1, 0} : std::vector<int>{0, 1}) {
      // Each write finds the table as the other side's did: empty, its garbage collected.
      raw.Exec("DELETE FROM BLOBS");
      raw.Exec("EXECUTE BLOCK AS DECLARE C INTEGER; BEGIN SELECT COUNT(*) FROM BLOBS INTO :C; END");
      if (side == 0) {
        a = BlobIbDB(conn, data, back, ++blobId, w, rd);
        writeA.push_back(w);
        readA.push_back(rd);
      } else {
        b = BlobRaw(raw, data, back, ++blobId, w, rd);
        writeB.push_back(w);
        readB.push_back(rd);
      }
    }
    if (a != b || a != Checksum(data, data.size())) {
      std::fprintf(stderr, "blob: checksums differ\n");
      return 1;
    }
  }
  if (blobs) {
    results.push_back(Summarize("blob write", "32 MiB", writeA, writeB));
    results.push_back(Summarize("blob read", "32 MiB", readA, readB));
  }

  // Peak memory of the fetch case at a tenth of the rows and at all of them.
  long peaks[2], starts[2];
  int counts[2] = {rows / 10, rows};
  for (int k = 0; k < 2; ++k) {
    peaks[k] = starts[k] = -1;
    if (!peak) continue;
    ResetPeak();
    starts[k] = PeakKiB();
    FetchIbDB(conn, kFetchSelect, counts[k]);
    peaks[k] = PeakKiB();
  }

  SQLDisconnect(conn);

  std::printf("| case | rows or bytes | IbDB (ms) | raw client (ms) | ratio |\n");
  std::printf("|---|---|---:|---:|---:|\n");
  for (const Result& r : results) {
    std::printf("| %s | %s | %.1f | %.1f | %.3f |\n", r.name.c_str(), r.size.c_str(), r.ibdb * 1e3,
                r.raw * 1e3, r.ratio);
  }
  std::printf(
      "\nMedian of %d runs per case, %d for the blobs. Peak resident memory of the fetch case "
      "through IbDB: %ld KiB for %d rows, %ld KiB for %d rows (%ld and %ld KiB at their start).\n",
      reps, blobReps, peaks[0], counts[0], peaks[1], counts[1], starts[0], starts[1]);
  if (dirArg.empty()) std::filesystem::remove_all(dir);
  return 0;
}
