// Builtins.cpp: the built-in functions of the formula language and the check
// a function call runs on itself while a program is parsed.
//
// Random draws come from the RandomSource of the run, seeded once; the
// integer-valued functions give 32-bit integers so that ordinary values such
// as ROUNDDOWN(40000.5) or RANDINT(0, 50000) work.
#include "formula/Builtins.h"

#include <cmath>

#include "formula/Nodes.h"
#include "formula/Values.h"
#include "util/Dialogs.h"

namespace korvane::formula {

namespace {

struct NamedBuiltin {
  std::string_view name;
  BuiltinInfo info;
};

constexpr int kAny = -1;
constexpr NamedBuiltin kBuiltins[] = {
    {"ABS", {BuiltinId::Abs, 1, 1, 1}},
    {"AVE", {BuiltinId::Average, 1, kAny, 1}},
    {"AVERAGE", {BuiltinId::Average, 1, kAny, 1}},
    {"AVG", {BuiltinId::Average, 1, kAny, 1}},
    {"MEAN", {BuiltinId::Average, 1, kAny, 1}},
    {"IIF", {BuiltinId::Iif, 3, 3, 3}},
    {"LOG", {BuiltinId::Log, 2, 2, 2}},
    {"LN", {BuiltinId::Ln, 1, 1, 1}},
    {"MAX", {BuiltinId::Max, 1, kAny, 1}},
    {"MIN", {BuiltinId::Min, 1, kAny, 1}},
    {"POWER", {BuiltinId::Power, 2, 2, 2}},
    {"RAND", {BuiltinId::Rand, 1, 2, 2}},
    {"RANDOM", {BuiltinId::Rand, 1, 2, 2}},
    {"RND", {BuiltinId::Rand, 1, 2, 2}},
    {"RANDINT", {BuiltinId::RandInt, 1, 2, 2}},
    {"RANDOMINT", {BuiltinId::RandInt, 1, 2, 2}},
    {"RNDINT", {BuiltinId::RandInt, 1, 2, 2}},
    {"RANDITEM", {BuiltinId::RandItem, 1, kAny, 1}},
    {"RANDOMITEM", {BuiltinId::RandItem, 1, kAny, 1}},
    {"RNDITEM", {BuiltinId::RandItem, 1, kAny, 1}},
    {"ROUND", {BuiltinId::Round, 1, 1, 1}},
    {"ROUNDDOWN", {BuiltinId::RoundDown, 1, 1, 1}},
    {"ROUNDUP", {BuiltinId::RoundUp, 1, 1, 1}},
    {"ROUNDTRUNCATE", {BuiltinId::RoundTruncate, 1, 1, 1}},
    {"SQRT", {BuiltinId::Sqrt, 1, 1, 1}},
    {"SUM", {BuiltinId::Sum, 1, kAny, 1}},
};

// (high - low) * u + low, or low * u when high < low.
double DrawBetween(double low, double high, RandomSource& random) {
  double u = random.Uniform();
  return high >= low ? (high - low) * u + low : low * u;
}

Variant NullOr(const Variant& v, double (*f)(double)) {
  if (v.IsNull()) return v;
  return CheckedNumber(f(ToWholeNumber(v)));
}

Variant WholeResult(double value) { return Variant(ToInt32Checked(value)); }

Variant RandInt(double a, double b, RandomSource& random) {
  double low = std::floor(a), high = std::floor(b);
  return WholeResult(std::floor(DrawBetween(low, high, random)));
}

}  // namespace

const BuiltinInfo* FindBuiltin(std::string_view name) {
  for (const auto& b : kBuiltins)
    if (EqualsIgnoreCase(b.name, name)) return &b.info;
  return nullptr;
}

std::string BuiltinHelp(const BuiltinInfo& info, const std::string& upperName) {
  switch (info.id) {
    case BuiltinId::Abs: return "ABS(number): absolute value of the number";
    case BuiltinId::Average: return upperName + "(number1, ...): average of all the numbers provided";
    case BuiltinId::Iif:
      return "IIF(comparison, when-true, when-false): if comparison is true, returns when-true; otherwise, when-false";
    case BuiltinId::Log: return "LOG(number, base): logarithm 'base' of 'number'";
    case BuiltinId::Ln: return "LN(number): base-e logarithm of 'number'";
    case BuiltinId::Max: return "MAX(number1, ...): maximum of all the numbers provided";
    case BuiltinId::Min: return "MIN(number1, ...): minimum of all the numbers provided";
    case BuiltinId::Power: return "POWER(base, exponent): calculate 'base' to the power of 'exponent'";
    case BuiltinId::Rand:
      return "RAND(min, max): random between min and max\r\nRAND(max): random between 0 and max\r\n"
             "RAND(): random between 0 and 1";
    case BuiltinId::RandInt:
      return "RANDINT(min, max): random integer between min and max\r\nRAND(max): random integer between 0 and max";
    case BuiltinId::RandItem: return upperName + "(item1, ...): one of the items provided, chosen at random";
    case BuiltinId::Round: return "ROUND(number): the Gaussian rounding of 'number'";
    case BuiltinId::RoundDown:
    case BuiltinId::RoundUp:
    case BuiltinId::RoundTruncate:
      return "ROUNDDOWN(number), ROUNDUP(number), ROUNDTRUNCATE(number): "
             "specialized rounding functions down, up, or truncate";
    case BuiltinId::Sqrt: return "SQRT(number): square-root of the number";
    case BuiltinId::Sum: return "SUM(number1, ...): sum of all the numbers provided";
  }
  return {};
}

Variant CallBuiltin(const BuiltinInfo& info, std::span<const Variant> args, RandomSource& random) {
  const int n = static_cast<int>(args.size());
  if (n < info.minArgs || (info.maxArgs != kAny && n > info.maxArgs)) RaiseFailure(ErrorNumber::InvalidProcedureCall);
  switch (info.id) {
    case BuiltinId::Abs: return NullOr(args[0], [](double x) { return std::fabs(x); });
    case BuiltinId::Sum:
    case BuiltinId::Average: {
      Variant total = args[0];
      for (int i = 1; i < n; ++i) total = GeneralAdd(total, args[i]);
      if (info.id == BuiltinId::Sum || n == 1) return total;
      if (total.IsNull()) return total;
      return CheckedNumber(ToWholeNumber(total) / n);
    }
    case BuiltinId::Iif: return IsTruthy(args[0]) ? args[1] : args[2];
    case BuiltinId::Log: {
      double x = ToWholeNumber(args[0]), base = ToWholeNumber(args[1]);
      if (x <= 0 || base <= 0 || base == 1) RaiseFailure(ErrorNumber::InvalidProcedureCall);
      return CheckedNumber(std::log(x) / std::log(base));
    }
    case BuiltinId::Ln: {
      double x = ToWholeNumber(args[0]);
      if (x <= 0) RaiseFailure(ErrorNumber::InvalidProcedureCall);
      return CheckedNumber(std::log(x));
    }
    case BuiltinId::Max:
    case BuiltinId::Min: {
      std::size_t best = 0;
      for (int i = 1; i < n; ++i) {
        bool better = info.id == BuiltinId::Max ? IsGreater(args[i], args[best]) : IsGreater(args[best], args[i]);
        if (better) best = static_cast<std::size_t>(i);
      }
      if (args[best].IsObject()) RaiseFailure(ErrorNumber::TypeMismatch);
      return args[best];
    }
    case BuiltinId::Power: {
      if (args[0].IsNull() || args[1].IsNull()) return Variant::Null();
      double base = ToWholeNumber(args[0]), exponent = ToWholeNumber(args[1]);
      if (base == 0 && exponent < 0) RaiseFailure(ErrorNumber::InvalidProcedureCall);
      return CheckedNumber(std::pow(base, exponent));
    }
    case BuiltinId::Sqrt: {
      if (args[0].IsNull()) return args[0];
      double x = ToWholeNumber(args[0]);
      if (x < 0) RaiseFailure(ErrorNumber::InvalidProcedureCall);
      return CheckedNumber(std::pow(x, 0.5));
    }
    case BuiltinId::Round: return NullOr(args[0], [](double x) { return std::nearbyint(x); });
    case BuiltinId::RoundDown: return WholeResult(std::floor(ToWholeNumber(args[0])));
    case BuiltinId::RoundUp: return WholeResult(std::floor(ToWholeNumber(args[0]) + 0.5));
    case BuiltinId::RoundTruncate: return WholeResult(std::trunc(ToWholeNumber(args[0])));
    case BuiltinId::Rand: {
      double low = ToWholeNumber(args[0]);
      double high = n == 2 ? ToWholeNumber(args[1]) : 1.0;
      return CheckedNumber(DrawBetween(low, high, random));
    }
    case BuiltinId::RandInt: {
      double low = ToWholeNumber(args[0]);
      double high = n == 2 ? ToWholeNumber(args[1]) : 1.0;
      return RandInt(low, high, random);
    }
    case BuiltinId::RandItem: {
      if (n == 1) return args[0];
      auto index = static_cast<std::size_t>(std::floor(random.Uniform() * n));
      return args[index < args.size() ? index : args.size() - 1];
    }
  }
  return Variant();
}

// ---- the call node

bool SimpleFunctionCall::IsValid() {
  const int count = ExpressionList ? ExpressionList->Count() : 0;
  ErrorMessage.clear();
  const std::string upper = ToUpper(Name);
  function_ = FindBuiltin(upper);
  if (!function_) {
    ErrorMessage = "Unknown function '" + upper + "'. " + "Refer to user manual for available functions.";
    return false;
  }
  if (count < function_->minArgs || (function_->maxArgs != kAny && count > function_->maxArgs)) {
    ErrorMessage = "Function " + upper + "() was given " + std::to_string(count) + " argument(s), but expects " +
                   std::to_string(function_->reported) + " argument(s)." + "Format: " + BuiltinHelp(*function_, upper);
    return false;
  }
  return true;
}

Variant SimpleFunctionCall::Value(EvalContext& context) const {
  const int count = ExpressionList ? ExpressionList->Count() : 0;
  // Arguments first, all of them, left to right (IIF evaluates both branches).
  Variant small[4];
  std::vector<Variant> large;
  Variant* args = small;
  if (count > 4) {
    large.resize(static_cast<std::size_t>(count));
    args = large.data();
  }
  if (ExpressionList) ExpressionList->Values(context, args);
  const BuiltinInfo* function = function_ ? function_ : FindBuiltin(Name);
  if (!function) {
    CurrentDialogs().Message("The function " + ToUpper(Name) + " is not defined", DialogIcon::None);
    return Variant();
  }
  return CallBuiltin(*function, std::span<const Variant>(args, static_cast<std::size_t>(count)), context.random);
}

std::string SimpleFunctionCall::Formatted(int level) const {
  return Name + "(" + (ExpressionList ? ExpressionList->Formatted(level) : std::string()) + ")";
}

}  // namespace korvane::formula
