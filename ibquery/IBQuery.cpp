#include "ibquery/IBQuery.h"

#include <cstring>

#include "framework/Dialogs.h"
#include "framework/SysUtils.h"

namespace IBQuery {

using namespace IbDB;

namespace {

constexpr uint8_t kCommit = 0;
constexpr uint8_t kRollback = 1;
constexpr uint8_t kStart = 2;
constexpr uint8_t kDrop = 1;
constexpr const char* kNotConnected = "|not connected";

constexpr const char* kConnectPrefix = "Src Connect Failed: ";
constexpr const char* kQueryPrefix = "Query Exe Failed: ";
constexpr const char* kStmtPrefix = "Stmt Failed:";
constexpr const char* kAllocPrefix = "Alloc Stmt Failed: ";

TIBQuery& Self(Framework::TComponent& c) {
  return static_cast<TIBQuery&>(c);
}
const TIBQuery& Self(const Framework::TComponent& c) {
  return static_cast<const TIBQuery&>(c);
}

Framework::TPropInfo StringProperty(const char* name, const std::string& (TIBQuery::*get)() const,
                                    void (TIBQuery::*set)(const std::string&)) {
  return Framework::TPropInfo::String(
      name, [get](const Framework::TComponent& c) { return (Self(c).*get)(); },
      [set](Framework::TComponent& c, const std::string& v) { (Self(c).*set)(v); });
}

Framework::TPropInfo Flagged(Framework::TPropInfo info, bool readOnly, bool masked) {
  info.ReadOnly = readOnly;
  info.Masked = masked;
  return info;
}

}  // namespace

TIBQuery::TIBQuery(Framework::TComponent* AOwner)
    : Framework::TComponent(AOwner), FSql(new Framework::TStringList) {}

TIBQuery::~TIBQuery() {
  delete FSql;
}

const Framework::TComponentClass& TIBQuery::StaticClass() {
  static const Framework::TComponentClass cls(
      "TIBQuery", &Framework::TComponent::StaticClass(),
      {
          Framework::TPropInfo::StringList(
              "Sql",
              [](const Framework::TComponent& c) -> const Framework::TStringList& {
                return Self(c).Sql();
              },
              [](Framework::TComponent& c, const Framework::TStringList& v) { Self(c).SetSql(v); }),
          StringProperty("DataBaseName", &TIBQuery::DataBaseName, &TIBQuery::SetDataBaseName),
          StringProperty("UserName", &TIBQuery::UserName, &TIBQuery::SetUserName),
          Flagged(StringProperty("Password", &TIBQuery::Password, &TIBQuery::SetPassword), false,
                  true),
          Flagged(Framework::TPropInfo::Integer(
                      "ExecTime", [](const Framework::TComponent& c) { return Self(c).ExecTime(); },
                      [](Framework::TComponent& c, int32_t v) { Self(c).SetExecTime(v); }),
                  true, false),
      },
      [](Framework::TComponent* owner) { return new TIBQuery(owner); });
  return cls;
}

void TIBQuery::SetSql(const Framework::TStringList& value) {
  FSql->Assign(value);
}

void TIBQuery::HandleError(const std::string& msg) {
  Framework::MessageDlg(msg, Framework::mtInformation, Framework::mbOK, 0);
}

void TIBQuery::ShowErrorText(const char* prefix) {
  HandleError(prefix + std::string(FErrorText, strnlen(FErrorText, sizeof(FErrorText))));
}

void TIBQuery::ReportFailure(const char* prefix, TIbStmtRec* stmt) {
  std::memset(FErrorText, 0, sizeof(FErrorText));
  SQLError(FConnHandle, stmt, FErrorText, sizeof(FErrorText));
  ShowErrorText(prefix);
}

void TIBQuery::connect() {
  FLastResult = 0;
  if (FConnHandle != nullptr) return;
  SQLAllocConnect(FConnHandle);
  FLastResult = static_cast<int16_t>(SQLConnect(FConnHandle, FDataBaseName, FUserName, FPassword));
  if (FLastResult != 0) {
    ReportFailure(kConnectPrefix, nullptr);
    SQLDisconnect(FConnHandle);  // releases the record of the attempt and clears the handle
  }
}

void TIBQuery::disconnect() {
  if (FConnHandle != nullptr) SQLDisconnect(FConnHandle);
}

void TIBQuery::Transact(uint8_t fType) {
  if (FConnHandle == nullptr) {
    FLastResult = -1;
    HandleError(std::string(kQueryPrefix) + kNotConnected);
    return;
  }
  FLastResult = static_cast<int16_t>(SQLTransact(FConnHandle, fType));
  if (FLastResult != 0) ReportFailure(kQueryPrefix, nullptr);
}

void TIBQuery::Starttransaction() {
  Transact(kStart);
}
void TIBQuery::Commit() {
  Transact(kCommit);
}
void TIBQuery::Rollback() {
  Transact(kRollback);
}

void TIBQuery::execSql() {
  // Each line up to its first NUL, one blank after each; nothing is cut.
  FSqlText.clear();
  const int lines = FSql->Count();
  for (int i = 0; i < lines; ++i) {
    const std::string& line = FSql->Strings(i);
    FSqlText.append(line.c_str(), strnlen(line.c_str(), line.size()));
    FSqlText.push_back(' ');
  }
  std::memset(FErrorText, 0, sizeof(FErrorText));
  if (FConnHandle == nullptr) {
    FLastResult = -1;
    HandleError(std::string(kAllocPrefix) + kNotConnected);
    return;
  }

  FStartTick = Framework::GetTickCount();
  FLastResult = static_cast<int16_t>(SQLAllocStmt(FConnHandle, FStmtHandle));
  if (FLastResult == 0) {
    FLastResult = SQLPrepare(FStmtHandle, FSqlText.c_str(), 0);
    if (FLastResult == 0) FLastResult = SQLExecute(FStmtHandle);
    if (FLastResult != 0) {
      SQLError(FConnHandle, FStmtHandle, FErrorText, sizeof(FErrorText));
      ShowErrorText(kStmtPrefix);
    }
    SQLFreeStmt(FStmtHandle, kDrop);
    FStmtHandle = nullptr;
    if (FLastResult != 0) {
      SQLError(FConnHandle, nullptr, FErrorText, sizeof(FErrorText));
      ShowErrorText(kQueryPrefix);
    }
  } else {
    SQLError(FConnHandle, nullptr, FErrorText, sizeof(FErrorText));
    ShowErrorText(kAllocPrefix);
  }
  FExecTime = static_cast<int32_t>(Framework::GetTickCount() - FStartTick);
}

void Register() {
  Framework::RegisterComponents("Varlo", {&TIBQuery::StaticClass()});
}

}  // namespace IBQuery
