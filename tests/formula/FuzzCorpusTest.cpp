// Replays the fuzzer's corpus (fuzz/corpus/formula) through the same body
// the fuzzer runs, so every input that once found a fault stays fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../../fuzz/FormulaFuzzBody.h"
#include "TestSupport.h"

namespace korvane::formula {
namespace {

TEST(FuzzCorpus, EveryInputParsesPrintsAndRunsSafely) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(korvane::test::SourceDir()) / "fuzz" / "corpus" / "formula";
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  int count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(fuzz::RunOneInput(text.str())) << entry.path();
    ++count;
  }
  EXPECT_GE(count, 10);
}

}  // namespace
}  // namespace korvane::formula
