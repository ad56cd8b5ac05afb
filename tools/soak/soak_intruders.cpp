#include "soak/soak_intruders.h"

#include "client/messages.h"
#include "common/wire.h"

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
    const std::array<uint8_t, kPingSize> ping{1, 2, 3, 4};
    const std::array<uint8_t, kPingSize + 1> longPing{};
    const std::array<uint8_t, kWelcomeSize> welcome{};
    // Most faults follow a valid Hello, so the server has a session to refuse them in.
    std::vector<uint8_t> bytes = helloFrame(key, fault == Fault::ZeroSequence ? 0 : 1);
    switch (fault) {
        case Fault::RandomBytes:
            bytes.resize(std::uniform_int_distribution<size_t>(16, 512)(random));
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
            if (bytes[0] == 'K') bytes[0] = 'k';
            break;
        case Fault::BadMagic: bytes[3] = 'X'; break;
        case Fault::BadVersion: tools::putU16(bytes.data() + 4, kProtocolVersion - 1); break;
        case Fault::OversizedLength:
            // Only the header: the announced length alone must close the connection.
            tools::putU32(bytes.data() + 8, kMaxPayloadLength + 1);
            bytes.resize(kFrameHeaderSize);
            break;
        case Fault::WrongPayloadSize:
            append(bytes, client::encodeFrame(MessageType::Ping, longPing, 2));
            break;
        case Fault::MessageBeforeHello:
            return client::encodeFrame(MessageType::JoinRoom,
                                       client::encodeJoinRoom(RoomKey{0, 0, 0, 1}), 1);
        case Fault::ZeroSequence: break;
        case Fault::RepeatedSequence:
            append(bytes, client::encodeFrame(MessageType::Ping, ping, 2));
            append(bytes, client::encodeFrame(MessageType::Ping, ping, 2));
            break;
        case Fault::UnknownType:
            append(bytes, client::encodeFrame(static_cast<MessageType>(99), ping, 2));
            break;
        case Fault::ServerOnlyType:
            append(bytes, client::encodeFrame(MessageType::Welcome, welcome, 2));
            break;
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
        for (uint32_t i = 0; i < o.silentConnections && open(IntruderKind::Silent, now); ++i)
            ++world_.stats().silentOpened;
        nextSilentWaveNs_ = now + kSilentWaveIntervalNs;
    }
    for (Intruder& intruder : intruders_)
        if (intruder.link.open()) tickIntruder(intruder, now);
}

void Intruders::tickIntruder(Intruder& intruder, uint64_t now) {
    const uint64_t lived = now - intruder.openedNs;
    switch (intruder.kind) {
        case IntruderKind::Malformed:
            if (lived <= kMalformedCloseBoundNs) return;
            world_.error(std::string("a connection sending ") + faultName(intruder.fault) +
                         " was not closed within 3 s");
            return intruder.link.close();
        case IntruderKind::SlowReader: return tickSlowReader(intruder, now);
        case IntruderKind::Silent:
            if (lived <= kHandshakeDeadlineNs + kHandshakeLateNs) return;
            world_.error("a connection that never said Hello was still open after 13 s");
            return intruder.link.close();
    }
}

Intruders::Intruder* Intruders::open(IntruderKind kind, uint64_t now) {
    Intruder intruder;
    if (!intruder.link.connect(world_.server())) {
        world_.error(kind == IntruderKind::Malformed    ? "a malformed connection could not connect"
                     : kind == IntruderKind::SlowReader ? "a slow reader could not connect"
                                                        : "a silent connection could not connect");
        return nullptr;
    }
    intruder.kind = kind;
    intruder.openedNs = now;
    return &intruders_.emplace_back(std::move(intruder));
}

void Intruders::openMalformed(uint64_t now) {
    Intruder* m = open(IntruderKind::Malformed, now);
    if (m == nullptr) return;
    m->fault = static_cast<Fault>(world_.between(0, kFaultKinds - 1));
    m->link.queueRaw(malformedBytes(m->fault, nextKey(), world_.random()));
    // Refused before it even sent: nothing to check.
    if (!m->link.flush()) return m->link.close();
    ++world_.stats().malformedSent;
}

void Intruders::openSlowReader(uint64_t now) {
    Intruder* r = open(IntruderKind::SlowReader, now);
    if (r == nullptr) return;
    r->number = slowReadersOpened_++;
    r->nextBurstNs = now;
    r->link.queueRaw(helloFrame(nextKey(), 1));
    r->link.setNextSequence(2);
    ++world_.stats().slowReaders;
}

void Intruders::tickSlowReader(Intruder& r, uint64_t now) {
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
                             std::vector<uint32_t>& indices) const {
    for (uint32_t i = 0; i < intruders_.size(); ++i) {
        const Intruder& intruder = intruders_[i];
        if (!intruder.link.open()) continue;
        uint16_t events = net::kPollIn;
        // A slow reader never asks to read until it drains: that is the whole point.
        if (intruder.kind == IntruderKind::SlowReader) {
            events = intruder.draining ? net::kPollIn : 0;
            if (intruder.link.hasUnsent()) events |= net::kPollOut;
        }
        entries.push_back(net::PollEntry{intruder.link.socket(), events, 0});
        indices.push_back(i);
    }
}

void Intruders::serve(uint32_t index, uint16_t revents) {
    Intruder& intruder = intruders_[index];
    switch (intruder.kind) {
        case IntruderKind::Malformed: return serveMalformed(intruder, revents);
        case IntruderKind::SlowReader: return serveSlowReader(intruder, revents);
        case IntruderKind::Silent: return serveSilent(intruder, revents);
    }
}

void Intruders::serveMalformed(Intruder& m, uint16_t revents) {
    if ((revents & (net::kPollIn | tools::kPollFailure)) == 0) return;
    // A Welcome may come first; the close follows.
    if (m.link.read(scratch_, *this, kMaxReadsPerCall) == tools::ReadOutcome::Open) return;
    ++world_.stats().malformedClosed;
    m.link.close();
}

void Intruders::serveSlowReader(Intruder& r, uint16_t revents) {
    if ((revents & net::kPollOut) && !r.link.flush()) {
        // Closed while it was still sending: a server that stalled long enough
        // for 32 KiB of room changes to pile up closes it for that instead.
        ++world_.stats().slowReadersClosed;
        ++world_.stats().slowReadersClosedWhileSending;
        r.link.close();
        return;
    }
    if (!r.draining || (revents & (net::kPollIn | tools::kPollFailure)) == 0) return;
    const uint64_t before = r.bytesRead;
    const tools::ReadOutcome result = r.link.read(scratch_, *this, kMaxReadsPerCall, &r.bytesRead);
    if (r.bytesRead != before) r.lastDataNs = world_.now();
    world_.stats().slowReaderBytesRead += r.bytesRead - before;
    if (result == tools::ReadOutcome::Open) return;
    ++world_.stats().slowReadersClosed;
    r.link.close();
}

void Intruders::serveSilent(Intruder& s, uint16_t revents) {
    if ((revents & (net::kPollIn | tools::kPollFailure)) == 0) return;
    uint64_t bytes = 0;
    if (s.link.read(scratch_, *this, kMaxReadsPerCall, &bytes) == tools::ReadOutcome::Open &&
        bytes == 0)
        return;
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
    std::erase_if(intruders_, [](const Intruder& i) { return !i.link.open(); });
}

void Intruders::finish() {
    SoakStats& stats = world_.stats();
    for (const Intruder& i : intruders_) {
        if (!i.link.open()) continue;
        ++(i.kind == IntruderKind::Malformed    ? stats.malformedUnverified
           : i.kind == IntruderKind::SlowReader ? stats.slowReadersUnverified
                                                : stats.silentUnverified);
    }
    intruders_.clear();
}

}  // namespace karst::soak
