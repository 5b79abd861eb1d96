// Random.h: the one random generator of a run.
//
// Every draw of a run (the noise of activations, the random built-ins of the
// formula language) comes from one RandomSource, seeded once: from a seed the
// model or the command line gives, so that a run can be replayed, or from the
// clock. It is never re-seeded between draws.
#pragma once

#include <cstdint>
#include <random>

namespace korvane {

class RandomSource {
 public:
  // Seeded from the clock and the process; Seed() tells which seed was used.
  RandomSource();
  explicit RandomSource(std::uint64_t seed) { Reseed(seed); }

  void Reseed(std::uint64_t seed) {
    seed_ = seed;
    engine_.seed(seed);
  }
  std::uint64_t Seed() const { return seed_; }

  // The seed of stream number `stream` of a run seeded with runSeed: a
  // SplitMix64 mix of the two, so neighbouring streams are unrelated.
  static std::uint64_t StreamSeed(std::uint64_t runSeed, std::uint64_t stream) {
    std::uint64_t z = runSeed + 0x9E3779B97F4A7C15ull * (stream + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, 1).
  double Uniform() { return std::generate_canonical<double, 53>(engine_); }

 private:
  std::mt19937_64 engine_;
  std::uint64_t seed_ = 0;
};

}  // namespace korvane
