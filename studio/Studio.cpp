#include "studio/Studio.h"

#include <dlfcn.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSplitter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTextStream>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <charconv>
#include <cstring>

#include "ibquery/IBQuery.h"

namespace Studio {

namespace {

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& fn, std::string& error) {
  fn = reinterpret_cast<Fn>(dlsym(handle, name));
  if (fn == nullptr && error.empty()) error = std::string("the package lacks ") + name;
  return fn != nullptr;
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// The name of an entry's SQL type code (its low bit, NULL allowed, dropped).
QString TypeName(int16_t type) {
  switch (type & ~1) {
    case 448:
      return "VARCHAR";
    case 452:
      return "CHAR";
    case 496:
      return "INTEGER";
    case 500:
      return "SMALLINT";
    case 480:
      return "DOUBLE";
    case 482:
      return "FLOAT";
    case 510:
      return "TIMESTAMP";
    case 520:
      return "BLOB";
    case 540:
      return "ARRAY";
    case 560:
      return "TIME";
    case 570:
      return "DATE";
    case 580:
      return "BIGINT";
    case 32764:
      return "BOOLEAN";
    default:
      return QString("TYPE %1").arg(type & ~1);
  }
}

constexpr int16_t kBlob = 520;
constexpr int kBatch = 256;

}  // namespace

// ---- the package ----

TPackage::~TPackage() {
  Unload();
}

bool TPackage::Load(const std::string& path) {
  Error.clear();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    Error = dlerror();
    return false;
  }
  void (*initialize)() = nullptr;
  void (*registerPackage)() = nullptr;
  bool ok = Resolve(handle, "Initialize", initialize, Error) &&
            Resolve(handle, "Register", registerPackage, Error) &&
            Resolve(handle, "Finalize", Finalize, Error) &&
            Resolve(handle, "VersionInfo", VersionInfo, Error);
  ok = Resolve(handle, "_ZN7IBQuery8TIBQuery7connectEv", Connect, Error) && ok;
  ok = Resolve(handle, "_ZN7IBQuery8TIBQuery7execSqlEv", ExecSql, Error) && ok;
  ok = Resolve(handle, "_ZN7IBQuery8TIBQuery6CommitEv", Commit, Error) && ok;
  ok = Resolve(handle, "_ZN7IBQuery8TIBQuery10disconnectEv", Disconnect, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB15SQLAllocConnectERPNS_10TIbConnRecE", AllocConnect, Error) && ok;
  ok = Resolve(handle,
               "_ZN4IbDB10SQLConnectEPNS_10TIbConnRecERKNSt7__cxx1112basic_stringIcSt11char_"
               "traitsIcESaIcEEES9_S9_",
               Connect2, Error) &&
       ok;
  ok = Resolve(handle, "_ZN4IbDB13SQLDisconnectERPNS_10TIbConnRecE", DisconnectDb, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB12SQLAllocStmtEPNS_10TIbConnRecERPNS_10TIbStmtRecE", AllocStmt,
               Error) &&
       ok;
  ok = Resolve(handle, "_ZN4IbDB10SQLPrepareEPNS_10TIbStmtRecEPKci", Prepare, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB14SQLDescribeColEPNS_10TIbStmtRecEhPcsPsS3_PiS3_S3_", DescribeCol,
               Error) &&
       ok;
  ok = Resolve(handle, "_ZN4IbDB10SQLExecuteEPNS_10TIbStmtRecE", Execute, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB8SQLFetchEPNS_10TIbStmtRecE", Fetch, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB10SQLGetDataEPNS_10TIbStmtRecEhsPviPi", GetData, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB9SQLCancelEPNS_10TIbStmtRecE", Cancel, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB11SQLFreeStmtEPNS_10TIbStmtRecEh", FreeStmt, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB11SQLTransactEPNS_10TIbConnRecEh", Transact, Error) && ok;
  ok = Resolve(handle, "_ZN4IbDB8SQLErrorEPNS_10TIbConnRecEPNS_10TIbStmtRecEPcm", Error2, Error) &&
       ok;
  if (!ok) {
    dlclose(handle);
    return false;
  }
  Handle = handle;
  // What Register adds to the palette is the package's.
  std::vector<const Framework::TComponentClass*> before;
  for (const std::string& page : Framework::PalettePages()) {
    for (const auto* cls : Framework::PaletteClasses(page)) before.push_back(cls);
  }
  initialize();
  registerPackage();
  Classes.clear();
  for (const std::string& page : Framework::PalettePages()) {
    for (const auto* cls : Framework::PaletteClasses(page)) {
      if (std::find(before.begin(), before.end(), cls) == before.end()) Classes.push_back(cls);
    }
  }
  return true;
}

void TPackage::Unload() {
  if (Handle == nullptr) return;
  for (const auto* cls : Classes) Framework::UnRegisterComponents({cls});
  Classes.clear();
  Finalize();
  dlclose(Handle);
  Handle = nullptr;
}

// ---- rows ----

void TRowModel::Reset(IbDB::TIbStmtRec* stmt, QStringList headers, std::vector<int16_t> types,
                      std::vector<QStringList> first, bool ended) {
  beginResetModel();
  stmt_ = stmt;
  headers_ = std::move(headers);
  types_ = std::move(types);
  rows_ = std::move(first);
  ended_ = ended;
  endResetModel();
}

void TRowModel::Clear() {
  Reset(nullptr, {}, {}, {}, true);
}

int TRowModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TRowModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : headers_.size();
}

QVariant TRowModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  return rows_[static_cast<size_t>(index.row())].value(index.column());
}

QVariant TRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return section + 1;
  return headers_.value(section);
}

bool TRowModel::canFetchMore(const QModelIndex& parent) const {
  return !parent.isValid() && !ended_ && stmt_ != nullptr;
}

void TRowModel::fetchMore(const QModelIndex& parent) {
  if (!canFetchMore(parent)) return;
  std::vector<QStringList> more;
  ended_ = FetchRows(package_, stmt_, types_, kBatch, more) != 0;
  if (more.empty()) return;
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + static_cast<int>(more.size()) - 1);
  for (auto& row : more) rows_.push_back(std::move(row));
  endInsertRows();
}

int16_t TRowModel::FetchRows(TPackage& package, IbDB::TIbStmtRec* stmt,
                             const std::vector<int16_t>& types, int count,
                             std::vector<QStringList>& rows) {
  char text[256];
  for (int n = 0; n < count; ++n) {
    if (const int16_t rc = package.Fetch(stmt); rc != 0) return rc;
    QStringList row;
    for (size_t c = 0; c < types.size(); ++c) {
      const auto icol = static_cast<uint8_t>(c + 1);
      int32_t length = 0;
      if ((types[c] & ~1) == kBlob) {
        // A blob by its start and its length.
        const int16_t rc = package.GetData(stmt, icol, IbDB::CBinary, text, 24, &length);
        if (rc < 0 || rc == 100) {
          row << QString();
        } else if (length == -1) {
          row << "<null>";
        } else {
          QString start;
          for (int32_t i = 0; i < std::min<int32_t>(length, 24); ++i) {
            const char ch = text[i];
            start += ch >= 32 && ch < 127 ? QChar(ch) : QChar('.');
          }
          row << QString("%1 bytes: %2").arg(length).arg(start);
        }
        continue;
      }
      const int16_t rc = package.GetData(stmt, icol, IbDB::CChar, text, sizeof(text), &length);
      if (rc < 0 || rc == 100) {
        row << QString();
      } else if (length == -1) {
        row << "<null>";
      } else {
        row << QString::fromUtf8(text) + (rc == 1 ? QString::fromUtf8("\u2026") : QString());
      }
    }
    rows.push_back(std::move(row));
  }
  return 0;
}

// ---- the query window ----

TQueryWindow::TQueryWindow(TPackage& package, QWidget* parent)
    : QWidget(parent, Qt::Window), package_(package), model_(package) {
  setWindowTitle("Varlo query");
  auto* form = new QFormLayout;
  Database = new QLineEdit(this);
  User = new QLineEdit(this);
  Password = new QLineEdit(this);
  Password->setEchoMode(QLineEdit::Password);
  Sql = new QPlainTextEdit(this);
  Sql->setObjectName("sql");
  Sql->setMaximumHeight(90);
  form->addRow("Database", Database);
  form->addRow("User", User);
  form->addRow("Password", Password);
  form->addRow("SQL", Sql);
  run_ = new QPushButton("Run", this);
  cancel_ = new QPushButton("Cancel", this);
  cancel_->setEnabled(false);
  status_ = new QLabel("Ready", this);
  status_->setObjectName("status");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(run_);
  buttons->addWidget(cancel_);
  buttons->addWidget(status_, 1);
  view_ = new QTableView(this);
  view_->setModel(&model_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);
  layout->addWidget(view_, 1);
  resize(760, 520);
  connect(run_, &QPushButton::clicked, this, [this] { Run(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { CancelRun(); });
  tick_.setInterval(50);
  connect(&tick_, &QTimer::timeout, this, [this] {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (!done_) {
      status_->setText(QString("Running, %1 s").arg(seconds, 0, 'f', 1));
      return;
    }
    Finished();
  });
}

TQueryWindow::~TQueryWindow() {
  if (worker_.joinable()) {
    package_.Cancel(stmt_);
    worker_.join();
  }
  model_.Clear();
  CloseStatement();
}

QString TQueryWindow::ErrorText() const {
  char text[1024] = {};
  package_.Error2(conn_, stmt_, text, sizeof(text));
  return QString::fromUtf8(text);
}

void TQueryWindow::CloseStatement() {
  if (stmt_ != nullptr) package_.FreeStmt(stmt_, 1);
  stmt_ = nullptr;
  if (conn_ != nullptr) {
    package_.Transact(conn_, 1);
    package_.DisconnectDb(conn_);
  }
  conn_ = nullptr;
}

void TQueryWindow::Run() {
  if (Running()) return;
  model_.Clear();
  CloseStatement();
  start_ = std::chrono::steady_clock::now();
  package_.AllocConnect(conn_);
  if (package_.Connect2(conn_, Database->text().toStdString(), User->text().toStdString(),
                        Password->text().toStdString()) != 0 ||
      package_.AllocStmt(conn_, stmt_) != 0) {
    status_->setText("Cannot connect: " + ErrorText());
    package_.DisconnectDb(conn_);
    conn_ = nullptr;
    return;
  }
  const std::string sql = Sql->toPlainText().toStdString();
  done_ = false;
  run_->setEnabled(false);
  cancel_->setEnabled(true);
  // The prepare, the execution and the first rows run aside, so that Cancel can reach them.
  worker_ = std::thread([this, sql] {
    headers_.clear();
    types_.clear();
    first_.clear();
    rc_ = package_.Prepare(stmt_, sql.c_str(), 0);
    for (uint8_t icol = 1; rc_ == 0 && icol < 255; ++icol) {
      char name[64] = {};
      int16_t type = 0, scale = 0;
      int32_t size = 0;
      if (package_.DescribeCol(stmt_, icol, name, sizeof(name), nullptr, &type, &size, &scale,
                               nullptr) != 0) {
        break;
      }
      headers_ << QString("%1\n%2").arg(QString::fromUtf8(name), TypeName(type));
      types_.push_back(type);
    }
    if (rc_ == 0) rc_ = package_.Execute(stmt_);
    if (rc_ == 0 && !types_.empty()) {
      const int16_t fetched = TRowModel::FetchRows(package_, stmt_, types_, kBatch, first_);
      ended_ = fetched != 0;
      if (fetched < 0) rc_ = fetched;  // a fetch failed (or was cancelled)
    }
    done_ = true;
  });
  tick_.start();
}

void TQueryWindow::CancelRun() {
  if (Running() && stmt_ != nullptr) package_.Cancel(stmt_);
}

void TQueryWindow::Finished() {
  tick_.stop();
  worker_.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  run_->setEnabled(true);
  cancel_->setEnabled(false);
  if (rc_ != 0) {
    status_->setText(QString("Failed after %1 s: %2").arg(seconds, 0, 'f', 2).arg(ErrorText()));
    return;
  }
  if (types_.empty()) {
    package_.Transact(conn_, 0);
    status_->setText(QString("Executed in %1 s").arg(seconds, 0, 'f', 2));
    return;
  }
  model_.Reset(stmt_, headers_, types_, std::move(first_), ended_);
  view_->resizeColumnsToContents();
  status_->setText(QString("First rows in %1 s").arg(seconds, 0, 'f', 2));
}

// ---- the form ----

void TFormView::mousePressEvent(QMouseEvent* event) {
  if (Clicked) Clicked(event->pos());
}

namespace {

// The inspector's editors: a line for text and numbers, masked where the property is.
class TValueDelegate : public QStyledItemDelegate {
 public:
  TValueDelegate(QObject* parent, std::function<const Framework::TPropInfo*(int)> prop,
                 std::function<QString(int)> value,
                 std::function<bool(const Framework::TPropInfo&, const QString&)> apply)
      : QStyledItemDelegate(parent), prop_(prop), value_(value), apply_(apply) {}
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                        const QModelIndex& index) const override {
    auto* edit = new QLineEdit(parent);
    const auto* prop = prop_(index.row());
    if (prop != nullptr && prop->Masked) edit->setEchoMode(QLineEdit::Password);
    return edit;
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    static_cast<QLineEdit*>(editor)->setText(value_(index.row()));
  }
  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
    const auto* prop = prop_(index.row());
    const QString text = static_cast<QLineEdit*>(editor)->text();
    if (prop == nullptr || text == value_(index.row())) return;
    // Applied later: a refusal shows a box, which must not open inside the editor's commit.
    QTimer::singleShot(0, parent(), [apply = apply_, prop, text] { apply(*prop, text); });
  }

 private:
  std::function<const Framework::TPropInfo*(int)> prop_;
  std::function<QString(int)> value_;
  std::function<bool(const Framework::TPropInfo&, const QString&)> apply_;
};

}  // namespace

TStudio::TStudio(std::string packagePath)
    : packagePath_(std::move(packagePath)), form_(new Framework::TForm(nullptr)) {
  setWindowTitle("Varlo Studio");
  form_->SetName("Form1");
  Framework::RegisterClass(Framework::TForm::StaticClass());
  // Every box a component raises is a modal message box: its type's icon, one OK button.
  previous_ = Framework::SetMessageBoxHandler([this](const Framework::TMessageBox& box) {
    QMessageBox message(box.DlgType == 2 ? QMessageBox::Information : QMessageBox::Warning, "Varlo",
                        Q(box.Text), QMessageBox::Ok, this);
    message.exec();
    return 1;  // mrOk
  });

  QMenu* file = menuBar()->addMenu("&File");
  // The file dialogs are Qt's own, the same on every desktop.
  auto formFile = [this](bool save) {
    QFileDialog dialog(this, save ? "Save form" : "Open form", {},
                       "Forms (*.form *.txt);;All files (*)");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    if (!save) dialog.setFileMode(QFileDialog::ExistingFile);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
  };
  file->addAction("&Open form...", this,
                  [this, formFile] {
                    if (const QString path = formFile(false); !path.isEmpty()) OpenForm(path);
                  })
      ->setShortcut(QKeySequence::Open);
  file->addAction("&Save form...", this,
                  [this, formFile] {
                    if (const QString path = formFile(true); !path.isEmpty()) SaveForm(path);
                  })
      ->setShortcut(QKeySequence::Save);
  file->addAction("&Quit", this, [this] { close(); });
  QMenu* package = menuBar()->addMenu("&Package");
  package->addAction("&Load", this, [this] { LoadPackage(); });
  package->addAction("&Unload", this, [this] { UnloadPackage(); });
  package->addAction("&About...", this, [this] { ShowAbout(); });
  QToolBar* tools = addToolBar("Tools");
  tools->addAction("Run", this, [this] { RunSelected(); })->setObjectName("run");
  tools->addAction("Query window", this, [this] {
    if (TQueryWindow* window = QueryWindow()) window->show();
  });

  palette_ = new QTabWidget(this);
  palette_->setObjectName("palette");
  palette_->setFixedHeight(100);
  formView_ = new TFormView(this);
  formView_->setObjectName("form");
  formView_->setAutoFillBackground(true);
  formView_->setMinimumSize(420, 300);
  QPalette background = formView_->palette();
  background.setColor(QPalette::Window, QColor(0xf4, 0xf4, 0xee));
  formView_->setPalette(background);
  formView_->Clicked = [this](QPoint at) {
    if (pending_ != nullptr) {
      Place(*pending_, at);
      pending_ = nullptr;
      for (auto* button : palette_->findChildren<QToolButton*>()) button->setChecked(false);
    } else {
      Select(nullptr);
    }
  };
  inspector_ = new QTableWidget(0, 2, this);
  inspector_->setObjectName("inspector");
  inspector_->setHorizontalHeaderLabels({"Property", "Value"});
  inspector_->horizontalHeader()->setStretchLastSection(true);
  inspector_->verticalHeader()->hide();
  inspector_->setMinimumWidth(300);
  inspector_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                              QAbstractItemView::SelectedClicked);
  inspector_->setItemDelegateForColumn(
      1, new TValueDelegate(
             inspector_,
             [this](int row) {
               return row >= 0 && row < static_cast<int>(shown_.size())
                          ? shown_[static_cast<size_t>(row)]
                          : nullptr;
             },
             [this](int row) {
               const auto* prop = shown_[static_cast<size_t>(row)];
               return prop->Kind == Framework::TPropKind::Integer
                          ? QString::number(prop->GetInteger(*selected_))
                          : Q(prop->GetString(*selected_));
             },
             [this](const Framework::TPropInfo& prop, const QString& text) {
               return Apply(prop, text);
             }));
  connect(inspector_, &QTableWidget::cellDoubleClicked, this, [this](int row, int column) {
    if (column == 1) EditValue(row);
  });
  auto* split = new QSplitter(this);
  split->addWidget(formView_);
  split->addWidget(inspector_);
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(palette_);
  layout->addWidget(split, 1);
  setCentralWidget(central);
  resize(860, 520);
}

TStudio::~TStudio() {
  query_.reset();
  ClearForm();
  package_.Unload();
  Framework::UnRegisterClass(Framework::TForm::StaticClass());
  Framework::SetMessageBoxHandler(previous_);
}

bool TStudio::LoadPackage() {
  if (package_.Loaded()) return true;
  if (!package_.Load(packagePath_)) {
    QMessageBox::warning(this, "Varlo Studio", "Cannot load the package: " + Q(package_.Error));
    return false;
  }
  BuildPalette();
  return true;
}

void TStudio::UnloadPackage() {
  // The package's components and windows go first: their code leaves with it.
  query_.reset();
  ClearForm();
  package_.Unload();
  BuildPalette();
}

void TStudio::ClearForm() {
  Select(nullptr);
  while (form_->ComponentCount() > 0) delete form_->Components(form_->ComponentCount() - 1);
  positions_.clear();
  RebuildForm();
}

void TStudio::BuildPalette() {
  palette_->clear();
  for (const std::string& page : Framework::PalettePages()) {
    auto* bar = new QWidget;
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(4, 2, 4, 2);
    for (const auto* cls : Framework::PaletteClasses(page)) {
      auto* button = new QToolButton(bar);
      button->setObjectName(Q(cls->ClassName()));
      button->setText(Q(cls->ClassName()));
      button->setIcon(style()->standardIcon(QStyle::SP_DriveNetIcon));
      button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
      button->setCheckable(true);
      connect(button, &QToolButton::clicked, this, [this, cls, button](bool on) {
        for (auto* other : palette_->findChildren<QToolButton*>()) {
          if (other != button) other->setChecked(false);
        }
        pending_ = on ? cls : nullptr;
      });
      row->addWidget(button);
    }
    row->addStretch(1);
    palette_->addTab(bar, Q(page));
  }
}

Framework::TComponent* TStudio::Place(const Framework::TComponentClass& cls, QPoint at) {
  Framework::TComponent* component = cls.Create(form_.get());
  component->SetName(Framework::NewComponentName(*form_, cls));
  positions_.push_back(at);
  RebuildForm();
  Select(component);
  return component;
}

void TStudio::RebuildForm() {
  for (auto* old : formView_->findChildren<QToolButton*>()) delete old;
  for (int i = 0; i < form_->ComponentCount(); ++i) {
    Framework::TComponent* component = form_->Components(i);
    auto* icon = new QToolButton(formView_);
    icon->setObjectName(Q(component->Name()));
    icon->setText(Q(component->Name()));
    icon->setIcon(style()->standardIcon(QStyle::SP_DriveNetIcon));
    icon->setIconSize(QSize(32, 32));
    icon->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    icon->setAutoRaise(true);
    icon->setCheckable(true);
    icon->setChecked(component == selected_);
    const QPoint at = static_cast<size_t>(i) < positions_.size()
                          ? positions_[static_cast<size_t>(i)]
                          : QPoint(20 + 90 * (i % 4), 20 + 80 * (i / 4));
    icon->move(at);
    icon->show();
    connect(icon, &QToolButton::clicked, this, [this, component] { Select(component); });
  }
}

void TStudio::Select(Framework::TComponent* component) {
  selected_ = component;
  for (auto* icon : formView_->findChildren<QToolButton*>()) {
    icon->setChecked(component != nullptr && icon->objectName() == Q(component->Name()));
  }
  RefreshInspector();
}

void TStudio::RefreshInspector() {
  inspector_->setRowCount(0);
  shown_.clear();
  if (selected_ == nullptr) return;
  // The rows come from the class's published-property type information.
  shown_ = selected_->ClassType().PublishedProperties();
  inspector_->setRowCount(static_cast<int>(shown_.size()));
  for (size_t i = 0; i < shown_.size(); ++i) {
    const Framework::TPropInfo& prop = *shown_[i];
    auto* name = new QTableWidgetItem(Q(prop.Name));
    name->setFlags(Qt::ItemIsEnabled);
    QString text;
    switch (prop.Kind) {
      case Framework::TPropKind::Integer:
        text = QString::number(prop.GetInteger(*selected_));
        break;
      case Framework::TPropKind::String:
        text = prop.Masked ? QString(static_cast<int>(prop.GetString(*selected_).size()), '*')
                           : Q(prop.GetString(*selected_));
        break;
      case Framework::TPropKind::StringList:
        text = QString("(TStringList) %1").arg(Q(prop.GetList(*selected_).Text()).simplified());
        break;
    }
    auto* value = new QTableWidgetItem(text);
    if (prop.ReadOnly || prop.Kind == Framework::TPropKind::StringList) {
      value->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
      if (prop.ReadOnly) value->setForeground(Qt::gray);
    }
    inspector_->setItem(static_cast<int>(i), 0, name);
    inspector_->setItem(static_cast<int>(i), 1, value);
  }
}

void TStudio::EditValue(int row) {
  if (selected_ == nullptr || row < 0 || row >= static_cast<int>(shown_.size())) return;
  const Framework::TPropInfo& prop = *shown_[static_cast<size_t>(row)];
  if (prop.Kind != Framework::TPropKind::StringList || prop.ReadOnly) return;
  // The string-list editor.
  QDialog dialog(this);
  dialog.setWindowTitle("String list editor: " + Q(prop.Name));
  auto* edit = new QPlainTextEdit(&dialog);
  edit->setObjectName("lines");
  edit->setPlainText(Q(prop.GetList(*selected_).Text()));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(edit);
  layout->addWidget(buttons);
  if (dialog.exec() != QDialog::Accepted) return;
  Framework::TStringList lines;
  QString text = edit->toPlainText();
  if (text.endsWith('\n')) text.chop(1);
  if (!text.isEmpty()) lines.SetText(text.toStdString());
  prop.SetList(*selected_, lines);
  RefreshInspector();
}

bool TStudio::Apply(const Framework::TPropInfo& prop, const QString& text) {
  if (selected_ == nullptr || prop.ReadOnly) return false;
  try {
    if (prop.Kind == Framework::TPropKind::Integer) {
      const std::string digits = text.trimmed().toStdString();
      int32_t value = 0;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        throw Framework::EComponentError("'" + text.toStdString() +
                                         "' is not a valid integer value");
      }
      prop.SetInteger(*selected_, value);
    } else {
      prop.SetString(*selected_, text.toStdString());
    }
  } catch (const std::exception& e) {
    QMessageBox::warning(this, "Varlo Studio", Q(e.what()));
    RefreshInspector();
    return false;
  }
  RebuildForm();
  RefreshInspector();
  return true;
}

void TStudio::RunSelected() {
  if (selected_ == nullptr || selected_->ClassName() != "TIBQuery" || !package_.Loaded()) return;
  // As the example host runs a form: connect, execute, commit, disconnect.
  package_.Connect(selected_);
  if (static_cast<IBQuery::TIBQuery*>(selected_)->Connected()) {
    package_.ExecSql(selected_);
    package_.Commit(selected_);
    package_.Disconnect(selected_);
  }
  RefreshInspector();
}

bool TStudio::SaveForm(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    QMessageBox::warning(this, "Varlo Studio", "Cannot write " + path);
    return false;
  }
  const std::string text = Framework::WriteComponentText(*form_);
  file.write(text.data(), static_cast<qint64>(text.size()));
  return true;
}

bool TStudio::OpenForm(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    QMessageBox::warning(this, "Varlo Studio", "Cannot read " + path);
    return false;
  }
  const std::string text = file.readAll().toStdString();
  // Read into a new form: a damaged file leaves the open one as it is.
  std::unique_ptr<Framework::TForm> read;
  try {
    std::unique_ptr<Framework::TComponent> root(Framework::ReadComponentText(text, nullptr));
    if (root->ClassName() == "TForm") {
      read.reset(static_cast<Framework::TForm*>(root.release()));
    } else {
      // A single component, as the example host writes one: placed on a new form.
      root.reset();
      read.reset(new Framework::TForm(nullptr));
      read->SetName("Form1");
      Framework::ReadComponentText(text, read.get());
    }
  } catch (const std::exception& e) {
    QMessageBox::warning(this, "Varlo Studio", path + ": " + Q(e.what()));
    return false;
  }
  Select(nullptr);
  form_ = std::move(read);
  positions_.clear();
  RebuildForm();
  return true;
}

void TStudio::ShowAbout() {
  if (!package_.Loaded()) {
    QMessageBox::information(this, "About the package", "No package is loaded.");
    return;
  }
  const TVarloVersionInfo* info = package_.VersionInfo();
  QString text = QString("Varlo package %1.%2.%3.%4\n\n")
                     .arg(info->FileVersion[0])
                     .arg(info->FileVersion[1])
                     .arg(info->FileVersion[2])
                     .arg(info->FileVersion[3]);
  for (uint32_t i = 0; i < info->StringCount; ++i) {
    text += QString("%1: %2\n").arg(info->Strings[i].Key, info->Strings[i].Value);
  }
  QMessageBox::information(this, "About the package", text);
}

TQueryWindow* TStudio::QueryWindow() {
  if (!package_.Loaded()) return nullptr;
  if (!query_) query_ = std::make_unique<TQueryWindow>(package_, this);
  return query_.get();
}

}  // namespace Studio
