// Statements: allocation, preparation with description, binding, close and drop.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <string>

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;
using VarloTest::ClientSpy;

namespace {

constexpr const char* kAllTypes =
    "CREATE TABLE ALLTYPES (I INTEGER, S SMALLINT, N92 NUMERIC(9,2), N41 NUMERIC(4,1), "
    "C5 CHAR(5), V20 VARCHAR(20), D DATE, DP DOUBLE PRECISION, F FLOAT, "
    "B BLOB SUB_TYPE 0 SEGMENT SIZE 4096)";
constexpr const char* kSelectAll = "SELECT I, S, N92, N41, C5, V20, D, DP, F, B FROM ALLTYPES";

std::string WideTable(int columns) {
  std::string sql = "CREATE TABLE WIDE (";
  for (int i = 1; i <= columns; ++i) sql += (i > 1 ? ", C" : "C") + std::to_string(i) + " INTEGER";
  return sql + ")";
}

class Statements : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(
        path, {kAllTypes, WideTable(300),
               "CREATE TABLE SEGMENTS (A BLOB SEGMENT SIZE 40000, B BLOB SEGMENT SIZE 0, "
               "C BLOB SEGMENT SIZE 32767)"});
    ASSERT_EQ(SQLAllocConnect(conn), 0);
    ASSERT_EQ(SQLConnect(conn, path, "", ""), 0);
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  }
  void TearDown() override {
    SQLFreeStmt(stmt, 1);
    SQLDisconnect(conn);
  }

  std::string ErrorText() { return VarloTest::ErrorText(conn, stmt); }

  VarloTest::TempDir dir;
  std::string path = dir.File("stmt.fdb");
  TIbConnRec* conn = nullptr;
  TIbStmtRec* stmt = nullptr;
};

TEST_F(Statements, ANewStatementHasTwoEmptyFiveEntryAreas) {
  EXPECT_EQ(stmt->Conn, conn);
  EXPECT_NE(stmt->StmtHandle, 0u);
  for (XSQLDA* area : {stmt->OutSqlda, stmt->InSqlda}) {
    ASSERT_NE(area, nullptr);
    EXPECT_GE(malloc_usable_size(area), IBAPI::XSQLDA_LENGTH(5));
    EXPECT_EQ(area->version, SQLDA_VERSION1);
    EXPECT_EQ(area->sqln, 5);
    EXPECT_EQ(area->sqld, 0);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(area->sqlvar[i].sqldata, nullptr);
      EXPECT_EQ(area->sqlvar[i].sqlind, nullptr);
    }
  }
  for (TBindNode* list : {stmt->BlobParams, stmt->BlobCols, stmt->DateParams, stmt->DateCols,
                          stmt->VaryParams, stmt->VaryCols, stmt->PlainParams, stmt->PlainCols}) {
    EXPECT_EQ(list, nullptr);
  }
  EXPECT_EQ(stmt->ParamsBound + stmt->ColsBound + stmt->HasParamMarkers, 0);
}

TEST_F(Statements, AllocationFailureAndNilConnectionLeaveNoRecord) {
  ClientSpy spy;
  TIbStmtRec* other = reinterpret_cast<TIbStmtRec*>(1);
  EXPECT_EQ(SQLAllocStmt(nullptr, other), -1);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(spy.TotalCalls(), 0);
  other = reinterpret_cast<TIbStmtRec*>(1);
  spy.FailEntry("isc_dsql_allocate_statement");
  EXPECT_EQ(SQLAllocStmt(conn, other), -1);
  EXPECT_EQ(other, nullptr);
  char text[256] = {};
  SQLError(conn, nullptr, text, sizeof(text));
  EXPECT_STREQ(text, "|injected fault");
}

TEST_F(Statements, OutputAreaGrowsWithOneDescribe) {
  ClientSpy spy;
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I, S, N92, N41, C5, V20, D FROM ALLTYPES", 0), 0);
  EXPECT_EQ(spy.Calls("isc_dsql_describe"), 1);
  EXPECT_EQ(stmt->OutSqlda->sqln, 7);
  EXPECT_EQ(stmt->OutSqlda->sqld, 7);
  EXPECT_EQ(stmt->OutSqlda->version, SQLDA_VERSION1);
  EXPECT_GE(malloc_usable_size(stmt->OutSqlda), IBAPI::XSQLDA_LENGTH(7));
  // Growth clears the entries it adds.
  EXPECT_EQ(stmt->OutSqlda->sqlvar[6].sqldata, nullptr);
  EXPECT_EQ(stmt->OutSqlda->sqlvar[6].sqlind, nullptr);

  spy.Reset();
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I, S, N92, N41, C5 FROM ALLTYPES", 0), 0);
  EXPECT_EQ(spy.Calls("isc_dsql_describe"), 0);
  EXPECT_EQ(stmt->OutSqlda->sqld, 5);
  EXPECT_EQ(stmt->OutSqlda->sqln, 7);  // areas never shrink
}

TEST_F(Statements, ThreeHundredColumnsAreDescribed) {
  ASSERT_EQ(SQLPrepare(stmt, "SELECT * FROM WIDE", 0), 0) << ErrorText();
  EXPECT_EQ(stmt->OutSqlda->sqld, 300);
  EXPECT_EQ(stmt->OutSqlda->sqln, 300);
  int16_t type = 0, length = 0;
  EXPECT_EQ(SQLGetCol(stmt, 255, type, length), 0);
  EXPECT_EQ(type, 497);
  EXPECT_EQ(std::string(stmt->OutSqlda->sqlvar[299].sqlname, 4), "C300");
  static int32_t values[255];
  static uint8_t flags[255];
  for (int i = 1; i <= 255; ++i) {
    ASSERT_EQ(
        SQLBindCol(stmt, static_cast<uint8_t>(i), 496, &values[i - 1], &flags[i - 1], nullptr), 0);
  }
}

TEST_F(Statements, MarkersDescribeTheInputArea) {
  ClientSpy spy;
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I FROM ALLTYPES WHERE I = ? AND V20 = ?", 0), 0);
  EXPECT_EQ(stmt->HasParamMarkers, 1);
  EXPECT_EQ(spy.Calls("isc_dsql_describe_bind"), 1);
  EXPECT_EQ(stmt->InSqlda->sqld, 2);
  int16_t type = 0, length = 0;
  EXPECT_EQ(SQLGetParam(stmt, 2, type, length), 0);
  EXPECT_EQ(type, 449);
  EXPECT_EQ(length, 20);
  EXPECT_EQ(SQLGetParam(stmt, 3, type, length), 100);

  spy.Reset();
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I FROM ALLTYPES", 0), 0);
  EXPECT_EQ(stmt->HasParamMarkers, 0);
  EXPECT_EQ(spy.Calls("isc_dsql_describe_bind"), 0);
  EXPECT_EQ(SQLGetParam(stmt, 1, type, length), 100);

  // The scan looks at characters only: a marker inside a literal counts.
  spy.Reset();
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I FROM ALLTYPES WHERE V20 = 'why?'", 0), 0);
  EXPECT_EQ(stmt->HasParamMarkers, 1);
  EXPECT_EQ(spy.Calls("isc_dsql_describe_bind"), 1);
  EXPECT_EQ(stmt->InSqlda->sqld, 0);
}

TEST_F(Statements, SixParametersGrowTheInputArea) {
  ClientSpy spy;
  ASSERT_EQ(SQLPrepare(stmt,
                       "INSERT INTO ALLTYPES (I, S, N92, N41, C5, V20, D) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?)",
                       0),
            0)
      << ErrorText();
  EXPECT_EQ(spy.Calls("isc_dsql_describe_bind"), 2);
  EXPECT_EQ(stmt->InSqlda->sqln, 7);
  EXPECT_EQ(stmt->InSqlda->sqld, 7);
  EXPECT_EQ(stmt->InSqlda->sqlvar[6].sqltype & ~1, 510);

  // The second description of the grown area failing fails the preparation.
  SQLFreeStmt(stmt, 1);
  ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  spy.FailEntry("isc_dsql_describe_bind", 2);
  EXPECT_EQ(
      SQLPrepare(stmt, "INSERT INTO ALLTYPES (I, S, N92, N41, C5, V20) VALUES (?, ?, ?, ?, ?, ?)",
                 0),
      -1);
  EXPECT_EQ(stmt->Status[1], isc_random);
}

TEST_F(Statements, ARefusedTextChangesNothingAndExplainsItself) {
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I FROM ALLTYPES WHERE I = ?", 0), 0);
  ClientSpy spy;
  EXPECT_EQ(SQLPrepare(stmt, "SELECT nonsense FROM nowhere", 0), -1);
  EXPECT_EQ(stmt->HasParamMarkers, 1);
  EXPECT_EQ(spy.Calls("isc_dsql_describe") + spy.Calls("isc_dsql_describe_bind"), 0);
  std::string text = ErrorText();
  EXPECT_EQ(text.rfind("|Dynamic SQL Error|", 0), 0u) << text;
  EXPECT_NE(text.find("|NOWHERE"), std::string::npos) << text;
  EXPECT_EQ(SQLPrepare(stmt, nullptr, 0), -1);
  EXPECT_EQ(stmt->Status[1], isc_dsql_command_err);
}

TEST_F(Statements, AFailedSecondDescribeReportsNoColumns) {
  ClientSpy spy;
  spy.FailEntry("isc_dsql_describe");
  EXPECT_EQ(SQLPrepare(stmt, "SELECT I, S, N92, N41, C5, V20, D FROM ALLTYPES WHERE I = ?", 0), -1);
  EXPECT_EQ(stmt->OutSqlda->sqld, 0);
  EXPECT_EQ(stmt->HasParamMarkers, 1);
  EXPECT_EQ(spy.Calls("isc_dsql_describe_bind"), 1);
  EXPECT_EQ(stmt->InSqlda->sqld, 1);
  int16_t type = 0, length = 0;
  EXPECT_EQ(SQLGetCol(stmt, 1, type, length), 100);
}

TEST_F(Statements, PreparationStartsTheTransactionWhenNoneIsOpen) {
  ClientSpy spy;
  ASSERT_EQ(conn->TrHandle, 0u);
  EXPECT_EQ(SQLPrepare(stmt, "SELECT nonsense FROM nowhere", 0), -1);
  EXPECT_NE(conn->TrHandle, 0u);
  EXPECT_EQ(spy.Calls("isc_start_multiple"), 1);
  EXPECT_EQ(SQLPrepare(stmt, "SELECT I FROM ALLTYPES", 0), 0);
  EXPECT_EQ(spy.Calls("isc_start_multiple"), 1);
  EXPECT_EQ(spy.Log().front(), "isc_start_multiple");
}

TEST_F(Statements, EveryDialectOneTypeIsDescribed) {
  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0) << ErrorText();
  const struct {
    int16_t type, length, scale;
  } expected[] = {{497, 4, 0},  {501, 2, 0}, {497, 4, -2}, {501, 2, -1}, {453, 5, 0},
                  {449, 20, 0}, {511, 8, 0}, {481, 8, 0},  {483, 4, 0},  {521, 4096, 0}};
  const char* names[] = {"I", "S", "N92", "N41", "C5", "V20", "D", "DP", "F", "B"};
  for (uint8_t i = 1; i <= 10; ++i) {
    int16_t type = 0, length = 0;
    ASSERT_EQ(SQLGetCol(stmt, i, type, length), 0);
    EXPECT_EQ(type, expected[i - 1].type) << int(i);
    EXPECT_EQ(length, expected[i - 1].length) << int(i);
    EXPECT_EQ(stmt->OutSqlda->sqlvar[i - 1].sqlscale, expected[i - 1].scale) << int(i);
    // The description call gives the same, with the name, the scale and the nullability.
    char name[32];
    int16_t nameLength = 0, described = 0, scale = 9, nullable = 9;
    int32_t columnLength = 0;
    ASSERT_EQ(SQLDescribeCol(stmt, i, name, sizeof(name), &nameLength, &described, &columnLength,
                             &scale, &nullable),
              0);
    EXPECT_STREQ(name, names[i - 1]);
    EXPECT_EQ(nameLength, static_cast<int16_t>(std::strlen(names[i - 1])));
    EXPECT_EQ(described, type);
    EXPECT_EQ(columnLength, length);
    EXPECT_EQ(scale, expected[i - 1].scale);
    EXPECT_EQ(nullable, 1);
  }
  int16_t type = 7, length = 7;
  EXPECT_EQ(SQLGetCol(stmt, 11, type, length), 100);
  EXPECT_EQ(SQLGetCol(stmt, 0, type, length), 100);
  EXPECT_EQ(type, 7);
  EXPECT_EQ(length, 7);
}

TEST_F(Statements, DescribeColNamesAliasesAndExpressionsAndCutsNamesToTheBuffer) {
  ASSERT_EQ(SQLPrepare(stmt,
                       "SELECT I AS FIRST, I + 1, C5 CODE, 7 AS SEVEN, "
                       "I * 2 AS A_VERY_LONG_ALIAS_OF_THIRTY_ONE FROM ALLTYPES",
                       0),
            0);
  const struct {
    const char* name;
    int16_t type, nullable;
  } expected[] = {{"FIRST", 497, 1},
                  {"ADD", 497, 1},
                  {"CODE", 453, 1},
                  {"SEVEN", 496, 0},
                  {"A_VERY_LONG_ALIAS_OF_THIRTY_ONE", 497, 1}};
  for (uint8_t i = 1; i <= 5; ++i) {
    char name[40];
    int16_t type = 0, nullable = 9;
    ASSERT_EQ(
        SQLDescribeCol(stmt, i, name, sizeof(name), nullptr, &type, nullptr, nullptr, &nullable),
        0);
    EXPECT_STREQ(name, expected[i - 1].name);
    EXPECT_EQ(type, expected[i - 1].type) << int(i);
    EXPECT_EQ(nullable, expected[i - 1].nullable) << int(i);
  }
  // A small buffer gets the name's start and a NUL, never more; the length is the whole name's.
  for (int16_t size : {1, 2, 4, 31, 32}) {
    char name[40];
    std::memset(name, '#', sizeof(name));
    int16_t length = 0;
    ASSERT_EQ(SQLDescribeCol(stmt, 5, name, size, &length, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(length, 31);
    EXPECT_EQ(std::string(name),
              std::string("A_VERY_LONG_ALIAS_OF_THIRTY_ONE").substr(0, size - 1));
    for (size_t k = static_cast<size_t>(size); k < sizeof(name); ++k)
      ASSERT_EQ(name[k], '#') << size;
  }
  // Every output may be nil; past the last column nothing is written.
  EXPECT_EQ(SQLDescribeCol(stmt, 1, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  char name[8] = "kept";
  int16_t length = 7, type = 7, scale = 7, nullable = 7;
  int32_t columnLength = 7;
  EXPECT_EQ(
      SQLDescribeCol(stmt, 6, name, sizeof(name), &length, &type, &columnLength, &scale, &nullable),
      100);
  EXPECT_EQ(
      SQLDescribeCol(stmt, 0, name, sizeof(name), &length, &type, &columnLength, &scale, &nullable),
      100);
  EXPECT_STREQ(name, "kept");
  EXPECT_EQ(length + type + scale + nullable + columnLength, 35);
  EXPECT_EQ(SQLDescribeCol(nullptr, 1, name, sizeof(name), &length, &type, &columnLength, &scale,
                           &nullable),
            -1);
  // The blob lookup is made only when the length is asked for.
  ASSERT_EQ(SQLPrepare(stmt, "SELECT B FROM ALLTYPES", 0), 0);
  ClientSpy spy;
  EXPECT_EQ(SQLDescribeCol(stmt, 1, name, sizeof(name), &length, &type, nullptr, &scale, nullptr),
            0);
  EXPECT_EQ(spy.Calls("isc_blob_lookup_desc"), 0);
  EXPECT_EQ(SQLDescribeCol(stmt, 1, nullptr, 0, nullptr, nullptr, &columnLength, nullptr, nullptr),
            0);
  EXPECT_EQ(spy.Calls("isc_blob_lookup_desc"), 1);
  EXPECT_EQ(columnLength, 4096);
}

TEST(DialectThree, DescribeColGivesTheTypesOfADialectThreeDatabase) {
  VarloTest::TempDir dir;
  const std::string path = dir.File("dialect3.fdb");
  VarloTest::CreateDatabase(path,
                            {"CREATE TABLE T3 (BI BIGINT, N18 NUMERIC(18,2) NOT NULL, D DATE, "
                             "TM TIME, TS TIMESTAMP, BO BOOLEAN)"},
                            false, 3);
  TIbConnRec* conn = nullptr;
  TIbStmtRec* stmt = nullptr;
  SQLAllocConnect(conn);
  ASSERT_EQ(SQLConnect(conn, path, "", ""), 0);
  ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  ASSERT_EQ(SQLPrepare(stmt, "SELECT BI, N18, D, TM, TS, BO FROM T3", 0), 0);
  const struct {
    const char* name;
    int16_t type;
    int32_t length;
    int16_t scale, nullable;
  } expected[] = {{"BI", 581, 8, 0, 1}, {"N18", 580, 8, -2, 0}, {"D", 571, 4, 0, 1},
                  {"TM", 561, 4, 0, 1}, {"TS", 511, 8, 0, 1},   {"BO", 32765, 1, 0, 1}};
  for (uint8_t i = 1; i <= 6; ++i) {
    char name[32];
    int16_t type = 0, scale = 9, nullable = 9;
    int32_t length = 0;
    ASSERT_EQ(
        SQLDescribeCol(stmt, i, name, sizeof(name), nullptr, &type, &length, &scale, &nullable), 0);
    EXPECT_STREQ(name, expected[i - 1].name);
    EXPECT_EQ(type, expected[i - 1].type) << name;
    EXPECT_EQ(length, expected[i - 1].length) << name;
    EXPECT_EQ(scale, expected[i - 1].scale) << name;
    EXPECT_EQ(nullable, expected[i - 1].nullable) << name;
  }
  SQLFreeStmt(stmt, 1);
  SQLDisconnect(conn);
}

// The same queries on a dialect-3 database, in its own dialect and with dialect 1 forced: the
// answers the database gives in each. (A dialect-1 prepare on a dialect-3 database gave the
// second column for every query.)
TEST(DialectThree, StatementsArePreparedInTheDatabasesDialectUnlessOneIsForced) {
  VarloTest::TempDir dir;
  const std::string path = dir.File("dialect3.fdb");
  VarloTest::CreateDatabase(path,
                            {"CREATE TABLE T (ID INTEGER, N NUMERIC(18,2))",
                             "INSERT INTO T VALUES (1, 8)", "INSERT INTO T VALUES (2, 8)"},
                            false, 3);
  const struct {
    const char* sql;
    const char* dialect3;
    const char* dialect1;
  } cases[] = {
      {"SELECT 1/2 AS H FROM RDB$DATABASE", "580 0", "480 0.5"},
      {"SELECT 7/2 FROM RDB$DATABASE", "580 3", "480 3.5"},
      {"SELECT \"ID\" FROM T WHERE ID = 1", "496 1", "452 ID"},
      {"SELECT ID AS \"Id\" FROM T", "496 1", "error |Dynamic SQL Error"},
      {"SELECT DATE '2004-01-31' FROM RDB$DATABASE", "570 2004-01-31", "error |Dynamic SQL Error"},
      {"SELECT TIME '10:11:12' FROM RDB$DATABASE", "560 10:11:12", "error |Dynamic SQL Error"},
      {"SELECT SUM(N) FROM T", "580 16.00", "480 16"},
      {"SELECT CAST(N AS NUMERIC(10,2)) FROM T", "580 8.00", "error |Dynamic SQL Error"},
      {"SELECT N * 1.5 FROM T WHERE ID = 1", "580 12.000", "480 12"},
  };
  TIbConnRec* conn = nullptr;
  SQLAllocConnect(conn);
  ASSERT_EQ(SQLConnect(conn, path, "", ""), 0);
  for (uint16_t forced : {0, 1}) {
    ASSERT_EQ(SQLSetConnectOption(conn, 150, forced), 0);
    for (const auto& c : cases) {
      const std::string expected = forced == 0 ? c.dialect3 : c.dialect1;
      const std::string got = VarloTest::QueryText(conn, c.sql);
      EXPECT_EQ(got.substr(0, expected.size()), expected) << c.sql << " in dialect " << forced;
    }
  }
  ASSERT_EQ(SQLSetConnectOption(conn, 150, 0), 0);
  for (uint16_t bad : {2, 4, 65535}) {
    EXPECT_EQ(SQLSetConnectOption(conn, 150, bad), -1);
    EXPECT_EQ(VarloTest::ErrorText(conn, nullptr),
              "|passed client dialect " + std::to_string(bad) + " is not a valid dialect.");
  }
  EXPECT_EQ(VarloTest::QueryText(conn, "SELECT 1/2 FROM RDB$DATABASE"), "580 0");
  SQLDisconnect(conn);
}

TEST_F(Statements, ABlobColumnWithoutADefinitionReportsEighty) {
  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0);
  ClientSpy spy;
  spy.FailEntry("isc_blob_lookup_desc");
  int16_t type = 0, length = 0;
  EXPECT_EQ(SQLGetCol(stmt, 10, type, length), 0);
  EXPECT_EQ(type, 521);
  EXPECT_EQ(length, 80);
  EXPECT_EQ(stmt->Status[1], isc_random);
  // Names longer than the client's identifiers are cut to 31 characters.
  XSQLVAR& var = stmt->OutSqlda->sqlvar[9];
  std::memset(var.sqlname, 'X', sizeof(var.sqlname));
  var.sqlname_length = 100;
  var.relname_length = 100;
  EXPECT_EQ(SQLGetCol(stmt, 10, type, length), 0);
  EXPECT_EQ(length, 80);  // no such column
}

TEST_F(Statements, ABlobColumnsReadSizeIsOneThatBindingTakes) {
  ASSERT_EQ(SQLPrepare(stmt, "SELECT A, B, C FROM SEGMENTS", 0), 0);
  char buffer[16];
  uint8_t flag;
  for (auto [column, expected] : {std::pair{1, 32767}, {2, 80}, {3, 32767}}) {
    int16_t type = 0, length = 0;
    ASSERT_EQ(SQLGetCol(stmt, static_cast<uint8_t>(column), type, length), 0);
    EXPECT_EQ(length, expected) << column;
    int32_t readSize = length;
    EXPECT_EQ(SQLBindCol(stmt, static_cast<uint8_t>(column), type, buffer, &flag, &readSize), 0)
        << column;
  }
}

TEST_F(Statements, ABlobParameterReportsItsLengthWithoutLookup) {
  ASSERT_EQ(SQLPrepare(stmt, "INSERT INTO ALLTYPES (B) VALUES (?)", 0), 0);
  ClientSpy spy;
  int16_t type = 0, length = 0;
  EXPECT_EQ(SQLGetParam(stmt, 1, type, length), 0);
  EXPECT_EQ(type, 521);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(spy.TotalCalls(), 0);
}

// ---- binding ----

TEST_F(Statements, BindingPointsEntriesAtTheRightBuffers) {
  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0);
  int32_t i = 0;
  char v20[21];
  char date[20];
  char blob[16];
  int32_t blobLength = 1024;
  uint8_t flags[10];
  std::memset(flags, 9, sizeof(flags));
  ASSERT_EQ(SQLBindCol(stmt, 1, 496, &i, &flags[0], nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 6, 448, v20, &flags[5], nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 7, 511, date, &flags[6], nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 10, 520, blob, &flags[9], &blobLength), 0);
  EXPECT_EQ(stmt->ColsBound, 1);
  EXPECT_EQ(stmt->ParamsBound, 0);
  for (int n : {0, 5, 6, 9}) EXPECT_EQ(flags[n], 0) << n;

  XSQLVAR* vars = stmt->OutSqlda->sqlvar;
  EXPECT_EQ(vars[0].sqldata, reinterpret_cast<ISC_SCHAR*>(&i));
  EXPECT_EQ(SearchLL(stmt->PlainCols, 0), &i);
  EXPECT_GE(malloc_usable_size(vars[5].sqldata), 22u);
  EXPECT_EQ(std::memcmp(vars[5].sqldata, std::string(22, '\0').data(), 22), 0);
  EXPECT_EQ(SearchLL(stmt->VaryCols, 5), v20);
  EXPECT_EQ(BlobSearchLL(stmt->VaryCols, 5)->SizePtr, nullptr);
  EXPECT_EQ(BlobSearchLL(stmt->VaryCols, 5)->Size, 0);
  EXPECT_EQ(SearchLL(stmt->DateCols, 6), date);
  TBindNode* blobNode = BlobSearchLL(stmt->BlobCols, 9);
  ASSERT_NE(blobNode, nullptr);
  EXPECT_EQ(blobNode->Size, 1024);
  EXPECT_EQ(blobNode->SizePtr, &blobLength);
  for (int n : {0, 5, 6, 9}) {
    ASSERT_NE(vars[n].sqlind, nullptr);
    EXPECT_EQ(*vars[n].sqlind, 0);
  }
  EXPECT_EQ(vars[1].sqldata, nullptr);  // unbound entries keep nil pointers
}

TEST_F(Statements, BindingRefusesWhatItWouldCorrupt) {
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I, V20, D, B FROM ALLTYPES WHERE C5 = ? AND B = ?", 0), 0);
  int32_t value = 0;
  char text[32];
  uint8_t flag = 5;
  int32_t length = 80;
  struct Case {
    uint8_t number;
    int16_t type;
    void* data;
    uint8_t* flag;
    int32_t* length;
    ISC_STATUS code;
  } columns[] = {
      {0, 496, &value, &flag, nullptr, isc_dsql_sqlda_value_err},
      {5, 496, &value, &flag, nullptr, isc_dsql_sqlda_value_err},
      {1, 448, text, &flag, nullptr, isc_dsql_datatype_err},
      {2, 452, text, &flag, nullptr, isc_dsql_datatype_err},
      {3, 520, text, &flag, &length, isc_dsql_datatype_err},
      {4, 510, text, &flag, nullptr, isc_dsql_datatype_err},
      {1, 496, &value, nullptr, nullptr, isc_dsql_sqlda_err},
      {2, 448, nullptr, &flag, nullptr, isc_dsql_sqlda_err},
      {4, 520, text, &flag, nullptr, isc_dsql_sqlda_err},
  };
  for (const Case& c : columns) {
    stmt->Status[1] = 0;
    EXPECT_EQ(SQLBindCol(stmt, c.number, c.type, c.data, c.flag, c.length), -1) << int(c.number);
    EXPECT_EQ(stmt->Status[1], c.code) << int(c.number) << " " << c.type;
  }
  for (int32_t bad : {0, -1, 65536}) {
    length = bad;
    EXPECT_EQ(SQLBindCol(stmt, 4, 520, text, &flag, &length), -1) << bad;
  }
  EXPECT_EQ(SQLBindParameter(stmt, 2, 520, text, &flag, &length, 0), -1);
  EXPECT_EQ(SQLBindParameter(stmt, 3, 452, text, &flag, nullptr, 0), -1);
  EXPECT_EQ(SQLBindParameter(stmt, 1, 448, text, &flag, nullptr, 0), -1);
  EXPECT_EQ(flag, 5);
  EXPECT_EQ(stmt->ColsBound + stmt->ParamsBound, 0);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(stmt->OutSqlda->sqlvar[n].sqldata, nullptr);
  EXPECT_EQ(stmt->PlainCols, nullptr);
  EXPECT_EQ(ErrorText(), "|Data type unknown");
  EXPECT_EQ(SQLBindParameter(stmt, 1, 453, text, &flag, nullptr, 0), 0);
  EXPECT_EQ(SQLBindParameter(stmt, 2, 521, text, &flag, &length, 1), 0);
}

TEST_F(Statements, BindingAgainReplacesTheEarlierBinding) {
  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0);
  int32_t first = 0, second = 0;
  char v1[21], v2[21];
  uint8_t f1 = 0, f2 = 3;
  ASSERT_EQ(SQLBindCol(stmt, 1, 496, &first, &f1, nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 1, 497, &second, &f2, nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 6, 448, v1, &f1, nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 6, 449, v2, &f2, nullptr), 0);
  EXPECT_EQ(f2, 0);
  EXPECT_EQ(SearchLL(stmt->PlainCols, 0), &second);
  EXPECT_EQ(stmt->PlainCols->Next, nullptr);
  EXPECT_EQ(SearchLL(stmt->VaryCols, 5), v2);
  EXPECT_EQ(stmt->VaryCols->Next, nullptr);
  EXPECT_EQ(stmt->OutSqlda->sqlvar[0].sqldata, reinterpret_cast<ISC_SCHAR*>(&second));
  EXPECT_EQ(IsNullSearchLL(stmt->VaryCols, 5), &f2);
}

TEST_F(Statements, PreparingAgainReleasesEveryBinding) {
  ASSERT_EQ(SQLPrepare(stmt, "SELECT V20, D, I FROM ALLTYPES WHERE V20 = ?", 0), 0);
  char text[32];
  char date[20];
  int32_t value;
  uint8_t flag;
  ASSERT_EQ(SQLBindCol(stmt, 1, 448, text, &flag, nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 2, 510, date, &flag, nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 3, 496, &value, &flag, nullptr), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 1, 448, text, &flag, nullptr, 0), 0);
  // Entry 3 becomes a VARCHAR: a stale binding would free the caller's integer at the drop.
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I, D, V20 FROM ALLTYPES", 0), 0);
  EXPECT_EQ(stmt->ColsBound, 0);
  EXPECT_EQ(stmt->ParamsBound, 0);
  for (TBindNode* list : {stmt->VaryCols, stmt->DateCols, stmt->PlainCols, stmt->VaryParams}) {
    EXPECT_EQ(list, nullptr);
  }
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(stmt->OutSqlda->sqlvar[n].sqldata, nullptr);
    EXPECT_EQ(stmt->OutSqlda->sqlvar[n].sqlind, nullptr);
  }
  EXPECT_EQ(stmt->InSqlda->sqlvar[0].sqldata, nullptr);
  ASSERT_EQ(SQLBindCol(stmt, 1, 496, &value, &flag, nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 3, 448, text, &flag, nullptr), 0);
}

// Under AddressSanitizer and LeakSanitizer each of these drops must free exactly what the
// statement owns.
TEST_F(Statements, DropsFreeExactlyWhatTheStatementOwns) {
  auto fresh = [&] {
    SQLFreeStmt(stmt, 1);
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  };
  char text[64];
  char date[20];
  char blob[64];
  int32_t value, length = 16;
  uint8_t flag;

  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0);  // never bound, grown area
  fresh();
  ASSERT_EQ(SQLPrepare(stmt, "SELECT I, V20, D FROM ALLTYPES", 0), 0);  // partly bound
  ASSERT_EQ(SQLBindCol(stmt, 2, 448, text, &flag, nullptr), 0);
  fresh();
  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0);  // everything bound twice
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(SQLBindCol(stmt, 1, 496, &value, &flag, nullptr), 0);
    ASSERT_EQ(SQLBindCol(stmt, 6, 448, text, &flag, nullptr), 0);
    ASSERT_EQ(SQLBindCol(stmt, 7, 510, date, &flag, nullptr), 0);
    ASSERT_EQ(SQLBindCol(stmt, 10, 520, blob, &flag, &length), 0);
  }
  fresh();
  ASSERT_EQ(SQLPrepare(stmt, "UPDATE ALLTYPES SET V20 = ?, D = ?, B = ?, I = ?, S = ?, F = ?", 0),
            0);
  ASSERT_EQ(SQLBindParameter(stmt, 1, 448, text, &flag, nullptr, 0), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 2, 510, date, &flag, nullptr, 0), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 3, 520, blob, &flag, &length, 4), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 6, 482, &value, &flag, nullptr, 0), 0);
  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0);  // re-prepared after binding
  ASSERT_EQ(SQLBindCol(stmt, 6, 448, text, &flag, nullptr), 0);
}

TEST_F(Statements, FreeWithAnyOtherOptionDoesNothing) {
  ASSERT_EQ(SQLPrepare(stmt, kSelectAll, 0), 0);
  ClientSpy spy;
  for (uint8_t option : {2, 3, 255}) EXPECT_EQ(SQLFreeStmt(stmt, option), 0);
  EXPECT_EQ(spy.TotalCalls(), 0);
  EXPECT_EQ(SQLFreeStmt(stmt, 0), 0);  // closing a statement without a cursor: ignored
  EXPECT_EQ(spy.Calls("isc_dsql_free_statement"), 1);
  EXPECT_EQ(SQLFreeStmt(nullptr, 1), 0);
}

}  // namespace
