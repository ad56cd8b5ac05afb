// The remote console: operators' tools log in over TCP with the password and
// run the console's commands, each answered with the lines the console would
// print. Served once per pass after standard input, on the loop's thread; the
// password is compared and never printed.
#include "app/rcon_console.h"

#include <algorithm>
#include <array>
#include <string>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"
#include "net/connection.h"
#include "net/rcon_packet.h"

namespace karst {

namespace {

constexpr size_t kRconReadChunkSize = 4096;
// Refused peers are closed without a slot; the bound keeps a reconnect flood
// from holding the pass here.
constexpr size_t kMaxRconRefusalsPerPass = 64;
constexpr uint16_t kRconFailureEvents = net::kPollError | net::kPollHangUp | net::kPollInvalid;

bool blankLine(std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; }

}  // namespace

bool GameServer::openRcon() {
    if (settings_.rconPort == 0) return true;
    rcon_.listener = openBoundSocket(settings_.rconBind, settings_.rconPort, net::SocketType::Stream, startFailure_);
    if (rcon_.listener == net::kInvalidSocket) return false;
    return poller_.add(rcon_.listener, net::kPollIn, kRconListenerToken);
}

uint16_t GameServer::rconPort() const {
    return rcon_.listener == net::kInvalidSocket ? 0 : net::localPort(rcon_.listener);
}

void GameServer::watchRconListener() {
    // Out of descriptors, a pending login would otherwise wake every pass at once.
    const uint16_t wanted = acceptResting() ? 0 : net::kPollIn;
    if (rcon_.listener == net::kInvalidSocket || wanted == rcon_.listenerEvents) return;
    std::error_code error;
    // Not taken over on failure, so the next pass asks again.
    if (poller_.modify(rcon_.listener, wanted, kRconListenerToken, error)) rcon_.listenerEvents = wanted;
}

void GameServer::serveRcon() {
    if (rcon_.listenerReady) acceptRcon();
    rcon_.listenerReady = false;
    for (const net::ReadyEvent& event : rcon_.ready) {
        const auto it = std::find_if(rcon_.connections.begin(), rcon_.connections.end(),
                                     [&](const auto& c) { return c->token == event.token; });
        if (it == rcon_.connections.end()) continue;
        RconConnection& connection = **it;
        bool ok = true;
        if ((event.events & net::kPollIn) && !connection.closing) ok = readRcon(connection);
        if (!ok || (event.events & kRconFailureEvents)) connection.closing = true;
    }
    rcon_.ready.clear();
    closeExpiredRcon();
    for (auto& connection : rcon_.connections)
        if (connection->unsentBytes() != 0 && !flushRcon(*connection)) connection->closing = true;
    std::erase_if(rcon_.connections, [&](const auto& connection) {
        if (!connection->closing) return false;
        poller_.remove(connection->socket);
        net::closeSocket(connection->socket);
        return true;
    });
}

void GameServer::acceptRcon() {
    size_t refused = 0;
    while (refused < kMaxRconRefusalsPerPass) {
        net::AcceptOutcome outcome;
        net::SocketAddress peer;
        const net::SocketHandle socket = net::acceptConnection(rcon_.listener, outcome, &peer);
        if (socket == net::kInvalidSocket) {
            restListenerAfter(outcome);
            return;
        }
        const net::IpAddress ip = net::endpointIpAddress(peer);
        const uint64_t now = monotonicNowNs();
        // The lockout was announced when it began; a ban is reported like the game port's.
        const bool banned = refuseBannedPeer(socket, ip);  // closed there
        const bool full = rcon_.connections.size() >= settings_.rconMaxConnections;
        if (banned || rcon_.lockouts.locked(ip, now) || full) {
            if (!banned) net::closeSocket(socket);
            ++traffic_.rconLoginsRefused;
            ++refused;
            continue;
        }
        (void)net::setNonBlocking(socket);
        (void)net::setNoDelay(socket);
        auto connection = std::make_unique<RconConnection>();
        connection->socket = socket;
        connection->remoteAddress = peer;
        connection->remoteIp = ip;
        connection->token = rcon_.nextToken++;
        connection->acceptedAtNs = now;
        connection->lastPacketNs = now;
        if (!poller_.add(socket, net::kPollIn, connection->token)) {
            net::closeSocket(socket);
            continue;
        }
        rcon_.connections.push_back(std::move(connection));
    }
}

bool GameServer::readRcon(RconConnection& connection) {
    std::array<uint8_t, kRconReadChunkSize> chunk;
    for (;;) {
        const net::IoResult r = net::receiveBytes(connection.socket, chunk);
        if (r.status == net::IoStatus::WouldBlock) return true;
        if (r.status != net::IoStatus::Ok) return false;
        std::vector<uint8_t>& buffer = connection.receiveBuffer;
        buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(r.bytes));
        size_t offset = 0;
        for (;;) {
            net::RconPacket packet;
            size_t used = 0;
            const net::RconCut cut = net::cutRconPacket(std::span(buffer).subspan(offset), packet, used);
            if (cut == net::RconCut::Malformed) return false;
            if (cut == net::RconCut::NeedMore) break;
            offset += used;
            if (!handleRconPacket(connection, packet)) return false;
            // What follows a refused password is never read.
            if (connection.closing) return true;
            if (connection.unsentBytes() > kUnsentBytesLimit) return false;
        }
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    }
}

bool GameServer::handleRconPacket(RconConnection& connection, const net::RconPacket& packet) {
    connection.lastPacketNs = monotonicNowNs();
    if (packet.type == net::kRconAuth) {
        handleRconLogin(connection, packet);
        return true;
    }
    if (!connection.authenticated) return false;
    if (packet.type == net::kRconExecCommand) {
        runRconCommand(connection, packet);
    } else if (packet.type == net::kRconResponseValue) {
        // Mirrored, so a client can tell where a reply split over packets ends.
        net::appendRconReply(connection.sendQueue, packet.id, {});
    }
    return true;
}

void GameServer::handleRconLogin(RconConnection& connection, const net::RconPacket& packet) {
    const uint64_t now = monotonicNowNs();
    // A locked address is refused without a comparison, so connections opened
    // before the lockout cannot go on guessing.
    if (!rcon_.lockouts.locked(connection.remoteIp, now) &&
        net::rconPasswordsMatch(packet.body, settings_.rconPassword)) {
        connection.authenticated = true;
        rcon_.lockouts.noteSuccess(connection.remoteIp);
        net::appendRconPacket(connection.sendQueue, packet.id, net::kRconAuthResponse, {});
        return;
    }
    ++traffic_.rconLoginsRefused;
    net::appendRconPacket(connection.sendQueue, net::kRconRefusedId, net::kRconAuthResponse, {});
    connection.closing = true;
    if (rcon_.lockouts.noteFailure(connection.remoteIp, now))
        printLine("rcon " + net::formatIpAddress(connection.remoteIp) + " refused for " +
                  std::to_string(kRconLockoutNs / kNsPerSecond) + " s after " +
                  std::to_string(kRconFailuresBeforeLockout) + " failed logins");
}

void GameServer::runRconCommand(RconConnection& connection, const net::RconPacket& packet) {
    // The console's own line rules: a line feed ends a command, an overlong line is refused.
    ConsoleLineReader reader;
    std::vector<ConsoleInputLine> lines;
    reader.feed(std::span(reinterpret_cast<const uint8_t*>(packet.body.data()), packet.body.size()), lines);
    reader.finish(lines);
    std::string text;
    commandReply_ = &text;
    for (const ConsoleInputLine& line : lines) {
        if (line.tooLong) {
            replyError("Console line longer than " + std::to_string(kMaxConsoleLineLength) + " bytes ignored");
            continue;
        }
        if (blankLine(line.text)) continue;
        printLine("rcon " + net::formatEndpoint(connection.remoteAddress) + ": " + printableAscii(line.text));
        executeConsoleLine(line.text);
    }
    commandReply_ = nullptr;
    net::appendRconReply(connection.sendQueue, packet.id, text);
}

void GameServer::closeExpiredRcon() {
    const uint64_t now = monotonicNowNs();
    for (auto& connection : rcon_.connections) {
        if (connection->authenticated ? elapsedAtLeast(now, connection->lastPacketNs, kRconIdleLimitNs)
                                      : elapsedAtLeast(now, connection->acceptedAtNs, kRconLoginDeadlineNs))
            connection->closing = true;
    }
}

bool GameServer::flushRcon(RconConnection& connection) {
    while (connection.unsentBytes() != 0) {
        const std::span<const uint8_t> unsent(connection.sendQueue.data() + connection.sendOffset,
                                              connection.unsentBytes());
        const net::IoResult r = net::sendBytes(connection.socket, unsent);
        if (r.status == net::IoStatus::WouldBlock) {
            if (connection.writeInterest) return true;
            connection.writeInterest = true;
            return poller_.modify(connection.socket, net::kPollIn | net::kPollOut, connection.token);
        }
        if (r.status != net::IoStatus::Ok) return false;
        connection.sendOffset += r.bytes;
    }
    connection.sendQueue.clear();
    connection.sendOffset = 0;
    if (!connection.writeInterest) return true;
    connection.writeInterest = false;
    return poller_.modify(connection.socket, net::kPollIn, connection.token);
}

void GameServer::closeRcon() {
    for (auto& connection : rcon_.connections) net::closeSocket(connection->socket);
    rcon_.connections.clear();
    if (rcon_.listener != net::kInvalidSocket) net::closeSocket(rcon_.listener);
    rcon_.listener = net::kInvalidSocket;
}

void GameServer::reply(std::string_view line) {
    if (!commandReply_) return printLine(line);
    commandReply_->append(line);
    commandReply_->push_back('\n');
}

void GameServer::replyError(std::string_view line) {
    if (!commandReply_) return printError(line);
    commandReply_->append(line);
    commandReply_->push_back('\n');
}

}  // namespace karst
