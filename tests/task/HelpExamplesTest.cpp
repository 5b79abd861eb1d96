// HelpExamplesTest.cpp: every formula example of every help page, put into
// the formula it is given for and run by a served model, with the variables
// the page promises.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "TaskTestSupport.h"

using korvane::test::LineClient;

namespace {

using nlohmann::json;

struct Example {
  std::string page;  // RTF_JUDGMENT, ...
  std::string formula;
};

std::string Unescaped(std::string text) {
  for (auto [from, to] : {std::pair{"&lt;", "<"}, std::pair{"&gt;", ">"}, std::pair{"&amp;", "&"}}) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
      text.replace(at, std::string(from).size(), to);
  }
  return text;
}

// The <code> parts of every paragraph that begins "Example".
std::vector<Example> HelpExamples() {
  std::vector<Example> examples;
  const std::filesystem::path folder = std::filesystem::path(korvane::test::SourceDir()) / "resources" / "help";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string html = text.str();
    static const std::regex paragraph(R"(<p>Example[^]*?</p>)");
    static const std::regex code(R"(<code>([^<]*)</code>)");
    for (std::sregex_iterator p(html.begin(), html.end(), paragraph), end; p != end; ++p) {
      const std::string body = p->str();
      for (std::sregex_iterator c(body.begin(), body.end(), code); c != end; ++c)
        examples.push_back({entry.path().stem().string(), Unescaped((*c)[1].str())});
    }
  }
  return examples;
}

// A model of the names the examples use: situation Price and Option,
// decision Choice, utility Payoff; no priors, so that a subject's first trial
// judges by the failure formulas and later ones by the success formulas.
json HelpModel(bool blending) {
  const std::string choice = blending ? "D_Choice_Integer" : "D_Choice_String";
  json type = {{"name", "I1"},
               {"slots",
                {{{"aspect", "situation"}, {"name", "Price"}, {"type", "Real"}},
                 {{"aspect", "situation"}, {"name", "Option"}, {"type", "Integer"}},
                 {{"aspect", "decision"}, {"name", "Choice"}, {"type", blending ? "Integer" : "String"}},
                 {{"aspect", "utility"}, {"name", "Payoff"}, {"type", "Real"}}}},
               {"formulas",
                {{"Price", "PM = -ABS(CUE - MEMORY)"},
                 {"Option", "PM = 0"},
                 {choice, blending ? "D = 1" : "D = Memory.Choice"},
                 {choice + "_FAILURE", blending ? "D = 2" : "D = \"A\""}}},
               {"rows", json::array()}};
  json settings = {{"I1_RetrievalMethod", blending ? 1 : 0},
                   {"I1_ConstraintType", 0},
                   {"I1_MR_SelectionFunction", 0},
                   {"I1_MR_SelectionVariable", "Payoff"},
                   {"I1_SimilarityType", 1},
                   {"I1_DecisionType", 1},
                   {"I1_FeedbackType", 0},
                   {"I1_JudgmentFailFormula", "U = 1"},
                   {"I1_JudgmentSucceedMode", 0},
                   {"I1_UtilityUpdateType", 0},
                   {"Params_StopRule", 1},
                   {"Params_StopRule_Num", 1},
                   {"Params_Batch_Value", 1}};
  return {{"korvane_model", 1}, {"instance_types", {type}}, {"settings", settings}};
}

class HelpExamplesTest : public korvane::test::ServedModelTest<> {
 protected:
  // Three trials with feedback; the problems met, empty when every trial got
  // its DECISION.
  std::string Run(const json& model, const std::string& feedback) {
    Serve([&](json& m) { m = model; });
    auto task = Started();
    std::string problems;
    for (const char* price : {"3", "5", "3"}) {
      const std::string reply = task->Ask(std::string("ALTERNATIVE|I1|Price|") + price + "|Option|2");
      if (reply.rfind("DECISION|", 0) != 0) problems += " trial at Price " + std::string(price) + ": " + reply + ";";
      task->Send(feedback);
    }
    task->Send("STOP");
    task->Quiet(100);
    task.reset();
    server.reset();
    return problems;
  }
};

TEST_F(HelpExamplesTest, EveryExampleRunsInItsFormula) {
  const std::vector<Example> examples = HelpExamples();
  ASSERT_GE(examples.size(), 8u);
  for (const Example& example : examples) {
    const std::string& f = example.formula;
    // An example that reads the retrieved instance runs where one was
    // retrieved; any other in both formulas of its screen.
    const bool needsMemory = f.find("Memory.") != std::string::npos;
    std::vector<json> models;
    std::string feedback = "FEEDBACK|I1|4";
    if (example.page == "RTF_SIMILARITY") {
      json m = HelpModel(false);
      m["instance_types"][0]["formulas"]["Price"] = f;
      models.push_back(m);
    } else if (example.page == "RTF_CONSTRAINTS") {
      json m = HelpModel(true);
      m["settings"]["I1_ConstraintType"] = 1;
      m["settings"]["I1_ConstraintFormula"] = f;
      models.push_back(m);
    } else if (example.page == "RTF_JUDGMENT") {
      json succeed = HelpModel(false);
      succeed["settings"]["I1_JudgmentSucceedMode"] = 1;
      succeed["settings"]["I1_JudgmentSucceedFormula"] = f;
      models.push_back(succeed);
      if (!needsMemory) {
        json fail = HelpModel(false);
        fail["settings"]["I1_JudgmentFailFormula"] = f;
        models.push_back(fail);
      }
    } else if (example.page == "RTF_DECISION") {
      json m = HelpModel(false);
      m["instance_types"][0]["formulas"]["D_Choice_String"] = f;
      if (!needsMemory) m["instance_types"][0]["formulas"]["D_Choice_String_FAILURE"] = f;
      models.push_back(m);
    } else if (example.page == "RTF_FEEDBACK") {
      json m = HelpModel(false);
      m["settings"]["I1_FeedbackType"] = 1;
      m["instance_types"][0]["formulas"]["FEEDBACK"] = f;
      models.push_back(m);
      feedback = "FEEDBACK|I1|Payoff|7|Cost|2";
    } else if (example.page == "RTF_UTILITY") {
      json m = HelpModel(false);
      m["settings"]["I1_UtilityUpdateType"] = 2;
      m["settings"]["I1_UtilityUpdateFormula"] = f;
      models.push_back(m);
    } else {
      ADD_FAILURE() << example.page << " gives the example " << f << ", which this test does not know how to run";
    }
    for (const json& model : models) EXPECT_EQ(Run(model, feedback), "") << example.page << ": " << f;
  }
}

}  // namespace
