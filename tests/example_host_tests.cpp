// The example host as a query tool: its rendering of every table of Firebird's example database
// against what isql-fb prints for the same query.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;
using VarloTest::RawDb;

namespace {

// Runs a shell command and returns what it printed on standard output.
std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Trim(std::string s) {
  size_t end = s.find_last_not_of(' ');
  s.erase(end == std::string::npos ? 0 : end + 1);
  size_t start = s.find_first_not_of(' ');
  return start == std::string::npos ? "" : s.substr(start);
}

// What the example host printed: the header, then the rows cut at the columns of the rule line.
std::vector<std::vector<std::string>> HostRows(const std::string& text, size_t columns) {
  std::vector<std::string> lines = Lines(text);
  std::vector<std::vector<std::string>> rows;
  if (lines.size() < 2) return rows;
  std::vector<std::pair<size_t, size_t>> ranges;
  const std::string& rule = lines[1];
  for (size_t start = 0; start < rule.size();) {
    size_t end = rule.find("-+-", start);
    if (end == std::string::npos) end = rule.size();
    ranges.emplace_back(start, end - start);
    start = end + 3;
  }
  EXPECT_EQ(ranges.size(), columns) << rule;
  for (size_t i = 2; i < lines.size() && lines[i].rfind("(", 0) != 0; ++i) {
    std::vector<std::string> row;
    for (auto [start, width] : ranges) {
      row.push_back(Trim(start < lines[i].size() ? lines[i].substr(start, width) : ""));
    }
    rows.push_back(row);
  }
  return rows;
}

// What isql-fb printed in list mode: one "NAME value" line per column, the text of a text blob
// on the lines after its id.
std::vector<std::vector<std::string>> IsqlRows(const std::string& text,
                                               const std::vector<std::string>& names,
                                               const std::vector<bool>& textBlob) {
  std::vector<std::vector<std::string>> rows;
  auto startsWith = [](const std::string& line, const std::string& name) {
    return line.rfind(name, 0) == 0 && (line.size() == name.size() || line[name.size()] == ' ');
  };
  std::vector<std::string> lines = Lines(text);
  size_t i = 0;
  while (i < lines.size()) {
    if (!startsWith(lines[i], names[0])) {
      ++i;
      continue;
    }
    std::vector<std::string> row;
    for (size_t c = 0; c < names.size() && i < lines.size(); ++c) {
      EXPECT_TRUE(startsWith(lines[i], names[c])) << lines[i];
      std::string value = Trim(lines[i].substr(names[c].size()));
      ++i;
      if (textBlob[c] && value != "<null>") {
        // The text runs up to the next column's line, or the next row's.
        const std::string& next = c + 1 < names.size() ? names[c + 1] : names[0];
        std::string joined;
        for (; i < lines.size() && !startsWith(lines[i], next); ++i) joined += lines[i] + ' ';
        value = Trim(joined);
      }
      row.push_back(value);
    }
    rows.push_back(row);
  }
  return rows;
}

// "1988-12-28 00:00:00.0000" as this package writes a timestamp: "12/28/1988 00:00:00".
std::string PackageDateText(const std::string& iso) {
  if (iso.size() < 19) return iso;
  return iso.substr(5, 2) + "/" + iso.substr(8, 2) + "/" + iso.substr(0, 4) + " " +
         iso.substr(11, 8);
}

bool NearlyEqual(const std::string& a, const std::string& b, double tolerance) {
  double x = std::strtod(a.c_str(), nullptr);
  double y = std::strtod(b.c_str(), nullptr);
  return std::fabs(x - y) <= tolerance * std::max({std::fabs(x), std::fabs(y), 1e-300});
}

std::string ExampleDatabaseScript() {
  for (const char* path : {"/usr/share/doc/firebird3.0-common-doc/examples/employee.sql.gz",
                           "/usr/share/doc/firebird3.0-examples/examples/employee.sql.gz"}) {
    if (std::filesystem::exists(path)) return path;
  }
  return "";
}

TEST(ExampleHost, RendersEveryTableOfTheExampleDatabaseAsIsqlDoes) {
  const std::string script = ExampleDatabaseScript();
  if (script.empty()) GTEST_SKIP() << "the firebird3.0-examples package is not installed";
  VarloTest::TempDir dir;
  Output("cd " + dir.Path() + " && zcat " + script + " | isql-fb -b -q 2>&1");
  const std::string db = dir.File("employee.fdb");
  ASSERT_TRUE(std::filesystem::exists(db)) << "isql-fb did not make the example database";

  // The tables and their columns as the package describes them, and their row counts; then
  // nothing stays attached, since an embedded database opens in one process at a time.
  struct Table {
    std::string name;
    int64_t rows = 0;
    std::vector<std::string> names;
    std::vector<int16_t> types;
    std::vector<bool> textBlob;
  };
  std::vector<Table> tables;
  {
    TIbConnRec* conn = nullptr;
    TIbStmtRec* stmt = nullptr;
    SQLAllocConnect(conn);
    ASSERT_EQ(SQLConnect(conn, db, "", ""), 0);
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
    ASSERT_EQ(SQLPrepare(stmt,
                         "SELECT RDB$RELATION_NAME FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0 "
                         "AND RDB$VIEW_BLR IS NULL ORDER BY 1",
                         0),
              0);
    char name[64];
    uint8_t null;
    ASSERT_EQ(SQLBindCol(stmt, 1, 452, name, &null, nullptr), 0);
    ASSERT_EQ(SQLExecute(stmt), 0);
    while (SQLFetch(stmt) == 0) tables.push_back(Table{Trim(name), 0, {}, {}, {}});
    for (Table& table : tables) {
      ASSERT_EQ(SQLPrepare(stmt, ("SELECT * FROM " + table.name).c_str(), 0), 0);
      int16_t type;
      for (uint8_t n = 1; SQLDescribeCol(stmt, n, name, sizeof(name), nullptr, &type, nullptr,
                                         nullptr, nullptr) == 0;
           ++n) {
        table.names.push_back(name);
        table.types.push_back(static_cast<int16_t>(type & ~1));
        table.textBlob.push_back((type & ~1) == 520 &&
                                 stmt->OutSqlda->sqlvar[n - 1].sqlsubtype == 1);
      }
    }
    SQLFreeStmt(stmt, 1);
    SQLDisconnect(conn);
    RawDb raw(db);
    for (Table& table : tables) {
      table.rows = raw.QueryInt("SELECT COUNT(*) FROM " + table.name).value_or(-1);
    }
  }
  EXPECT_EQ(tables.size(), 10u);

  int totalRows = 0, compared = 0, notComparable = 0;
  for (const Table& table : tables) {
    SCOPED_TRACE(table.name);
    const std::string sql = "SELECT * FROM " + table.name;
    const std::vector<std::string>& names = table.names;
    const auto host = HostRows(
        Output(std::string(VARLO_DEMO) + " --db " + db + " --query '" + sql + "'"), names.size());
    const auto isql =
        IsqlRows(Output("printf 'SET LIST ON;\\n" + sql + ";\\n' | isql-fb -q " + db + " 2>&1"),
                 names, table.textBlob);
    ASSERT_EQ(host.size(), isql.size());
    EXPECT_EQ(static_cast<int64_t>(host.size()), table.rows);
    for (size_t r = 0; r < host.size(); ++r) {
      ASSERT_EQ(host[r].size(), names.size());
      ASSERT_EQ(isql[r].size(), names.size());
      for (size_t c = 0; c < names.size(); ++c) {
        const std::string& ours = host[r][c];
        const std::string& theirs = isql[r][c];
        SCOPED_TRACE(names[c] + " row " + std::to_string(r) + ": '" + ours + "' against '" +
                     theirs + "'");
        if (theirs == "<null>") {
          EXPECT_EQ(ours, "NULL");
          ++compared;
          continue;
        }
        switch (table.types[c]) {
          case 496:  // INTEGER and SMALLINT give the integer part of a scaled number
          case 500:
            EXPECT_EQ(std::stoll(ours), std::stoll(theirs.substr(0, theirs.find('.'))));
            break;
          case 480:
            EXPECT_TRUE(NearlyEqual(ours, theirs, 1e-15));
            break;
          case 482:
            EXPECT_TRUE(NearlyEqual(ours, theirs, 1e-6));
            break;
          case 510:  // the package's date text carries no fraction of a second
            EXPECT_EQ(ours, PackageDateText(theirs));
            break;
          case 520:
            if (!table.textBlob[c]) {
              ++notComparable;  // isql-fb shows a binary blob's id, the host its length
              continue;
            }
            if (ours.size() > 3 && ours.substr(ours.size() - 3) == "...") {
              EXPECT_EQ(theirs.substr(0, ours.size() - 3), ours.substr(0, ours.size() - 3));
            } else {
              EXPECT_EQ(ours, theirs);
            }
            break;
          case 540:  // arrays: the host prints their code
            ++notComparable;
            continue;
          default:  // text, 64-bit decimals, DATE, TIME, BOOLEAN: the same text
            EXPECT_EQ(ours, theirs);
            break;
        }
        ++compared;
      }
    }
    totalRows += static_cast<int>(host.size());
    std::printf("%-18s %3zu rows, %2zu columns\n", table.name.c_str(), host.size(), names.size());
  }
  std::printf(
      "example database: %zu tables, %d rows, %d values compared with isql-fb, %d not "
      "comparable\n",
      tables.size(), totalRows, compared, notComparable);
}

TEST(ExampleHost, AFailingQueryPrintsTheErrorAndExitsWithOne) {
  VarloTest::TempDir dir;
  const std::string db = dir.File("empty.fdb");
  VarloTest::CreateDatabase(db);
  const std::string command =
      std::string(VARLO_DEMO) + " --db " + db + " --query 'SELECT nonsense FROM nowhere' 2>&1";
  const std::string out = Output(command);
  EXPECT_NE(out.find("error: |Dynamic SQL Error"), std::string::npos) << out;
  EXPECT_EQ(WEXITSTATUS(std::system((command + " >/dev/null").c_str())), 1);
}

}  // namespace
