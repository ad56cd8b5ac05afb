#include "net/query_challenge.h"

#include <algorithm>
#include <random>

#include "net/coding.h"
#include "net/query_messages.h"

namespace karst {

namespace {

// A socket address in the platform's layout is never longer.
constexpr size_t kMaxChallengeSourceBytes = 128;

uint64_t rotate(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct SipState {
    uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1; v1 = rotate(v1, 13); v1 ^= v0; v0 = rotate(v0, 32);
        v2 += v3; v3 = rotate(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotate(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotate(v1, 17); v1 ^= v2; v2 = rotate(v2, 32);
    }
    void absorb(uint64_t m) {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
};

}  // namespace

uint64_t sipHash24(const SipKey& key, std::span<const uint8_t> message) {
    SipState s{key[0] ^ 0x736f6d6570736575ull, key[1] ^ 0x646f72616e646f6dull,
               key[0] ^ 0x6c7967656e657261ull, key[1] ^ 0x7465646279746573ull};
    const size_t whole = message.size() / 8 * 8;
    for (size_t i = 0; i < whole; i += 8) s.absorb(getU64(message.data() + i));
    // The last word holds the tail bytes and, in its top byte, the length.
    uint64_t last = static_cast<uint64_t>(message.size()) << 56;
    for (size_t i = whole; i < message.size(); ++i) last |= static_cast<uint64_t>(message[i]) << (8 * (i - whole));
    s.absorb(last);
    s.v2 ^= 0xFF;
    for (int i = 0; i < 4; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

QueryChallenges::QueryChallenges(uint64_t epochNs) : epochNs_(epochNs) {
    std::random_device device;
    for (uint64_t& word : secret_) word = (static_cast<uint64_t>(device()) << 32) ^ device();
}

uint32_t QueryChallenges::issue(std::span<const uint8_t> source, uint64_t nowNs) const {
    return forPeriod(source, periodAt(nowNs));
}

bool QueryChallenges::accepts(std::span<const uint8_t> source, uint32_t challenge, uint64_t nowNs) const {
    const uint64_t period = periodAt(nowNs);
    return challenge == forPeriod(source, period) || (period > 0 && challenge == forPeriod(source, period - 1));
}

uint64_t QueryChallenges::periodAt(uint64_t nowNs) const {
    return nowNs < epochNs_ ? 0 : (nowNs - epochNs_) / kQueryChallengePeriodNs;
}

uint32_t QueryChallenges::forPeriod(std::span<const uint8_t> source, uint64_t period) const {
    std::array<uint8_t, 8 + kMaxChallengeSourceBytes> message{};
    const size_t length = std::min(source.size(), kMaxChallengeSourceBytes);
    putU64(message.data(), period);
    std::copy_n(source.begin(), length, message.begin() + 8);
    const uint64_t mac = sipHash24(secret_, std::span<const uint8_t>(message.data(), 8 + length));
    const uint32_t folded = static_cast<uint32_t>(mac ^ (mac >> 32));
    // That value asks for a challenge; it is never one.
    return folded == kQueryChallengeRequest ? folded - 1 : folded;
}

}  // namespace karst
