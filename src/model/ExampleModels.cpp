// ExampleModels.cpp: see ExampleModels.h. The text below is
// examples/binary-choice.json; examples/README.md explains every choice in it.
#include "model/ExampleModels.h"

#include "model/ModelJson.h"
#include "util/Error.h"

namespace korvane::model {

namespace {

const std::string kBinaryChoice = R"json({
  "korvane_model": 1,
  "description": "Repeated binary choice: option 1 pays 3 points for sure, option 2 pays 4 points with probability 0.8, else 0. Instance-based learning by blending the remembered outcomes of each option. See examples/README.md.",
  "instance_types": [
    {
      "name": "I1",
      "slots": [
        { "aspect": "situation", "name": "Option", "type": "Integer" },
        { "aspect": "decision", "name": "Choice", "type": "Integer" },
        { "aspect": "utility", "name": "Value", "type": "Real" }
      ],
      "formulas": {
        "Option": "PM = IIF(CUE == MEMORY, 0, -1)",
        "D_Choice_Integer": "D = ROUND(Memory.Option)",
        "D_Choice_Integer_FAILURE": "D = 0"
      },
      "rows": [
        { "Option": 1, "Choice": 1, "Value": 10 },
        { "Option": 2, "Choice": 2, "Value": 10 }
      ]
    }
  ],
  "settings": {
    "CreateInstance_Feedback": 0,
    "I1_BlendingRoundingRule": 0,
    "I1_ConstraintFormula": "USES.SameOption = MEMORY.Option == CUE.Option",
    "I1_ConstraintType": 1,
    "I1_DecisionType": 1,
    "I1_FeedbackType": 0,
    "I1_JudgmentFailFormula": "U = 10",
    "I1_JudgmentSucceedMode": 0,
    "I1_MR_SelectionFunction": 0,
    "I1_MR_SelectionVariable": "Value",
    "I1_RetrievalMethod": 1,
    "I1_SimilarityType": 1,
    "I1_UtilityUpdateType": 0,
    "Merge_WithPrepopulated": 0,
    "Params_Alpha_Value": 1,
    "Params_Batch_Value": 100,
    "Params_CT_Cmp": "none",
    "Params_CT_Value": 0,
    "Params_CyclePause": 0,
    "Params_D_Value": 0.5,
    "Params_Delta_Cmp": "none",
    "Params_Delta_Value": 0,
    "Params_Goal_Value": 1,
    "Params_HELO": "HELO|Korvane binary choice, simulation %d",
    "Params_LE_Value": 1,
    "Params_LF_Value": 1,
    "Params_Listen": "127.0.0.1",
    "Params_Port_Value": 4258,
    "Params_PriorTime": 1000,
    "Params_S_Value": 0.25,
    "Params_StopRule": 1,
    "Params_StopRule_Num": 2,
    "Params_StopRule_Value": 1000,
    "Params_TrialTime": 1000,
    "Params_U_Cmp": "none",
    "Params_U_Value": 0,
    "Reinforce_Execution": 0,
    "Reinforce_Feedback": 1,
    "Reinforce_Recognition": 0
  }
}
)json";

}  // namespace

std::vector<std::string> ExampleNames() { return {"binary-choice"}; }

const std::string& ExampleJson(const std::string& name) {
  if (name == "binary-choice") return kBinaryChoice;
  throw Error(ErrorNumber::InvalidProcedureCall, "Examples", "There is no example named " + name);
}

void CreateExampleModel(const std::string& name, const std::string& modelPath) {
  ImportModelJson(ExampleJson(name), modelPath);
}

}  // namespace korvane::model
