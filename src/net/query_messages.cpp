// Layouts of the server query's datagrams; docs/protocol.md lists them field
// by field. The replies are built byte by byte into a growing buffer, since
// their texts and player list vary in length.
#include "net/query_messages.h"

#include <algorithm>
#include <cstring>

#include "net/coding.h"

namespace karst {

namespace {

constexpr std::array<uint8_t, 4> kSinglePacket{0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint8_t kInfoRequest = 'T';
constexpr uint8_t kPlayerRequest = 'U';
constexpr uint8_t kChallengeReply = 'A';
constexpr uint8_t kInfoReply = 'I';
constexpr uint8_t kPlayerReply = 'D';
// The INFO request's payload, zero byte included.
constexpr std::string_view kInfoQueryText{"Source Engine Query\0", 20};
constexpr size_t kInfoRequestSize = kSinglePacket.size() + 1 + kInfoQueryText.size();
constexpr size_t kPlayerRequestSize = kSinglePacket.size() + 1 + 4;

constexpr uint8_t kServerTypeDedicated = 'd';
constexpr uint8_t kVisibilityPublic = 0;
constexpr uint8_t kNotSecured = 0;
constexpr uint16_t kNoAppId = 0;
// Extra data flag: the game port follows.
constexpr uint8_t kExtraDataGamePort = 0x80;
constexpr uint64_t kMaxCount = 255;

// The fixed bytes of an INFO reply around its five texts.
constexpr size_t kInfoFixedSize = 4 + 1 + 1 + 2 + 3 + 4 + 1 + 2;
static_assert(kInfoFixedSize + 5 * (kMaxQueryInfoText + 1) <= kMaxQueryReplySize);

// A player entry's bytes besides its name: index, name's zero byte, score, time.
constexpr size_t kPlayerEntryFixedSize = 1 + 1 + 4 + 4;
// So the size cut comes before the count byte's.
static_assert((kMaxQueryReplySize - 6) / kPlayerEntryFixedSize <= kMaxCount);

class ReplyBuilder {
public:
    explicit ReplyBuilder(uint8_t kind) {
        out_.reserve(kMaxQueryReplySize);
        out_.insert(out_.end(), kSinglePacket.begin(), kSinglePacket.end());
        out_.push_back(kind);
    }
    void u8(uint64_t v) { out_.push_back(static_cast<uint8_t>(v)); }
    void u16(uint16_t v) { put<2>(v); }
    void u32(uint32_t v) { put<4>(v); }
    void f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        put<4>(bits);
    }
    void text(std::string_view s) {
        out_.insert(out_.end(), s.begin(), s.end());
        out_.push_back(0);
    }
    size_t size() const { return out_.size(); }
    uint8_t* at(size_t offset) { return out_.data() + offset; }
    std::vector<uint8_t> take() { return std::move(out_); }

private:
    template <size_t N>
    void put(uint64_t v) {
        for (size_t i = 0; i < N; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t> out_;
};

// A text ends at its first zero byte on the wire, so it is cut there.
std::string_view wireText(std::string_view s, size_t limit) {
    return s.substr(0, std::min({s.find('\0'), s.size(), limit}));
}

uint8_t clampCount(uint64_t n) { return static_cast<uint8_t>(std::min(n, kMaxCount)); }

}  // namespace

std::optional<QueryRequest> decodeQueryRequest(std::span<const uint8_t> datagram) {
    if (datagram.size() <= kSinglePacket.size() ||
        !std::equal(kSinglePacket.begin(), kSinglePacket.end(), datagram.begin()))
        return std::nullopt;
    const uint8_t kind = datagram[kSinglePacket.size()];
    const auto rest = datagram.subspan(kSinglePacket.size() + 1);
    if (kind == kPlayerRequest && datagram.size() == kPlayerRequestSize)
        return QueryRequest{QueryKind::Player, getU32(rest.data())};
    if (kind != kInfoRequest || rest.size() < kInfoQueryText.size() ||
        !std::equal(kInfoQueryText.begin(), kInfoQueryText.end(), rest.begin()))
        return std::nullopt;
    if (datagram.size() == kInfoRequestSize) return QueryRequest{QueryKind::Info, std::nullopt};
    if (datagram.size() == kInfoRequestSize + 4)
        return QueryRequest{QueryKind::Info, getU32(rest.data() + kInfoQueryText.size())};
    return std::nullopt;
}

std::array<uint8_t, kQueryChallengeReplySize> encodeQueryChallenge(uint32_t challenge) {
    std::array<uint8_t, kQueryChallengeReplySize> out{};
    ByteWriter(out).bytes(kSinglePacket.data(), kSinglePacket.size()).u8(kChallengeReply).u32(challenge);
    return out;
}

std::vector<uint8_t> encodeQueryInfo(const QueryInfo& info) {
    ReplyBuilder reply(kInfoReply);
    reply.u8(info.protocol);
    reply.text(wireText(info.name, kMaxQueryInfoText));
    reply.text(wireText(info.map, kMaxQueryInfoText));
    reply.text(wireText(info.folder, kMaxQueryInfoText));
    reply.text(wireText(info.game, kMaxQueryInfoText));
    reply.u16(kNoAppId);
    reply.u8(clampCount(info.players));
    reply.u8(clampCount(info.maxPlayers));
    reply.u8(clampCount(info.bots));
    reply.u8(kServerTypeDedicated);
    reply.u8(static_cast<uint8_t>(info.environment));
    reply.u8(kVisibilityPublic);
    reply.u8(kNotSecured);
    reply.text(wireText(info.version, kMaxQueryInfoText));
    reply.u8(kExtraDataGamePort);
    reply.u16(info.gamePort);
    return reply.take();
}

std::vector<uint8_t> encodeQueryPlayers(std::span<const QueryPlayer> players) {
    ReplyBuilder reply(kPlayerReply);
    const size_t countOffset = reply.size();
    reply.u8(0);
    size_t count = 0;
    for (const QueryPlayer& player : players) {
        const std::string_view name = wireText(player.name, kMaxQueryReplySize);
        if (reply.size() + kPlayerEntryFixedSize + name.size() > kMaxQueryReplySize) break;
        reply.u8(count);
        reply.text(name);
        reply.u32(static_cast<uint32_t>(player.score));
        reply.f32(player.secondsConnected);
        ++count;
    }
    *reply.at(countOffset) = static_cast<uint8_t>(count);
    return reply.take();
}

std::string mapNameForLevels(std::span<const uint32_t> playersByLevel) {
    size_t busiest = 0;
    for (size_t level = 1; level < playersByLevel.size(); ++level)
        if (playersByLevel[level] > playersByLevel[busiest]) busiest = level;
    if (playersByLevel.empty() || playersByLevel[busiest] == 0) return "none";
    return "level" + std::to_string(busiest);
}

}  // namespace karst
