// Connections and transactions against the embedded engine and the server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;
using VarloTest::ClientSpy;
using VarloTest::RawDb;

namespace {

// Runs a statement on the connection's own handles, inside its transaction.
void ExecOn(TIbConnRec* conn, const std::string& sql) {
  ISC_STATUS status[20];
  ASSERT_EQ(isc_dsql_execute_immediate(status, &conn->DbHandle, &conn->TrHandle, 0, sql.c_str(), 1,
                                       nullptr),
            0)
      << VarloTest::StatusText(status);
}

// Runs a statement through the package on the connection; 0 or -1, with the error text in
// error when given.
int RunSql(TIbConnRec* conn, const std::string& sql, std::string* error = nullptr) {
  TIbStmtRec* stmt = nullptr;
  if (SQLAllocStmt(conn, stmt) != 0) return -1;
  int rc = SQLPrepare(stmt, sql.c_str(), 0) == 0 && SQLExecute(stmt) == 0 ? 0 : -1;
  if (rc != 0 && error != nullptr) *error = VarloTest::ErrorText(conn, stmt);
  SQLFreeStmt(stmt, 1);
  return rc;
}

class Connections : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(path, {"CREATE TABLE T (ID INTEGER)"});
    ASSERT_EQ(SQLAllocConnect(conn), 0);
    ASSERT_EQ(SQLConnect(conn, path, "", ""), 0) << VarloTest::StatusText(conn->Status);
  }
  void TearDown() override { SQLDisconnect(conn); }

  int64_t Rows() { return RawDb(path).QueryInt("SELECT COUNT(*) FROM T").value_or(-1); }

  VarloTest::TempDir dir;
  std::string path = dir.File("conn.fdb");
  TIbConnRec* conn = nullptr;
};

TEST_F(Connections, CommitRollbackAndDisconnectHaveTheirEffect) {
  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ASSERT_NE(conn->TrHandle, 0u);
  ExecOn(conn, "INSERT INTO T VALUES (1)");
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  EXPECT_EQ(conn->TrHandle, 0u);
  EXPECT_EQ(Rows(), 1);

  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ExecOn(conn, "INSERT INTO T VALUES (2)");
  ASSERT_EQ(SQLTransact(conn, 1), 0);
  EXPECT_EQ(Rows(), 1);

  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ExecOn(conn, "INSERT INTO T VALUES (3)");
  ASSERT_EQ(SQLTransact(conn, 5), 0);  // any code but 0 and 2 rolls back
  EXPECT_EQ(conn->TrHandle, 0u);
  EXPECT_EQ(Rows(), 1);

  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ExecOn(conn, "INSERT INTO T VALUES (4)");
  // Statements still alive end with their connection: freed with it, refused afterwards
  // without a read of their memory (the sanitizers would see one, and a leak).
  TIbStmtRec* alive[2] = {};
  int32_t value = 5;
  uint8_t isNull = 0;
  for (TIbStmtRec*& stmt : alive) ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  ASSERT_EQ(SQLPrepare(alive[0], "SELECT ID FROM T WHERE ID = ?", 0), 0);
  ASSERT_EQ(SQLBindParameter(alive[0], 1, CLong, &value, 4, &isNull, nullptr), 0);
  ASSERT_EQ(SQLExecute(alive[0]), 0);
  EXPECT_EQ(SQLDisconnect(conn), 0);
  EXPECT_EQ(conn, nullptr);
  EXPECT_EQ(Rows(), 2);
  for (TIbStmtRec* stmt : alive) {
    EXPECT_EQ(SQLFetch(stmt), -1);
    EXPECT_EQ(SQLExecute(stmt), -1);
    EXPECT_EQ(SQLCancel(stmt), -1);
    EXPECT_EQ(SQLFreeStmt(stmt, 1), -1);
  }
}

TEST_F(Connections, WithoutATransactionOnlyStartCallsTheClient) {
  ClientSpy spy;
  for (uint8_t code : {0, 1, 7}) EXPECT_EQ(SQLTransact(conn, code), 0);
  EXPECT_EQ(spy.TotalCalls(), 0);
  EXPECT_EQ(SQLTransact(conn, 2), 0);
  EXPECT_EQ(spy.Calls("isc_start_multiple"), 1);
  EXPECT_NE(conn->TrHandle, 0u);
  // A second start on an open transaction is the client's to refuse.
  EXPECT_EQ(SQLTransact(conn, 2), -1);
  EXPECT_NE(conn->Status[1], 0);
  EXPECT_NE(conn->TrHandle, 0u);
}

TEST_F(Connections, AutoCommitOptionCommitsOnlyWithValueOne) {
  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ExecOn(conn, "INSERT INTO T VALUES (1)");
  EXPECT_EQ(SQLSetConnectOption(conn, 102, 0), 0);
  EXPECT_EQ(SQLSetConnectOption(conn, 101, 1), 0);
  EXPECT_NE(conn->TrHandle, 0u);
  EXPECT_EQ(SQLSetConnectOption(conn, 102, 1), 0);
  EXPECT_EQ(conn->TrHandle, 0u);
  EXPECT_EQ(Rows(), 1);
  EXPECT_EQ(SQLSetConnectOption(conn, 102, 1), 0);  // nothing open: nothing to do
  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ClientSpy spy;
  spy.FailEntry("isc_commit_transaction");
  EXPECT_EQ(SQLSetConnectOption(conn, 102, 1), -1);
  EXPECT_EQ(conn->Status[1], isc_random);
}

namespace {
// What one transaction start was given.
struct Start {
  const ISC_STATUS* status;
  std::vector<std::tuple<isc_db_handle*, int32_t, const char*>> blocks;
};
std::vector<Start> starts;
ISC_STATUS ISC_EXPORT RecordStart(ISC_STATUS* st, isc_tr_handle* tr, short count, void* blocks) {
  struct Teb {
    isc_db_handle* db;
    int32_t tpbLength;
    const char* tpb;
  };
  Start start{st, {}};
  for (short i = 0; i < count; ++i) {
    const Teb& teb = static_cast<const Teb*>(blocks)[i];
    start.blocks.emplace_back(teb.db, teb.tpbLength, teb.tpb);
  }
  starts.push_back(start);
  return IBAPI::LinkedEntries().isc_start_multiple(st, tr, count, blocks);
}
}  // namespace

TEST_F(Connections, EveryStartTakesTheDefaultOptionsAndTheCallersVector) {
  starts.clear();
  IBAPI::EntryOverride guard(IBAPI::Entries.isc_start_multiple, &RecordStart);
  TIbStmtRec* stmt = nullptr;
  ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ASSERT_EQ(SQLTransact(conn, 1), 0);
  ASSERT_EQ(SQLPrepare(stmt, "INSERT INTO T VALUES (1)", 0), 0);
  ASSERT_EQ(SQLTransact(conn, 1), 0);
  ASSERT_EQ(SQLExecute(stmt), 0);
  ASSERT_EQ(SQLTransact(conn, 1), 0);
  SQLFreeStmt(stmt, 1);
  TIbConnRec* second = nullptr;
  SQLAllocConnect(second);
  ASSERT_EQ(SQLConnect(second, path, "", ""), 0);
  ASSERT_EQ(SQLTransactMdb({&conn, &second}, 2, 2), 0);
  ASSERT_EQ(SQLTransactMdb({&conn, &second}, 1, 2), 0);
  SQLDisconnect(second);

  using Block = std::tuple<isc_db_handle*, int32_t, const char*>;
  const Block own{&conn->DbHandle, 0, nullptr};
  ASSERT_EQ(starts.size(), 4u);
  EXPECT_EQ(starts[0].status, conn->Status);  // SQLTransact
  EXPECT_EQ(starts[1].status, stmt->Status);  // SQLPrepare
  EXPECT_EQ(starts[2].status, stmt->Status);  // SQLExecute
  EXPECT_EQ(starts[3].status, conn->Status);  // SQLTransactMdb, the leader's
  for (int i = 0; i < 3; ++i) EXPECT_EQ(starts[i].blocks, std::vector<Block>{own}) << i;
  EXPECT_EQ(starts[3].blocks.size(), 2u);
  EXPECT_EQ(starts[3].blocks[0], own);
  EXPECT_EQ(std::get<1>(starts[3].blocks[1]), 0);
  EXPECT_EQ(std::get<2>(starts[3].blocks[1]), nullptr);
}

TEST_F(Connections, FailedFinalCommitStillReleasesTheAttachment) {
  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ExecOn(conn, "INSERT INTO T VALUES (1)");
  ClientSpy spy;
  spy.FailEntry("isc_commit_transaction");
  EXPECT_EQ(SQLDisconnect(conn), 0);
  EXPECT_EQ(conn, nullptr);
  EXPECT_EQ(spy.Calls("isc_rollback_transaction"), 1);
  EXPECT_EQ(spy.Calls("isc_detach_database"), 1);
  EXPECT_EQ(Rows(), 0);
}

// ---- options of the connection's transactions ----

// Each level seen from inside a transaction: a second connection inserts a row and commits it;
// the first counts the rows after the insert and after the commit.
TEST_F(Connections, EachIsolationLevelSeesWhatItShould) {
  TIbConnRec* other = nullptr;
  SQLAllocConnect(other);
  ASSERT_EQ(SQLConnect(other, path, "", ""), 0);
  ASSERT_EQ(SQLSetConnectOption(other, 152, 0), 0);  // no wait: a refused write fails at once
  const struct {
    uint16_t level;
    bool otherWrites;
    const char* afterInsert;
    const char* afterCommit;
  } levels[] = {
      {1, true, "496 0", "496 1"},   // read committed
      {2, true, "496 0", "496 1"},   // read committed
      {4, true, "496 0", "496 0"},   // snapshot
      {8, false, "496 0", "496 0"},  // snapshot table stability: the table is reserved
  };
  for (const auto& l : levels) {
    SCOPED_TRACE("level " + std::to_string(l.level));
    ASSERT_EQ(SQLSetConnectOption(conn, 108, l.level), 0);
    ASSERT_EQ(RunSql(conn, "DELETE FROM T"), 0);
    ASSERT_EQ(SQLTransact(conn, 0), 0);
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT COUNT(*) FROM T"), "496 0");  // starts it
    std::string error;
    EXPECT_EQ(RunSql(other, "INSERT INTO T VALUES (1)", &error), l.otherWrites ? 0 : -1);
    if (!l.otherWrites) {
      EXPECT_NE(error.find("lock conflict"), std::string::npos) << error;
    }
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT COUNT(*) FROM T"), l.afterInsert);
    ASSERT_EQ(SQLTransact(other, 0), 0);
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT COUNT(*) FROM T"), l.afterCommit);
    ASSERT_EQ(SQLTransact(conn, 0), 0);
  }
  SQLDisconnect(other);
}

TEST_F(Connections, AccessModeTakesEffectAtTheNextStart) {
  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ASSERT_EQ(SQLSetConnectOption(conn, 101, 1), 0);
  EXPECT_EQ(RunSql(conn, "INSERT INTO T VALUES (1)"), 0);  // the open transaction keeps its mode
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  std::string error;
  EXPECT_EQ(RunSql(conn, "INSERT INTO T VALUES (2)", &error), -1);
  EXPECT_NE(error.find("read-only transaction"), std::string::npos) << error;
  ASSERT_EQ(SQLTransact(conn, 1), 0);
  ASSERT_EQ(SQLSetConnectOption(conn, 101, 0), 0);
  EXPECT_EQ(RunSql(conn, "INSERT INTO T VALUES (3)"), 0);
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  EXPECT_EQ(Rows(), 2);

  // Values outside the options' ranges are refused and change nothing.
  for (auto [option, value] :
       {std::pair{101, 2}, {108, 0}, {108, 3}, {108, 16}, {152, 32768}, {152, 65534}}) {
    EXPECT_EQ(SQLSetConnectOption(conn, static_cast<uint8_t>(option), value), -1) << option;
    EXPECT_EQ(VarloTest::ErrorText(conn, nullptr),
              "|invalid parameter in transaction parameter block");
  }
  EXPECT_EQ(SQLSetConnectOption(conn, 77, 12345), 0);  // unknown options change nothing
  EXPECT_EQ(RunSql(conn, "UPDATE T SET ID = ID + 1"), 0);
}

// In a child process (the test below): a wait that the option failed to bound would never end.
TEST(LockWaitChild, NoWaitAndSecondsOfWait) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  // A row another transaction holds: no wait fails at once, a wait after about its seconds.
  VarloTest::TempDir dir;
  const std::string path = dir.File("wait.fdb");
  VarloTest::CreateDatabase(path, {"CREATE TABLE T (ID INTEGER)", "INSERT INTO T VALUES (1)"});
  TIbConnRec* conn = nullptr;
  SQLAllocConnect(conn);
  ASSERT_EQ(SQLConnect(conn, path, "", ""), 0);
  std::string error;
  TIbConnRec* holder = nullptr;
  SQLAllocConnect(holder);
  ASSERT_EQ(SQLConnect(holder, path, "", ""), 0);
  ASSERT_EQ(RunSql(holder, "UPDATE T SET ID = ID + 10"), 0);
  // The server counts whole seconds: a wait of n seconds ends after n - 1 to n seconds.
  for (auto [wait, low, high] : {std::tuple{0, 0.0, 0.5}, {1, 0.0, 1.5}, {2, 1.0, 3.0}}) {
    ASSERT_EQ(SQLSetConnectOption(conn, 152, static_cast<uint16_t>(wait)), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunSql(conn, "UPDATE T SET ID = ID + 1", &error), -1);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NE(error.find("conflict"), std::string::npos) << error;
    EXPECT_GE(seconds, low) << wait;
    EXPECT_LE(seconds, high) << wait;
    std::printf("lock wait %d: refused after %.2f s\n", wait, seconds);
    ASSERT_EQ(SQLTransact(conn, 1), 0);
  }
  SQLDisconnect(holder);
  SQLDisconnect(conn);
}

TEST(LockWait, NoWaitFailsAtOnceAndAWaitAfterItsSeconds) {
  VarloTest::ExpectChildPassed(VarloTest::RunChildTest("LockWaitChild.*", "1", 60), "lock wait 2");
}

// Text written and read through each connection character set: the server stores each
// column's own set and hands back the connection's.
TEST(ConnectionCharset, TheServerTransliteratesToAndFromTheConnectionsSet) {
  VarloTest::TempDir dir;
  const std::string path = dir.File("charset.fdb");
  VarloTest::CreateDatabase(path, {"CREATE TABLE CS (ID INTEGER, W VARCHAR(10) CHARACTER SET "
                                   "WIN1251, U VARCHAR(10) CHARACTER SET UTF8)"});
  const std::string utf8 = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // Privet
  const std::string win1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
  for (auto [charset, sent] : {std::pair{4, utf8}, {52, win1251}}) {
    SCOPED_TRACE("character set " + std::to_string(charset));
    TIbConnRec* conn = nullptr;
    SQLAllocConnect(conn);
    ASSERT_EQ(SQLSetConnectOption(conn, 151, static_cast<uint16_t>(charset)), 0);
    ASSERT_EQ(SQLConnect(conn, path, "", ""), 0);
    TIbStmtRec* stmt = nullptr;
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
    ASSERT_EQ(SQLPrepare(stmt, "INSERT INTO CS VALUES (?, ?, ?)", 0), 0);
    int32_t id = charset;
    std::string text = sent;
    uint8_t nulls[3] = {};
    ASSERT_EQ(SQLBindParameter(stmt, 1, 496, &id, &nulls[0], nullptr, 0), 0);
    ASSERT_EQ(SQLBindParameter(stmt, 2, 448, text.data(), &nulls[1], nullptr, 0), 0);
    ASSERT_EQ(SQLBindParameter(stmt, 3, 448, text.data(), &nulls[2], nullptr, 0), 0);
    ASSERT_EQ(SQLExecute(stmt), 0) << VarloTest::ErrorText(conn, stmt);
    SQLFreeStmt(stmt, 1);
    // Read back in the connection's set, whatever the column's.
    const std::string where = " FROM CS WHERE ID = " + std::to_string(charset);
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT W" + where), "448 " + sent);
    EXPECT_EQ(VarloTest::QueryText(conn, "SELECT U" + where), "448 " + sent);
    ASSERT_EQ(SQLTransact(conn, 0), 0);
    SQLDisconnect(conn);
    // Without a set the bytes arrive as stored.
    TIbConnRec* raw = nullptr;
    SQLAllocConnect(raw);
    ASSERT_EQ(SQLConnect(raw, path, "", ""), 0);
    EXPECT_EQ(VarloTest::QueryText(raw, "SELECT W" + where), "448 " + win1251);
    EXPECT_EQ(VarloTest::QueryText(raw, "SELECT U" + where), "448 " + utf8);
    SQLDisconnect(raw);
  }
}

// ---- parameter buffer ----

namespace {
std::string lastDpb;
int attachCalls = 0;
ISC_STATUS ISC_EXPORT RecordAttach(ISC_STATUS* status, short nameLength, const ISC_SCHAR* name,
                                   isc_db_handle* db, short dpbLength, const ISC_SCHAR* dpb) {
  ++attachCalls;
  lastDpb.assign(dpb, static_cast<size_t>(dpbLength));
  return IBAPI::LinkedEntries().isc_attach_database(status, nameLength, name, db, dpbLength, dpb);
}
}  // namespace

class ParameterBuffer : public ::testing::Test {
 protected:
  void SetUp() override {
    attachCalls = 0;
    lastDpb.clear();
    SQLAllocConnect(conn);
  }
  void TearDown() override { SQLDisconnect(conn); }

  IBAPI::EntryOverride<decltype(IBAPI::Entries.isc_attach_database)> guard{
      IBAPI::Entries.isc_attach_database, &RecordAttach};
  TIbConnRec* conn = nullptr;
};

TEST_F(ParameterBuffer, CarriesUserAndPasswordByteForByte) {
  SQLConnect(conn, "/nonexistent/a.fdb", "SYSDBA", "pw");
  EXPECT_EQ(lastDpb, std::string("\x01\x1c\x06SYSDBA\x1d\x02pw", 13));
  SQLConnect(conn, "/nonexistent/a.fdb", "", "");
  EXPECT_EQ(lastDpb, std::string("\x01\x1c\x00\x1d\x00", 5));
  std::string name(255, 'u');
  std::string password(255, 'p');
  SQLConnect(conn, "/nonexistent/a.fdb", name, password);
  ASSERT_EQ(lastDpb.size(), 5u + 255 + 255);
  EXPECT_EQ(static_cast<uint8_t>(lastDpb[2]), 255);
  EXPECT_EQ(lastDpb.substr(3, 255), name);
  EXPECT_EQ(static_cast<uint8_t>(lastDpb[3 + 255 + 1]), 255);
  ASSERT_EQ(SQLSetConnectOption(conn, 151, 52), 0);
  SQLConnect(conn, "/nonexistent/a.fdb", "", "");
  EXPECT_EQ(lastDpb, std::string("\x01\x1c\x00\x1d\x00\x30\x07WIN1251", 14));
  EXPECT_EQ(attachCalls, 4);
  // A set the client does not know is refused when it is set; the earlier one stays.
  for (uint16_t unknown : {7, 70, 999}) {
    EXPECT_EQ(SQLSetConnectOption(conn, 151, unknown), -1);
    EXPECT_EQ(VarloTest::ErrorText(conn, nullptr),
              "|CHARACTER SET " + std::to_string(unknown) + " is not defined");
  }
  SQLConnect(conn, "/nonexistent/a.fdb", "", "");
  EXPECT_EQ(lastDpb.substr(5), std::string("\x30\x07WIN1251", 9));
}

TEST_F(ParameterBuffer, RefusesWhatTheBufferCannotCarry) {
  char text[512] = {};
  for (auto [db, user, password] :
       {std::tuple{std::string("/tmp/a.fdb"), std::string(""), std::string(300, 'p')},
        {std::string("/tmp/a.fdb"), std::string(256, 'u'), ""},
        {std::string("/tmp/a.fdb\0/other.fdb", 21), "", ""}}) {
    EXPECT_EQ(SQLConnect(conn, db, user, password), -1);
    EXPECT_EQ(conn->Status[1], isc_bad_dpb_content);
    EXPECT_EQ(conn->DbHandle, 0u);
  }
  EXPECT_EQ(attachCalls, 0);
  SQLError(conn, nullptr, text, sizeof(text));
  EXPECT_STREQ(text, "|bad parameters on attach or create database");
}

TEST(NilConnection, IsRefusedWithoutAClientCall) {
  ClientSpy spy;
  TIbConnRec* none = nullptr;
  EXPECT_EQ(SQLDisconnect(none), 0);
  EXPECT_EQ(SQLConnect(nullptr, "/tmp/x.fdb", "", ""), -1);
  EXPECT_EQ(SQLTransact(nullptr, 2), -1);
  EXPECT_EQ(SQLSetConnectOption(nullptr, 102, 1), -1);
  EXPECT_EQ(SQLTransactMdb({&none}, 0, 1), -1);
  EXPECT_EQ(SQLTransactMdb({}, 2, 1), -1);
  EXPECT_EQ(spy.TotalCalls(), 0);
}

// ---- one transaction over several databases ----

class MultiDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      VarloTest::CreateDatabase(paths[i], {"CREATE TABLE T (ID INTEGER)"});
      SQLAllocConnect(conns[i]);
      ASSERT_EQ(SQLConnect(conns[i], paths[i], "", ""), 0);
    }
  }
  void TearDown() override {
    for (TIbConnRec*& c : conns) SQLDisconnect(c);
  }
  int64_t Rows(int i) { return RawDb(paths[i]).QueryInt("SELECT COUNT(*) FROM T").value_or(-1); }
  void InsertInBoth() {
    ASSERT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 2, 2), 0);
    ASSERT_NE(conns[0]->TrHandle, 0u);
    ASSERT_EQ(conns[1]->TrHandle, conns[0]->TrHandle);
    for (TIbConnRec* c : conns) ExecOn(c, "INSERT INTO T VALUES (1)");
  }

  VarloTest::TempDir dir;
  std::string paths[2] = {dir.File("a.fdb"), dir.File("b.fdb")};
  TIbConnRec* conns[2] = {};
};

TEST_F(MultiDatabase, CommitsInBothOrRollsBackInBoth) {
  InsertInBoth();
  ASSERT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 1, 2), 0);
  EXPECT_EQ(conns[1]->TrHandle, 0u);
  EXPECT_EQ(Rows(0), 0);
  EXPECT_EQ(Rows(1), 0);

  InsertInBoth();
  ASSERT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 0, 2), 0);
  EXPECT_EQ(conns[0]->TrHandle, 0u);
  EXPECT_EQ(conns[1]->TrHandle, 0u);
  EXPECT_EQ(Rows(0), 1);
  EXPECT_EQ(Rows(1), 1);
}

// Ending a shared transaction through any member ends it for every member: the other then
// starts a transaction of its own with its next statement.
TEST_F(MultiDatabase, EndingThroughAnyMemberEndsItForAll) {
  enum Way { kCommit, kRollback, kDisconnect, kAutoCommit };
  for (Way way : {kCommit, kRollback, kDisconnect, kAutoCommit}) {
    for (int member : {0, 1}) {
      SCOPED_TRACE("way " + std::to_string(way) + " through member " + std::to_string(member));
      for (TIbConnRec* c : conns) {
        ASSERT_EQ(RunSql(c, "DELETE FROM T"), 0);
        ASSERT_EQ(SQLTransact(c, 0), 0);
      }
      InsertInBoth();
      TIbConnRec*& through = conns[member];
      switch (way) {
        case kCommit:
          ASSERT_EQ(SQLTransact(through, 0), 0);
          break;
        case kRollback:
          ASSERT_EQ(SQLTransact(through, 1), 0);
          break;
        case kDisconnect:
          ASSERT_EQ(SQLDisconnect(through), 0);
          break;
        case kAutoCommit:
          ASSERT_EQ(SQLSetConnectOption(through, 102, 1), 0);
          break;
      }
      TIbConnRec* other = conns[1 - member];
      EXPECT_EQ(other->TrHandle, 0u);
      EXPECT_EQ(RunSql(other, "INSERT INTO T VALUES (2)"), 0)
          << VarloTest::ErrorText(other, nullptr);
      EXPECT_EQ(SQLTransact(other, 0), 0);
      const int64_t kept = way == kRollback ? 0 : 1;
      if (way == kDisconnect) {
        SQLAllocConnect(through);
        ASSERT_EQ(SQLConnect(through, paths[member], "", ""), 0);
      }
      ASSERT_EQ(SQLTransact(through, 0), 0);
      EXPECT_EQ(Rows(member), kept);
      EXPECT_EQ(Rows(1 - member), kept + 1);
    }
  }
}

TEST_F(MultiDatabase, CountOneEndsTheLeaderOnly) {
  ASSERT_EQ(SQLTransact(conns[1], 2), 0);
  ExecOn(conns[1], "INSERT INTO T VALUES (1)");
  const isc_tr_handle second = conns[1]->TrHandle;
  ASSERT_EQ(SQLTransactMdb({&conns[0]}, 2, 1), 0);
  ExecOn(conns[0], "INSERT INTO T VALUES (1)");
  ASSERT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 0, 1), 0);
  EXPECT_EQ(conns[1]->TrHandle, second);
  EXPECT_EQ(Rows(0), 1);
  EXPECT_EQ(Rows(1), 0);
  SQLTransact(conns[1], 1);
}

TEST_F(MultiDatabase, BadCountsAreRefusedWithoutAClientCall) {
  ClientSpy spy;
  TIbConnRec* none = nullptr;
  EXPECT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 2, 3), -1);
  EXPECT_EQ(conns[0]->Status[1], isc_bad_db_handle);
  EXPECT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 0, 0), -1);
  EXPECT_EQ(SQLTransactMdb({&conns[0], &none}, 2, 2), -1);
  EXPECT_EQ(SQLTransactMdb({&conns[0], nullptr}, 1, 2), -1);
  EXPECT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 9, 0), 0);  // other codes do nothing
  EXPECT_EQ(spy.TotalCalls(), 0);
  EXPECT_EQ(conns[0]->TrHandle, 0u);
}

TEST_F(MultiDatabase, TheLeadersResultIsSpreadToTheOthers) {
  {
    // No transaction open: the client is asked all the same and says so.
    ClientSpy spy;
    EXPECT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 0, 2), -1);
    EXPECT_EQ(spy.Calls("isc_commit_transaction"), 1);
    EXPECT_EQ(conns[1]->Status[1], conns[0]->Status[1]);
    EXPECT_NE(conns[1]->Status[1], 0);
  }
  InsertInBoth();
  ClientSpy spy;
  spy.FailEntry("isc_commit_transaction");
  EXPECT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 0, 2), -1);
  EXPECT_EQ(std::memcmp(conns[0]->Status, conns[1]->Status, sizeof(conns[0]->Status)), 0);
  EXPECT_EQ(conns[1]->Status[1], isc_random);
  EXPECT_EQ(conns[1]->TrHandle, conns[0]->TrHandle);
  ASSERT_EQ(SQLTransactMdb({&conns[0], &conns[1]}, 1, 2), 0);
}

// ---- over the server ----

class ServerConnections : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(path, {"CREATE TABLE T (ID INTEGER)"}, true);
    SQLAllocConnect(conn);
  }
  void TearDown() override { SQLDisconnect(conn); }

  VarloTest::TempDir dir;
  std::string path = dir.File("server.fdb");
  TIbConnRec* conn = nullptr;
  char text[1024] = {};
};

TEST_F(ServerConnections, TheRightPasswordAttaches) {
  ASSERT_EQ(SQLConnect(conn, VarloTest::ServerName(path), VarloTest::ServerUser(),
                       VarloTest::ServerPassword()),
            0)
      << VarloTest::StatusText(conn->Status);
  ASSERT_EQ(SQLTransact(conn, 2), 0);
  ExecOn(conn, "INSERT INTO T VALUES (1)");
  ASSERT_EQ(SQLTransact(conn, 0), 0);
  RawDb check(VarloTest::ServerName(path), VarloTest::ServerUser(), VarloTest::ServerPassword());
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM T"), 1);
}

TEST_F(ServerConnections, AWrongPasswordIsRefusedWithTheClientsText) {
  EXPECT_EQ(SQLConnect(conn, VarloTest::ServerName(path), VarloTest::ServerUser(), "wrong"), -1);
  SQLError(conn, nullptr, text, sizeof(text));
  EXPECT_EQ(text[0], '|');
  EXPECT_NE(std::string(text).find("password"), std::string::npos) << text;
  EXPECT_EQ(SQLDisconnect(conn), 0);
  EXPECT_EQ(conn, nullptr);
}

TEST_F(ServerConnections, AnUnknownDatabaseIsRefusedWithTheClientsText) {
  EXPECT_EQ(SQLConnect(conn, VarloTest::ServerName(dir.File("missing.fdb")),
                       VarloTest::ServerUser(), VarloTest::ServerPassword()),
            -1);
  SQLError(conn, nullptr, text, sizeof(text));
  EXPECT_EQ(text[0], '|');
  EXPECT_NE(std::string(text).find("missing.fdb"), std::string::npos) << text;
}

}  // namespace
