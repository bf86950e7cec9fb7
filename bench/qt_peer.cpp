// Qt's QIBASE driver, written as its documentation recommends for speed: forward-only queries,
// prepared statements with bound values.
#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/Bench.h"

using namespace bench;

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

[[noreturn]] void Die(const char* what, const QSqlError& error) {
  std::fprintf(stderr, "Qt %s failed: %s\n", what, error.text().toStdString().c_str());
  std::exit(1);
}

void Exec(QSqlQuery& q, const char* what) {
  if (!q.exec()) Die(what, q.lastError());
}

[[gnu::noinline]] uint64_t FetchQt(QSqlDatabase& db, int rows) {
  db.transaction();
  QSqlQuery q(db);
  q.setForwardOnly(true);
  if (!q.exec(Q(std::string(kFetchSelect) + " ROWS " + std::to_string(rows)))) {
    Die("fetch", q.lastError());
  }
  FetchRow row{};
  uint64_t sum = 0;
  while (q.next()) {
    for (int i = 0; i < 6; ++i) row.nulls[i] = q.isNull(i);
    row.id = q.value(0).toInt();
    if (!row.nulls[1]) {
      QByteArray name = q.value(1).toString().toLatin1();
      size_t n = std::min<size_t>(static_cast<size_t>(name.size()), 20);
      std::memcpy(row.name, name.constData(), n);
      row.name[n] = '\0';
    }
    if (!row.nulls[2]) {
      QDateTime value = q.value(2).toDateTime();
      std::tm t{};
      t.tm_year = value.date().year() - 1900;
      t.tm_mon = value.date().month() - 1;
      t.tm_mday = value.date().day();
      t.tm_hour = value.time().hour();
      t.tm_min = value.time().minute();
      t.tm_sec = value.time().second();
      FormatTm(t, row.date);
    }
    std::memset(row.code, 0, 5);
    if (!row.nulls[3]) {
      QByteArray code = q.value(3).toString().toLatin1();
      std::memcpy(row.code, code.constData(),
                  std::min<size_t>(static_cast<size_t>(code.size()), 5));
    }
    row.x = row.nulls[4] ? 0 : q.value(4).toDouble();
    row.price = row.nulls[5] ? 0 : static_cast<int32_t>(std::trunc(q.value(5).toDouble()));
    sum += row.Sum();
  }
  q.finish();
  db.commit();
  return sum;
}

[[gnu::noinline]] uint64_t WideQt(QSqlDatabase& db, int columns) {
  db.transaction();
  QSqlQuery q(db);
  q.setForwardOnly(true);
  if (!q.exec(Q("SELECT * FROM WIDE" + std::to_string(columns)))) Die("wide", q.lastError());
  uint64_t sum = 0;
  while (q.next()) {
    for (int c = 0; c < columns; ++c) {
      sum += q.isNull(c) ? 7 : static_cast<uint32_t>(q.value(c).toInt());
    }
  }
  q.finish();
  db.commit();
  return sum;
}

[[gnu::noinline]] uint64_t InsertQt(QSqlDatabase& db, const InsertInputs& in, int rows) {
  db.transaction();
  QSqlQuery q(db);
  if (!q.prepare(kInsertSql)) Die("prepare", q.lastError());
  for (int k = 0; k < rows; ++k) {
    const auto row = static_cast<size_t>(k);
    std::tm t;
    ParseTm(in.dates[row].c_str(), t);
    q.bindValue(0, k);
    q.bindValue(1, InsertInputs::NameIsNull(k) ? QVariant() : QVariant(Q(in.names[row])));
    q.bindValue(2, QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday),
                             QTime(t.tm_hour, t.tm_min, t.tm_sec)));
    q.bindValue(3, Q(in.codes[row]));
    q.bindValue(4, InsertInputs::X(k));
    q.bindValue(5, InsertInputs::RawPrice(k) / 100.0);
    Exec(q, "insert");
  }
  db.commit();
  return static_cast<uint64_t>(rows);
}

// QSqlQuery::execBatch with lists of kArrayRows values per parameter.
[[gnu::noinline]] uint64_t InsertQtBatch(QSqlDatabase& db, const InsertInputs& in, int rows) {
  db.transaction();
  QSqlQuery q(db);
  if (!q.prepare(kInsertSql)) Die("prepare", q.lastError());
  for (int start = 0; start < rows; start += kArrayRows) {
    const int end = std::min(rows, start + kArrayRows);
    QVariantList ids, names, dates, codes, xs, prices;
    for (int k = start; k < end; ++k) {
      const auto row = static_cast<size_t>(k);
      std::tm t;
      ParseTm(in.dates[row].c_str(), t);
      ids << k;
      names << (InsertInputs::NameIsNull(k) ? QVariant(QVariant::String)
                                            : QVariant(Q(in.names[row])));
      dates << QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday),
                         QTime(t.tm_hour, t.tm_min, t.tm_sec));
      codes << Q(in.codes[row]);
      xs << InsertInputs::X(k);
      prices << InsertInputs::RawPrice(k) / 100.0;
    }
    for (QVariantList* list : {&ids, &names, &dates, &codes, &xs, &prices}) q.addBindValue(*list);
    if (!q.execBatch()) Die("batch insert", q.lastError());
  }
  db.commit();
  return static_cast<uint64_t>(rows);
}

[[gnu::noinline]] void BlobWriteQt(QSqlDatabase& db, const std::vector<char>& data, int id) {
  db.transaction();
  QSqlQuery q(db);
  if (!q.prepare("INSERT INTO BLOBS (ID, B) VALUES (?, ?)")) Die("prepare", q.lastError());
  q.bindValue(0, id);
  q.bindValue(1, QByteArray::fromRawData(data.data(), static_cast<int>(data.size())));
  Exec(q, "blob insert");
  db.commit();
}

[[gnu::noinline]] uint64_t BlobReadQt(QSqlDatabase& db, std::vector<char>&, int id) {
  db.transaction();
  QSqlQuery q(db);
  q.setForwardOnly(true);
  if (!q.exec(Q("SELECT B FROM BLOBS WHERE ID = " + std::to_string(id))) || !q.next()) {
    Die("blob read", q.lastError());
  }
  QByteArray bytes = q.value(0).toByteArray();
  q.finish();
  db.commit();
  return Checksum(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// Every column as QVariant::toString().
[[gnu::noinline]] uint64_t TextQt(QSqlDatabase& db, const char* select, int rows) {
  db.transaction();
  QSqlQuery q(db);
  q.setForwardOnly(true);
  if (!q.exec(Q(std::string(select) + " ROWS " + std::to_string(rows)))) {
    Die("text", q.lastError());
  }
  uint64_t sum = 0;
  const int columns = q.record().count();
  while (q.next()) {
    for (int i = 0; i < columns; ++i) {
      if (q.isNull(i)) continue;
      const QString text = q.value(i).toString();
      Use(text.constData());
      ++sum;
    }
  }
  db.commit();
  return sum;
}

}  // namespace

std::vector<Impl> bench::QtImpls(const Target& target, std::string& skipped) {
  static int argc = 1;
  static char name[] = "varlo-bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  static int connections = 0;
  auto db = std::make_shared<QSqlDatabase>(
      QSqlDatabase::addDatabase("QIBASE", QString("bench%1").arg(++connections)));
  db->setDatabaseName(Q(target.name));
  db->setUserName(Q(target.user));
  db->setPassword(Q(target.password));
  if (!db->open()) {
    skipped = "Qt skipped: " + db->lastError().text().toStdString();
    return {};
  }
  return {{"Qt", [db](int rows) { return FetchQt(*db, rows); },
           [db](int columns) { return WideQt(*db, columns); },
           [db](const InsertInputs& in, int rows) { return InsertQt(*db, in, rows); },
           [db](const InsertInputs& in, int rows) { return InsertQtBatch(*db, in, rows); },
           [db](const std::vector<char>& data, int id) { BlobWriteQt(*db, data, id); },
           [db](std::vector<char>& back, int id) { return BlobReadQt(*db, back, id); },
           "Qt delivers values as QVariant (text as QString, NUMERIC(9,2) as a double, dates as "
           "QDateTime); the loop converts them to the same form. Blobs arrive as a QByteArray, "
           "checksummed where they lie, without a copy into the caller's buffer.",
           [db](const char* select, int rows) { return TextQt(*db, select, rows); }, nullptr}};
}
