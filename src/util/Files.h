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

// The per-user data folder (exports, demo files): $KORVANE_DATA_DIR when set,
// else $XDG_DATA_HOME/Korvane, else ~/.local/share/Korvane. Created on first
// use.
std::string DataFolder();
// A folder below DataFolder(), created on first use.
std::string DataSubfolder(const std::string& name);
// Where log files go: $KORVANE_DATA_DIR/logs when that is set (so that one
// variable keeps a test or a script entirely in its own folder), else
// $XDG_STATE_HOME/korvane/logs, else ~/.local/state/korvane/logs. Logs are
// state, not data a user keeps. Created on first use.
std::string LogFolder();

// The folder the running program lives in.
std::string ProgramFolder();
// A read-only file the program ships, by its name in the source tree's
// resources/ folder ("Formula-v6.cgt", "help/RTF_WELCOME.html"). Installed,
// it is in ../share/korvane beside the program's bin/ folder; in the build
// tree, in resources/ beside the program. So an installed tree works wherever
// it is moved. $KORVANE_RESOURCE_DIR, when set, stands in for the program
// folder: the file is then looked up in its resources/ folder only. When the
// file is nowhere, the path where it belongs (for the message that says so).
std::string ResourceFile(const std::string& name);
// A document the program ships, by its name in the source tree's docs/
// folder ("user-manual.html"): ../share/doc/korvane installed, docs/ beside
// the program in the build tree, $KORVANE_RESOURCE_DIR/docs when that is set.
std::string DocFile(const std::string& name);

// Today's local date as yyyyMMdd.
std::string TodayStamp();

}  // namespace korvane
