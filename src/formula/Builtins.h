// Builtins.h: the fixed table of built-in functions (names, aliases,
// argument counts, help texts) and their computation.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "util/Random.h"
#include "util/Variant.h"

namespace korvane::formula {

enum class BuiltinId {
  Abs, Average, Iif, Log, Ln, Max, Min, Power, Rand, RandInt, RandItem, Round, RoundDown, RoundUp,
  RoundTruncate, Sqrt, Sum
};

struct BuiltinInfo {
  BuiltinId id;
  int minArgs;   // the accepted counts: minArgs .. maxArgs (maxArgs -1: any)
  int maxArgs;
  int reported;  // the count a mismatch message says is expected
};

// The function of that name (any case), or nullptr.
const BuiltinInfo* FindBuiltin(std::string_view name);

// The help text quoted after "Format: " for the function of that upper-case name.
std::string BuiltinHelp(const BuiltinInfo& info, const std::string& upperName);

// Computes the function over already evaluated arguments (left to right).
// Failures are run-time failures (util/Error.h numbers).
Variant CallBuiltin(const BuiltinInfo& info, std::span<const Variant> args, RandomSource& random);

}  // namespace korvane::formula
