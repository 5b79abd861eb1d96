// ModelFiles.cpp: see ModelFiles.h.
#include "model/ModelFiles.h"

#include "store/DatabaseVersioning.h"
#include "util/Files.h"

namespace korvane::model {

namespace {

std::unique_ptr<store::Database> OpenOrCreate(const std::string& path) {
  std::string failure;
  auto db = store::OpenOrCreateModelDatabase(path, true, true, &failure);
  if (!db) throw Error(ErrorNumber::DatabaseFailure, "Model file", path + ": " + (failure.empty() ? "cannot be opened" : failure));
  return db;
}

}  // namespace

std::unique_ptr<store::Database> OpenModelFile(const std::string& path) {
  if (!FileExists(path)) throw Error(ErrorNumber::DatabaseFailure, "Model file", path + ": no such file");
  return OpenOrCreate(path);
}

std::unique_ptr<store::Database> CreateModelFile(const std::string& path) {
  if (FileExists(path)) throw Error(ErrorNumber::DatabaseFailure, "Model file", path + ": exists already");
  return OpenOrCreate(path);
}

}  // namespace korvane::model
