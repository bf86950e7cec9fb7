// TIBQuery: a non-visual component that connects to a database, runs its SQL text as one
// statement, times it, controls the transaction and shows every failure in a message box.
#pragma once

#include <cstdint>
#include <string>

#include "framework/Classes.h"
#include "ibdb/IbDB.h"

namespace IBQuery {

class TIBQuery : public Framework::TComponent {
 public:
  explicit TIBQuery(Framework::TComponent* AOwner);
  // Does not disconnect: call disconnect first.
  ~TIBQuery() override;

  static const Framework::TComponentClass& StaticClass();
  const Framework::TComponentClass& ClassType() const override { return StaticClass(); }

  Framework::TStringList& Sql() { return *FSql; }
  const Framework::TStringList& Sql() const { return *FSql; }
  void SetSql(const Framework::TStringList& value);
  const std::string& DataBaseName() const { return FDataBaseName; }
  void SetDataBaseName(const std::string& value) { FDataBaseName = value; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& value) { FUserName = value; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& value) { FPassword = value; }
  int32_t ExecTime() const { return FExecTime; }
  void SetExecTime(int32_t value) { FExecTime = value; }

  void connect();
  void disconnect();
  void execSql();
  void Starttransaction();
  void Commit();
  void Rollback();
  void HandleError(const std::string& msg);

  // Whether a connection is held.
  bool Connected() const { return FConnHandle != nullptr; }

 private:
  static constexpr size_t kErrorTextSize = 512;

  void Transact(uint8_t fType);
  void ReportFailure(const char* prefix, IbDB::TIbStmtRec* stmt);
  void ShowErrorText(const char* prefix);

  uint32_t FStartTick = 0;
  int32_t FExecTime = 0;
  IbDB::TIbStmtRec* FStmtHandle = nullptr;
  IbDB::TIbConnRec* FConnHandle = nullptr;
  int16_t FLastResult = 0;
  char FErrorText[kErrorTextSize] = {};
  std::string FSqlText;  // the whole join of the lines; the client judges its length
  Framework::TStringList* FSql;
  std::string FDataBaseName;
  std::string FUserName;
  std::string FPassword;
};

// Puts TIBQuery on the palette page "Varlo".
void Register();

}  // namespace IBQuery
