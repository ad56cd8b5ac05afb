// The operator console: command lines from standard input, run on the loop's
// thread between the network work of a pass, each answered on the console.
// Replies go to standard output, one line per item; a mistake gets one line on
// standard error.
#include <algorithm>
#include <array>
#include <charconv>
#include <string>

#include "app/console.h"
#include "app/config_file.h"
#include "app/game_server.h"
#include "net/console_input.h"

namespace karst {

namespace {

constexpr size_t kConsoleReadSize = 4096;

struct CommandEntry {
    std::string_view name;
    std::string_view alias1;
    std::string_view alias2;
    std::string_view usage;  // arguments, as help shows them
    size_t requiredArgs;
    std::string_view description;
    void (GameServer::*run)(const ConsoleCommand&);
};

}  // namespace

// A member so that the table may name private handlers.
struct GameServer::ConsoleTable {
    static constexpr std::array kCommands = {
        CommandEntry{"help", "", "", "", 0, "list the commands", &GameServer::commandHelp},
        CommandEntry{"status", "", "", "", 0, "addresses, uptime, connections, rooms, stores",
                     &GameServer::commandStatus},
        CommandEntry{"list", "", "", "[LEVEL]", 0, "every connection, or the players in one level",
                     &GameServer::commandList},
        CommandEntry{"kick", "", "", "TARGET [REASON]", 1, "remove a player (TARGET: player id or name)",
                     &GameServer::commandKick},
        CommandEntry{"ban", "", "", "TARGET [REASON]", 1, "ban a player's profile key and remove them",
                     &GameServer::commandBan},
        CommandEntry{"ban-key", "", "", "HEX [REASON]", 1, "ban a profile key (32 hex digits)",
                     &GameServer::commandBanKey},
        CommandEntry{"ban-address", "", "", "ADDRESS[/PREFIX] [REASON]", 1,
                     "ban an IPv4 or IPv6 address or network", &GameServer::commandBanAddress},
        CommandEntry{"unban", "", "", "KEY|ADDRESS", 1, "lift a ban", &GameServer::commandUnban},
        CommandEntry{"bans", "", "", "", 0, "list the bans in force", &GameServer::commandBans},
        CommandEntry{"allow", "", "", "KEY|TARGET [NOTE]", 1, "let a profile key log on (allow list)",
                     &GameServer::commandAllow},
        CommandEntry{"disallow", "", "", "KEY|TARGET", 1, "take a profile key off the allow list",
                     &GameServer::commandDisallow},
        CommandEntry{"allowed", "", "", "", 0, "list the allow list", &GameServer::commandAllowed},
        CommandEntry{"say", "", "", "TEXT", 1, "show a notice to every player", &GameServer::commandSay},
        CommandEntry{"save", "", "", "", 0, "write both stores now", &GameServer::commandSave},
        CommandEntry{"stop", "quit", "exit", "", 0, "save the stores and stop the server",
                     &GameServer::commandStop},
    };
};

void GameServer::serveConsole(bool reported) {
    if (!reported) return;
    std::array<uint8_t, kConsoleReadSize> chunk;
    const net::IoResult r = net::readConsoleInput(chunk);
    if (r.status == net::IoStatus::WouldBlock) return;
    if (r.status == net::IoStatus::Ok) {
        consoleReader_.feed(std::span(chunk.data(), r.bytes), consoleLines_);
    } else {
        // End of input (or none to read): the server runs on without a console.
        consoleReader_.finish(consoleLines_);
        closeConsole();
    }
    for (const ConsoleInputLine& line : consoleLines_) {
        if (line.tooLong)
            printError("Console line longer than " + std::to_string(kMaxConsoleLineLength) +
                       " bytes ignored");
        else
            executeConsoleLine(line.text);
    }
    consoleLines_.clear();
}

void GameServer::executeConsoleLine(std::string_view line) {
    const ConsoleCommand command = parseConsoleCommand(line);
    if (command.name.empty()) return;
    for (const CommandEntry& entry : ConsoleTable::kCommands) {
        if (command.name != entry.name && command.name != entry.alias1 && command.name != entry.alias2)
            continue;
        if (command.args.size() < entry.requiredArgs) {
            replyError("Usage: " + std::string(entry.name) + " " + std::string(entry.usage));
            return;
        }
        (this->*entry.run)(command);
        return;
    }
    replyError("Unknown command: " + printableAscii(command.name) + " (type help)");
}

void GameServer::commandHelp(const ConsoleCommand&) {
    for (const CommandEntry& entry : ConsoleTable::kCommands) {
        std::string line(entry.name);
        if (!entry.usage.empty()) line += " " + std::string(entry.usage);
        line.resize(std::max<size_t>(line.size() + 2, 34), ' ');
        line += entry.description;
        if (!entry.alias1.empty())
            line += " (also " + std::string(entry.alias1) + ", " + std::string(entry.alias2) + ")";
        reply(line);
    }
}

ClientConnection* GameServer::findTarget(std::string_view target) {
    uint32_t id = 0;
    const auto [end, error] = std::from_chars(target.data(), target.data() + target.size(), id);
    if (error == std::errc() && end == target.data() + target.size()) {
        if (ClientConnection* byId = findConnectionByPlayerId(id)) return byId;
    }
    const std::string wanted = app::toLowerAscii(target);
    std::vector<ClientConnection*> matches;
    for (auto& [socket, connection] : clients_)
        if (connection->authenticated && app::toLowerAscii(textBeforeZero(connection->name)) == wanted)
            matches.push_back(connection.get());
    if (matches.size() == 1) return matches.front();
    const std::string shown = "\"" + printableAscii(target) + "\"";
    if (matches.empty()) {
        replyError("No player matches " + shown);
        return nullptr;
    }
    std::sort(matches.begin(), matches.end(),
              [](const ClientConnection* a, const ClientConnection* b) { return a->playerId < b->playerId; });
    std::string ids;
    for (const ClientConnection* c : matches) ids += (ids.empty() ? "" : ", ") + std::to_string(c->playerId);
    replyError("Several players are named " + shown + " (players " + ids + "): use a player id");
    return nullptr;
}

void GameServer::kick(ClientConnection& connection, NoticeCode code, const std::string& noticeText,
                      const std::string& reason) {
    closeAfterNotice(connection, code, noticeText);
    reply("player " + std::to_string(connection.playerId) + " kicked" +
              (reason.empty() ? std::string() : ": " + printableAscii(reason)));
}

}  // namespace karst
