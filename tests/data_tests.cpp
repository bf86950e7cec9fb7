// Execution and fetching through the real engine: every dialect-1 type, NULLs, dates, blobs,
// re-execution, and the failures the engine cannot be made to give (injected).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/IBAPI.h"
#include "framework/SysUtils.h"
#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;
using VarloTest::ClientSpy;
using VarloTest::RawDb;

namespace {

constexpr const char* kSchema =
    "CREATE TABLE ALLTYPES (ID INTEGER, I INTEGER, S SMALLINT, N92 NUMERIC(9,2), "
    "N41 NUMERIC(4,1), C5 CHAR(5), V20 VARCHAR(20), D DATE, DP DOUBLE PRECISION, F FLOAT, "
    "B BLOB SUB_TYPE 0 SEGMENT SIZE 4096)";
constexpr const char* kInsert =
    "INSERT INTO ALLTYPES (ID, I, S, N92, N41, C5, V20, D, DP, F, B) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kSelect =
    "SELECT ID, I, S, N92, N41, C5, V20, D, DP, F, B FROM ALLTYPES ORDER BY ID";
constexpr int kColumns = 11;
constexpr size_t kBlobCapacity = (1 << 20) + 64;

// The caller's variables of one row, in column order.
struct Row {
  int32_t id = 0, i = 0;
  int16_t s = 0;
  int32_t n92 = 0;
  int16_t n41 = 0;
  char c5[6] = {};
  char v20[32] = {};
  char d[20] = {};
  double dp = 0;
  float f = 0;
  std::vector<char> blob = std::vector<char>(kBlobCapacity);
  int32_t blobLength = 0;
  uint8_t nulls[kColumns] = {};

  void* Data(int column) {
    void* data[kColumns] = {&id, &i, &s, &n92, &n41, c5, v20, d, &dp, &f, blob.data()};
    return data[column];
  }
};

// Type codes the description gives, in column order.
constexpr int16_t kTypes[kColumns] = {496, 496, 500, 496, 500, 452, 448, 510, 480, 482, 520};

class Data : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(path, {kSchema});
    ASSERT_EQ(SQLAllocConnect(conn), 0);
    ASSERT_EQ(SQLConnect(conn, path, "", ""), 0);
  }
  void TearDown() override {
    for (TIbStmtRec*& s : statements) SQLFreeStmt(s, 1);
    SQLDisconnect(conn);
  }

  TIbStmtRec* Prepare(const char* sql) {
    TIbStmtRec* stmt = nullptr;
    EXPECT_EQ(SQLAllocStmt(conn, stmt), 0);
    EXPECT_EQ(SQLPrepare(stmt, sql, 0), 0) << Error(stmt);
    statements.push_back(stmt);
    return stmt;
  }

  std::string Error(TIbStmtRec* stmt) { return VarloTest::ErrorText(conn, stmt); }

  TIbStmtRec* PrepareInsert(Row& row, uint16_t segment) {
    TIbStmtRec* stmt = Prepare(kInsert);
    for (int c = 0; c < kColumns; ++c) {
      EXPECT_EQ(SQLBindParameter(stmt, static_cast<uint8_t>(c + 1), kTypes[c] + 1, row.Data(c),
                                 &row.nulls[c], &row.blobLength, segment),
                0)
          << c;
    }
    return stmt;
  }

  TIbStmtRec* PrepareSelect(Row& row, int32_t readSize, const char* sql = kSelect) {
    TIbStmtRec* stmt = Prepare(sql);
    row.blobLength = readSize;
    for (int c = 0; c < kColumns; ++c) {
      EXPECT_EQ(SQLBindCol(stmt, static_cast<uint8_t>(c + 1), kTypes[c], row.Data(c), &row.nulls[c],
                           &row.blobLength),
                0)
          << c;
    }
    return stmt;
  }

  void Commit() { ASSERT_EQ(SQLTransact(conn, 0), 0); }

  VarloTest::TempDir dir;
  std::string path = dir.File("data.fdb");
  TIbConnRec* conn = nullptr;
  std::vector<TIbStmtRec*> statements;
};

std::string Bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t k = 0; k < n; ++k) s[k] = static_cast<char>((k * 131 + seed) & 0xFF);
  return s;
}

struct Sample {
  int32_t i;
  int16_t s;
  int32_t n92raw;
  int16_t n41raw;
  const char* c5;
  const char* v20;
  const char* d;
  double dp;
  float f;
  std::string blob;
  bool nulls;
};

const std::vector<Sample>& Samples() {
  static const std::vector<Sample> samples = {
      {42, -7, 125, -25, "abcde", "hello", "03/05/1998 07:08:09", 3.5, 1.25f, Bytes(10, 1), false},
      {0, 0, 0, 0, "", "", "", 0, 0, "", true},
      {-1, 32767, -50, -5, "ab   ", "abc", "02/29/2024 00:00:00", -1e300, -0.5f, "", false},
      {2147483647, -32768, 799, -12, "zzzzz", "12345678901234567890", "01/01/1899 23:59:59", 1e-300,
       3e38f, Bytes(1 << 20, 7), false},
      {-2147483647, 1, -125, 9999, "  x  ", "", "06/15/ 999 00:00:00", 0.0, -0.0f, "x", false},
  };
  return samples;
}

void Fill(Row& row, int id, const Sample& s) {
  row.id = id;
  row.i = s.i;
  row.s = s.s;
  row.n92 = s.n92raw;
  row.n41 = s.n41raw;
  for (size_t k = 0; k < 5; ++k) row.c5[k] = k < std::strlen(s.c5) ? s.c5[k] : ' ';
  std::strcpy(row.v20, s.v20);
  std::strcpy(row.d, s.d);
  row.dp = s.dp;
  row.f = s.f;
  std::memcpy(row.blob.data(), s.blob.data(), s.blob.size());
  row.blobLength = static_cast<int32_t>(s.blob.size());
  std::memset(row.nulls, s.nulls ? 1 : 0, sizeof(row.nulls));
  row.nulls[0] = 0;
}

TEST_F(Data, EveryTypeMakesTheRoundTrip) {
  Row in;
  TIbStmtRec* insert = PrepareInsert(in, 4096);
  const auto& samples = Samples();
  for (size_t k = 0; k < samples.size(); ++k) {
    // The 10-byte blob goes in segments of 4, the others in segments of 4096.
    ASSERT_EQ(SQLBindParameter(insert, 11, 521, in.blob.data(), &in.nulls[10], &in.blobLength,
                               k == 0 ? 4 : 4096),
              0);
    Fill(in, static_cast<int>(k + 1), samples[k]);
    ASSERT_EQ(SQLExecute(insert), 0) << k << Error(insert);
  }
  Commit();

  RawDb check(path);
  EXPECT_EQ(check.QueryInt("SELECT N92 * 100 FROM ALLTYPES WHERE ID = 1"), 125);
  EXPECT_EQ(check.QueryInt("SELECT N41 * 10 FROM ALLTYPES WHERE ID = 1"), -25);
  EXPECT_EQ(check.QueryInt("SELECT EXTRACT(YEAR FROM D) FROM ALLTYPES WHERE ID = 3"), 2024);
  EXPECT_EQ(check.QueryInt("SELECT EXTRACT(YEAR FROM D) FROM ALLTYPES WHERE ID = 5"), 999);
  EXPECT_EQ(check.QueryInt("SELECT EXTRACT(HOUR FROM D) FROM ALLTYPES WHERE ID = 1"), 7);
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM ALLTYPES WHERE B IS NULL"), 1);
  EXPECT_EQ(check.QueryInt("SELECT OCTET_LENGTH(B) FROM ALLTYPES WHERE ID = 4"), 1 << 20);
  EXPECT_EQ(check.QueryInt("SELECT OCTET_LENGTH(B) FROM ALLTYPES WHERE ID = 3"), 0);

  // Read once with a request size below the stored segments, once above.
  for (int32_t readSize : {1000, 65535}) {
    Row out;
    std::memset(out.v20, 'Z', sizeof(out.v20));
    TIbStmtRec* select = PrepareSelect(out, readSize);
    ASSERT_EQ(SQLExecute(select), 0) << Error(select);
    Row previous;
    for (size_t k = 0; k < samples.size(); ++k) {
      SCOPED_TRACE("row " + std::to_string(k + 1) + " read size " + std::to_string(readSize));
      const Sample& s = samples[k];
      char before[sizeof(out.v20)];
      std::memcpy(before, out.v20, sizeof(before));
      std::memset(out.c5, 'P', sizeof(out.c5));  // the terminator must come from the fetch
      ASSERT_EQ(SQLFetch(select), 0) << Error(select);
      EXPECT_EQ(out.id, static_cast<int32_t>(k + 1));
      if (s.nulls) {
        for (int c = 1; c < kColumns; ++c) EXPECT_EQ(out.nulls[c], 1) << c;
        EXPECT_EQ(out.c5[5], 'P');  // no terminator for a NULL
        EXPECT_STREQ(out.v20, previous.v20);
        EXPECT_STREQ(out.d, previous.d);
        EXPECT_EQ(out.blobLength, previous.blobLength);
        EXPECT_EQ(std::memcmp(out.blob.data(), previous.blob.data(), 16), 0);
        continue;
      }
      for (int c = 0; c < kColumns; ++c) EXPECT_EQ(out.nulls[c], 0) << c;
      EXPECT_EQ(out.i, s.i);
      EXPECT_EQ(out.s, s.s);
      EXPECT_EQ(out.n92, s.n92raw / 100);  // the integer part, truncated toward zero
      EXPECT_EQ(out.n41, s.n41raw / 10);
      EXPECT_EQ(std::string(out.c5, 6), std::string(s.c5, 5) + '\0');
      EXPECT_STREQ(out.v20, s.v20);
      const size_t behind = std::strlen(s.v20) + 1;
      EXPECT_EQ(std::memcmp(out.v20 + behind, before + behind, sizeof(before) - behind), 0)
          << "bytes behind the NUL were written";
      EXPECT_STREQ(out.d, s.d);
      EXPECT_EQ(out.dp, s.dp);
      EXPECT_EQ(out.f, s.f);
      ASSERT_EQ(out.blobLength, static_cast<int32_t>(s.blob.size()));
      EXPECT_EQ(std::memcmp(out.blob.data(), s.blob.data(), s.blob.size()), 0);
      std::memcpy(previous.v20, out.v20, sizeof(out.v20));
      std::memcpy(previous.d, out.d, sizeof(out.d));
      previous.blobLength = out.blobLength;
      std::memcpy(previous.blob.data(), out.blob.data(), 16);
    }
    // After the last row nothing is written.
    std::memset(out.v20, 'Q', sizeof(out.v20));
    std::memset(out.nulls, 7, sizeof(out.nulls));
    out.blobLength = -99;
    EXPECT_EQ(SQLFetch(select), 100);
    EXPECT_EQ(out.v20[0], 'Q');
    EXPECT_EQ(out.nulls[3], 7);
    EXPECT_EQ(out.blobLength, -99);
    // The segment request size stays the one captured at binding.
    EXPECT_EQ(BlobSearchLL(select->BlobCols, 10)->Size, readSize);
  }
}

TEST_F(Data, AMidnightDateHasAZeroTime) {
  RawDb(path).Exec("INSERT INTO ALLTYPES (ID, D) VALUES (1, '2024-01-02 00:00:00')");
  TIbStmtRec* stmt = Prepare("SELECT D FROM ALLTYPES");
  char date[20];
  uint8_t null = 9;
  ASSERT_EQ(SQLBindCol(stmt, 1, 510, date, &null, nullptr), 0);
  ASSERT_EQ(SQLExecute(stmt), 0);
  ASSERT_EQ(SQLFetch(stmt), 0);
  EXPECT_STREQ(date, "01/02/2024 00:00:00");
  EXPECT_EQ(null, 0);
}

TEST_F(Data, NewValuesAreSentOnEveryExecution) {
  TIbStmtRec* insert = Prepare("INSERT INTO ALLTYPES (ID, V20, D, B) VALUES (?, ?, ?, ?)");
  int32_t id = 1;
  char v20[21] = "first";
  char d[20] = "01/01/2000 00:00:00";
  char blob[8] = "one";
  int32_t length = 3;
  uint8_t nulls[4] = {};
  ASSERT_EQ(SQLBindParameter(insert, 1, 496, &id, &nulls[0], nullptr, 0), 0);
  ASSERT_EQ(SQLBindParameter(insert, 2, 448, v20, &nulls[1], nullptr, 0), 0);
  ASSERT_EQ(SQLBindParameter(insert, 3, 510, d, &nulls[2], nullptr, 0), 0);
  ASSERT_EQ(SQLBindParameter(insert, 4, 520, blob, &nulls[3], &length, 2), 0);
  ASSERT_EQ(SQLExecute(insert), 0);
  EXPECT_NE(conn->TrHandle, 0u);  // the transaction stays open
  Commit();
  id = 2;
  std::strcpy(v20, "second");
  std::strcpy(d, "12/31/2001 10:11:12");
  std::strcpy(blob, "two!");
  length = 4;
  nulls[1] = 2;                                       // only 1 means NULL
  ASSERT_EQ(SQLExecute(insert), 0) << Error(insert);  // blobs right after a commit
  Commit();

  RawDb check(path);
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM ALLTYPES WHERE ID = 2 AND V20 = 'second' AND "
                           "D = '2001-12-31 10:11:12' AND OCTET_LENGTH(B) = 4"),
            1);
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM ALLTYPES WHERE ID = 1 AND V20 = 'first'"), 1);

  // Close, then execute again without a new preparation.
  TIbStmtRec* select = Prepare("SELECT ID FROM ALLTYPES ORDER BY ID");
  int32_t got = 0;
  uint8_t null = 0;
  ASSERT_EQ(SQLBindCol(select, 1, 496, &got, &null, nullptr), 0);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(SQLExecute(select), 0) << Error(select);
    ASSERT_EQ(SQLFetch(select), 0);
    EXPECT_EQ(got, 1);
    EXPECT_EQ(SQLFreeStmt(select, 0), 0);
  }
}

TEST_F(Data, TheInputAreaGoesOnlyWithMarkers) {
  RawDb(path).Exec("INSERT INTO ALLTYPES (ID, V20) VALUES (1, 'why?')");
  static const XSQLDA* lastInput;
  static int executes;
  executes = 0;
  struct Capture {
    static ISC_STATUS ISC_EXPORT Execute(ISC_STATUS* st, isc_tr_handle* tr, isc_stmt_handle* s,
                                         unsigned short v, const XSQLDA* in) {
      lastInput = in;
      ++executes;
      return IBAPI::LinkedEntries().isc_dsql_execute(st, tr, s, v, in);
    }
  };
  IBAPI::EntryOverride guard(IBAPI::Entries.isc_dsql_execute, &Capture::Execute);
  TIbStmtRec* literal = Prepare("UPDATE ALLTYPES SET I = 1 WHERE V20 = 'why?'");
  ASSERT_EQ(SQLExecute(literal), 0) << Error(literal);
  EXPECT_EQ(lastInput, literal->InSqlda);
  TIbStmtRec* plain = Prepare("UPDATE ALLTYPES SET I = 2");
  ASSERT_EQ(SQLExecute(plain), 0);
  EXPECT_EQ(lastInput, nullptr);
  EXPECT_EQ(executes, 2);
}

TEST_F(Data, UnboundOrOversizedParametersAreRefusedBeforeAnyClientCall) {
  TIbStmtRec* stmt = Prepare("INSERT INTO ALLTYPES (ID, V20) VALUES (?, ?)");
  int32_t id = 1;
  char text[64];
  uint8_t nulls[2] = {};
  ASSERT_EQ(SQLBindParameter(stmt, 1, 496, &id, &nulls[0], nullptr, 0), 0);
  {
    ClientSpy spy;
    EXPECT_EQ(SQLExecute(stmt), -1);
    EXPECT_EQ(stmt->Status[1], isc_dsql_sqlda_err);
    EXPECT_EQ(spy.TotalCalls(), 0);
  }
  ASSERT_EQ(SQLBindParameter(stmt, 2, 448, text, &nulls[1], nullptr, 0), 0);
  std::memset(text, 'a', 21);
  text[21] = '\0';
  {
    ClientSpy spy;
    EXPECT_EQ(SQLExecute(stmt), -1);
    EXPECT_EQ(spy.TotalCalls(), 0);
    EXPECT_EQ(Error(stmt), "|string right truncation");
    nulls[1] = 1;  // NULL: the text is not looked at
    EXPECT_EQ(SQLExecute(stmt), 0);
  }
  text[20] = '\0';
  nulls[1] = 0;
  EXPECT_EQ(SQLExecute(stmt), 0) << Error(stmt);
  Commit();
  EXPECT_EQ(RawDb(path).QueryInt("SELECT COUNT(*) FROM ALLTYPES WHERE CHAR_LENGTH(V20) = 20"), 1);
}

TEST_F(Data, FetchingRefusesUnboundColumnsAndClosedCursors) {
  RawDb(path).Exec("INSERT INTO ALLTYPES (ID) VALUES (1)");
  TIbStmtRec* stmt = Prepare("SELECT ID, I FROM ALLTYPES");
  int32_t id = 0;
  uint8_t null = 0;
  ASSERT_EQ(SQLBindCol(stmt, 1, 496, &id, &null, nullptr), 0);
  ASSERT_EQ(SQLExecute(stmt), 0);
  {
    ClientSpy spy;
    EXPECT_EQ(SQLFetch(stmt), -1);
    EXPECT_EQ(stmt->Status[1], isc_dsql_sqlda_err);
    EXPECT_EQ(spy.TotalCalls(), 0);
  }
  int32_t i = 5;
  ASSERT_EQ(SQLBindCol(stmt, 2, 496, &i, &null, nullptr), 0);
  ASSERT_EQ(SQLFetch(stmt), 0);
  EXPECT_EQ(null, 1);
  EXPECT_EQ(SQLFetch(stmt), 100);
  ASSERT_EQ(SQLFreeStmt(stmt, 0), 0);
  EXPECT_EQ(SQLFetch(stmt), -1);
  EXPECT_NE(Error(stmt).find("|"), std::string::npos);
  EXPECT_NE(stmt->Status[1], 0);
}

TEST_F(Data, ABadDateTextRaisesAndNothingIsExecuted) {
  TIbStmtRec* stmt = Prepare("INSERT INTO ALLTYPES (D) VALUES (?)");
  char d[20] = "1/5/1998 7:08:09";
  uint8_t null = 0;
  ASSERT_EQ(SQLBindParameter(stmt, 1, 510, d, &null, nullptr, 0), 0);
  ClientSpy spy;
  EXPECT_THROW(SQLExecute(stmt), Framework::EConvertError);
  EXPECT_EQ(spy.Calls("isc_dsql_execute"), 0);
}

// ---- blob writing ----

namespace {
std::vector<std::pair<size_t, unsigned short>> segments;  // offset from the start, length
const char* blobStart = nullptr;
ISC_STATUS ISC_EXPORT RecordSegment(ISC_STATUS* st, isc_blob_handle* h, unsigned short length,
                                    const ISC_SCHAR* bytes) {
  segments.emplace_back(static_cast<size_t>(bytes - blobStart), length);
  return IBAPI::LinkedEntries().isc_put_segment(st, h, length, bytes);
}
}  // namespace

TEST_F(Data, BlobsAreWrittenInSegmentsStraightFromTheCallersBytes) {
  TIbStmtRec* stmt = Prepare("INSERT INTO ALLTYPES (ID, B) VALUES (?, ?)");
  int32_t id = 0;
  char bytes[16] = "0123456789";
  int32_t length = 0;
  uint8_t nulls[2] = {};
  ASSERT_EQ(SQLBindParameter(stmt, 1, 496, &id, &nulls[0], nullptr, 0), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 2, 520, bytes, &nulls[1], &length, 4), 0);
  IBAPI::EntryOverride guard(IBAPI::Entries.isc_put_segment, &RecordSegment);
  blobStart = bytes;
  using Segments = std::vector<std::pair<size_t, unsigned short>>;
  for (auto [total, expected] : {std::pair{10, Segments{{0, 4}, {4, 4}, {8, 2}}},
                                 {8, Segments{{0, 4}, {4, 4}}},
                                 {0, Segments{}},
                                 {-5, Segments{}}}) {
    segments.clear();
    length = total;
    id = total;
    ASSERT_EQ(SQLExecute(stmt), 0) << Error(stmt);
    EXPECT_EQ(segments, expected) << total;
  }
  segments.clear();
  nulls[1] = 1;
  id = 99;
  ClientSpy spy;
  ASSERT_EQ(SQLExecute(stmt), 0);
  EXPECT_EQ(spy.Calls("isc_create_blob"), 0);
  EXPECT_EQ(*stmt->InSqlda->sqlvar[1].sqlind, -1);
  Commit();
  RawDb check(path);
  EXPECT_EQ(check.QueryInt("SELECT OCTET_LENGTH(B) FROM ALLTYPES WHERE ID = 0"), 0);
  EXPECT_EQ(check.QueryInt("SELECT OCTET_LENGTH(B) FROM ALLTYPES WHERE ID = -5"), 0);
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM ALLTYPES WHERE ID = 99 AND B IS NULL"), 1);
}

TEST_F(Data, AFailedBlobWriteRefusesTheExecution) {
  TIbStmtRec* stmt = Prepare("INSERT INTO ALLTYPES (ID, B) VALUES (1, ?)");
  char bytes[16] = "0123456789";
  int32_t length = 10;
  uint8_t null = 0;
  ASSERT_EQ(SQLBindParameter(stmt, 1, 520, bytes, &null, &length, 4), 0);
  for (const char* entry : {"isc_create_blob", "isc_put_segment", "isc_close_blob"}) {
    ClientSpy spy;
    spy.FailEntry(entry, entry == std::string("isc_put_segment") ? 2 : 1);
    EXPECT_EQ(SQLExecute(stmt), -1) << entry;
    EXPECT_EQ(spy.Calls("isc_dsql_execute"), 0) << entry;
    EXPECT_EQ(Error(stmt), "|injected fault") << entry;
    EXPECT_EQ(stmt->Status[1], isc_random)
        << entry;  // the statement's vector, not the connection's
    EXPECT_EQ(conn->Status[1], 0) << entry;
    EXPECT_GE(spy.Calls("isc_close_blob"), entry == std::string("isc_create_blob") ? 0 : 1);
  }
  Commit();
  EXPECT_EQ(RawDb(path).QueryInt("SELECT COUNT(*) FROM ALLTYPES"), 0);
}

// ---- blob reading ----

class BlobReading : public Data {
 protected:
  void SetUp() override {
    Data::SetUp();
    TIbStmtRec* insert = Prepare("INSERT INTO ALLTYPES (ID, B) VALUES (?, ?)");
    uint8_t nulls[2] = {};
    ASSERT_EQ(SQLBindParameter(insert, 1, 496, &id, &nulls[0], nullptr, 0), 0);
    ASSERT_EQ(SQLBindParameter(insert, 2, 520, content.data(), &nulls[1], &length, 4), 0);
    id = 1;
    length = 10;
    ASSERT_EQ(SQLExecute(insert), 0);
    id = 2;
    length = 0;
    ASSERT_EQ(SQLExecute(insert), 0);
    // Read the ids back to hand them to IBBlobToPtr directly.
    TIbStmtRec* select = Prepare("SELECT B FROM ALLTYPES ORDER BY ID");
    ASSERT_EQ(SQLBindCol(select, 1, 520, buffer, &null, &readSize), 0);
    ASSERT_EQ(SQLExecute(select), 0);
    for (ISC_QUAD& target : ids) {
      ASSERT_EQ(SQLFetch(select), 0);
      std::memcpy(&target, select->OutSqlda->sqlvar[0].sqldata, sizeof(ISC_QUAD));
    }
    readSize = 4;
    std::memset(buffer, '#', sizeof(buffer));
    reader = select;
  }

  int32_t id = 0, length = 0, readSize = 4;
  std::string content = "abcdefghij";
  char buffer[64] = {};
  uint8_t null = 0;
  ISC_QUAD ids[2] = {};
  TIbStmtRec* reader = nullptr;
};

TEST_F(BlobReading, ReadsConsecutivePiecesToTheEnd) {
  EXPECT_EQ(IBBlobToPtr(reader, &ids[0], buffer, 4), 10);
  EXPECT_EQ(std::string(buffer, 11), "abcdefghij#");
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(IBBlobToPtr(reader, &ids[1], buffer, 4), 0);
  EXPECT_EQ(buffer[0], '#');
  for (int32_t bad : {0, -1, 65536}) EXPECT_EQ(IBBlobToPtr(reader, &ids[0], buffer, bad), -1);
}

TEST_F(BlobReading, FailuresEndTheReadWithMinusOne) {
  {
    ClientSpy spy;
    spy.FailEntry("isc_close_blob");
    EXPECT_EQ(IBBlobToPtr(reader, &ids[0], buffer, 4), -1);
    EXPECT_EQ(std::string(buffer, 10), "abcdefghij");  // the data stay in the buffer
  }
  {
    ClientSpy spy;
    spy.FailEntry("isc_get_segment", 2);
    EXPECT_EQ(IBBlobToPtr(reader, &ids[0], buffer, 4), -1);
    EXPECT_EQ(spy.Calls("isc_close_blob"), 1);
  }
  {
    ClientSpy spy;
    spy.FailEntry("isc_open_blob2");
    EXPECT_EQ(IBBlobToPtr(reader, &ids[0], buffer, 4), -1);
    EXPECT_EQ(spy.Calls("isc_close_blob"), 0);
    EXPECT_EQ(spy.Calls("isc_get_segment"), 0);
  }
  // A failed read explains itself through the statement's vector, not the connection's.
  EXPECT_EQ(Error(reader), "|injected fault");
  EXPECT_EQ(conn->Status[1], 0);
}

TEST_F(BlobReading, EachReadAsksForTheSizeHeldWhenBound) {
  TIbStmtRec* select = Prepare("SELECT B FROM ALLTYPES WHERE ID = 1");
  int32_t size = 3;
  ASSERT_EQ(SQLBindCol(select, 1, 520, buffer, &null, &size), 0);
  size = 65535;  // changed after binding: not the read size
  ASSERT_EQ(SQLExecute(select), 0);
  ClientSpy spy;
  ASSERT_EQ(SQLFetch(select), 0);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(std::string(buffer, 10), content);
  // Stored segments of 4 read 3 at a time: 3, 1, 3, 1, 2 and the end.
  EXPECT_EQ(spy.Calls("isc_get_segment"), 6);
}

TEST_F(BlobReading, AFetchStoresTheReadResultAsTheLength) {
  ASSERT_EQ(SQLFreeStmt(reader, 0), 0);
  ASSERT_EQ(SQLExecute(reader), 0);
  ClientSpy spy;
  spy.FailEntry("isc_close_blob");
  ASSERT_EQ(SQLFetch(reader), 0);
  EXPECT_EQ(readSize, -1);
  ASSERT_EQ(SQLFetch(reader), 0);
  EXPECT_EQ(readSize, 0);
}

}  // namespace

// ---- bounded transfers ----

constexpr const char* kBoundedSchema =
    "CREATE TABLE BT (ID INTEGER, V VARCHAR(300) CHARACTER SET OCTETS, "
    "C CHAR(10) CHARACTER SET OCTETS, D DATE, I INTEGER, B BLOB SUB_TYPE 0)";

// Every buffer is a heap block of exactly the size given to the package, so that one byte
// too many is an AddressSanitizer error; and no read asks the client for more than is left of
// the buffer it goes to.
class Bounded : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(path, {kBoundedSchema});
    SQLAllocConnect(conn);
    ASSERT_EQ(SQLConnect(conn, path, "", ""), 0);
  }
  void TearDown() override {
    for (TIbStmtRec*& s : statements) SQLFreeStmt(s, 1);
    SQLDisconnect(conn);
  }
  TIbStmtRec* Prepare(const std::string& sql) {
    TIbStmtRec* stmt = nullptr;
    EXPECT_EQ(SQLAllocStmt(conn, stmt), 0);
    EXPECT_EQ(SQLPrepare(stmt, sql.c_str(), 0), 0) << VarloTest::ErrorText(conn, stmt);
    statements.push_back(stmt);
    return stmt;
  }
  // Inserts a row of ID, V and B through bounded parameters; NULL where a value is absent.
  void Insert(int32_t id, const std::optional<std::string>& v,
              const std::optional<std::string>& b) {
    if (insert == nullptr) insert = Prepare("INSERT INTO BT (ID, V, C, B) VALUES (?, ?, ?, ?)");
    std::string vb = v.value_or(""), bb = b.value_or("");
    const int32_t c = std::min<int32_t>(static_cast<int32_t>(vb.size()), 10);
    int32_t lengths[3] = {static_cast<int32_t>(vb.size()), c, static_cast<int32_t>(bb.size())};
    uint8_t nulls[4] = {};
    vb.resize(std::max<size_t>(vb.size(), 1));
    bb.resize(std::max<size_t>(bb.size(), 1));
    ASSERT_EQ(SQLBindParameter(insert, 1, 496, &id, 4, &nulls[0], nullptr), 0);
    ASSERT_EQ(SQLBindParameter(insert, 2, 448, vb.data(), static_cast<int32_t>(vb.size()),
                               &nulls[1], &lengths[0]),
              0);
    ASSERT_EQ(SQLBindParameter(insert, 3, 452, vb.data(), std::max(c, 1), &nulls[2], &lengths[1]),
              0);
    ASSERT_EQ(SQLBindParameter(insert, 4, 520, bb.data(), static_cast<int32_t>(bb.size()),
                               &nulls[3], &lengths[2]),
              0);
    nulls[1] = nulls[2] = v ? 0 : 1;  // binding cleared the flags
    nulls[3] = b ? 0 : 1;
    ASSERT_EQ(SQLExecute(insert), 0) << VarloTest::ErrorText(conn, insert);
  }

  VarloTest::TempDir dir;
  std::string path = dir.File("bounded.fdb");
  TIbConnRec* conn = nullptr;
  TIbStmtRec* insert = nullptr;
  std::vector<TIbStmtRec*> statements;
};

// Bytes with NULs among them: binary text must arrive whole.
std::string Binary(size_t n, unsigned seed) {
  std::string s = Bytes(n, seed);
  for (size_t k = 0; k < n; k += 5) s[k] = '\0';
  return s;
}

// Records every segment read and checks that it fits the buffer it goes to.
const char* readStart = nullptr;
const char* readEnd = nullptr;
int readsPastTheEnd = 0;
ISC_STATUS ISC_EXPORT CheckedGetSegment(ISC_STATUS* st, isc_blob_handle* blob,
                                        unsigned short* length, unsigned short size,
                                        ISC_SCHAR* buffer) {
  if (buffer >= readStart && buffer <= readEnd && buffer + size > readEnd) ++readsPastTheEnd;
  return IBAPI::LinkedEntries().isc_get_segment(st, blob, length, size, buffer);
}

TEST_F(Bounded, ColumnsNeverWritePastTheBufferAndReportTheFullLength) {
  const size_t kSeg = 65535;
  const std::vector<size_t> textLengths = {0, 1, 6, 7, 8, 9, 300};
  const std::vector<size_t> blobLengths = {0,           1, kSeg - 1, kSeg, kSeg + 1, 2 * kSeg - 1,
                                           2 * kSeg + 1};
  for (size_t k = 0; k < std::max(textLengths.size(), blobLengths.size()); ++k) {
    Insert(static_cast<int32_t>(k), Binary(textLengths[k % textLengths.size()], k),
           Binary(blobLengths[k % blobLengths.size()], k + 7));
  }
  Insert(99, std::nullopt, std::nullopt);
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  RawDb(path).Exec("UPDATE BT SET D = '2001-02-03 04:05:06', I = ID");

  TIbStmtRec* select = Prepare("SELECT ID, V, C, D, I, B FROM BT ORDER BY ID");
  IBAPI::EntryOverride guard(IBAPI::Entries.isc_get_segment, &CheckedGetSegment);
  readsPastTheEnd = 0;
  for (int32_t size : {1, 2, 7, 8, 9, 11, 20, 300, 301, 65535, 65536, 131071}) {
    SCOPED_TRACE("buffer size " + std::to_string(size));
    auto v = std::make_unique<char[]>(static_cast<size_t>(size));
    auto c = std::make_unique<char[]>(static_cast<size_t>(size));
    auto b = std::make_unique<char[]>(static_cast<size_t>(size));
    auto d = std::make_unique<char[]>(20);
    int32_t id = 0, i = 0, lengths[6] = {};
    uint8_t nulls[6] = {};
    readStart = b.get();
    readEnd = b.get() + size;
    ASSERT_EQ(SQLBindCol(select, 1, 496, &id, 4, &nulls[0], &lengths[0]), 0);
    ASSERT_EQ(SQLBindCol(select, 2, 448, v.get(), size, &nulls[1], &lengths[1]), 0);
    ASSERT_EQ(SQLBindCol(select, 3, 452, c.get(), size, &nulls[2], &lengths[2]), 0);
    ASSERT_EQ(SQLBindCol(select, 4, 510, d.get(), 20, &nulls[3], &lengths[3]), 0);
    ASSERT_EQ(SQLBindCol(select, 5, 496, &i, 4, &nulls[4], nullptr), 0);
    ASSERT_EQ(SQLBindCol(select, 6, 520, b.get(), size, &nulls[5], &lengths[5]), 0);
    ASSERT_EQ(SQLExecute(select), 0);
    for (size_t k = 0; k < std::max(textLengths.size(), blobLengths.size()); ++k) {
      SCOPED_TRACE("row " + std::to_string(k));
      const std::string text = Binary(textLengths[k % textLengths.size()], k);
      const std::string blob = Binary(blobLengths[k % blobLengths.size()], k + 7);
      const std::string chars =
          text.substr(0, 10) + std::string(10 - std::min<size_t>(10, text.size()), '\0');
      const int16_t rc = SQLFetch(select);
      const auto room = static_cast<size_t>(size - 1);
      const bool cut = text.size() > room || chars.size() > room || blob.size() > size_t(size);
      ASSERT_EQ(rc, cut ? 1 : 0);
      EXPECT_EQ(lengths[0], 4);
      EXPECT_EQ(lengths[1], static_cast<int32_t>(text.size()));
      EXPECT_EQ(std::string(v.get(), std::min(text.size(), room) + 1), text.substr(0, room) + '\0');
      EXPECT_EQ(lengths[2], 10);
      EXPECT_EQ(std::string(c.get(), std::min<size_t>(10, room) + 1), chars.substr(0, room) + '\0');
      EXPECT_STREQ(d.get(), "02/03/2001 04:05:06");
      EXPECT_EQ(lengths[3], 19);
      EXPECT_EQ(i, static_cast<int32_t>(k));
      EXPECT_EQ(lengths[5], static_cast<int32_t>(blob.size()));
      EXPECT_EQ(std::string(b.get(), std::min(blob.size(), size_t(size))),
                blob.substr(0, static_cast<size_t>(size)));
      for (uint8_t n : nulls) EXPECT_EQ(n, 0);
    }
    ASSERT_EQ(SQLFetch(select), 0);  // the row of NULLs
    EXPECT_EQ(std::vector<uint8_t>(nulls, nulls + 6), (std::vector<uint8_t>{0, 1, 1, 0, 0, 1}));
    for (int col : {1, 2, 5}) EXPECT_EQ(lengths[col], -1) << col;
    EXPECT_EQ(SQLFetch(select), 100);
    ASSERT_EQ(SQLFreeStmt(select, 0), 0);
  }
  EXPECT_EQ(readsPastTheEnd, 0);
}

// Hands column icol of the current row over in pieces of size bytes (exact heap buffers),
// checking the protocol on the way: what remains before each call, 1 while more remains, 0
// for the last piece, 100 after it. Text pieces carry a NUL, blob pieces raw bytes.
std::optional<std::string> Reassemble(TIbStmtRec* stmt, uint8_t icol, int32_t size, bool text) {
  std::string whole;
  auto buffer = std::make_unique<char[]>(static_cast<size_t>(size));
  const int32_t room = text ? size - 1 : size;
  int32_t expected = -7;  // what remains before the next call: unknown before the first
  for (int piece = 0;; ++piece) {
    int32_t remaining = -7;
    const int16_t rc = SQLGetData(stmt, icol, buffer.get(), size, &remaining);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc << " at piece " << piece;
    if (remaining == -1) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(SQLGetData(stmt, icol, buffer.get(), size, &remaining), 100);
      return std::nullopt;
    }
    EXPECT_TRUE(piece == 0 || remaining == expected) << remaining << " after piece " << piece;
    const int32_t n = std::min(remaining, room);
    expected = remaining - n;
    whole.append(buffer.get(), static_cast<size_t>(n));
    if (text) {
      EXPECT_EQ(buffer[static_cast<size_t>(n)], '\0');
    }
    EXPECT_EQ(rc, remaining > room ? 1 : 0) << "piece " << piece;
    if (rc != 1) break;
  }
  int32_t after = -7;
  EXPECT_EQ(SQLGetData(stmt, icol, buffer.get(), size, &after), 100);
  EXPECT_EQ(after, -7);
  return whole;
}

TEST_F(Bounded, GetDataHandsOverEveryColumnBoundToNothingInPieces) {
  const std::vector<size_t> textLengths = {0, 1, 5, 300};
  const std::vector<size_t> blobLengths = {0, 1, 65535, 65536, 200000};
  for (size_t k = 0; k < blobLengths.size(); ++k) {
    Insert(static_cast<int32_t>(k), Binary(textLengths[k % textLengths.size()], k),
           Binary(blobLengths[k], k + 3));
  }
  Insert(99, std::nullopt, std::nullopt);
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  RawDb(path).Exec("UPDATE BT SET D = '2001-02-03 04:05:06', I = ID * 10");

  // ID bound in the bounded form, every other column bound to nothing; prepared once.
  TIbStmtRec* select = Prepare("SELECT ID, V, C, D, I, B FROM BT ORDER BY ID");
  int32_t id = 0, idLength = 0;
  uint8_t idNull = 0;
  ASSERT_EQ(SQLBindCol(select, 1, 496, &id, 4, &idNull, &idLength), 0);
  for (int32_t size : {2, 3, 64, 65535, 65536, 1 << 20}) {
    SCOPED_TRACE("piece size " + std::to_string(size));
    ASSERT_EQ(SQLExecute(select), 0);
    for (size_t k = 0; k < blobLengths.size(); ++k) {
      SCOPED_TRACE("row " + std::to_string(k));
      ASSERT_EQ(SQLFetch(select), 0) << VarloTest::ErrorText(conn, select);
      EXPECT_EQ(id, static_cast<int32_t>(k));
      const std::string text = Binary(textLengths[k % textLengths.size()], k);
      // Columns are read in any order; the blob first.
      EXPECT_EQ(Reassemble(select, 6, size, false), Binary(blobLengths[k], k + 3));
      EXPECT_EQ(Reassemble(select, 2, size, true), text);
      EXPECT_EQ(Reassemble(select, 3, size, true),
                text.substr(0, 10) + std::string(10 - std::min<size_t>(10, text.size()), '\0'));
      EXPECT_EQ(Reassemble(select, 4, size, true), "02/03/2001 04:05:06");
      if (size >= 4) {
        int32_t i = 0, length = 0;
        ASSERT_EQ(SQLGetData(select, 5, &i, 4, &length), 0);
        EXPECT_EQ(i, static_cast<int32_t>(k) * 10);
        EXPECT_EQ(length, 4);
        EXPECT_EQ(SQLGetData(select, 5, &i, 4, &length), 100);
      }
    }
    ASSERT_EQ(SQLFetch(select), 0);
    for (uint8_t col : {2, 3, 6}) EXPECT_EQ(Reassemble(select, col, size, col != 6), std::nullopt);
    EXPECT_EQ(SQLFetch(select), 100);
    ASSERT_EQ(SQLFreeStmt(select, 0), 0);
  }
}

// Each refusal leaves a client error code that SQLError names; nothing is bound or written.
TEST_F(Bounded, RefusalsNameTheirError) {
  TIbStmtRec* stmt = Prepare("SELECT ID, V, D, B FROM BT WHERE D = ? OR V = ?");
  char buffer[32];
  uint8_t null = 5;
  int32_t length = 7;
  struct Bind {
    bool column;
    uint8_t number;
    int16_t type;
    void* data;
    int32_t size;
    ISC_STATUS code;
  } binds[] = {
      {true, 2, 448, buffer, 0, isc_dsql_sqlda_value_err},
      {true, 2, 448, buffer, -1, isc_dsql_sqlda_value_err},
      {true, 2, 448, nullptr, 8, isc_dsql_sqlda_err},
      {true, 3, 510, buffer, 19, isc_dsql_sqlda_value_err},  // the date text needs 20
      {true, 1, 496, buffer, 3, isc_dsql_sqlda_value_err},   // fetched in place: sqllen
      {true, 5, 496, buffer, 4, isc_dsql_sqlda_value_err},
      {true, 4, 448, buffer, 8, isc_dsql_datatype_err},
      {false, 1, 510, buffer, 18, isc_dsql_sqlda_value_err},  // a parameter's text is 19
      {false, 2, 448, buffer, 0, isc_dsql_sqlda_value_err},
  };
  for (const Bind& b : binds) {
    stmt->Status[1] = 0;
    const int32_t rc =
        b.column ? SQLBindCol(stmt, b.number, b.type, b.data, b.size, &null, &length)
                 : SQLBindParameter(stmt, b.number, b.type, b.data, b.size, &null, &length);
    EXPECT_EQ(rc, -1) << int(b.number) << " " << b.size;
    EXPECT_EQ(stmt->Status[1], b.code) << int(b.number) << " " << b.size;
  }
  EXPECT_EQ(null, 5);
  EXPECT_EQ(length, 7);
  EXPECT_EQ(stmt->ColsBound + stmt->ParamsBound, 0);

  Insert(1, "text", "blob");
  TIbStmtRec* select = Prepare("SELECT ID, V, I FROM BT");
  int32_t id = 0;
  ASSERT_EQ(SQLBindCol(select, 1, 496, &id, 4, &null, nullptr), 0);
  auto getData = [&](uint8_t icol, int32_t size) {
    select->Status[1] = 0;
    EXPECT_EQ(SQLGetData(select, icol, buffer, size, &length), -1);
    return select->Status[1];
  };
  EXPECT_EQ(getData(2, 8), isc_no_cur_rec);  // before a fetch
  ASSERT_EQ(SQLExecute(select), 0);
  EXPECT_EQ(getData(2, 8), isc_no_cur_rec);  // executed, not fetched
  ASSERT_EQ(SQLFetch(select), 0);
  EXPECT_EQ(getData(1, 8), isc_dsql_sqlda_err);  // bound
  EXPECT_EQ(getData(0, 8), isc_dsql_sqlda_value_err);
  EXPECT_EQ(getData(4, 8), isc_dsql_sqlda_value_err);
  EXPECT_EQ(getData(2, 1), isc_dsql_sqlda_value_err);  // no room for a character and its NUL
  EXPECT_EQ(getData(2, 0), isc_dsql_sqlda_value_err);
  EXPECT_EQ(getData(3, 3), isc_dsql_sqlda_value_err);  // an INTEGER needs 4
  EXPECT_EQ(VarloTest::ErrorText(conn, select),
            "|Incorrect values within SQLDA structure|column 3: a buffer of 3 bytes for a piece of "
            "at least 4");
  ASSERT_EQ(SQLGetData(select, 2, buffer, 8, &length), 0);  // still readable
  EXPECT_STREQ(buffer, "text");
  EXPECT_EQ(SQLFetch(select), 100);
  EXPECT_EQ(getData(2, 8), isc_no_cur_rec);  // after the last row
  EXPECT_EQ(VarloTest::ErrorText(conn, select), "|no current record for fetch operation");
}

// A text parameter's length: the length variable when it holds 0 to the buffer's size, else up
// to a NUL or the buffer's end (nil or -3); any other length is refused. CHAR is padded with
// its set's blank (a zero byte for OCTETS).
TEST_F(Bounded, ParameterLengthsFollowOdbc) {
  TIbStmtRec* stmt = Prepare("INSERT INTO BT (ID, V, C, D, B) VALUES (?, ?, ?, ?, ?)");
  int32_t id = 0;
  uint8_t nulls[5] = {};
  auto text = std::make_unique<char[]>(8);
  auto chars = std::make_unique<char[]>(4);
  auto date = std::make_unique<char[]>(19);  // the date text without its NUL
  std::memcpy(date.get(), "02/03/2001 04:05:06", 19);
  int32_t textLength = 0, charLength = 0, blobLength = 0;
  ASSERT_EQ(SQLBindParameter(stmt, 1, 496, &id, 4, &nulls[0], nullptr), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 2, 448, text.get(), 8, &nulls[1], &textLength), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 3, 452, chars.get(), 4, &nulls[2], &charLength), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 4, 510, date.get(), 19, &nulls[3], nullptr), 0);
  ASSERT_EQ(SQLBindParameter(stmt, 5, 520, text.get(), 8, &nulls[4], &blobLength), 0);
  const struct {
    const char* bytes;  // 8 bytes
    int32_t length;
    ISC_STATUS refusal;
    std::string stored;
  } cases[] = {
      {"abc\0def!", 8, 0, std::string("abc\0def!", 8)},
      {"abc\0def!", -3, 0, "abc"},
      {"abc\0def!", 0, 0, ""},
      {"abcdefgh", -3, 0, "abcdefgh"},  // a full buffer needs no NUL
      {"abcdefgh", 9, isc_dsql_sqlda_value_err, ""},
      {"abcdefgh", -1, isc_dsql_sqlda_value_err, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(id) + ": length " + std::to_string(c.length));
    std::memcpy(text.get(), c.bytes, 8);
    std::memcpy(chars.get(), c.bytes, 4);
    textLength = blobLength = c.length;
    charLength = std::min(c.length, 4);
    ClientSpy spy;
    ASSERT_EQ(SQLExecute(stmt), c.refusal == 0 ? 0 : -1) << VarloTest::ErrorText(conn, stmt);
    if (c.refusal != 0) {
      EXPECT_EQ(stmt->Status[1], c.refusal);
      EXPECT_EQ(spy.TotalCalls(), 0);
      continue;
    }
    const std::string where = " FROM BT WHERE ID = " + std::to_string(id++);
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT V" + where), "448 " + c.stored);
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT B" + where), "520 " + c.stored);
    const std::string padded = c.stored.substr(0, 4) + std::string(10, '\0');
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT C" + where), "452 " + padded.substr(0, 10));
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT D" + where), "510 02/03/2001 04:05:06");
  }
  date[5] = '\0';  // a NUL where a separator stands ends the date text
  textLength = charLength = blobLength = 0;
  EXPECT_THROW(SQLExecute(stmt), Framework::EConvertError);
  // Longer than the column: refused before any client call; nil lengths read up to a NUL.
  TIbStmtRec* wide = Prepare("INSERT INTO BT (ID, C) VALUES (100, ?)");
  auto twelve = std::make_unique<char[]>(12);
  std::memcpy(twelve.get(), "abcdefghijk", 12);
  ASSERT_EQ(SQLBindParameter(wide, 1, 452, twelve.get(), 12, &nulls[0], nullptr), 0);
  EXPECT_EQ(SQLExecute(wide), -1);
  EXPECT_EQ(VarloTest::ErrorText(conn, wide),
            "|string right truncation|parameter 1: 11 bytes for a column of 10");
  twelve[10] = '\0';
  EXPECT_EQ(SQLExecute(wide), 0);
  EXPECT_EQ(VarloTest::QueryText(conn, "SELECT C FROM BT WHERE ID = 100"), "452 abcdefghij");
}
