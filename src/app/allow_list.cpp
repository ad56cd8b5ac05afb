// The allow list: while `[files] allow` names its file, a Hello whose profile key
// it does not list is refused, and the console's allow, disallow and allowed
// commands keep the file. The file is a ban file of keys alone (app/list_file.h).
// A key taken off the list keeps its player on until kicked: the list decides
// who may log on, not who must leave.
#include <string>

#include "app/console.h"
#include "app/game_server.h"
#include "game/player_info.h"
#include "net/client_messages.h"

namespace karst {

bool GameServer::refuseUnlistedKey(ClientConnection& connection, const HelloMessage& hello) {
    if (!allowFile_.enabled() || allowList_.findKey(hello.profileKey)) return false;
    ++traffic_.allowListRefusals;
    closeAfterNotice(connection, NoticeCode::NotListed, "This server admits listed players only");
    // The name and key the operator needs to let a friend in, a line a minute per
    // address at most, so a client that retries cannot flood the log.
    PlayerInfoBlock info = hello.info;
    const std::string name = sanitizePlayerInfo(info.data());
    reportRefusal(connection.remoteIp, "\"" + name + "\" key " + formatProfileKeyHex(hello.profileKey) +
                                           " is not on the allow list");
    return true;
}

bool GameServer::allowListOff() {
    if (allowFile_.enabled()) return false;
    replyError("The allow list is off: name its file with allow under [files] in server.ini");
    return true;
}

std::optional<ProfileKey> GameServer::keyNamedBy(std::string_view what, std::string& playerName) {
    // 32 hex digits are a key: no player id is that long.
    if (const auto key = parseProfileKeyHex(what)) {
        if (!isZeroKey(*key)) return key;
        replyError("Not a profile key (32 hex digits, not all zero): " + printableAscii(what));
        return std::nullopt;
    }
    const ClientConnection* target = findTarget(what);
    if (!target) return std::nullopt;
    if (!target->authenticated) {
        replyError("player " + std::to_string(target->playerId) + " has no profile key yet");
        return std::nullopt;
    }
    playerName = textBeforeZero(target->name);
    return target->profileKey;
}

std::optional<ProfileKey> GameServer::allowListKeyOf(const ConsoleCommand& command, std::string& playerName) {
    if (allowListOff()) return std::nullopt;
    const auto key = keyNamedBy(command.args[0], playerName);
    // An edit on disk since the last check is kept: the change is made to it.
    if (key) allowFile_.reloadIfChanged(allowList_, true);
    return key;
}

void GameServer::commandAllow(const ConsoleCommand& command) {
    std::string playerName;
    const auto key = allowListKeyOf(command, playerName);
    if (!key) return;
    // Without a note, a player's name tells the operator reading the file who the key is.
    const std::string note = command.args.size() > 1 ? command.tail(1) : playerName;
    const std::string hex = formatProfileKeyHex(*key);
    if (!allowList_.addKey(*key, note)) reply("key " + hex + " was already allowed");
    else if (saveListFile(allowFile_, allowList_)) reply("allowed key " + hex);
}

void GameServer::commandDisallow(const ConsoleCommand& command) {
    std::string playerName;
    const auto key = allowListKeyOf(command, playerName);
    if (!key) return;
    const std::string hex = formatProfileKeyHex(*key);
    if (!allowList_.removeKey(*key)) {
        replyError("key " + hex + " is not on the allow list");
        return;
    }
    if (saveListFile(allowFile_, allowList_)) reply("disallowed key " + hex);
}

void GameServer::commandAllowed(const ConsoleCommand&) {
    if (allowListOff()) return;
    allowFile_.reloadIfChanged(allowList_, true);
    const std::vector<const Ban*> keys = allowList_.bans();
    for (const Ban* key : keys) reply(printableAscii(formatBanLine(*key)));
    reply(std::to_string(keys.size()) + (keys.size() == 1 ? " allowed key" : " allowed keys"));
}

}  // namespace karst
