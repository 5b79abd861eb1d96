// bench_formula: speed of the formula language on the engine's hot path.
//
// Targets: the similarity formula on a fresh two-entry VariableList, list
// construction included, at most 150 ns per call; parsing a 20-line formula
// well under 1 ms (the grammar itself is loaded once per process); a formula
// of many statements costs the same per statement at 50,000 statements as at
// 5,000 (at most twice as much), parsed and run alike.
#include <benchmark/benchmark.h>

#include "formula/FormulaProgram.h"

namespace {

using korvane::Variant;
using korvane::formula::FormulaProgram;
using korvane::formula::VariableList;

const char* const kTwentyLines =
    "A = CUE - MEMORY\n"
    "B = ABS(A) / 2\n"
    "C = MAX(A, B, 0.5)\n"
    "IF A > B AND NOT C == 0 THEN\n"
    "  D = 1\n"
    "ELSE\n"
    "  D = -1\n"
    "ENDIF\n"
    "E = (A + B) * (C - D) ** 2\n"
    "F = IIF(E > 10, LOG(ABS(E) + 2, 10), LN(ABS(E) + 1))\n"
    "CASE D\n"
    "  WHEN 1 THEN G = \"up\"\n"
    "  WHEN -1 THEN G = \"down\"\n"
    "  ELSE G = \"flat\"\n"
    "ENDCASE\n"
    "H = ROUND(F * 100) / 100\n"
    "I = SUM(A, B, C, D) \\ 3\n"
    "J = SQRT(ABS(I)) + POWER(2, 3)\n"
    "/* a comment */ K = A <= B OR B >= C\n"
    "PM = -ABS(CUE - MEMORY)\n";

void BM_SimilarityFormula(benchmark::State& state) {
  FormulaProgram program("PM = -ABS(CUE - MEMORY)");
  program.ParseProgram();
  double cue = 3.0;
  for (auto _ : state) {
    VariableList vars;
    vars.Add("CUE", Variant(cue));
    vars.Add("MEMORY", Variant(5.0));
    program.Execute(vars);
    benchmark::DoNotOptimize(vars.Value(2).AsDouble());
    cue += 1;
  }
}
BENCHMARK(BM_SimilarityFormula);

void BM_SimilarityFormulaReusedList(benchmark::State& state) {
  FormulaProgram program("PM = -ABS(CUE - MEMORY)");
  program.ParseProgram();
  VariableList vars;
  vars.Add("CUE", Variant(3.0));
  vars.Add("MEMORY", Variant(5.0));
  for (auto _ : state) {
    program.Execute(vars);
    benchmark::DoNotOptimize(vars.Value(2).AsDouble());
  }
}
BENCHMARK(BM_SimilarityFormulaReusedList);

void BM_ParseTwentyLines(benchmark::State& state) {
  for (auto _ : state) {
    FormulaProgram program(kTwentyLines);
    program.ParseProgram();
    if (program.HasError()) state.SkipWithError(program.ErrorMessage().c_str());
    benchmark::DoNotOptimize(program.HasTree());
  }
}
BENCHMARK(BM_ParseTwentyLines)->Unit(benchmark::kMicrosecond);

// Runs the program on a fresh list holding CUE and MEMORY, as the engine does.
void RunOnFreshList(const FormulaProgram& program, benchmark::State& state) {
  for (auto _ : state) {
    VariableList vars;
    vars.Add("CUE", Variant(3.0));
    vars.Add("MEMORY", Variant(5.0));
    program.Execute(vars);
    benchmark::DoNotOptimize(vars.Count());
  }
}

void BM_RunTwentyLines(benchmark::State& state) {
  FormulaProgram program(kTwentyLines);
  program.ParseProgram();
  RunOnFreshList(program, state);
}
BENCHMARK(BM_RunTwentyLines)->Unit(benchmark::kMicrosecond);

// A chain of binary operations (the usual shape of a utility formula): the
// chain is walked in a loop, not by recursion.
void BM_OperatorChain(benchmark::State& state) {
  FormulaProgram program("U = A + B * C - D / 2 + A * 0.5 - B + C * C - 1 + D");
  program.ParseProgram();
  if (program.HasError()) state.SkipWithError(program.ErrorMessage().c_str());
  VariableList vars;
  vars.Add("A", Variant(3.0));
  vars.Add("B", Variant(5.0));
  vars.Add("C", Variant(0.25));
  vars.Add("D", Variant(8.0));
  for (auto _ : state) {
    program.Execute(vars);
    benchmark::DoNotOptimize(vars.Value(4).ToNumber());
  }
}
BENCHMARK(BM_OperatorChain);

// N statements, each a new name computed from the one before it: every
// statement adds a variable and reads one.
std::string LongFormula(int statements) {
  std::string text = "V0 = CUE\n";
  for (int i = 1; i < statements; ++i)
    text += "V" + std::to_string(i) + " = V" + std::to_string(i - 1) + " + MEMORY * 2\n";
  return text;
}

void BM_ParseManyStatements(benchmark::State& state) {
  const std::string text = LongFormula(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    FormulaProgram program(text);
    program.ParseProgram();
    benchmark::DoNotOptimize(program.HasError());
  }
  state.counters["per_statement"] = benchmark::Counter(
      static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseManyStatements)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

void BM_RunManyStatements(benchmark::State& state) {
  FormulaProgram program(LongFormula(static_cast<int>(state.range(0))));
  program.ParseProgram();
  RunOnFreshList(program, state);
  state.counters["per_statement"] = benchmark::Counter(
      static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RunManyStatements)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
