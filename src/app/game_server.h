// The one server object: settings, sockets, the connection table and its
// indexes, rooms' run state, proxies, the two stores and the completed save.
//
// Everything runs on the thread that calls run(); only requestStop() may be
// called from elsewhere (the stop signal handler). Handlers never write to a
// socket: they append frames to send queues, which the event loop writes when
// the socket is writable. Handlers return false only to close their connection.
//
// The member functions are defined by subsystem: app/game_server.cpp (lifecycle),
// net/event_loop.cpp, net/connections.cpp, net/dispatch.cpp, net/udp.cpp,
// net/master_advert.cpp, net/query.cpp, game/*.cpp, garden/*.cpp, store/server_metrics.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "app/agones_sdk.h"
#include "app/ban_list.h"
#include "app/console_line.h"
#include "app/rcon_console.h"
#include "app/list_file.h"
#include "app/settings.h"
#include "game/proxies.h"
#include "game/room_key.h"
#include "garden/pibo_presence.h"
#include "garden/pibo_store.h"
#include "net/connection.h"
#include "net/frame.h"
#include "net/player_index.h"
#include "net/poller.h"
#include "net/query_challenge.h"
#include "net/query_rate_limit.h"
#include "net/rcon_packet.h"
#include "net/socket.h"
#include "net/traffic_counters.h"
#include "store/completed_save.h"
#include "store/metrics.h"
#include "store/profile_store.h"
#include "store/save_report.h"
#include "store/file_player_store.h"
#include "store/shared_store.h"

namespace karst {

struct HelloMessage;

struct StartCountdown {
    RoomKey key;
    uint64_t startNs = 0;
    uint32_t secondsAnnounced = 3;
};

struct ActiveHubRoom {
    RoomKey key;
    uint64_t lastUpdateNs = 0;
};

class GameServer {
public:
    explicit GameServer(ServerSettings settings);
    ~GameServer();
    GameServer(const GameServer&) = delete;
    GameServer& operator=(const GameServer&) = delete;

    bool start();
    // Takes operator commands from standard input while the loop runs; quietly
    // off when standard input ends or cannot be read.
    void openConsole();
    int run();
    void requestStop();
    void shutdown();

    // The ports actually bound (differs from the settings when port 0 asked the
    // system to choose); 0 while closed.
    uint16_t tcpPort() const;
    uint16_t udpPort() const;
    uint16_t queryPort() const;
    uint16_t rconPort() const;
    uint32_t uptimeMs() const;

    // After a failed start: what could not be opened, and the system's reason.
    const std::string& startFailure() const { return startFailure_; }
    // After shutdown: a store could not be written at the end, so changes are lost.
    bool finalSaveFailed() const { return finalSaveFailed_; }
    // After a failed start: the shared store could not be opened (a settings
    // matter for the operator, like an unreadable configuration).
    bool storeOpenFailed() const { return storeOpenFailed_; }

private:
    // Benchmarks and white-box tests reach the handlers without sockets.
    friend class GameServerTestAccess;

    using ConnectionTable = std::unordered_map<net::SocketHandle, std::unique_ptr<ClientConnection>>;
    using Members = std::vector<ClientConnection*>;

    // Lifecycle.
    bool openListener();
    bool openUdpSocket();
    void printStartupReport() const;

    // Event loop.
    void runPass();
    bool watchServerSockets();
    void closeConsole();
    void watchListener();
    // Rests the loop one tick after a wait that failed, warning once per run.
    void restAfterFailedWait(const std::error_code& error);
    std::string pollerName() const;
    // True when the shared store's socket is among the ready ones.
    bool sortReadyEvents(bool& listenerReady, bool& udpReady, bool& consoleReady);
    void serveConnections();
    void scheduleClose(ClientConnection& connection);
    void closeAfterNotices();
    void closeExpiredHandshakes();
    void runPeriodicWork();

    // Connections and queues.
    void acceptPending();
    bool receiveFromConnection(ClientConnection& connection);
    bool flushSendQueue(ClientConnection& connection);
    void sendToConnection(ClientConnection& connection, std::span<const uint8_t> frame);
    // Keeps the queues' memory within the budget: the largest queues go first.
    bool makeRoomInBudget(ClientConnection& recipient, size_t growth);
    void setQueueCapacity(ClientConnection& connection, size_t capacity);
    bool waitUntilWritable(ClientConnection& connection);
    void compactSendQueue(ClientConnection& connection);
    void markOverflowed(ClientConnection& connection);
    void cutOff(ClientConnection& connection);
    void forgetAddress(const net::IpAddress& address);
    bool refuseCrowdedPeer(net::SocketHandle socket, const net::IpAddress& address);
    void broadcastToRoom(const RoomKey& key, std::span<const uint8_t> frame, uint32_t excludedId);
    void disconnect(net::SocketHandle socket);
    ClientConnection* findConnectionByPlayerId(uint32_t playerId);
    ClientConnection* findAuthenticatedByProfileKey(const ProfileKey& key);
    const Members& roomMembers(const RoomKey& key) const;
    void addToRoomIndex(ClientConnection& connection);
    void removeFromRoomIndex(ClientConnection& connection);
    void moveToRoom(ClientConnection& connection, const RoomKey& key);

    // Frames and dispatch.
    bool parseFrames(ClientConnection& connection);
    bool dispatchMessage(ClientConnection& connection, const FrameHeader& header,
                         std::span<const uint8_t> payload);
    std::vector<uint8_t> makeFrame(MessageType type, std::span<const uint8_t> payload);
    void sendMessage(ClientConnection& connection, MessageType type, std::span<const uint8_t> payload);
    void broadcastMessage(const RoomKey& key, MessageType type, std::span<const uint8_t> payload,
                          uint32_t excludedId);
    void sendNotice(ClientConnection& connection, NoticeCode code, std::string_view text);
    // The notice leaves with whatever is queued before it, then the connection
    // goes through disconnect at the end of the pass; nothing it sends after the
    // notice is handled.
    void closeAfterNotice(ClientConnection& connection, NoticeCode code, std::string_view text);
    // Player events ("player N ...") are printed only after the pass's store
    // writes, so a line never reports a change the files do not hold yet.
    void printPlayerEvent(std::string line);

    // Handshake and profiles.
    bool handleHello(ClientConnection& connection, std::span<const uint8_t> payload);
    // The Hello's steps after the profile lookup: rings and fruit restored,
    // Welcome and what follows it queued, the connection line printed.
    void admitPlayer(ClientConnection& connection, const ProfileRecord& stored);
    // The profile record a connection's working copy makes.
    static ProfileRecord profileOf(const ClientConnection& connection);
    void updateProfile(const ClientConnection& connection);
    // It differs from the copy last written (or none was).
    bool profileChanged(const ClientConnection& connection);
    void sendPlayerInfo(ClientConnection& to, const ClientConnection& about);

    // Rooms, stages and instances.
    bool handleJoinRoom(ClientConnection& connection, std::span<const uint8_t> payload);
    void joinRoom(ClientConnection& connection, const RoomKey& key);
    bool handleSetCharacter(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handleSetReady(ClientConnection& connection, std::span<const uint8_t> payload);
    void broadcastRoomStatus(const RoomKey& key, uint8_t countdown);
    void tickStageCountdowns();
    void leaveRoomAfterDisconnect(const RoomKey& oldKey, uint32_t playerId);
    bool isStartedStageRoom(const RoomKey& key) const;
    void startStageRun(const RoomKey& key);

    // Movement, events, pings; the UDP channel.
    bool handlePlayerState(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePlayerEvent(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePing(ClientConnection& connection, std::span<const uint8_t> payload);
    void relayStateToRoom(const Members& members, std::span<uint8_t, kPlayerStateSize> record,
                          uint32_t excludedId);
    void drainUdp();
    void handleDatagram(std::span<const uint8_t> datagram, const net::SocketAddress& from);

    // Server queries (net/query.cpp).
    bool openQuerySocket();
    void drainQueries();
    void handleQuery(std::span<const uint8_t> datagram, const net::SocketAddress& from);
    std::vector<uint8_t> composeQueryInfo() const;
    std::vector<uint8_t> composeQueryPlayers() const;

    // Chat.
    bool handleChatText(ClientConnection& connection, std::span<const uint8_t> payload);

    // Hub proxies.
    void createProxies();
    void sendProxiesTo(ClientConnection& connection, const ActiveHubRoom& room);
    void tickHubProxies();

    // Stage finish and the fruit shop.
    bool handleStageFinished(ClientConnection& connection, std::span<const uint8_t> payload);
    void releaseStartedRun(const RoomKey& key);
    bool handleBuyFruit(ClientConnection& connection, std::span<const uint8_t> payload);

    // The Pibo garden.
    bool handlePiboRegister(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePiboState(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePiboRelease(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePiboFeed(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePiboInteract(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePiboClaim(ClientConnection& connection, std::span<const uint8_t> payload);
    bool handlePiboBreed(ClientConnection& connection, std::span<const uint8_t> payload);
    void deliverPendingPibo(ClientConnection& connection);
    void releaseHeldPibo(ClientConnection& connection, const RoomKey& room);
    void sendGardenSnapshot(ClientConnection& connection);
    // Writes the stores that changed since the last write. The loop calls it once
    // after reading every ready connection and once after the pass's disconnects
    // and timers: before any queued reply that reports a change can leave.
    void writePendingSaves();

    // The operator console (app/operator_console.cpp, app/console_commands.cpp).
    struct ConsoleTable;
    void serveConsole(bool reported);
    void executeConsoleLine(std::string_view line);
    void commandHelp(const ConsoleCommand& command);
    void commandStatus(const ConsoleCommand& command);
    void commandList(const ConsoleCommand& command);
    void commandKick(const ConsoleCommand& command);
    void commandBan(const ConsoleCommand& command);
    void commandBanKey(const ConsoleCommand& command);
    void commandBanAddress(const ConsoleCommand& command);
    void commandUnban(const ConsoleCommand& command);
    void commandBans(const ConsoleCommand& command);
    void commandSay(const ConsoleCommand& command);
    void commandSave(const ConsoleCommand& command);
    void commandStop(const ConsoleCommand& command);
    // The one connection an operator's TARGET names (a player id, or a name that
    // exactly one player has, compared without case); prints why not otherwise.
    ClientConnection* findTarget(std::string_view target);
    void kick(ClientConnection& connection, NoticeCode code, const std::string& noticeText,
              const std::string& reason);
    // Where a command's lines go: the console, or the reply owed to the RCON
    // client whose command runs. Commands print through these only.
    void reply(std::string_view line);
    void replyError(std::string_view line);

    // The remote console (app/rcon_console.cpp).
    bool openRcon();
    void serveRcon();
    void acceptRcon();
    void watchRconListener();
    bool readRcon(RconConnection& connection);
    bool handleRconPacket(RconConnection& connection, const net::RconPacket& packet);
    void handleRconLogin(RconConnection& connection, const net::RconPacket& packet);
    void runRconCommand(RconConnection& connection, const net::RconPacket& packet);
    void closeExpiredRcon();
    bool flushRcon(RconConnection& connection);
    void closeRcon();

    // Bans (app/bans.cpp).
    void loadBanList(bool atStartup);
    // Re-reads the ban file if it changed on disk: every few seconds from the
    // loop, and at once (`now`) before a console change rewrites it.
    void checkBanFile(bool now = false);
    // Rewrites a list's file after a console change; false, after a warning, when it cannot.
    bool saveListFile(ListFile& file, const BanList& list);
    // Removes every connection the ban list now covers.
    void enforceBans();
    bool refuseBannedPeer(net::SocketHandle socket, const net::IpAddress& address);
    // A line per address and minute at most, so a reconnect loop cannot flood the log.
    void reportRefusal(const net::IpAddress& address, const std::string& why);
    std::string bannedNoticeText(const Ban& ban) const;

    // The allow list (app/allow_list.cpp): while its file is set, only the keys
    // it names may log on.
    // Refuses a Hello whose key is not listed; false when the key may log on.
    bool refuseUnlistedKey(ClientConnection& connection, const HelloMessage& hello);
    void commandAllow(const ConsoleCommand& command);
    void commandDisallow(const ConsoleCommand& command);
    void commandAllowed(const ConsoleCommand& command);
    // True, after saying so, when no allow list is configured.
    bool allowListOff();
    // The key a KEY|TARGET argument names, with the player's name when it named
    // a player; prints why not otherwise.
    std::optional<ProfileKey> keyNamedBy(std::string_view what, std::string& playerName);
    // The key an allow or disallow command names, once the list is on and up to date.
    std::optional<ProfileKey> allowListKeyOf(const ConsoleCommand& command, std::string& playerName);

    // Master advertisement and metrics.
    void advertiseToMaster(bool force);
    bool writeMetrics();
    bool writeMetricsDocuments(const MetricsSnapshot& snapshot);

    // Store writes that tell the operator when they fail and when they work
    // again (app/store_saves.cpp).
    void writeProfileStore();
    void writePiboStore();
    // The final save; false, after an error line per store, when any failed.
    bool writeStoresAtShutdown();

    // The shared store (app/shared_store_sessions.cpp): log-ons that wait for
    // a lease, replies held until their change commits, the shutdown dump.
    bool openSharedStore();
    void serveSharedStore(bool ready);
    void watchSharedStore();
    void beginStoreSession(ClientConnection& connection);
    void finishStoreSession(uint32_t playerId, SessionStart& start);
    void endLostSession(const LostLease& lost);
    void stageFrame(std::span<const uint8_t> frame, const ClientConnection* to, const RoomKey* room,
                    uint32_t excludedId);
    void deliverStagedFrames(uint64_t waitForVersion);
    void holdFrame(ClientConnection& connection, uint64_t version, std::span<const uint8_t> frame);
    void releaseDurableReplies();
    void printDurableEventLines();
    bool closeSharedStore();
    void notePiboChange(uint64_t id);
    bool allocateEggIds(uint64_t& first, uint64_t& second);

    // Descriptor limits (app/file_limits.cpp).
    void fitDescriptorLimit();
    // Both listeners rest a moment after accept ran out; the game's also at capacity.
    bool acceptResting() const;
    bool listenerResting() const;
    void restListenerAfter(net::AcceptOutcome outcome);

    ServerSettings settings_;
    bool socketsReady_ = false;
    net::SocketHandle listenSocket_ = net::kInvalidSocket;
    net::SocketHandle udpSocket_ = net::kInvalidSocket;
    net::SocketHandle masterSocket_ = net::kInvalidSocket;
    FailureStreak masterLookups_;
    // Set under Agones (AGONES_SDK_HTTP_PORT) once the server has started.
    std::optional<AgonesSdk> agones_;
    ConnectionTable clients_;
    std::vector<StartCountdown> startCountdowns_;
    std::vector<RoomKey> startedStageRooms_;
    std::vector<ProxyPlayer> proxies_;
    std::vector<ActiveHubRoom> activeHubRooms_;
    PiboStore piboStore_;
    // Present creatures by room, so room changes and garden snapshots cost the room only.
    PiboPresence piboPresence_;
    ProfileStore profileStore_;
    uint32_t nextPlayerId_ = 1;
    uint32_t nextSequence_ = 1;
    CompletedSave completedSave_;
    std::atomic<bool> stopRequested_{false};
    uint64_t startTime_ = 0;
    uint64_t lastMetricsTime_ = 0;
    uint64_t lastAdvertiseTime_ = 0;
    bool storesLoaded_ = false;
    bool shutDown_ = false;
    std::string startFailure_;
    bool finalSaveFailed_ = false;
    bool storeOpenFailed_ = false;

    // Where progress is kept, as the handlers see it (store/player_store.h);
    // beside it, what the loop and the lifecycle drive: the shared store when
    // profiles and Pibo live in a database, the files otherwise (one of the two
    // is null). Whether replies wait for commits; the database's socket as the
    // poller watches it; keys whose Hello waits for the store; the frames built
    // while the current message was handled (bytes, each frame's place and
    // recipients); the connections with held replies; player lines waiting for
    // the change they report.
    std::unique_ptr<PlayerStore> store_;
    SharedStore* sharedStore_ = nullptr;
    FilePlayerStore* fileStore_ = nullptr;
    bool repliesWaitForCommit_ = false;
    int watchedStoreSocket_ = -1;
    bool watchedStoreWrite_ = false;
    std::unordered_map<ProfileKey, uint32_t, ProfileKeyHash> awaitingStore_;
    bool sessionAnsweredAtOnce_ = false;
    bool trackingReplies_ = false;
    struct StagedFrame {
        size_t offset = 0, length = 0, firstRecipient = 0, recipients = 0;
    };
    std::vector<uint8_t> stagedBytes_;
    std::vector<StagedFrame> stagedFrames_;
    std::vector<uint32_t> stagedRecipients_;
    std::vector<uint32_t> heldConnections_;
    std::deque<std::pair<uint64_t, std::string>> heldEventLines_;
    // After settings_, whose paths they name.
    SaveReport profileSaveReport_{"profile store", settings_.profileStorePath};
    SaveReport piboSaveReport_{"Pibo store", settings_.piboStorePath};
    SaveReport metricsSaveReport_{"metrics file", settings_.metricsPath};
    SaveReport prometheusSaveReport_{"Prometheus metrics file", settings_.prometheusPath};
    TrafficCounters traffic_;
    // Clients the descriptor limit lets us hold; maxClients unless it is too low.
    uint32_t clientCapacity_ = settings_.maxClients;
    uint64_t acceptRestUntilNs_ = 0;
    bool acceptExhaustionReported_ = false;

    // The operator console: open until standard input ends.
    bool consoleOpen_ = false;
    ConsoleLineReader consoleReader_;
    std::vector<ConsoleInputLine> consoleLines_;
    std::vector<net::SocketHandle> closeAfterNotice_;
    std::string* commandReply_ = nullptr;
    RconState rcon_;

    // The ban list as last read or written, and its file.
    BanList banList_;
    ListFile banFile_{settings_.banListPath, {"ban list", "ban", "bans"}, ListEntries::KeysAndAddresses};
    // When a refused address was last reported, so a reconnect loop prints a
    // line a minute at most.
    std::unordered_map<net::IpAddress, uint64_t, net::IpAddressHash> refusalReports_;
    // The allow list as last read or written, its file, and the log-ons it refused.
    BanList allowList_;
    ListFile allowFile_{settings_.allowListPath, {"allow list", "allowed key", "allowed keys"},
                        ListEntries::KeysOnly};

    // Indexes over clients_, kept in step with it: authenticated members by room,
    // every connection by player id, authenticated connections by profile key,
    // and connections still owing their Hello, in accept order.
    std::unordered_map<RoomKey, Members, RoomKeyHash> rooms_;
    PlayerIndex<ClientConnection> byPlayerId_;
    std::unordered_map<ProfileKey, ClientConnection*, ProfileKeyHash> byProfileKey_;
    std::deque<std::pair<uint64_t, net::SocketHandle>> pendingHandshakes_;

    // The watched sockets, and the scratch of one pass (kept between passes so
    // a pass does not allocate once the server is warm).
    net::Poller poller_;
    uint16_t listenerEvents_ = 0;
    FailureStreak failedWaits_;
    FailureStreak listenerWatchFailures_;
    FailureStreak storeWatchFailures_;
    bool consoleWatched_ = false;
    uint64_t passNumber_ = 0;
    std::vector<net::ReadyEvent> readyConnections_;
    // Each ready connection as found in the read phase (null when gone), and
    // whether it is still fine; valid until the pass's closes.
    struct ServedConnection {
        ClientConnection* connection = nullptr;
        bool ok = true;
    };
    std::vector<ServedConnection> served_;
    std::vector<net::SocketHandle> closingList_;
    std::vector<net::DatagramSend> udpBatch_;
    // Connections with bytes queued since their last write, by player id; and
    // connections whose queue overflowed, closed in a pass that reads nothing.
    std::vector<uint32_t> pendingWrites_;
    std::vector<uint32_t> overflowed_;

    // Server queries: their socket, whether the pass found it ready, the
    // challenges, the replies each address may still get, replies sent.
    net::SocketHandle querySocket_ = net::kInvalidSocket;
    bool queryReady_ = false;
    QueryChallenges queryChallenges_;
    QueryRateLimit queryRateLimit_;
    // Memory held by every send queue, against settings_.sendBudgetMiB.
    uint64_t queuedMemory_ = 0;
    std::unordered_map<net::IpAddress, uint32_t, net::IpAddressHash> connectionsByAddress_;
};

// Binds (and for a stream socket listens on) the first address of `bindAddress`
// that works, non-blocking; on failure `failure` names the step, the address
// and the system's reason.
net::SocketHandle openBoundSocket(const std::string& bindAddress, uint16_t port, net::SocketType type,
                                  std::string& failure);

// The running server, for the stop signal handler; null outside run().
extern std::atomic<GameServer*> activeServer;

}  // namespace karst
