// EditDistance.h: how far apart two names are, for "did you mean" hints.
#pragma once

#include <cstddef>
#include <string>

namespace korvane {

// The number of single-letter insertions, deletions and substitutions that
// turn a into b, letter case aside.
std::size_t EditDistance(const std::string& a, const std::string& b);

}  // namespace korvane
