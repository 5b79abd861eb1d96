// Files.h: file helpers shared by every layer, and the per-user data folder.
#pragma once

#include <string>

namespace korvane {

// False for an empty path. A path ending in "/" (or "\") names a folder and is
// true only when folderFlag is set and the folder exists; any other path is
// true when the file exists.
bool FileExists(const std::string& path, bool folderFlag = false);

// The last component of a path: "/data/Example.mdb" gives "Example.mdb".
std::string GetFileBasename(const std::string& path);

// folder + "/" + base + "-" + today as yyyyMMdd + "-" + n + "." + extension,
// n the smallest number from 1 up whose file does not exist. An empty
// extension leaves out the ".". Never returns the name of an existing file.
std::string UniqueDatedFileName(const std::string& folder, const std::string& base,
                                const std::string& extension);

// Like UniqueDatedFileName, but the file is created (empty) exclusively, so
// two programs never get the same name. Empty, with the reason in failure,
// when the folder does not take a new file.
std::string CreateUniqueDatedFile(const std::string& folder, const std::string& base,
                                  const std::string& extension, std::string* failure = nullptr);

// The per-user data folder (logs, exports, demo files): $KORVANE_DATA_DIR
// when set, else $XDG_DATA_HOME/Korvane, else ~/.local/share/Korvane.
// Created on first use.
std::string DataFolder();
// A folder below DataFolder(), created on first use.
std::string DataSubfolder(const std::string& name);

// The folder the running program lives in (resources, help, manual).
std::string ProgramFolder();
// A file the program ships beside itself, e.g. "resources/Formula-v6.cgt".
// $KORVANE_RESOURCE_DIR, when set, stands in for the program folder.
std::string ProgramFile(const std::string& relativePath);

// Today's local date as yyyyMMdd.
std::string TodayStamp();

}  // namespace korvane
