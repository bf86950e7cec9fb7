// Reliability: every client call of a full scenario made to fail in turn, and a server that
// drops the attachment in the middle of a fetch, an execute and a blob read.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;
using VarloTest::ClientSpy;
using VarloTest::RawDb;

namespace {

constexpr const char* kSchema = "CREATE TABLE T (ID INTEGER, V VARCHAR(20), D DATE, B BLOB)";

using VarloTest::ErrorText;

// What one run of the scenario saw.
struct Outcome {
  std::string failedStep;  // the first step that reported a failure, empty when none did
  std::string errorText;   // SQLError of that step's records
  bool committed = false;  // the commit step returned 0
  int32_t blobLength = 0;  // the length the fetch stored for the blob column
  std::vector<int> cleanupResults;
};

// Attach; insert with VARCHAR, date and blob parameters; select the same columns and fetch;
// commit; drop both statements; disconnect. Every handle is released whatever fails.
Outcome RunScenario(const std::string& db, int id) {
  Outcome out;
  TIbConnRec* conn = nullptr;
  TIbStmtRec* insert = nullptr;
  TIbStmtRec* select = nullptr;
  auto fail = [&](const char* step, TIbStmtRec* stmt) {
    out.failedStep = step;
    out.errorText = ErrorText(conn, stmt);
    return false;
  };
  int32_t key = id;
  char v[21] = "varchar value";
  char d[20] = "12/31/1998 23:59:59";
  std::string blob(10000, 'b');
  int32_t blobLength = static_cast<int32_t>(blob.size());
  uint8_t nulls[4] = {};
  int32_t gotId = 0;
  char gotV[21], gotD[20];
  std::vector<char> gotB(blob.size() + 16);
  out.blobLength = 4096;  // the segment request size until a row is fetched
  uint8_t gotNulls[4] = {};

  SQLAllocConnect(conn);
  [&] {
    if (SQLConnect(conn, db, "", "") != 0) return fail("connect", nullptr);
    if (SQLAllocStmt(conn, insert) != 0) return fail("alloc insert", nullptr);
    if (SQLPrepare(insert, "INSERT INTO T (ID, V, D, B) VALUES (?, ?, ?, ?)", 0) != 0) {
      return fail("prepare insert", insert);
    }
    if (SQLBindParameter(insert, 1, 496, &key, &nulls[0], nullptr, 0) != 0 ||
        SQLBindParameter(insert, 2, 448, v, &nulls[1], nullptr, 0) != 0 ||
        SQLBindParameter(insert, 3, 510, d, &nulls[2], nullptr, 0) != 0 ||
        SQLBindParameter(insert, 4, 520, blob.data(), &nulls[3], &blobLength, 4096) != 0) {
      return fail("bind insert", insert);
    }
    if (SQLExecute(insert) != 0) return fail("execute insert", insert);
    if (SQLAllocStmt(conn, select) != 0) return fail("alloc select", nullptr);
    std::string sql = "SELECT ID, V, D, B FROM T WHERE ID = " + std::to_string(id);
    if (SQLPrepare(select, sql.c_str(), 0) != 0) return fail("prepare select", select);
    if (SQLBindCol(select, 1, 496, &gotId, &gotNulls[0], nullptr) != 0 ||
        SQLBindCol(select, 2, 448, gotV, &gotNulls[1], nullptr) != 0 ||
        SQLBindCol(select, 3, 510, gotD, &gotNulls[2], nullptr) != 0 ||
        SQLBindCol(select, 4, 520, gotB.data(), &gotNulls[3], &out.blobLength) != 0) {
      return fail("bind select", select);
    }
    if (SQLExecute(select) != 0) return fail("execute select", select);
    int16_t rc = SQLFetch(select);
    if (rc != 0) return fail("fetch", select);
    if (SQLFetch(select) != 100) return fail("fetch end", select);
    if (SQLTransact(conn, 0) != 0) return fail("commit", nullptr);
    out.committed = true;
    return true;
  }();
  out.cleanupResults.push_back(SQLFreeStmt(select, 1));
  out.cleanupResults.push_back(SQLFreeStmt(insert, 1));
  out.cleanupResults.push_back(SQLDisconnect(conn));
  EXPECT_EQ(conn, nullptr);
  return out;
}

TEST(FaultSweep, EveryFailingClientCallIsReportedAndEverythingIsReleased) {
  VarloTest::TempDir dir;
  const std::string db = dir.File("sweep.fdb");
  VarloTest::CreateDatabase(db, {kSchema});

  int calls = 0;
  {
    ClientSpy spy;
    Outcome clean = RunScenario(db, 0);
    ASSERT_EQ(clean.failedStep, "") << clean.errorText;
    ASSERT_TRUE(clean.committed);
    ASSERT_EQ(clean.blobLength, 10000);
    calls = spy.FailableCalls();
  }
  ASSERT_GT(calls, 15);

  // Client calls whose failure the package does not report by its result.
  const std::vector<std::string> unreported = {"isc_start_multiple",  // the next call decides
                                               "isc_dsql_free_statement", "isc_detach_database",
                                               "isc_open_blob2",          "isc_get_segment",
                                               "isc_close_blob",          "isc_commit_transaction"};
  int survived = 0;
  for (int k = 1; k <= calls; ++k) {
    SCOPED_TRACE("failing call " + std::to_string(k));
    std::string entry;
    Outcome out;
    int64_t before = RawDb(db).QueryInt("SELECT COUNT(*) FROM T").value_or(-1);
    {
      ClientSpy spy;
      spy.FailCall(k);
      out = RunScenario(db, k);
      ASSERT_TRUE(spy.Injected());
      // The name of the entry that failed: the k-th failable call in the log.
      int seen = 0;
      for (const std::string& name : spy.Log()) {
        if (name == "isc_encode_date" || name == "isc_decode_date" || name == "fb_interpret" ||
            name == "isc_interprete") {
          continue;
        }
        if (++seen == k) {
          entry = name;
          break;
        }
      }
    }
    SCOPED_TRACE("entry " + entry + ", step '" + out.failedStep + "'");
    for (int r : out.cleanupResults) EXPECT_EQ(r, 0);
    if (!out.failedStep.empty()) {
      EXPECT_FALSE(out.errorText.empty());
      EXPECT_EQ(out.errorText[0], '|') << out.errorText;
    } else {
      // Nothing reported: only a call whose failure the interface absorbs by design.
      EXPECT_NE(std::find(unreported.begin(), unreported.end(), entry), unreported.end());
      if (entry == "isc_open_blob2" || entry == "isc_get_segment" ||
          (entry == "isc_close_blob" && !out.committed)) {
        EXPECT_EQ(out.blobLength, -1);
      }
    }
    int64_t after = RawDb(db).QueryInt("SELECT COUNT(*) FROM T").value_or(-1);
    if (out.committed) {
      EXPECT_EQ(after, before + 1) << "committed work lost";
    }
    EXPECT_LE(after, before + 1);
    ++survived;
  }
  RecordProperty("injected_faults", survived);
  std::printf("faults injected and survived: %d of %d client calls\n", survived, calls);
}

namespace {
ISC_STATUS ISC_EXPORT ShutDownExecute(ISC_STATUS* st, isc_tr_handle*, isc_stmt_handle*,
                                      unsigned short, const XSQLDA*) {
  const ISC_STATUS lost[] = {isc_arg_gds, isc_att_shutdown, isc_arg_end};
  std::memcpy(st, lost, sizeof(lost));
  return isc_att_shutdown;
}
}  // namespace

ISC_STATUS ISC_EXPORT ShutDownDescribe(ISC_STATUS* st, isc_stmt_handle*, unsigned short, XSQLDA*) {
  return ShutDownExecute(st, nullptr, nullptr, 0, nullptr);
}

// An embedded database with a connection and a statement on it; the loss is injected.
class LostAttachment : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(db, {kSchema});
    SQLAllocConnect(conn);
    ASSERT_EQ(SQLConnect(conn, db, "", ""), 0);
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  }
  void TearDown() override {
    SQLFreeStmt(stmt, 1);
    SQLDisconnect(conn);
  }

  VarloTest::TempDir dir;
  std::string db = dir.File("lost.fdb");
  TIbConnRec* conn = nullptr;
  TIbStmtRec* stmt = nullptr;
};

TEST_F(LostAttachment, ALossInThePreparationEndsIt) {
  {
    IBAPI::EntryOverride guard(IBAPI::Entries.isc_dsql_describe, &ShutDownDescribe);
    ClientSpy spy;
    // Seven columns: the area grows and is described again, which reports the loss.
    EXPECT_EQ(SQLPrepare(stmt, "SELECT ID, V, D, B, ID, V, D FROM T WHERE ID = ?", 0), -1);
    EXPECT_EQ(spy.Calls("isc_dsql_describe_bind"), 0);
  }
  EXPECT_EQ(ErrorText(conn, stmt), "|connection shutdown");
}

// Runs a statement on a connection in its current transaction.
void RunOn(TIbConnRec* conn, const char* sql) {
  TIbStmtRec* s = nullptr;
  ASSERT_EQ(SQLAllocStmt(conn, s), 0);
  ASSERT_EQ(SQLPrepare(s, sql, 0), 0) << ErrorText(conn, s);
  ASSERT_EQ(SQLExecute(s), 0) << ErrorText(conn, s);
  SQLFreeStmt(s, 1);
}

TEST_F(LostAttachment, IsRecordedWhereReportedAndOnlyTheDetachFollows) {
  TIbConnRec* other = nullptr;
  SQLAllocConnect(other);
  ASSERT_EQ(SQLConnect(other, db, "", ""), 0);
  ASSERT_EQ(SQLPrepare(stmt, "SELECT ID, B FROM T", 0), 0);
  {
    IBAPI::EntryOverride guard(IBAPI::Entries.isc_dsql_execute, &ShutDownExecute);
    EXPECT_EQ(SQLExecute(stmt), -1);
  }
  ClientSpy spy;
  int16_t type = 0, length = 0;
  int32_t value = 0;
  uint8_t flag = 0;
  ISC_QUAD id{};
  TIbStmtRec* more = reinterpret_cast<TIbStmtRec*>(1);
  EXPECT_EQ(SQLExecute(stmt), -1);
  EXPECT_EQ(SQLFetch(stmt), -1);
  EXPECT_EQ(SQLPrepare(stmt, "SELECT ID FROM T", 0), -1);
  EXPECT_EQ(SQLGetCol(stmt, 1, type, length), -1);
  EXPECT_EQ(SQLBindCol(stmt, 1, 496, &value, &flag, nullptr), -1);
  EXPECT_EQ(IBBlobToPtr(stmt, &id, &value, 4), -1);
  EXPECT_EQ(ErrorText(conn, stmt), "|connection shutdown");
  EXPECT_EQ(SQLAllocStmt(conn, more), -1);
  EXPECT_EQ(more, nullptr);
  EXPECT_EQ(SQLTransact(conn, 1), -1);
  EXPECT_EQ(SQLSetConnectOption(conn, 102, 1), -1);
  EXPECT_EQ(ErrorText(conn, nullptr), "|connection shutdown");
  EXPECT_EQ(SQLTransactMdb({&other, &conn}, 2, 2), -1);
  EXPECT_EQ(spy.FailableCalls(), 0);

  // The text of the loss in another record marks nothing: only the call that reported it does.
  EXPECT_EQ(ErrorText(other, nullptr), "|connection shutdown");
  RunOn(other, "INSERT INTO T (ID) VALUES (7)");
  EXPECT_EQ(SQLTransact(other, 0), 0);

  spy.Reset();
  EXPECT_EQ(SQLFreeStmt(stmt, 1), 0);
  stmt = nullptr;
  EXPECT_EQ(SQLDisconnect(conn), 0);
  EXPECT_EQ(conn, nullptr);
  EXPECT_EQ(spy.Calls("isc_commit_transaction"), 0);
  EXPECT_EQ(spy.Calls("isc_dsql_free_statement"), 0);
  // The loss was injected: the attachment is alive and answers that its transaction is open,
  // so the transaction is rolled back and the detach tried again.
  EXPECT_EQ(spy.Log(), (std::vector<std::string>{"isc_detach_database", "isc_rollback_transaction",
                                                 "isc_detach_database"}));
  EXPECT_EQ(SQLDisconnect(other), 0);
  EXPECT_EQ(RawDb(db).QueryInt("SELECT COUNT(*) FROM T"), 1);
}

// ---- a lost server ----

class LostServer : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(path,
                              {kSchema,
                               "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < 20000) DO "
                               "BEGIN INSERT INTO T (ID, V) VALUES (:I, 'row ' || :I); I = I + 1; "
                               "END END"},
                              true);
    SQLAllocConnect(conn);
    ASSERT_EQ(SQLConnect(conn, name, VarloTest::ServerUser(), VarloTest::ServerPassword()), 0)
        << VarloTest::StatusText(conn->Status);
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
    killer = std::make_unique<RawDb>(name, VarloTest::ServerUser(), VarloTest::ServerPassword());
  }
  void TearDown() override {
    EXPECT_EQ(SQLFreeStmt(stmt, 1), 0);
    EXPECT_EQ(SQLDisconnect(conn), 0);
    EXPECT_EQ(conn, nullptr);
    killer.reset();
  }

  void Kill() {
    killer->Exec("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
  }

  // Commits a row, so that the test can check it survives the loss.
  void CommitMarkerRow() {
    RunOn(conn, "INSERT INTO T (ID, V) VALUES (-1, 'committed')");
    ASSERT_EQ(SQLTransact(conn, 0), 0);
  }

  void ExpectCommittedRowSurvives() {
    RawDb again(name, VarloTest::ServerUser(), VarloTest::ServerPassword());
    EXPECT_EQ(again.QueryInt("SELECT COUNT(*) FROM T WHERE ID = -1"), 1);
  }

  std::string LostText(TIbStmtRec* s) {
    std::string text = ErrorText(conn, s);
    EXPECT_EQ(text.rfind('|', 0), 0u) << text;
    EXPECT_TRUE(text.find("shutdown") != std::string::npos ||
                text.find("connection") != std::string::npos ||
                text.find("network") != std::string::npos)
        << text;
    return text;
  }

  VarloTest::TempDir dir;
  std::string path = dir.File("lost.fdb");
  std::string name = VarloTest::ServerName(path);
  TIbConnRec* conn = nullptr;
  TIbStmtRec* stmt = nullptr;
  std::unique_ptr<RawDb> killer;
};

using VarloTest::OpenDescriptors;

// In a child process of its own (the test below): a loss that only a statement sees, then the
// drop and the disconnect, again and again.
TEST(LostServerChild, DropAndDisconnectAfterALossOnlyAStatementSaw) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  const int runs = std::stoi(*VarloTest::ChildArgument());
  VarloTest::TempDir dir;
  const std::string name = VarloTest::ServerName(dir.File("repeat.fdb"));
  VarloTest::CreateDatabase(dir.File("repeat.fdb"), {kSchema}, true);
  RawDb killer(name, VarloTest::ServerUser(), VarloTest::ServerPassword());
  double longest = 0;
  int descriptors = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    TIbConnRec* conn = nullptr;
    TIbStmtRec* stmt = nullptr;
    SQLAllocConnect(conn);
    ASSERT_EQ(SQLConnect(conn, name, VarloTest::ServerUser(), VarloTest::ServerPassword()), 0);
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
    ASSERT_EQ(SQLPrepare(stmt, "INSERT INTO T (ID) VALUES (1)", 0), 0);
    killer.Exec("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
    ClientSpy spy;
    ASSERT_EQ(SQLExecute(stmt), -1);
    EXPECT_NE(ErrorText(conn, stmt).find("shutdown"), std::string::npos);
    EXPECT_EQ(SQLFreeStmt(stmt, 1), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SQLDisconnect(conn), 0);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    longest = std::max(longest, ms);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(spy.Log(), (std::vector<std::string>{"isc_dsql_execute", "fb_interpret",
                                                   "fb_interpret", "isc_detach_database"}));
    if (run == 0) descriptors = OpenDescriptors();
  }
  EXPECT_EQ(OpenDescriptors(), descriptors) << "descriptors left behind";
  std::printf("lost attachments: %d runs, longest disconnect %.1f ms\n", runs, longest);
}

TEST(LostServerRepeated, EveryDisconnectReturnsPromptly) {
  VarloTest::ExpectChildPassed(
      VarloTest::RunChildTest("LostServerChild.DropAndDisconnect*", "20", 120),
      "lost attachments:");
}

// In a child process: the ids of table T of the database named by the argument.
TEST(LostServerChild, ListIds) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  RawDb db(*VarloTest::ChildArgument());
  std::printf("ids: count %lld min %lld\n",
              static_cast<long long>(db.QueryInt("SELECT COUNT(*) FROM T").value_or(-1)),
              static_cast<long long>(db.QueryInt("SELECT MIN(ID) FROM T").value_or(-1)));
}

TEST_F(LostServer, ASharedTransactionLeavesTheHealthyMemberWorking) {
  const std::string embedded = dir.File("embedded.fdb");
  VarloTest::CreateDatabase(embedded, {kSchema});
  TIbConnRec* local = nullptr;
  SQLAllocConnect(local);
  ASSERT_EQ(SQLConnect(local, embedded, "", ""), 0);
  ASSERT_EQ(SQLTransactMdb({&conn, &local}, 2, 2), 0);
  RunOn(conn, "INSERT INTO T (ID) VALUES (-5)");
  RunOn(local, "INSERT INTO T (ID) VALUES (-5)");
  Kill();
  EXPECT_EQ(SQLTransactMdb({&conn, &local}, 0, 2), -1);
  LostText(nullptr);
  EXPECT_EQ(std::memcmp(local->Status, conn->Status, sizeof(conn->Status)), 0);

  // The server member is lost; the embedded one rolls back, starts anew and works.
  TIbStmtRec* none = nullptr;
  EXPECT_EQ(SQLAllocStmt(conn, none), -1);
  EXPECT_EQ(SQLTransact(local, 1), 0);
  EXPECT_EQ(local->TrHandle, 0u);
  ASSERT_EQ(SQLTransact(local, 2), 0);
  RunOn(local, "INSERT INTO T (ID) VALUES (6)");
  EXPECT_EQ(SQLTransact(local, 0), 0);
  EXPECT_EQ(SQLDisconnect(local), 0);

  // Another process can open the embedded database: nothing keeps it attached here. It holds
  // only the row committed after the failure.
  VarloTest::ChildResult child = VarloTest::RunChildTest("LostServerChild.ListIds", embedded, 60);
  ASSERT_TRUE(child.finished) << child.output;
  EXPECT_NE(child.output.find("ids: count 1 min 6"), std::string::npos) << child.output;
  RawDb server(name, VarloTest::ServerUser(), VarloTest::ServerPassword());
  EXPECT_EQ(server.QueryInt("SELECT COUNT(*) FROM T WHERE ID = -5"), 0);
}

TEST_F(LostServer, InTheMiddleOfAFetch) {
  CommitMarkerRow();
  ASSERT_EQ(SQLPrepare(stmt, "SELECT ID, V FROM T", 0), 0);
  int32_t id;
  char v[21];
  uint8_t nulls[2];
  ASSERT_EQ(SQLBindCol(stmt, 1, 496, &id, &nulls[0], nullptr), 0);
  ASSERT_EQ(SQLBindCol(stmt, 2, 448, v, &nulls[1], nullptr), 0);
  ASSERT_EQ(SQLExecute(stmt), 0);
  ASSERT_EQ(SQLFetch(stmt), 0);
  Kill();
  int16_t rc = 0;
  int rows = 1;
  while ((rc = SQLFetch(stmt)) == 0) ++rows;  // rows already buffered by the client still arrive
  EXPECT_EQ(rc, -1) << "after " << rows << " rows";
  EXPECT_LT(rows, 20001);
  std::string text = LostText(stmt);
  EXPECT_EQ(SQLFetch(stmt), -1);
  EXPECT_EQ(SQLExecute(stmt), -1);
  EXPECT_EQ(SQLTransact(conn, 0), -1);
  EXPECT_FALSE(ErrorText(conn, nullptr).empty());
  ExpectCommittedRowSurvives();
}

TEST_F(LostServer, BeforeAnExecute) {
  CommitMarkerRow();
  ASSERT_EQ(SQLPrepare(stmt, "UPDATE T SET V = 'changed' WHERE ID = ?", 0), 0);
  int32_t id = 5;
  uint8_t null;
  ASSERT_EQ(SQLBindParameter(stmt, 1, 496, &id, &null, nullptr, 0), 0);
  Kill();
  EXPECT_EQ(SQLExecute(stmt), -1);
  LostText(stmt);
  EXPECT_EQ(SQLExecute(stmt), -1);
  EXPECT_EQ(SQLPrepare(stmt, "SELECT ID FROM T", 0), -1);
  EXPECT_EQ(SQLTransact(conn, 0), -1);
  TIbStmtRec* other = nullptr;
  EXPECT_EQ(SQLAllocStmt(conn, other), -1);  // the connection knows it is lost now
  EXPECT_EQ(other, nullptr);
  ExpectCommittedRowSurvives();
  RawDb again(name, VarloTest::ServerUser(), VarloTest::ServerPassword());
  EXPECT_EQ(again.QueryInt("SELECT COUNT(*) FROM T WHERE V = 'changed'"), 0);
}

// Kills the attachment from the second one when the blob read has begun.
RawDb* killerDb = nullptr;
int segmentsRead = 0;
ISC_STATUS ISC_EXPORT KillingGetSegment(ISC_STATUS* st, isc_blob_handle* blob,
                                        unsigned short* length, unsigned short size,
                                        ISC_SCHAR* buffer) {
  if (++segmentsRead == 3) {
    killerDb->Exec("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
  }
  return IBAPI::LinkedEntries().isc_get_segment(st, blob, length, size, buffer);
}

TEST_F(LostServer, InTheMiddleOfABlobRead) {
  CommitMarkerRow();
  std::vector<char> bytes(4 << 20, 'z');
  {
    TIbStmtRec* s = nullptr;
    ASSERT_EQ(SQLAllocStmt(conn, s), 0);
    ASSERT_EQ(SQLPrepare(s, "INSERT INTO T (ID, B) VALUES (-2, ?)", 0), 0);
    int32_t length = static_cast<int32_t>(bytes.size());
    uint8_t null;
    ASSERT_EQ(SQLBindParameter(s, 1, 520, bytes.data(), &null, &length, 65535), 0);
    ASSERT_EQ(SQLExecute(s), 0) << ErrorText(conn, s);
    SQLFreeStmt(s, 1);
    ASSERT_EQ(SQLTransact(conn, 0), 0);
  }
  ASSERT_EQ(SQLPrepare(stmt, "SELECT B FROM T ORDER BY ID", 0), 0);
  std::vector<char> back(bytes.size() + 16);
  int32_t length = 4096;
  uint8_t null;
  ASSERT_EQ(SQLBindCol(stmt, 1, 520, back.data(), &null, &length), 0);
  ASSERT_EQ(SQLExecute(stmt), 0);
  killerDb = killer.get();
  segmentsRead = 0;
  {
    IBAPI::EntryOverride guard(IBAPI::Entries.isc_get_segment, &KillingGetSegment);
    EXPECT_EQ(SQLFetch(stmt), 0);  // the row arrived; its blob could not be read
    EXPECT_EQ(length, -1);
  }
  EXPECT_GE(segmentsRead, 3);
  int16_t rc = 0;
  int rows = 1;
  while ((rc = SQLFetch(stmt)) == 0) ++rows;  // rows already buffered by the client still arrive
  EXPECT_EQ(rc, -1) << "after " << rows << " rows";
  EXPECT_LT(rows, 20002);
  LostText(stmt);
  EXPECT_EQ(SQLFetch(stmt), -1);
  ExpectCommittedRowSurvives();
}

}  // namespace
