#include "soak/soak_intruders.h"

#include "client/messages.h"
#include "net/coding.h"

#include <algorithm>
#include <string>

namespace karst::soak {

namespace {

constexpr uint64_t kSlowReaderSpacingNs = 250 * kMs;
constexpr uint64_t kBurstIntervalNs = 10 * kMs;
// 20 room changes of 24 bytes every 10 ms stays far below the server's 32 KiB
// receive limit; each answer is the room greeting (a PlayerInfo and a
// PlayerState per proxy, the room status), several hundred bytes.
constexpr uint32_t kJoinsPerBurst = 20;
constexpr uint32_t kJoinsPerSlowReader = 16'000;
constexpr uint64_t kLongestBurstNs = 8 * kSecond;
// Quiet long enough for the server to give up on the reader, then read.
constexpr uint64_t kQuietBeforeDrainNs = 3 * kSecond;
constexpr uint64_t kDrainSilenceNs = 3 * kSecond;
constexpr uint64_t kSilentWaveIntervalNs = 20 * kSecond;
constexpr uint16_t kPollFailure = net::kPollError | net::kPollHangUp | net::kPollInvalid;
constexpr uint32_t kSlowReaderInstanceBase = 50'000;
constexpr uint32_t kMalformedKeyBase = 1'000'000;

std::vector<uint8_t> helloFrame(const ProfileKey& key, uint32_t sequence) {
    client::Hello hello;
    hello.name = "Soak intruder";
    hello.profileKey = key;
    const auto payload = client::encodeHello(hello);
    return client::encodeFrame(MessageType::Hello, payload, sequence);
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

}  // namespace

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::RandomBytes: return "random bytes";
        case Fault::BadMagic: return "bad magic";
        case Fault::BadVersion: return "bad version";
        case Fault::OversizedLength: return "length above 4096";
        case Fault::WrongPayloadSize: return "wrong payload size";
        case Fault::MessageBeforeHello: return "message before Hello";
        case Fault::ZeroSequence: return "sequence 0";
        case Fault::RepeatedSequence: return "repeated sequence";
        case Fault::UnknownType: return "unknown type";
        case Fault::ServerOnlyType: return "server-only type";
    }
    return "?";
}

std::vector<uint8_t> malformedBytes(Fault fault, const ProfileKey& key, std::mt19937_64& random) {
    std::vector<uint8_t> bytes;
    const std::array<uint8_t, 4> ping{1, 2, 3, 4};
    switch (fault) {
        case Fault::RandomBytes: {
            bytes.resize(std::uniform_int_distribution<size_t>(16, 512)(random));
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
            if (bytes[0] == 'K') bytes[0] = 'k';
            return bytes;
        }
        case Fault::BadMagic:
            bytes = helloFrame(key, 1);
            bytes[3] = 'X';
            return bytes;
        case Fault::BadVersion:
            bytes = helloFrame(key, 1);
            putU16(bytes.data() + 4, kProtocolVersion - 1);
            return bytes;
        case Fault::OversizedLength:
            // Only the header: the announced length alone must close the connection.
            bytes = helloFrame(key, 1);
            putU32(bytes.data() + 8, kMaxPayloadLength + 1);
            bytes.resize(kFrameHeaderSize);
            return bytes;
        case Fault::WrongPayloadSize: {
            bytes = helloFrame(key, 1);
            const std::array<uint8_t, kPingSize + 1> longPing{};
            append(bytes, client::encodeFrame(MessageType::Ping, longPing, 2));
            return bytes;
        }
        case Fault::MessageBeforeHello:
            return client::encodeFrame(MessageType::JoinRoom,
                         client::encodeJoinRoom(RoomKey{0, 0, 0, 1}), 1);
        case Fault::ZeroSequence: return helloFrame(key, 0);
        case Fault::RepeatedSequence:
            bytes = helloFrame(key, 1);
            append(bytes, client::encodeFrame(MessageType::Ping, ping, 2));
            append(bytes, client::encodeFrame(MessageType::Ping, ping, 2));
            return bytes;
        case Fault::UnknownType:
            bytes = helloFrame(key, 1);
            append(bytes, client::encodeFrame(static_cast<MessageType>(99), ping, 2));
            return bytes;
        case Fault::ServerOnlyType: {
            bytes = helloFrame(key, 1);
            const std::array<uint8_t, kWelcomeSize> welcome{};
            append(bytes, client::encodeFrame(MessageType::Welcome, welcome, 2));
            return bytes;
        }
    }
    return bytes;
}

Intruders::Intruders(SoakWorld& world) : world_(world), scratch_(tools::kReadScratchSize) {}

ProfileKey Intruders::nextKey() {
    return soakPlayerKey(world_.options().seed, kMalformedKeyBase + keysUsed_++);
}

void Intruders::tick(uint64_t now, uint64_t endNs) {
    const SoakOptions& o = world_.options();
    if (o.malformedPerSecond > 0 && now >= nextMalformedNs_ && now + kMalformedCloseBoundNs < endNs) {
        openMalformed(now);
        nextMalformedNs_ = now + kSecond / o.malformedPerSecond;
    }
    // A reader is only worth opening when the soak lasts long enough to see it closed.
    const uint64_t readerLifetime =
        kLongestBurstNs + kQuietBeforeDrainNs + kDrainSilenceNs + kSecond;
    if (slowReadersOpened_ < o.slowReaders && now >= nextSlowReaderNs_ &&
        now + readerLifetime < endNs) {
        openSlowReader(now);
        nextSlowReaderNs_ = now + kSlowReaderSpacingNs;
    }
    // The first wave always goes out; later ones only when the soak lasts long
    // enough to see the deadline close them.
    const bool firstWave = world_.stats().silentOpened == 0;
    if (o.silentConnections > 0 && now >= nextSilentWaveNs_ &&
        (firstWave || now + kHandshakeDeadlineNs + kHandshakeLateNs < endNs)) {
        openSilentWave(now);
        nextSilentWaveNs_ = now + kSilentWaveIntervalNs;
    }
    for (Malformed& m : malformed_) {
        if (m.link.open() && now - m.openedNs > kMalformedCloseBoundNs) {
            world_.error(std::string("a connection sending ") + faultName(m.fault) +
                         " was not closed within 3 s");
            m.link.close();
        }
    }
    for (SlowReader& r : slowReaders_) tickSlowReader(r, now);
    for (Silent& s : silent_) {
        if (s.link.open() && now - s.openedNs > kHandshakeDeadlineNs + kHandshakeLateNs) {
            world_.error("a connection that never said Hello was still open after 13 s");
            s.link.close();
        }
    }
}

void Intruders::openMalformed(uint64_t now) {
    Malformed m;
    if (!m.link.connect(world_.server())) return world_.error("a malformed connection could not connect");
    m.fault = static_cast<Fault>(world_.between(0, kFaultKinds - 1));
    m.openedNs = now;
    m.link.queueRaw(malformedBytes(m.fault, nextKey(), world_.random()));
    if (!m.link.flush()) return;  // refused before it even sent: nothing to check
    ++world_.stats().malformedSent;
    malformed_.push_back(std::move(m));
}

void Intruders::openSlowReader(uint64_t now) {
    SlowReader r;
    if (!r.link.connect(world_.server())) return world_.error("a slow reader could not connect");
    r.number = slowReadersOpened_++;
    r.openedNs = now;
    r.nextBurstNs = now;
    r.link.queueRaw(helloFrame(nextKey(), 1));
    r.link.setNextSequence(2);
    ++world_.stats().slowReaders;
    slowReaders_.push_back(std::move(r));
}

void Intruders::openSilentWave(uint64_t now) {
    for (uint32_t i = 0; i < world_.options().silentConnections; ++i) {
        Silent s;
        if (!s.link.connect(world_.server()))
            return world_.error("a silent connection could not connect");
        s.openedNs = now;
        ++world_.stats().silentOpened;
        silent_.push_back(std::move(s));
    }
}

void Intruders::tickSlowReader(SlowReader& r, uint64_t now) {
    if (!r.link.open()) return;
    if (r.quietSinceNs == 0) {
        if (now < r.nextBurstNs) return;
        r.nextBurstNs = now + kBurstIntervalNs;
        // Two Central Plaza instances of its own, entered in turn.
        const uint32_t base = kSlowReaderInstanceBase + 2 * r.number;
        for (uint32_t i = 0; i < kJoinsPerBurst; ++i, ++r.joinsSent)
            r.link.queueFrame(MessageType::JoinRoom,
                              client::encodeJoinRoom(RoomKey{26, 3, 0, base + r.joinsSent % 2}));
        world_.stats().slowReaderFramesSent += kJoinsPerBurst;
        if (r.joinsSent >= kJoinsPerSlowReader || now - r.openedNs > kLongestBurstNs)
            r.quietSinceNs = now;
        return;
    }
    if (!r.draining && now - r.quietSinceNs >= kQuietBeforeDrainNs) {
        r.draining = true;
        r.lastDataNs = now;
    }
    if (r.draining && now - r.lastDataNs > kDrainSilenceNs) {
        world_.error("a reader that never read was not disconnected (" +
                     std::to_string(r.joinsSent) + " room changes sent)");
        r.link.close();
    }
}

void Intruders::pollInterest(std::vector<net::PollEntry>& entries,
                             std::vector<std::pair<IntruderKind, uint32_t>>& owners) const {
    for (uint32_t i = 0; i < malformed_.size(); ++i) {
        if (!malformed_[i].link.open()) continue;
        entries.push_back(net::PollEntry{malformed_[i].link.socket(), net::kPollIn, 0});
        owners.emplace_back(IntruderKind::Malformed, i);
    }
    for (uint32_t i = 0; i < slowReaders_.size(); ++i) {
        const SlowReader& r = slowReaders_[i];
        if (!r.link.open()) continue;
        // Never asks to read until it drains: that is the whole point.
        uint16_t events = r.draining ? net::kPollIn : 0;
        if (r.link.hasUnsent()) events |= net::kPollOut;
        entries.push_back(net::PollEntry{r.link.socket(), events, 0});
        owners.emplace_back(IntruderKind::SlowReader, i);
    }
    for (uint32_t i = 0; i < silent_.size(); ++i) {
        if (!silent_[i].link.open()) continue;
        entries.push_back(net::PollEntry{silent_[i].link.socket(), net::kPollIn, 0});
        owners.emplace_back(IntruderKind::Silent, i);
    }
}

void Intruders::serve(IntruderKind kind, uint32_t index, uint16_t revents) {
    switch (kind) {
        case IntruderKind::Malformed: return serveMalformed(malformed_[index], revents);
        case IntruderKind::SlowReader: return serveSlowReader(slowReaders_[index], revents);
        case IntruderKind::Silent: return serveSilent(silent_[index], revents);
    }
}

void Intruders::serveMalformed(Malformed& m, uint16_t revents) {
    uint64_t ignored = 0;
    if ((revents & (net::kPollIn | kPollFailure)) == 0) return;
    // A Welcome may come first; the close follows.
    if (m.link.read(scratch_, *this, ignored) == tools::ReadOutcome::Open) return;
    ++world_.stats().malformedClosed;
    m.link.close();
}

void Intruders::serveSlowReader(SlowReader& r, uint16_t revents) {
    if ((revents & net::kPollOut) && !r.link.flush()) {
        // Closed while it was still sending: a server that stalled long enough
        // for 32 KiB of room changes to pile up closes it for that instead.
        ++world_.stats().slowReadersClosed;
        ++world_.stats().slowReadersClosedWhileSending;
        r.link.close();
        return;
    }
    if (!r.draining || (revents & (net::kPollIn | kPollFailure)) == 0) return;
    const uint64_t before = r.bytesRead;
    const tools::ReadOutcome result = r.link.read(scratch_, *this, r.bytesRead);
    if (r.bytesRead != before) r.lastDataNs = world_.now();
    world_.stats().slowReaderBytesRead += r.bytesRead - before;
    if (result == tools::ReadOutcome::Open) return;
    ++world_.stats().slowReadersClosed;
    r.link.close();
}

void Intruders::serveSilent(Silent& s, uint16_t revents) {
    if ((revents & (net::kPollIn | kPollFailure)) == 0) return;
    uint64_t bytes = 0;
    if (s.link.read(scratch_, *this, bytes) == tools::ReadOutcome::Open && bytes == 0) return;
    const uint64_t lived = world_.now() - s.openedNs;
    SoakStats& stats = world_.stats();
    if (bytes > 0) world_.error("the server sent bytes to a connection that never said Hello");
    if (lived + kHandshakeEarlyNs < kHandshakeDeadlineNs)
        world_.error("a connection that never said Hello was closed after only " +
                     std::to_string(lived / kMs) + " ms");
    ++stats.silentClosed;
    stats.silentLongestNs = std::max(stats.silentLongestNs, lived);
    stats.silentShortestNs = std::min(stats.silentShortestNs, lived);
    s.link.close();
}

void Intruders::compact() {
    const auto closed = [](const auto& c) { return !c.link.open(); };
    std::erase_if(malformed_, closed);
    std::erase_if(slowReaders_, closed);
    std::erase_if(silent_, closed);
}

void Intruders::finish() {
    for (Silent& s : silent_)
        if (s.link.open()) ++world_.stats().silentUnverified;
    for (Malformed& m : malformed_)
        if (m.link.open()) ++world_.stats().malformedUnverified;
    for (SlowReader& r : slowReaders_)
        if (r.link.open()) ++world_.stats().slowReadersUnverified;
    malformed_.clear();
    slowReaders_.clear();
    silent_.clear();
}

}  // namespace karst::soak
