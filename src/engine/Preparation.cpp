// Preparation.cpp: checking a model for one instance type, compiling its
// formulas and reading its parameters, all problems listed in one pass.
#include <cmath>

#include "engine/Evaluator.h"
#include "engine/ExecutorImpl.h"
#include "engine/ModelWarnings.h"
#include "formula/UnknownNames.h"
#include "store/SettingsCatalog.h"

namespace korvane::engine {

namespace {

// Compiles text; on failure logs the header line and the program's error
// text (prefixed for per-slot formulas) at level 3 and returns false.
bool Compile(formula::FormulaProgram& program, const std::string& text, EngineLog& log,
             const std::string& failureLine, const std::string& errorPrefix = {}) {
  program = formula::FormulaProgram();
  program.SetSourceCode(text);
  program.ParseProgram();
  if (!program.HasError() && program.HasTree()) return true;
  log.Add(failureLine, 3);
  log.Add(errorPrefix + (program.HasError() ? program.ErrorMessage() : std::string("the formula could not be parsed")),
          3);
  return false;
}

bool IsBlankText(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

void ModelExecutor::Impl::ResetRunState() {
  // Pending steps of an earlier run are cancelled.
  *alive_ = false;
  alive_ = std::make_shared<bool>(true);
  busy_ = false;
  draining_ = false;
  trialNumber_ = 0;
  feedbackCount_ = 0;
  retrievalCount_ = 0;
  candidate_.reset();
  cycleInstance_.reset();
  memory_.Clear();
  memoryIds_.clear();
  executed_.Clear();
  cueQueue_.clear();
  feedbackQueue_.clear();
  // The clock and the random generator of this run.
  if (clockKind_ == ClockKind::Simulated) clock_ = std::make_unique<SimulatedClock>();
  else clock_ = std::make_unique<RealClock>();
  startTime_ = AbsoluteNow();
  trialStartTime_ = clock_->HighResolutionMilliseconds();
  // A restarted run keeps the run's seed (also one drawn from the clock), so
  // that every subject's stream still derives from the seed the log shows.
  random_.Reseed(runSeed_);
}

void ModelExecutor::Impl::RestartRun() {
  // What a new preparation would read and compile is what this one holds
  // (the experiment's settings do not change during a run): only the run
  // state starts again.
  CheckPrepared(preparedType_);
  Abandon();
  ResetRunState();
  if (cues_) {
    // What a fresh recorder would hold: nothing of the previous subject.
    cues_->Discard();
    cues_->FeedbackDone();
  }
  subjectId_ = table_->LastSubject();
  table_->SetSubject(subjectId_);
  StartTrial();
}

bool ModelExecutor::Impl::Prepare(const std::string& typeName) {
  // A new preparation starts from nothing.
  prepared_ = false;
  params_ = formula::VariableList();
  trace_.reset();
  table_.reset();
  warnings_.clear();

  try {
    clockKind_ = options_.clock ? *options_.clock
                                : (settings_.Option("Params_Clock") == 1 ? ClockKind::Simulated : ClockKind::Real);
    ClockKind kind = clockKind_;
    std::uint64_t seed = 0;
    bool seeded = false;
    if (options_.seed) {
      seed = *options_.seed;
      seeded = true;
    } else {
      Variant stored = settings_.Value("Params_Seed");
      double n = stored.ToNumber();
      if (IsNumericValue(stored) && !stored.IsEmpty() && std::isfinite(n) && n >= 0 && n < 1.8e19) {
        seed = static_cast<std::uint64_t>(n);
        seeded = true;
      }
    }
    if (seeded) random_.Reseed(seed);
    else random_ = RandomSource();
    // Every subject draws from a stream of its own, derived from this seed
    // and its number (IncrementSubjectID), so one seed replays the whole run
    // and no two subjects share their noise.
    runSeed_ = random_.Seed();
    ResetRunState();

    if (!db_.IsOpen()) {
      Add("Error: mdb must be set before executing", 3);
      return false;
    }
    auto def = db_.FindTableDef(typeName);
    if (!def) {
      Add("Error: Instance type " + typeName + " doesn't exist", 3);
      return false;
    }
    bool ok = true;
    auto fail = [&](const std::string& line, int level = 3) {
      Add(line, level);
      ok = false;
    };

    Add(std::string("Random seed = ") + std::to_string(random_.Seed()) +
            (seeded ? "" : " (from the clock)") + ", clock: " +
            (kind == ClockKind::Simulated ? "simulated" : "real time"),
        1);

    params_.Add("HELO", Variant(settings_.Text("Params_HELO")));

    // Slots.
    table_ = std::make_unique<InstanceTable>(db_, *def);
    situationColumns_ = table_->SituationColumns();
    decisionColumns_ = table_->DecisionColumns();
    situationSlots_.clear();
    decisionSlots_.clear();
    for (const auto& c : situationColumns_) situationSlots_.push_back(SlotName(c));
    for (const auto& c : decisionColumns_) decisionSlots_.push_back(SlotName(c));
    utilitySlot_.clear();
    if (!table_->UtilityColumns().empty()) utilitySlot_ = SlotName(table_->UtilityColumns().front());
    if (situationColumns_.empty()) fail("Error: Instance type " + typeName + " must have at least one situation slot");
    if (decisionColumns_.empty()) fail("Error: Instance type " + typeName + " must have at least one decision slot");
    if (table_->UtilityColumns().size() != 1)
      fail("Error: Instance type " + typeName + " must have one utility slot; it has " +
           std::to_string(table_->UtilityColumns().size()));

    auto ordinal = [&](const std::string& column) {
      return std::to_string(def->fields[static_cast<std::size_t>(def->FieldPosition(column))].ordinalPosition);
    };

    // Similarity.
    similarityPrograms_.assign(situationColumns_.size(), formula::FormulaProgram());
    if (settings_.Option(typeName + "_SimilarityType") == 0) {
      std::string text = settings_.Formula(typeName, "GLOBAL");
      if (text.empty()) {
        fail("Error: Instance type uses global similarity function but has none defined");
      } else {
        formula::FormulaProgram global;
        if (Compile(global, text, *this, "Error: global similarity function contains errors; see below"))
          for (auto& p : similarityPrograms_) p = global;
        else ok = false;
      }
    } else {
      Add("Situation slots:", 1);
      for (std::size_t i = 0; i < situationColumns_.size(); ++i) {
        const std::string& column = situationColumns_[i];
        const std::string& slot = situationSlots_[i];
        Add("Column #" + ordinal(column) + " is " + column, 1);
        std::string text = settings_.Formula(typeName, slot);
        if (text.empty()) text = settings_.Formula(typeName, column);
        if (text.empty()) {
          fail("-- Error: Slot " + slot + " has no similarity function");
        } else if (!Compile(similarityPrograms_[i], text, *this,
                            "-- Error: similarity function for " + slot + " contains errors; see below", "-- ")) {
          ok = false;
        }
      }
    }

    // Decisions.
    decisionSucceed_.assign(decisionColumns_.size(), formula::FormulaProgram());
    decisionFail_.assign(decisionColumns_.size(), formula::FormulaProgram());
    if (settings_.Option(typeName + "_DecisionType") == 0) {
      std::string text = settings_.Formula(typeName, "GLOBAL_DECISION");
      if (text.empty()) {
        fail("Error: Instance type uses global decision function but has none defined");
      } else {
        formula::FormulaProgram global;
        if (Compile(global, text, *this, "Error: global decision function contains errors")) {
          for (auto& p : decisionSucceed_) p = global;
          for (auto& p : decisionFail_) p = global;
        } else {
          ok = false;
        }
      }
    } else {
      Add("Decision slots:", 1);
      for (std::size_t i = 0; i < decisionColumns_.size(); ++i) {
        const std::string& column = decisionColumns_[i];
        Add("Column #" + ordinal(column) + " is " + column, 1);
        std::string succeed = settings_.Formula(typeName, column);
        if (succeed.empty())
          fail("Error: Decision slot " + column + " has no decision function for when recognition succeeds");
        else if (!Compile(decisionSucceed_[i], succeed, *this,
                          "Error: Decision function for  " + column + ", when recognition succeeds, contains errors"))
          ok = false;
        std::string failure = settings_.Formula(typeName, column + "_FAILURE");
        if (failure.empty())
          fail("Error: Decision slot " + column + " has no decision function for when recognition fails");
        else if (!Compile(decisionFail_[i], failure, *this,
                          "Error: Decision function for " + column + ", when recognition fails, contains errors"))
          ok = false;
      }
    }

    // Feedback.
    feedbackProgram_ = formula::FormulaProgram();
    multiValueFeedback_ = settings_.Option(typeName + "_FeedbackType") != 0;
    if (multiValueFeedback_) {
      if (!Compile(feedbackProgram_, settings_.Formula(typeName, "FEEDBACK"), *this,
                   "Error: Feedback formula contains errors; see below"))
        ok = false;
    }

    // Judgment utility. A default utility stands in for the failure formula.
    judgmentFail_ = formula::FormulaProgram();
    judgmentSucceed_ = formula::FormulaProgram();
    defaultUtility_.reset();
    defaultUtilityPopulates_ = false;
    const std::string defaultKey = typeName + "_DefaultUtility";
    if (!settings_.IsBlank(defaultKey)) {
      const Variant v = settings_.Value(defaultKey);
      if (v.IsString() && !IsNumericText(v.AsString())) {
        fail("Error: Parameter " + defaultKey + " must be a number; it is '" + v.AsString() + "'");
      } else {
        defaultUtility_ = v.ToNumber();
        defaultUtilityPopulates_ = settings_.Switch(typeName + "_DefaultUtilityPopulates");
        Add("Default utility = " + FormatNumber(*defaultUtility_) +
                (defaultUtilityPopulates_ ? " (stored as an instance when first judged)" : ""),
            1);
      }
    }
    std::string failText = settings_.JudgmentFormula(typeName, false);
    if (failText.empty() && defaultUtility_) {
      // Not needed: the default utility judges what memory does not know.
    } else if (failText.empty())
      fail("Error: Utility formula for when judgment fails may not be empty");
    else if (!Compile(judgmentFail_, failText, *this,
                      "Error: Utility formula for when judgment fails contains errors; see below"))
      ok = false;
    judgeOnSuccess_ = settings_.Option(typeName + "_JudgmentSucceedMode") == 1;
    if (judgeOnSuccess_) {
      std::string succeedText = settings_.JudgmentFormula(typeName, true);
      if (succeedText.empty())
        fail("Error: Utility formula for when judgment succeeds may not be empty");
      else if (!Compile(judgmentSucceed_, succeedText, *this,
                        "Error: Utility formula for when judgment succeeds contains errors; see below"))
        ok = false;
    }

    // Utility update.
    utilityUpdate_ = formula::FormulaProgram();
    utilityUpdateType_ = settings_.Option(typeName + "_UtilityUpdateType");
    if (utilityUpdateType_ == 2) {
      std::string text = settings_.Text(typeName + "_UtilityUpdateFormula");
      if (text.empty())
        fail("Error: Utility update formula may not be empty");
      else if (!Compile(utilityUpdate_, text, *this, "Error: Utility update formula contains errors; see below"))
        ok = false;
    }

    // Retrieval method.
    retrieval_ = RetrievalSettings();
    retrieval_.method = settings_.Option(typeName + "_RetrievalMethod");
    if (retrieval_.method == 0) {
      Add("Retrieval method: NORMAL", 1);
      retrieval_.roundingRule = 0;
    } else {
      retrieval_.roundingRule = settings_.Option(typeName + "_BlendingRoundingRule");
      Add("Retrieval method: BLENDING, ROUNDING RULE " + std::to_string(retrieval_.roundingRule), 1);
      if (retrieval_.method != 1)
        fail("Error: Unknown retrieval method " + std::to_string(retrieval_.method) + "; choose NORMAL or BLENDING");
    }

    // Constraints.
    constraint_ = formula::FormulaProgram();
    retrieval_.constraintType = settings_.Option(typeName + "_ConstraintType");
    if (retrieval_.constraintType == 0) {
      Add("Constraint type: ALL", 1);
    } else {
      if (!Compile(constraint_, settings_.Text(typeName + "_ConstraintFormula"), *this,
                   "Error: Constraint formula contains errors; see below"))
        ok = false;
      if (settings_.IsBlank(typeName + "_MR_SelectionFunction"))
        fail("Error: Constraint selection function is empty. Please select 'Maximize' or 'Minimize' in 'Retrieval "
             "Constraints' screen.",
             1);
      std::string slot = settings_.Text(typeName + "_MR_SelectionVariable");
      if (IsBlankText(slot))
        fail("Error: Constraint selection slot is empty. Please select one in the 'Retrieval Constraints' screen.", 1);
      retrieval_.selector = settings_.Option(typeName + "_MR_SelectionFunction");
      retrieval_.selectionSlot = slot;
      Add("Constraint type: PARTIAL, SELECTOR FUNCTION " + settings_.Text(typeName + "_MR_SelectionFunction") +
              ", SELECTOR VARIABLE " + slot,
          1);
    }
    retrieval_.constraintProgram = &constraint_;
    retrieval_.utilitySlot = utilitySlot_;
    retrieval_.rtOperator = settings_.Text("Params_Delta_Cmp");
    retrieval_.uOperator = settings_.Text("Params_U_Cmp");
    choiceOperator_ = settings_.Text("Params_CT_Cmp");

    // Parameters: every one present and a number.
    Add("Model parameters:", 1);
    auto number = [&](const std::string& key, const std::string& emptyError, double* out) {
      Variant v = settings_.Value(key);
      if (ModelSettings::IsBlankValue(v)) {
        fail(emptyError);
        return false;
      }
      if (v.IsString() && !IsNumericText(v.AsString())) {
        fail("Error: Parameter " + key + " must be a number; it is '" + v.AsString() + "'");
        return false;
      }
      *out = v.ToNumber();
      return true;
    };
    double value = 0;
    // A threshold whose comparison is "none" lets everything through: its
    // value is then not needed.
    auto threshold = [&](const std::string& which, const std::string& op, const std::string& key,
                         const std::string& emptyError, double* target) {
      if (op == store::kNoThreshold && settings_.IsBlank(key)) {
        Add(ThresholdInForce(which, op, ""), 1);
      } else if (number(key, emptyError, &value)) {
        *target = value;
        Add(op == store::kNoThreshold ? ThresholdInForce(which, op, FormatNumber(value))
                                      : which + " " + op + " " + FormatNumber(value),
            1);
      }
    };
    threshold("RT", retrieval_.rtOperator, "Params_Delta_Value", "Error: Retrieval threshold (RT) must not be empty",
              &retrieval_.rt);
    threshold("U", retrieval_.uOperator, "Params_U_Value", "Error: Utility threshold (U) must not be empty",
              &retrieval_.u);
    stopRuleKind_ = settings_.Option("Params_StopRule");
    if (stopRuleKind_ == 0) {
      if (number("Params_StopRule_Value", "Error: Stopping rule parameter must not be empty", &value)) {
        if (value < 1) {
          Add("Original stop rule (time-based) of " + FormatNumber(value) + "ms was invalid. Using 1ms instead.", 1);
          value = 1;
        } else {
          Add("Recognition stop rule (time-based) = " + FormatNumber(value) + "ms", 1);
        }
        stopRuleMilliseconds_ = value;
      }
    } else {
      if (number("Params_StopRule_Num", "Error: Retrieval number-based stopping rule parameter must not be empty",
                 &value)) {
        double cycles = std::nearbyint(value);
        if (cycles < 1) {
          Add("Original stop rule (number of retrievals) of " + FormatNumber(cycles) +
                  " cycles was invalid. Using 1 cycle instead.",
              1);
          cycles = 1;
        } else {
          Add("Recognition stop rule (number of retrievals) = " + FormatNumber(cycles) + " cycles", 1);
        }
        stopRuleCycles_ = cycles > 2147483647.0 ? 2147483647 : static_cast<std::int32_t>(cycles);
      }
    }
    if (choiceOperator_ == store::kNoThreshold && settings_.IsBlank("Params_CT_Value")) {
      Add(ThresholdInForce("CT", choiceOperator_, ""), 1);
    } else if (number("Params_CT_Value", "Error: Choice threshold (CT) must not be empty", &value)) {
      choiceThreshold_ = value;
      Add("CT = " + settings_.Text("Params_CT_Value"), 1);
      if (choiceOperator_ == store::kNoThreshold) Add(ThresholdInForce("CT", choiceOperator_, ""), 1);
    }
    if (number("Params_Goal_Value", "Error: Goal parameter must not be empty", &value)) {
      goal_ = value;
      Add("Goal = " + FormatNumber(value), 1);
    }
    if (number("Params_D_Value", "Error: BLL exponent parameter must not be empty", &value)) {
      retrieval_.d = value;
      Add("d = " + FormatNumber(value), 1);
    }
    if (number("Params_S_Value", "Error: Noise factor parameter must not be empty", &value)) {
      retrieval_.s = value;
      retrieval_.T = std::pow(2.0, 0.5) * value;
      Add("s = " + FormatNumber(value), 1);
      if (settings_.IsBlank("Params_Temperature")) {
        Add("T = " + FormatNumber(retrieval_.T) + " (s times the square root of 2)", 1);
      } else if (number("Params_Temperature", "", &value)) {
        if (!(value > 0)) {
          fail("Error: Parameter Params_Temperature (blending temperature) must be above 0; it is " +
               FormatNumber(value));
        } else {
          retrieval_.T = value;
          Add("T = " + FormatNumber(value), 1);
        }
      }
      if (retrieval_.method == 1 && retrieval_.T == 0) fail("Error: " + ZeroTemperatureText(typeName));
    }
    if (number("Params_LE_Value", "Error: Latency exponent parameter must not be empty", &value)) {
      LE_ = value;
      Add("LE = " + FormatNumber(value), 1);
    }
    if (number("Params_LF_Value", "Error: Latency factor parameter must not be empty", &value)) {
      LF_ = value;
      Add("LF = " + FormatNumber(value), 1);
    }
    if (number("Params_Alpha_Value", "Error: Alpha parameter must not be empty", &value)) {
      retrieval_.alpha = value;
      Add("alpha = " + FormatNumber(value), 1);
    }

    // Model time of one trial and of the pause after each cycle. Missing keys
    // (models made before these settings) take the defaults; a blank or
    // negative value is refused, not guessed.
    auto duration = [&](const std::string& key, double fallback, double* out) {
      Variant v = settings_.Value(key);
      if (v.IsNull() || v.IsEmpty()) {
        *out = fallback;
        return;
      }
      if (v.IsString() && !IsNumericText(v.AsString())) {
        fail("Error: Parameter " + key + " must be a number of milliseconds; it is '" + v.AsString() + "'");
        return;
      }
      double n = v.ToNumber();
      if (!std::isfinite(n) || n < 0) {
        fail("Error: Parameter " + key + " must be 0 or more milliseconds; it is " + FormatNumber(n));
        return;
      }
      *out = n;
    };
    duration("Params_CyclePause", kDefaultCyclePauseMs, &cyclePauseMs_);
    // With the real clock the pause is waited out between every two cycles:
    // one of more than a day would stall the run without a word.
    constexpr double kLongestRealPauseMs = 86400000;
    if (kind == ClockKind::Real && cyclePauseMs_ > kLongestRealPauseMs)
      fail("Error: Parameter Params_CyclePause is " + FormatNumber(cyclePauseMs_) +
           " milliseconds; with the real clock a run waits that long between two cycles (at most 86400000, "
           "a day, or the simulated clock)");
    duration("Params_TrialTime", kDefaultTrialTimeMs, &trialTimeMs_);
    duration("Params_PriorTime", 0, &priorTimeMs_);
    Add("Cycle pause = " + FormatNumber(cyclePauseMs_) + "ms" +
            (kind == ClockKind::Simulated ? ", trial time = " + FormatNumber(trialTimeMs_) + "ms" : std::string()) +
            ", priors presented " + FormatNumber(priorTimeMs_) + "ms before the first cue",
        1);

    // Settings that run, but most likely not as meant: logged, never fatal.
    warnings_.clear();
    for (const ModelWarning& warning : ModelWarnings(db_, typeName)) {
      Add(warning.text, 2);
      warnings_.push_back(warning.text);
    }
    // Cue.<name> and Memory.<name> that no run gives a formula: typos, or
    // slots the type does not have (the formula screens refuse them as they
    // are typed; a file may hold them from elsewhere).
    {
      std::vector<std::string> cueNames, memoryNames;
      for (const std::string& slot : situationSlots_) cueNames.push_back("Cue." + slot);
      for (const store::FieldInfo& field : def->fields) memoryNames.push_back("Memory." + SlotName(field.name));
      std::vector<std::string> both = cueNames;
      both.insert(both.end(), memoryNames.begin(), memoryNames.end());
      auto check = [&](const formula::FormulaProgram& program, const std::vector<std::string>& known,
                       const std::string& what) {
        for (const formula::UnknownVariable& unknown : formula::UnknownVariables(program, known)) {
          const std::string text = "Warning: the " + what + " reads " + unknown.name +
                                   ", which a run does not give it" +
                                   (unknown.nearest.empty() ? std::string() : " (did you mean " + unknown.nearest + "?)") +
                                   "; the run stops where the formula needs it.";
          Add(text, 2);
          warnings_.push_back(text);
        }
      };
      check(judgmentFail_, cueNames, "judgment formula of a failed retrieval");
      if (judgeOnSuccess_) check(judgmentSucceed_, both, "judgment formula of a successful retrieval");
      for (std::size_t i = 0; i < decisionColumns_.size(); ++i) {
        check(decisionSucceed_[i], both, "decision formula of " + decisionColumns_[i]);
        check(decisionFail_[i], cueNames, "decision formula of " + decisionColumns_[i] + " for a failed retrieval");
      }
      if (retrieval_.constraintType != 0) check(constraint_, both, "constraint formula");
      if (utilityUpdateType_ != 0 && utilityUpdateType_ != 1) check(utilityUpdate_, memoryNames, "utility update formula");
    }

    reinforceRecognition_ = settings_.Switch("Reinforce_Recognition");
    reinforceExecution_ = settings_.Switch("Reinforce_Execution");
    reinforceFeedback_ = settings_.Switch("Reinforce_Feedback");
    createInstanceFeedback_ = settings_.Switch("CreateInstance_Feedback");
    mergeWithPrepopulated_ = settings_.Switch("Merge_WithPrepopulated");

    subjectId_ = table_->LastSubject();
    table_->SetSubject(subjectId_);
    trace_ = std::make_unique<TraceWriter>(db_, this);
    std::int32_t traceLevel = settings_.Option("Params_TraceLevel");
    if (traceLevel < 0 || traceLevel > 2) {
      Add("Trace level " + std::to_string(traceLevel) + " is unknown; the full trace is kept", 1);
      traceLevel = 0;
    }
    trace_->SetLevel(static_cast<TraceWriter::Level>(traceLevel));
    retrieval_.keepBlend = traceLevel == 0;  // only the full trace records blends
    static const char* const kTraceLevels[] = {"full", "decisions (no ACAL and SCAL rows)", "none (instances only)"};
    Add(std::string("Trace: ") + kTraceLevels[traceLevel], 1);
    // The per-cue rows of the trial table are kept at the levels full and
    // decisions.
    cues_.reset();
    if (traceLevel < 2)
      cues_ = std::make_unique<CueRecorder>(db_, this, typeName, situationSlots_, decisionSlots_);

    startTime_ = AbsoluteNow();
    trialStartTime_ = clock_->HighResolutionMilliseconds();
    preparedType_ = typeName;
    prepared_ = ok;
    if (ok) StartTrial();
    return ok;
  } catch (const Error& e) {
    Add("Error: the model could not be prepared: " + e.Description() + " (#" + std::to_string(e.Number()) + ")", 3);
  } catch (const std::exception& e) {
    Add(std::string("Error: the model could not be prepared: ") + e.what(), 4);
  }
  prepared_ = false;
  return false;
}

}  // namespace korvane::engine
