// EditorFixture.h: what the editor tests share: a main window on the
// offscreen platform with scripted message boxes and file dialogs, per-user
// settings in a temporary folder, and helpers that drive real widgets.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "editor/EditGrid.h"
#include "editor/frmJumper.h"
#include "store/Database.h"
#include "store/DatabaseManager.h"
#include "util/Dialogs.h"

namespace korvane::editor::test {

class EditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QCoreApplication::setOrganizationName("Korvane");
    QCoreApplication::setApplicationName("Korvane");
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString(dir.Path()));
    QSettings().clear();
    dialogs = std::make_shared<ScriptedDialogs>();
    previous = SetDialogs(dialogs);
    store::DatabaseManager::Instance().CloseModelDatabase();
    window = std::make_unique<frmJumper>();
    window->SetFileChooser([this](const FileRequest& request) {
      requests.push_back(request);
      if (chosen.empty()) return QString();
      QString path = chosen.front();
      chosen.pop_front();
      return path;
    });
    window->SetUrlOpener([this](const QUrl& url) {
      opened.push_back(url);
      return true;
    });
    window->show();
  }

  void TearDown() override {
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    store::DatabaseManager::Instance().CloseModelDatabase();
    SetDialogs(previous);
  }

  std::string File(const std::string& name) const { return dir.File(name); }
  QString QFile(const std::string& name) const { return QString::fromStdString(dir.File(name)); }

  // Answers the next file dialog with path ("" cancels).
  void Choose(const QString& path) { chosen.push_back(path); }
  void Trigger(const char* action) {
    QAction* a = window->findChild<QAction*>(action);
    ASSERT_NE(a, nullptr) << action;
    a->trigger();
    Settle();
  }
  QPushButton* Button(const QString& name) const {
    QPushButton* b = window->findChild<QPushButton*>(name);
    EXPECT_NE(b, nullptr) << name.toStdString();
    return b;
  }
  void Click(const QString& name) {
    QPushButton* b = Button(name);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(b->isEnabled()) << name.toStdString() << " is disabled";
    QTest::mouseClick(b, Qt::LeftButton);
    Settle();
  }
  // Creates a model through File > New and leaves it open.
  void NewModel(const std::string& name) {
    Choose(QFile(name));
    Trigger("mnuNew");
  }
  // Lets queued edits and deferred deletions happen.
  static void Settle() {
    for (int i = 0; i < 3; ++i) {
      QCoreApplication::processEvents();
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
  }

  EditGrid* Grid() const { return window->CurrentScreen() ? window->CurrentScreen()->findChild<EditGrid*>("grid") : nullptr; }

  // Types text into a cell the way a user does: start editing, type, Enter
  // (unless leave is false: the editor then stays open). False when the
  // grid refused to start the edit.
  bool EditCell(int row, int column, const QString& text, bool leave = true) {
    EditGrid* grid = Grid();
    if (!grid) return false;
    grid->setCurrentCell(row, column);
    grid->edit(grid->model()->index(row, column));
    QLineEdit* editor = nullptr;
    for (QLineEdit* candidate : grid->viewport()->findChildren<QLineEdit*>()) {
      if (candidate->isVisible()) editor = candidate;
    }
    if (!editor) return false;
    editor->setText(text);
    if (leave) {
      QTest::keyClick(editor, Qt::Key_Return);
      Settle();
    }
    return true;
  }

  // The texts of the boxes shown since the last call, and forget them.
  std::vector<std::string> TakeShown() {
    std::vector<std::string> texts;
    for (const DialogRequest& r : dialogs->Shown()) texts.push_back(r.text);
    dialogs->Clear();
    return texts;
  }

  // A fresh connection to a file, for looking at what the screens wrote.
  static std::unique_ptr<store::Database> OpenDb(const std::string& path) { return store::Database::Open(path); }

  korvane::test::TempDir dir;
  std::shared_ptr<ScriptedDialogs> dialogs;
  std::shared_ptr<Dialogs> previous;
  std::unique_ptr<frmJumper> window;
  std::deque<QString> chosen;
  std::vector<FileRequest> requests;
  std::vector<QUrl> opened;
};

// The field names of a table, in order.
inline std::vector<std::string> Columns(store::Database& db, const std::string& table) {
  std::vector<std::string> names;
  if (auto def = db.FindTableDef(table)) {
    for (const auto& f : def->fields) names.push_back(f.name);
  }
  return names;
}

}  // namespace korvane::editor::test
