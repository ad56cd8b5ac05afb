// Master server advertisement: one MasterAdvert datagram at start-up and then
// at most one attempt every 30 seconds, on a connected UDP socket that is kept
// until a send fails. Nothing is ever read from the master.
#include "net/master_advert.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"
#include "net/coding.h"

namespace karst {

namespace {

constexpr uint64_t kAdvertiseIntervalNs = 30 * kNsPerSecond;
constexpr std::array<uint8_t, 4> kAdvertMagic{'K', 'R', 'S', 'L'};
constexpr uint32_t kAdvertFlagA = 1;
constexpr uint32_t kAdvertFlagB = 1;
constexpr uint64_t kMaxU16 = 65535;

uint16_t clampToU16(uint64_t value) { return static_cast<uint16_t>(std::min(value, kMaxU16)); }

std::string_view fieldText(std::string_view text, size_t fieldWidth) {
    return text.substr(0, fieldWidth - 1);
}

}  // namespace

std::array<uint8_t, kMasterAdvertSize> encodeMasterAdvert(const MasterAdvertFields& fields) {
    std::array<uint8_t, kMasterAdvertSize> out{};
    ByteWriter(out)
        .bytes(kAdvertMagic.data(), kAdvertMagic.size())
        .u16(kAdvertFormatVersion)
        .u16(kAdvertKind)
        .u32(0)
        .u32(kAdvertFlagA)
        .u32(kAdvertFlagB)
        .text(fieldText(fields.serverName, kAdvertNameField), kAdvertNameField)
        .text(fieldText(fields.advertiseHost, kAdvertHostField), kAdvertHostField)
        .text(fieldText(fields.modList, kAdvertModListField), kAdvertModListField)
        .u16(fields.gamePort)
        .u16(clampToU16(fields.players))
        .u16(clampToU16(fields.capacity))
        .u16(kProtocolVersion)
        .zeros(kAdvertTrailerReserved);
    return out;
}

namespace {

// The first resolved address whose datagram socket connects; invalid when none,
// and then `error` holds the last connect's reason.
net::SocketHandle connectToMaster(const std::vector<net::ResolvedAddress>& addresses,
                                  std::error_code& error) {
    for (const net::ResolvedAddress& address : addresses) {
        const net::SocketHandle s = net::openSocket(address.family, address.socketType, address.protocol);
        if (s == net::kInvalidSocket) {
            error = net::lastSocketError();
            continue;
        }
        // Non-blocking, so a full socket buffer can never hold up the loop; a
        // send that would block counts as a failed send.
        if (net::connectSocket(s, address.address) && net::setNonBlocking(s)) return s;
        error = net::lastSocketError();
        net::closeSocket(s);
    }
    return net::kInvalidSocket;
}

// The established line comes at every failed attempt; the reason follows it on
// a line of its own, once per run of failures.
void reportUnreachableMaster(const std::string& where, bool resolved, const std::error_code& error,
                             FailureStreak& failures) {
    printError("Warning: could not resolve KARST master " + where);
    if (!failures.failed()) return;
    const std::string reason = error ? error.message() : "no address to send to";
    printError("Warning: KARST master " + where + ": " + (resolved ? "connect" : "lookup") +
               " failed: " + reason);
}

}  // namespace

void GameServer::advertiseToMaster(bool force) {
    if (!settings_.listed || settings_.masterHost.empty()) return;
    const uint64_t now = monotonicNowNs();
    if (!force && lastAdvertiseTime_ != 0 &&
        !elapsedAtLeast(now, lastAdvertiseTime_, kAdvertiseIntervalNs))
        return;
    lastAdvertiseTime_ = now;

    if (masterSocket_ == net::kInvalidSocket) {
        std::error_code error;
        const auto addresses = net::resolveAddresses(settings_.masterHost, settings_.masterPort,
                                                     net::SocketType::Datagram, false, error);
        masterSocket_ = connectToMaster(addresses, error);
        if (masterSocket_ == net::kInvalidSocket) {
            reportUnreachableMaster(settings_.masterHost + ":" + std::to_string(settings_.masterPort),
                                    !addresses.empty(), error, masterLookups_);
            return;
        }
        masterLookups_.succeeded();
    }

    MasterAdvertFields fields;
    fields.serverName = settings_.serverName;
    fields.advertiseHost = settings_.advertiseHost;
    fields.modList = settings_.modList;
    // The port clients can reach, also when the system chose it.
    fields.gamePort = settings_.port != 0 ? settings_.port : tcpPort();
    fields.players = byProfileKey_.size();  // one entry per authenticated connection
    fields.capacity = settings_.maxClients;
    const auto datagram = encodeMasterAdvert(fields);

    const net::IoResult sent = net::sendBytes(masterSocket_, datagram);
    if (sent.status != net::IoStatus::Ok || sent.bytes != datagram.size()) {
        net::closeSocket(masterSocket_);
        masterSocket_ = net::kInvalidSocket;
    }
}

}  // namespace karst
