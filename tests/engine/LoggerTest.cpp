// LoggerTest.cpp: the log file and the shared file log routine.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "util/Log.h"
#include "util/Logger.h"

namespace korvane {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(LoggerTest, LinesLevelsAndNewFiles) {
  test::TempDir dir;
  std::string folder = dir.File("logs");
  SetLogFolder(folder);
  SetMinimumLogLevel(1);
  InstallSharedFileLog();
  std::string first = StartNewLog();
  ASSERT_FALSE(first.empty());
  EXPECT_TRUE(std::filesystem::is_directory(folder));  // created when missing
  std::string name = std::filesystem::path(first).filename().string();
  EXPECT_EQ(name.size(), std::string("yyyymmdd-hhmmss.txt").size());

  LogShared("progress line", 1);
  LogShared("trace line", 0);
  SetMinimumLogLevel(0);
  LogShared("debug trace line", 0);
  std::string text = ReadAll(first);
  EXPECT_NE(text.find("] progress line\r\n"), std::string::npos);
  EXPECT_EQ(text.find("] trace line"), std::string::npos);
  EXPECT_NE(text.find("] debug trace line\r\n"), std::string::npos);
  ASSERT_EQ(text.front(), '[');
  // "[yyyyMMdd-HHnnss.zzz] "
  EXPECT_EQ(text.find("] "), 20u);
  EXPECT_EQ(text[16], '.');

  // A new log goes to a new file, even within the same second.
  std::string second = StartNewLog();
  EXPECT_NE(second, first);
  LogToFile("in the second file", 1);
  EXPECT_EQ(ReadAll(first).find("in the second file"), std::string::npos);
  EXPECT_NE(ReadAll(second).find("in the second file"), std::string::npos);
  EXPECT_EQ(CurrentLogPath(), second);

  // A folder that cannot be made leaves the logger closed; lines are dropped.
  std::ofstream(dir.File("blocker")) << "x";
  Logger closed(dir.File("blocker") + "/logs");
  EXPECT_FALSE(closed.IsOpen());
  closed.AddString("nowhere");
  EXPECT_TRUE(closed.GetFilename().empty());

  SetMinimumLogLevel(1);
  SetSharedLogSink({});
  SetLogFolder({});
}

TEST(LoggerTest, ABatchWritesItsLinesWhenItEndsAndErrorsAtOnce) {
  test::TempDir dir;
  SetLogFolder(dir.File("logs"));
  SetMinimumLogLevel(1);
  std::string path = StartNewLog();
  {
    LogBatch outer;
    LogToFile("first of the step", 1);
    {
      LogBatch inner;
      LogToFile("second of the step", 1);
    }
    // The inner end is not the end of the step.
    EXPECT_EQ(ReadAll(path).find("of the step"), std::string::npos);
    LogToFile("something failed", 3);
    EXPECT_NE(ReadAll(path).find("something failed"), std::string::npos);
    LogToFile("last of the step", 1);
  }
  std::string text = ReadAll(path);
  const auto first = text.find("] first of the step\r\n");
  const auto second = text.find("] second of the step\r\n");
  const auto last = text.find("] last of the step\r\n");
  ASSERT_NE(last, std::string::npos);
  EXPECT_LT(first, second);  // order kept
  EXPECT_LT(second, text.find("something failed"));
  LogToFile("outside any batch", 1);
  EXPECT_NE(ReadAll(path).find("outside any batch"), std::string::npos);
  SetLogFolder({});
}

TEST(LoggerTest, DeferredFlushesHoldBatchEndsOnlyAndLoseNothing) {
  test::TempDir dir;
  SetLogFolder(dir.File("logs"));
  SetMinimumLogLevel(1);
  std::string path = StartNewLog();
  DeferLogFlushes(true);
  using Clock = std::chrono::steady_clock;
  { LogBatch first; LogToFile("trial 1", 1); }  // long since the last write: written
  const auto written = Clock::now();
  EXPECT_NE(ReadAll(path).find("trial 1"), std::string::npos);
  { LogBatch second; LogToFile("trial 2", 1); }
  // Held when it ended within the tenth of a second (a loaded machine may
  // take longer, and then it is written; either way nothing is lost).
  if (Clock::now() - written < kDeferredLogFlush / 2) {
    EXPECT_EQ(ReadAll(path).find("trial 2"), std::string::npos);
    EXPECT_TRUE(LogFlushPending());
  }
  // A line outside any batch (a connection accepted, a run ended) is written
  // at once, and what was held goes with it, in order.
  LogToFile("connection ended", 1);
  std::string text = ReadAll(path);
  ASSERT_NE(text.find("connection ended"), std::string::npos);
  EXPECT_LT(text.find("trial 2"), text.find("connection ended"));
  { LogBatch third; LogToFile("trial 3", 1); }
  FlushPendingLog();  // the server's timer
  EXPECT_NE(ReadAll(path).find("trial 3"), std::string::npos);
  { LogBatch fourth; LogToFile("trial 4", 1); }
  DeferLogFlushes(false);  // the server goes: what waits is written
  EXPECT_NE(ReadAll(path).find("trial 4"), std::string::npos);
  EXPECT_FALSE(LogFlushPending());
  SetLogFolder({});
}

}  // namespace
}  // namespace korvane
