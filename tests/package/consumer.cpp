// A program built against the installed packages: it makes an embedded database, writes rows
// through TIBQuery and the call-level interface and reads them back.
#include <ibase.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "client/IBAPI.h"
#include "framework/Framework.h"
#include "ibdb/IbDB.h"
#include "ibquery/IBQuery.h"

using namespace IbDB;

namespace {

int Fail(const char* what, TIbConnRec* conn, TIbStmtRec* stmt) {
  char text[512] = {};
  SQLError(conn, stmt, text, sizeof(text));
  std::fprintf(stderr, "consumer: %s failed: %s\n", what, text);
  return 1;
}

int Run(const std::string& path) {
  ISC_STATUS status[20];
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;
  const std::string create = "CREATE DATABASE '" + path + "'";
  if (isc_dsql_execute_immediate(status, &db, &tr, 0, create.c_str(), 1, nullptr) != 0) {
    isc_print_status(status);
    return 1;
  }
  isc_detach_database(status, &db);

  IBQuery::TIBQuery query(nullptr);
  query.SetDataBaseName(path);
  query.connect();
  if (!query.Connected()) return 1;
  Framework::TStringList lines;
  lines.Add("CREATE TABLE T (ID INTEGER, NAME VARCHAR(20))");
  query.SetSql(lines);
  query.execSql();
  query.Commit();
  lines.SetStrings(0, "INSERT INTO T VALUES (1, 'from the component')");
  query.SetSql(lines);
  query.execSql();
  query.disconnect();

  TIbConnRec* conn = nullptr;
  TIbStmtRec* stmt = nullptr;
  SQLAllocConnect(conn);
  if (SQLConnect(conn, path, "", "") != 0) return Fail("connect", conn, nullptr);
  if (SQLAllocStmt(conn, stmt) != 0) return Fail("allocate", conn, nullptr);
  if (SQLPrepare(stmt, "INSERT INTO T VALUES (?, ?)", 0) != 0) return Fail("prepare", conn, stmt);
  int32_t id = 2;
  char name[21] = "from the interface";
  uint8_t nulls[2];
  SQLBindParameter(stmt, 1, 496, &id, &nulls[0], nullptr, 0);
  SQLBindParameter(stmt, 2, 448, name, &nulls[1], nullptr, 0);
  if (SQLExecute(stmt) != 0) return Fail("insert", conn, stmt);
  if (SQLPrepare(stmt, "SELECT ID, NAME FROM T ORDER BY ID", 0) != 0) {
    return Fail("prepare", conn, stmt);
  }
  char column[32];
  SQLDescribeCol(stmt, 2, column, sizeof(column), nullptr, nullptr, nullptr, nullptr, nullptr);
  SQLBindCol(stmt, 1, 496, &id, &nulls[0], nullptr);
  SQLBindCol(stmt, 2, 448, name, &nulls[1], nullptr);
  if (SQLExecute(stmt) != 0) return Fail("select", conn, stmt);
  int rows = 0;
  while (SQLFetch(stmt) == 0) {
    std::printf("%d %s %s\n", id, column, name);
    ++rows;
  }
  SQLFreeStmt(stmt, 1);
  SQLDisconnect(conn);
  if (rows != 2) {
    std::fprintf(stderr, "consumer: %d rows instead of 2\n", rows);
    return 1;
  }
  std::printf("consumer: ok (XSQLDA_LENGTH(5) = %zu)\n", IBAPI::XSQLDA_LENGTH(5));
  return 0;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/varlo-consumer.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  int result = Run(std::string(pattern) + "/consumer.fdb");
  std::filesystem::remove_all(pattern);
  return result;
}
