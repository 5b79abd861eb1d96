// ReadOnlyFilesTest.cpp: reading a model changes nothing in its file, a file
// without write permission can be read, and a SQLite file of another program
// is refused before anything is written to it.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "TestSupport.h"
#include "model/ExampleModels.h"
#include "model/ModelFiles.h"
#include "model/ModelJson.h"
#include "store/Database.h"
#include "store/DatabaseVersioning.h"
#include "store/MetaKeyValue.h"
#include "util/Error.h"

using korvane::test::TempDir;

namespace {

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file in the folder with its bytes.
std::map<std::string, std::string> Folder(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    files[entry.path().filename().string()] = Bytes(entry.path().string());
  return files;
}

}  // namespace

TEST(ReadOnlyFiles, ReadingAModelChangesNothing) {
  TempDir temp;
  const std::string path = temp.File("Model.mdb");
  korvane::model::CreateExampleModel("binary-choice", path);
  // A file in rollback-journal mode shows a mode switch in its header.
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  ::chmod(path.c_str(), 0444);
  const auto before = Folder(temp.Path());

  {  // what `korvane info` and `get` do
    auto db = korvane::store::Database::OpenReadOnly(path);
    EXPECT_TRUE(db->IsReadOnly());
    EXPECT_TRUE(db->FindTableDef("I1"));
    EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Params_D_Value").ToNumber(), 0.5);
    EXPECT_THROW(korvane::store::SetKeyValue(db.get(), "Params_D_Value", korvane::Variant(1)), korvane::Error);
    db->Close();
  }
  // `korvane model export`
  EXPECT_NE(korvane::model::ExportModelJson(path).find("\"Params_D_Value\": 0.5"), std::string::npos);
  // `korvane serve` copies the model for an experiment
  korvane::store::Database::Copy(path, temp.File("Copy.mdb"));
  EXPECT_TRUE(korvane::model::OpenModelFile(temp.File("Copy.mdb"))->FindTableDef("I1"));
  std::filesystem::remove(temp.File("Copy.mdb"));
  for (const char* sidecar : {"-wal", "-shm"}) std::filesystem::remove(temp.File("Copy.mdb") + sidecar);

  EXPECT_EQ(Folder(temp.Path()), before);
  ::chmod(path.c_str(), 0644);
}

TEST(ReadOnlyFiles, AnotherProgramsSqliteFileIsRefusedUntouched) {
  TempDir temp;
  const std::string path = temp.File("Other.mdb");
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE Accounts (Owner TEXT, Balance REAL); INSERT INTO Accounts VALUES ('A', 1)",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  const auto before = Folder(temp.Path());
  auto refused = [&](const std::function<void()>& open) {
    try {
      open();
    } catch (const korvane::Error& e) {
      return e.Description().find("another program") != std::string::npos;
    }
    return false;
  };
  EXPECT_TRUE(refused([&] { korvane::store::Database::Open(path); }));
  EXPECT_TRUE(refused([&] { korvane::store::Database::OpenReadOnly(path); }));
  EXPECT_TRUE(refused([&] { korvane::model::OpenModelFile(path); }));
  EXPECT_TRUE(refused([&] { korvane::model::ExportModelJson(path); }));
  EXPECT_TRUE(refused([&] { korvane::store::Database::Copy(path, temp.File("Copy.mdb")); }));
  std::string failure;
  EXPECT_EQ(korvane::store::OpenOrCreateModelDatabase(path, true, true, &failure), nullptr);
  EXPECT_NE(failure.find("another program"), std::string::npos) << failure;
  EXPECT_EQ(Folder(temp.Path()), before);

  // An empty file still becomes a model, and Korvane's own files open.
  { std::ofstream(temp.File("Empty.mdb")); }
  EXPECT_TRUE(korvane::model::OpenModelFile(temp.File("Empty.mdb"))->IsOpen());
  EXPECT_TRUE(korvane::store::Database::OpenReadOnly(temp.File("Empty.mdb"))->IsOpen());
}
