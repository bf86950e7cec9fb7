// Connections and transactions against the embedded engine and the server.
#include <gtest/gtest.h>

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
  EXPECT_EQ(SQLDisconnect(conn), 0);
  EXPECT_EQ(conn, nullptr);
  EXPECT_EQ(Rows(), 2);
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
  EXPECT_EQ(attachCalls, 3);
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
