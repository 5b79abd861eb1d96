// Screens.cpp: the screen table, in jumper-button and wizard order.
//
// To add a screen, replace its nullptr with MakeScreen<ItsClass> and include
// its header (see Screen.h).
#include "editor/Screen.h"
#include "editor/frmDefinition.h"
#include "editor/ExecuteScreen.h"
#include "editor/ExportScreen.h"
#include "editor/FormulaScreens.h"
#include "editor/GraphScreen.h"
#include "editor/ModelParametersScreen.h"
#include "editor/frmPopulation.h"

namespace korvane::editor {

const std::vector<ScreenEntry>& ScreenTable() {
  static const std::vector<ScreenEntry> table = {
      {0, "Definition", "frmDefinition", MakeScreen<frmDefinition>},
      {1, "Population", "frmPopulation", MakeScreen<frmPopulation>},
      {2, "Similarity", "frmSimilarity", MakeScreen<frmSimilarity>},
      {3, "Retrieval Method", "frmRetrievalMethod", MakeScreen<frmRetrievalMethod>},
      {4, "Retrieval Constraints", "frmConstraints", MakeScreen<frmConstraints>},
      {5, "Judgment", "frmJudgment", MakeScreen<frmJudgment>},
      {6, "Decision", "frmDecision", MakeScreen<frmDecision>},
      {7, "Feedback", "frmFeedback", MakeScreen<frmFeedback>},
      {8, "Utility", "frmUtility", MakeScreen<frmUtility>},
      {9, "Model Parameters", "frmModelParameters", MakeScreen<frmModelParameters>},
      {10, "Execute", "frmExecute", MakeScreen<frmExecute>},
      {11, "Export", "frmExport", MakeScreen<frmExport>},
      {12, "Graph", "frmGraphNew", MakeScreen<frmGraphNew>},
  };
  return table;
}

}  // namespace korvane::editor
