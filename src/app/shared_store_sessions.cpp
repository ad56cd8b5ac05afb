// Sessions on the player store: log-ons that wait for the store's answer
// (at once with the files; with a shared database, once the lease and the rows
// are in), sessions ended when their lease is lost, egg ids, and, for the
// database, opening it and dumping what it could not take at the end. Replies
// held for their commit are in app/held_replies.cpp.
#include <algorithm>
#include <filesystem>

#include "app/console.h"
#include "app/game_server.h"
#include "net/clock.h"
#include "store/file_replace.h"

namespace karst {

namespace {
constexpr int kShutdownWaitMs = 10'000;
constexpr int kEggIdAttempts = 8;
constexpr std::string_view kStorageUnavailableText = "Server storage unavailable, try again soon";
constexpr std::string_view kSessionEndedText = "Session ended: your progress could not be stored here, log on again";

// A dump of changes an earlier run could not write, next to `storePath`; empty
// when there is none.
std::string unsavedDumpBeside(const std::string& storePath) {
    namespace fs = std::filesystem;
    const fs::path path(storePath);
    const std::string prefix = path.filename().string() + ".unsaved-";
    std::error_code error;
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->path().filename().string().starts_with(prefix)) return it->path().string();
    return {};
}

}  // namespace

bool GameServer::openSharedStore() {
    if (settings_.storeBackend != "postgresql") return true;
    // Players admitted now would load rows older than the dump, and merging it
    // later would undo what they did meanwhile: the dump goes in first.
    for (const std::string* storePath : {&settings_.profileStorePath, &settings_.piboStorePath}) {
        const std::string dump = unsavedDumpBeside(*storePath);
        if (dump.empty()) continue;
        startFailure_ = "Could not open the PostgreSQL store: changes an earlier run could not write wait in " +
                        dump + "; load them with karst_store_copy merge and move the files away first";
        storeOpenFailed_ = true;
        return false;
    }
    std::unique_ptr<SharedStore> shared = makeDatabaseStore({settings_.storeUrl, settings_.leaseSeconds});
    std::string error = "this server was built without PostgreSQL support";
    if (!shared || !shared->open(error)) {
        startFailure_ = "Could not open the PostgreSQL store: " + error;
        storeOpenFailed_ = true;
        return false;
    }
    sharedStore_ = shared.get();
    fileStore_ = nullptr;
    store_ = std::move(shared);
    sharedStore_->setLeaseLost([this](const LostLease& lost) { endLostSession(lost); });
    // Unwatched before it closes: its number may go to the next accepted client.
    sharedStore_->setSocketClosing([this](int socket) {
        if (socket != watchedStoreSocket_) return;
        poller_.remove(static_cast<net::SocketHandle>(socket));
        watchedStoreSocket_ = -1;
    });
    return true;
}

void GameServer::serveSharedStore(bool ready) {
    sharedStore_->service(monotonicNowNs(), ready);
    releaseDurableReplies();
    printDurableEventLines();
}

void GameServer::beginStoreSession(ClientConnection& connection) {
    // Its last session here is still giving the lease up: in use for a moment.
    if (store_->releasing(connection.profileKey)) {
        scheduleClose(connection);
        return;
    }
    // What a first log-on creates: the Hello's name and looks, the starting rings.
    ProfileRecord fresh = profileOf(connection);
    fresh.rings = std::min(settings_.startingRings, kRingCap);
    connection.awaitingStore = true;
    awaitingStore_[connection.profileKey] = connection.playerId;
    // An answer at hand arrives inside this call, while the Hello is handled:
    // the frames after it are then parsed by the caller, in order, as usual.
    sessionAnsweredAtOnce_ = true;
    store_->beginSession(fresh, [this, playerId = connection.playerId](SessionStart& start) {
        finishStoreSession(playerId, start);
    });
    sessionAnsweredAtOnce_ = false;
}

void GameServer::finishStoreSession(uint32_t playerId, SessionStart& start) {
    const ProfileKey& key = start.profile.profileKey;
    awaitingStore_.erase(key);
    ClientConnection* connection = findConnectionByPlayerId(playerId);
    if (connection == nullptr || connection->closeScheduled || connection->closing) {
        if (start.outcome == SessionOutcome::Admitted) store_->endSession(key);
        return;
    }
    connection->awaitingStore = false;
    if (start.outcome == SessionOutcome::InUse) {
        scheduleClose(*connection);  // in play on another server: refused as "in use" here
        return;
    }
    if (start.outcome == SessionOutcome::Unavailable) {
        closeAfterNotice(*connection, NoticeCode::StorageUnavailable, kStorageUnavailableText);
        return;
    }
    // This server owns the profile and its creatures now: the stored copy wins.
    profileStore_.update(start.profile);
    for (const PiboRecord& record : start.pibo) piboStore_.refresh(record);
    admitPlayer(*connection, start.profile);
    // What the client sent while it waited, in order.
    if (!sessionAnsweredAtOnce_ && !parseFrames(*connection)) scheduleClose(*connection);
}

// The player is told why and let go; nothing more is written for the key, and
// replies still held for it never leave.
void GameServer::endLostSession(const LostLease& lost) {
    ClientConnection* connection = findAuthenticatedByProfileKey(lost.key);
    const std::string who = connection == nullptr ? "a player who has left"
                                                  : "player " + std::to_string(connection->playerId) + " (" +
                                                        textBeforeZero(connection->name) + ")";
    printError("Warning: ended the session of " + who + ", profile " + formatProfileKeyHex(lost.key) + ": " +
               lost.why + "; " + std::to_string(lost.unstoredChanges) + " changes were not stored");
    if (connection == nullptr) return;
    connection->heldFrames.clear();
    closeAfterNotice(*connection, NoticeCode::StorageUnavailable, kSessionEndedText);
}

void GameServer::notePiboChange(uint64_t id) {
    if (const PiboRecord* record = piboStore_.find(id)) store_->writePibo(*record);
}

bool GameServer::allocateEggIds(uint64_t& first, uint64_t& second) {
    // A shared store's ids are fleet-wide; one this server already knows (an
    // imported record) is skipped.
    for (int attempt = 0; attempt < kEggIdAttempts; ++attempt) {
        if (!store_->takeEggIds(first, second)) return false;
        if (piboStore_.find(first) == nullptr && piboStore_.find(second) == nullptr) return true;
    }
    return false;
}

bool GameServer::closeSharedStore() {
    if (sharedStore_->close(kShutdownWaitMs)) return true;
    // Replies held for what was not written never leave.
    for (auto& [socket, connection] : clients_) connection->heldFrames.clear();
    ProfileTable profiles;
    for (const ProfileRecord& record : sharedStore_->unsavedProfiles()) profiles[record.profileKey] = record;
    const std::vector<PiboRecord> pibo = sharedStore_->unsavedPibo();
    const std::string stamp = ".unsaved-" + formatUtcStamp(wallClockSeconds());
    const std::string profilePath = settings_.profileStorePath + stamp;
    const std::string piboPath = settings_.piboStorePath + stamp;
    // The lease list first: a dump that merge cannot check is one it will not load.
    const std::string leases = encodeLeaseList(sharedStore_->unsavedLeases());
    const bool kept = replaceFileFromTemp(leaseListPathFor(profilePath),
                                          std::span(reinterpret_cast<const uint8_t*>(leases.data()), leases.size())) &&
                      replaceFileFromTemp(profilePath, encodeProfileStore(profiles)) &&
                      replaceFileFromTemp(piboPath, encodePiboStore(pibo, kFirstServerPiboId));
    const std::string counts = std::to_string(profiles.size()) + " profile and " +
                               std::to_string(pibo.size()) + " Pibo changes";
    if (kept)
        printError("Error: the database could not take " + counts + "; they are kept in " + profilePath +
                   " and " + piboPath + ", with their lease numbers in " + leaseListPathFor(profilePath) +
                   " (karst_store_copy merge loads them)");
    else
        printError("Error: the database could not take " + counts + ", and " + profilePath + " or " +
                   piboPath + " could not be written: they are lost");
    return false;
}

}  // namespace karst
