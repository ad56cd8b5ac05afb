// Bans in force: the ban list file (kept by app/list_file.h), and its enforcement
// at accept, at Hello and on the players already connected.
#include <algorithm>
#include <string>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"

namespace karst {

namespace {

constexpr uint64_t kRefusalReportIntervalNs = 60 * kNsPerSecond;
// Addresses whose refusals are remembered; beyond it the oldest reports go.
constexpr size_t kMaxRefusalReports = 4096;

}  // namespace

void GameServer::loadBanList(bool atStartup) {
    if (banFile_.read(banList_, !atStartup) && !atStartup) enforceBans();
}

void GameServer::checkBanFile(bool now) {
    if (banFile_.reloadIfChanged(banList_, now)) enforceBans();
}

bool GameServer::saveListFile(ListFile& file, const BanList& list) {
    const std::string warning = file.save(list);
    if (warning.empty()) return true;
    // The operator's console hears of it whoever made the change; a remote
    // console hears it too, as the answer to its command.
    if (commandReply_) printError(warning);
    replyError(warning);
    return false;
}

std::string GameServer::bannedNoticeText(const Ban& ban) const {
    std::string text = "You are banned from this server";
    if (!ban.reason.empty()) text += ": " + printableAscii(ban.reason);
    return text;
}

void GameServer::enforceBans() {
    for (auto& [socket, connection] : clients_) {
        if (connection->closing) continue;
        const Ban* ban = banList_.findAddress(connection->remoteIp);
        if (!ban && connection->authenticated) ban = banList_.findKey(connection->profileKey);
        if (ban) kick(*connection, NoticeCode::Banned, bannedNoticeText(*ban), "banned " + describeBan(*ban));
    }
}

bool GameServer::refuseBannedPeer(net::SocketHandle socket, const net::IpAddress& address) {
    const Ban* ban = banList_.findAddress(address);
    if (!ban) return false;
    reportRefusal(address, "banned " + describeBan(*ban));
    net::closeSocket(socket);
    return true;
}

void GameServer::reportRefusal(const net::IpAddress& address, const std::string& why) {
    const uint64_t now = monotonicNowNs();
    const auto last = refusalReports_.find(address);
    if (last != refusalReports_.end() && !elapsedAtLeast(now, last->second, kRefusalReportIntervalNs))
        return;
    if (refusalReports_.size() >= kMaxRefusalReports) {
        std::erase_if(refusalReports_, [&](const auto& entry) {
            return elapsedAtLeast(now, entry.second, kRefusalReportIntervalNs);
        });
        if (refusalReports_.size() >= kMaxRefusalReports) refusalReports_.clear();
    }
    refusalReports_[address] = now;
    printLine("connection from " + net::formatIpAddress(address) + " refused: " + why);
}

}  // namespace karst
