// Parts that need no database: descriptor sizes, type codes, the entry table, binding lists,
// date text, error text from status vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "client/IBAPI.h"
#include "framework/SysUtils.h"
#include "ibdb/IbDB.h"
#include "tests/support/TestSupport.h"

using namespace IbDB;

TEST(ClientBinding, DescriptorAreaSizeFollowsTheClientLayout) {
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(1), sizeof(XSQLDA));
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(0), sizeof(XSQLDA) - sizeof(XSQLVAR));
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(5), sizeof(XSQLDA) + 4 * sizeof(XSQLVAR));
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(65535), sizeof(XSQLDA) + 65534 * sizeof(XSQLVAR));
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(0), offsetof(XSQLDA, sqlvar));
#if defined(__x86_64__)
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(0), 24u);
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(1), 184u);
  EXPECT_EQ(IBAPI::XSQLDA_LENGTH(5), 824u);
#endif
}

TEST(ClientBinding, OddTypeCodesAreTheirEvenPair) {
  using IBAPI::KindOf;
  using IBAPI::TypeKind;
  EXPECT_EQ(KindOf(448), TypeKind::Varying);
  EXPECT_EQ(KindOf(449), TypeKind::Varying);
  EXPECT_EQ(KindOf(510), TypeKind::Date);
  EXPECT_EQ(KindOf(511), TypeKind::Date);
  EXPECT_EQ(KindOf(520), TypeKind::Blob);
  EXPECT_EQ(KindOf(521), TypeKind::Blob);
  for (int16_t code : {452, 453, 480, 481, 482, 496, 497, 500, 501, 580, 0, -1}) {
    EXPECT_EQ(KindOf(code), TypeKind::Plain) << code;
  }
  EXPECT_TRUE(IBAPI::SameType(449, 448));
  EXPECT_FALSE(IBAPI::SameType(450, 448));
}

namespace {
ISC_STATUS ISC_EXPORT RefuseAttach(ISC_STATUS* status, short, const ISC_SCHAR*, isc_db_handle*,
                                   short, const ISC_SCHAR*) {
  return VarloTest::InjectFault(status);
}
}  // namespace

TEST(ClientBinding, EntryOverrideRestoresTheLinkedEntry) {
  EXPECT_EQ(IBAPI::Entries.isc_attach_database, &::isc_attach_database);
  {
    IBAPI::EntryOverride guard(IBAPI::Entries.isc_attach_database, &RefuseAttach);
    EXPECT_EQ(IBAPI::Entries.isc_attach_database, &RefuseAttach);
    EXPECT_EQ(guard.Previous(), &::isc_attach_database);
    TIbConnRec* conn = nullptr;
    SQLAllocConnect(conn);
    EXPECT_EQ(SQLConnect(conn, "/nonexistent/x.fdb", "", ""), -1);
    EXPECT_EQ(conn->Status[1], isc_random);
    SQLDisconnect(conn);
  }
  EXPECT_EQ(IBAPI::Entries.isc_attach_database, &::isc_attach_database);
}

// ---- binding lists ----

class BindingLists : public ::testing::Test {
 protected:
  ~BindingLists() override { DestroyLL(head); }
  TBindNode* head = nullptr;
  uint8_t flags[3] = {1, 1, 1};
  int data[3] = {10, 20, 30};
};

TEST_F(BindingLists, EmptyListFindsNothing) {
  EXPECT_EQ(SearchLL(head, 0), nullptr);
  EXPECT_EQ(IsNullSearchLL(head, 0), nullptr);
  EXPECT_EQ(BlobSearchLL(head, 0), nullptr);
  UpdateIsNullPtr(head, 0, 1);
  DestroyLL(head);
  EXPECT_EQ(head, nullptr);
}

TEST_F(BindingLists, AppendsAtTheTailAndTheFirstMatchWins) {
  AddLL(head, 2, &data[0], &flags[0], nullptr, 0);
  AddLL(head, 0, &data[1], &flags[1], nullptr, 0);
  AddLL(head, 2, &data[2], &flags[2], nullptr, 0);
  EXPECT_EQ(head->Index, 2);
  EXPECT_EQ(head->Next->Index, 0);
  EXPECT_EQ(head->Next->Next->Index, 2);
  EXPECT_EQ(head->Next->Next->Next, nullptr);
  EXPECT_EQ(SearchLL(head, 2), &data[0]);
  EXPECT_EQ(SearchLL(head, 0), &data[1]);
  EXPECT_EQ(SearchLL(head, 1), nullptr);
  EXPECT_EQ(IsNullSearchLL(head, 0), &flags[1]);
  EXPECT_EQ(BlobSearchLL(head, 2), head);
}

TEST_F(BindingLists, AddClearsTheFlagAndRecordsEveryField) {
  int32_t length = 77;
  AddLL(head, -1, &data[0], &flags[0], &length, 4096);
  EXPECT_EQ(flags[0], 0);
  TBindNode* node = BlobSearchLL(head, -1);  // index -1 is an ordinary key
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->Size, 4096);
  EXPECT_EQ(node->SizePtr, &length);
  EXPECT_EQ(node->Data, &data[0]);
  EXPECT_EQ(node->NullFlag, &flags[0]);
}

TEST_F(BindingLists, UpdateWritesOnlyAMatchingFlag) {
  AddLL(head, 0, &data[0], &flags[0], nullptr, 0);
  AddLL(head, 1, &data[1], &flags[1], nullptr, 0);
  UpdateIsNullPtr(head, 1, 1);
  EXPECT_EQ(flags[1], 1);
  EXPECT_EQ(flags[0], 0);
  UpdateIsNullPtr(head, 1, 0);
  EXPECT_EQ(flags[1], 0);
  UpdateIsNullPtr(head, 5, 1);
  EXPECT_EQ(flags[0], 0);
  EXPECT_EQ(flags[1], 0);
}

TEST_F(BindingLists, DestroyFreesNodesButNotWhatTheyPointAt) {
  for (int i = 0; i < 3; ++i) AddLL(head, i, &data[i], &flags[i], nullptr, 0);
  flags[1] = 1;
  DestroyLL(head);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(data[1], 20);
  EXPECT_EQ(flags[1], 1);
}

// ---- date text ----

namespace {
ISC_QUAD Encode(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  ISC_QUAD q{};
  isc_encode_date(&t, &q);
  return q;
}

std::string Text(const ISC_QUAD& q) {
  char text[32];
  std::memset(text, 'x', sizeof(text));
  IBDateToTM(&q, text);
  EXPECT_EQ(text[20], 'x') << "wrote past the 20 bytes of the text";
  return text;
}

bool SameQuad(const ISC_QUAD& a, const ISC_QUAD& b) {
  return a.gds_quad_high == b.gds_quad_high && a.gds_quad_low == b.gds_quad_low;
}
}  // namespace

TEST(DateText, ClientDatesBecomeFixedLayoutText) {
  EXPECT_EQ(Text(Encode(1998, 3, 5, 7, 8, 9)), "03/05/1998 07:08:09");
  EXPECT_EQ(Text(Encode(1998, 12, 31, 23, 59, 59)), "12/31/1998 23:59:59");
  EXPECT_EQ(Text(Encode(2024, 2, 29)), "02/29/2024 00:00:00");
  EXPECT_EQ(Text(Encode(1899, 1, 1, 12)), "01/01/1899 12:00:00");
  // Years past 9999 do not fit the layout: the text is cut to its 19 characters.
  EXPECT_EQ(Text(Encode(10000, 1, 2, 3, 4, 5)), "01/02/10000 03:04:0");
  std::string old = Text(Encode(999, 6, 15));
  EXPECT_EQ(old, "06/15/ 999 00:00:00");
  EXPECT_EQ(old.size(), 19u);
}

TEST(DateText, EveryWrittenTextReadsBackAsTheSameDate) {
  for (int year : {1, 99, 999, 1000, 1899, 1900, 1998, 1999, 2000, 2024, 2038, 9999}) {
    for (auto [month, day, hour, minute, second] :
         {std::tuple{1, 1, 0, 0, 0}, {2, 28, 23, 59, 59}, {3, 1, 0, 0, 1}, {12, 31, 12, 30, 1}}) {
      ISC_QUAD q = Encode(year, month, day, hour, minute, second);
      std::string text = Text(q);
      ISC_QUAD back{};
      IBTMToDate(&back, text.c_str());
      EXPECT_TRUE(SameQuad(q, back)) << text;
    }
  }
}

TEST(DateText, SeparatorsAreNotRead) {
  ISC_QUAD a{}, b{};
  IBTMToDate(&a, "12/31/1998 23:59:59");
  IBTMToDate(&b, "12-31-1998T23.59.59");
  EXPECT_TRUE(SameQuad(a, b));
  EXPECT_TRUE(SameQuad(a, Encode(1998, 12, 31, 23, 59, 59)));
}

TEST(DateText, MalformedFieldsRaiseAndLeaveTheDateUntouched) {
  const ISC_QUAD untouched{0x1234, 0x5678};
  for (const char* text : {"1/5/1998 7:08:09", "", "12/31/1998", "12/31/1998 23:59",
                           "ab/31/1998 23:59:59", "12/31/19x8 23:59:59", "12/31/1998 23:59:5 "}) {
    ISC_QUAD date = untouched;
    EXPECT_THROW(IBTMToDate(&date, text), Framework::EConvertError) << text;
    EXPECT_TRUE(SameQuad(date, untouched)) << text;
  }
}

TEST(DateText, FieldsEndAtTheTerminator) {
  // The text ends inside the second field: the reader must not look past the NUL.
  char text[32];
  std::memset(text, '1', sizeof(text));
  std::memcpy(text, "12/3\0", 5);
  ISC_QUAD date{};
  EXPECT_THROW(IBTMToDate(&date, text), Framework::EConvertError);
}

TEST(DateText, ImpossibleDatesRaiseAndAreNeverStoredAsOthers) {
  for (const char* text : {"00/31/2024 10:00:00", "13/01/2024 00:00:00", "02/30/2024 00:00:00",
                           "02/29/2023 00:00:00", "04/31/2024 00:00:00", "01/01/2024 24:00:00",
                           "01/01/2024 23:60:00", "01/01/2024 23:59:60", "01/00/2024 00:00:00"}) {
    ISC_QUAD date{7, 7};
    EXPECT_THROW(IBTMToDate(&date, text), Framework::EConvertError) << text;
    EXPECT_EQ(date.gds_quad_high, 7) << text;
  }
  ISC_QUAD date{};
  IBTMToDate(&date, "02/29/2024 23:59:59");
  EXPECT_TRUE(SameQuad(date, Encode(2024, 2, 29, 23, 59, 59)));
  IBTMToDate(&date, "06/15/ 999 00:00:00");
  EXPECT_TRUE(SameQuad(date, Encode(999, 6, 15)));
}

// ---- error text ----

namespace {
constexpr ISC_STATUS kTwoMessages[] = {isc_arg_gds, isc_bad_db_handle, isc_arg_gds,
                                       isc_bad_stmt_handle, isc_arg_end};
constexpr const char* kTwoTexts =
    "|invalid database handle (no active connection)|invalid statement handle";

void SetVector(ISC_STATUS* target, const ISC_STATUS* source, size_t n) {
  std::memset(target, 0, 20 * sizeof(ISC_STATUS));
  std::memcpy(target, source, n * sizeof(ISC_STATUS));
}
}  // namespace

class ErrorText : public ::testing::Test {
 protected:
  TIbConnRec conn{};
  TIbStmtRec stmt{};
  char buffer[1024] = {};
};

TEST_F(ErrorText, MessagesArePrecededByBarsAndAppended) {
  SetVector(conn.Status, kTwoMessages, 5);
  SQLError(&conn, nullptr, buffer);
  EXPECT_STREQ(buffer, kTwoTexts);
  std::strcpy(buffer, "before");
  SQLError(&conn, nullptr, buffer);
  EXPECT_EQ(std::string(buffer), std::string("before") + kTwoTexts);
  SQLError(&conn, nullptr, buffer);  // the vector is left as it was
  EXPECT_EQ(std::string(buffer), std::string("before") + kTwoTexts + kTwoTexts);
}

TEST_F(ErrorText, TheConnectionsVectorWinsOverTheStatements) {
  const ISC_STATUS stmtError[] = {isc_arg_gds, isc_dsql_command_err, isc_arg_end};
  SetVector(stmt.Status, stmtError, 3);
  SQLError(&conn, &stmt, buffer);
  EXPECT_STREQ(buffer, "|Invalid command");
  buffer[0] = '\0';
  SetVector(conn.Status, kTwoMessages, 5);
  SQLError(&conn, &stmt, buffer);
  EXPECT_STREQ(buffer, kTwoTexts);
}

TEST_F(ErrorText, NothingIsAddedWithoutAnError) {
  std::strcpy(buffer, "kept");
  SQLError(&conn, &stmt, buffer);
  SQLError(&conn, nullptr, buffer);
  SQLError(nullptr, nullptr, buffer);
  EXPECT_STREQ(buffer, "kept");
}

TEST_F(ErrorText, BoundedFormNeverWritesPastItsSize) {
  SetVector(conn.Status, kTwoMessages, 5);
  const std::string full = std::string("ab") + kTwoTexts;
  for (size_t size = 0; size <= full.size() + 2; ++size) {
    char bounded[128];
    std::memset(bounded, '#', sizeof(bounded));
    if (size > 0) std::strncpy(bounded, "ab", size);
    if (size > 0 && size <= 2) bounded[size - 1] = '\0';
    SQLError(&conn, nullptr, bounded, size);
    for (size_t i = size; i < sizeof(bounded); ++i) ASSERT_EQ(bounded[i], '#') << size;
    if (size == 0) continue;
    std::string got(bounded, strnlen(bounded, size));
    ASSERT_LT(got.size(), size) << "no terminator within " << size;
    EXPECT_EQ(got, full.substr(0, got.size())) << size;
    if (size > full.size()) {
      EXPECT_EQ(got, full);
    }
  }
}

TEST_F(ErrorText, LongMessagesAreCutToTheBuffer) {
  // isc_random carries its own text; a 2000-character argument still ends within 513 bytes.
  std::string longText(2000, 'm');
  ISC_STATUS v[] = {isc_arg_gds, isc_random, isc_arg_string,
                    reinterpret_cast<ISC_STATUS>(longText.c_str()), isc_arg_end};
  SetVector(conn.Status, v, 5);
  std::string big(4096, '\0');
  SQLError(&conn, nullptr, big.data());
  size_t n = std::strlen(big.c_str());
  EXPECT_GT(n, 100u);
  EXPECT_LE(n, 513u);
  EXPECT_EQ(big[0], '|');
}
