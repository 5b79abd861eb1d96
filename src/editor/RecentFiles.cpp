// RecentFiles.cpp: the recent-file list in the per-user settings store.
#include "editor/RecentFiles.h"

#include <QSettings>

namespace korvane::editor {

namespace {
QString Key(int index) { return QStringLiteral("MRU/File%1").arg(index); }
}  // namespace

void RecentFiles::Load() {
  QSettings settings;
  paths_.clear();
  for (int i = 0; i < kCapacity; ++i) {
    QString path = settings.value(Key(i)).toString();
    if (!path.isEmpty()) paths_.append(path);
  }
}

void RecentFiles::Save() const {
  QSettings settings;
  for (int i = 0; i < kCapacity; ++i) settings.setValue(Key(i), i < paths_.size() ? paths_[i] : QString());
  settings.sync();
}

void RecentFiles::Update(const QString& path) {
  int found = -1;
  for (int i = 0; i < paths_.size(); ++i) {
    if (paths_[i].compare(path, Qt::CaseInsensitive) == 0) {
      found = i;
      break;
    }
  }
  if (found > 0) {
    paths_.removeAt(found);
    paths_.prepend(path);
  } else if (found < 0) {
    paths_.prepend(path);
    while (paths_.size() > kCapacity) paths_.removeLast();
  }
  Save();
}

QString WorkspaceFolder() { return QSettings().value("Workspace/CWD").toString(); }

void SetWorkspaceFolder(const QString& folder) {
  QSettings settings;
  settings.setValue("Workspace/CWD", folder);
  settings.sync();
}

}  // namespace korvane::editor
