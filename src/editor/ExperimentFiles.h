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

// A run of this program started the experiment database experimentPath for
// the model at modelPath. The export screen opens it the next time it is shown
// for that model (TakeNewExperiment gives its file name once, then empty),
// so that what was just run is what is exported.
void NoteNewExperiment(const QString& modelPath, const QString& experimentPath);
QString TakeNewExperiment(const QString& modelPath);

// The folder of a path, for joining with a listed file name.
QString FolderOf(const QString& path);

}  // namespace korvane::editor
