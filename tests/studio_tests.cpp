// The desktop host driven with real input events on a live X display (xvfb-run): the package
// loaded, a TIBQuery placed and edited, a failing statement's box, forms saved and reopened,
// a large result scrolled and a long query cancelled. Each step leaves a screenshot in the
// build folder; a box that never appears fails by its deadline.
#include <gtest/gtest.h>
#include <ibase.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "studio/Studio.h"

// Printed as text by the test's assertions.
void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace {

using Clock = std::chrono::steady_clock;
const std::string kDir = std::filesystem::temp_directory_path() / "varlo-studio-test";

void Shot(QWidget* widget, const char* name) {
  std::filesystem::create_directories(SCREENSHOTS);
  widget->grab().save(QString(SCREENSHOTS) + "/" + name + ".png");
}

// Runs the action and answers every modal window it opens, now or soon, until none is left: a
// file dialog gets the path typed in, a message box (one OK button, the icon asked for) is
// pictured and dismissed. The boxes' texts, one per line; one window left open at the deadline
// is closed and fails the test.
QString Modal(const std::function<void()>& action, const char* shot, const std::string& path = "",
              QMessageBox::Icon icon = QMessageBox::Information,
              const std::function<void(QWidget*)>& other = nullptr) {
  QString texts;
  int answered = 0;
  auto quiet = Clock::now();
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    // Each window answered closes before the next poll (a box's stack address may recur).
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (Clock::now() > deadline) {
      modal->close();
      return;
    }
    ++answered;
    quiet = Clock::now();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      texts += box->text() + "\n";
      EXPECT_EQ(box->icon(), icon) << shot;
      EXPECT_EQ(box->buttons().size(), 1) << shot;
      Shot(box, shot);
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    } else if (auto* edit = modal->findChild<QLineEdit*>("fileNameEdit")) {
      edit->setText(QString::fromStdString(path));
      QTest::keyClick(edit, Qt::Key_Return);
    } else if (other) {
      other(modal);
    }
  });
  poll.start(20);
  action();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const bool open = QApplication::activeModalWidget() != nullptr;
        if (open) quiet = Clock::now();
        return (answered > 0 && Clock::now() - quiet > std::chrono::milliseconds(300)) ||
               Clock::now() > deadline;
      },
      12000));
  EXPECT_GT(answered, 0) << shot << ": no window opened";
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << shot;
  return texts;
}

// A file dialog opened by the shortcut, answered with the path.
QString FileDialog(QWidget* keys, Qt::Key key, const std::string& path, const char* shot) {
  QApplication::setActiveWindow(keys->window());  // shortcuts reach the active window
  return Modal([&] { QTest::keyClick(keys, key, Qt::ControlModifier); }, shot, path,
               QMessageBox::Warning);
}

// Clicks the property's value in the inspector, opens its editor (F2), types text over it and
// presses Enter.
void Edit(Studio::TStudio& studio, const char* property, const QString& text) {
  QTableWidget* inspector = studio.Inspector();
  const auto found = inspector->findItems(property, Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1) << property;
  const QRect cell = inspector->visualItemRect(inspector->item(found[0]->row(), 1));
  QTest::mouseClick(inspector->viewport(), Qt::LeftButton, {}, cell.center());
  QTest::keyClick(inspector, Qt::Key_F2);
  auto* editor = inspector->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->selectAll();
  QTest::keyClicks(editor, text);
  QTest::keyClick(editor, Qt::Key_Return);
  QTest::qWait(50);
}

QString Value(Studio::TStudio& studio, const char* property) {
  const auto found = studio.Inspector()->findItems(property, Qt::MatchExactly);
  return found.size() == 1 ? studio.Inspector()->item(found[0]->row(), 1)->text() : "?";
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

TEST(Studio, PlaceEditRunSaveAndOpen) {
  std::filesystem::create_directories(kDir);
  const std::string db = kDir + "/studio.fdb";
  std::filesystem::remove(db);
  {  // A dialect-1 database with one table, made by the raw client.
    ISC_STATUS status[20];
    isc_db_handle handle = 0;
    isc_tr_handle tr = 0;
    const std::string create = "CREATE DATABASE '" + db + "'";
    ASSERT_EQ(isc_dsql_execute_immediate(status, &handle, &tr, 0, create.c_str(), 1, nullptr), 0);
    isc_detach_database(status, &handle);
  }
  Studio::TStudio studio(VARLO_LIBRARY);
  studio.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&studio));
  ASSERT_TRUE(studio.LoadPackage());
  auto* paletteButton = studio.Palette()->findChild<QToolButton*>("TIBQuery");
  ASSERT_NE(paletteButton, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return paletteButton->isVisible(); }, 5000));
  EXPECT_EQ(studio.Palette()->tabText(0), "Varlo");

  // Two placed by clicking the palette, then the form: named as a designer names them.
  for (QPoint at : {QPoint(40, 40), QPoint(160, 40)}) {
    QTest::mouseClick(paletteButton, Qt::LeftButton);
    QTest::mouseClick(studio.FormView(), Qt::LeftButton, {}, at);
  }
  ASSERT_EQ(studio.Form().ComponentCount(), 2);
  EXPECT_EQ(studio.Form().Components(1)->Name(), "IBQuery2");
  EXPECT_EQ(studio.Selected(), studio.Form().Components(1));
  std::vector<QString> rows;
  for (int r = 0; r < studio.Inspector()->rowCount(); ++r) {
    rows.push_back(studio.Inspector()->item(r, 0)->text());
  }
  EXPECT_EQ(rows, (std::vector<QString>{"Name", "Tag", "Sql", "DataBaseName", "UserName",
                                        "Password", "ExecTime"}));
  Shot(&studio, "studio-placed");

  // Bad input is refused in place, nothing changed.
  for (auto [property, input, refusal] :
       {std::tuple{"Name", "IBQuery1", "A component named IBQuery1 already exists"},
        std::tuple{"Name", "9lives", "'9lives' is not a valid component name"},
        std::tuple{"Tag", "12x", "'12x' is not a valid integer value"}}) {
    EXPECT_EQ(
        Modal([&] { Edit(studio, property, input); }, "studio-refused", "", QMessageBox::Warning),
        QString(refusal) + "\n");
  }
  EXPECT_EQ(Value(studio, "Name"), "IBQuery2");
  EXPECT_EQ(Value(studio, "Tag"), "0");
  Edit(studio, "Name", "Orders");
  Edit(studio, "Tag", "42");
  Edit(studio, "DataBaseName", QString::fromStdString(db));
  Edit(studio, "Password", "secret");
  EXPECT_EQ(Value(studio, "Password"), "******");
  EXPECT_EQ(studio.Form().Components(1)->Name(), "Orders");
  // The string-list editor.
  const QRect sqlCell = studio.Inspector()->visualItemRect(studio.Inspector()->item(2, 1));
  Modal(
      [&] {
        QTest::mousePress(studio.Inspector()->viewport(), Qt::LeftButton, {}, sqlCell.center());
        QTest::mouseDClick(studio.Inspector()->viewport(), Qt::LeftButton, {}, sqlCell.center());
      },
      "studio-sql-editor", "", QMessageBox::Information,
      [&](QWidget* dialog) {
        auto* lines = dialog->findChild<QPlainTextEdit*>("lines");
        ASSERT_NE(lines, nullptr);
        QTest::keyClicks(lines, "INSERT INTO NOWHERE");
        QTest::keyClick(lines, Qt::Key_Return);
        QTest::keyClicks(lines, "VALUES (1)");
        Shot(dialog, "studio-sql-editor");
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
      });
  EXPECT_EQ(Value(studio, "Sql"), "(TStringList) INSERT INTO NOWHERE VALUES (1)");

  // Run: the component's own box, with the text it gives any host.
  Framework::TComponent* probe = Framework::FindClass("TIBQuery")->Create(nullptr);
  Framework::FindClass("TIBQuery")->FindProperty("DataBaseName")->SetString(*probe, db);
  Framework::FindClass("TIBQuery")
      ->FindProperty("Sql")
      ->SetList(*probe, studio.Form().Components(1)->ClassType().FindProperty("Sql")->GetList(
                            *studio.Form().Components(1)));
  std::string expected;
  auto studioHandler = Framework::SetMessageBoxHandler([&](const Framework::TMessageBox& box) {
    expected += box.Text + "\n";
    return 1;
  });
  studio.Package().Connect(probe);
  studio.Package().ExecSql(probe);
  studio.Package().Disconnect(probe);
  delete probe;
  Framework::SetMessageBoxHandler(studioHandler);
  ASSERT_NE(expected.find("NOWHERE"), std::string::npos) << expected;
  auto* run = studio.findChild<QToolBar*>()->widgetForAction(studio.findChild<QAction*>("run"));
  EXPECT_EQ(Modal([&] { QTest::mouseClick(run, Qt::LeftButton); }, "studio-run-failed"),
            QString::fromStdString(expected));
  EXPECT_NE(Value(studio, "ExecTime"), "0");  // the run's time, its boxes open included

  // Saved and opened again; a damaged file is refused with its line, the form untouched.
  const std::string saved = kDir + "/saved.form", damaged = kDir + "/damaged.form";
  std::filesystem::remove(saved);
  EXPECT_EQ(FileDialog(&studio, Qt::Key_S, saved, "studio-save"), "");
#ifdef VARLO_DEMO  // the example host runs the form's first TIBQuery
  EXPECT_EQ(std::system(
                (std::string(VARLO_DEMO) + " --form " + saved + " --db " + db + " >/dev/null 2>&1")
                    .c_str()),
            0);
#endif
  std::ofstream(damaged)
      << "object Form1: TForm\n  object X: TIBQuery\n    Tag = 'x'\n  end\nend\n";
  EXPECT_EQ(FileDialog(&studio, Qt::Key_O, damaged, "studio-open-damaged"),
            QString::fromStdString(damaged + ": Line 3: integer expected\n"));
  EXPECT_EQ(studio.Form().ComponentCount(), 2);
  EXPECT_EQ(FileDialog(&studio, Qt::Key_O, saved, "studio-open"), "");
  ASSERT_EQ(studio.Form().ComponentCount(), 2);
  QTest::mouseClick(studio.FormView()->findChild<QToolButton*>("Orders"), Qt::LeftButton);
  EXPECT_EQ(Value(studio, "Tag"), "42");
  EXPECT_EQ(Value(studio, "DataBaseName"), QString::fromStdString(db));
  Shot(&studio, "studio-reopened");

  // About, then unload: the palette page goes with the package.
  const QString about = Modal([&] { studio.ShowAbout(); }, "studio-about");
  EXPECT_TRUE(about.contains("FileVersion: 0.5.0.0")) << about.toStdString();
  studio.UnloadPackage();
  EXPECT_EQ(studio.Palette()->count(), 0);
  EXPECT_EQ(studio.Form().ComponentCount(), 0);
}

TEST(Studio, QueryWindowScrollsAndCancels) {
  Studio::TStudio studio(VARLO_LIBRARY);
  studio.show();
  ASSERT_TRUE(studio.LoadPackage());
  Studio::TQueryWindow* window = studio.QueryWindow();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  QTest::keyClicks(window->Database, QString::fromStdString(kDir + "/studio.fdb"));
  auto run = [&](const char* sql) {
    window->Sql->setPlainText(sql);
    QTest::mouseClick(window->RunButton(), Qt::LeftButton);
  };
  // A million rows: fetched as the view scrolls, memory flat.
  const long before = ResidentKiB();
  run("SELECT A.RDB$TYPE, CAST(A.RDB$TYPE_NAME AS BLOB SUB_TYPE 0) FROM RDB$TYPES A, "
      "RDB$TYPES B, RDB$TYPES C ROWS 1000000");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window->Running(); }, 20000));
  ASSERT_TRUE(window->Status()->text().startsWith("First rows"))
      << window->Status()->text().toStdString();
  EXPECT_EQ(window->Model().headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
            "CAST\nBLOB");
  EXPECT_TRUE(window->Model().index(0, 1).data().toString().contains(" bytes: "));
  for (int k = 0; k < 20; ++k) {
    QTest::keyClick(window->View(), Qt::Key_End, Qt::ControlModifier);
    QTest::qWait(10);
  }
  EXPECT_GT(window->Model().rowCount(), 2000);
  EXPECT_LT(window->Model().rowCount(), 20000);
  EXPECT_LT(ResidentKiB() - before, 64 * 1024);  // all million rows would take hundreds of MiB
  Shot(window, "studio-query-scrolled");

  // A long sort, cancelled: it ends within a second.
  run("SELECT A.RDB$TYPE_NAME FROM RDB$TYPES A, RDB$TYPES B, RDB$TYPES C "
      "ORDER BY C.RDB$TYPE_NAME, B.RDB$TYPE, A.RDB$TYPE");
  QTest::qWait(500);
  ASSERT_TRUE(window->Running());
  const auto cancelled = Clock::now();
  QTest::mouseClick(window->CancelButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window->Running(); }, 10000));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - cancelled).count(), 1.0);
  EXPECT_TRUE(window->Status()->text().contains("operation was cancelled"))
      << window->Status()->text().toStdString();
  Shot(window, "studio-query-cancelled");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
