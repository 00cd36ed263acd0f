#pragma once
#include <cstdint>

namespace veltrix {

// SIMD-oriented Fast Mersenne Twister, period 2^19937 - 1, with 32-bit outputs.
// Written from the published recursion; the state is 156 words of 128 bits.
class Sfmt19937 {
public:
    static constexpr int kN = 156;       // 128-bit words of state
    static constexpr int kN32 = kN * 4;  // 32-bit words of state

    explicit Sfmt19937(uint32_t seed = 5489u) { seed32(seed); }
    void seed32(uint32_t seed);
    uint32_t next32();

private:
    void regenerate();
    void certifyPeriod();

    uint32_t state_[kN32];
    int index_;
};

// The process-wide generator every part of the pipeline draws from.
Sfmt19937& randomGenerator();
// Seeds the process-wide generator.
void randomSeed(uint32_t seed);
// Seeds the process-wide generator with the current time in seconds.
void randomSeedWithTime();
// The seed last given to the process-wide generator (recorded in run summaries).
uint32_t lastRandomSeed();
// Next 32-bit output of the process-wide generator.
uint32_t randomU32();
// Uniform number in [0, 1): a 32-bit output times 2^-32.
double randomUniform();

// While it lives, the calling thread draws from a generator of its own instead of the process-wide
// one: tasks that run side by side draw the same numbers in any order.
class RandomStreamScope {
public:
    // Draws continue from a copy of `generator` as it is now.
    explicit RandomStreamScope(const Sfmt19937& generator);
    ~RandomStreamScope();
    RandomStreamScope(const RandomStreamScope&) = delete;
    RandomStreamScope& operator=(const RandomStreamScope&) = delete;

private:
    Sfmt19937 generator_;
    Sfmt19937* previous_;
};

}  // namespace veltrix
