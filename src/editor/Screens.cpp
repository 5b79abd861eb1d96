// Screens.cpp: the screen table, in jumper-button and wizard order.
//
// To add a screen, replace its nullptr with MakeScreen<ItsClass> and include
// its header (see Screen.h).
#include "editor/Screen.h"
#include "editor/frmDefinition.h"
#include "editor/frmPopulation.h"

namespace korvane::editor {

const std::vector<ScreenEntry>& ScreenTable() {
  static const std::vector<ScreenEntry> table = {
      {0, "Definition", "frmDefinition", MakeScreen<frmDefinition>},
      {1, "Population", "frmPopulation", MakeScreen<frmPopulation>},
      {2, "Similarity", "frmSimilarity", nullptr},
      {3, "Retrieval Method", "frmRetrievalMethod", nullptr},
      {4, "Retrieval Constraints", "frmConstraints", nullptr},
      {5, "Judgment", "frmJudgment", nullptr},
      {6, "Decision", "frmDecision", nullptr},
      {7, "Feedback", "frmFeedback", nullptr},
      {8, "Utility", "frmUtility", nullptr},
      {9, "Model Parameters", "frmModelParameters", nullptr},
      {10, "Execute", "frmExecute", nullptr},
      {11, "Export", "frmExport", nullptr},
      {12, "Graph", "frmGraphNew", nullptr},
  };
  return table;
}

}  // namespace korvane::editor
