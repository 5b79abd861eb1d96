// ExperimentFiles.cpp: listing a model's experiment databases.
#include "editor/ExperimentFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <algorithm>

namespace korvane::editor {

namespace {

// Runs of digits compare as numbers, so "-10" follows "-9"; the rest
// compares without regard to case.
bool NaturalLess(const QString& a, const QString& b) {
  int i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].isDigit() && b[j].isDigit()) {
      int ei = i, ej = j;
      while (ei < a.size() && a[ei].isDigit()) ++ei;
      while (ej < b.size() && b[ej].isDigit()) ++ej;
      QString na = a.mid(i, ei - i), nb = b.mid(j, ej - j);
      while (na.size() > 1 && na[0] == '0') na.remove(0, 1);
      while (nb.size() > 1 && nb[0] == '0') nb.remove(0, 1);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
      continue;
    }
    const QChar ca = a[i].toLower(), cb = b[j].toLower();
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

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
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

namespace {

QHash<QString, QString>& NewExperiments() {
  static QHash<QString, QString> byModel;
  return byModel;
}

}  // namespace

void NoteNewExperiment(const QString& modelPath, const QString& experimentPath) {
  NewExperiments().insert(QFileInfo(modelPath).absoluteFilePath(), QFileInfo(experimentPath).fileName());
}

QString TakeNewExperiment(const QString& modelPath) {
  return NewExperiments().take(QFileInfo(modelPath).absoluteFilePath());
}

}  // namespace korvane::editor
