// frmDefinition.cpp: the instance-type definition screen.
#include "editor/frmDefinition.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <algorithm>

#include "editor/EditGrid.h"
#include "store/Database.h"
#include "store/DatabaseVersioning.h"
#include "store/Schema.h"
#include "util/Dialogs.h"

namespace korvane::editor {

namespace {

constexpr int kInstanceColumn = 0;
constexpr int kMaxSlotNameLength = 32;
const char kAspects[] = {'?', 'S', 'D', 'U'};  // by grid column

std::string Std(const QString& text) { return text.toStdString(); }
QString Q(const std::string& text) { return QString::fromStdString(text); }

void Tell(const QString& text, DialogIcon icon = DialogIcon::Information) {
  CurrentDialogs().Message(Std(text), icon);
}

// "Price, Real" -> name "Price", type "Real"; false unless both are there.
bool SplitSlot(const QString& text, QString& name, QString& type) {
  const int comma = text.indexOf(", ");
  if (comma < 0) return false;
  name = text.left(comma);
  type = text.mid(comma + 2);
  return !name.isEmpty() && !type.isEmpty();
}

// The cell text of a slot column: S_Price_Real -> "Price, Real".
QString SlotText(const QString& column) {
  const int last = column.lastIndexOf('_');
  return column.mid(2, last - 2) + ", " + column.mid(last + 1);
}

store::FieldType ColumnType(const QString& typeWord) {
  if (typeWord == "Real") return store::FieldType::Double;
  if (typeWord == "Integer") return store::FieldType::Integer;
  return store::FieldType::Text;
}

// "real", "STRING", ... -> "Real", "String", ...; "" when not a type word.
QString TypeWord(const QString& type) {
  for (const char* word : {"Real", "String", "Integer"}) {
    if (type.compare(QLatin1String(word), Qt::CaseInsensitive) == 0) return QLatin1String(word);
  }
  return {};
}

// The instance number of a table named "I" + a positive number; 0 otherwise.
int InstanceNumberOf(const std::string& table) {
  static const QRegularExpression pattern("^I([1-9][0-9]{0,8})$");
  auto match = pattern.match(Q(table));
  return match.hasMatch() ? match.captured(1).toInt() : 0;
}

store::FieldInfo Field(const std::string& name, store::FieldType type) {
  store::FieldInfo field;
  field.name = name;
  field.type = type;
  return field;
}

store::IndexInfo Index(const std::string& name, const std::string& field) {
  store::IndexInfo index;
  index.name = name;
  index.fields = {field};
  return index;
}

// A new instance-type table: its system columns and indexes, no slots yet.
store::TableDef InstanceTableDef(const std::string& name) {
  store::TableDef def;
  def.name = name;
  store::FieldInfo id = Field("X_ID", store::FieldType::Long);
  id.autoIncrement = true;
  def.fields = {id, Field("X_Subject", store::FieldType::Long), Field("X_Working_Memory", store::FieldType::Boolean),
                Field("X_Prepopulated", store::FieldType::Boolean), Field("X_Created", store::FieldType::DateTime)};
  store::IndexInfo primary = Index("PrimaryKey", "X_ID");
  primary.primary = true;
  primary.unique = true;
  primary.required = true;
  def.indexes = {primary, Index("SubjectIdx", "X_Subject")};
  return def;
}

// Drops the field when the table still has it.
void DeleteFieldIfPresent(store::Database& db, const std::string& table, const std::string& field) {
  auto def = db.FindTableDef(table);
  if (def && store::FieldExists(*def, field)) db.DeleteField(table, field);
}

// Copies every value of one column into another of a different type. The
// database layer converts each value as it writes it; a value the new type
// cannot hold (a text that is no number, a number too large for a 16-bit
// column) becomes empty rather than stopping the change half-way.
void CopyFieldConverting(store::Database& db, const std::string& table, const std::string& from,
                         const std::string& to) {
  auto records = db.OpenTable(table);
  if (records->IsEOF()) return;
  for (records->MoveFirst(); !records->IsEOF(); records->MoveNext()) {
    const Variant value = records->Get(from);
    try {
      records->Edit();
      records->Set(to, value);
      records->Update();
    } catch (const Error&) {
      records->CancelUpdate();
      records->Edit();
      records->Set(to, Variant::Null());
      records->Update();
    }
  }
}

}  // namespace

frmDefinition::frmDefinition(ScreenHost& host)
    : Screen(host, 0, "frmDefinition", "RTF_WELCOME", tr("Defining Instance Types")) {
  auto* labels = new QHBoxLayout;
  lblInstanceNumber_ = new QLabel(this);
  lblInstanceNumber_->setObjectName("lblInstanceNumber");
  lbDBVersion_ = new QLabel(this);
  lbDBVersion_->setObjectName("lbDBVersion");
  labels->addWidget(lblInstanceNumber_);
  labels->addStretch(1);
  labels->addWidget(lbDBVersion_);
  Body()->addLayout(labels);

  grid_ = new EditGrid(this);
  grid_->setObjectName("grid");
  grid_->setColumnCount(4);
  grid_->setHorizontalHeaderLabels({tr("Instance No."), tr("Situation"), tr("Decision"), tr("Utility")});
  grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  grid_->horizontalHeader()->setSectionResizeMode(kInstanceColumn, QHeaderView::Fixed);
  grid_->setColumnWidth(kInstanceColumn, 90);  // 1200 twips
  grid_->SetEditGuard([this](int row, int column) { return GuardEdit(row, column); });
  connect(grid_, &EditGrid::CellEdited, this,
          [this](int row, int column, const QString&, const QString& newText) { ApplyEdit(row, column, newText); });
  Body()->addWidget(grid_, 1);

  btnAddRow_ = new QPushButton(tr("&Add Row"), this);
  btnAddRow_->setObjectName("btnAddRow");
  btnDeleteRow_ = new QPushButton(tr("&Delete Row"), this);
  btnDeleteRow_->setObjectName("btnDeleteRow");
  ButtonRow()->insertWidget(0, btnAddRow_);
  ButtonRow()->insertWidget(1, btnDeleteRow_);
  connect(btnAddRow_, &QPushButton::clicked, this, &frmDefinition::AddRow);
  connect(btnDeleteRow_, &QPushButton::clicked, this, &frmDefinition::DeleteRow);
}

QString frmDefinition::InstanceCell(int row) const { return grid_->CellText(row, kInstanceColumn).trimmed(); }

void frmDefinition::UpdateLabels() {
  lblInstanceNumber_->setText(QStringLiteral("Current instance number: %1").arg(currentInstance_));
  int version = 0;
  try {
    version = store::GetSchemaVersion(Db());
  } catch (const Error&) {
  }
  lbDBVersion_->setText(QStringLiteral("Database version: %1").arg(version));
}

void frmDefinition::UpdateButtons() { btnDeleteRow_->setEnabled(grid_->rowCount() > 0); }

// --- Loading -----------------------------------------------------------------

void frmDefinition::PlaceSlot(int instance, int column, const QString& text) {
  const QString number = QString::number(instance);
  int target = -1;
  for (int row = 0; row < grid_->rowCount(); ++row) {
    if (InstanceCell(row) == number && grid_->CellText(row, column).isEmpty()) {
      target = row;
      break;
    }
  }
  if (target < 0) {
    target = grid_->AppendRow();
    grid_->SetCellText(target, kInstanceColumn, number);
  }
  grid_->SetCellText(target, column, text);
  grid_->SetCellValue(target, column, text);
}

void frmDefinition::Load() {
  grid_->setRowCount(0);
  currentInstance_ = 1;
  highestInstance_ = 1;
  try {
    for (const store::TableDef& def : Db()->TableDefs()) {
      if (store::IsSystemTable(def)) continue;
      const int instance = InstanceNumberOf(def.name);
      if (instance <= 0) continue;  // not an instance type this screen can edit
      currentInstance_ = instance;
      highestInstance_ = std::max(highestInstance_, instance);
      for (const store::FieldInfo& field : def.fields) {
        const QString name = Q(field.name);
        const QChar aspect = name.isEmpty() ? QChar('?') : name[0].toUpper();
        int column = 0;
        if (aspect == 'S') column = 1;
        else if (aspect == 'D') column = 2;
        else if (aspect == 'U') column = 3;
        else if (aspect == 'T' || aspect == 'X') continue;
        else {
          Tell(QStringLiteral("Internal error: unknown aspect code %1_ in %2. Expected S, D, U, or X.")
                   .arg(aspect)
                   .arg(Q(def.name)),
               DialogIcon::Critical);
          continue;
        }
        PlaceSlot(instance, column, SlotText(name));
      }
    }
  } catch (const Error& e) {
    Tell(Q(e.Description()), DialogIcon::Critical);
  }
  // A model without instance types starts with one empty row to type into.
  if (grid_->rowCount() == 0) grid_->SetCellText(grid_->AppendRow(), kInstanceColumn, QString::number(currentInstance_));
  Recolour(grid_->rowCount() - 1);
  UpdateLabels();
  UpdateButtons();
}

// --- Rows ----------------------------------------------------------------------

void frmDefinition::CommitPendingInput() { grid_->FlushEdits(); }

void frmDefinition::AddRow() {
  grid_->FlushEdits();
  const int row = grid_->AppendRow();
  grid_->SetCellText(row, kInstanceColumn, QString::number(currentInstance_));
  grid_->setCurrentCell(row, 1);
  Recolour(row);
  UpdateButtons();
  Host().EvaluateDatabaseState();
}

void frmDefinition::DeleteRow() {
  grid_->FlushEdits();
  const int row = grid_->currentRow();
  if (row < 0 || row >= grid_->rowCount()) return;
  const QString number = InstanceCell(row);
  if (!number.isEmpty()) {
    const QString table = "I" + number;
    try {
      if (!Db()->FindTableDef(Std(table))) {
        Tell("Instance type " + table + " cannot be deleted.");
      } else {
        QStringList lines;
        for (int column = 1; column <= 3; ++column) {
          if (!grid_->CellText(row, column).isEmpty()) lines << "*  " + grid_->CellText(row, column);
        }
        if (!lines.isEmpty()) {
          const DialogAnswer answer = CurrentDialogs().Ask(
              Std(QStringLiteral("Are you sure you would like to delete the following %1 slot(s)?\n\n")
                      .arg(lines.size()) +
                  lines.join("\n")),
              DialogButtons::YesNo, DialogAnswer::No);
          if (answer != DialogAnswer::Yes) return;
          for (int column = 1; column <= 3; ++column) {
            // The slot the cell stands for in the database (a cell still
            // marked as invalid shows text that never reached it).
            const QString slot = grid_->CellValue(row, column).toString();
            if (slot.isEmpty()) continue;
            const QString fieldName = QString(kAspects[column]) + "_" + QString(slot).replace(", ", "_");
            DeleteFieldIfPresent(*Db(), Std(table), Std(fieldName));
          }
        }
      }
    } catch (const Error& e) {
      Tell(Q(e.Description()), DialogIcon::Critical);
      return;
    }
  }
  grid_->removeRow(row);
  DropSlotlessTables();
  if (grid_->rowCount() > 0) Recolour(std::min(row, grid_->rowCount() - 1));
  UpdateButtons();
  Host().EvaluateDatabaseState();
}

void frmDefinition::DropSlotlessTables() {
  try {
    const std::vector<store::TableDef> defs = Db()->TableDefs();
    for (auto it = defs.rbegin(); it != defs.rend(); ++it) {
      if (store::IsSystemTable(*it)) continue;
      const bool slotless = std::all_of(it->fields.begin(), it->fields.end(), [](const store::FieldInfo& f) {
        return !f.name.empty() && (f.name[0] == 'X' || f.name[0] == 'x');
      });
      if (slotless) Db()->DeleteTable(it->name);
    }
  } catch (const Error& e) {
    Tell(Q(e.Description()), DialogIcon::Critical);
  }
}

// --- Colouring -------------------------------------------------------------------

void frmDefinition::Recolour(int currentRow) {
  const int rows = grid_->rowCount();
  for (int row = 0; row < rows; ++row) {
    grid_->SetGreyed(row, 2, false);
    grid_->SetGreyed(row, 3, false);
  }
  if (currentRow < 0 || currentRow >= rows) return;
  const QString number = InstanceCell(currentRow);
  int sameType = 0;
  for (int row = 0; row < rows; ++row) {
    if (InstanceCell(row) == number) ++sameType;
  }
  if (sameType < 2) return;
  for (int column = 2; column <= 3; ++column) {
    bool anyFilled = false;
    for (int row = 0; row < rows; ++row) {
      if (grid_->CellText(row, column).isEmpty()) grid_->SetGreyed(row, column, true);
      else anyFilled = true;
    }
    if (!anyFilled) grid_->SetGreyed(rows - 1, column, false);
  }
}

// --- Editing ---------------------------------------------------------------------

bool frmDefinition::GuardEdit(int row, int column) {
  if (column == kInstanceColumn) {
    bool hasSlot = false;
    for (int c = 1; c <= 3; ++c) hasSlot = hasSlot || !grid_->CellText(row, c).isEmpty();
    if (hasSlot) {
      Tell("You cannot edit the instance number of existing slots. \nTo create a new instance type, add a new row first.");
    } else {
      Tell("Korvane currently only supports one instance type.");
    }
    return false;
  }
  if (grid_->IsGreyed(row, column)) {
    Tell(column == 2 ? "Korvane currently only supports one Decision slot per instance type."
                     : "Korvane currently only supports one Utility slot per instance type.");
    return false;
  }
  return true;
}

void frmDefinition::EnsureTable(const QString& table) {
  if (Db()->FindTableDef(Std(table))) return;
  Db()->CreateTable(InstanceTableDef(Std(table)));
}

QString frmDefinition::ValidateSlot(const QString& table, const QString& text, const QString& oldName,
                                    QString& name, QString& typeWord) {
  const int commas = text.count(',');
  if (commas == 0) return "Missing a comma. Expected field to be: Name, Type";
  if (commas > 1) return "Too many commas. Expected field to be: Name, Type";
  const int comma = text.indexOf(',');
  name = text.left(comma).trimmed();
  const QString type = text.mid(comma + 1).trimmed();
  if (name.isEmpty()) return "Slot name missing. Expected field to be: Name,Type";
  if (name.size() > kMaxSlotNameLength) {
    return QStringLiteral("Slot name must be at most %1 characters long. It is currently %2 characters.")
        .arg(kMaxSlotNameLength)
        .arg(name.size());
  }
  if (name.contains(' ')) return "Slot name ('" + name + "') must NOT contain spaces.";
  typeWord = TypeWord(type);
  if (typeWord.isEmpty()) return "Invalid slot type: " + type + ". Expected type to be one of: String, Real, Integer";
  if (!store::IsValidSlotName(Std(name))) {
    return "Slot name '" + name + "' is not valid.\nSlot names can only contain A-Z, a-z, 0-9.";
  }
  if (oldName.isEmpty() || oldName != name) {
    auto def = Db()->FindTableDef(Std(table));
    if (def && store::FindFieldIndex(*def, Std(name), false) >= 0) {
      return "Instance type " + table + " already has a slot named '" + name + "'.\nPlease choose another name.";
    }
  }
  return {};
}

void frmDefinition::ApplyEdit(int row, int column, const QString& editedText) {
  if (column < 1 || column > 3 || !Db()) return;
  const QString number = InstanceCell(row);
  if (number.isEmpty()) return;
  const QString table = "I" + number;
  const QString aspect(kAspects[column]);
  const QString newText = editedText.trimmed();
  // The slot this cell stands for in the database: the last text that was
  // applied, not a rejected text the cell may still show.
  QString oldName, oldType;
  const bool hadSlot = SplitSlot(grid_->CellValue(row, column).toString(), oldName, oldType);
  try {
    EnsureTable(table);
    if (newText.isEmpty()) {
      grid_->ClearError(row, column);
      if (hadSlot) {
        DeleteFieldIfPresent(*Db(), Std(table), Std(aspect + "_" + oldName + "_" + oldType));
      }
      grid_->SetCellText(row, column, QString());
      grid_->SetCellValue(row, column, QString());
    } else {
      QString name, typeWord;
      const QString failure = ValidateSlot(table, newText, hadSlot ? oldName : QString(), name, typeWord);
      if (!failure.isEmpty()) {
        grid_->MarkError(row, column, failure);
        return;
      }
      grid_->ClearError(row, column);
      const QString newColumn = aspect + "_" + name + "_" + typeWord;
      if (hadSlot) {
        const QString oldColumn = aspect + "_" + oldName + "_" + oldType;
        ChangeSlot(table, oldColumn, newColumn, typeWord, typeWord != oldType);
      } else {
        Db()->AppendField(Std(table), Field(Std(newColumn), ColumnType(typeWord)));
      }
      const QString shown = name + ", " + typeWord;
      grid_->SetCellText(row, column, shown);
      grid_->SetCellValue(row, column, shown);
    }
  } catch (const Error& e) {
    Tell(Q(e.Description()), DialogIcon::Critical);
  }
  Recolour(row);
  Host().EvaluateDatabaseState();
}

void frmDefinition::ChangeSlot(const QString& table, const QString& oldColumn, const QString& newColumn,
                               const QString& newTypeWord, bool typeChanged) {
  store::Database& db = *Db();
  store::Transaction transaction(db);
  auto def = db.FindTableDef(Std(table));
  if (oldColumn.compare(newColumn, Qt::CaseInsensitive) != 0 && def && store::FieldExists(*def, Std(oldColumn))) {
    db.RenameField(Std(table), Std(oldColumn), Std(newColumn));
  }
  if (typeChanged) {
    const QString temporary = "T" + newColumn;
    DeleteFieldIfPresent(db, Std(table), Std(temporary));
    def = db.FindTableDef(Std(table));
    if (def && store::FieldExists(*def, Std(newColumn))) {
      db.AppendField(Std(table), Field(Std(temporary), ColumnType(newTypeWord)));
      CopyFieldConverting(db, Std(table), Std(newColumn), Std(temporary));
      db.DeleteField(Std(table), Std(newColumn));
      db.RenameField(Std(table), Std(temporary), Std(newColumn));
    } else {
      db.AppendField(Std(table), Field(Std(newColumn), ColumnType(newTypeWord)));
    }
  }
  transaction.Commit();
}

// --- Next ------------------------------------------------------------------------

bool frmDefinition::CheckComplete() {
  bool complete = true;
  bool anyTable = false;
  try {
    for (int number = 1; number <= highestInstance_; ++number) {
      auto def = Db()->FindTableDef("I" + std::to_string(number));
      if (!def) continue;
      anyTable = true;
      int counts[3] = {0, 0, 0};
      for (const store::FieldInfo& field : def->fields) {
        if (field.name.empty()) continue;
        switch (std::toupper(static_cast<unsigned char>(field.name[0]))) {
          case 'S': ++counts[0]; break;
          case 'D': ++counts[1]; break;
          case 'U': ++counts[2]; break;
          default: break;
        }
      }
      const char* needs[3] = {"one Situation slot", "one Decision slot", "one Utility slot"};
      for (int i = 0; i < 3; ++i) {
        if (counts[i] == 0) {
          Tell(QStringLiteral("Warning: Instance type %1 requires at least %2").arg(number).arg(needs[i]),
               DialogIcon::Warning);
          complete = false;
        }
      }
    }
  } catch (const Error& e) {
    Tell(Q(e.Description()), DialogIcon::Critical);
    return false;
  }
  if (!anyTable) {
    Tell("You must define at least one instance type!", DialogIcon::Warning);
    return false;
  }
  return complete;
}

}  // namespace korvane::editor
