// The example host as a query tool: its rendering of every table of Firebird's example database
// against what isql-fb prints for the same query.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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

// The characters of a UTF-8 line, one string each.
std::vector<std::string> Characters(const std::string& line) {
  std::vector<std::string> out;
  for (size_t at = 0; at < line.size();) {
    size_t n = 1;
    while (at + n < line.size() && (static_cast<unsigned char>(line[at + n]) & 0xC0) == 0x80) ++n;
    out.push_back(line.substr(at, n));
    at += n;
  }
  return out;
}

std::string Slice(const std::vector<std::string>& characters, size_t start, size_t width) {
  std::string out;
  for (size_t k = start; k < std::min(characters.size(), start + width); ++k) out += characters[k];
  return out;
}

// What the example host printed: the header, then the rows cut at the columns of the rule line
// (counted in characters, since values may be UTF-8).
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
    const std::vector<std::string> characters = Characters(lines[i]);
    for (auto [start, width] : ranges) row.push_back(Trim(Slice(characters, start, width)));
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

// A text as one word of a shell command.
std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A query as the package describes it: its columns' names and types.
struct Query {
  std::string sql;
  std::vector<std::string> names;
  std::vector<int16_t> types;
  std::vector<bool> textBlob;
};

// Describes each query through the package, on a connection with the character set given (0:
// none); nothing stays attached afterwards, since an embedded database opens in one process at
// a time.
void Describe(const std::string& db, std::vector<Query>& queries, uint16_t charset) {
  TIbConnRec* conn = nullptr;
  TIbStmtRec* stmt = nullptr;
  SQLAllocConnect(conn);
  if (charset != 0) {
    ASSERT_EQ(SQLSetConnectOption(conn, 151, charset), 0);
  }
  ASSERT_EQ(SQLConnect(conn, db, "", ""), 0);
  ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
  for (Query& q : queries) {
    ASSERT_EQ(SQLPrepare(stmt, q.sql.c_str(), 0), 0) << q.sql;
    char name[64];
    int16_t type;
    for (uint8_t n = 1; SQLDescribeCol(stmt, n, name, sizeof(name), nullptr, &type, nullptr,
                                       nullptr, nullptr) == 0;
         ++n) {
      q.names.push_back(name);
      q.types.push_back(static_cast<int16_t>(type & ~1));
      q.textBlob.push_back((type & ~1) == 520 && stmt->OutSqlda->sqlvar[n - 1].sqlsubtype == 1);
    }
  }
  SQLFreeStmt(stmt, 1);
  SQLDisconnect(conn);
}

struct Tally {
  int rows = 0, compared = 0, notComparable = 0;
};

// Runs a query through the example host and through isql-fb in list mode, with the same extra
// arguments, and compares every value: NULL for <null>; DOUBLE and FLOAT as numbers (the host
// prints their shortest text); text blobs up to the host's cut; the rest, exact decimals and
// timestamps included, as the same text.
void Compare(const std::string& db, const Query& q, const std::string& hostArgs,
             const std::string& isqlArgs, Tally& tally, int64_t expectedRows = -1) {
  SCOPED_TRACE(q.sql);
  const std::vector<std::string>& names = q.names;
  const auto host = HostRows(Output(std::string(VARLO_DEMO) + " --db " + db + " " + hostArgs +
                                    " --query " + ShellQuoted(q.sql)),
                             names.size());
  const std::string input = db + ".sql";
  std::ofstream(input) << "SET LIST ON;\n" << q.sql << ";\n";
  const auto isql = IsqlRows(Output("isql-fb -q " + isqlArgs + " -i " + input + " " + db + " 2>&1"),
                             names, q.textBlob);
  ASSERT_EQ(host.size(), isql.size());
  EXPECT_TRUE(expectedRows < 0 || static_cast<int64_t>(host.size()) == expectedRows);
  for (size_t r = 0; r < host.size(); ++r) {
    ASSERT_EQ(host[r].size(), names.size());
    ASSERT_EQ(isql[r].size(), names.size());
    for (size_t c = 0; c < names.size(); ++c) {
      const std::string& ours = host[r][c];
      const std::string& theirs = isql[r][c];
      SCOPED_TRACE(names[c] + " row " + std::to_string(r) + ": '" + ours + "' against '" + theirs +
                   "'");
      if (theirs == "<null>") {
        EXPECT_EQ(ours, "NULL");
        ++tally.compared;
        continue;
      }
      switch (q.types[c]) {
        case 480:
          EXPECT_TRUE(NearlyEqual(ours, theirs, 1e-15));
          break;
        case 482:
          EXPECT_TRUE(NearlyEqual(ours, theirs, 1e-6));
          break;
        case 520:
          if (!q.textBlob[c]) {
            ++tally.notComparable;  // isql-fb shows a binary blob's id, the host its length
            continue;
          }
          if (ours.size() > 3 && ours.substr(ours.size() - 3) == "...") {
            // Cut at 40 characters, never inside one.
            EXPECT_EQ(Characters(ours).size(), 43u);
            for (const std::string& ch : Characters(ours)) {
              const auto lead = static_cast<unsigned char>(ch[0]);
              EXPECT_EQ(ch.size(), lead < 0x80 ? 1u : lead < 0xE0 ? 2u : lead < 0xF0 ? 3u : 4u);
            }
            EXPECT_EQ(theirs.substr(0, ours.size() - 3), ours.substr(0, ours.size() - 3));
          } else {
            EXPECT_EQ(ours, theirs);
          }
          break;
        case SQL_BOOLEAN:  // isql-fb writes <true> and <false>
          EXPECT_EQ(theirs, ours == "TRUE" ? "<true>" : "<false>");
          break;
        case 540:  // arrays: the host prints their code
          ++tally.notComparable;
          continue;
        default:  // text (OCTETS in hex), decimals, DATE, TIME, TIMESTAMP: the same text
          EXPECT_EQ(ours, theirs);
          break;
      }
      ++tally.compared;
    }
  }
  tally.rows += static_cast<int>(host.size());
}

TEST(ExampleHost, RendersEveryTableOfTheExampleDatabaseAsIsqlDoes) {
  const std::string script = ExampleDatabaseScript();
  if (script.empty()) GTEST_SKIP() << "the firebird3.0-examples package is not installed";
  VarloTest::TempDir dir;
  Output("cd " + dir.Path() + " && zcat " + script + " | isql-fb -b -q 2>&1");
  const std::string db = dir.File("employee.fdb");
  ASSERT_TRUE(std::filesystem::exists(db)) << "isql-fb did not make the example database";

  // The tables by name, through the host itself; then their row counts.
  std::vector<Query> queries;
  std::vector<int64_t> counts;
  const std::string list =
      Output(std::string(VARLO_DEMO) + " --db " + db + " --query " +
             ShellQuoted("SELECT RDB$RELATION_NAME FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0 "
                         "AND RDB$VIEW_BLR IS NULL ORDER BY 1"));
  std::vector<std::string> lines = Lines(list);
  for (size_t i = 2; i + 1 < lines.size(); ++i) {
    queries.push_back(Query{"SELECT * FROM " + Trim(lines[i]), {}, {}, {}});
  }
  {
    RawDb raw(db);
    for (const Query& q : queries) {
      counts.push_back(raw.QueryInt("SELECT COUNT(*)" + q.sql.substr(8)).value_or(-1));
    }
  }
  EXPECT_EQ(queries.size(), 10u);
  Describe(db, queries, 0);
  Tally tally;
  for (size_t i = 0; i < queries.size(); ++i) {
    Compare(db, queries[i], "", "", tally, counts[i]);
    std::printf("%-40s %2zu columns\n", queries[i].sql.c_str(), queries[i].names.size());
  }
  std::printf(
      "example database: %zu tables, %d rows, %d values compared with isql-fb, %d not "
      "comparable\n",
      queries.size(), tally.rows, tally.compared, tally.notComparable);
}

// A dialect-3 database with binary text, UTF-8 text and text blobs and the types dialect 1
// cannot name, read through a UTF8 connection: the host prints what isql-fb prints.
TEST(ExampleHost, AnswersDialectThreeQueriesAsIsqlDoes) {
  VarloTest::TempDir dir;
  const std::string db = dir.File("dialect3.fdb");
  std::ofstream(dir.File("make.sql"))
      << "CREATE DATABASE '" << db << "' DEFAULT CHARACTER SET UTF8;\n"
      << "CREATE TABLE T (ID INTEGER, N NUMERIC(18,2), B VARCHAR(6) CHARACTER SET OCTETS, "
         "C CHAR(3) CHARACTER SET OCTETS, U VARCHAR(12), TB BLOB SUB_TYPE 1, "
         "W VARCHAR(8) CHARACTER SET WIN1251, D DATE, TM TIME, TS TIMESTAMP, BO BOOLEAN, "
         "P NUMERIC(9,2), Q NUMERIC(4,1), SM SMALLINT, BI BIGINT, F FLOAT, DP DOUBLE PRECISION);\n"
      << "INSERT INTO T VALUES (1, 8.25, x'00FF1000', x'41', 'Größe', "
         "'Ünïcödé text, longer than forty characters: äöü ÄÖÜ ß €', 'Привет', "
         "'2004-01-31', '10:11:12.3456', '2004-01-31 10:11:12.345', TRUE, 19.99, -2.5, -32768, "
         "-9223372036854775808, 1.5, 0.1);\n"
      << "INSERT INTO T VALUES (2, -0.5, x'', x'', '', 'short', '', NULL, NULL, NULL, FALSE, "
         "-0.05, 0, 32767, 9223372036854775807, -3, 1e300);\n"
      << "INSERT INTO T (ID) VALUES (3);\nCOMMIT;\n";
  Output("isql-fb -q -ch UTF8 -i " + dir.File("make.sql") + " 2>&1");
  ASSERT_TRUE(std::filesystem::exists(db));
  std::vector<Query> queries;
  for (const char* sql :
       {"SELECT * FROM T ORDER BY ID", "SELECT 1/2 AS H, 7/2 AS S FROM RDB$DATABASE",
        "SELECT \"ID\" FROM T WHERE ID = 1", "SELECT ID AS \"Id\" FROM T ORDER BY 1",
        "SELECT DATE '2004-01-31' AS D, TIME '10:11:12' AS TM FROM RDB$DATABASE",
        "SELECT SUM(N) AS S, CAST(MIN(N) AS NUMERIC(10,2)) AS M, MAX(N) * 1.5 AS X FROM T"}) {
    queries.push_back(Query{sql, {}, {}, {}});
  }
  Describe(db, queries, 4);
  Tally tally;
  for (const Query& q : queries) Compare(db, q, "--charset UTF8", "-ch UTF8", tally);
  EXPECT_EQ(tally.rows, 3 + 1 + 1 + 3 + 1 + 1);
  std::printf("dialect 3: %d rows, %d values compared with isql-fb\n", tally.rows, tally.compared);
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

  // More columns than the interface numbers: refused before anything is printed.
  std::string wide = "SELECT 0 AS C0";
  for (int i = 1; i < 300; ++i) wide += ", " + std::to_string(i);
  const std::string all = Output(std::string(VARLO_DEMO) + " --db " + db + " --query '" + wide +
                                 " FROM RDB$DATABASE' 2>&1");
  EXPECT_EQ(all,
            "error: the statement has 300 columns; the interface numbers columns 1 to 255, so at "
            "most 255 can be read\n");
}

// Runs the example host and measures its peak resident memory.
struct Measured {
  std::string output;
  long peakKiB = 0;
};
Measured RunHost(const std::vector<std::string>& args) {
  VarloTest::TempDir dir;
  const std::string out = dir.File("out");
  std::vector<char*> argv{const_cast<char*>(VARLO_DEMO)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    execv(VARLO_DEMO, argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  return Measured{text.str(), usage.ru_maxrss};
}

// A blob of any size costs the host one piece, read or loaded from a file: the same memory for
// 64 MiB as for 10 bytes.
TEST(ExampleHost, ALargeBlobPrintsItsStartInFlatMemory) {
  VarloTest::TempDir dir;
  const std::string db = dir.File("blobs.fdb");
  VarloTest::CreateDatabase(db, {"CREATE TABLE T (ID INTEGER, TB BLOB SUB_TYPE 1, B BLOB)"});
  {
    TIbConnRec* conn = nullptr;
    TIbStmtRec* stmt = nullptr;
    SQLAllocConnect(conn);
    ASSERT_EQ(SQLConnect(conn, db, "", ""), 0);
    ASSERT_EQ(SQLAllocStmt(conn, stmt), 0);
    ASSERT_EQ(SQLPrepare(stmt, "INSERT INTO T VALUES (?, ?, ?)", 0), 0);
    int32_t id = 1;
    std::string text = "ten bytes!";
    int32_t length = static_cast<int32_t>(text.size());
    uint8_t nulls[3] = {};
    ASSERT_EQ(SQLBindParameter(stmt, 1, 496, &id, 4, &nulls[0], nullptr), 0);
    ASSERT_EQ(SQLBindParameter(stmt, 2, 520, text.data(), length, &nulls[1], &length), 0);
    ASSERT_EQ(SQLBindParameter(stmt, 3, 520, text.data(), length, &nulls[2], &length), 0);
    ASSERT_EQ(SQLExecute(stmt), 0);
    SQLFreeStmt(stmt, 1);
    ASSERT_EQ(SQLTransact(conn, 0), 0);
    SQLDisconnect(conn);
  }
  // The host loads the 64 MiB blob from a file, in pieces, as it loads one of 16 MiB (that one
  // fills the engine's page cache).
  std::string text(64 << 20, 'x');
  std::memcpy(text.data(), "A long text blob, which the host shows to its fortieth character", 64);
  std::ofstream(dir.File("long.txt"), std::ios::binary) << text;
  std::ofstream(dir.File("short.txt"), std::ios::binary) << text.substr(0, 16 << 20);
  text.clear();
  text.shrink_to_fit();
  Measured loads[2];
  for (int k = 0; k < 2; ++k) {
    loads[k] = RunHost({"--db", db, "--query", "INSERT INTO T (ID, TB) VALUES (2, ?)", "--load",
                        dir.File(k == 0 ? "short.txt" : "long.txt")});
  }
  EXPECT_NE(loads[1].output.find("sent 67108864 bytes"), std::string::npos) << loads[1].output;
  RunHost({"--db", db, "--query", "DELETE FROM T WHERE ID = 2 AND OCTET_LENGTH(TB) < 67108864"});
  RunHost({"--db", db, "--query", "UPDATE T SET B = TB WHERE ID = 2"});
  const Measured small = RunHost({"--db", db, "--query", "SELECT * FROM T WHERE ID = 1"});
  const Measured large = RunHost({"--db", db, "--query", "SELECT * FROM T ORDER BY ID"});
  const auto rows = HostRows(large.output, 3);
  ASSERT_EQ(rows.size(), 2u) << large.output;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "ten bytes!", "<10 bytes>"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"2", "A long text blob, which the host shows t...",
                                               "<67108864 bytes>"}));
  EXPECT_LT(large.peakKiB, small.peakKiB + 4096) << "peak with a 64 MiB blob";
  EXPECT_LT(loads[1].peakKiB, loads[0].peakKiB + 4096) << "peak loading a 64 MiB blob";
  std::printf(
      "host's peak memory: %ld KiB with 10-byte blobs, %ld KiB with 64 MiB blobs; "
      "loading 16 MiB %ld KiB, 64 MiB %ld KiB\n",
      small.peakKiB, large.peakKiB, loads[0].peakKiB, loads[1].peakKiB);
}

}  // namespace
