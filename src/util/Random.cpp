// Random.cpp: seeding a RandomSource from the clock.
#include "util/Random.h"

#include <chrono>
#include <unistd.h>

namespace korvane {

RandomSource::RandomSource() {
  auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  std::uint64_t seed = static_cast<std::uint64_t>(now) ^ (static_cast<std::uint64_t>(getpid()) << 32);
  // Keep seeds short enough to type back in on a command line.
  Reseed(seed % 1000000000000ull);
}

}  // namespace korvane
