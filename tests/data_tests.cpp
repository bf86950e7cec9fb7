// Execution and fetching through the real engine: every dialect-1 type, NULLs, dates, blobs,
// re-execution, and the failures the engine cannot be made to give (injected).
#include <gtest/gtest.h>

#include <cstring>
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
