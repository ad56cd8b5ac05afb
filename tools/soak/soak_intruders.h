// The connections a soak sets against the server besides its players, each
// with what the server must do about it:
//
// - malformed: a frame the server must refuse (random bytes, a bad magic or
//   version, an oversized or wrongly sized payload, a message before Hello, a
//   bad sequence, an unknown or server-only type); the connection must be
//   closed within kMalformedCloseBoundNs.
// - slow readers: say Hello, then make the server queue far more than 2 MiB
//   for them (room changes into Central Plaza, whose greeting is large) and
//   never read; they must be disconnected, which a final read confirms.
// - silent: connect and never send; the server's handshake deadline (10 s)
//   must close them, neither much earlier nor much later.
//
// None of them may disturb the players: that is what the players' Ping bound
// and the store check measure alongside.
#pragma once

#include "soak/soak_link.h"
#include "soak/soak_world.h"

#include <cstdint>
#include <vector>

namespace karst::soak {

inline constexpr uint64_t kMalformedCloseBoundNs = 3 * kSecond;
inline constexpr uint64_t kHandshakeDeadlineNs = 10 * kSecond;
// A silent connection closed outside [deadline - early, deadline + late] is an error.
inline constexpr uint64_t kHandshakeEarlyNs = 500 * kMs;
inline constexpr uint64_t kHandshakeLateNs = 3 * kSecond;

enum class Fault : uint8_t {
    RandomBytes,
    BadMagic,
    BadVersion,
    OversizedLength,
    WrongPayloadSize,
    MessageBeforeHello,
    ZeroSequence,
    RepeatedSequence,
    UnknownType,
    ServerOnlyType,
};
inline constexpr int kFaultKinds = 10;
const char* faultName(Fault fault);

// The bytes a malformed connection sends: a valid Hello first where the
// fault needs an authenticated connection.
std::vector<uint8_t> malformedBytes(Fault fault, const ProfileKey& key, std::mt19937_64& random);

enum class IntruderKind : uint8_t { Malformed, SlowReader, Silent };

class Intruders final : private tools::FrameReceiver {
public:
    explicit Intruders(SoakWorld& world);

    // Opens what is due and enforces the deadlines. `endNs` is the soak's end.
    void tick(uint64_t now, uint64_t endNs);
    // Poll interest of each open connection.
    void pollInterest(std::vector<net::PollEntry>& entries,
                      std::vector<std::pair<IntruderKind, uint32_t>>& owners) const;
    void serve(IntruderKind kind, uint32_t index, uint16_t revents);
    // Forgets closed connections; call between passes.
    void compact();
    // The soak is over: whatever could not be checked is counted, then closed.
    void finish();

private:
    struct Malformed {
        SoakLink link;
        Fault fault = Fault::RandomBytes;
        uint64_t openedNs = 0;
    };
    struct SlowReader {
        SoakLink link;
        uint32_t number = 0;
        uint64_t openedNs = 0;
        uint64_t nextBurstNs = 0;
        uint32_t joinsSent = 0;
        uint64_t quietSinceNs = 0;  // 0 while still sending
        uint64_t lastDataNs = 0;
        bool draining = false;
        uint64_t bytesRead = 0;
    };
    struct Silent {
        SoakLink link;
        uint64_t openedNs = 0;
    };

    bool onFrame(const tools::FrameHeader&, std::span<const uint8_t>) override { return true; }
    void openMalformed(uint64_t now);
    void openSlowReader(uint64_t now);
    void openSilentWave(uint64_t now);
    void tickSlowReader(SlowReader& reader, uint64_t now);
    void serveMalformed(Malformed& m, uint16_t revents);
    void serveSlowReader(SlowReader& reader, uint16_t revents);
    void serveSilent(Silent& s, uint16_t revents);
    ProfileKey nextKey();

    SoakWorld& world_;
    std::vector<Malformed> malformed_;
    std::vector<SlowReader> slowReaders_;
    std::vector<Silent> silent_;
    std::vector<uint8_t> scratch_;
    uint64_t nextMalformedNs_ = kSecond;
    uint64_t nextSlowReaderNs_ = 2 * kSecond;
    uint32_t slowReadersOpened_ = 0;
    uint64_t nextSilentWaveNs_ = 500 * kMs;
    uint32_t keysUsed_ = 0;
};

}  // namespace karst::soak
