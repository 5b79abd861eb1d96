// fuzz_formula: libFuzzer target over parse, print and run of formula text.
#include <cstddef>
#include <cstdint>

#include "FormulaFuzzBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (!korvane::formula::fuzz::RunOneInput(text)) __builtin_trap();
  return 0;
}
