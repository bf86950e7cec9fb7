// A small host of the package: it runs statements through a TIBQuery, stores and reloads the
// component as a text form, and reads the rows back through the call-level interface.
//
//   varlo-demo [--db NAME] [--user USER] [--password PASSWORD] [--charset NAME] [--dialect N]
//              [--form FILE | --query SQL]
//
// Without --db it creates an embedded dialect-1 database in a temporary folder and removes it at
// the end. With --form it loads a TIBQuery from a text form file and runs that instead of the
// demonstration. With --query it runs one statement on --db and prints what it returns, for any
// database, in the database's own SQL dialect unless --dialect forces one, and with text in the
// character set --charset names. Failure boxes go to standard error.
#include <ibase.h>
#include <unistd.h>

#include <algorithm>
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
  std::string db, user, password, form, query, charset, dialect, load;
};

void Usage() {
  std::cout << "usage: varlo-demo [--db NAME] [--user USER] [--password PASSWORD]\n"
               "                  [--charset NAME] [--dialect N]\n"
               "                  [--form FILE | --query SQL [--load FILE]]\n"
               "  --db NAME        database to use (a path, or localhost:/path over the server);\n"
               "                   default: a new embedded database in a temporary folder\n"
               "  --user, --password  credentials for --db\n"
               "  --charset NAME   the connection's character set (UTF8, WIN1251, ...)\n"
               "  --dialect N      prepare --query in SQL dialect 1 or 3, not the database's\n"
               "  --form FILE      load a TIBQuery from a text form file and run it\n"
               "  --query SQL      run SQL on --db and print what it returns\n"
               "  --load FILE      the one parameter of --query: the file's bytes, sent in\n"
               "                   64 KiB pieces (a blob of any size in flat memory)\n";
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
    if (arg == "--query" && value(options.query)) continue;
    if (arg == "--charset" && value(options.charset)) continue;
    if (arg == "--dialect" && value(options.dialect)) continue;
    if (arg == "--load" && value(options.load)) continue;
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

std::string ErrorText(TIbConnRec* conn, TIbStmtRec* stmt) {
  char text[512] = {};
  SQLError(conn, stmt, text, sizeof(text));
  return text;
}

// The number of characters of a text as printed: UTF-8 characters where the text is valid
// UTF-8 (ignoring a character cut at its end), else bytes.
size_t Utf8Prefix(const std::string& text, size_t characters, size_t* count) {
  size_t at = 0, n = 0;
  while (at < text.size() && n < characters) {
    const auto c = static_cast<unsigned char>(text[at]);
    size_t width = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (width == 0) return std::string::npos;
    if (at + width > text.size()) break;  // cut at the end of what was read
    for (size_t k = 1; k < width; ++k) {
      if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) return std::string::npos;
    }
    at += width;
    ++n;
  }
  if (count != nullptr) *count = n;
  return at;
}

size_t DisplayWidth(const std::string& text) {
  size_t n = 0;
  return Utf8Prefix(text, text.size(), &n) == std::string::npos ? text.size() : n;
}

// The first characters of a text, never cutting a UTF-8 character.
std::string FirstCharacters(const std::string& text, size_t characters) {
  const size_t end = Utf8Prefix(text, characters, nullptr);
  return text.substr(0, end == std::string::npos ? characters : end);
}

// One result column: its description, the variables bound to it and how its values print.
struct Column {
  static constexpr size_t kTextBlobWidth = 40;      // characters of a text blob shown
  static constexpr int32_t kBlobPeek = 4 * 40 + 4;  // bytes read of a blob: 40 UTF-8 characters
  static constexpr int kOctets = 1;                 // Firebird's binary character set

  uint8_t number = 0;
  std::string name;
  int16_t type = 0;
  int16_t scale = 0;
  int16_t subType = 0;
  int16_t charset = 0;
  int32_t length = 0;
  size_t width = 0;
  std::vector<char> buffer;
  uint8_t null = 0;
  int32_t valueLength = 0;

  // Binary text (OCTETS) prints as hexadecimal digits, two for each byte.
  bool Hex() const {
    return ((type & ~1) == SQL_VARYING || (type & ~1) == SQL_TEXT) && charset == kOctets;
  }

  // The widest text a value of the column prints as.
  size_t ValueWidth() const {
    switch (type & ~1) {
      case SQL_VARYING:
      case SQL_TEXT:
        return static_cast<size_t>(std::max(length, 1)) * (Hex() ? 2 : 1);
      case SQL_LONG:
        return 12;  // a sign, ten digits and a point where scaled
      case SQL_SHORT:
        return 7;
      case SQL_INT64:
        return 22;  // 19 digits, a sign, a point and a leading zero
      case SQL_DOUBLE:
        return 24;
      case SQL_FLOAT:
        return 15;
      case SQL_TIMESTAMP:
        return 24;
      case SQL_TYPE_DATE:
        return 10;
      case SQL_TYPE_TIME:
        return 13;
      case SQL_BOOLEAN:
        return 5;
      case SQL_BLOB:
        return subType == 1 ? kTextBlobWidth + 3 : 18;  // "<2147483647 bytes>"
      default:
        return 12;
    }
  }

  // Binds the column as text, into a buffer of the size its text needs (binary text as bytes).
  // Blobs, and types that have no text, are bound to nothing: SQLGetData reads what is shown
  // of a blob.
  int32_t Bind(TIbStmtRec* stmt, int16_t sqllen) {
    const int16_t base = static_cast<int16_t>(type & ~1);
    if (base == SQL_BLOB || base == SQL_ARRAY || base == SQL_QUAD) {
      buffer.resize(kBlobPeek + 1);
      return 0;
    }
    const bool text = base == SQL_VARYING || base == SQL_TEXT;
    buffer.resize(text ? static_cast<size_t>(std::max<int16_t>(sqllen, 1)) + 1 : 64);
    return SQLBindCol(stmt, number, Hex() ? CBinary : CChar, buffer.data(),
                      static_cast<int32_t>(buffer.size()), &null, &valueLength);
  }

  std::string Text(TIbStmtRec* stmt) {
    const int16_t base = static_cast<int16_t>(type & ~1);
    if (base == SQL_BLOB) return BlobText(stmt);
    if (base == SQL_ARRAY || base == SQL_QUAD) {  // its id, read only to tell NULL
      int32_t length = 0;
      SQLGetData(stmt, number, CBinary, buffer.data(), static_cast<int32_t>(buffer.size()),
                 &length);
      return length == -1 ? "NULL" : "<type " + std::to_string(type) + ">";
    }
    if (null == 1) return "NULL";
    const auto n = static_cast<size_t>(std::max(valueLength, 0));
    return Hex() ? HexDigits(buffer.data(), n) : Printable(buffer.data(), n);
  }

  // A blob's first piece tells its length and holds what is shown of its text; the rest is
  // never read, so a blob of any size costs one piece.
  std::string BlobText(TIbStmtRec* stmt) {
    int32_t total = 0;
    const int16_t rc = SQLGetData(stmt, number, subType == 1 ? CChar : CBinary, buffer.data(),
                                  static_cast<int32_t>(buffer.size()), &total);
    if (rc != 0 && rc != 1) return "<unreadable blob>";
    if (total == -1) return "NULL";
    // Appended, not "<" + ...: GCC 12's release build sees a false overlap in that insert.
    if (subType != 1) return std::string("<").append(std::to_string(total)).append(" bytes>");
    const std::string read(buffer.data(), static_cast<size_t>(std::min(total, kBlobPeek)));
    std::string text = Printable(read.data(), read.size());
    const std::string shown = FirstCharacters(text, kTextBlobWidth);
    return shown.size() < text.size() || total > kBlobPeek ? shown + "..." : text;
  }

  // Line breaks and other control characters as blanks, so that a value stays on its row.
  static std::string Printable(const char* text, size_t n) {
    std::string out(text, n);
    for (char& c : out) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return out;
  }

  static std::string HexDigits(const char* bytes, size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t k = 0; k < n; ++k) {
      const auto b = static_cast<unsigned char>(bytes[k]);
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
    }
    return out;
  }
};

// Attaches with the options' credentials, dialect and character set. The character set is
// asked for by name: its number comes from the database's own list, read first without one.
int Connect(const Options& options, TIbConnRec*& conn) {
  SQLAllocConnect(conn);
  auto fail = [&](const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), ErrorText(conn, nullptr).c_str());
    SQLDisconnect(conn);
    return 1;
  };
  if (!options.dialect.empty()) {
    const int dialect = std::atoi(options.dialect.c_str());
    if (SQLSetConnectOption(conn, 150, static_cast<uint16_t>(dialect)) != 0) {
      return fail("--dialect " + options.dialect);
    }
  }
  if (!options.charset.empty()) {
    if (SQLConnect(conn, options.db, options.user, options.password) != 0) {
      return fail("connect failed");
    }
    TIbStmtRec* stmt = nullptr;
    int32_t id = -1;
    uint8_t null = 1;
    std::string name = options.charset;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (SQLAllocStmt(conn, stmt) == 0) {
      const std::string sql =
          "SELECT RDB$CHARACTER_SET_ID FROM RDB$CHARACTER_SETS WHERE RDB$CHARACTER_SET_NAME = ?";
      int32_t nameLength = static_cast<int32_t>(name.size());
      uint8_t nameNull = 0;
      int16_t type = 0, len = 0;
      if (SQLPrepare(stmt, sql.c_str(), 0) == 0 && SQLGetCol(stmt, 1, type, len) == 0 &&
          SQLBindCol(stmt, 1, type, &id, 4, &null, nullptr) == 0 &&
          SQLGetParam(stmt, 1, type, len) == 0 &&
          SQLBindParameter(stmt, 1, type, name.data(), nameLength, &nameNull, &nameLength) == 0 &&
          SQLExecute(stmt) == 0 && SQLFetch(stmt) != 0) {
        null = 1;
      }
      SQLFreeStmt(stmt, 1);
    }
    SQLDisconnect(conn);
    SQLAllocConnect(conn);
    if (null != 0 || SQLSetConnectOption(conn, 151, static_cast<uint16_t>(id)) != 0) {
      std::fprintf(stderr, "--charset %s: no such character set\n", options.charset.c_str());
      SQLDisconnect(conn);
      return 1;
    }
    if (!options.dialect.empty()) {
      SQLSetConnectOption(conn, 150, static_cast<uint16_t>(std::atoi(options.dialect.c_str())));
    }
  }
  if (SQLConnect(conn, options.db, options.user, options.password) != 0) {
    return fail("connect failed");
  }
  return 0;
}

// Prepares and runs a statement through the call-level interface, describes and binds every
// column and prints the rows as they come, under the columns' names. Returns the process result:
// 0, or 1 after printing the error text.
// Executes the statement; with a file, its one parameter is the file's bytes, sent at execution
// in 64 KiB pieces, so that a file of any size costs one piece of memory.
int16_t Execute(TIbStmtRec* stmt, const std::string& file, std::string& error) {
  if (file.empty()) return SQLExecute(stmt);
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read " + file;
    return -1;
  }
  if (stmt->InSqlda->sqld != 1) {
    error = "--load needs a statement with one parameter (?)";
    return -1;
  }
  char token = 0;  // names the parameter; never read
  uint8_t isNull = 0;
  int32_t atExecution = -2;
  if (SQLBindParameter(stmt, 1, CBinary, &token, 1, &isNull, &atExecution) != 0) return -1;
  void* named = nullptr;
  int16_t rc = SQLExecute(stmt);
  if (rc == 99) rc = SQLParamData(stmt, &named);
  std::vector<char> piece(64 * 1024);
  long long total = 0;
  while (rc == 99 && in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const auto n = static_cast<int32_t>(in.gcount());
    if (n > 0 && SQLPutData(stmt, piece.data(), n) != 0) return -1;
    total += n;
  }
  if (rc == 99 && in.bad()) {
    SQLCancel(stmt);
    error = "reading " + file + " failed";
    return -1;
  }
  if (rc == 99) rc = SQLParamData(stmt, &named);
  if (rc == 0) std::printf("sent %lld bytes of %s\n", total, file.c_str());
  return rc;
}

int PrintQuery(const Options& options, const std::string& sql) {
  TIbConnRec* conn = nullptr;
  if (Connect(options, conn) != 0) return 1;
  TIbStmtRec* stmt = nullptr;
  std::vector<std::unique_ptr<Column>> columns;
  std::string error;
  auto fail = [&](TIbStmtRec* s) { error = ErrorText(conn, s); };
  if (SQLAllocStmt(conn, stmt) != 0) {
    fail(nullptr);
  } else if (SQLPrepare(stmt, sql.c_str(), 0) != 0) {
    fail(stmt);
  } else if (stmt->OutSqlda->sqld > 255) {
    error = "the statement has " + std::to_string(stmt->OutSqlda->sqld) +
            " columns; the interface numbers columns 1 to 255, so at most 255 can be read";
  }
  for (uint8_t n = 1; error.empty() && n <= stmt->OutSqlda->sqld; ++n) {
    auto c = std::make_unique<Column>();
    char name[64];
    if (SQLDescribeCol(stmt, n, name, sizeof(name), nullptr, &c->type, &c->length, &c->scale,
                       nullptr) != 0) {
      break;
    }
    c->number = n;
    c->name = name;
    const XSQLVAR& var = stmt->OutSqlda->sqlvar[n - 1];
    c->subType = var.sqlsubtype;
    c->charset = static_cast<int16_t>(var.sqlsubtype & 0xFF);
    c->width = std::max({DisplayWidth(c->name), c->ValueWidth(), size_t{4}});
    if (c->Bind(stmt, var.sqllen) != 0) fail(stmt);
    columns.push_back(std::move(c));
    if (n == 255) break;
  }
  if (error.empty() && Execute(stmt, options.load, error) != 0 && error.empty()) fail(stmt);

  auto line = [&](auto cell, const char* separator) {
    std::string out;
    for (size_t i = 0; i < columns.size(); ++i) {
      std::string text = FirstCharacters(cell(*columns[i]), columns[i]->width);
      out += (i ? separator : "") + text +
             std::string(columns[i]->width - std::min(columns[i]->width, DisplayWidth(text)), ' ');
    }
    out.erase(out.find_last_not_of(' ') + 1);
    std::printf("%s\n", out.c_str());
  };
  long rows = 0;
  if (error.empty() && !columns.empty()) {
    line([](Column& c) { return c.name; }, " | ");
    line([](Column& c) { return std::string(c.width, '-'); }, "-+-");
    int16_t rc;
    while ((rc = SQLFetch(stmt)) == 0) {
      line([stmt](Column& c) { return c.Text(stmt); }, " | ");
      ++rows;
    }
    if (rc != 100) fail(stmt);
  }
  if (stmt != nullptr) SQLFreeStmt(stmt, 1);
  if (error.empty() && SQLTransact(conn, 0) != 0) fail(nullptr);
  SQLDisconnect(conn);
  if (!error.empty()) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 1;
  }
  if (columns.empty()) {
    std::printf("statement executed\n");
  } else {
    std::printf("(%ld rows)\n", rows);
  }
  return 0;
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
  Framework::RegisterClass(Framework::TForm::StaticClass());
  std::unique_ptr<Framework::TComponent> component(
      Framework::ReadComponentText(text.str(), nullptr));
  // A TIBQuery, or a form (as a designer saves it) holding one: the first is run.
  auto* query = dynamic_cast<IBQuery::TIBQuery*>(component.get());
  for (int i = 0; query == nullptr && i < component->ComponentCount(); ++i) {
    query = dynamic_cast<IBQuery::TIBQuery*>(component->Components(i));
  }
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
        std::printf("\n");
        result = PrintQuery(options, "SELECT * FROM VARLO_DEMO ORDER BY ID");
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
    if (!options.query.empty()) {
      if (options.db.empty()) {
        std::cerr << "varlo-demo: --query needs --db\n";
        return 2;
      }
      return PrintQuery(options, options.query);
    }
    return options.form.empty() ? RunDemo(options) : RunForm(options);
  } catch (const std::exception& e) {
    std::cerr << "varlo-demo: " << e.what() << "\n";
    return 1;
  }
}
