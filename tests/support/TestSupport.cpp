// TestSupport.cpp: helpers shared by the test suites.
#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace korvane::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string SourceDir() {
  const char* env = std::getenv("KORVANE_TEST_SOURCE_DIR");
  return env && *env ? env : KORVANE_TEST_SOURCE_DIR_DEFAULT;
}

std::string BinDir() {
  const char* env = std::getenv("KORVANE_BIN_DIR");
  return env && *env ? env : KORVANE_BIN_DIR_DEFAULT;
}

}  // namespace korvane::test
