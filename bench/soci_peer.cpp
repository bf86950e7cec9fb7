// SOCI's Firebird backend, written as its documentation recommends for speed: prepared
// statements with bound variables, fetched row by row and in bulk into vectors.
#include <soci/firebird/soci-firebird.h>
#include <soci/soci.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench/Bench.h"

using namespace bench;

namespace {

constexpr size_t kBatch = 1000;     // rows per bulk fetch or insert
constexpr size_t kWideBatch = 100;  // rows per bulk fetch of the wide rows

std::string Limited(const char* sql, int rows) {
  return std::string(sql) + " ROWS " + std::to_string(rows);
}

// One fetched row in this package's caller form (see FetchRow).
void Fill(FetchRow& row, int id, const std::string& name, const std::tm& date,
          const std::string& code, double x, double price, const soci::indicator* ind) {
  for (int i = 0; i < 6; ++i) row.nulls[i] = ind[i] == soci::i_null;
  row.id = id;
  if (!row.nulls[1]) {
    size_t n = std::min<size_t>(name.size(), 20);
    std::memcpy(row.name, name.data(), n);
    row.name[n] = '\0';
  }
  if (!row.nulls[2]) FormatTm(date, row.date);
  std::memset(row.code, 0, 5);
  if (!row.nulls[3]) std::memcpy(row.code, code.data(), std::min<size_t>(code.size(), 5));
  row.x = row.nulls[4] ? 0 : x;
  row.price = row.nulls[5] ? 0 : static_cast<int32_t>(std::trunc(price));
}

[[gnu::noinline]] uint64_t FetchSociRow(soci::session& sql, int rows) {
  int id = 0;
  std::string name, code;
  std::tm date{};
  double x = 0, price = 0;
  soci::indicator ind[6];
  soci::statement st = (sql.prepare << Limited(kFetchSelect, rows), soci::into(id, ind[0]),
                        soci::into(name, ind[1]), soci::into(date, ind[2]),
                        soci::into(code, ind[3]), soci::into(x, ind[4]), soci::into(price, ind[5]));
  st.execute();
  FetchRow row{};
  uint64_t sum = 0;
  while (st.fetch()) {
    Fill(row, id, name, date, code, x, price, ind);
    sum += row.Sum();
  }
  sql.commit();
  return sum;
}

[[gnu::noinline]] uint64_t FetchSociBulk(soci::session& sql, int rows) {
  std::vector<int> ids(kBatch);
  std::vector<std::string> names(kBatch), codes(kBatch);
  std::vector<std::tm> dates(kBatch);
  std::vector<double> xs(kBatch), prices(kBatch);
  std::vector<soci::indicator> ind[6];
  for (auto& v : ind) v.resize(kBatch);
  soci::statement st =
      (sql.prepare << Limited(kFetchSelect, rows), soci::into(ids, ind[0]),
       soci::into(names, ind[1]), soci::into(dates, ind[2]), soci::into(codes, ind[3]),
       soci::into(xs, ind[4]), soci::into(prices, ind[5]));
  st.execute();
  FetchRow row{};
  uint64_t sum = 0;
  while (st.fetch()) {
    for (size_t r = 0; r < ids.size(); ++r) {
      const soci::indicator flags[6] = {ind[0][r], ind[1][r], ind[2][r],
                                        ind[3][r], ind[4][r], ind[5][r]};
      Fill(row, ids[r], names[r], dates[r], codes[r], xs[r], prices[r], flags);
      sum += row.Sum();
    }
    ids.resize(kBatch);
    names.resize(kBatch);
    dates.resize(kBatch);
    codes.resize(kBatch);
    xs.resize(kBatch);
    prices.resize(kBatch);
    for (auto& v : ind) v.resize(kBatch);
  }
  sql.commit();
  return sum;
}

// Prepares and runs the select of a wide table on a statement whose variables are exchanged.
void ExecuteWide(soci::statement& st, int columns) {
  st.alloc();
  st.prepare("SELECT * FROM WIDE" + std::to_string(columns));
  st.define_and_bind();
  st.execute();
}

[[gnu::noinline]] uint64_t WideSociRow(soci::session& sql, int columns) {
  std::vector<int> values(static_cast<size_t>(columns));
  std::vector<soci::indicator> ind(static_cast<size_t>(columns));
  soci::statement st(sql);
  for (int c = 0; c < columns; ++c) st.exchange(soci::into(values[c], ind[c]));
  ExecuteWide(st, columns);
  uint64_t sum = 0;
  while (st.fetch()) {
    for (int c = 0; c < columns; ++c) {
      sum += ind[c] == soci::i_null ? 7 : static_cast<uint32_t>(values[c]);
    }
  }
  sql.commit();
  return sum;
}

[[gnu::noinline]] uint64_t WideSociBulk(soci::session& sql, int columns) {
  const auto n = static_cast<size_t>(columns);
  std::vector<std::vector<int>> values(n, std::vector<int>(kWideBatch));
  std::vector<std::vector<soci::indicator>> ind(n, std::vector<soci::indicator>(kWideBatch));
  soci::statement st(sql);
  for (size_t c = 0; c < n; ++c) st.exchange(soci::into(values[c], ind[c]));
  ExecuteWide(st, columns);
  uint64_t sum = 0;
  while (st.fetch()) {
    for (size_t r = 0; r < values[0].size(); ++r) {
      for (size_t c = 0; c < n; ++c) {
        sum += ind[c][r] == soci::i_null ? 7 : static_cast<uint32_t>(values[c][r]);
      }
    }
    for (size_t c = 0; c < n; ++c) {
      values[c].resize(kWideBatch);
      ind[c].resize(kWideBatch);
    }
  }
  sql.commit();
  return sum;
}

constexpr const char* kSociInsert =
    "INSERT INTO INS (ID, NAME, D, CODE, X, PRICE) VALUES (:id, :name, :d, :code, :x, :price)";

[[gnu::noinline]] uint64_t InsertSociRow(soci::session& sql, const InsertInputs& in, int rows) {
  int id = 0;
  std::string name, code;
  std::tm date{};
  double x = 0, price = 0;
  soci::indicator nameInd = soci::i_ok;
  soci::statement st = (sql.prepare << kSociInsert, soci::use(id), soci::use(name, nameInd),
                        soci::use(date), soci::use(code), soci::use(x), soci::use(price));
  for (int k = 0; k < rows; ++k) {
    const auto row = static_cast<size_t>(k);
    id = k;
    name = in.names[row];
    nameInd = InsertInputs::NameIsNull(k) ? soci::i_null : soci::i_ok;
    ParseTm(in.dates[row].c_str(), date);
    code = in.codes[row];
    x = InsertInputs::X(k);
    price = InsertInputs::RawPrice(k) / 100.0;
    st.execute(true);
  }
  sql.commit();
  return static_cast<uint64_t>(rows);
}

[[gnu::noinline]] uint64_t InsertSociBulk(soci::session& sql, const InsertInputs& in, int rows) {
  std::vector<int> ids;
  std::vector<std::string> names, codes;
  std::vector<std::tm> dates;
  std::vector<double> xs, prices;
  std::vector<soci::indicator> nameInd;
  for (int start = 0; start < rows; start += static_cast<int>(kBatch)) {
    const int end = std::min(rows, start + static_cast<int>(kBatch));
    ids.clear();
    names.clear();
    codes.clear();
    dates.clear();
    xs.clear();
    prices.clear();
    nameInd.clear();
    for (int k = start; k < end; ++k) {
      const auto row = static_cast<size_t>(k);
      ids.push_back(k);
      names.push_back(in.names[row]);
      nameInd.push_back(InsertInputs::NameIsNull(k) ? soci::i_null : soci::i_ok);
      std::tm date;
      ParseTm(in.dates[row].c_str(), date);
      dates.push_back(date);
      codes.push_back(in.codes[row]);
      xs.push_back(InsertInputs::X(k));
      prices.push_back(InsertInputs::RawPrice(k) / 100.0);
    }
    sql << kSociInsert, soci::use(ids), soci::use(names, nameInd), soci::use(dates),
        soci::use(codes), soci::use(xs), soci::use(prices);
  }
  sql.commit();
  return static_cast<uint64_t>(rows);
}

// The blob and the statement end before the commit: a blob closed after it fails.
[[gnu::noinline]] void BlobWriteSociRow(soci::session& sql, const std::vector<char>& data, int id) {
  {
    soci::blob blob(sql);
    blob.write(0, data.data(), data.size());
    sql << "INSERT INTO BLOBS (ID, B) VALUES (:id, :b)", soci::use(id), soci::use(blob);
  }
  sql.commit();
}

[[gnu::noinline]] uint64_t BlobReadSociRow(soci::session& sql, std::vector<char>& back, int id) {
  sql.commit();  // SOCI keeps a transaction open from the last commit: see what came since
  uint64_t sum;
  {
    soci::blob blob(sql);
    soci::statement st =
        (sql.prepare << "SELECT B FROM BLOBS WHERE ID = :id", soci::into(blob), soci::use(id));
    st.execute(true);
    const size_t length = blob.get_len();
    blob.read(0, back.data(), length);
    sum = Checksum(back.data(), length);
  }
  sql.commit();
  return sum;
}

// Every column as a std::string: SOCI fetches into std::string only from text columns, so each
// value is read through soci::row in the type SOCI gives it and turned into text as a user
// would.
[[gnu::noinline]] uint64_t TextSoci(soci::session& sql, const char* select, int rows) {
  soci::row row;
  soci::statement st = (sql.prepare << Limited(select, rows), soci::into(row));
  st.execute();
  uint64_t sum = 0;
  std::string text;
  char buffer[64];
  while (st.fetch()) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (row.get_indicator(i) == soci::i_null) continue;
      switch (row.get_properties(i).get_data_type()) {
        case soci::dt_string:
          text = row.get<std::string>(i);
          break;
        case soci::dt_double:
          text.assign(buffer, std::to_chars(buffer, buffer + 64, row.get<double>(i)).ptr);
          break;
        case soci::dt_integer:
          text = std::to_string(row.get<int>(i));
          break;
        case soci::dt_long_long:
          text = std::to_string(row.get<long long>(i));
          break;
        case soci::dt_date: {
          const std::tm t = row.get<std::tm>(i);
          text.assign(buffer, std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &t));
          break;
        }
        default:
          text.clear();
          break;
      }
      Use(text.data());
      ++sum;
    }
  }
  sql.commit();
  return sum;
}

std::shared_ptr<soci::session> Open(const Target& target) {
  std::string connect = "service=" + target.name;
  if (!target.user.empty()) connect += " user=" + target.user + " password=" + target.password;
  return std::make_shared<soci::session>(soci::firebird, connect);
}

}  // namespace

std::vector<Impl> bench::SociImpls(const Target& target, std::string& skipped) {
  std::shared_ptr<soci::session> row, bulk;
  try {
    row = Open(target);
    bulk = Open(target);
  } catch (const std::exception& e) {
    skipped = std::string("SOCI skipped: ") + e.what();
    return {};
  }
  return {
      {"SOCI row", [row](int rows) { return FetchSociRow(*row, rows); },
       [row](int columns) { return WideSociRow(*row, columns); },
       [row](const InsertInputs& in, int rows) { return InsertSociRow(*row, in, rows); }, nullptr,
       [row](const std::vector<char>& data, int id) { BlobWriteSociRow(*row, data, id); },
       [row](std::vector<char>& back, int id) { return BlobReadSociRow(*row, back, id); },
       "SOCI delivers NUMERIC(9,2) as a double and dates as std::tm; the loop takes the integer "
       "part and formats the date text as the raw loop does. Blobs go through soci::blob, "
       "which holds the whole blob in memory.",
       [row](const char* select, int rows) { return TextSoci(*row, select, rows); }, nullptr},
      {"SOCI bulk", [bulk](int rows) { return FetchSociBulk(*bulk, rows); },
       [bulk](int columns) { return WideSociBulk(*bulk, columns); },
       [bulk](const InsertInputs& in, int rows) { return InsertSociBulk(*bulk, in, rows); },
       [bulk](const InsertInputs& in, int rows) { return InsertSociBulk(*bulk, in, rows); },
       nullptr, nullptr, "vectors of 1000 rows (100 for the wide rows); blobs have no bulk form.",
       nullptr, nullptr},
  };
}
