// What the bots send and what they make of what they receive.
//
// Movement records are stamped with their send time and sequence
// (record_stamp.h) and measured where they arrive: a record counts for the
// figures when it comes from another bot of the receiver's room and was sent
// inside the measured window. Records from anybody else (the Central Plaza's
// proxies, people playing by hand) are ignored. Nothing here allocates once
// the bots have joined: payloads are fixed arrays on the stack.
#include "bots/load_engine.h"

#include "bots/bot_identity.h"

#include <cstdio>

namespace karst::bots {

namespace {

constexpr int kMaxDatagramsPerDrain = 64;
constexpr size_t kDatagramBuffer = 128;
constexpr uint32_t kMaxEventValue = 1'000'000;
constexpr std::array<uint8_t, kPingSize> kJoinPing{'J', 'O', 'I', 'N'};

}  // namespace

SendOutcome sendFrame(tools::FramedLink& link, MessageType type, std::span<const uint8_t> payload) {
    if (!link.open()) return SendOutcome::Failed;
    if (!link.queueFrame(type, payload)) return SendOutcome::Dropped;
    return link.flush() ? SendOutcome::Sent : SendOutcome::Failed;
}

// ---- Receiving ------------------------------------------------------------

void LoadEngine::readTcp(Bot& bot) {
    current_ = &bot;
    const tools::ReadOutcome outcome = bot.link.read(scratch_, *this, kMaxReadsPerCall);
    current_ = nullptr;
    if (outcome == tools::ReadOutcome::Closed || outcome == tools::ReadOutcome::ProtocolFault) lose(bot);
}

void LoadEngine::drainUdp(Bot& bot) {
    uint8_t buffer[kDatagramBuffer];
    net::SocketAddress from;
    for (int i = 0; i < kMaxDatagramsPerDrain; ++i) {
        const net::IoResult r = net::receiveDatagram(bot.udp, buffer, from);
        if (r.status != net::IoStatus::Ok) return;
        if (r.truncated) continue;
        const auto record =
            client::decodePlayerStateDatagram(std::span<const uint8_t>(buffer, r.bytes));
        if (record) measure(bot, *record);
    }
}

bool LoadEngine::onFrame(const tools::FrameHeader& header, std::span<const uint8_t> payload) {
    Bot& bot = *current_;
    switch (header.messageType()) {
        case MessageType::Welcome: onWelcome(bot, payload); break;
        case MessageType::RoomStatus:
        case MessageType::Pong: onJoinAnswered(bot); break;
        case MessageType::Notice: onNotice(bot, payload); break;
        case MessageType::PlayerState:
            if (const auto record = client::decodePlayerState(payload)) measure(bot, *record);
            break;
        case MessageType::ChatText: ++summary_.chatReceived; break;
        case MessageType::PlayerEvent: ++summary_.eventsReceived; break;
        case MessageType::UdpBound: bot.udpBound = true; break;
        default: break;  // room news, saves, Pibo: not this tool's business
    }
    return bot.link.open();
}

void LoadEngine::onWelcome(Bot& bot, std::span<const uint8_t> payload) {
    const auto welcome = client::decodeWelcome(payload);
    if (bot.phase != BotPhase::AwaitWelcome || !welcome) return;
    bot.playerId = welcome->playerId;
    bot.udpToken = welcome->udpToken;
    botByPlayerId_[bot.playerId] = bot.index;
    if (options_.transport == Transport::Udp) {
        bot.udp =
            net::openSocket(udpServer_.family, udpServer_.socketType, udpServer_.protocol);
        if (bot.udp == net::kInvalidSocket || !net::setNonBlocking(bot.udp)) {
            lose(bot);
            return;
        }
    }
    bot.phase = BotPhase::AwaitRoom;
    const RoomKey room = botRoomKey(options_, bot.room);
    // The Ping's Pong is queued after everything JoinRoom caused, so it marks
    // the end of the server's answer even where no RoomStatus comes.
    const auto joinRoom = client::encodeJoinRoom(room);
    const auto ping = client::encodePing(kJoinPing);
    if (sendFrame(bot.link, MessageType::JoinRoom, joinRoom) != SendOutcome::Sent ||
        sendFrame(bot.link, MessageType::Ping, ping) != SendOutcome::Sent)
        lose(bot);
}

// A RoomStatus (the room greeting its newcomer; players in no room are sent
// none) or the Pong behind JoinRoom, with no Notice before it: the bot is in.
void LoadEngine::onJoinAnswered(Bot& bot) {
    if (bot.phase == BotPhase::AwaitRoom) settle(bot, BotPhase::Joined, SetupFailure::None);
}

void LoadEngine::onNotice(Bot& bot, std::span<const uint8_t> payload) {
    ++summary_.noticesReceived;
    if (bot.phase != BotPhase::AwaitRoom) return;
    if (const auto notice = client::decodeNotice(payload); notice && summary_.firstRefusal.empty())
        summary_.firstRefusal = notice->text;
    --connected_;
    closeBot(bot);
    settle(bot, BotPhase::Failed, SetupFailure::JoinRefused);
}

void LoadEngine::measure(Bot& receiver, const client::PlayerStateRecord& record) {
    const auto sender = botByPlayerId_.find(record.playerId);
    if (sender == botByPlayerId_.end()) return;
    const Bot& from = bots_[sender->second];
    const uint64_t now = nowNs();
    ++deliveredThisSecond_;
    // A record from another room, or the receiver's own echoed back, is the
    // server's mistake: counted apart, never as a delivery.
    if (from.room != receiver.room || &from == &receiver || receiver.lastSequenceBySlot.empty()) {
        ++summary_.misrouted;
        return;
    }
    const SendStamp stamp = readStamp(record);
    uint32_t& last = receiver.lastSequenceBySlot[from.index - roomFirstBot(receiver.room)];
    if (stamp.sequence <= last) ++summary_.outOfOrder;
    else last = stamp.sequence;
    if (stamp.sendNs < windowStartNs_ || stamp.sendNs >= windowEndNs_) return;
    ++summary_.delivered;
    summary_.latency.record(now >= stamp.sendNs ? now - stamp.sendNs : 0);
    if (stamp.counted) ++summary_.received;
}

// ---- Sending ------------------------------------------------------------------

void LoadEngine::sendDue(uint64_t now) {
    summary_.scheduleSlotsSkipped += movement_.skipMissedRounds(now);
    for (; movement_.nextDueNs() <= now; movement_.advance()) {
        Bot& bot = bots_[participants_[movement_.nextParticipant()]];
        sendMovement(bot, now);
        watch(bot);
    }
    chat_.skipMissedRounds(now);
    for (; chat_.nextDueNs() <= now; chat_.advance()) {
        Bot& bot = bots_[participants_[chat_.nextParticipant()]];
        sendChat(bot);
        watch(bot);
    }
    events_.skipMissedRounds(now);
    for (; events_.nextDueNs() <= now; events_.advance()) {
        Bot& bot = bots_[participants_[events_.nextParticipant()]];
        sendEvent(bot);
        watch(bot);
    }
}

void LoadEngine::sendMovement(Bot& bot, uint64_t now) {
    if (bot.phase != BotPhase::Joined) return;
    client::PlayerStateRecord record;
    record.playerId = bot.playerId;
    record.room = botRoomKey(options_, bot.room);
    bot.recordSequence = (bot.recordSequence + 1) & kRecordSequenceMask;
    record.position = {static_cast<float>(bot.index % 1000), 0.0f,
                       static_cast<float>(bot.recordSequence % 1000)};
    const bool counted = bot.gate.admits(now);
    writeStamp(record, SendStamp{now, bot.recordSequence, counted});
    const SendOutcome outcome =
        options_.transport == Transport::Udp
            ? sendUdpRecord(bot, record)
            : sendFrame(bot.link, MessageType::PlayerState, client::encodePlayerState(record));
    if (outcome == SendOutcome::Failed) {
        lose(bot);
        return;
    }
    if (outcome == SendOutcome::Dropped) {
        ++summary_.sendBacklogDrops;
        return;
    }
    ++summary_.recordsSent;
    ++sentThisSecond_;
    if (!counted) return;
    bot.gate.markCounted(now);
    if (now >= windowStartNs_) ++bot.countedInWindow;
}

SendOutcome LoadEngine::sendUdpRecord(Bot& bot, const client::PlayerStateRecord& record) {
    const auto datagram = client::encodeUdpDatagram(
        client::UdpPlayerState{bot.playerId, bot.udpToken, record}, bot.nextUdpSequence);
    const net::IoResult r = net::sendDatagram(bot.udp, datagram, udpServer_.address);
    if (r.status != net::IoStatus::Ok || r.bytes != datagram.size()) return SendOutcome::Dropped;
    ++bot.nextUdpSequence;
    return SendOutcome::Sent;
}

void LoadEngine::sendChat(Bot& bot) {
    if (bot.phase != BotPhase::Joined) return;
    client::Payload<kChatTextSize> payload{};
    // The text field starts after the u32 player id and stays zero-terminated.
    std::snprintf(reinterpret_cast<char*>(payload.data() + 4), client::kChatTextFieldSize,
                  "bot %u line %u", bot.index, ++bot.chatCount);
    const SendOutcome outcome = sendFrame(bot.link, MessageType::ChatText, payload);
    if (outcome == SendOutcome::Failed) lose(bot);
    else if (outcome == SendOutcome::Sent) ++summary_.chatSent;
}

// Kinds 0 and 1 alternate, so each kind has twice the interval between its
// events that the option asks for overall.
void LoadEngine::sendEvent(Bot& bot) {
    if (bot.phase != BotPhase::Joined) return;
    client::PlayerEvent event;
    event.kind = static_cast<uint8_t>(bot.eventCount & 1u);
    event.value = bot.eventCount % kMaxEventValue;
    ++bot.eventCount;
    const SendOutcome outcome =
        sendFrame(bot.link, MessageType::PlayerEvent, client::encodePlayerEvent(event));
    if (outcome == SendOutcome::Failed) lose(bot);
    else if (outcome == SendOutcome::Sent) ++summary_.eventsSent;
}

}  // namespace karst::bots
