// ExperimentFiles.h: the experiment databases that belong to a model.
//
// Every run works on a copy of the model named after it: beside Example.mdb
// the copies are Example-20080305-1.mdb, Example-20080305-2.mdb, ... The
// export and graph screens list them so the researcher picks a run.
#pragma once

#include <QString>
#include <QStringList>

namespace korvane::editor {

// File names (no folder) in the model's folder that match the model's file
// name with ".mdb" replaced by "-*.mdb", oldest run first (dates, then run
// numbers compared as numbers, so -10 follows -9).
QStringList ExperimentDatabases(const QString& modelPath);

// The folder of a path, for joining with a listed file name.
QString FolderOf(const QString& path);

}  // namespace korvane::editor
