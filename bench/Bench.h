// What the benchmark's implementations share: the workloads, the form in which every
// implementation hands over what it read (this package's caller form), and the checksums.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// The database a run works on: an embedded file, or the same kind of file through the server.
struct Target {
  std::string name;  // what the client attaches to: a path, or localhost:/path
  std::string path;  // the file
  std::string user;
  std::string password;
  bool server = false;
  unsigned short dialect = 1;
};

constexpr const char* kFetchSelect = "SELECT ID, NAME, D, CODE, X, PRICE FROM ROWS6";
// The text cases: every column of a query as text, in the form each implementation gives text
// (this package: as isql-fb prints it); the checksum counts the values that are not NULL. The
// other queries read a dialect-3 table of the types dialect 1 cannot name, once without the
// BOOLEAN column, which neither peer reads.
constexpr const char* kTypesSelect = "SELECT D, TM, TS, N184, N92 FROM TYPES3";
constexpr const char* kTypesBoolSelect = "SELECT D, TM, TS, N184, N92, BO FROM TYPES3";
constexpr int kTextColumns = 6;  // at most
constexpr const char* kInsertSql =
    "INSERT INTO INS (ID, NAME, D, CODE, X, PRICE) VALUES (?, ?, ?, ?, ?, ?)";
constexpr int kWideRows = 20000;
constexpr uint16_t kSegment = 65535;       // the largest segment the client carries
constexpr int32_t kPieceSize = 64 * 1024;  // the buffer SQLGetData reads a blob through
constexpr int kArrayRows = 1000;           // rows per execution of the array forms

// One row of the fetch case as this package hands it over: NUMERIC(9,2) as its integer part,
// the date as "MM/DD/YYYY hh:mm:ss"; a NULL VARCHAR keeps the text of the row before, a NULL
// value fetched in place reads as zero (the client clears it). Every implementation fills it so.
struct FetchRow {
  int32_t id;
  char name[21];
  char date[20];
  char code[6];
  double x;
  int32_t price;
  uint8_t nulls[6];

  uint64_t Sum() const {
    uint64_t s = static_cast<uint32_t>(id) + static_cast<uint32_t>(price) +
                 static_cast<uint64_t>(x) + static_cast<uint8_t>(name[0]) +
                 static_cast<uint8_t>(date[4]) + static_cast<uint8_t>(code[1]);
    for (uint8_t n : nulls) s = s * 3 + n;
    return s;
  }
};

inline void Put2(char* at, int v) {
  at[0] = static_cast<char>('0' + v / 10);
  at[1] = static_cast<char>('0' + v % 10);
}

// "MM/DD/YYYY hh:mm:ss", formatted by hand as a loop written for speed would.
inline void FormatTm(const std::tm& t, char* text) {
  int year = t.tm_year + 1900;
  Put2(text, t.tm_mon + 1);
  text[2] = '/';
  Put2(text + 3, t.tm_mday);
  text[5] = '/';
  Put2(text + 6, year / 100);
  Put2(text + 8, year % 100);
  text[10] = ' ';
  Put2(text + 11, t.tm_hour);
  text[13] = ':';
  Put2(text + 14, t.tm_min);
  text[16] = ':';
  Put2(text + 17, t.tm_sec);
  text[19] = '\0';
}

inline int Get2(const char* p) {
  return (p[0] - '0') * 10 + (p[1] - '0');
}

inline void ParseTm(const char* text, std::tm& t) {
  t = std::tm{};
  t.tm_mon = Get2(text) - 1;
  t.tm_mday = Get2(text + 3);
  t.tm_year = Get2(text + 6) * 100 + Get2(text + 8) - 1900;
  t.tm_hour = Get2(text + 11);
  t.tm_min = Get2(text + 14);
  t.tm_sec = Get2(text + 17);
}

// The values of the insert case, the texts made once before the runs.
struct InsertInputs {
  std::vector<std::string> names, dates, codes;
  explicit InsertInputs(int rows) {
    char name[21], date[20], code[6];
    for (int k = 0; k < rows; ++k) {
      std::snprintf(name, sizeof(name), "name %d", k);
      std::snprintf(date, sizeof(date), "%02d/%02d/%04d %02d:%02d:%02d", k % 12 + 1, k % 28 + 1,
                    1990 + k % 30, k % 24, k % 60, (k / 7) % 60);
      std::snprintf(code, sizeof(code), "c%04d", k % 10000);
      names.emplace_back(name);
      dates.emplace_back(date);
      codes.emplace_back(code);
    }
  }
  // Row k: ID k, NAME NULL every 7th row, X k / 4, PRICE (k mod 100000) / 100.
  static double X(int k) { return k * 0.25; }
  static int32_t RawPrice(int k) { return k % 100000; }  // the scaled integer, 2 places
  static bool NameIsNull(int k) { return k % 7 == 0; }
};

inline uint64_t Checksum(const char* bytes, size_t n) {
  uint64_t s = n;
  for (size_t i = 0; i < n; i += 4093) s = s * 31 + static_cast<uint8_t>(bytes[i]);
  return s;
}

// The same checksum over bytes that arrive in pieces.
class StreamChecksum {
 public:
  void Add(const char* bytes, size_t n) {
    for (; next_ < seen_ + n; next_ += 4093) {
      samples_ = samples_ * 31 + static_cast<uint8_t>(bytes[next_ - seen_]);
      ++count_;
    }
    seen_ += n;
  }
  // Checksum(bytes, n) of all the bytes: the length, then the samples.
  uint64_t Value() const {
    uint64_t s = seen_;
    for (size_t k = 0; k < count_; ++k) s *= 31;
    return s + samples_;
  }

 private:
  size_t seen_ = 0, next_ = 0, count_ = 0;
  uint64_t samples_ = 0;
};

// One implementation of the cases, with a connection of its own to the target. A case it cannot
// do is left empty, with the reason in the notes.
struct Impl {
  std::string name;
  std::function<uint64_t(int rows)> fetch;
  std::function<uint64_t(int columns)> wide;
  std::function<uint64_t(const InsertInputs& inputs, int rows)> insert;
  // The same rows as insert, in the implementation's form for many rows at once: parameter
  // arrays, a bulk or batch form; the raw client and a row-by-row form loop.
  std::function<uint64_t(const InsertInputs& inputs, int rows)> insertArray;
  std::function<void(const std::vector<char>& data, int id)> blobWrite;
  std::function<uint64_t(std::vector<char>& back, int id)> blobRead;
  std::string notes;
  std::function<uint64_t(const char* select, int rows)> text;
  // Rows of INTEGER columns into WIDEINS<columns>: the raw client's loop; this package one by
  // one (the "IbDB" column) and as one parameter array, on a new statement each time (first
  // run, the block compiled in the time) or on one statement kept (again).
  std::function<uint64_t(int columns, int rows, bool again)> wideInsert;
  // The blob of blobWrite handed over in 64 KiB pieces, as a caller reading a file would: the
  // raw client's own segment loop; this package through SQLPutData.
  std::function<void(const std::vector<char>& data, int id)> blobPieces = nullptr;
};
constexpr size_t kPiece = 64 * 1024;

// The value of row r, column c of the wide inserts.
inline int32_t WideValue(int r, int c) {
  return r * 7 + c;
}
constexpr int kWideInsertRows = 1000;

// Keeps a formatted text from being optimised away.
inline void Use(const void* p) {
  asm volatile("" : : "r"(p) : "memory");
}

// The peers, where they were built; each returns its implementations, connected to the target,
// or none, with the reason in skipped.
std::vector<Impl> SociImpls(const Target& target, std::string& skipped);
std::vector<Impl> QtImpls(const Target& target, std::string& skipped);

}  // namespace bench
