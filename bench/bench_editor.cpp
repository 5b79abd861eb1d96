// bench_editor.cpp: the formula screens check a formula on every keystroke,
// so the check of a long formula must stay far below what a typist notices
// (a few milliseconds).
#include <benchmark/benchmark.h>

#include <string>

#include "editor/FormulaCheck.h"

namespace {

std::string LongFormula(int lines) {
  std::string text;
  for (int i = 1; i < lines; ++i) {
    text += "X" + std::to_string(i) + " = ABS(Cue.Price - Memory.Price) * " + std::to_string(i) +
            " - MAX(Cue.Size, Memory.Size) / (1 + X" + std::to_string(i > 1 ? i - 1 : 1) + ")\n";
  }
  text += "PM = -X" + std::to_string(lines - 1) + " / " + std::to_string(lines) + "\n";
  return text;
}

void BM_CheckFormula(benchmark::State& state) {
  const std::string text = LongFormula(static_cast<int>(state.range(0)));
  const auto requirement = korvane::editor::SimilarityRequirement();
  if (!korvane::editor::CheckFormula(text, requirement).accepted) {
    state.SkipWithError(korvane::editor::CheckFormula(text, requirement).message.c_str());
    return;
  }
  for (auto _ : state) {
    auto result = korvane::editor::CheckFormula(text, requirement);
    benchmark::DoNotOptimize(result);
  }
  state.SetLabel(std::to_string(text.size()) + " characters");
}
BENCHMARK(BM_CheckFormula)->Arg(1)->Arg(20)->Arg(50)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
