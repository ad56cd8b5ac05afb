// The server query's datagrams (A2S, as game-server tools speak it): the
// requests the server answers and the three replies it composes.
//
// Every datagram starts with the 32-bit -1 (FF FF FF FF) of a single-packet
// message; numbers are little-endian, strings end with a zero byte. A reply is
// never longer than kMaxQueryReplySize, so it is never split: the player list
// stops at the last entry that fits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace karst {

inline constexpr size_t kMaxQueryReplySize = 1400;
inline constexpr size_t kQueryChallengeReplySize = 9;
// Longer than any request the server answers; a datagram that fills it is not one.
inline constexpr size_t kQueryReceiveBufferSize = 64;
// What a PLAYER request carries to ask for a challenge rather than the list.
inline constexpr uint32_t kQueryChallengeRequest = 0xFFFFFFFFu;
// Each text of the INFO reply is cut to this, so the reply always fits.
inline constexpr size_t kMaxQueryInfoText = 200;

enum class QueryKind { Info, Player };

struct QueryRequest {
    QueryKind kind = QueryKind::Info;
    // Absent from a first INFO request; kQueryChallengeRequest in a first PLAYER one.
    std::optional<uint32_t> challenge;
};

// Only the exact request layouts: anything else is not a query and gets no reply.
std::optional<QueryRequest> decodeQueryRequest(std::span<const uint8_t> datagram);

std::array<uint8_t, kQueryChallengeReplySize> encodeQueryChallenge(uint32_t challenge);

struct QueryInfo {
    uint8_t protocol = 0;
    std::string_view name;
    std::string_view map;
    std::string_view folder;
    std::string_view game;
    // Clamped to 255 when encoded.
    uint64_t players = 0;
    uint64_t maxPlayers = 0;
    uint64_t bots = 0;
    char environment = 'l';
    std::string_view version;
    uint16_t gamePort = 0;
};

std::vector<uint8_t> encodeQueryInfo(const QueryInfo& info);

struct QueryPlayer {
    std::string_view name;
    int32_t score = 0;
    float secondsConnected = 0;
};

// As many players as fit in kMaxQueryReplySize, in order (never more than 255).
std::vector<uint8_t> encodeQueryPlayers(std::span<const QueryPlayer> players);

// The INFO map: "level" and the number of the level holding the most players
// (the lowest such number on a tie), or "none" when nobody is in a level.
// `playersByLevel[n]` counts the players in level n.
std::string mapNameForLevels(std::span<const uint32_t> playersByLevel);

}  // namespace karst
