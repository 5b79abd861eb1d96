// RecentFiles.h: the list of recently used model files.
//
// At most five full paths, the most recent first, kept in the per-user
// settings (QSettings "Korvane"/"Korvane", section "MRU", keys File0..File4).
// Paths that differ only in letter case count as the same file.
#pragma once

#include <QString>
#include <QStringList>

namespace korvane::editor {

class RecentFiles {
 public:
  static constexpr int kCapacity = 5;

  // Reads File0..File4 in order; empty entries are skipped, so gaps close up.
  void Load();
  // Writes every entry under File0..File4 (empty text for unused ones).
  void Save() const;
  // Moves or inserts path at the top, then saves.
  void Update(const QString& path);

  const QStringList& Paths() const { return paths_; }
  int Count() const { return static_cast<int>(paths_.size()); }

 private:
  QStringList paths_;
};


// The folder stored under "Workspace"/"CWD" ("" when none is stored), and
// storing one.
QString WorkspaceFolder();
void SetWorkspaceFolder(const QString& folder);

}  // namespace korvane::editor
