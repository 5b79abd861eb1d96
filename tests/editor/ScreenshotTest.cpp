// ScreenshotTest.cpp: pictures of the main window and of every screen on a
// model, for the documentation. Runs only when scripts/screenshots.sh asks
// for it (KORVANE_SCREENSHOT_DIR and KORVANE_SCREENSHOT_MODEL set); it then
// also checks that every screen opens on that model without a message.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QDir>
#include <QHeaderView>
#include <QListWidget>
#include <QPushButton>
#include <QPixmap>
#include <QScrollArea>
#include <QTableView>
#include <cstdlib>

#include "EditorFixture.h"
#include "editor/Screen.h"
#include "model/ExampleModels.h"

namespace korvane::editor::test {
namespace {

TEST_F(EditorTest, Screenshots) {
  const char* out = std::getenv("KORVANE_SCREENSHOT_DIR");
  const char* model = std::getenv("KORVANE_SCREENSHOT_MODEL");
  if (!out || !model) GTEST_SKIP() << "set KORVANE_SCREENSHOT_DIR and KORVANE_SCREENSHOT_MODEL to take pictures";
  QDir folder(QString::fromLocal8Bit(out));
  ASSERT_TRUE(folder.mkpath("."));
  window->resize(1024, 768);
  Settle();
  auto save = [&](const QString& name) {
    QTest::qWait(200);  // let the window paint at its final size
    EXPECT_TRUE(window->grab().save(folder.filePath(name + ".png"))) << name.toStdString();
  };
  save("00-no-model");

  Choose(QString::fromLocal8Bit(model));
  Trigger("mnuOpen");
  EXPECT_TRUE(store::DatabaseManager::Instance().IsModelOpen());
  save("01-main-window");
  TakeShown();
  for (const ScreenEntry& entry : ScreenTable()) {
    if (!entry.create) continue;
    window->ShowScreen(entry.index);
    Settle();
    ASSERT_NE(window->CurrentScreen(), nullptr) << entry.formName;
    if (QString(entry.formName) == "frmExport") {
      // The run's rows in the preview.
      window->CurrentScreen()->findChild<QListWidget*>("lstInstanceTypes")->setCurrentRow(0);
      window->CurrentScreen()->findChild<QPushButton*>("btnSelectAll")->click();
      window->CurrentScreen()->findChild<QPushButton*>("btnRefreshPreview")->click();
      Settle();
    }
    save(QStringLiteral("%1-%2").arg(entry.index + 2, 2, 10, QChar('0')).arg(entry.formName));
    EXPECT_TRUE(TakeShown().empty()) << entry.formName;
  }
  window->UnloadAllForms();
  Settle();
}

// At the main window's default size and at 1024 x 768 every screen fits:
// the window keeps the size asked for, no visible control reaches past the
// screen or is narrower than its caption needs, and the export preview shows
// at least ten rows.
TEST_F(EditorTest, EveryScreenFitsTheDefaultSizeAnd1024x768) {
  model::CreateExampleModel("binary-choice", File("Fit.mdb"));
  Choose(QFile("Fit.mdb"));
  Trigger("mnuOpen");
  ASSERT_TRUE(store::DatabaseManager::Instance().IsModelOpen());
  const QSize defaultSize = window->size();
  for (const QSize size : {defaultSize, QSize(1024, 768)}) {
    window->resize(size);
    for (const ScreenEntry& entry : ScreenTable()) {
      if (!entry.create) continue;
      window->ShowScreen(entry.index);
      Settle();
      Screen* screen = window->CurrentScreen();
      ASSERT_NE(screen, nullptr) << entry.formName;
      const std::string where = std::string(entry.formName) + " at " + std::to_string(size.width()) + "x" +
                                std::to_string(size.height());
      EXPECT_EQ(window->size(), size) << where;
      const QRect inside = screen->rect();
      for (QWidget* child : screen->findChildren<QWidget*>()) {
        if (!child->isVisible() || child->isWindow() || child->size().isEmpty()) continue;
        // What a scroll area holds may reach past it: it scrolls.
        bool scrolled = false;
        for (QWidget* up = child->parentWidget(); up && up != screen; up = up->parentWidget())
          scrolled = scrolled || (qobject_cast<QScrollArea*>(up) && !qobject_cast<QAbstractItemView*>(up));
        if (scrolled) continue;
        const QRect at(child->mapTo(screen, QPoint(0, 0)), child->size());
        EXPECT_TRUE(inside.contains(at)) << where << ": " << child->objectName().toStdString() << " "
                                         << child->metaObject()->className();
        if (auto* button = qobject_cast<QAbstractButton*>(child)) {
          EXPECT_GE(button->width(), button->minimumSizeHint().width())
              << where << ": " << button->text().toStdString();
        }
      }
      if (auto* preview = screen->findChild<QTableView*>("grdPreview")) {
        EXPECT_GE(preview->viewport()->height(), 10 * preview->verticalHeader()->defaultSectionSize()) << where;
      }
    }
  }
  TakeShown();
  window->UnloadAllForms();
  Settle();
}

}  // namespace
}  // namespace korvane::editor::test
