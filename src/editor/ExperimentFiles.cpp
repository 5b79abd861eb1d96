// ExperimentFiles.cpp: listing a model's experiment databases.
#include "editor/ExperimentFiles.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace korvane::editor {

QString FolderOf(const QString& path) { return QFileInfo(path).absolutePath(); }

QStringList ExperimentDatabases(const QString& modelPath) {
  if (modelPath.isEmpty()) return {};
  const QFileInfo model(modelPath);
  QString pattern = model.fileName();
  const int dot = pattern.lastIndexOf('.');
  const QString extension = dot >= 0 ? pattern.mid(dot) : QString(".mdb");
  pattern = (dot >= 0 ? pattern.left(dot) : pattern) + "-*" + extension;
  QDir folder(model.absolutePath());
  QStringList names = folder.entryList({pattern}, QDir::Files, QDir::NoSort);
  names.removeAll(model.fileName());
  QCollator collator;
  collator.setNumericMode(true);
  std::sort(names.begin(), names.end(),
            [&collator](const QString& a, const QString& b) { return collator.compare(a, b) < 0; });
  return names;
}

}  // namespace korvane::editor
