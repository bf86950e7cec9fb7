// Parameter arrays: one SQLExecute runs a statement for many rows of bound values. Over the
// network the rows go in blocks, each one EXECUTE BLOCK request holding the statement once per
// row; what cannot be carried so runs row by row. Either way all rows or none stay.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ibdb/Params.h"

namespace IbDB {

using detail::SetError;
using detail::Watch;
using IBAPI::BaseType;
using IBAPI::Entries;

// A prepared EXECUTE BLOCK for a number of rows, with its input area and the package's buffers.
struct TBlock {
  isc_stmt_handle Handle = 0;
  int32_t Rows = 0;
  XSQLDA* Area = nullptr;
  std::vector<char> Buffers;
  std::vector<ISC_SHORT> Indicators;
  std::vector<char*> Homes;  // each entry's buffer in Buffers
};

struct TArrays {
  std::string Text;           // the statement's text as prepared
  int8_t Batchable = -1;      // -1 not yet known
  std::vector<size_t> Marks;  // where the text's parameter markers stand
  size_t End = 0;             // the end of the statement, before a ';' and trailing comments
  int32_t Limit = 0;          // the most rows a block may hold
  int32_t Lines = 1;          // lines of a block's text each row takes
  int32_t Literals = 0;       // the statement's numbers and strings
  TBlock Blocks[2];           // the blocks of the last two sizes used
  int LastUsed = 0;
};

namespace {

// What a block may hold. The server's own limit is 255 contexts (tables and procedures a request
// names) a request; the rest is what its compile and execution cost, measured on Firebird 3.0.11
// over loopback: compiling an EXECUTE BLOCK takes time that grows with the square of its
// parameters (2560 in 90 ms, 12800 in 1.7 s, 25600 in 8.6 s), and a block of large values gains
// nothing over rows one by one. Blocks of at most 256 parameters (or two rows of up to 256),
// 32 KiB of text and 32 KiB of values were never slower than rows one by one on calls that pay
// their compile back (BlockRows below); a statement of which fewer than two rows fit runs row by
// row.
constexpr int32_t kMaxContexts = 255;
constexpr size_t kBlockParameters = 256;
constexpr size_t kBlockText = 32 << 10;
constexpr size_t kBlockMessage = 32 << 10;
constexpr int32_t kMinBlockRows = 2;

// Rows a block holds by its parameters: up to the budget, and two rows of up to the budget each
// (200 INTEGER columns: 0.90 of one by one's time over 1000 rows, compile included).
size_t RowsByParameters(size_t n) {
  return n <= kBlockParameters ? std::max<size_t>(kBlockParameters / n, 2) : 1;
}

bool IdentifierChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// Finds the parameter markers and the words of a statement text (upper case), skipping string
// literals (also q'..'), quoted identifiers and comments; the statement ends before a ';' that
// only whitespace and comments follow. False for a text it cannot read with certainty.
bool Scan(const std::string& text, std::vector<size_t>& marks, size_t& end,
          std::vector<std::string>& words) {
  marks.clear();
  words.clear();
  end = 0;
  const size_t n = text.size();
  bool ended = false;  // a ';' was seen
  for (size_t i = 0; i < n;) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < n && text[i + 1] == '-') {
      while (i < n && text[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && text[i + 1] == '*') {
      const size_t close = text.find("*/", i + 2);
      if (close == std::string::npos) return false;
      i = close + 2;
      continue;
    }
    if (ended) return false;  // something after the ';'
    if (c == ';') {
      ended = true;
      ++i;
      continue;
    }
    if ((c == 'q' || c == 'Q') && i + 2 < n && text[i + 1] == '\'' &&
        (i == 0 || !IdentifierChar(text[i - 1]))) {
      const char open = text[i + 2];
      const char close = open == '('   ? ')'
                         : open == '[' ? ']'
                         : open == '{' ? '}'
                         : open == '<' ? '>'
                                       : open;
      size_t k = i + 3;
      while (k + 1 < n && !(text[k] == close && text[k + 1] == '\'')) ++k;
      if (k + 1 >= n) return false;
      i = k + 2;
      end = i;
      words.emplace_back("'");  // a string literal
      continue;
    }
    if (c == '\'' || c == '"') {
      size_t k = i + 1;
      for (;; ++k) {
        if (k >= n) return false;
        if (text[k] != c) continue;
        if (k + 1 < n && text[k + 1] == c) {
          ++k;  // a doubled quote stands for itself
          continue;
        }
        break;
      }
      i = k + 1;
      end = i;
      if (c == '\'') words.emplace_back("'");  // a string literal
      continue;
    }
    if (IdentifierChar(c)) {
      std::string word;
      while (i < n && IdentifierChar(text[i])) word += static_cast<char>(std::toupper(text[i++]));
      words.push_back(std::move(word));
      end = i;
      continue;
    }
    if (c == '?') marks.push_back(i);
    ++i;
    end = i;
  }
  return end > 0;
}

// The declaration of a block parameter of the type the statement's marker was described with,
// or false for a type the package does not declare.
bool Declaration(const XSQLVAR& var, unsigned short dialect, std::string& out) {
  const int charset = var.sqlsubtype & 0xFF;
  const int scale = -var.sqlscale;
  auto text = [&](const char* kind) {
    const int width = detail::BytesPerCharacter(static_cast<uint16_t>(charset));
    const char* name = detail::CharsetName(static_cast<uint16_t>(charset));
    if (name == nullptr || var.sqllen <= 0 || var.sqllen % width != 0) return false;
    out = std::string(kind) + "(" + std::to_string(var.sqllen / width) + ") CHARACTER SET " + name;
    return true;
  };
  auto numeric = [&](const char* plain, int precision) {
    if (var.sqlscale > 0) return false;
    out = scale == 0 ? plain
                     : "NUMERIC(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    return true;
  };
  switch (BaseType(var.sqltype)) {
    case SQL_VARYING:
      return text("VARCHAR");
    case SQL_TEXT:
      return text("CHAR");
    case SQL_SHORT:
      return numeric("SMALLINT", 4);
    case SQL_LONG:
      return numeric("INTEGER", 9);
    case SQL_INT64:
      return dialect == 3 && numeric("BIGINT", 18);
    case SQL_DOUBLE:
      out = "DOUBLE PRECISION";
      return true;
    case SQL_FLOAT:
      out = "FLOAT";
      return true;
    case SQL_TIMESTAMP:
      out = dialect == 3 ? "TIMESTAMP" : "DATE";
      return true;
    case SQL_TYPE_DATE:
      out = "DATE";
      return dialect == 3;
    case SQL_TYPE_TIME:
      out = "TIME";
      return dialect == 3;
    case SQL_BOOLEAN:
      out = "BOOLEAN";
      return true;
    case SQL_BLOB: {
      out = "BLOB SUB_TYPE " + std::to_string(var.sqlsubtype);
      const char* name = detail::CharsetName(static_cast<uint16_t>(var.sqlscale));
      if (var.sqlsubtype == 1 && name != nullptr) out += std::string(" CHARACTER SET ") + name;
      return true;
    }
    default:
      return false;
  }
}

// The bytes of one row's parameter in a block's message: every entry has a buffer of its own,
// which values converted from the caller's C types and the package's own conversions fill.
size_t BufferSize(const XSQLVAR& var) {
  switch (BaseType(var.sqltype)) {
    case SQL_VARYING:
      return static_cast<size_t>(var.sqllen) + 2;
    case SQL_DATE:
    case SQL_BLOB:
      return sizeof(ISC_QUAD);
    default:
      return static_cast<size_t>(std::max<ISC_SHORT>(var.sqllen, 1));
  }
}

ISC_STATUS Immediate(TIbStmtRec* stmt, ISC_STATUS* status, const std::string& sql) {
  TIbConnRec* conn = stmt->Conn;
  return Watch(conn, status,
               Entries.isc_dsql_execute_immediate(status, &conn->DbHandle, &conn->TrHandle, 0,
                                                  sql.c_str(), stmt->Dialect, nullptr));
}

// The statement's kind, by the client's description.
int StatementKind(TIbStmtRec* stmt) {
  const ISC_SCHAR items[] = {isc_info_sql_stmt_type};
  unsigned char answer[16] = {};
  ISC_STATUS scratch[20];
  if (Entries.isc_dsql_sql_info(scratch, &stmt->StmtHandle, sizeof(items), items, sizeof(answer),
                                reinterpret_cast<ISC_SCHAR*>(answer)) != 0 ||
      answer[0] != isc_info_sql_stmt_type) {
    return 0;
  }
  const unsigned length = answer[1] | answer[2] << 8u;
  int kind = 0;
  for (unsigned k = 0; k < length && k < 4; ++k) kind |= answer[3 + k] << (8 * k);
  return kind;
}

// The contexts one row's statement takes at most, from its words: the statement's own (INSERT
// 1, UPDATE 2, UPDATE OR INSERT 3, MERGE 2, a procedure 1; DELETE's are its FROM's), and one
// for every SELECT, FROM, JOIN and WHEN. Measured: INSERT 1, DELETE 1, UPDATE 2, UPDATE OR
// INSERT 3, MERGE with both WHEN clauses 4, a subquery with a join 3 more.
int32_t Contexts(const std::vector<std::string>& words) {
  if (words.empty()) return kMaxContexts;
  int32_t contexts = 1;
  if (words[0] == "UPDATE") contexts = words.size() > 1 && words[1] == "OR" ? 3 : 2;
  if (words[0] == "MERGE") contexts = 2;
  if (words[0] == "DELETE") contexts = 0;
  for (const std::string& w : words) {
    if (w == "SELECT" || w == "FROM" || w == "JOIN" || w == "WHEN") ++contexts;
  }
  return std::max(contexts, 1);
}

// Rows of n parameters a block holds when a call has rows rows to run, or 0 when they go row by
// row: at most the statement's limit, and within what the call's rows pay back. Compiling a block
// of b rows took about 300 + (b n)^2 / 50 microseconds, and 8 more for each literal of each row
// (an IN list of 1000 constants: 8.7 ms a row; Firebird 3.0.11 over loopback); each row run in a
// block saved 18 to 45 microseconds against its own request (200 to 6 INTEGER columns). At 20 a
// row, the largest block the call pays back is taken. Blocks are of equal size, so that one
// prepared block serves the call; fewer rows than blocks are left.
int32_t BlockRows(const TArrays& arrays, int32_t n, int64_t rows) {
  auto compile = [&](int64_t b) { return 300 + b * n * b * n / 50 + b * 8 * arrays.Literals; };
  int64_t most = arrays.Limit;
  while (most >= kMinBlockRows && compile(most) > 20 * rows) --most;
  if (most < kMinBlockRows) return 0;
  const int64_t blocks = (rows + most - 1) / most;
  return static_cast<int32_t>(std::max<int64_t>(rows / blocks, kMinBlockRows));
}

// Whether the statement's rows can go in blocks: over the network (embedded there is no round
// trip to save), a statement that changes rows and returns none, a text read with certainty,
// types the package can declare, and at least a few rows a block within the budgets above.
bool Batchable(TIbStmtRec* stmt, TArrays& arrays) {
  if (stmt->RowByRow != 0) return false;
  if (arrays.Batchable >= 0) return arrays.Batchable == 1;
  arrays.Batchable = 0;
  const XSQLDA* in = stmt->InSqlda;
  const int kind = StatementKind(stmt);
  std::vector<std::string> words;
  if (stmt->Conn->State.Remote == 0 || stmt->OutSqlda->sqld != 0 || in->sqld == 0 ||
      (kind != isc_info_sql_stmt_insert && kind != isc_info_sql_stmt_update &&
       kind != isc_info_sql_stmt_delete && kind != isc_info_sql_stmt_exec_procedure) ||
      !Scan(arrays.Text, arrays.Marks, arrays.End, words) ||
      (words.size() > 1 && words[0] == "EXECUTE" && words[1] == "BLOCK") ||
      arrays.Marks.size() != static_cast<size_t>(in->sqld)) {
    return false;
  }
  size_t rowBytes = 0;
  size_t rowText = arrays.End + 2;
  std::string declaration;
  for (int32_t i = 0; i < in->sqld; ++i) {
    if (!Declaration(in->sqlvar[i], stmt->Dialect, declaration)) return false;
    rowBytes += static_cast<size_t>(std::max<ISC_SHORT>(in->sqlvar[i].sqllen, 8)) + 8;
    rowText += declaration.size() + 24;  // ", P12345 <declaration> = ?" and " :P12345 "
  }
  arrays.Limit =
      static_cast<int32_t>(std::min<size_t>({static_cast<size_t>(kMaxContexts / Contexts(words)),
                                             RowsByParameters(static_cast<size_t>(in->sqld)),
                                             kBlockText / rowText, kBlockMessage / rowBytes}));
  arrays.Literals =
      static_cast<int32_t>(std::count_if(words.begin(), words.end(), [](const auto& w) {
        return w[0] == '\'' || (w[0] >= '0' && w[0] <= '9');
      }));
  arrays.Lines = 1 + static_cast<int32_t>(
                         std::count(arrays.Text.begin(), arrays.Text.begin() + arrays.End, '\n'));
  arrays.Batchable = arrays.Limit >= kMinBlockRows ? 1 : 0;
  return arrays.Batchable == 1;
}

void ReleaseBlock(TIbConnRec* conn, TBlock& block) {
  ISC_STATUS scratch[20];
  if (block.Handle != 0 && conn->State.Lost == 0) {
    Entries.isc_dsql_free_statement(scratch, &block.Handle, DSQL_drop);
  }
  std::free(block.Area);
  block = TBlock{};
}

// The text of a block of rows: the statement once per row, its markers the block's parameters.
std::string BlockText(const TIbStmtRec* stmt, const TArrays& arrays, int32_t rows) {
  const XSQLDA* in = stmt->InSqlda;
  const unsigned short dialect = stmt->Dialect;
  std::string text = "EXECUTE BLOCK (";
  std::string declaration;
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t i = 0; i < in->sqld; ++i) {
      Declaration(in->sqlvar[i], dialect, declaration);
      text +=
          (r + i > 0 ? ", P" : "P") + std::to_string(r * in->sqld + i) + " " + declaration + " = ?";
    }
  }
  text += ") AS BEGIN\n";
  for (int32_t r = 0; r < rows; ++r) {
    size_t at = 0;
    for (size_t m = 0; m < arrays.Marks.size(); ++m) {
      text.append(arrays.Text, at, arrays.Marks[m] - at);
      text += " :P" + std::to_string(r * in->sqld + static_cast<int32_t>(m)) + " ";
      at = arrays.Marks[m] + 1;
    }
    text.append(arrays.Text, at, arrays.End - at);
    text += ";\n";
  }
  return text + "END";
}

// The prepared block for a number of rows, or nil when the server refuses it (the limit is
// then halved, and rows it cannot carry go row by row).
TBlock* PreparedBlock(TIbStmtRec* stmt, TArrays& arrays, int32_t rows) {
  for (int k = 0; k < 2; ++k) {
    if (arrays.Blocks[k].Rows == rows && arrays.Blocks[k].Handle != 0) {
      arrays.LastUsed = k;
      return &arrays.Blocks[k];
    }
  }
  arrays.LastUsed = arrays.Blocks[0].Handle == 0 ? 0 : 1 - arrays.LastUsed;  // the older goes
  TBlock& block = arrays.Blocks[arrays.LastUsed];
  TIbConnRec* conn = stmt->Conn;
  ReleaseBlock(conn, block);
  ISC_STATUS status[20];
  const std::string text = BlockText(stmt, arrays, rows);
  if (Watch(conn, status,
            Entries.isc_dsql_allocate_statement(status, &conn->DbHandle, &block.Handle)) != 0) {
    arrays.Batchable = 0;  // the rows go one by one
    return nullptr;
  }
  if (Watch(conn, status,
            Entries.isc_dsql_prepare(status, &conn->TrHandle, &block.Handle, 0, text.c_str(),
                                     stmt->Dialect, nullptr)) != 0) {
    ReleaseBlock(conn, block);
    arrays.Limit = rows / 2;  // more contexts than foreseen
    if (arrays.Limit < kMinBlockRows) arrays.Batchable = 0;
    return nullptr;
  }
  const XSQLDA* in = stmt->InSqlda;
  const int32_t n = in->sqld;
  const auto entries = static_cast<uint16_t>(rows * n);
  block.Rows = rows;
  block.Area = static_cast<XSQLDA*>(detail::ZeroAlloc(IBAPI::XsqldaLength(entries)));
  block.Area->version = SQLDA_VERSION1;
  block.Area->sqln = block.Area->sqld = static_cast<ISC_SHORT>(entries);
  size_t bytes = 0;
  for (int32_t i = 0; i < n; ++i) bytes += BufferSize(in->sqlvar[i]);
  block.Buffers.assign(bytes * static_cast<size_t>(rows), '\0');
  block.Indicators.assign(entries, 0);
  block.Homes.assign(entries, nullptr);
  size_t at = 0;
  for (int32_t k = 0; k < rows * n; ++k) {
    XSQLVAR& target = block.Area->sqlvar[k];
    const XSQLVAR& source = in->sqlvar[k % n];
    target.sqltype = source.sqltype;
    target.sqlscale = source.sqlscale;
    target.sqlsubtype = source.sqlsubtype;
    target.sqllen = source.sqllen;
    target.sqlind = &block.Indicators[static_cast<size_t>(k)];
    target.sqldata = block.Homes[static_cast<size_t>(k)] = block.Buffers.data() + at;
    at += BufferSize(source);
  }
  return &block;
}

// A savepoint of the call, named after the statement so that a caller's own savepoint of the
// package's name is never released by it.
class TSavepoint {
 public:
  explicit TSavepoint(TIbStmtRec* stmt) : stmt_(stmt) {
    char name[32];
    std::snprintf(name, sizeof(name), "VARLO$ARRAY_%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(stmt)));
    name_ = name;
  }
  ~TSavepoint() {
    if (!set_ || stmt_->Conn->State.Lost != 0) return;
    ISC_STATUS scratch[20];
    Immediate(stmt_, scratch, "RELEASE SAVEPOINT " + name_ + " ONLY");
  }
  bool Set() {
    if (set_) return true;
    set_ = Immediate(stmt_, stmt_->Status, "SAVEPOINT " + name_) == 0;
    return set_;
  }
  // Undoes every row of the call; the statement's Status keeps the row's error.
  void Undo() {
    ISC_STATUS scratch[20];
    if (set_ && stmt_->Conn->State.Lost == 0) {
      Immediate(stmt_, scratch, "ROLLBACK TO SAVEPOINT " + name_);
    }
  }

 private:
  TIbStmtRec* stmt_;
  std::string name_;
  bool set_ = false;
};

// Runs rows [from, to) one by one; the first that fails, or -1.
int64_t RunRows(TIbStmtRec* stmt, int64_t from, int64_t to) {
  TIbConnRec* conn = stmt->Conn;
  XSQLDA* in = stmt->InSqlda;
  const bool withParams = stmt->HasParamMarkers == 1;
  for (int64_t r = from; r < to; ++r) {
    for (int32_t i = 0; withParams && i < in->sqld; ++i) {
      XSQLVAR& var = in->sqlvar[i];
      if (!detail::PutParam(stmt, var, stmt->ParamIndex.Slots[i], r, var)) return r;
    }
    if (Watch(conn, stmt->Status,
              Entries.isc_dsql_execute(stmt->Status, &conn->TrHandle, &stmt->StmtHandle,
                                       SQLDA_VERSION1, withParams ? in : nullptr)) != 0) {
      return r;
    }
    if (stmt->OutSqlda->sqld > 0 && r + 1 < to) {  // the rows of all but the last are not read
      ISC_STATUS scratch[20];
      Watch(conn, scratch, Entries.isc_dsql_free_statement(scratch, &stmt->StmtHandle, DSQL_close));
    }
  }
  return -1;
}

// The trace entry of a status vector ("At block line: 4, col: 1", after the lines of triggers
// and procedures it went through), or nil.
const char* Trace(const ISC_STATUS* status, size_t& at) {
  for (size_t k = 0; k + 1 < 20 && status[k] != isc_arg_end; k += 2) {
    if (status[k] == isc_arg_cstring) ++k;  // three items
    if (status[k] == isc_arg_gds && status[k + 1] == isc_stack_trace && k + 3 < 20 &&
        status[k + 2] == isc_arg_string) {
      at = k;
      return reinterpret_cast<const char*>(status[k + 3]);
    }
  }
  return nullptr;
}

constexpr const char* kBlockLine = "At block line: ";

// The row of a block a failure stands in, from the trace's block line, or -1.
int64_t FailedRow(const ISC_STATUS* status, const TArrays& arrays, int32_t rows) {
  size_t at = 0;
  const char* trace = Trace(status, at);
  const char* line = trace != nullptr ? std::strstr(trace, kBlockLine) : nullptr;
  if (line == nullptr) return -1;
  const long number = std::strtol(line + std::strlen(kBlockLine), nullptr, 10);
  const int64_t row = (number - 2) / arrays.Lines;  // line 1 declares the parameters
  return number >= 2 && row < rows ? row : -1;
}

// Leaves the block's error in the statement without the block's line: what the row alone gives.
void WithoutBlockLine(const ISC_STATUS* status, TIbStmtRec* stmt) {
  ISC_STATUS copy[20];
  std::memcpy(copy, status, sizeof(copy));
  size_t at = 0;
  const std::string trace = Trace(copy, at);
  std::string rest = trace.substr(0, trace.find(kBlockLine));
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.pop_back();
  if (rest.empty()) {
    copy[at] = isc_arg_end;
  } else {
    copy[at + 3] = reinterpret_cast<ISC_STATUS>(rest.c_str());
  }
  detail::CopyStatus(copy, stmt->Status, stmt->Message, sizeof(stmt->Message));
}

// Runs rows [from, to) as one block; the first row that fails, found by running the block's
// rows one by one after the block was undone by the server, or -1.
int64_t RunBlock(TIbStmtRec* stmt, TBlock& block, int64_t from, TSavepoint& savepoint) {
  TIbConnRec* conn = stmt->Conn;
  const XSQLDA* in = stmt->InSqlda;
  const int32_t n = in->sqld;
  for (int32_t r = 0; r < block.Rows; ++r) {
    for (int32_t i = 0; i < n; ++i) {
      const TBindSlot& slot = stmt->ParamIndex.Slots[i];
      XSQLVAR& target = block.Area->sqlvar[r * n + i];
      // A value read in place by an earlier execution left the entry pointing at the caller's.
      if (slot.CType != 0) target.sqldata = block.Homes[static_cast<size_t>(r * n + i)];
      if (!detail::PutParam(stmt, in->sqlvar[i], slot, from + r, target)) return from + r;
    }
  }
  ISC_STATUS status[20];
  if (Watch(conn, status,
            Entries.isc_dsql_execute(status, &conn->TrHandle, &block.Handle, SQLDA_VERSION1,
                                     block.Area)) == 0) {
    return -1;
  }
  if (conn->State.Lost != 0) {
    std::memcpy(stmt->Status, status, sizeof(status));
    return from;
  }
  // Which row: the server's trace names the line of the block, where each row's statement
  // stands on lines of its own. The row's error is the block's without that line.
  const int64_t row = FailedRow(status, *stmt->Arrays, block.Rows);
  if (row >= 0) {
    WithoutBlockLine(status, stmt);
    return from + row;
  }
  // Without a trace the same rows one by one, in the state the block found, tell it.
  if (!savepoint.Set()) return from;
  return RunRows(stmt, from, from + block.Rows);
}

}  // namespace

void detail::KeepText(TIbStmtRec* stmt, const char* text) {
  if (stmt->Arrays == nullptr) stmt->Arrays = new TArrays;
  ReleaseArrays(stmt, false);
  stmt->Arrays->Text = text;
}

void detail::ReleaseArrays(TIbStmtRec* stmt, bool all) {
  TArrays* arrays = stmt->Arrays;
  if (arrays == nullptr) return;
  for (TBlock& block : arrays->Blocks) ReleaseBlock(stmt->Conn, block);
  arrays->Batchable = -1;
  if (!all) return;
  delete arrays;
  stmt->Arrays = nullptr;
}

int16_t detail::ExecuteRows(TIbStmtRec* stmt) {
  const auto rows = static_cast<int64_t>(stmt->ParamRows);
  XSQLDA* in = stmt->InSqlda;
  const TBindIndex& index = stmt->ParamIndex;
  auto reached = [stmt](int64_t row) {
    if (stmt->RowReached != nullptr) *stmt->RowReached = static_cast<uint32_t>(row);
  };
  const int32_t n = stmt->HasParamMarkers == 1 ? in->sqld : 0;
  for (int32_t i = 0; i < n; ++i) {
    const TBindSlot* slot = index.Slots != nullptr ? &index.Slots[i] : nullptr;
    if (slot == nullptr || slot->Node == nullptr || slot->ValueMax == 0) {
      // Arrays take their element size from the bounded form.
      SetError(stmt->Status, slot == nullptr || slot->Node == nullptr ? isc_dsql_sqlda_err
                                                                      : isc_dsql_sqlda_value_err);
      reached(0);
      return -1;
    }
  }
  for (int64_t r = 0; r < rows; ++r) {
    for (int32_t i = 0; i < n; ++i) {
      if (!CheckParam(stmt, i, r, true)) {
        reached(r + 1);
        return -1;
      }
    }
  }
  TRunning running(stmt->Conn, stmt->Status, stmt->QueryTimeout);
  if (running.Failed || !StartIfNone(stmt)) return -1;
  TArrays& arrays = *stmt->Arrays;
  TSavepoint savepoint(stmt);
  int64_t failed = -1;
  if (n > 0 && rows > 1 && Batchable(stmt, arrays)) {
    for (int64_t from = 0; from < rows && failed < 0;) {
      const int32_t size = BlockRows(arrays, n, rows - from);
      TBlock* block = size >= kMinBlockRows ? PreparedBlock(stmt, arrays, size) : nullptr;
      if (stmt->Conn->State.Lost != 0) {
        std::memcpy(stmt->Status, stmt->Conn->State.LostStatus, sizeof(stmt->Status));
        failed = from;
        break;
      }
      if (block == nullptr && size >= kMinBlockRows && arrays.Batchable == 1) {
        continue;  // the limit was halved
      }
      if (block == nullptr) {  // the rest row by row
        if (!savepoint.Set()) {
          failed = from;
          break;
        }
        failed = RunRows(stmt, from, rows);
        break;
      }
      // More than one request takes a savepoint, set before the first (a lone request the server
      // undoes itself), also where a refused block made the size smaller.
      if (size != rows && !savepoint.Set()) {
        reached(0);
        return -1;
      }
      // Blocks of this size while whole blocks remain; what is left is decided again.
      const int64_t end = from + (rows - from) / size * size;
      for (; from < end && failed < 0; from += size) {
        failed = RunBlock(stmt, *block, from, savepoint);
      }
    }
  } else {
    if (rows > 1 && !savepoint.Set()) {
      reached(0);
      return -1;
    }
    failed = RunRows(stmt, 0, rows);
  }
  if (failed >= 0) {
    savepoint.Undo();
    reached(failed + 1);
    return -1;
  }
  reached(rows);
  return 0;
}

int16_t SQLParamOptions(TIbStmtRec* hstmt, uint32_t crow, uint32_t* pirow) {
  if (hstmt == nullptr || !detail::Live(hstmt) || detail::AwaitingData(hstmt)) return -1;
  if (crow == 0) {
    SetError(hstmt->Status, isc_dsql_sqlda_value_err);
    return -1;
  }
  hstmt->ParamRows = crow;
  hstmt->RowReached = pirow;
  return 0;
}

}  // namespace IbDB
