// DatabaseManager.h: the one current model database of the program.
//
// The main window creates, opens, closes, saves (close and re-open) and copies
// model files through it; every screen takes its own, independent connection
// with GetModelDatabase() when it is shown and closes it itself. Messages
// and questions go through CurrentDialogs().
#pragma once

#include <memory>
#include <string>

#include "store/Database.h"

namespace korvane::store {

class DatabaseManager {
 public:
  // The program's one manager.
  static DatabaseManager& Instance();

  DatabaseManager() = default;
  DatabaseManager(const DatabaseManager&) = delete;
  DatabaseManager& operator=(const DatabaseManager&) = delete;

  // Creates a new model file at path (asking before replacing an existing
  // one) and makes it current. False when refused or failed; the previous
  // current database is then kept.
  bool CreateModelDatabase(const std::string& path);
  // Opens (and upgrades) the model file at path and makes it current; offers
  // to create it when it does not exist.
  bool OpenModelDatabase(const std::string& path);
  // Closes the current connection; the file name is kept. Always true.
  bool CloseModelDatabase();
  // Close and open the current file again; true when the re-open succeeded.
  bool SaveModelDatabase();
  // Copies a model file (asking before overwriting the target); true when
  // the copy was made.
  bool CopyModelDatabase(const std::string& source, const std::string& target);

  // A new connection to the current file (version-checked), owned by the
  // caller; nothing when no model is open or it cannot be opened.
  std::unique_ptr<Database> GetModelDatabase();
  const std::string& GetModelFilename() const { return fileName_; }
  bool IsModelOpen() const { return open_; }
  // The manager's own connection (null when closed), for the main window.
  Database* CurrentDatabase() const { return current_.get(); }
  // Why the last failed operation failed (the engine's description), or "".
  const std::string& LastFailure() const { return lastFailure_; }

 private:
  void MakeCurrent(std::unique_ptr<Database> db, const std::string& path);
  std::unique_ptr<Database> current_;
  std::string fileName_;
  bool open_ = false;
  std::string lastFailure_;
};

}  // namespace korvane::store
