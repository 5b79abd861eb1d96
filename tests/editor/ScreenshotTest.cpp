// ScreenshotTest.cpp: pictures of the main window and of every screen on a
// model, for the documentation. Runs only when scripts/screenshots.sh asks
// for it (KORVANE_SCREENSHOT_DIR and KORVANE_SCREENSHOT_MODEL set); it then
// also checks that every screen opens on that model without a message.
#include <QDir>
#include <QPixmap>
#include <cstdlib>

#include "EditorFixture.h"
#include "editor/Screen.h"

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
    save(QStringLiteral("%1-%2").arg(entry.index + 2, 2, 10, QChar('0')).arg(entry.formName));
    EXPECT_TRUE(TakeShown().empty()) << entry.formName;
  }
  window->UnloadAllForms();
  Settle();
}

}  // namespace
}  // namespace korvane::editor::test
