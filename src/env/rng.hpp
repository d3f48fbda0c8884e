// The batch's own random generator (xoshiro256**, seeded through splitmix64): small, fast,
// and the same sequence from the same seed on every machine and either move generator.
#pragma once

#include <cstdint>

namespace veltrix::env {

class Rng {
public:
    explicit Rng(std::uint64_t seed) { reseed(seed); }

    void reseed(std::uint64_t seed) {
        for (std::uint64_t& word : state_) word = splitmix64(seed);
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // A value in [0, count) for count >= 1; the bias of the multiply is below count / 2^64.
    unsigned below(unsigned count) {
        return static_cast<unsigned>((static_cast<unsigned __int128>(next()) * count) >> 64);
    }

private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    static std::uint64_t splitmix64(std::uint64_t& x) {
        std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    std::uint64_t state_[4] = {};
};

}  // namespace veltrix::env
