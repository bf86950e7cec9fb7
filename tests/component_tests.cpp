// TIBQuery against the real engine and server, with message boxes captured by the handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/IBAPI.h"
#include "framework/Framework.h"
#include "ibquery/IBQuery.h"
#include "tests/support/TestSupport.h"

using IBQuery::TIBQuery;
using VarloTest::ClientSpy;
using VarloTest::RawDb;

namespace {

std::vector<std::string> preparedTexts;
ISC_STATUS ISC_EXPORT RecordPrepare(ISC_STATUS* st, isc_tr_handle* tr, isc_stmt_handle* s,
                                    unsigned short length, const ISC_SCHAR* text,
                                    unsigned short dialect, XSQLDA* out) {
  preparedTexts.emplace_back(text);
  return IBAPI::LinkedEntries().isc_dsql_prepare(st, tr, s, length, text, dialect, out);
}

class Component : public ::testing::Test {
 protected:
  void SetUp() override {
    VarloTest::CreateDatabase(path, {"CREATE TABLE T (ID INTEGER, NAME VARCHAR(10))"});
    previous = Framework::SetMessageBoxHandler([this](const Framework::TMessageBox& box) {
      boxes.push_back(box);
      if (watch != nullptr) dropsAtBox.push_back(watch->Calls("isc_dsql_free_statement"));
      if (boxDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(boxDelayMs));
      return Framework::mrOk;
    });
    query = std::make_unique<TIBQuery>(nullptr);
    query->SetDataBaseName(path);
    preparedTexts.clear();
  }
  void TearDown() override {
    query->disconnect();
    Framework::SetMessageBoxHandler(previous);
  }

  void Run(const std::string& sql) {
    Framework::TStringList lines;
    lines.SetText(sql);
    query->SetSql(lines);
    query->execSql();
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& box : boxes) texts.push_back(box.Text);
    return texts;
  }
  int64_t Rows() { return RawDb(path).QueryInt("SELECT COUNT(*) FROM T").value_or(-1); }

  VarloTest::TempDir dir;
  std::string path = dir.File("component.fdb");
  std::vector<Framework::TMessageBox> boxes;
  int boxDelayMs = 0;
  ClientSpy* watch = nullptr;  // when set, each box records the statement drops made before it
  std::vector<int> dropsAtBox;
  Framework::TMessageBoxHandler previous;
  std::unique_ptr<TIBQuery> query;
};

TEST_F(Component, StartsEmpty) {
  EXPECT_EQ(query->ExecTime(), 0);
  EXPECT_EQ(query->Sql().Count(), 0);
  EXPECT_FALSE(query->Connected());
  query->SetExecTime(1234);
  EXPECT_EQ(query->ExecTime(), 1234);
  Framework::TStringList lines;
  lines.Add("SELECT 1 FROM RDB$DATABASE");
  query->SetSql(lines);
  lines.SetStrings(0, "changed");
  EXPECT_EQ(query->Sql().Strings(0), "SELECT 1 FROM RDB$DATABASE");
  EXPECT_EQ(query->ExecTime(), 1234);
  query->connect();
  query->execSql();
  EXPECT_NE(query->ExecTime(), 1234);
  EXPECT_TRUE(boxes.empty()) << Texts()[0];
}

TEST_F(Component, WorkStaysInTheTransactionUntilCommitRollbackOrDisconnect) {
  query->connect();
  ASSERT_TRUE(query->Connected());
  Run("INSERT INTO T (ID) VALUES (1)");
  Run("INSERT INTO T (ID) VALUES (2)");
  query->Rollback();  // both inserts shared one transaction
  EXPECT_EQ(Rows(), 0);
  Run("INSERT INTO T (ID) VALUES (3)");
  query->Commit();
  EXPECT_EQ(Rows(), 1);
  query->Starttransaction();
  Run("INSERT INTO T (ID) VALUES (4)");
  query->disconnect();
  EXPECT_FALSE(query->Connected());
  EXPECT_EQ(Rows(), 2);
  query->disconnect();  // nothing held: nothing done
  EXPECT_TRUE(boxes.empty()) << Texts()[0];
}

TEST_F(Component, ASecondConnectCallsNothing) {
  query->connect();
  ClientSpy spy;
  query->connect();
  EXPECT_EQ(spy.TotalCalls(), 0);
  query->Commit();
  query->Rollback();  // no transaction open: nothing to do, nothing shown
  EXPECT_EQ(spy.TotalCalls(), 0);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(Component, LinesAreJoinedWholeWithATrailingBlank) {
  query->connect();
  IBAPI::EntryOverride guard(IBAPI::Entries.isc_dsql_prepare, &RecordPrepare);
  Run("SELECT ID\nFROM T");
  Framework::TStringList lines;
  lines.Add(std::string("INSERT INTO T (ID) VALUES (7)\0junk", 34));  // a line ends at its NUL
  lines.Add("");
  query->SetSql(lines);
  query->execSql();
  query->SetSql(Framework::TStringList());
  query->execSql();
  ASSERT_EQ(preparedTexts.size(), 3u);
  EXPECT_EQ(preparedTexts[0], "SELECT ID FROM T ");
  EXPECT_EQ(preparedTexts[1], "INSERT INTO T (ID) VALUES (7)  ");
  EXPECT_EQ(preparedTexts[2], "");
  EXPECT_EQ(boxes.size(), 2u);  // the empty text is refused

  // A long text runs whole: cut, this one would delete every row.
  for (int id = 1; id <= 3; ++id) Run("INSERT INTO T (ID) VALUES (" + std::to_string(id) + ")");
  lines.Clear();
  lines.Add("DELETE FROM T");
  for (int i = 0; i < 2500; ++i) lines.Add(" ");
  lines.Add("WHERE ID = 1");
  query->SetSql(lines);
  query->execSql();
  EXPECT_GT(preparedTexts.back().size(), 5000u);
  EXPECT_EQ(preparedTexts.back().substr(preparedTexts.back().size() - 13), "WHERE ID = 1 ");
  query->Commit();
  EXPECT_EQ(boxes.size(), 2u);
  RawDb check(path);
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM T WHERE ID IN (2, 3, 7)"), 3);
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM T WHERE ID = 1"), 0);
}

TEST_F(Component, ARefusedStatementShowsTwoBoxesWithTheSameText) {
  query->connect();
  Run("SELECT nonsense FROM nowhere");
  ASSERT_EQ(boxes.size(), 2u);
  const std::string& first = boxes[0].Text;
  ASSERT_EQ(first.rfind("Stmt Failed:|Dynamic SQL Error|", 0), 0u) << first;
  EXPECT_EQ(boxes[1].Text, "Query Exe Failed: " + first.substr(std::strlen("Stmt Failed:")));
  for (const auto& box : boxes) {
    EXPECT_EQ(box.DlgType, Framework::mtInformation);
    EXPECT_EQ(box.Buttons, Framework::mbOK);
    EXPECT_EQ(box.HelpCtx, 0);
  }
  // The second box comes after the drop; the next statement's boxes hold only its own text.
  ClientSpy spy;
  watch = &spy;
  Run("SELECT other FROM elsewhere");
  watch = nullptr;
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(dropsAtBox, (std::vector<int>{0, 1}));
  for (size_t i : {2, 3}) {
    EXPECT_NE(boxes[i].Text.find("ELSEWHERE"), std::string::npos) << boxes[i].Text;
    EXPECT_EQ(boxes[i].Text.find("NOWHERE"), std::string::npos) << boxes[i].Text;
  }
}

TEST_F(Component, MarkersFailInExecutionWithTwoBoxes) {
  query->connect();
  Run("INSERT INTO T (ID) VALUES (?)");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].Text, "Stmt Failed:|SQLDA error");
  EXPECT_EQ(boxes[1].Text, "Query Exe Failed: |SQLDA error");
  boxes.clear();
  Run("INSERT INTO T (ID, NAME) VALUES (5, 'what?')");  // a marker only in a literal
  EXPECT_TRUE(boxes.empty());
  query->Commit();
  EXPECT_EQ(Rows(), 1);
}

// A tick counter about to wrap: each reading 16 ms after the one before.
uint32_t nextTick = 0;
uint32_t WrappingTicks() {
  uint32_t tick = nextTick;
  nextTick += 16;
  return tick;
}

TEST_F(Component, AFailedAllocationShowsOneBoxAndStillSetsExecTime) {
  query->connect();
  query->SetExecTime(1234);
  ClientSpy spy;
  spy.FailEntry("isc_dsql_allocate_statement");
  nextTick = 0xFFFFFFF8u;
  Framework::TTickSource clock = Framework::SetTickSource(&WrappingTicks);
  Run("SELECT ID FROM T");
  Framework::SetTickSource(clock);
  EXPECT_EQ(Texts(), std::vector<std::string>{"Alloc Stmt Failed: |injected fault"});
  EXPECT_EQ(spy.Calls("isc_dsql_prepare"), 0);
  EXPECT_EQ(spy.Calls("isc_dsql_free_statement"), 0);
  EXPECT_EQ(query->ExecTime(), 16);  // across the wrap of the tick counter
}

TEST_F(Component, ExecTimeIsTheDifferenceModuloTwoToThe32) {
  query->connect();
  nextTick = 0xFFFFFFF0u;
  Framework::TTickSource clock = Framework::SetTickSource(&WrappingTicks);
  Run("SELECT ID FROM T");
  Framework::SetTickSource(clock);
  EXPECT_EQ(query->ExecTime(), 16);
  EXPECT_TRUE(boxes.empty());
}

// The connection record a TIBQuery attaches: its address is that of its database handle.
IbDB::TIbConnRec* attachedRecord = nullptr;
ISC_STATUS ISC_EXPORT RecordAttachedRecord(ISC_STATUS* st, short length, const ISC_SCHAR* name,
                                           isc_db_handle* db, short dpbLength,
                                           const ISC_SCHAR* dpb) {
  attachedRecord = reinterpret_cast<IbDB::TIbConnRec*>(db);
  return IBAPI::LinkedEntries().isc_attach_database(st, length, name, db, dpbLength, dpb);
}

TEST_F(Component, DestructionLeavesTheConnectionAttached) {
  {
    IBAPI::EntryOverride guard(IBAPI::Entries.isc_attach_database, &RecordAttachedRecord);
    query->connect();
  }
  ASSERT_NE(attachedRecord, nullptr);
  Run("INSERT INTO T (ID) VALUES (1)");
  {
    ClientSpy spy;
    query.reset();
    EXPECT_EQ(spy.TotalCalls(), 0);
  }
  // The record and its transaction are still there: the caller disconnects, which commits.
  EXPECT_NE(attachedRecord->TrHandle, 0u);
  EXPECT_EQ(IbDB::SQLDisconnect(attachedRecord), 0);
  EXPECT_EQ(Rows(), 1);
  query = std::make_unique<TIBQuery>(nullptr);
}

TEST_F(Component, TwoFailuresInARowShowOnlyTheirOwnText) {
  query->connect();
  Run("INSERT INTO T (ID) VALUES (1)");
  ClientSpy spy;
  spy.FailEntry("isc_commit_transaction");
  query->Commit();
  spy.FailEntry("isc_rollback_transaction");
  query->Rollback();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Query Exe Failed: |injected fault",
                                               "Query Exe Failed: |injected fault"}));
  spy.FailEntry("isc_start_multiple");
  query->Rollback();  // the rollback that failed left the transaction open
  query->Starttransaction();
  EXPECT_EQ(boxes.size(), 3u);
}

const char* longFaultText = nullptr;
ISC_STATUS ISC_EXPORT FailWithLongText(ISC_STATUS* st, isc_tr_handle*) {
  const ISC_STATUS vector[] = {
      isc_arg_gds, isc_random, isc_arg_string, reinterpret_cast<ISC_STATUS>(longFaultText),
      isc_arg_gds, isc_random, isc_arg_string, reinterpret_cast<ISC_STATUS>(longFaultText),
      isc_arg_end};
  std::memcpy(st, vector, sizeof(vector));
  return isc_random;
}

TEST_F(Component, ErrorTextStaysWithinItsBuffer) {
  query->connect();
  std::string longText(2000, 'm');
  longFaultText = longText.c_str();
  Run("INSERT INTO T (ID) VALUES (1)");
  {
    IBAPI::EntryOverride guard(IBAPI::Entries.isc_commit_transaction, &FailWithLongText);
    query->Commit();
  }
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text.size(), std::strlen("Query Exe Failed: ") + 511);
  EXPECT_EQ(boxes[0].Text.substr(18, 3), "|mm");
}

TEST_F(Component, ExecTimeCoversTheOpenBoxes) {
  query->connect();
  boxDelayMs = 60;
  Run("SELECT nonsense FROM nowhere");
  EXPECT_EQ(boxes.size(), 2u);
  EXPECT_GE(query->ExecTime(), 110);
  boxDelayMs = 0;
  Run("SELECT ID FROM T");  // rows are not read; no box
  EXPECT_EQ(boxes.size(), 2u);
  EXPECT_LT(query->ExecTime(), 100);
}

TEST_F(Component, WithoutAConnectionEveryOperationSaysSo) {
  ClientSpy spy;
  query->Starttransaction();
  query->Commit();
  query->Rollback();
  Run("SELECT ID FROM T");
  query->disconnect();
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "Query Exe Failed: |not connected", "Query Exe Failed: |not connected",
                         "Query Exe Failed: |not connected", "Alloc Stmt Failed: |not connected"}));
  EXPECT_EQ(spy.TotalCalls(), 0);
}

TEST(ComponentStreaming, ReadsBackTheSevenProperties) {
  auto cls = TIBQuery::StaticClass().PublishedProperties();
  std::vector<std::string> names;
  for (const auto* p : cls) names.push_back(p->Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Tag", "Sql", "DataBaseName", "UserName",
                                             "Password", "ExecTime"}));

  Framework::TComponent form(nullptr);
  form.SetName("Form1");
  auto* q = new TIBQuery(&form);
  q->SetName("IBQuery1");
  q->SetTag(3);
  q->Sql().Add("SELECT 'it''s' FROM RDB$DATABASE");
  q->Sql().Add("");
  q->Sql().Add(std::string("tab\there\xE9"));
  q->SetDataBaseName("localhost:/tmp/x.fdb");
  q->SetUserName("SYSDBA");
  q->SetPassword("");
  q->SetExecTime(17);
  const std::string text = Framework::WriteComponentText(form);
  EXPECT_NE(text.find("    ExecTime = 17\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    Password = ''\n"), std::string::npos) << text;

  IBQuery::Register();
  std::unique_ptr<Framework::TComponent> back(Framework::ReadComponentText(text, nullptr));
  ASSERT_EQ(back->ComponentCount(), 1);
  auto* r = dynamic_cast<TIBQuery*>(back->Components(0));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Name(), "IBQuery1");
  EXPECT_EQ(r->Tag(), 3);
  EXPECT_EQ(r->Sql(), q->Sql());
  EXPECT_EQ(r->DataBaseName(), q->DataBaseName());
  EXPECT_EQ(r->UserName(), "SYSDBA");
  EXPECT_EQ(r->Password(), "");
  EXPECT_EQ(r->ExecTime(), 17);
  EXPECT_FALSE(r->Connected());
  EXPECT_EQ(Framework::WriteComponentText(*back), text);
}

// ---- over the server ----

class ServerComponent : public Component {
 protected:
  void SetUp() override {
    Component::SetUp();
    VarloTest::CreateDatabase(serverPath, {"CREATE TABLE T (ID INTEGER)"}, true);
    query->SetDataBaseName(VarloTest::ServerName(serverPath));
    query->SetUserName(VarloTest::ServerUser());
  }
  std::string serverPath = dir.File("server.fdb");
};

TEST_F(ServerComponent, AWrongPasswordShowsOneBoxAndConnectsNothing) {
  query->SetPassword("wrong");
  query->connect();
  EXPECT_FALSE(query->Connected());
  ASSERT_EQ(boxes.size(), 1u);
  // The exact text the client gives for the same attempt.
  IbDB::TIbConnRec* conn = nullptr;
  IbDB::SQLAllocConnect(conn);
  ASSERT_EQ(IbDB::SQLConnect(conn, query->DataBaseName(), query->UserName(), "wrong"), -1);
  char text[512] = {};
  IbDB::SQLError(conn, nullptr, text, sizeof(text));
  IbDB::SQLDisconnect(conn);
  EXPECT_EQ(boxes[0].Text, std::string("Src Connect Failed: ") + text);
  EXPECT_EQ(boxes[0].Text.substr(0, 21), "Src Connect Failed: |");

  query->SetPassword(VarloTest::ServerPassword());
  query->connect();  // a new record, a new attempt
  EXPECT_TRUE(query->Connected());
  Run("INSERT INTO T (ID) VALUES (1)");
  query->disconnect();
  EXPECT_EQ(boxes.size(), 1u);
  RawDb check(VarloTest::ServerName(serverPath), VarloTest::ServerUser(),
              VarloTest::ServerPassword());
  EXPECT_EQ(check.QueryInt("SELECT COUNT(*) FROM T"), 1);
}

// ---- threads ----

// What one worker did, and the first thing that went wrong.
struct WorkerResult {
  int operations = 0;
  int queryRows = 0;
  int failedStatements = 0;
  int rows[2] = {};  // inserted through the call-level interface: embedded, server
  std::string error;
};

// One thread's work until the deadline: a TIBQuery of its own on the embedded database, and
// call-level connections of its own to the embedded database and to the server.
void Work(int id, const std::string names[2], std::chrono::steady_clock::time_point until,
          WorkerResult& result) {
  auto fail = [&](const std::string& what) {
    if (result.error.empty()) result.error = what;
  };
  TIBQuery query(nullptr);
  query.SetDataBaseName(names[0]);
  query.connect();
  IbDB::TIbConnRec* conns[2] = {};
  IbDB::TIbStmtRec* inserts[2] = {};
  IbDB::TIbStmtRec* counts[2] = {};
  int32_t key = id;
  char name[11] = "cli";
  int32_t counted = 0;
  uint8_t nulls[3] = {};
  for (int c = 0; c < 2; ++c) {
    IbDB::SQLAllocConnect(conns[c]);
    const bool server = c == 1;
    if (IbDB::SQLConnect(conns[c], names[c], server ? VarloTest::ServerUser() : "",
                         server ? VarloTest::ServerPassword() : "") != 0 ||
        IbDB::SQLAllocStmt(conns[c], inserts[c]) != 0 ||
        IbDB::SQLPrepare(inserts[c], "INSERT INTO T (ID, NAME) VALUES (?, ?)", 0) != 0 ||
        IbDB::SQLBindParameter(inserts[c], 1, 496, &key, &nulls[0], nullptr, 0) != 0 ||
        IbDB::SQLBindParameter(inserts[c], 2, 448, name, &nulls[1], nullptr, 0) != 0 ||
        IbDB::SQLAllocStmt(conns[c], counts[c]) != 0 ||
        IbDB::SQLPrepare(counts[c], "SELECT COUNT(*) FROM T WHERE ID = ? AND NAME = 'cli'", 0) !=
            0 ||
        IbDB::SQLBindParameter(counts[c], 1, 496, &key, &nulls[0], nullptr, 0) != 0 ||
        IbDB::SQLBindCol(counts[c], 1, 496, &counted, &nulls[2], nullptr) != 0) {
      fail("setup: " + VarloTest::ErrorText(conns[c], inserts[c]));
    }
  }
  const std::string insert = "INSERT INTO T (ID, NAME) VALUES (" + std::to_string(id) + ", 'q')";
  while (result.error.empty() && std::chrono::steady_clock::now() < until) {
    Framework::TStringList lines;
    lines.Add(insert);
    query.SetSql(lines);
    query.execSql();
    lines.SetStrings(0, "SELECT nonsense FROM nowhere");
    query.SetSql(lines);
    query.execSql();
    query.Commit();
    ++result.queryRows;
    ++result.failedStatements;
    for (int c = 0; c < 2; ++c) {
      IbDB::TIbStmtRec* bad = nullptr;
      if (IbDB::SQLExecute(inserts[c]) != 0 || IbDB::SQLTransact(conns[c], 0) != 0) {
        fail("insert: " + VarloTest::ErrorText(conns[c], inserts[c]));
      }
      ++result.rows[c];
      if (IbDB::SQLExecute(counts[c]) != 0 || IbDB::SQLFetch(counts[c]) != 0 ||
          counted != result.rows[c]) {
        fail("count " + std::to_string(counted) + ": " + VarloTest::ErrorText(conns[c], counts[c]));
      }
      IbDB::SQLFreeStmt(counts[c], 0);
      if (IbDB::SQLAllocStmt(conns[c], bad) != 0 ||
          IbDB::SQLPrepare(bad, "SELECT nonsense FROM nowhere", 0) != -1 ||
          VarloTest::ErrorText(conns[c], bad).find("NOWHERE") == std::string::npos) {
        fail("a failing statement did not fail as it should");
      }
      IbDB::SQLFreeStmt(bad, 1);
      result.operations += 4;
    }
    result.operations += 3;
  }
  for (int c = 0; c < 2; ++c) {
    IbDB::SQLFreeStmt(inserts[c], 1);
    IbDB::SQLFreeStmt(counts[c], 1);
    IbDB::SQLDisconnect(conns[c]);
  }
  query.disconnect();
}

// In a child process of its own (the test below): eight workers, while another thread keeps
// replacing the message-box handler.
TEST(ComponentThreadsChild, EightWorkers) {
  if (!VarloTest::ChildArgument()) GTEST_SKIP() << "runs in a child process";
  constexpr int kWorkers = 8;
  const auto seconds = std::stoi(*VarloTest::ChildArgument());
  VarloTest::TempDir dir;
  const std::string schema = "CREATE TABLE T (ID INTEGER, NAME VARCHAR(10))";
  VarloTest::CreateDatabase(dir.File("embedded.fdb"), {schema});
  VarloTest::CreateDatabase(dir.File("server.fdb"), {schema}, true);
  const std::string names[2] = {dir.File("embedded.fdb"),
                                VarloTest::ServerName(dir.File("server.fdb"))};

  std::atomic<int> boxes{0};
  std::atomic<bool> done{false};
  auto counting = [&](const Framework::TMessageBox& box) {
    if (box.Text.rfind("Stmt Failed:|", 0) == 0 || box.Text.rfind("Query Exe Failed: |", 0) == 0) {
      ++boxes;
    }
    return Framework::mrOk;
  };
  Framework::TMessageBoxHandler previous = Framework::SetMessageBoxHandler(counting);
  std::thread changer([&] {
    while (!done) Framework::SetMessageBoxHandler(counting);
  });
  std::vector<WorkerResult> results(kWorkers);
  std::vector<std::thread> workers;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back(Work, w, names, until, std::ref(results[w]));
  }
  for (std::thread& w : workers) w.join();
  done = true;
  changer.join();
  Framework::SetMessageBoxHandler(previous);

  int operations = 0;
  int failed = 0;
  RawDb embedded(names[0]);
  RawDb server(names[1], VarloTest::ServerUser(), VarloTest::ServerPassword());
  for (int w = 0; w < kWorkers; ++w) {
    const WorkerResult& r = results[w];
    EXPECT_EQ(r.error, "") << "worker " << w;
    EXPECT_GT(r.queryRows, 0);
    const std::string id = std::to_string(w);
    EXPECT_EQ(embedded.QueryInt("SELECT COUNT(*) FROM T WHERE NAME = 'q' AND ID = " + id),
              r.queryRows);
    EXPECT_EQ(embedded.QueryInt("SELECT COUNT(*) FROM T WHERE NAME = 'cli' AND ID = " + id),
              r.rows[0]);
    EXPECT_EQ(server.QueryInt("SELECT COUNT(*) FROM T WHERE NAME = 'cli' AND ID = " + id),
              r.rows[1]);
    operations += r.operations;
    failed += r.failedStatements;
  }
  EXPECT_EQ(boxes, 2 * failed);  // every box whole, none lost, none to the wrong handler
  std::printf("threads: %d workers and a handler changer, %d operations, %d boxes\n", kWorkers,
              operations, boxes.load());
}

TEST(ComponentThreads, EightWorkersShareNothing) {
  VarloTest::ExpectChildPassed(VarloTest::RunChildTest("ComponentThreadsChild.*", "3", 180),
                               "threads:");
}

}  // namespace
