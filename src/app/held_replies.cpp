// Replies that report a change to the shared store leave only once the change
// is committed. Frames built while a message is handled are staged; when the
// handler changed nothing stored they go out at once, in order, and otherwise
// each recipient keeps them until the store's durable number passes the
// change's. Only those replies wait: movement, chat and rooms go on meanwhile,
// so a held frame gets a fresh sequence number when it finally leaves.
#include "app/console.h"
#include "app/game_server.h"

namespace karst {

namespace {
// What one connection may hold: past it the player is let go rather than the
// server keeping ever more for a database that does not answer.
constexpr size_t kMaxHeldReplies = 64;
constexpr std::string_view kTooManyHeldText = "Server storage unavailable, try again soon";
}  // namespace

void GameServer::stageFrame(std::span<const uint8_t> frame, const ClientConnection* to, const RoomKey* room,
                            uint32_t excludedId) {
    StagedFrame staged{stagedBytes_.size(), frame.size(), stagedRecipients_.size(), 0};
    stagedBytes_.insert(stagedBytes_.end(), frame.begin(), frame.end());
    if (to != nullptr) stagedRecipients_.push_back(to->playerId);
    if (room != nullptr)
        for (const ClientConnection* member : roomMembers(*room))
            if (member->playerId != excludedId) stagedRecipients_.push_back(member->playerId);
    staged.recipients = stagedRecipients_.size() - staged.firstRecipient;
    stagedFrames_.push_back(staged);
}

// `waitForVersion` 0: nothing stored changed, so nothing waits.
void GameServer::deliverStagedFrames(uint64_t waitForVersion) {
    for (const StagedFrame& staged : stagedFrames_) {
        const std::span<const uint8_t> frame(stagedBytes_.data() + staged.offset, staged.length);
        for (size_t i = 0; i < staged.recipients; ++i) {
            ClientConnection* connection = findConnectionByPlayerId(stagedRecipients_[staged.firstRecipient + i]);
            if (connection == nullptr) continue;
            if (waitForVersion == 0) sendToConnection(*connection, frame);
            else holdFrame(*connection, waitForVersion, frame);
        }
    }
    stagedFrames_.clear();
    stagedBytes_.clear();
    stagedRecipients_.clear();
}

void GameServer::holdFrame(ClientConnection& connection, uint64_t version, std::span<const uint8_t> frame) {
    if (connection.closing) return;
    if (connection.heldFrames.size() == kMaxHeldReplies) {
        printError("Warning: player " + std::to_string(connection.playerId) + " is disconnected: " +
                   std::to_string(kMaxHeldReplies) + " replies wait for the database");
        connection.heldFrames.clear();
        closeAfterNotice(connection, NoticeCode::StorageUnavailable, kTooManyHeldText);
        return;
    }
    if (connection.heldFrames.empty()) heldConnections_.push_back(connection.playerId);
    connection.heldFrames.push_back({version, std::vector<uint8_t>(frame.begin(), frame.end())});
}

void GameServer::releaseDurableReplies() {
    const uint64_t durable = store_->durableThrough();
    std::erase_if(heldConnections_, [&](uint32_t playerId) {
        ClientConnection* connection = findConnectionByPlayerId(playerId);
        if (connection == nullptr) return true;
        std::vector<HeldFrame>& held = connection->heldFrames;
        size_t sent = 0;
        for (; sent < held.size() && held[sent].version <= durable; ++sent) {
            restampFrame(held[sent].frame, nextSequence_++);
            sendToConnection(*connection, held[sent].frame);
        }
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(sent));
        return held.empty();
    });
}

// A player line waits for the change it reports (the files' save, a shared
// store's commit of a lease release) while storage can be reached; during a
// database outage it is printed at once.
void GameServer::printDurableEventLines() {
    const uint64_t durable = store_->durableThrough();
    const bool waitForCommits = sharedStore_ == nullptr || sharedStore_->available();
    while (!heldEventLines_.empty() && (!waitForCommits || heldEventLines_.front().first <= durable)) {
        printLine(heldEventLines_.front().second);
        heldEventLines_.pop_front();
    }
}

}  // namespace karst
