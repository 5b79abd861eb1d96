// UnknownNames.cpp: see UnknownNames.h.
#include "formula/UnknownNames.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "formula/FormulaProgram.h"
#include "formula/VariableList.h"

namespace korvane::formula {

namespace {

bool HasNamespace(const std::string& name, std::string_view space) {
  return name.size() > space.size() && EqualsIgnoreCase(std::string_view(name).substr(0, space.size()), space);
}

std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t previous = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t diagonal = previous;
      previous = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
    }
  }
  return row[b.size()];
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
      const std::size_t d = Distance(name.substr(std::strlen(space)), k.substr(std::strlen(space)));
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
