// Parameter arrays: many rows in one SQLExecute, against the same rows executed one by one,
// over the server (where they go in blocks) and embedded (row by row); failures in any row of
// any block; statement texts the rewrite must not break.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;
using VarloTest::ClientSpy;
using VarloTest::ErrorText;
using VarloTest::QueryText;

namespace {

// D is the timestamp of either dialect.
std::string Table(const std::string& name, int dialect) {
  return "CREATE TABLE " + name +
         " (ID INTEGER NOT NULL PRIMARY KEY, V VARCHAR(40) CHARACTER SET UTF8, C CHAR(5), "
         "I INTEGER CHECK (I IS NULL OR I <> -1), S SMALLINT, N NUMERIC(9,2), D " +
         (dialect == 3 ? "TIMESTAMP" : "DATE") +
         ", DP DOUBLE PRECISION, F FLOAT, B BLOB SUB_TYPE 0, SEQ INTEGER)";
}

std::vector<std::string> Schema(int dialect) {
  std::vector<std::string> ddl;
  for (const char* t : {"A1", "A2"}) {
    ddl.push_back(Table(t, dialect));
    ddl.push_back(std::string("CREATE GENERATOR G_") + t);
    ddl.push_back(std::string("CREATE TRIGGER T_") + t + " FOR " + t +
                  " BEFORE INSERT AS BEGIN NEW.SEQ = GEN_ID(G_" + t + ", 1); END");
  }
  ddl.push_back(
      "CREATE PROCEDURE P (X INTEGER) AS BEGIN UPDATE A1 SET S = :X * 10 WHERE ID = :X; END");
  return ddl;
}

constexpr int kColumns = 10;
constexpr int32_t kBlobMax = 70000;  // blobs of several segments
constexpr const char* kDates[] = {"01/01/1000 00:00:00", "12/31/9999 23:59:59",
                                  "02/29/2000 12:00:00", "06/15/1999 07:08:09"};

// The caller's arrays of every column, rows side by side.
struct Rows {
  explicit Rows(int n) : n(n) {
    for (int c = 0; c < kColumns; ++c) {
      data[c].assign(static_cast<size_t>(n) * static_cast<size_t>(Size(c)), '\0');
      nulls[c].assign(static_cast<size_t>(n), 0);
      lengths[c].assign(static_cast<size_t>(n), 0);
    }
    for (int r = 0; r < n; ++r) Fill(r);
  }
  static int32_t Size(int c) {
    const int32_t sizes[kColumns] = {4, 41, 5, 4, 2, 16, 19, 8, 4, kBlobMax};
    return sizes[c];
  }
  static int16_t Type(int c) {
    // N goes as text, converted to its exact decimal.
    const int16_t types[kColumns] = {496, 448, 452, 496, 500, CChar, 510, 480, 482, 520};
    return types[c];
  }
  char* At(int c, int r) { return data[c].data() + static_cast<size_t>(r) * Size(c); }
  template <typename T>
  void Put(int c, int r, T v) {
    std::memcpy(At(c, r), &v, sizeof(v));
  }
  // Row r: NULL in every column but the key every 7th row; empty and 40-character text; blobs
  // of 0, 1 and 70000 bytes; dates at the edges of the range.
  void Fill(int r) {
    const bool null = r % 7 == 3;
    for (int c = 1; c < kColumns; ++c) nulls[c][static_cast<size_t>(r)] = null ? 1 : 0;
    Put<int32_t>(0, r, r + 1);
    std::string text = r % 5 == 0   ? ""
                       : r % 5 == 1 ? std::string(20, 'x') + "\xc3\xa4\xc3\xb6\xc3\xbc" +
                                          std::string(14, 'y')  // 40 characters, 43 bytes
                                    : "Gr\xc3\xb6\xc3\x9f"
                                      "e " +
                                          std::to_string(r);
    text.resize(std::min<size_t>(text.size(), 41));
    std::memcpy(At(1, r), text.data(), text.size());
    lengths[1][static_cast<size_t>(r)] = static_cast<int32_t>(text.size());
    char code[8];
    std::snprintf(code, sizeof(code), "c%02d", r % 100);
    std::memcpy(At(2, r), code, 3);
    lengths[2][static_cast<size_t>(r)] = r % 2 == 0 ? 3 : -3;  // padded; or up to the NUL
    Put<int32_t>(3, r, r * 3);
    Put<int16_t>(4, r, static_cast<int16_t>(-r));
    std::snprintf(At(5, r), 16, "%d.%02d", r * 101 / 100, r * 101 % 100);
    lengths[5][static_cast<size_t>(r)] = -3;
    std::memcpy(At(6, r), kDates[r % 4], 19);
    Put<double>(7, r, r / 3.0);
    Put<float>(8, r, static_cast<float>(r) * 0.5f);
    const int32_t blob = r % 50 == 2 ? kBlobMax : r % 3;
    for (int32_t k = 0; k < blob; ++k) At(9, r)[k] = static_cast<char>(r * 7 + k);
    lengths[9][static_cast<size_t>(r)] = blob;
  }
  // Binds every column of row `row` (0 for the whole array) to the statement's parameters.
  void Bind(TIbStmtRec* stmt, int row) {
    for (int c = 0; c < kColumns; ++c) {
      ASSERT_EQ(SQLBindParameter(stmt, static_cast<uint8_t>(c + 1), Type(c), At(c, row), Size(c),
                                 &nulls[c][static_cast<size_t>(row)],
                                 &lengths[c][static_cast<size_t>(row)]),
                0)
          << c;
    }
  }
  int n;
  std::vector<char> data[kColumns];
  std::vector<uint8_t> nulls[kColumns];
  std::vector<int32_t> lengths[kColumns];
};

constexpr const char* kInsert =
    "INSERT INTO %s (ID, V, C, I, S, N, D, DP, F, B) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

std::string Sql(const char* pattern, const char* table) {
  char text[512];
  std::snprintf(text, sizeof(text), pattern, table);
  return text;
}

// A database over the server (dialect 3 and 1) and embedded; connections with the UTF8 character
// set.
class Arrays : public ::testing::TestWithParam<std::pair<bool, int>> {
 protected:
  void SetUp() override {
    const bool server = Server();
    VarloTest::CreateDatabase(path, Schema(Dialect()), server,
                              static_cast<unsigned short>(Dialect()));
    name = server ? VarloTest::ServerName(path) : path;
    conn = Connect();
  }
  void TearDown() override {
    for (TIbStmtRec*& s : statements) SQLFreeStmt(s, 1);
    SQLDisconnect(conn);
  }
  bool Server() const { return GetParam().first; }
  int Dialect() const { return GetParam().second; }
  TIbConnRec* Connect() {
    TIbConnRec* c = nullptr;
    SQLAllocConnect(c);
    EXPECT_EQ(SQLSetConnectOption(c, 151, 4), 0);
    const bool server = Server();
    EXPECT_EQ(SQLConnect(c, name, server ? VarloTest::ServerUser() : "",
                         server ? VarloTest::ServerPassword() : ""),
              0)
        << ErrorText(c, nullptr);
    return c;
  }
  TIbStmtRec* Prepare(const std::string& sql) {
    TIbStmtRec* stmt = nullptr;
    EXPECT_EQ(SQLAllocStmt(conn, stmt), 0);
    EXPECT_EQ(SQLPrepare(stmt, sql.c_str(), 0), 0) << sql << ErrorText(conn, stmt);
    statements.push_back(stmt);
    return stmt;
  }
  // The value a query gives, without its type.
  std::string Value(const std::string& sql) {
    const std::string text = QueryText(conn, sql);
    return text.substr(text.find(' ') + 1);
  }
  std::string Count(const std::string& where) { return Value("SELECT COUNT(*) FROM " + where); }
  void Run(const std::string& sql) {
    TIbStmtRec* stmt = Prepare(sql);
    ASSERT_EQ(SQLExecute(stmt), 0) << ErrorText(conn, stmt);
  }

  VarloTest::TempDir dir;
  std::string path = dir.File("arrays.fdb");
  std::string name;
  TIbConnRec* conn = nullptr;
  std::vector<TIbStmtRec*> statements;
};

TEST_P(Arrays, ManyRowsInOneExecutionAsOneByOne) {
  constexpr int kRows = 300;  // more than one block
  Rows rows(kRows);
  TIbStmtRec* arrays = Prepare(Sql(kInsert, "A1"));
  rows.Bind(arrays, 0);
  uint32_t reached = 0;
  ASSERT_EQ(SQLParamOptions(arrays, kRows, &reached), 0);
  {
    ClientSpy spy;
    ASSERT_EQ(SQLExecute(arrays), 0) << ErrorText(conn, arrays);
    // Over the server the rows go in blocks: a handful of requests, not one per row.
    EXPECT_TRUE(!Server() || spy.Calls("isc_dsql_execute") <= 15) << spy.Calls("isc_dsql_execute");
  }
  EXPECT_EQ(reached, static_cast<uint32_t>(kRows));
  TIbStmtRec* single = Prepare(Sql(kInsert, "A2"));
  for (int r = 0; r < kRows; ++r) {
    rows.Bind(single, r);
    ASSERT_EQ(SQLExecute(single), 0) << r << ErrorText(conn, single);
  }
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  EXPECT_EQ(Count("A1"), "300");
  EXPECT_EQ(Count("A1 JOIN A2 ON A1.ID = A2.ID WHERE A1.V IS NOT DISTINCT FROM A2.V AND "
                  "A1.C IS NOT DISTINCT FROM A2.C AND A1.I IS NOT DISTINCT FROM A2.I AND "
                  "A1.S IS NOT DISTINCT FROM A2.S AND A1.N IS NOT DISTINCT FROM A2.N AND "
                  "A1.D IS NOT DISTINCT FROM A2.D AND A1.DP IS NOT DISTINCT FROM A2.DP AND "
                  "A1.F IS NOT DISTINCT FROM A2.F AND A1.B IS NOT DISTINCT FROM A2.B AND "
                  "A1.SEQ = A2.SEQ"),
            "300");
  // What arrived is what was sent: NULLs, text in UTF8, blobs of several segments, dates.
  EXPECT_EQ(Count("A1 WHERE V IS NULL AND B IS NULL AND D IS NULL"), "43");
  EXPECT_EQ(QueryText(conn, "SELECT V FROM A1 WHERE ID = 2"),
            "448 " + std::string(20, 'x') + "\xc3\xa4\xc3\xb6\xc3\xbc" + std::string(14, 'y'));
  EXPECT_EQ(QueryText(conn, "SELECT C FROM A1 WHERE ID = 3"), "452 c02  ");
  EXPECT_EQ(Value("SELECT D FROM A1 WHERE ID = 2"), "12/31/9999 23:59:59");
  EXPECT_EQ(Value("SELECT CAST(N * 100 AS INTEGER) FROM A1 WHERE ID = 300"), "30199");
  EXPECT_EQ(Count("A1 WHERE OCTET_LENGTH(B) = 70000"), "5");
  EXPECT_EQ(Value("SELECT MAX(SEQ) - MIN(SEQ) FROM A1"), "299");
}

// A row that fails undoes every row of the call: first, middle and last of the first block
// and of a later one; the error is that row's, and the transaction goes on.
TEST_P(Arrays, AFailingRowUndoesTheWholeCall) {
  constexpr int kRows = 601;  // 25 blocks of 24 rows over the server, and a last row alone
  Rows rows(kRows);
  TIbStmtRec* stmt = Prepare(Sql(kInsert, "A1"));
  rows.Bind(stmt, 0);
  uint32_t reached = 0;
  ASSERT_EQ(SQLParamOptions(stmt, kRows, &reached), 0);
  for (int bad : {0, 127, 255, 256, 400, 600}) {
    SCOPED_TRACE("failing row " + std::to_string(bad + 1));
    rows.Put<int32_t>(3, bad, -1);  // the check constraint refuses it
    rows.nulls[3][static_cast<size_t>(bad)] = 0;
    EXPECT_EQ(SQLExecute(stmt), -1);
    EXPECT_EQ(reached, static_cast<uint32_t>(bad + 1));
    const std::string error = ErrorText(conn, stmt);
    EXPECT_NE(error.find("CHECK"), std::string::npos) << error;
    EXPECT_EQ(error.find("At block line"), std::string::npos) << error;  // the row's own text
    EXPECT_EQ(Count("A1"), "0");
    rows.Put<int32_t>(3, bad, bad * 3);
    rows.nulls[3][static_cast<size_t>(bad)] = bad % 7 == 3 ? 1 : 0;
  }
  ASSERT_EQ(SQLExecute(stmt), 0) << ErrorText(conn, stmt);
  EXPECT_EQ(reached, static_cast<uint32_t>(kRows));
  // A duplicate of a row the call itself inserted: found in the later block.
  rows.Put<int32_t>(0, 500, 1);
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  Run("DELETE FROM A1");
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  EXPECT_EQ(SQLExecute(stmt), -1);
  EXPECT_EQ(reached, 501u);
  EXPECT_NE(ErrorText(conn, stmt).find("PRIMARY"), std::string::npos) << ErrorText(conn, stmt);
  EXPECT_EQ(Count("A1"), "0");
  // A value that does not convert, in a late block: found before anything is sent.
  std::memcpy(rows.At(5, 450), "1.234", 6);
  {
    ClientSpy spy;
    EXPECT_EQ(SQLExecute(stmt), -1);
    EXPECT_EQ(spy.TotalCalls(), 0);
  }
  EXPECT_EQ(reached, 451u);
  EXPECT_NE(ErrorText(conn, stmt).find("|parameter 6, row 451: more than 2 digits"),
            std::string::npos)
      << ErrorText(conn, stmt);
  std::memcpy(rows.At(5, 450), "1.23", 5);
  // So is a date text that does not convert, or a date the calendar does not have.
  for (const char* bad : {"01/01/2000 1x:00:00", "02/30/2024 00:00:00"}) {
    std::memcpy(rows.At(6, 501), bad, 19);
    ClientSpy spy;
    EXPECT_EQ(SQLExecute(stmt), -1);
    EXPECT_EQ(spy.TotalCalls(), 0);
    EXPECT_EQ(reached, 502u);
    EXPECT_NE(ErrorText(conn, stmt).find(std::string(bad) + "\"|parameter 7, row 502"),
              std::string::npos)
        << ErrorText(conn, stmt);
  }
  // Classic bindings carry no element size: refused before anything runs.
  int32_t id = 0;
  uint8_t null = 0;
  ASSERT_EQ(SQLBindParameter(stmt, 1, 496, &id, &null, nullptr, 0), 0);
  ClientSpy spy;
  EXPECT_EQ(SQLExecute(stmt), -1);
  EXPECT_EQ(spy.TotalCalls(), 0);
  EXPECT_EQ(SQLParamOptions(stmt, 0, nullptr), -1);
  // A block the server refuses halves the size: two blocks, still all rows or none.
  TIbStmtRec* pair = Prepare("INSERT INTO A1 (ID, I) VALUES (?, ?)");
  std::vector<int32_t> pairs(80);  // row 31's I is -1
  for (int k = 0; k < 80; ++k) pairs[k] = k < 40 ? 2000 + k : (k == 70 ? -1 : 0);
  ASSERT_EQ(SQLBindParameter(pair, 1, 496, &pairs[0], 4, &rows.nulls[0][0], nullptr), 0);
  ASSERT_EQ(SQLBindParameter(pair, 2, 496, &pairs[40], 4, &rows.nulls[0][0], nullptr), 0);
  ASSERT_EQ(SQLParamOptions(pair, 40, &reached), 0);
  if (Server()) spy.FailEntry("isc_dsql_prepare");  // the block of 40 rows
  EXPECT_EQ(SQLExecute(pair), -1);
  EXPECT_EQ(reached, 31u);
  EXPECT_EQ(Count("A1 WHERE ID >= 2000"), "0");
}

// Texts the rewrite must carry unharmed, run as arrays and compared with the answers of the
// same rows one by one (embedded, where every text runs row by row, gives those).
TEST_P(Arrays, TextsTheRewriteMustNotBreak) {
  if (Dialect() != 3) GTEST_SKIP() << "quoted identifiers are dialect 3's";
  constexpr int kRows = 40;
  Rows rows(kRows);
  TIbStmtRec* fill = Prepare(Sql(kInsert, "A1"));
  rows.Bind(fill, 0);
  ASSERT_EQ(SQLParamOptions(fill, kRows, nullptr), 0);
  ASSERT_EQ(SQLExecute(fill), 0) << ErrorText(conn, fill);
  // Each parameter takes one of the arrays: t text, i the key, h a value that matches the
  // even rows' I, s the key again as a SMALLINT's value.
  std::vector<int32_t> ids(kRows), halves(kRows);
  for (int r = 0; r < kRows; ++r) {
    ids[static_cast<size_t>(r)] = r + 1;
    halves[static_cast<size_t>(r)] = r % 2 == 0 ? r * 3 : -5;
  }
  std::vector<char> suffix(static_cast<size_t>(kRows) * 4, 'z');
  std::vector<int32_t> lengths(kRows, -3);
  std::vector<uint8_t> nulls(kRows);
  const struct {
    const char* sql;
    const char* params;
    const char* check;  // a query whose answer shows the effect
    const char* expected;
    bool batched;
  } cases[] = {
      {"UPDATE A1 SET V = 'why? -- not /* a marker */' || CAST(? AS VARCHAR(4)) WHERE ID = ?; ",
       "ti", "SELECT COUNT(*) FROM A1 WHERE V = 'why? -- not /* a marker */zzzz'", "40", true},
      {"UPDATE A1 /* ? */ SET \"S\" = ? -- ? here\n WHERE \"ID\" = ? ;", "ii",
       "SELECT SUM(S) FROM A1", "820", true},
      {"DELETE FROM A1 WHERE ID = ? AND I = ?", "ih", "SELECT COUNT(*) FROM A1", "23", true},
      {"EXECUTE PROCEDURE P ?", "i", "SELECT SUM(S) FROM A1", "4950", true},
      {"INSERT INTO A2 (ID, V) VALUES (?, q'{it's ?}') RETURNING SEQ", "i",
       "SELECT COUNT(*) FROM A2 WHERE V = 'it''s ?'", "40", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    TIbStmtRec* stmt = Prepare(c.sql);
    for (size_t p = 0; c.params[p] != '\0'; ++p) {
      int16_t type = 0, length = 0;
      const auto number = static_cast<uint8_t>(p + 1);
      ASSERT_EQ(SQLGetParam(stmt, number, type, length), 0);
      void* data = c.params[p] == 't'   ? static_cast<void*>(suffix.data())
                   : c.params[p] == 'h' ? static_cast<void*>(halves.data())
                                        : static_cast<void*>(ids.data());
      ASSERT_EQ(SQLBindParameter(stmt, number, type, data, 4, nulls.data(), lengths.data()), 0);
    }
    uint32_t reached = 0;
    ASSERT_EQ(SQLParamOptions(stmt, kRows, &reached), 0);
    ClientSpy spy;
    ASSERT_EQ(SQLExecute(stmt), 0) << ErrorText(conn, stmt);
    EXPECT_EQ(reached, static_cast<uint32_t>(kRows));
    if (Server()) {
      EXPECT_EQ(spy.Calls("isc_dsql_execute") < kRows, c.batched) << spy.Calls("isc_dsql_execute");
    }
    EXPECT_EQ(Value(c.check), c.expected);
  }
}

// Each case runs as one array into A1 and row by row into A2, as a caller would (stopping at the
// first failure): the same result, row, error text and generator steps, and for a success the
// same rows. Then what blocks must not change: the statement's dialect, a caller's savepoint of
// the package's name, and row-by-row running on request.
TEST_P(Arrays, ArraysStoreWhatOneByOneStores) {
  constexpr int kRows = 600;  // blocks of 25 rows over the server
  const struct {
    const char* name;
    std::function<void(Rows&)> change;
    int failing;  // the row that fails (1-based), 0 none
    const char* error;
  } cases[] = {
      {"NULLs in every nullable column of a late row",
       [](Rows& r) {
         for (int c = 1; c < kColumns; ++c) r.nulls[c][450] = 1;
       },
       0, ""},
      {"NULL for the NOT NULL key", [](Rows& r) { r.nulls[0][450] = 1; }, 451, "\"ID\""},
      {"a check failing in a late block", [](Rows& r) { r.Put<int32_t>(3, 501, -1); }, 502,
       "CHECK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rows rows(kRows);
    c.change(rows);
    TIbStmtRec* array = Prepare(Sql(kInsert, "A1"));
    rows.Bind(array, 0);
    uint32_t reached = 0;
    ASSERT_EQ(SQLParamOptions(array, kRows, &reached), 0);
    const int16_t rc = SQLExecute(array);
    const std::string error = ErrorText(conn, array);
    TIbStmtRec* single = Prepare(Sql(kInsert, "A2"));
    int failed = 0;
    std::string singleError;
    for (int r = 0; r < kRows && failed == 0; ++r) {
      rows.Bind(single, r);
      if (SQLExecute(single) != 0) {
        failed = r + 1;
        singleError = ErrorText(conn, single);
      }
    }
    EXPECT_EQ(rc, c.failing == 0 ? 0 : -1) << error;
    EXPECT_EQ(reached, static_cast<uint32_t>(c.failing == 0 ? kRows : c.failing));
    EXPECT_EQ(failed, c.failing);
    // The same text but for the table's name and its constraints' numbers.
    auto shape = [](std::string text) {
      text.erase(std::remove_if(text.begin(), text.end(), ::isdigit), text.end());
      return text;
    };
    EXPECT_EQ(shape(error), shape(singleError));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    // Triggers ran once per row tried: no block is run a second time.
    EXPECT_EQ(Value("SELECT GEN_ID(G_A1, 0) FROM RDB$DATABASE"),
              Value("SELECT GEN_ID(G_A2, 0) FROM RDB$DATABASE"));
    if (c.failing == 0) {
      EXPECT_EQ(Count("A1 JOIN A2 ON A1.ID = A2.ID WHERE A1.V IS NOT DISTINCT FROM A2.V AND "
                      "A1.I IS NOT DISTINCT FROM A2.I AND A1.N IS NOT DISTINCT FROM A2.N AND "
                      "A1.D IS NOT DISTINCT FROM A2.D AND A1.B IS NOT DISTINCT FROM A2.B"),
                std::to_string(kRows));
    }
    ASSERT_EQ(SQLTransact(conn, 1), 0);
  }

  // Blocks are prepared in the statement's dialect, whatever the connection's is now.
  Run("INSERT INTO A1 (ID, V) VALUES (1, 'v')");
  TIbStmtRec* update = Prepare("UPDATE A1 SET V = \"V\" || CAST(? AS VARCHAR(4)) WHERE ID = 1");
  ASSERT_EQ(SQLSetConnectOption(conn, 150, Dialect() == 3 ? 1 : 3), 0);
  char suffix[20][4] = {};  // rows enough for a block
  uint8_t nulls[20] = {};
  for (auto& text : suffix) text[0] = 'x';
  ASSERT_EQ(SQLBindParameter(update, 1, CChar, suffix, 4, nulls, nullptr), 0);
  ASSERT_EQ(SQLParamOptions(update, 20, nullptr), 0);
  // A caller's savepoint of the package's old name outlives the array.
  Run("SAVEPOINT VARLO$ARRAY");
  ClientSpy spy;
  ASSERT_EQ(SQLExecute(update), 0) << ErrorText(conn, update);
  EXPECT_EQ(spy.Calls("isc_dsql_execute") < 20, Server());  // blocks over the server
  EXPECT_EQ(Value("SELECT V FROM A1 WHERE ID = 1"),
            Dialect() == 3 ? "v" + std::string(20, 'x') : "Vx");
  Run("ROLLBACK TO SAVEPOINT VARLO$ARRAY");
  EXPECT_EQ(Value("SELECT V FROM A1 WHERE ID = 1"), "v");
  // Row by row on request: one execution a row.
  ASSERT_EQ(SQLSetStmtOption(update, 150, 1), 0);
  EXPECT_EQ(SQLSetStmtOption(update, 150, 2), -1);
  spy.Reset();
  ASSERT_EQ(SQLExecute(update), 0) << ErrorText(conn, update);
  EXPECT_EQ(spy.Calls("isc_dsql_execute"), 20);
  // Rows of 150 parameters go two a block over the server, a last odd row on its own.
  std::string wide = "INSERT INTO A1 (ID, I) VALUES (?, 0";
  for (int k = 1; k < 150; ++k) wide += " + CAST(? AS INTEGER)";
  TIbStmtRec* sum = Prepare(wide + ")");
  std::vector<int32_t> v(150 * 121);  // 121 rows of each parameter side by side
  std::vector<uint8_t> none(121, 0);
  for (int k = 0; k < 150 * 121; ++k) v[k] = k < 121 ? 1000 + k : k % 121;
  for (int k = 0; k < 150; ++k) {
    SQLBindParameter(sum, static_cast<uint8_t>(k + 1), 496, &v[k * 121], 4, &none[0], nullptr);
  }
  ASSERT_EQ(SQLParamOptions(sum, 121, nullptr), 0);
  spy.Reset();
  ASSERT_EQ(SQLExecute(sum), 0) << ErrorText(conn, sum);
  EXPECT_EQ(spy.Calls("isc_dsql_prepare"), Server() ? 1 : 0);  // one block, of two rows
  EXPECT_EQ(spy.Calls("isc_dsql_execute"), Server() ? 61 : 121);
  EXPECT_EQ(Value("SELECT CAST(SUM(I) AS INTEGER) FROM A1 WHERE ID >= 1000"), "1081740");
}

INSTANTIATE_TEST_SUITE_P(ServerAndEmbedded, Arrays,
                         ::testing::Values(std::pair{true, 3}, std::pair{true, 1},
                                           std::pair{false, 3}),
                         [](const auto& info) {
                           return std::string(info.param.first ? "Server" : "Embedded") +
                                  "Dialect" + std::to_string(info.param.second);
                         });

}  // namespace
