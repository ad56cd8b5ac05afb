// One connection to PostgreSQL that never blocks the loop: libpq in non-blocking
// pipeline mode, its socket watched by the event loop. Work is sent in units: a
// unit's statements run as one transaction (they end at one synchronisation
// point) and its completion runs once the server has answered all of them.
//
// Only start-up may block (connectBlocking); everything after it is driven by
// service() from the loop.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <libpq-fe.h>

namespace karst {

struct SqlParam {
    std::string bytes;
    bool binary = true;
};

SqlParam sqlBytes(const uint8_t* data, size_t size);
SqlParam sqlInt64(int64_t value);  // binary int8: big-endian on the wire
SqlParam sqlText(std::string text);

struct SqlStatement {
    const char* sql = nullptr;
    std::vector<SqlParam> params;
};

// Results are asked for in binary, so a bytea column arrives as its bytes and an
// int8 as eight big-endian bytes.
int64_t sqlInt64At(const PGresult* result, int row, int column);
std::string_view sqlBytesAt(const PGresult* result, int row, int column);

// libpq's messages end with a line feed and may run over several lines; the
// console prints each warning as one line.
std::string libpqMessageLine(const char* text);

struct SqlOutcome {
    bool committed = false;
    bool connectionLost = false;  // the link went down before the unit settled
    // Rolled back by the database for a reason that passes (a deadlock, a
    // serialisation failure): the same unit may simply be sent again.
    bool transient = false;
    std::string error;
    std::vector<PGresult*> results;  // one per statement, in order; owned by the link
};

using SqlCompletion = std::function<void(const SqlOutcome&)>;

class PostgresLink {
public:
    enum class State { Down, Connecting, Up };

    PostgresLink() = default;
    ~PostgresLink();
    PostgresLink(const PostgresLink&) = delete;
    PostgresLink& operator=(const PostgresLink&) = delete;

    // Start-up only: connects and waits, then runs `setup` on the blocking
    // connection (the schema) before turning to pipeline mode. The address it
    // reached is kept, so that reconnections never wait on name resolution.
    bool connectBlocking(const std::string& url, const std::function<bool(PGconn*, std::string&)>& setup,
                         std::string& error);
    // A new attempt without waiting; service() carries it on.
    void startConnect();
    // TCP keepalive on every connection from now on: a peer that vanished is
    // noticed within about `idleSeconds` plus three probes a second apart.
    void setKeepalive(uint32_t idleSeconds) { keepaliveIdleSeconds_ = idleSeconds; }

    State state() const { return state_; }
    int socket() const;
    bool wantsWrite() const;
    const std::string& lastError() const { return lastError_; }

    // Sends what is queued, reads what arrived, runs completions. A lost
    // connection settles every unit in flight as lost and leaves the link Down.
    void service();
    // A unit unanswered for longer than `limitNs` since it was sent means the
    // path to the database is gone, even if the connection looks open: the link
    // fails as on a lost connection.
    void enforceDeadline(uint64_t nowNs, uint64_t limitNs);
    // Only while Up. Returns the unit's number (they count up from 1).
    // `nowNs` stamps the unit for its deadline.
    uint64_t submit(std::vector<SqlStatement> statements, SqlCompletion done, uint64_t nowNs);
    size_t unitsInFlight() const { return inFlight_.size(); }
    // The last unit submitted, and the last whose completion has run (units
    // settle in the order they were submitted).
    uint64_t lastUnit() const { return nextUnit_ - 1; }
    uint64_t settledUnit() const { return settledUnit_; }

    // Runs just before the socket is closed, so the loop stops watching it
    // before its number can be given to another socket.
    void setSocketClosing(std::function<void(int)> closing) { socketClosing_ = std::move(closing); }

    // Shutdown: waits up to `timeoutMs` for every unit in flight to settle.
    bool drain(int timeoutMs);
    // Settles every unit in flight as lost and closes.
    void abandon(const std::string& why) { fail(why); }
    void close();

private:
    struct Unit {
        uint64_t number = 0;
        uint64_t sentNs = 0;
        size_t statements = 0;
        SqlCompletion done;
        SqlOutcome outcome;
    };

    PGconn* startConnection(bool blocking) const;
    bool enterPipeline();
    void continueConnect();
    void readResults();
    void takeResult(PGresult* result);
    void settleFront();
    void fail(const std::string& why);

    std::function<void(int)> socketClosing_;
    PGconn* conn_ = nullptr;
    State state_ = State::Down;
    PostgresPollingStatusType connectPoll_ = PGRES_POLLING_WRITING;
    std::string url_;
    // Where start-up reached the database: host name, its address and port;
    // empty for a Unix socket, where there is nothing to resolve.
    std::string host_, hostAddress_, port_;
    uint32_t keepaliveIdleSeconds_ = 0;
    std::string lastError_;
    bool flushPending_ = false;
    uint64_t nextUnit_ = 1;
    uint64_t settledUnit_ = 0;
    std::deque<Unit> inFlight_;
};

}  // namespace karst
