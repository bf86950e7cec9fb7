// TIBQuery against the real engine and server, with message boxes captured by the handler.
#include <gtest/gtest.h>

#include <chrono>
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

TEST_F(Component, LinesAreJoinedWithATrailingBlankAndCutAt2048) {
  query->connect();
  IBAPI::EntryOverride guard(IBAPI::Entries.isc_dsql_prepare, &RecordPrepare);
  Run("SELECT ID\nFROM T");
  std::string longLine(3000, 'x');
  Framework::TStringList lines;
  lines.Add(longLine);
  query->SetSql(lines);
  query->execSql();
  query->SetSql(Framework::TStringList());
  query->execSql();
  ASSERT_EQ(preparedTexts.size(), 3u);
  EXPECT_EQ(preparedTexts[0], "SELECT ID FROM T ");
  EXPECT_EQ(preparedTexts[1], std::string(2048, 'x'));
  EXPECT_EQ(preparedTexts[2], "");
  // The two refused texts each showed two boxes.
  EXPECT_EQ(boxes.size(), 4u);
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

TEST_F(Component, AFailedAllocationShowsOneBox) {
  query->connect();
  ClientSpy spy;
  spy.FailEntry("isc_dsql_allocate_statement");
  Run("SELECT ID FROM T");
  EXPECT_EQ(Texts(), std::vector<std::string>{"Alloc Stmt Failed: |injected fault"});
  EXPECT_EQ(spy.Calls("isc_dsql_prepare"), 0);
  EXPECT_EQ(spy.Calls("isc_dsql_free_statement"), 0);
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

}  // namespace
