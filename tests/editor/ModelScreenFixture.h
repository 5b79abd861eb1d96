// ModelScreenFixture.h: what the tests of the model screens share: a model
// file in a temporary folder opened as the current model, scripted answers to
// every message box, a host that records which screen it was asked to show,
// and helpers to build instance types and find controls by object name.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QWidget>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "editor/Screen.h"
#include "store/Database.h"
#include "store/DatabaseManager.h"
#include "store/DatabaseVersioning.h"
#include "store/MetaKeyValue.h"
#include "store/Schema.h"
#include "util/Dialogs.h"

namespace korvane::test {

class RecordingHost : public editor::ScreenHost {
 public:
  void ShowScreen(int index) override { shown.push_back(index); }
  void EvaluateDatabaseState() override {}
  QWidget* DialogParent() override { return nullptr; }
  std::vector<int> shown;
};

class ModelScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dialogs_ = std::make_shared<ScriptedDialogs>();
    previous_ = SetDialogs(dialogs_);
    qputenv("KORVANE_DATA_DIR", QByteArray::fromStdString(dir_.File("data")));
    modelPath_ = dir_.File("Model.mdb");
    ASSERT_TRUE(store::DatabaseManager::Instance().CreateModelDatabase(modelPath_));
    dialogs_->Clear();
  }
  void TearDown() override {
    store::DatabaseManager::Instance().CloseModelDatabase();
    SetDialogs(previous_);
  }

  // A connection of the test's own to the model file.
  std::unique_ptr<store::Database> Model() { return store::Database::Open(modelPath_); }

  // An instance-type table as the definition screen makes it, with slot
  // columns given by their full names (S_Price_Real, D_Choice_String, ...).
  static void CreateInstanceType(store::Database& db, const std::string& name,
                                 const std::vector<std::pair<std::string, store::FieldType>>& slotColumns) {
    store::TableDef def;
    def.name = name;
    def.fields = {{"X_ID", store::FieldType::Long, true},
                  {"X_Subject", store::FieldType::Long},
                  {"X_Working_Memory", store::FieldType::Boolean},
                  {"X_Prepopulated", store::FieldType::Boolean},
                  {"X_Created", store::FieldType::DateTime}};
    for (const auto& [column, type] : slotColumns) def.fields.push_back({column, type});
    def.indexes = {{"PrimaryKey", {"X_ID"}, true, false, true}, {"SubjectIdx", {"X_Subject"}}};
    db.CreateTable(def);
  }

  void CreateInstanceType(const std::string& name,
                          const std::vector<std::pair<std::string, store::FieldType>>& slotColumns) {
    auto db = Model();
    CreateInstanceType(*db, name, slotColumns);
    db->Close();
  }

  // An experiment database beside the model: instance type I1 (situation
  // Price, decision Choice, utility Value) with two subjects' instances and
  // their trace. Per subject s and trial t (1..3): four ACAL rows, one
  // RETR-NORM row with activation s + t, one EXEC row of an instance whose
  // choice is "A" except for subject 2 in trial 1 ("B"), utility 10 * t + s.
  std::string CreateExperiment(const std::string& name = "Model-20990101-1.mdb") {
    const std::string path = dir_.File(name);
    auto db = store::OpenOrCreateModelDatabase(path, true, true);  // a current file, as runs make them
    CreateInstanceType(*db, "I1", {{"S_Price_Real", store::FieldType::Double},
                                   {"D_Choice_String", store::FieldType::Text},
                                   {"U_Value_Real", store::FieldType::Double}});
    store::GetOrCreateMetaInstance(db.get());
    int id = 0;
    for (int subject = 1; subject <= 2; ++subject) {
      for (int trial = 1; trial <= 3; ++trial) {
        ++id;
        const std::string choice = subject == 2 && trial == 1 ? "B" : "A";
        db->Execute("INSERT INTO I1 (X_ID, X_Subject, S_Price_Real, D_Choice_String, U_Value_Real) "
                    "VALUES (?, ?, ?, ?, ?)",
                    {Variant(id), Variant(subject), Variant(1.5 * trial), Variant(choice),
                     Variant(10.0 * trial + subject)});
        auto trace = [&](const char* marker, int instance, double activation) {
          db->Execute("INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker, "
                      "Activation, Similarity, BLL, Noise, Selected, Executed, Feedback) "
                      "VALUES (?, NOW(), 'I1', ?, ?, ?, ?, -0.5, 0.25, 0.125, FALSE, FALSE, 0)",
                      {Variant(subject), Variant(trial), Variant(instance), Variant(marker), Variant(activation)});
        };
        for (int candidate = 1; candidate <= 4; ++candidate) trace("ACAL", candidate, 0.1 * candidate + trial);
        trace("RETR-NORM", id, subject + trial);
        trace("EXEC", id, 0);
      }
    }
    db->Close();
    return path;
  }

  Variant Setting(const std::string& key) {
    auto db = Model();
    Variant value = store::GetKeyValue(db.get(), key);
    db->Close();
    return value;
  }
  bool HasSetting(const std::string& key) {
    auto db = Model();
    bool has = store::HasKeyValue(db.get(), key);
    db->Close();
    return has;
  }
  void SetSetting(const std::string& key, const Variant& value) {
    auto db = Model();
    store::SetKeyValue(db.get(), key, value);
    db->Close();
  }

  // The texts shown through the dialogs since the last call.
  std::vector<std::string> TakeShown() {
    std::vector<std::string> texts;
    for (const DialogRequest& request : dialogs_->Shown()) texts.push_back(request.text);
    dialogs_->Clear();
    return texts;
  }

  template <class T>
  static T* Find(QWidget* root, const char* name) {
    T* child = root->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << "no control named " << name;
    return child;
  }

  // Processes events until done() holds or the time runs out.
  template <class Condition>
  static bool WaitFor(Condition done, int timeoutMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
      if (timer.elapsed() > timeoutMs) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      QTest::qWait(5);
    }
    return true;
  }

  TempDir dir_;
  std::string modelPath_;
  std::shared_ptr<ScriptedDialogs> dialogs_;
  std::shared_ptr<Dialogs> previous_;
  RecordingHost host_;
};

}  // namespace korvane::test
