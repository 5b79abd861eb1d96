// TestSupport.h: helpers shared by the test suites.
#pragma once

#include <string>

namespace korvane::test {

// A fresh temporary folder, removed with everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Path of a file inside the folder.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The source tree (for files the tests read, e.g. examples/ and fuzz corpora).
std::string SourceDir();
// The folder of the built program and its resources.
std::string BinDir();

}  // namespace korvane::test
