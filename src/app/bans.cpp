// Bans in force: the ban list file (read at start-up, re-read when it changes on
// disk, rewritten after every console change), and its enforcement at accept, at
// Hello and on the players already connected.
#include <algorithm>
#include <string>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"
#include "store/file_replace.h"

namespace karst {

namespace {

// Often enough that an edit takes effect while the operator watches; a stat
// every few seconds costs nothing next to a pass.
constexpr uint64_t kBanFileCheckIntervalNs = 2 * kNsPerSecond;
constexpr uint64_t kRefusalReportIntervalNs = 60 * kNsPerSecond;
// Addresses whose refusals are remembered; beyond it the oldest reports go.
constexpr size_t kMaxRefusalReports = 4096;

}  // namespace

void GameServer::loadBanList(bool atStartup) {
    const std::string& path = settings_.banListPath;
    if (path.empty()) return;
    const auto state = stampBanFile(path);
    std::string text;
    std::error_code error;
    if (state.exists && !readBanFile(path, text, error)) {
        // The state is not taken over, so the next check tries again.
        if (banFileReads_.failed())
            printError("Warning: could not read ban list " + path + ": " + error.message() +
                       "; keeping the " + std::to_string(banList_.size()) + " bans in force");
        return;
    }
    banFileReads_.succeeded();
    ParsedBanFile parsed = BanList::parse(text);
    for (size_t line : parsed.invalidLines)
        printError("Warning: ignored invalid ban at " + path + ":" + std::to_string(line));
    banList_ = std::move(parsed.list);
    banFileState_ = state;
    if (!atStartup) {
        printLine("Reloaded ban list " + path + " (" + std::to_string(banList_.size()) + " bans)");
        enforceBans();
    }
}

void GameServer::checkBanFile(bool now) {
    if (settings_.banListPath.empty()) return;
    const uint64_t time = monotonicNowNs();
    if (!now && lastBanCheckNs_ != 0 && !elapsedAtLeast(time, lastBanCheckNs_, kBanFileCheckIntervalNs))
        return;
    lastBanCheckNs_ = time;
    if (stampBanFile(settings_.banListPath) != banFileState_) loadBanList(false);
}

bool GameServer::saveBanList() {
    const std::string& path = settings_.banListPath;
    if (path.empty()) return true;
    const std::string text = banList_.serialize();
    std::error_code error;
    const bool saved =
        ensureParentDirectories(path, error) &&
        replaceFileFromTemp(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, error);
    if (!saved) {
        printError("Warning: could not save ban list " + path + ": " + error.message() +
                   "; the change holds until restart");
        return false;
    }
    banFileState_ = stampBanFile(path);
    return true;
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
