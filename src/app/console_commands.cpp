// The operator's commands: what the server holds (status, list, bans), what it
// does to players (kick, ban, say) and to itself (save, stop).
#include <algorithm>
#include <charconv>
#include <string>

#include "app/game_server.h"
#include "net/clock.h"

namespace karst {

namespace {

std::string saveResult(const SaveReport& report) {
    if (report.saves() == 0) return "not written since start";
    return report.failing() ? "last save FAILED" : "last save succeeded";
}

std::string roomText(const RoomKey& key) {
    if (!key.inRoom()) return "no room";
    return std::to_string(key.level) + "/" + std::to_string(key.act) + "/" + std::to_string(key.mission) +
           "/" + std::to_string(key.instance);
}

}  // namespace

void GameServer::commandStatus(const ConsoleCommand&) {
    size_t authenticated = 0, udpBound = 0;
    for (const auto& [socket, c] : clients_) {
        authenticated += c->authenticated ? 1 : 0;
        udpBound += c->udpBound ? 1 : 0;
    }
    const size_t roomsInUse = static_cast<size_t>(
        std::count_if(rooms_.begin(), rooms_.end(), [](const auto& room) { return room.first.inRoom(); }));
    const uint64_t uptimeSeconds = (monotonicNowNs() - startTime_) / kNsPerSecond;
    reply("name: " + settings_.serverName);
    reply("address: " + settings_.bindAddress + " tcp " + std::to_string(tcpPort()) + " udp " +
              (udpSocket_ == net::kInvalidSocket ? std::string("off") : std::to_string(udpPort())));
    reply("uptime: " + std::to_string(uptimeSeconds) + " s");
    reply("connections: " + std::to_string(clients_.size()) + " of " +
              std::to_string(settings_.maxClients) + " (" + std::to_string(authenticated) +
              " authenticated, " + std::to_string(clients_.size() - authenticated) + " in handshake)");
    reply("rooms in use: " + std::to_string(roomsInUse));
    reply("udp bound: " + std::to_string(udpBound));
    reply("proxies: " + std::to_string(proxies_.size()));
    reply("profile store: " + std::to_string(profileStore_.size()) + " records, " +
              saveResult(profileSaveReport_) + " (" + settings_.profileStorePath + ")");
    reply("pibo store: " + std::to_string(piboStore_.size()) + " records, " + saveResult(piboSaveReport_) +
              " (" + settings_.piboStorePath + ")");
    reply("bans: " + std::to_string(banList_.size()));
}

void GameServer::commandList(const ConsoleCommand& command) {
    std::optional<int> level;
    if (!command.args.empty()) {
        const std::string& text = command.args[0];
        int value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size()) {
            replyError("Not a level number: " + printableAscii(text));
            return;
        }
        level = value;
    }
    std::vector<const ClientConnection*> shown;
    for (const auto& [socket, c] : clients_)
        if (!level || (c->authenticated && c->roomKey.level == *level)) shown.push_back(c.get());
    std::sort(shown.begin(), shown.end(), [](auto* a, auto* b) { return a->playerId < b->playerId; });
    const uint64_t now = monotonicNowNs();
    for (const ClientConnection* c : shown) {
        std::string line = "player " + std::to_string(c->playerId);
        if (c->authenticated) {
            line += " name \"" + textBeforeZero(c->name) + "\" character " + std::to_string(c->character) +
                    " room " + roomText(c->roomKey);
        } else {
            line += " (handshake pending)";
        }
        line += " address " + net::formatEndpoint(c->remoteAddress);
        if (c->authenticated) line += " key " + formatProfileKeyHex(c->profileKey);
        line += std::string(" udp ") + (c->udpBound ? "bound" : "no");
        line += " connected " + std::to_string((now - c->acceptedAtNs) / kNsPerSecond) + " s";
        if (c->authenticated) line += " rings " + std::to_string(c->rings);
        reply(line);
    }
    reply(std::to_string(shown.size()) + (shown.size() == 1 ? " connection" : " connections"));
}

void GameServer::commandKick(const ConsoleCommand& command) {
    ClientConnection* target = findTarget(command.args[0]);
    if (!target) return;
    if (target->closing) {
        replyError("player " + std::to_string(target->playerId) + " is already leaving");
        return;
    }
    const std::string reason = command.tail(1);
    kick(*target, NoticeCode::RemovedByOperator,
         reason.empty() ? "You were removed from the server" : printableAscii(reason), reason);
}

void GameServer::commandBan(const ConsoleCommand& command) {
    ClientConnection* target = findTarget(command.args[0]);
    if (!target) return;
    if (!target->authenticated) {
        replyError("player " + std::to_string(target->playerId) +
                   " has no profile key yet: ban its address instead");
        return;
    }
    checkBanFile(true);
    const std::string hex = formatProfileKeyHex(target->profileKey);
    if (!banList_.addKey(target->profileKey, command.tail(1))) reply("key " + hex + " was already banned");
    else if (saveListFile(banFile_, banList_))
        reply("banned key " + hex + " (player " + std::to_string(target->playerId) + ")");
    enforceBans();
}

void GameServer::commandBanKey(const ConsoleCommand& command) {
    const auto key = parseProfileKeyHex(command.args[0]);
    if (!key || isZeroKey(*key)) {
        replyError("Not a profile key (32 hex digits, not all zero): " + printableAscii(command.args[0]));
        return;
    }
    checkBanFile(true);
    const std::string hex = formatProfileKeyHex(*key);
    if (!banList_.addKey(*key, command.tail(1))) reply("key " + hex + " was already banned");
    else if (saveListFile(banFile_, banList_)) reply("banned key " + hex);
    enforceBans();
}

void GameServer::commandBanAddress(const ConsoleCommand& command) {
    const auto network = net::parseIpNetwork(command.args[0]);
    if (!network) {
        replyError("Not an IPv4 or IPv6 address or network: " + printableAscii(command.args[0]));
        return;
    }
    checkBanFile(true);
    const std::string text = net::formatIpNetwork(*network);
    if (!banList_.addNetwork(*network, command.tail(1))) reply("address " + text + " was already banned");
    else if (saveListFile(banFile_, banList_)) reply("banned address " + text);
    enforceBans();
}

void GameServer::commandUnban(const ConsoleCommand& command) {
    const std::string& what = command.args[0];
    const auto key = parseProfileKeyHex(what);
    const auto network = key ? std::nullopt : net::parseIpNetwork(what);
    if (!key && !network) {
        replyError("Not a profile key or an address: " + printableAscii(what));
        return;
    }
    checkBanFile(true);
    const bool removed = key ? banList_.removeKey(*key) : banList_.removeNetwork(*network);
    const std::string shown = key ? "key " + formatProfileKeyHex(*key) : "address " + net::formatIpNetwork(*network);
    if (!removed) {
        replyError("No ban matches " + shown);
        return;
    }
    if (saveListFile(banFile_, banList_)) reply("unbanned " + shown);
}

void GameServer::commandBans(const ConsoleCommand&) {
    checkBanFile(true);
    const std::vector<const Ban*> bans = banList_.bans();
    for (const Ban* ban : bans) reply(printableAscii(formatBanLine(*ban)));
    reply(std::to_string(bans.size()) + (bans.size() == 1 ? " ban" : " bans"));
}

void GameServer::commandSay(const ConsoleCommand& command) {
    const std::string text = printableAscii(command.tail(0));
    size_t told = 0;
    for (auto& [socket, c] : clients_) {
        if (!c->authenticated || c->closing) continue;
        sendNotice(*c, NoticeCode::OperatorMessage, text);
        ++told;
    }
    std::string answer = "notice sent to " + std::to_string(told) + (told == 1 ? " player" : " players");
    if (text.size() > kNoticeTextMax) answer += " (cut to " + std::to_string(kNoticeTextMax) + " bytes)";
    reply(answer);
}

void GameServer::commandSave(const ConsoleCommand&) {
    writeProfileStore();
    writePiboStore();
    const auto report = [this](const SaveReport& saved, size_t count, const std::string& path) {
        if (!saved.failing()) reply("saved " + saved.what() + " " + path + " (" + std::to_string(count) + " records)");
        else replyError("Could not save " + saved.what() + " " + path + ": " +
                        saved.lastError().message());
    };
    report(profileSaveReport_, profileStore_.size(), settings_.profileStorePath);
    report(piboSaveReport_, piboStore_.size(), settings_.piboStorePath);
}

void GameServer::commandStop(const ConsoleCommand&) {
    reply("stopping: the stores are saved on the way out");
    requestStop();
}

}  // namespace karst
