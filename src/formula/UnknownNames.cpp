// UnknownNames.cpp: see UnknownNames.h.
#include "formula/UnknownNames.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "formula/FormulaProgram.h"
#include "formula/VariableList.h"
#include "util/EditDistance.h"

namespace korvane::formula {

namespace {

bool HasNamespace(const std::string& name, std::string_view space) {
  return name.size() > space.size() && EqualsIgnoreCase(std::string_view(name).substr(0, space.size()), space);
}

}  // namespace

std::vector<UnknownVariable> UnknownVariables(const formula::FormulaProgram& program,
                                              const std::vector<std::string>& known) {
  std::vector<UnknownVariable> unknown;
  for (const std::string& name : program.ReadNames()) {
    const char* space = HasNamespace(name, "Cue.") ? "Cue." : HasNamespace(name, "Memory.") ? "Memory." : nullptr;
    if (!space || program.Assignments().Has(name)) continue;
    const bool isKnown = std::any_of(known.begin(), known.end(),
                                     [&](const std::string& k) { return EqualsIgnoreCase(k, name); });
    if (isKnown) continue;
    UnknownVariable entry{name, {}};
    // Near: at most a third of the letters wrong (and two for short names).
    std::size_t best = std::max<std::size_t>(2, (name.size() - std::strlen(space)) / 3) + 1;
    for (const std::string& k : known) {
      if (!HasNamespace(k, space)) continue;
      const std::size_t d = EditDistance(name.substr(std::strlen(space)), k.substr(std::strlen(space)));
      if (d < best) {
        best = d;
        entry.nearest = std::string(space) + k.substr(std::strlen(space));
      }
    }
    unknown.push_back(std::move(entry));
  }
  return unknown;
}

std::string UnknownVariableText(const UnknownVariable& unknown) {
  return "Unknown variable " + unknown.name +
         (unknown.nearest.empty() ? std::string(": the instance type has no slot of that name")
                                  : " (did you mean " + unknown.nearest + "?)");
}

}  // namespace korvane::formula
