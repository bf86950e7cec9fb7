// Bounded waits: SQLCancel from another thread, the query timeout against a live and a frozen
// server, and the login timeout against hosts that never answer. Every test that could hang
// runs in a child process with a deadline.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;
using VarloTest::ErrorText;
using VarloTest::QueryText;

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A request that runs for minutes unless something stops it; it inserts a row first, which a
// stopped request must not leave behind.
constexpr const char* kEndless =
    "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN INSERT INTO T VALUES (99); "
    "WHILE (I < 2000000000) DO I = I + 1; END";
// A short one, a few milliseconds.
constexpr const char* kShort =
    "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < 20000) DO I = I + 1; END";

// A database with table T holding one committed row, embedded or through the server; and a
// connection to it.
struct Target {
  explicit Target(bool server) : server(server) {
    VarloTest::CreateDatabase(path, {"CREATE TABLE T (ID INTEGER)", "INSERT INTO T VALUES (1)"},
                              server);
    name = server ? VarloTest::ServerName(path) : path;
  }
  TIbConnRec* Connect(const std::string& through = "") const {
    TIbConnRec* conn = nullptr;
    SQLAllocConnect(conn);
    const std::string user = server ? VarloTest::ServerUser() : "";
    const std::string password = server ? VarloTest::ServerPassword() : "";
    EXPECT_EQ(SQLConnect(conn, through.empty() ? name : through, user, password), 0)
        << ErrorText(conn, nullptr);
    return conn;
  }
  VarloTest::TempDir dir;
  std::string path = dir.File("wait.fdb");
  std::string name;
  bool server;
};

TIbStmtRec* Prepared(TIbConnRec* conn, const char* sql) {
  TIbStmtRec* stmt = nullptr;
  EXPECT_EQ(SQLAllocStmt(conn, stmt), 0);
  EXPECT_EQ(SQLPrepare(stmt, sql, 0), 0) << ErrorText(conn, stmt);
  return stmt;
}

bool ServerKind() {
  return VarloTest::ChildArgument().value_or("") == "server";
}

// ---- SQLCancel ----

TEST(CancelChild, FromAnotherThread) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  Target target(ServerKind());
  TIbConnRec* conn = target.Connect();
  TIbStmtRec* endless = Prepared(conn, kEndless);

  // A running request returns at once; its work is undone, the connection goes on.
  int16_t cancelled = 7;
  std::thread canceller([&] {
    // Once the request runs (a loaded machine may take a while to start it).
    while (std::atomic_ref<uint32_t>(conn->State.Running).load() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancelled = SQLCancel(endless);
  });
  const auto start = Clock::now();
  EXPECT_EQ(SQLExecute(endless), -1);
  const double seconds = Since(start);
  canceller.join();
  EXPECT_EQ(cancelled, 0);
  EXPECT_LT(seconds, 3.0);
  EXPECT_EQ(ErrorText(conn, endless), "|operation was cancelled");
  EXPECT_EQ(QueryText(conn, "SELECT COUNT(*) FROM T"), "496 1");  // in the same transaction
  EXPECT_EQ(SQLTransact(conn, 0), 0);

  // With nothing running: 0, and the next call is not affected.
  EXPECT_EQ(SQLCancel(endless), 0);
  EXPECT_EQ(QueryText(conn, "SELECT COUNT(*) FROM T"), "496 1");
  SQLFreeStmt(endless, 1);

  // A cancel racing the end of a short request: either may win, and the next call never pays.
  // The cancels aim at the last part of the request, where one may arrive too late for it.
  TIbStmtRec* brief = Prepared(conn, kShort);
  const auto timed = Clock::now();
  for (int k = 0; k < 5; ++k) ASSERT_EQ(SQLExecute(brief), 0);
  const auto length = static_cast<int>(Since(timed) / 5 * 1e6);  // microseconds
  std::mt19937 random(7);
  int stopped = 0, finished = 0, closed = 0;
  for (int round = 0; round < 1000; ++round) {
    const int delay = length / 2 + static_cast<int>(random() % static_cast<unsigned>(length));
    std::thread racer([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      EXPECT_EQ(SQLCancel(brief), 0);
    });
    const auto start = Clock::now();
    const int16_t rc = SQLExecute(brief);
    racer.join();
    EXPECT_LT(Since(start), 3.0);
    if (rc == 0) {
      ++finished;
    } else if (conn->State.Lost != 0) {
      // Over the network the server now and then drops the answer to a request a cancel met
      // at its end; past the grace the package closed the connection's side: a new one.
      ++closed;
      SQLFreeStmt(brief, 1);
      SQLDisconnect(conn);
      conn = target.Connect();
      brief = Prepared(conn, kShort);
      continue;
    } else {
      EXPECT_EQ(ErrorText(conn, brief), "|operation was cancelled");
      ++stopped;
    }
    ASSERT_EQ(QueryText(conn, "SELECT COUNT(*) FROM T"), "496 1") << "round " << round;
  }
  EXPECT_LE(closed, 10);
  EXPECT_EQ(SQLTransact(conn, 0), 0);
  std::printf(
      "cancel: first request stopped after %.3f s; race: %d stopped, %d finished, %d closed "
      "(%d us)\n",
      seconds, stopped, finished, closed, length);

  // A dropped statement is out of reach: nothing is sent.
  SQLFreeStmt(brief, 1);
  EXPECT_EQ(SQLCancel(brief), -1);
  EXPECT_EQ(SQLCancel(nullptr), -1);
  EXPECT_EQ(SQLDisconnect(conn), 0);
}

TEST(Cancel, StopsARunningRequestEmbedded) {
  VarloTest::ExpectChildPassed(VarloTest::RunChildTest("CancelChild.*", "embedded", 120),
                               "cancel:");
}

TEST(Cancel, StopsARunningRequestOverTheServer) {
  VarloTest::ExpectChildPassed(VarloTest::RunChildTest("CancelChild.*", "server", 120), "cancel:");
}

// A client cancel that waits on its connection (as it does on a server that stopped reading)
// holds that call only: SQLCancel returns at once, another connection's calls go on.
ISC_STATUS StalledCancel(ISC_STATUS* status, isc_db_handle* db, unsigned short kind) {
  if (kind == fb_cancel_raise) std::this_thread::sleep_for(std::chrono::seconds(2));
  return IBAPI::LinkedEntries().fb_cancel_operation(status, db, kind);
}

TEST(Cancel, AStalledCancelHoldsNothingButItsCall) {
  Target target(false);
  TIbConnRec* running = target.Connect();
  TIbConnRec* other = target.Connect();
  TIbStmtRec* endless = Prepared(running, kEndless);
  IBAPI::EntryOverride guard(IBAPI::Entries.fb_cancel_operation, &StalledCancel);
  std::thread call([&] { EXPECT_EQ(SQLExecute(endless), -1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = Clock::now();
  EXPECT_EQ(SQLCancel(endless), 0);
  EXPECT_EQ(QueryText(other, "SELECT COUNT(*) FROM T"), "496 1");
  EXPECT_LT(Since(start), 0.5);
  call.join();
  SQLFreeStmt(endless, 1);
  SQLDisconnect(running);
  SQLDisconnect(other);
}

// ---- the query timeout ----

TEST(QueryTimeoutChild, LiveServer) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  Target target(ServerKind());
  TIbConnRec* conn = target.Connect();
  TIbStmtRec* endless = Prepared(conn, kEndless);
  ASSERT_EQ(SQLSetStmtOption(endless, 0, 1), 0);
  EXPECT_EQ(SQLSetStmtOption(endless, 77, 5), 0);  // unknown options change nothing
  EXPECT_EQ(SQLSetStmtOption(nullptr, 0, 1), -1);
  const auto start = Clock::now();
  EXPECT_EQ(SQLExecute(endless), -1);
  const double seconds = Since(start);
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 2.5);
  EXPECT_EQ(ErrorText(conn, endless), "|operation was cancelled");
  EXPECT_EQ(QueryText(conn, "SELECT COUNT(*) FROM T"), "496 1");
  // A fetch is bounded as well.
  TIbStmtRec* slow = Prepared(conn,
                              "SELECT COUNT(*) FROM RDB$TYPES A, RDB$TYPES B, RDB$TYPES C, "
                              "RDB$TYPES D");
  ASSERT_EQ(SQLSetStmtOption(slow, 0, 1), 0);
  int32_t count = 0;
  uint8_t null = 0;
  ASSERT_EQ(SQLBindCol(slow, 1, 496, &count, 4, &null, nullptr), 0);
  const auto fetchStart = Clock::now();
  const int16_t executed = SQLExecute(slow);
  EXPECT_EQ(executed == 0 ? SQLFetch(slow) : executed, -1);
  EXPECT_LT(Since(fetchStart), 2.5);
  EXPECT_EQ(SQLTransact(conn, 0), 0);
  std::printf("query timeout 1 s: cancelled after %.3f s\n", seconds);
  if (target.server) {
    // A server busy undoing answers when asked, and its connection is kept however long the
    // undo takes; one that never cancels its work (a sort) is cut at the grace.
    constexpr const char* kCross = "FROM RDB$TYPES A, RDB$TYPES B, RDB$TYPES C";
    TIbStmtRec* insert =
        Prepared(conn, (std::string("INSERT INTO T SELECT A.RDB$TYPE ") + kCross).c_str());
    ASSERT_EQ(SQLSetStmtOption(insert, 0, 2), 0);
    const auto insertStart = Clock::now();
    EXPECT_EQ(SQLExecute(insert), -1);
    std::printf("insert cancelled at 2 s: ended after %.3f s\n", Since(insertStart));
    EXPECT_EQ(ErrorText(conn, insert), "|operation was cancelled");
    EXPECT_EQ(QueryText(conn, "SELECT COUNT(*) FROM T"), "496 1");
    SQLFreeStmt(insert, 1);
    ASSERT_EQ(SQLSetConnectOption(conn, 153, 1), 0);
    TIbStmtRec* sort = Prepared(conn, (std::string("SELECT A.RDB$TYPE_NAME ") + kCross +
                                       " ORDER BY C.RDB$TYPE_NAME, B.RDB$TYPE, A.RDB$TYPE")
                                          .c_str());
    ASSERT_EQ(SQLSetStmtOption(sort, 0, 1), 0);
    const auto sortStart = Clock::now();
    const int16_t sorted = SQLExecute(sort);
    EXPECT_EQ(sorted == 0 ? SQLFetch(sort) : sorted, -1);
    std::printf("uncancelled sort, grace 1 s: ended after %.3f s\n", Since(sortStart));
    EXPECT_LT(Since(sortStart), 3.5);
    EXPECT_NE(conn->State.Lost, 0);
    SQLFreeStmt(sort, 1);
  }
  SQLFreeStmt(slow, 1);
  SQLFreeStmt(endless, 1);
  EXPECT_EQ(SQLDisconnect(conn), 0);
#if defined(__SANITIZE_THREAD__)
  return;  // ThreadSanitizer starts no thread in a forked child
#endif
  if (!target.server) return;
  // A forked child has no timer thread of the parent's: its own starts for its first deadline.
  const pid_t pid = fork();
  if (pid == 0) {
    TIbStmtRec* stmt = Prepared(target.Connect(), kEndless);
    SQLSetStmtOption(stmt, 0, 1);
    const auto start = Clock::now();
    _exit(SQLExecute(stmt) == -1 && Since(start) < 2.5 ? 0 : 1);
  }
  int status = -1;
  for (int k = 0; k < 2000 && waitpid(pid, &status, WNOHANG) == 0; ++k) usleep(10000);
  if (status == -1) kill(pid, SIGKILL);  // still running after 20 s
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the forked child's timeout";
}

TEST(QueryTimeout, EndsALongRequestOnALiveServer) {
  VarloTest::ExpectChildPassed(
      VarloTest::RunChildTest("QueryTimeoutChild.LiveServer", "server", 60), "query timeout");
  VarloTest::ExpectChildPassed(
      VarloTest::RunChildTest("QueryTimeoutChild.LiveServer", "embedded", 60), "query timeout");
}

// A server that stops answering: the cancel cannot reach it, so the connection's side is
// closed after the grace; the attachment is lost, its work committed before stays.
TEST(QueryTimeoutChild, FrozenServer) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  Target target(true);
  VarloTest::TcpProxy proxy;
  double longest = 0, longestDisconnect = 0;
  int descriptors = 0;
  for (int cycle = 0; cycle < 20; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    TIbConnRec* conn = target.Connect(proxy.Name(target.path));
    TIbStmtRec* insert = Prepared(conn, "INSERT INTO T VALUES (2)");
    ASSERT_EQ(SQLExecute(insert), 0);
    ASSERT_EQ(SQLTransact(conn, 0), 0);
    TIbStmtRec* select = Prepared(conn, "SELECT COUNT(*) FROM T");
    ASSERT_EQ(SQLSetStmtOption(select, 0, 1), 0);
    int32_t count = 0;
    uint8_t null = 0;
    ASSERT_EQ(SQLBindCol(select, 1, 496, &count, 4, &null, nullptr), 0);
    proxy.Pause();
    // The client may defer the execute to the fetch: one of them waits, and is ended.
    const auto start = Clock::now();
    const int16_t executed = SQLExecute(select);
    EXPECT_EQ(executed == 0 ? SQLFetch(select) : executed, -1);
    const double seconds = Since(start);
    longest = std::max(longest, seconds);
    // The timeout, a second before the server is asked whether it answers, a second's wait.
    EXPECT_GE(seconds, 2.9);
    EXPECT_LT(seconds, 4.0);
    const std::string lost = ErrorText(conn, select);
    EXPECT_FALSE(lost.empty());
    EXPECT_EQ(SQLFetch(select), -1);  // recorded: refused at once with the same text
    EXPECT_EQ(ErrorText(conn, select), lost);
    EXPECT_EQ(SQLFreeStmt(select, 1), 0);
    EXPECT_EQ(SQLFreeStmt(insert, 1), 0);
    const auto disconnect = Clock::now();
    EXPECT_EQ(SQLDisconnect(conn), 0);
    longestDisconnect = std::max(longestDisconnect, Since(disconnect));
    proxy.Resume();
    EXPECT_TRUE(proxy.WaitIdle(5));  // the closed side reaches the server
    if (cycle == 0) descriptors = VarloTest::OpenDescriptors();
  }
  EXPECT_LT(longestDisconnect, 1.0);
  // The engine's own files may close meanwhile (its plugin is unloaded when unused).
  EXPECT_LE(VarloTest::OpenDescriptors(), descriptors) << "descriptors left behind";
  // A prepare whose text fills the socket of the frozen server ends by its deadline.
  TIbConnRec* stalled = target.Connect(proxy.Name(target.path));
  TIbStmtRec* big = nullptr;
  ASSERT_EQ(SQLAllocStmt(stalled, big), 0);
  ASSERT_EQ(SQLSetStmtOption(big, 0, 1), 0);
  const std::string text = "SELECT 1 FROM RDB$DATABASE /*" + std::string(32 << 20, 'x') + "*/";
  proxy.Pause();
  const auto prepareStart = Clock::now();
  EXPECT_EQ(SQLPrepare(big, text.c_str(), 0), -1);
  EXPECT_LT(Since(prepareStart), 4.5);
  SQLFreeStmt(big, 1);
  SQLDisconnect(stalled);
  proxy.Resume();
  // A commit bounded by the connection timeout, cut by the abort, may have committed or not,
  // and says so.
  TIbConnRec* conn = target.Connect(proxy.Name(target.path));
  ASSERT_EQ(SQLSetConnectOption(conn, 113, 1), 0);
  TIbStmtRec* insert = Prepared(conn, "INSERT INTO T VALUES (3)");
  ASSERT_EQ(SQLExecute(insert), 0);
  proxy.Pause();
  const auto commitStart = Clock::now();
  EXPECT_EQ(SQLTransact(conn, 0), -1);
  EXPECT_LT(Since(commitStart), 4.0);
  EXPECT_NE(ErrorText(conn, nullptr).find("outcome of the commit or rollback is unknown"),
            std::string::npos)
      << ErrorText(conn, nullptr);
  SQLDisconnect(conn);
  proxy.Resume();
  // So is a commit over two connections, each member by its own option.
  TIbConnRec* first = target.Connect(proxy.Name(target.path));
  TIbConnRec* second = target.Connect(proxy.Name(target.path));
  ASSERT_EQ(SQLSetConnectOption(first, 113, 1) + SQLSetConnectOption(second, 113, 1), 0);
  ASSERT_EQ(SQLTransactMdb({&first, &second}, 2, 2), 0);
  proxy.Pause();
  const auto mdbStart = Clock::now();
  EXPECT_EQ(SQLTransactMdb({&first, &second}, 0, 2), -1);
  EXPECT_LT(Since(mdbStart), 4.0);
  SQLDisconnect(first);
  SQLDisconnect(second);
  proxy.Resume();
  VarloTest::RawDb check(target.name, VarloTest::ServerUser(), VarloTest::ServerPassword());
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM T WHERE ID = 2"), 20);
  std::printf("frozen server: 20 cycles, longest call %.3f s, longest disconnect %.3f s\n", longest,
              longestDisconnect);
}

TEST(QueryTimeout, ClosesTheConnectionToAFrozenServer) {
  VarloTest::ExpectChildPassed(VarloTest::RunChildTest("QueryTimeoutChild.FrozenServer", "1", 180),
                               "frozen server:");
}

// ---- the login timeout ----

std::atomic<int> detached{0};

ISC_STATUS SlowAttach(ISC_STATUS* status, short length, const ISC_SCHAR* name, isc_db_handle* db,
                      short dpbLength, const ISC_SCHAR* dpb) {
  std::this_thread::sleep_for(std::chrono::seconds(3));
  return IBAPI::LinkedEntries().isc_attach_database(status, length, name, db, dpbLength, dpb);
}

ISC_STATUS CountedDetach(ISC_STATUS* status, isc_db_handle* db) {
  ++detached;
  return IBAPI::LinkedEntries().isc_detach_database(status, db);
}

TEST(LoginTimeoutChild, HostsThatNeverAnswer) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  Target target(true);
  TIbConnRec* conn = nullptr;
  SQLAllocConnect(conn);
  ASSERT_EQ(SQLSetConnectOption(conn, 103, 2), 0);
  for (bool dropRequests : {false, true}) {
    SCOPED_TRACE(dropRequests ? "requests dropped" : "accepted, never answered");
    VarloTest::SilentListener listener(dropRequests);
    const auto start = Clock::now();
    EXPECT_EQ(SQLConnect(conn, listener.Name("/nowhere.fdb"), "u", "p"), -1);
    const double seconds = Since(start);
    EXPECT_GE(seconds, 1.5);
    EXPECT_LE(seconds, 3.0);  // the timeout and one second
    const std::string text = ErrorText(conn, nullptr);
    EXPECT_FALSE(text.empty());
    std::printf("login timeout 2 s, %s: failed after %.3f s with %s\n",
                dropRequests ? "requests dropped" : "silent listener", seconds, text.c_str());
  }
  // A port nobody listens on refuses at once, and says so.
  const auto refusedStart = Clock::now();
  EXPECT_EQ(SQLConnect(conn, "127.0.0.1/1:/nowhere.fdb", "u", "p"), -1);
  EXPECT_LT(Since(refusedStart), 1.0);
  EXPECT_NE(ErrorText(conn, nullptr).find("Connection refused"), std::string::npos)
      << ErrorText(conn, nullptr);
  // An attach that stalls once connected (a server that stops answering midway, or busy) ends
  // by the deadline too; the attachment it makes later is detached.
  {
    IBAPI::EntryOverride slow(IBAPI::Entries.isc_attach_database, &SlowAttach);
    IBAPI::EntryOverride counted(IBAPI::Entries.isc_detach_database, &CountedDetach);
    const auto stalledStart = Clock::now();
    EXPECT_EQ(SQLConnect(conn, target.name, VarloTest::ServerUser(), VarloTest::ServerPassword()),
              -1);
    EXPECT_LT(Since(stalledStart), 2.5);
    EXPECT_EQ(ErrorText(conn, nullptr).substr(0, 1) +
                  ErrorText(conn, nullptr).substr(ErrorText(conn, nullptr).rfind('|')),
              "||login timeout of 2 s expired");
    for (int k = 0; k < 100 && detached == 0; ++k) usleep(50000);
    EXPECT_EQ(detached, 1);
  }
  // The record connects afterwards.
  EXPECT_EQ(SQLConnect(conn, target.name, VarloTest::ServerUser(), VarloTest::ServerPassword()), 0)
      << ErrorText(conn, nullptr);
  EXPECT_EQ(QueryText(conn, "SELECT COUNT(*) FROM T"), "496 1");
  EXPECT_EQ(SQLDisconnect(conn), 0);
}

TEST(LoginTimeout, BoundsTheAttachToAHostThatNeverAnswers) {
  VarloTest::ExpectChildPassed(VarloTest::RunChildTest("LoginTimeoutChild.*", "1", 60),
                               "login timeout");
}

}  // namespace
