// A small host of the package: it runs statements through a TIBQuery, stores and reloads the
// component as a text form, and reads the rows back through the call-level interface.
//
//   varlo-demo [--db NAME] [--user USER] [--password PASSWORD] [--form FILE | --query SQL]
//
// Without --db it creates an embedded dialect-1 database in a temporary folder and removes it at
// the end. With --form it loads a TIBQuery from a text form file and runs that instead of the
// demonstration. With --query it runs one statement on --db and prints what it returns, for any
// database. Failure boxes go to standard error.
#include <ibase.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <ctime>

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
  std::string db, user, password, form, query;
};

void Usage() {
  std::cout << "usage: varlo-demo [--db NAME] [--user USER] [--password PASSWORD]\n"
               "                  [--form FILE | --query SQL]\n"
               "  --db NAME        database to use (a path, or localhost:/path over the server);\n"
               "                   default: a new embedded database in a temporary folder\n"
               "  --user, --password  credentials for --db\n"
               "  --form FILE      load a TIBQuery from a text form file and run it\n"
               "  --query SQL      run SQL on --db and print what it returns\n";
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

// A blob column's buffer: the package reads a blob whole into it and checks no size, so it is a
// reservation of address space larger than the most any read can write (a total past 2^31 - 1
// ends the read, one segment later). Pages are touched only by what is read and are given back
// after a large blob, so memory stays flat whatever the rows hold.
class BlobBuffer {
 public:
  static constexpr size_t kReserved = (size_t{1} << 31) + (size_t{1} << 17);
  static constexpr size_t kKeep = size_t{1} << 20;

  BlobBuffer() {
    void* p = mmap(nullptr, kReserved, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
  }
  ~BlobBuffer() { munmap(data_, kReserved); }
  BlobBuffer(const BlobBuffer&) = delete;
  BlobBuffer& operator=(const BlobBuffer&) = delete;

  char* Data() const { return data_; }
  // Gives back the pages a blob of length bytes touched, beyond the first MiB.
  void Release(int32_t length) const {
    if (length > static_cast<int32_t>(kKeep)) {
      madvise(data_ + kKeep, static_cast<size_t>(length) - kKeep + 1, MADV_DONTNEED);
    }
  }

 private:
  char* data_ = nullptr;
};

// One result column: its description, the variables bound to it and how its values print.
struct Column {
  static constexpr int32_t kBlobReadSize = 65535;  // the fastest read the client carries
  static constexpr size_t kTextBlobWidth = 40;

  std::string name;
  int16_t type = 0;
  int16_t scale = 0;
  int16_t subType = 0;
  int32_t length = 0;
  size_t width = 0;
  std::vector<char> buffer;
  std::unique_ptr<BlobBuffer> blob;
  uint8_t null = 0;
  int32_t blobLength = 0;

  char* Data() { return blob ? blob->Data() : buffer.data(); }

  // The widest text a value of the column prints as.
  size_t ValueWidth() const {
    switch (type & ~1) {
      case SQL_VARYING:
      case SQL_TEXT:
        return static_cast<size_t>(std::max(length, 1));
      case SQL_LONG:
        return 11;
      case SQL_SHORT:
        return 6;
      case SQL_INT64:
        return 22;  // 19 digits, a sign, a point and a leading zero
      case SQL_DOUBLE:
        return 24;
      case SQL_FLOAT:
        return 15;
      case SQL_TIMESTAMP:
        return 19;
      case SQL_TYPE_DATE:
        return 10;
      case SQL_TYPE_TIME:
        return 13;
      case SQL_BOOLEAN:
        return 5;
      case SQL_BLOB:
        return subType == 1 ? kTextBlobWidth : 16;
      default:
        return 12;
    }
  }

  // The buffer that binding hands to the package: in-place codes need sqllen bytes (and a NUL
  // for text), dates 20 bytes of text.
  void Allocate(int16_t sqllen) {
    switch (IBAPI::KindOf(type)) {
      case IBAPI::TypeKind::Date:
        buffer.resize(20);
        break;
      case IBAPI::TypeKind::Blob:
        blob = std::make_unique<BlobBuffer>();
        blobLength = kBlobReadSize;
        break;
      default:
        buffer.resize(static_cast<size_t>(std::max<int16_t>(sqllen, 8)) + 1);
        break;
    }
  }

  std::string Text() {
    if (null == 1) return "NULL";
    const char* data = Data();
    switch (type & ~1) {
      case SQL_VARYING:
      case SQL_TEXT:
      case SQL_TIMESTAMP:
        return Printable(data, std::strlen(data));
      case SQL_LONG:
        return std::to_string(Read<int32_t>(data));  // the integer part where scaled
      case SQL_SHORT:
        return std::to_string(Read<int16_t>(data));
      case SQL_INT64:
        return Decimal(Read<int64_t>(data), scale);
      case SQL_DOUBLE:
        return Shortest(Read<double>(data));
      case SQL_FLOAT:
        return Shortest(Read<float>(data));
      case SQL_TYPE_DATE: {
        ISC_DATE date = Read<ISC_DATE>(data);
        std::tm t{};
        isc_decode_sql_date(&date, &t);
        return Framework::Format("%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
      }
      case SQL_TYPE_TIME: {
        ISC_TIME time = Read<ISC_TIME>(data);
        std::tm t{};
        isc_decode_sql_time(&time, &t);
        return Framework::Format("%02d:%02d:%02d.%04u", t.tm_hour, t.tm_min, t.tm_sec,
                                 static_cast<unsigned>(time % ISC_TIME_SECONDS_PRECISION));
      }
      case SQL_BOOLEAN:
        return data[0] != 0 ? "TRUE" : "FALSE";
      case SQL_BLOB: {
        if (blobLength < 0) return "<unreadable blob>";
        std::string text = subType == 1 ? Printable(data, static_cast<size_t>(blobLength))
                                        : "<" + std::to_string(blobLength) + " bytes>";
        blob->Release(blobLength);
        if (text.size() > kTextBlobWidth) text = text.substr(0, kTextBlobWidth - 3) + "...";
        return text;
      }
      default:
        return "<type " + std::to_string(type) + ">";
    }
  }

  template <typename T>
  static T Read(const char* data) {
    T value;
    std::memcpy(&value, data, sizeof(value));
    return value;
  }

  // Line breaks and other control characters as blanks, so that a value stays on its row.
  static std::string Printable(const char* text, size_t n) {
    std::string out(text, n);
    for (char& c : out) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return out;
  }

  // A scaled 64-bit integer as a decimal number: 10590000 at scale -2 is 105900.00.
  static std::string Decimal(int64_t value, int16_t scale) {
    if (scale >= 0) {
      std::string digits = std::to_string(value);
      return value == 0 ? digits : digits + std::string(static_cast<size_t>(scale), '0');
    }
    const bool negative = value < 0;
    std::string digits =
        std::to_string(negative ? -static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
    const auto places = static_cast<size_t>(-scale);
    if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
    digits.insert(digits.size() - places, ".");
    return negative ? "-" + digits : digits;
  }

  template <typename F>
  static std::string Shortest(F value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
  }
};

// Prepares and runs a statement through the call-level interface, describes and binds every
// column and prints the rows as they come, under the columns' names. Returns the process result:
// 0, or 1 after printing the error text.
int PrintQuery(const Options& options, const std::string& sql) {
  TIbConnRec* conn = nullptr;
  SQLAllocConnect(conn);
  if (SQLConnect(conn, options.db, options.user, options.password) != 0) {
    std::fprintf(stderr, "connect failed: %s\n", ErrorText(conn, nullptr).c_str());
    SQLDisconnect(conn);
    return 1;
  }
  TIbStmtRec* stmt = nullptr;
  std::vector<std::unique_ptr<Column>> columns;
  std::string error;
  auto fail = [&](TIbStmtRec* s) { error = ErrorText(conn, s); };
  if (SQLAllocStmt(conn, stmt) != 0) {
    fail(nullptr);
  } else if (SQLPrepare(stmt, sql.c_str(), 0) != 0) {
    fail(stmt);
  }
  for (uint8_t n = 1; error.empty(); ++n) {
    auto c = std::make_unique<Column>();
    char name[64];
    if (SQLDescribeCol(stmt, n, name, sizeof(name), nullptr, &c->type, &c->length, &c->scale,
                       nullptr) != 0) {
      break;
    }
    c->name = name;
    const XSQLVAR& var = stmt->OutSqlda->sqlvar[n - 1];
    c->subType = var.sqlsubtype;
    c->Allocate(var.sqllen);
    c->width = std::max({c->name.size(), c->ValueWidth(), size_t{4}});
    if (SQLBindCol(stmt, n, c->type, c->Data(), &c->null, &c->blobLength) != 0) fail(stmt);
    columns.push_back(std::move(c));
    if (n == 255) break;
  }
  if (error.empty() && SQLExecute(stmt) != 0) fail(stmt);

  auto line = [&](auto cell, const char* separator) {
    std::string out;
    for (size_t i = 0; i < columns.size(); ++i) {
      std::string text = cell(*columns[i]);
      if (text.size() > columns[i]->width) text.resize(columns[i]->width);
      out += (i ? separator : "") + text + std::string(columns[i]->width - text.size(), ' ');
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
      line([](Column& c) { return c.Text(); }, " | ");
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
        std::printf("\n");
        result = PrintQuery(options, "SELECT * FROM VARLO_DEMO ORDER BY ID");
        std::printf(
            "NUMERIC columns stored as INTEGER or SMALLINT arrive as their integer part.\n");
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
