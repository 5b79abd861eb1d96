// ErrorText.cpp: see ErrorText.h.
#include "util/ErrorText.h"

namespace korvane {

std::string WithoutErrorNumbers(const std::string& description) {
  std::string out;
  out.reserve(description.size());
  for (std::size_t i = 0; i < description.size();) {
    if (description[i] == '(' && i + 1 < description.size() && description[i + 1] == '#') {
      std::size_t j = i + 2;
      if (j < description.size() && description[j] == '-') ++j;
      const std::size_t digits = j;
      while (j < description.size() && description[j] >= '0' && description[j] <= '9') ++j;
      if (j > digits && j < description.size() && description[j] == ')') {
        while (!out.empty() && out.back() == ' ') out.pop_back();
        i = j + 1;
        continue;
      }
    }
    out += description[i++];
  }
  static const std::string kPrefix = "Error: ";
  std::size_t prefixes = 0;
  while (out.compare(prefixes * kPrefix.size(), kPrefix.size(), kPrefix) == 0) ++prefixes;
  if (prefixes > 1) out.erase(0, (prefixes - 1) * kPrefix.size());
  return out;
}

}  // namespace korvane
