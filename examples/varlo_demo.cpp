// A small host of the package: it runs statements through a TIBQuery, stores and reloads the
// component as a text form, and reads the rows back through the call-level interface.
//
//   varlo-demo [--db NAME] [--user USER] [--password PASSWORD] [--form FILE]
//
// Without --db it creates an embedded dialect-1 database in a temporary folder and removes it at
// the end. With --form it loads a TIBQuery from a text form file and runs that instead of the
// demonstration. Failure boxes go to standard error.
#include <ibase.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/IBAPI.h"
#include "framework/Framework.h"
#include "ibdb/IbDB.h"
#include "ibquery/IBQuery.h"

using namespace IbDB;

namespace {

struct Options {
  std::string db, user, password, form;
};

void Usage() {
  std::cout << "usage: varlo-demo [--db NAME] [--user USER] [--password PASSWORD] [--form FILE]\n"
               "  --db NAME        database to use (a path, or localhost:/path over the server);\n"
               "                   default: a new embedded database in a temporary folder\n"
               "  --user, --password  credentials for --db\n"
               "  --form FILE      load a TIBQuery from a text form file and run it\n";
}

bool ParseArgs(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& target) {
      if (i + 1 >= argc) return false;
      target = argv[++i];
      return true;
    };
    if (arg == "--db" && value(options.db)) continue;
    if (arg == "--user" && value(options.user)) continue;
    if (arg == "--password" && value(options.password)) continue;
    if (arg == "--form" && value(options.form)) continue;
    Usage();
    if (arg == "--help" || arg == "-h") return false;
    std::exit(2);
  }
  return true;
}

// The package attaches to existing databases only; the host creates its own with the client.
bool CreateDatabase(const std::string& path) {
  ISC_STATUS status[20];
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;
  std::string sql = "CREATE DATABASE '" + path + "' DEFAULT CHARACTER SET NONE";
  if (isc_dsql_execute_immediate(status, &db, &tr, 0, sql.c_str(), 1, nullptr) != 0) {
    isc_print_status(status);
    return false;
  }
  isc_detach_database(status, &db);
  return true;
}

void RunThrough(IBQuery::TIBQuery& query, const std::string& sql) {
  Framework::TStringList lines;
  lines.SetText(sql);
  query.SetSql(lines);
  query.execSql();
  std::printf("%6d ms  %s\n", query.ExecTime(), sql.c_str());
}

// One result column with the caller variables bound to it.
struct Column {
  std::string name;
  int16_t type = 0;
  int16_t length = 0;
  std::vector<char> buffer;
  uint8_t null = 0;
  int32_t blobLength = 0;

  std::string Text() const {
    if (null == 1) return "NULL";
    const char* data = buffer.data();
    switch (IBAPI::BaseType(type)) {
      case IBAPI::SqlVarying:
      case IBAPI::SqlText:
      case IBAPI::SqlDate:
        return data;
      case IBAPI::SqlLong: {
        int32_t v;
        std::memcpy(&v, data, sizeof(v));
        return std::to_string(v);
      }
      case IBAPI::SqlShort: {
        int16_t v;
        std::memcpy(&v, data, sizeof(v));
        return std::to_string(v);
      }
      case IBAPI::SqlDouble: {
        double v;
        std::memcpy(&v, data, sizeof(v));
        return Framework::Format("%g", v);
      }
      case IBAPI::SqlFloat: {
        float v;
        std::memcpy(&v, data, sizeof(v));
        return Framework::Format("%g", static_cast<double>(v));
      }
      case IBAPI::SqlBlob:
        return blobLength < 0 ? "<unreadable blob>" : "<" + std::to_string(blobLength) + " bytes>";
      default:
        return "<type " + std::to_string(type) + ">";
    }
  }
};

std::string ErrorText(TIbConnRec* conn, TIbStmtRec* stmt) {
  char text[512] = {};
  SQLError(conn, stmt, text, sizeof(text));
  return text;
}

// Describes, binds by type and fetches every row of a select, then prints them as a table.
bool PrintRows(const Options& options, const std::string& select) {
  TIbConnRec* conn = nullptr;
  SQLAllocConnect(conn);
  if (SQLConnect(conn, options.db, options.user, options.password) != 0) {
    std::cerr << "connect failed: " << ErrorText(conn, nullptr) << "\n";
    SQLDisconnect(conn);
    return false;
  }
  TIbStmtRec* stmt = nullptr;
  bool ok = SQLAllocStmt(conn, stmt) == 0 && SQLPrepare(stmt, select.c_str(), 0) == 0;
  std::vector<std::unique_ptr<Column>> columns;
  constexpr size_t kBlobCapacity = 1 << 16;
  for (uint8_t n = 1; ok; ++n) {
    auto c = std::make_unique<Column>();
    if (SQLGetCol(stmt, n, c->type, c->length) == 100) break;
    const XSQLVAR& var = stmt->OutSqlda->sqlvar[n - 1];
    c->name.assign(var.aliasname, static_cast<size_t>(var.aliasname_length));
    switch (IBAPI::KindOf(c->type)) {
      case IBAPI::TypeKind::Date:
        c->buffer.resize(20);
        break;
      case IBAPI::TypeKind::Blob:
        c->buffer.resize(kBlobCapacity);  // the demo's blobs are small
        c->blobLength = c->length;        // the segment size of the column's definition
        break;
      default:
        c->buffer.resize(static_cast<size_t>(var.sqllen) + 1);
        break;
    }
    ok = SQLBindCol(stmt, n, c->type, c->buffer.data(), &c->null, &c->blobLength) == 0;
    columns.push_back(std::move(c));
  }
  std::vector<std::vector<std::string>> rows;
  ok = ok && SQLExecute(stmt) == 0;
  int16_t rc = 0;
  while (ok && (rc = SQLFetch(stmt)) == 0) {
    std::vector<std::string> row;
    for (const auto& c : columns) row.push_back(c->Text());
    rows.push_back(std::move(row));
  }
  if (!ok || rc != 100) std::cerr << "select failed: " << ErrorText(conn, stmt) << "\n";
  if (stmt != nullptr) SQLFreeStmt(stmt, 1);
  SQLTransact(conn, 0);
  SQLDisconnect(conn);

  std::vector<size_t> widths;
  for (const auto& c : columns) widths.push_back(c->name.size());
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t i = 0; i < cells.size(); ++i) {
      out += (i ? " | " : "") + cells[i] + std::string(widths[i] - cells[i].size(), ' ');
    }
    std::printf("%s\n", out.c_str());
  };
  std::vector<std::string> header, rule;
  for (size_t i = 0; i < columns.size(); ++i) {
    header.push_back(columns[i]->name);
    rule.push_back(std::string(widths[i], '-'));
  }
  std::printf("\n");
  line(header);
  line(rule);
  for (const auto& row : rows) line(row);
  std::printf("(%zu rows; scaled NUMERIC columns arrive as their integer part)\n", rows.size());
  return ok && rc == 100;
}

int RunForm(const Options& options) {
  std::ifstream in(options.form);
  if (!in) {
    std::cerr << "cannot read " << options.form << "\n";
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  IBQuery::Register();
  std::unique_ptr<Framework::TComponent> component(
      Framework::ReadComponentText(text.str(), nullptr));
  auto* query = dynamic_cast<IBQuery::TIBQuery*>(component.get());
  if (query == nullptr) {
    std::cerr << options.form << " does not hold a TIBQuery\n";
    return 1;
  }
  if (!options.db.empty()) query->SetDataBaseName(options.db);
  query->connect();
  if (!query->Connected()) return 1;
  query->execSql();
  std::printf("%6d ms  %s", query->ExecTime(), query->Sql().Text().c_str());
  query->Commit();
  query->disconnect();
  return 0;
}

int RunDemo(Options options) {
  std::string tempDir;
  if (options.db.empty()) {
    char pattern[] = "/tmp/varlo-demo.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    tempDir = pattern;
    options.db = tempDir + "/demo.fdb";
    if (!CreateDatabase(options.db)) return 1;
    std::printf("created embedded dialect-1 database %s\n", options.db.c_str());
  }
  int result = 1;
  {
    IBQuery::TIBQuery query(nullptr);
    query.SetName("DemoQuery");
    query.SetDataBaseName(options.db);
    query.SetUserName(options.user);
    query.SetPassword(options.password);
    query.connect();
    if (query.Connected()) {
      std::printf("connected to %s\n\n", options.db.c_str());
      RunThrough(query,
                 "RECREATE TABLE VARLO_DEMO (ID INTEGER NOT NULL, NAME VARCHAR(20), "
                 "CODE CHAR(4), PRICE NUMERIC(9,2), QTY SMALLINT, RATIO DOUBLE PRECISION, "
                 "CREATED DATE, NOTES BLOB SUB_TYPE 0 SEGMENT SIZE 512)");
      query.Commit();
      RunThrough(query,
                 "INSERT INTO VARLO_DEMO VALUES (1, 'Widget', 'W-01', 19.99, 12, 0.25, "
                 "'1998-03-05 07:08:09', 'ten bytes!')");
      RunThrough(query,
                 "INSERT INTO VARLO_DEMO VALUES (2, 'Gadget', 'G-02', 5.50, -3, 1e10, "
                 "'2024-02-29 00:00:00', NULL)");
      RunThrough(query, "INSERT INTO VARLO_DEMO (ID, NAME) VALUES (3, NULL)");
      query.Commit();
      std::printf("committed\n");

      // Store the component as a text form and run the stored copy.
      Framework::TStringList lines;
      lines.Add("INSERT INTO VARLO_DEMO (ID, NAME, CREATED, NOTES)");
      lines.Add("VALUES (4, 'From a form', '0999-06-15 12:00:00', 'a blob written by a form')");
      query.SetSql(lines);
      const std::string form = Framework::WriteComponentText(query);
      std::printf("\nform of the component:\n%s", form.c_str());
      std::string formFile = (tempDir.empty() ? std::string("/tmp") : tempDir) + "/demo.form";
      std::ofstream(formFile) << form;
      query.disconnect();
      Options fromForm = options;
      fromForm.form = formFile;
      result = RunForm(fromForm);
      if (tempDir.empty()) std::remove(formFile.c_str());
      if (result == 0) {
        result = PrintRows(options, "SELECT * FROM VARLO_DEMO ORDER BY ID") ? 0 : 1;
      }
    }
  }
  if (!tempDir.empty()) std::filesystem::remove_all(tempDir);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArgs(argc, argv, options)) return 0;
  try {
    return options.form.empty() ? RunDemo(options) : RunForm(options);
  } catch (const std::exception& e) {
    std::cerr << "varlo-demo: " << e.what() << "\n";
    return 1;
  }
}
