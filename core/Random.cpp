#include "core/Random.h"

#include <ctime>

namespace veltrix {

namespace {
constexpr int kPos1 = 122;
constexpr int kSl1 = 18;
constexpr int kSl2 = 1;  // bytes
constexpr int kSr1 = 11;
constexpr int kSr2 = 1;  // bytes
constexpr uint32_t kMsk[4] = {0xdfffffefu, 0xddfecb7fu, 0xbffaffffu, 0xbffffff6u};
constexpr uint32_t kParity[4] = {0x00000001u, 0x00000000u, 0x00000000u, 0x13c9e684u};

struct W128 {
    uint32_t u[4];  // u[0] is the least significant word
};

// Shifts a 128-bit number left by `bytes` bytes.
inline W128 lshift128(const W128& in, int bytes) {
    const uint64_t th = (uint64_t(in.u[3]) << 32) | in.u[2];
    const uint64_t tl = (uint64_t(in.u[1]) << 32) | in.u[0];
    const int s = bytes * 8;
    const uint64_t oh = (th << s) | (tl >> (64 - s));
    const uint64_t ol = tl << s;
    return {{uint32_t(ol), uint32_t(ol >> 32), uint32_t(oh), uint32_t(oh >> 32)}};
}

// Shifts a 128-bit number right by `bytes` bytes.
inline W128 rshift128(const W128& in, int bytes) {
    const uint64_t th = (uint64_t(in.u[3]) << 32) | in.u[2];
    const uint64_t tl = (uint64_t(in.u[1]) << 32) | in.u[0];
    const int s = bytes * 8;
    const uint64_t ol = (tl >> s) | (th << (64 - s));
    const uint64_t oh = th >> s;
    return {{uint32_t(ol), uint32_t(ol >> 32), uint32_t(oh), uint32_t(oh >> 32)}};
}

inline W128 recursion(const W128& a, const W128& b, const W128& c, const W128& d) {
    const W128 x = lshift128(a, kSl2);
    const W128 y = rshift128(c, kSr2);
    W128 r;
    for (int k = 0; k < 4; ++k)
        r.u[k] = a.u[k] ^ x.u[k] ^ ((b.u[k] >> kSr1) & kMsk[k]) ^ y.u[k] ^ (d.u[k] << kSl1);
    return r;
}

inline W128 load(const uint32_t* s, int i) { return {{s[4 * i], s[4 * i + 1], s[4 * i + 2], s[4 * i + 3]}}; }
inline void store(uint32_t* s, int i, const W128& w) {
    for (int k = 0; k < 4; ++k) s[4 * i + k] = w.u[k];
}
}  // namespace

void Sfmt19937::seed32(uint32_t seed) {
    state_[0] = seed;
    for (int i = 1; i < kN32; ++i)
        state_[i] = 1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + uint32_t(i);
    certifyPeriod();
    index_ = kN32;
}

void Sfmt19937::certifyPeriod() {
    uint32_t inner = 0;
    for (int i = 0; i < 4; ++i) inner ^= state_[i] & kParity[i];
    for (int i = 16; i > 0; i >>= 1) inner ^= inner >> i;
    if (inner & 1) return;
    // Even parity: flip the lowest set bit of the parity vector.
    for (int i = 0; i < 4; ++i) {
        uint32_t work = 1;
        for (int j = 0; j < 32; ++j, work <<= 1) {
            if (work & kParity[i]) {
                state_[i] ^= work;
                return;
            }
        }
    }
}

void Sfmt19937::regenerate() {
    W128 r1 = load(state_, kN - 2);
    W128 r2 = load(state_, kN - 1);
    for (int i = 0; i < kN; ++i) {
        const W128 r = recursion(load(state_, i), load(state_, (i + kPos1) % kN), r1, r2);
        store(state_, i, r);
        r1 = r2;
        r2 = r;
    }
}

uint32_t Sfmt19937::next32() {
    if (index_ >= kN32) {
        regenerate();
        index_ = 0;
    }
    return state_[index_++];
}

namespace {
uint32_t lastSeed = 0;
thread_local Sfmt19937* threadGenerator = nullptr;
}  // namespace

RandomStreamScope::RandomStreamScope(const Sfmt19937& generator) : generator_(generator), previous_(threadGenerator) {
    threadGenerator = &generator_;
}

RandomStreamScope::~RandomStreamScope() { threadGenerator = previous_; }

Sfmt19937& randomGenerator() {
    if (threadGenerator) return *threadGenerator;
    static Sfmt19937 generator(lastSeed = static_cast<uint32_t>(std::time(nullptr)));
    return generator;
}

void randomSeed(uint32_t seed) {
    randomGenerator().seed32(seed);
    lastSeed = seed;
}

uint32_t lastRandomSeed() {
    randomGenerator();
    return lastSeed;
}

void randomSeedWithTime() { randomSeed(static_cast<uint32_t>(std::time(nullptr))); }

uint32_t randomU32() { return randomGenerator().next32(); }

double randomUniform() { return randomU32() * (1.0 / 4294967296.0); }

}  // namespace veltrix
