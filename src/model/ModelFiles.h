// ModelFiles.h: opening and creating model files for the task connection,
// with failures as numbered errors.
#pragma once

#include <memory>
#include <string>

#include "store/Database.h"

namespace korvane::model {

// Opens an existing model or experiment file, bringing its schema up to date
// as for any model. Throws korvane::Error when there is no such file or it
// cannot be opened as a model.
std::unique_ptr<store::Database> OpenModelFile(const std::string& path);
// Creates a new, empty model file. Throws when the file exists or cannot be
// created.
std::unique_ptr<store::Database> CreateModelFile(const std::string& path);

}  // namespace korvane::model
