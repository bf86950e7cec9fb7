// varlo-studio: a desktop designer host for the package. It loads libvarlo.so with dlopen,
// shows the palette the package registers, places components on a form, edits their published
// properties, runs a TIBQuery, saves and opens forms as text, and runs queries in a window of
// their own through the call-level interface.
#pragma once

#include <QAbstractTableModel>
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/Classes.h"
#include "framework/Dialogs.h"
#include "ibdb/IbDB.h"
#include "ibquery/Varlo.h"

namespace Studio {

// The package, loaded with dlopen, and the entry points the studio calls in it: the package's
// own, the component's operations and the call-level interface, by their C++ names.
struct TPackage {
  ~TPackage();
  // Loads and registers; false with the reason in Error.
  bool Load(const std::string& path);
  // Takes the package's classes off the palette, finalizes, unloads.
  void Unload();
  bool Loaded() const { return Handle != nullptr; }

  void* Handle = nullptr;
  std::string Error;
  std::vector<const Framework::TComponentClass*> Classes;  // what Register put on the palette
  void (*Finalize)() = nullptr;
  const TVarloVersionInfo* (*VersionInfo)() = nullptr;
  // TIBQuery's operations (non-virtual members: the object is the first argument).
  void (*Connect)(Framework::TComponent*) = nullptr;
  void (*ExecSql)(Framework::TComponent*) = nullptr;
  void (*Commit)(Framework::TComponent*) = nullptr;
  void (*Disconnect)(Framework::TComponent*) = nullptr;
  // The call-level interface.
  int32_t (*AllocConnect)(IbDB::TIbConnRec*&) = nullptr;
  int32_t (*Connect2)(IbDB::TIbConnRec*, const std::string&, const std::string&,
                      const std::string&) = nullptr;
  int32_t (*DisconnectDb)(IbDB::TIbConnRec*&) = nullptr;
  int32_t (*AllocStmt)(IbDB::TIbConnRec*, IbDB::TIbStmtRec*&) = nullptr;
  int16_t (*Prepare)(IbDB::TIbStmtRec*, const char*, int32_t) = nullptr;
  int16_t (*DescribeCol)(IbDB::TIbStmtRec*, uint8_t, char*, int16_t, int16_t*, int16_t*, int32_t*,
                         int16_t*, int16_t*) = nullptr;
  int16_t (*Execute)(IbDB::TIbStmtRec*) = nullptr;
  int16_t (*Fetch)(IbDB::TIbStmtRec*) = nullptr;
  int16_t (*GetData)(IbDB::TIbStmtRec*, uint8_t, int16_t, void*, int32_t, int32_t*) = nullptr;
  int16_t (*Cancel)(IbDB::TIbStmtRec*) = nullptr;
  int16_t (*FreeStmt)(IbDB::TIbStmtRec*, uint8_t) = nullptr;
  int32_t (*Transact)(IbDB::TIbConnRec*, uint8_t) = nullptr;
  void (*Error2)(IbDB::TIbConnRec*, IbDB::TIbStmtRec*, char*, size_t) = nullptr;
};

// The rows of a query, fetched as the view asks for more.
class TRowModel : public QAbstractTableModel {
 public:
  explicit TRowModel(TPackage& package) : package_(package) {}
  // Takes the statement (executed, its first rows fetched) and its columns.
  void Reset(IbDB::TIbStmtRec* stmt, QStringList headers, std::vector<int16_t> types,
             std::vector<QStringList> first, bool ended);
  void Clear();
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;
  // Fetches up to count rows of the statement into rows: 0, or what the fetch that stopped
  // returned (100 at the end, -1 for a failure).
  static int16_t FetchRows(TPackage& package, IbDB::TIbStmtRec* stmt,
                           const std::vector<int16_t>& types, int count,
                           std::vector<QStringList>& rows);

 private:
  TPackage& package_;
  IbDB::TIbStmtRec* stmt_ = nullptr;
  QStringList headers_;
  std::vector<int16_t> types_;
  std::vector<QStringList> rows_;
  bool ended_ = true;
};

// A query window: any database, a SELECT through the call-level interface, Cancel.
class TQueryWindow : public QWidget {
 public:
  explicit TQueryWindow(TPackage& package, QWidget* parent = nullptr);
  ~TQueryWindow() override;
  void Run();
  void CancelRun();
  bool Running() const { return worker_.joinable(); }
  TRowModel& Model() { return model_; }
  QTableView* View() { return view_; }
  QLabel* Status() { return status_; }
  QPushButton* RunButton() { return run_; }
  QPushButton* CancelButton() { return cancel_; }
  QLineEdit *Database = nullptr, *User = nullptr, *Password = nullptr;
  QPlainTextEdit* Sql = nullptr;

 private:
  void Finished();
  void CloseStatement();
  QString ErrorText() const;

  TPackage& package_;
  TRowModel model_;
  QTableView* view_;
  QLabel* status_;
  QPushButton *run_, *cancel_;
  QTimer tick_;
  IbDB::TIbConnRec* conn_ = nullptr;
  IbDB::TIbStmtRec* stmt_ = nullptr;
  std::thread worker_;
  std::atomic<bool> done_{false};
  int16_t rc_ = 0;
  QStringList headers_;
  std::vector<int16_t> types_;
  std::vector<QStringList> first_;
  bool ended_ = false;
  std::chrono::steady_clock::time_point start_;
};

// The form's view: the placed components as icons with their names.
class TFormView : public QWidget {
 public:
  explicit TFormView(QWidget* parent) : QWidget(parent) {}
  std::function<void(QPoint)> Clicked;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

class TStudio : public QMainWindow {
 public:
  explicit TStudio(std::string packagePath);
  ~TStudio() override;

  bool LoadPackage();
  void UnloadPackage();
  // Places a component of the class at the point of the form, named as a designer names it.
  Framework::TComponent* Place(const Framework::TComponentClass& cls, QPoint at);
  void Select(Framework::TComponent* component);
  void RunSelected();
  bool SaveForm(const QString& path);
  bool OpenForm(const QString& path);
  void ShowAbout();

  Framework::TForm& Form() { return *form_; }
  Framework::TComponent* Selected() const { return selected_; }
  QTabWidget* Palette() { return palette_; }
  QTableWidget* Inspector() { return inspector_; }
  TFormView* FormView() { return formView_; }
  TQueryWindow* QueryWindow();
  TPackage& Package() { return package_; }

 private:
  void BuildPalette();
  void RebuildForm();
  void RefreshInspector();
  void EditValue(int row);
  bool Apply(const Framework::TPropInfo& prop, const QString& text);
  void ClearForm();

  std::string packagePath_;
  TPackage package_;
  std::unique_ptr<Framework::TForm> form_;
  Framework::TComponent* selected_ = nullptr;
  const Framework::TComponentClass* pending_ = nullptr;  // chosen on the palette, to place
  std::vector<QPoint> positions_;                        // of the form's components, in order
  QTabWidget* palette_;
  TFormView* formView_;
  QTableWidget* inspector_;
  std::vector<const Framework::TPropInfo*> shown_;  // the inspector's rows
  std::unique_ptr<TQueryWindow> query_;
  Framework::TMessageBoxHandler previous_;
};

}  // namespace Studio
