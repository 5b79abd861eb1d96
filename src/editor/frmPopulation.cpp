// frmPopulation.cpp: the population screen.
#include "editor/frmPopulation.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTabBar>
#include <QVBoxLayout>

#include "editor/EditGrid.h"
#include "store/Schema.h"
#include "util/Dialogs.h"

namespace korvane::editor {

namespace {

std::string Std(const QString& text) { return text.toStdString(); }
QString Q(const std::string& text) { return QString::fromStdString(text); }

void Tell(const QString& text, DialogIcon icon = DialogIcon::Warning) {
  CurrentDialogs().Message(Std(text), icon);
}

QString CellTextOf(const Variant& value) { return Q(value.ToText()); }

// Whether the text shows the stored value: the same text, or for a number
// the same number ("5.0" typed, 5 stored).
bool SameValue(const QString& text, const Variant& stored) {
  if (CellTextOf(stored) == text) return true;
  return stored.IsNumber() && IsNumericText(Std(text)) && ReadNumber(Std(text)) == stored.ToNumber();
}

// Edits the current record (or adds one) with one field set and writes it.
// False when the database refused it; the record set is then as before.
bool TryWrite(store::Recordset& records, bool add, const std::string& field, const Variant& value,
              bool hasSubject) {
  try {
    if (add) {
      records.AddNew();
      if (hasSubject) records.Set("X_Subject", Variant(std::int32_t{0}));
    } else {
      records.Edit();
    }
    if (!field.empty()) records.Set(field, value);
    records.Update();
    return true;
  } catch (const Error&) {
    try {
      records.CancelUpdate();
    } catch (const Error&) {
    }
    return false;
  }
}

}  // namespace

frmPopulation::frmPopulation(ScreenHost& host)
    : Screen(host, 1, "frmPopulation", "RTF_POPULATION", tr("Prepopulating Instances")) {
  tabStrip_ = new QTabBar(this);
  tabStrip_->setObjectName("tabStrip");
  tabStrip_->setExpanding(false);
  Body()->addWidget(tabStrip_);

  grid_ = new EditGrid(this);
  grid_->setObjectName("grid");
  grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  connect(grid_, &EditGrid::CellEdited, this,
          [this](int row, int column, const QString&, const QString& newText) { WriteCell(row, column, newText); });
  Body()->addWidget(grid_, 1);

  btnAddRow_ = new QPushButton(tr("&Add Row"), this);
  btnAddRow_->setObjectName("btnAddRow");
  btnDeleteRow_ = new QPushButton(tr("&Delete Row"), this);
  btnDeleteRow_->setObjectName("btnDeleteRow");
  ButtonRow()->insertWidget(0, btnAddRow_);
  ButtonRow()->insertWidget(1, btnDeleteRow_);
  connect(btnAddRow_, &QPushButton::clicked, this, &frmPopulation::AddRow);
  connect(btnDeleteRow_, &QPushButton::clicked, this, &frmPopulation::DeleteRow);
  connect(tabStrip_, &QTabBar::currentChanged, this, [this](int tab) {
    if (Db()) LoadGrid(tab);
  });
}

void frmPopulation::UpdateButtons() {
  btnAddRow_->setEnabled(!table_.isEmpty());
  btnDeleteRow_->setEnabled(grid_->rowCount() > 0);
}

void frmPopulation::Load() {
  QSignalBlocker block(tabStrip_);
  while (tabStrip_->count() > 0) tabStrip_->removeTab(0);
  try {
    const std::vector<store::TableDef> defs = Db()->TableDefs();
    for (size_t position = 0; position < defs.size(); ++position) {
      if (store::IsSystemTable(defs[position])) continue;
      const int tab = tabStrip_->addTab(Q(defs[position].name));
      tabStrip_->setTabData(tab, QStringLiteral("Table%1").arg(position));
    }
  } catch (const Error& e) {
    Tell(Q(e.Description()), DialogIcon::Critical);
  }
  tabStrip_->setCurrentIndex(tabStrip_->count() > 0 ? 0 : -1);
  LoadGrid(tabStrip_->currentIndex());
}

void frmPopulation::LoadGrid(int tab) {
  grid_->setRowCount(0);
  grid_->setColumnCount(0);
  columns_.clear();
  rows_.clear();
  table_ = tab >= 0 ? tabStrip_->tabText(tab) : QString();
  if (!table_.isEmpty()) {
    try {
      auto def = Db()->FindTableDef(Std(table_));
      if (def) {
        for (char aspect : {'S', 'D', 'U'}) {
          for (const store::FieldInfo& field : def->fields) {
            if (field.name.size() > 1 && std::toupper(static_cast<unsigned char>(field.name[0])) == aspect &&
                field.name[1] == '_') {
              columns_ << Q(field.name);
            }
          }
        }
        QStringList headers;
        for (const QString& column : columns_) headers << Q(store::FieldName(Std(column)));
        grid_->setColumnCount(static_cast<int>(columns_.size()));
        grid_->setHorizontalHeaderLabels(headers);
        const bool hasSubject = def->FieldPosition("X_Subject") >= 0;
        auto records = Db()->OpenTable(Std(table_));
        if (!records->IsEOF()) records->MoveFirst();
        for (; !records->IsEOF(); records->MoveNext()) {
          if (hasSubject) {
            const Variant subject = records->Get("X_Subject");
            if (subject.IsNull() || subject.ToNumber() != 0) continue;
          }
          const int row = grid_->AppendRow();
          rows_.append(records->GetBookmark());
          for (int column = 0; column < columns_.size(); ++column) {
            grid_->SetCellText(row, column, CellTextOf(records->Get(Std(columns_[column]))));
          }
        }
      }
    } catch (const Error& e) {
      Tell(Q(e.Description()), DialogIcon::Critical);
    }
  }
  UpdateButtons();
}

void frmPopulation::CommitPendingInput() { grid_->FlushEdits(); }

void frmPopulation::AddRow() {
  grid_->FlushEdits();
  if (table_.isEmpty() || columns_.isEmpty()) return;
  const int row = grid_->AppendRow();
  rows_.append(std::nullopt);
  grid_->setCurrentCell(row, 0);
  UpdateButtons();
}

void frmPopulation::DeleteRow() {
  grid_->FlushEdits();
  const int row = grid_->currentRow();
  if (row < 0 || row >= grid_->rowCount()) return;
  if (rows_[row]) {
    try {
      auto records = Db()->OpenTable(Std(table_));
      records->SetBookmark(*rows_[row]);
      records->Delete();
    } catch (const Error& e) {
      Tell(Q(e.Description()), DialogIcon::Critical);
      return;
    }
  }
  grid_->removeRow(row);
  rows_.removeAt(row);
  UpdateButtons();
}

void frmPopulation::WriteCell(int row, int column, const QString& text) {
  if (row >= rows_.size() || column >= columns_.size() || !Db()) return;
  const std::string field = Std(columns_[column]);
  // An emptied cell clears the value; it is not a value the column refused.
  const Variant value = text.isEmpty() ? Variant::Null() : Variant(Std(text));
  try {
    auto records = Db()->OpenTable(Std(table_));
    const bool hasSubject = records->FieldPosition("X_Subject") >= 0;
    if (rows_[row]) {
      records->SetBookmark(*rows_[row]);
      // A value the column refuses leaves the old one in place.
      TryWrite(*records, false, field, value, hasSubject);
    } else {
      // A record is made even when the column refuses the value: with
      // that field empty.
      if (!TryWrite(*records, true, field, value, hasSubject) && !TryWrite(*records, true, {}, {}, hasSubject)) {
        Tell("The row could not be added to " + table_ + ".", DialogIcon::Critical);
        return;
      }
      rows_[row] = records->LastModified();
    }
    // Read back what the database holds now.
    auto check = Db()->OpenTable(Std(table_));
    check->SetBookmark(*rows_[row]);
    const Variant stored = check->Get(field);
    if (text.isEmpty()) return;
    const QString prefix = "Warning: The value '" + text + "' is not a valid value for slot " + columns_[column];
    if (stored.IsNull() || stored.IsEmpty()) {
      Tell(prefix);
      grid_->SetCellText(row, column, QString());
    } else if (!SameValue(text, stored)) {
      Tell(prefix + ", and has been automatically changed to '" + CellTextOf(stored) + "'.");
      grid_->SetCellText(row, column, CellTextOf(stored));
    } else {
      grid_->SetCellText(row, column, CellTextOf(stored));
    }
  } catch (const Error& e) {
    Tell(Q(e.Description()), DialogIcon::Critical);
  }
}

bool frmPopulation::CheckEmptyCells() {
  for (int row = 0; row < grid_->rowCount(); ++row) {
    for (int column = 0; column < grid_->columnCount(); ++column) {
      if (!grid_->CellText(row, column).trimmed().isEmpty()) continue;
      const DialogAnswer answer = CurrentDialogs().Ask(
          "You have some empty cells. This might cause issues during simulation. Ignore this warning?\n\n"
          "Click 'Yes' to continue with a different screen.\nClick 'No' to stay and fix these empty cells.",
          DialogButtons::YesNo, DialogAnswer::No, DialogIcon::Warning, "Warning");
      if (answer == DialogAnswer::Yes) return true;
      grid_->setCurrentCell(row, column);
      return false;
    }
  }
  return true;
}

}  // namespace korvane::editor
