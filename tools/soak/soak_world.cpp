#include "soak/soak_world.h"

#include "common/seed_mix.h"

#include <chrono>

namespace karst::soak {

namespace {

// Errors kept word for word for the report; the rest are only counted.
constexpr size_t kKeptErrors = 20;

uint64_t steadyNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

SoakWorld::SoakWorld(const SoakOptions& options, net::ResolvedAddress server)
    : options_(options), server_(server), startNs_(steadyNs()), random_(options.seed) {}

uint64_t SoakWorld::now() const { return steadyNs() - startNs_; }

uint64_t SoakWorld::between(uint64_t low, uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(low, high)(random_);
}

bool SoakWorld::chance(double p) { return std::bernoulli_distribution(p)(random_); }

void SoakWorld::error(const std::string& text) {
    ++errorCount_;
    if (firstErrors_.size() < kKeptErrors) firstErrors_.push_back(text);
}

ProfileKey soakPlayerKey(uint64_t seed, uint32_t index) {
    ProfileKey key{};
    const uint64_t a = tools::mixBits(seed ^ (uint64_t{index} << 32) ^ 0x50AC);
    const uint64_t b = tools::mixBits(a ^ index);
    for (int i = 0; i < 8; ++i) {
        key[i] = static_cast<uint8_t>(a >> (8 * i));
        key[8 + i] = static_cast<uint8_t>(b >> (8 * i));
    }
    key[0] = 0x50;  // never all zero, never a seeded profile
    return key;
}

}  // namespace karst::soak
