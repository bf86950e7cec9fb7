// Values in the caller's C types: every SQL type of a dialect-3 database to and from text,
// numbers, date records and bytes, through SQLBindCol, SQLGetData and SQLBindParameter.
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <string>

#include "support/TestSupport.h"

using namespace IbDB;
using VarloTest::RawDb;

namespace {

class CTypes : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(
        path,
        {"CREATE TABLE T (ID INTEGER, SM SMALLINT, I INTEGER, BI BIGINT, N92 NUMERIC(9,2), "
         "N184 NUMERIC(18,4), N41 NUMERIC(4,1), F FLOAT, DP DOUBLE PRECISION, D DATE, TM TIME, "
         "TS TIMESTAMP, BO BOOLEAN, V VARCHAR(24), C CHAR(5), TB BLOB SUB_TYPE 1)",
         "INSERT INTO T (ID) VALUES (1)"},
        false, 3);
    ASSERT_EQ(SQLAllocConnect(conn), 0);
    ASSERT_EQ(SQLConnect(conn, path, "", ""), 0) << VarloTest::ErrorText(conn, nullptr);
  }
  void TearDown() override {
    for (TIbStmtRec* s : statements) SQLFreeStmt(s, 1);
    statements.clear();
    SQLDisconnect(conn);
  }
  // The same table in a database of the server's, attached over TCP.
  void UseServer() {
    TearDown();
    path = dir.File("server.fdb");
    VarloTest::CreateDatabase(path,
                              {"CREATE TABLE T (ID INTEGER, I INTEGER, N92 NUMERIC(9,2), "
                               "V VARCHAR(24), TB BLOB SUB_TYPE 1)",
                               "INSERT INTO T (ID) VALUES (1)"},
                              true, 3);
    name = VarloTest::ServerName(path);
    user = VarloTest::ServerUser();
    password = VarloTest::ServerPassword();
    ASSERT_EQ(SQLAllocConnect(conn), 0);
    ASSERT_EQ(SQLConnect(conn, name, user, password), 0) << VarloTest::ErrorText(conn, nullptr);
  }
  TIbStmtRec* Prepare(const std::string& sql) {
    TIbStmtRec* stmt = nullptr;
    EXPECT_EQ(SQLAllocStmt(conn, stmt), 0);
    EXPECT_EQ(SQLPrepare(stmt, sql.c_str(), 0), 0) << sql << VarloTest::ErrorText(conn, stmt);
    statements.push_back(stmt);
    return stmt;
  }
  // Stores a literal in the row's column, committed, through the raw client.
  void Store(const std::string& column, const std::string& literal) {
    ASSERT_EQ(SQLTransact(conn, 0), 0);
    RawDb(name, user, password).Exec("UPDATE T SET " + column + " = " + literal, 3);
  }
  // Whether the row's column holds the literal, as the server compares them.
  bool Holds(const std::string& column, const std::string& literal) {
    EXPECT_EQ(SQLTransact(conn, 0), 0);
    return RawDb(name, user, password)
               .QueryInt(
                   "SELECT COUNT(*) FROM T WHERE " + column + " IS NOT DISTINCT FROM " + literal,
                   3) == 1;
  }

  VarloTest::TempDir dir;
  std::string path = dir.File("ctypes.fdb");
  std::string name = path, user, password;
  TIbConnRec* conn = nullptr;
  std::vector<TIbStmtRec*> statements;
};

template <typename T>
T Read(const char* b) {
  T value;
  std::memcpy(&value, b, sizeof(value));
  return value;
}

// A C value as the table writes it.
std::string Render(int16_t ctype, const char* b, int32_t length) {
  char text[64] = {};
  switch (ctype) {
    case CChar:
      return b;
    case CShort:
      return std::to_string(Read<int16_t>(b));
    case CLong:
      return std::to_string(Read<int32_t>(b));
    case CSBigInt:
      return std::to_string(Read<int64_t>(b));
    case CBit:
      return std::to_string(Read<uint8_t>(b));
    case CFloat:
      return std::string(text, std::to_chars(text, text + 64, Read<float>(b)).ptr);
    case CDouble:
      return std::string(text, std::to_chars(text, text + 64, Read<double>(b)).ptr);
    case CDate: {
      const auto d = Read<TDateStruct>(b);
      return std::to_string(d.year) + "-" + std::to_string(d.month) + "-" + std::to_string(d.day);
    }
    case CTime: {
      const auto t = Read<TTimeStruct>(b);
      return std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
             std::to_string(t.second);
    }
    case CTimestamp: {
      const auto t = Read<TTimestampStruct>(b);
      return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
             " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
             std::to_string(t.second) + "." + std::to_string(t.fraction);
    }
    default:
      for (int32_t k = 0; k < length && k < 31; ++k) {
        std::snprintf(text + 2 * k, 3, "%02X", static_cast<unsigned char>(b[k]));
      }
      return text;
  }
}

struct Case {
  const char* column;
  const char* literal;
  int16_t ctype;
  const char* expected;  // "" with result -1
  int16_t result;        // 0, 1 (cut, or a fraction or time lost), -1 refused
};

// What each SQL type gives in each C type, and, where nothing was lost, that the C value sent
// back stores the same value.
TEST_F(CTypes, EveryTypeConvertsByOdbcsRulesAndMakesTheRoundTrip) {
  const Case cases[] = {
      {"N92", "19.99", CChar, "19.99", 0},
      {"N92", "19.99", CDouble, "19.99", 0},
      {"N92", "19.99", CLong, "19", 1},
      {"N92", "-0.05", CChar, "-0.05", 0},
      {"N92", "4140.03", CFloat, "4140.03", 0},
      {"N184", "12345678901234.5678", CChar, "12345678901234.5678", 0},
      {"N184", "12345678901234.5678", CSBigInt, "12345678901234", 1},
      {"N184", "-0.0001", CDouble, "-1e-04", 0},
      {"N41", "-2.5", CShort, "-2", 1},
      {"N41", "-2.5", CBinary, "E7FF", 0},
      {"BI", "9223372036854775807", CChar, "9223372036854775807", 0},
      {"BI", "9223372036854775807", CLong, "", -1},
      {"BI", "-9223372036854775808", CSBigInt, "-9223372036854775808", 0},
      {"SM", "-32768", CShort, "-32768", 0},
      {"SM", "-32768", CBit, "", -1},
      {"I", "1", CBit, "1", 0},
      {"I", "7", CDouble, "7", 0},
      {"DP", "0.1", CChar, "0.1", 0},
      {"DP", "1e300", CFloat, "", -1},
      {"DP", "2.75", CLong, "2", 1},
      {"F", "0.1", CChar, "0.1", 0},
      {"F", "CAST(-3.4028234e38 AS FLOAT)", CChar, "-3.4028235e+38", 0},  // -FLT_MAX reads back
      {"D", "'2024-02-29'", CChar, "2024-02-29", 0},
      {"D", "'2024-02-29'", CDate, "2024-2-29", 0},
      {"D", "'0001-01-01'", CTimestamp, "1-1-1 0:0:0.0", 0},
      {"TM", "'13:45:12.345'", CChar, "13:45:12.3450", 0},
      {"TM", "'13:45:12'", CTime, "13:45:12", 0},
      {"TM", "'13:45:12.345'", CTime, "13:45:12", 1},
      {"TS", "'2024-02-29 13:45:12.345'", CChar, "2024-02-29 13:45:12.3450", 0},
      {"TS", "'2024-02-29 13:45:12.345'", CTimestamp, "2024-2-29 13:45:12.345000000", 0},
      {"TS", "'2024-02-29 13:45:12'", CDate, "2024-2-29", 1},
      {"TS", "'9999-12-31 23:59:59.9999'", CTime, "23:59:59", 1},
      {"BO", "TRUE", CChar, "TRUE", 0},
      {"BO", "FALSE", CBit, "0", 0},
      {"BO", "TRUE", CLong, "1", 0},
      {"V", "'4140.03'", CDouble, "4140.03", 0},
      {"V", "' 4140.03 '", CLong, "4140", 1},
      {"V", "'abc'", CLong, "", -1},
      {"V", "'2024-02-29 10:11:00.0000'", CTimestamp, "2024-2-29 10:11:0.0", 0},
      {"V", "'02/29/2024 10:11:12'", CDate, "2024-2-29", 1},
      {"V", "'2024-02-30'", CDate, "", -1},
      {"V", "'TRUE'", CBit, "", -1},
      {"V", "'Größe'", CBinary, "4772C3B6C39F65", 0},
      {"V", "'Größe'", CChar, "Größe", 0},
      {"C", "'ab'", CChar, "ab   ", 0},
      {"TB", "'text blob'", CChar, "text blob", 0},
      {"TB", "'AB'", CBinary, "4142", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.column) + " " + c.literal + " as C type " + std::to_string(c.ctype));
    Store(c.column, c.literal);
    const std::string select = std::string("SELECT ") + c.column + " FROM T";
    for (bool bound : {true, false}) {
      TIbStmtRec* stmt = Prepare(select);
      char buffer[64];
      std::memset(buffer, 0x5A, sizeof(buffer));
      int32_t length = 0;
      uint8_t null = 7;
      int16_t rc = 0;
      if (bound) {
        ASSERT_EQ(SQLBindCol(stmt, 1, c.ctype, buffer, sizeof(buffer), &null, &length), 0);
        ASSERT_EQ(SQLExecute(stmt), 0);
        rc = SQLFetch(stmt);
        EXPECT_EQ(null, 0);
      } else {
        ASSERT_EQ(SQLExecute(stmt), 0);
        ASSERT_EQ(SQLFetch(stmt), 0);
        rc = SQLGetData(stmt, 1, c.ctype, buffer, sizeof(buffer), &length);
      }
      EXPECT_EQ(rc, c.result) << (bound ? "bound " : "SQLGetData ")
                              << VarloTest::ErrorText(conn, stmt);
      if (rc < 0) {
        EXPECT_EQ(buffer[0], 0x5A);  // nothing written
        EXPECT_NE(VarloTest::ErrorText(conn, stmt).find("|column 1: "), std::string::npos);
        continue;
      }
      EXPECT_EQ(Render(c.ctype, buffer, length), c.expected) << (bound ? "bound" : "SQLGetData");
      if (c.ctype == CChar) {
        EXPECT_EQ(length, static_cast<int32_t>(std::strlen(c.expected)));
      }
      if (!bound || c.result != 0) continue;

      // Back again: the C value stores the value it came from.
      Store(c.column, "NULL");
      TIbStmtRec* update = Prepare(std::string("UPDATE T SET ") + c.column + " = ?");
      uint8_t flag = 0;
      ASSERT_EQ(SQLBindParameter(update, 1, c.ctype, buffer, sizeof(buffer), &flag,
                                 c.ctype == CBinary ? &length : nullptr),
                0);
      ASSERT_EQ(SQLExecute(update), 0) << VarloTest::ErrorText(conn, update);
      EXPECT_TRUE(Holds(c.column, c.literal)) << "round trip";
    }
  }
}

// Parameters whose value does not convert or does not fit are refused before anything is
// executed, naming the parameter and what was wrong; the stored value stays.
TEST_F(CTypes, ParametersThatDoNotConvertAreRefusedNamingThemselves) {
  struct Refusal {
    const char* column;
    int16_t ctype;
    std::string value;  // the C value's bytes
    ISC_STATUS code;
    const char* text;
  };
  auto bytes = [](auto v) { return std::string(reinterpret_cast<const char*>(&v), sizeof(v)); };
  const Refusal refusals[] = {
      {"N92", CChar, "19.999", isc_numeric_out_of_range, "more than 2 digits after the point"},
      {"N92", CChar, "12a", isc_convert_error, "not a number"},
      {"N92", CDouble, bytes(1e10), isc_numeric_out_of_range, "does not fit an INTEGER"},
      {"N92", CDouble, bytes(0.1 + 0.2), isc_numeric_out_of_range, "digits after the point"},
      {"SM", CLong, bytes(int32_t{40000}), isc_numeric_out_of_range, "does not fit a SMALLINT"},
      {"I", CBinary, "abc", isc_string_truncation, "3 bytes for a value of 4"},
      {"D", CChar, "2024-02-30", isc_convert_error, "not a date or time"},
      {"D", CChar, "13/01/2024 00:00:00", isc_convert_error, "not a date or time"},
      {"D", CChar, "2024-02-29 10:00:00", isc_date_range_exceeded, "a time of day for a DATE"},
      {"D", CDate, bytes(TDateStruct{2024, 13, 1}), isc_date_range_exceeded, "impossible date"},
      {"TM", CTime, bytes(TTimeStruct{24, 0, 0}), isc_time_range_exceeded, "impossible time"},
      {"TS", CTimestamp, bytes(TTimestampStruct{2024, 2, 29, 1, 2, 3, 123456789}),
       isc_time_range_exceeded, "finer than 0.0001"},
      {"V", CChar, std::string(25, 'x'), isc_string_truncation, "25 bytes for a column of 24"},
      {"C", CLong, bytes(int32_t{123456}), isc_string_truncation, "6 bytes for a column of 5"},
      {"BO", CChar, "maybe", isc_convert_error, "not TRUE or FALSE"},
      {"BO", CLong, bytes(int32_t{2}), isc_numeric_out_of_range, "does not fit a BOOLEAN"},
      {"N184", CChar, "0." + std::string(60, '0') + "1", isc_numeric_out_of_range, "does not fit"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(std::string(r.column) + " from C type " + std::to_string(r.ctype));
    TIbStmtRec* update = Prepare(std::string("UPDATE T SET ") + r.column + " = ?");
    std::string value = r.value;
    auto length = static_cast<int32_t>(value.size());
    uint8_t flag = 0;
    ASSERT_EQ(SQLBindParameter(update, 1, r.ctype, value.data(), length, &flag, &length), 0);
    VarloTest::ClientSpy spy;
    EXPECT_EQ(SQLExecute(update), -1);
    EXPECT_EQ(spy.TotalCalls(), 0);
    EXPECT_EQ(update->Status[1], r.code);
    const std::string error = VarloTest::ErrorText(conn, update);
    EXPECT_NE(error.find("|parameter 1: "), std::string::npos) << error;
    EXPECT_NE(error.find(r.text), std::string::npos) << error;
  }
  EXPECT_TRUE(Holds("V", "NULL"));

  // Text in the forms the table names is taken, and stores exactly its value.
  const std::pair<const char*, const char*> accepted[][2] = {
      {{"N92", " 19.990000000000000000000 "}, {"N92", "19.99"}},
      {{"BI", "-9223372036854775808"}, {"BI", "-9223372036854775808"}},
      {{"D", "02/29/2024"}, {"D", "DATE '2024-02-29'"}},
      {{"TS", "2024-02-29T13:45:12.345"}, {"TS", "TIMESTAMP '2024-02-29 13:45:12.345'"}},
      {{"BO", "false"}, {"BO", "FALSE"}},
      {{"DP", "1e-300"}, {"DP", "1e-300"}},
  };
  for (const auto& a : accepted) {
    SCOPED_TRACE(a[0].second);
    TIbStmtRec* update = Prepare(std::string("UPDATE T SET ") + a[0].first + " = ?");
    char value[64] = {};
    std::strncpy(value, a[0].second, sizeof(value) - 1);
    uint8_t flag = 0;
    ASSERT_EQ(SQLBindParameter(update, 1, CChar, value, sizeof(value), &flag, nullptr), 0);
    ASSERT_EQ(SQLExecute(update), 0) << VarloTest::ErrorText(conn, update);
    EXPECT_TRUE(Holds(a[1].first, a[1].second));
  }

  // Binding refuses what never converts, and a buffer smaller than its C type.
  TIbStmtRec* select = Prepare("SELECT D, TB, I FROM T");
  char buffer[16];
  uint8_t null = 0;
  EXPECT_EQ(SQLBindCol(select, 1, CLong, buffer, 16, &null, nullptr), -1);
  EXPECT_EQ(VarloTest::ErrorText(conn, select),
            "|Data type unknown|column 1: C type 4 does not convert to or from SQL type 571");
  EXPECT_EQ(SQLBindCol(select, 2, CDouble, buffer, 16, &null, nullptr), -1);
  EXPECT_EQ(SQLBindCol(select, 3, 3, buffer, 16, &null, nullptr), -1);  // no such C type
  EXPECT_EQ(SQLBindCol(select, 3, CSBigInt, buffer, 7, &null, nullptr), -1);
  EXPECT_EQ(SQLBindCol(select, 1, CTimestamp, buffer, 16, &null, nullptr), 0);
}

// The bounded forms leave the caller's flags as they are at binding: a flag set first is the
// NULL of the first execution, in every type, and a NULL is sent as NULL on NOT NULL columns too.
TEST_F(CTypes, FlagsSetBeforeBindingAreNullsAndNullsAreNeverStaleValues) {
  RawDb(path).Exec("CREATE TABLE NN (K INTEGER NOT NULL, V VARCHAR(5) NOT NULL)");
  TIbStmtRec* update = Prepare("UPDATE T SET N92 = ?, D = ?, V = ?");
  char n92[16] = "1.25", d[16] = "2024-01-02", v[16] = "x";
  uint8_t flags[3] = {1, 1, 0};
  ASSERT_EQ(SQLBindParameter(update, 1, CChar, n92, 16, &flags[0], nullptr), 0);
  ASSERT_EQ(SQLBindParameter(update, 2, CChar, d, 16, &flags[1], nullptr), 0);
  ASSERT_EQ(SQLBindParameter(update, 3, 448, v, 16, &flags[2], nullptr), 0);
  EXPECT_EQ(flags[0] + flags[1], 2);
  ASSERT_EQ(SQLExecute(update), 0);
  EXPECT_TRUE(Holds("N92", "NULL") && Holds("D", "NULL") && Holds("V", "'x'"));

  TIbStmtRec* insert = Prepare("INSERT INTO NN (K, V) VALUES (?, ?)");
  int32_t k = 5;
  uint8_t nulls[2] = {0, 0};
  ASSERT_EQ(SQLBindParameter(insert, 1, 496, &k, 4, &nulls[0], nullptr), 0);
  ASSERT_EQ(SQLBindParameter(insert, 2, CChar, v, 16, &nulls[1], nullptr), 0);
  ASSERT_EQ(SQLExecute(insert), 0);
  nulls[0] = 1;  // the buffer still holds 5: the server must see NULL and refuse it
  EXPECT_EQ(SQLExecute(insert), -1);
  EXPECT_NE(VarloTest::ErrorText(conn, insert).find("K"), std::string::npos);
  EXPECT_EQ(SQLTransact(conn, 0), 0);
  EXPECT_EQ(RawDb(path).QueryInt("SELECT COUNT(*) FROM NN"), 1);
}

// Data at execution: a blob, a text and a number sent in pieces after SQLExecute, a NULL, calls
// out of order refused with the sequence kept, a cancel and a refused piece executing nothing.
TEST_F(CTypes, DataAtExecutionSendsPiecesAndExecutesOnlyWhenAllCame) {
  // Embedded a piece goes as it comes; over the network it is gathered into full segments.
  for (bool server : {false, true}) {
    SCOPED_TRACE(server ? "server" : "embedded");
    if (server) UseServer();
    TIbStmtRec* update = Prepare("UPDATE T SET TB = ?, V = ?, I = ?, N92 = ? WHERE ID = ?");
    char blob[4] = {}, text[24] = {};
    int32_t i = 0, id = 1, lengths[5] = {-2, -105, -2, -100, 4};
    uint8_t nulls[5] = {};
    void* buffers[4] = {blob, text, &i, &lengths[3]};
    for (uint8_t n = 0; n < 4; ++n) {
      const int16_t type = n == 2 ? CLong : CChar;
      ASSERT_EQ(SQLBindParameter(update, n + 1, type, buffers[n], 24, &nulls[n], &lengths[n]), 0);
    }
    ASSERT_EQ(SQLBindParameter(update, 5, CLong, &id, 4, &nulls[4], &lengths[4]), 0);
    auto sequenceError = [&] {
      return VarloTest::ErrorText(conn, update).find("function sequence error") !=
             std::string::npos;
    };
    void* named = nullptr;
    EXPECT_TRUE(SQLParamData(update, &named) == -1 && sequenceError());
    std::string bytes(200000, '\0');
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>('a' + k % 26);
    const int32_t value = 123456;
    // Each run: the pieces of each value in turn (the first text piece up to its NUL), N92 NULL;
    // a cancel after the first blob piece. What the last SQLParamData returns, -2 when cut short.
    auto run = [&](bool cancel, const std::vector<std::string>& pieces) -> int {
      EXPECT_EQ(SQLExecute(update), 99);
      EXPECT_TRUE(SQLPutData(update, "x", 1) == -1 && sequenceError());
      EXPECT_TRUE(SQLExecute(update) == -1 && SQLFetch(update) == -1 && sequenceError());
      EXPECT_TRUE(SQLParamData(update, &named) == 99 && named == blob);
      for (size_t at = 0; at < bytes.size(); at += 65536) {
        EXPECT_EQ(
            SQLPutData(update, bytes.data() + at, std::min<int32_t>(65536, bytes.size() - at)), 0);
        if (cancel) return SQLCancel(update) == 0 && SQLParamData(update, &named) == -1 ? -2 : -3;
      }
      EXPECT_TRUE(SQLParamData(update, &named) == 99 && named == text);
      for (const std::string& piece : pieces) {
        const auto length = static_cast<int32_t>(&piece == &pieces[0] ? -3 : piece.size());
        if (SQLPutData(update, piece.c_str(), length) != 0) return -2;
      }
      EXPECT_TRUE(SQLParamData(update, &named) == 99 && named == &i);
      EXPECT_EQ(SQLPutData(update, &value, 0), 0);  // a fixed size: the length is not read
      EXPECT_TRUE(SQLParamData(update, &named) == 99 && named == &lengths[3]);
      EXPECT_EQ(SQLPutData(update, nullptr, -1), 0);
      return SQLParamData(update, &named);
    };
    Store("N92", "1.5");
    EXPECT_EQ(run(false, {"hello", " world"}), 0) << VarloTest::ErrorText(conn, update);
    EXPECT_TRUE(Holds("OCTET_LENGTH(TB)", "200000") && Holds("V", "'hello world'") &&
                Holds("I", "123456") && Holds("N92", "NULL"));
    EXPECT_TRUE(Holds("SUBSTRING(TB FROM 65530 FOR 8)", "'" + bytes.substr(65529, 8) + "'"));
    // A cancel, and a text longer than the column, execute nothing; the statement stays usable.
    EXPECT_EQ(run(true, {}), -2);
    EXPECT_EQ(run(false, {"0123456789", "0123456789", "01234"}), -2);
    EXPECT_NE(VarloTest::ErrorText(conn, update).find("parameter 2: 25 bytes for a column of 24"),
              std::string::npos);
    EXPECT_TRUE(Holds("V", "'hello world'"));
    EXPECT_EQ(run(false, {"again"}), 0);
    EXPECT_TRUE(Holds("V", "'again'") && Holds("OCTET_LENGTH(TB)", "200000"));
    ASSERT_EQ(SQLParamOptions(update, 2, nullptr), 0);
    EXPECT_EQ(SQLExecute(update), -1);
    EXPECT_NE(VarloTest::ErrorText(conn, update).find("data at execution"), std::string::npos);
  }
}

}  // namespace
