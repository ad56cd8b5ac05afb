// The ban list: profile keys and IPv4/IPv6 networks kept out of the server, as
// held in its text file, one ban per line:
//
//   key <32 hex digits> [reason]
//   address <address>[/<prefix>] [reason]
//
// Blank lines and lines starting with "#" are comments. The list keeps every line
// of the file in order, comments and lines that did not parse included, so a
// rewrite after a console change loses nothing the operator wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "net/ip_address.h"
#include "store/profile_key.h"

namespace karst {

// A larger file is not read: it cannot be a list an operator keeps by hand.
inline constexpr size_t kMaxBanFileBytes = 4 * 1024 * 1024;

struct Ban {
    enum class Kind { Key, Address };
    Kind kind = Kind::Key;
    ProfileKey key{};
    net::IpNetwork network;
    std::string reason;
};

// The ban a line states, or nothing for a comment or a line that does not parse.
struct BanLine {
    std::string text;
    std::optional<Ban> ban;
};

struct ParsedBanFile;

// Which lines a list file takes: the allow list names keys only.
enum class ListEntries { KeysAndAddresses, KeysOnly };

class BanList {
public:
    static ParsedBanFile parse(std::string_view text, ListEntries accepted = ListEntries::KeysAndAddresses);
    std::string serialize() const;

    const Ban* findKey(const ProfileKey& key) const;
    // The first ban whose network holds the address.
    const Ban* findAddress(const net::IpAddress& address) const;

    // False when the key or the very same network is already banned.
    bool addKey(const ProfileKey& key, std::string_view reason);
    bool addNetwork(const net::IpNetwork& network, std::string_view reason);
    // False when no ban states that key or exactly that network.
    bool removeKey(const ProfileKey& key);
    bool removeNetwork(const net::IpNetwork& network);

    std::vector<const Ban*> bans() const;
    size_t size() const;

private:
    void add(Ban ban);
    template <typename Match>
    bool removeFirst(Match match);

    std::vector<BanLine> lines_;
};

struct ParsedBanFile {
    BanList list;
    std::vector<size_t> invalidLines;  // 1-based numbers of lines that did not parse
};

// What the ban file looks like on disk, to notice an edit without reading it.
struct BanFileStamp {
    bool exists = false;
    int64_t modified = 0;
    uint64_t size = 0;
    bool operator==(const BanFileStamp&) const = default;
};
BanFileStamp stampBanFile(const std::string& path);

// Reads the file's text into `text`. False when it cannot be read or exceeds
// kMaxBanFileBytes, and then `error` says why in the system's words.
bool readBanFile(const std::string& path, std::string& text, std::error_code& error);

// "key <hex>" or "address <network>", without the reason.
std::string describeBan(const Ban& ban);
// The line a ban is written as.
std::string formatBanLine(const Ban& ban);

}  // namespace karst
