// Files.cpp: file helpers and the per-user data folder.
#include "util/Files.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace korvane {

bool FileExists(const std::string& path, bool folderFlag) {
  if (path.empty()) return false;
  std::error_code ec;
  char last = path.back();
  if (last == '/' || last == '\\') return folderFlag && fs::is_directory(path, ec);
  return fs::is_regular_file(path, ec);
}

std::string GetFileBasename(const std::string& path) {
  auto pos = path.find_last_of("/\\");
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string TodayStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[16];
  std::strftime(buffer, sizeof buffer, "%Y%m%d", &local);
  return buffer;
}

std::string UniqueDatedFileName(const std::string& folder, const std::string& base,
                                const std::string& extension) {
  std::string prefix = (folder.empty() ? std::string() : folder + "/") + base + "-" + TodayStamp() + "-";
  std::string suffix = extension.empty() ? std::string() : "." + extension;
  for (long n = 1;; ++n) {
    std::string candidate = prefix + std::to_string(n) + suffix;
    std::error_code ec;
    if (!fs::exists(candidate, ec)) return candidate;
  }
}

std::string DataFolder() {
  fs::path folder;
  if (const char* env = std::getenv("KORVANE_DATA_DIR"); env && *env) {
    folder = env;
  } else if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    folder = fs::path(xdg) / "Korvane";
  } else {
    const char* home = std::getenv("HOME");
    folder = fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "Korvane";
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  return fs::absolute(folder, ec).string();
}

std::string DataSubfolder(const std::string& name) {
  fs::path folder = fs::path(DataFolder()) / name;
  std::error_code ec;
  fs::create_directories(folder, ec);
  return folder.string();
}

std::string LogFolder() {
  fs::path folder;
  if (const char* env = std::getenv("KORVANE_DATA_DIR"); env && *env) {
    folder = fs::path(env) / "logs";
  } else if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
    folder = fs::path(xdg) / "korvane" / "logs";
  } else {
    const char* home = std::getenv("HOME");
    folder = fs::path(home && *home ? home : "/tmp") / ".local" / "state" / "korvane" / "logs";
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  return fs::absolute(folder, ec).string();
}

std::string ProgramFolder() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec).string();
  return self.parent_path().string();
}

namespace {

// The first of the candidate folders that holds name; when none does, name
// in the first folder that exists (where the file belongs), else in the
// first, the installed layout.
std::string FirstHolding(const std::vector<fs::path>& folders, const std::string& name) {
  std::error_code ec;
  for (const fs::path& folder : folders)
    if (fs::exists(folder / name, ec)) return (folder / name).lexically_normal().string();
  for (const fs::path& folder : folders)
    if (fs::is_directory(folder, ec)) return (folder / name).lexically_normal().string();
  return (folders.front() / name).lexically_normal().string();
}

std::string Shipped(const char* sourceFolder, const char* installedFolder, const std::string& name) {
  if (const char* env = std::getenv("KORVANE_RESOURCE_DIR"); env && *env)
    return (fs::path(env) / sourceFolder / name).string();
  const fs::path program = ProgramFolder();
  return FirstHolding({program.parent_path() / installedFolder, program / sourceFolder}, name);
}

}  // namespace

std::string ResourceFile(const std::string& name) { return Shipped("resources", "share/korvane", name); }

std::string DocFile(const std::string& name) { return Shipped("docs", "share/doc/korvane", name); }

}  // namespace korvane
