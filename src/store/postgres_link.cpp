// The non-blocking PostgreSQL connection. libpq's pipeline mode lets a unit's
// statements and its synchronisation point leave at once; the server runs
// everything before a synchronisation point as one implicit transaction, so a
// unit commits or rolls back whole, and units settle in the order they were sent.
#include "store/postgres_link.h"

#include <chrono>
#include <thread>

namespace karst {

namespace {

std::string trimmed(const char* text) {
    std::string s = libpqMessageLine(text);
    return s.empty() ? "connection lost" : s;
}

// The server's notices ("relation already exists, skipping" and the like) are
// not the operator's business; errors still arrive as results.
void ignoreNotice(void*, const char*) {}

// SQLSTATE class 40, transaction rollback: deadlocks and serialisation failures.
bool isTransientFailure(const PGresult* result) {
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    return state != nullptr && state[0] == '4' && state[1] == '0';
}

}  // namespace

std::string libpqMessageLine(const char* text) {
    std::string line;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (*p != '\n' && *p != '\r' && *p != '\t' && *p != ' ') line.push_back(*p);
        else if (!line.empty() && line.back() != ' ') line.push_back(' ');
    }
    if (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

SqlParam sqlBytes(const uint8_t* data, size_t size) {
    return {std::string(reinterpret_cast<const char*>(data), size), true};
}

SqlParam sqlInt64(int64_t value) {
    std::string bytes(8, '\0');
    const auto bits = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
    return {std::move(bytes), true};
}

SqlParam sqlText(std::string text) { return {std::move(text), false}; }

int64_t sqlInt64At(const PGresult* result, int row, int column) {
    const std::string_view bytes = sqlBytesAt(result, row, column);
    if (bytes.size() != 8) return 0;
    uint64_t bits = 0;
    for (char c : bytes) bits = (bits << 8) | static_cast<uint8_t>(c);
    return static_cast<int64_t>(bits);
}

std::string_view sqlBytesAt(const PGresult* result, int row, int column) {
    return {PQgetvalue(result, row, column), static_cast<size_t>(PQgetlength(result, row, column))};
}

PostgresLink::~PostgresLink() { close(); }

bool PostgresLink::connectBlocking(const std::string& url,
                                   const std::function<bool(PGconn*, std::string&)>& setup,
                                   std::string& error) {
    close();
    url_ = url;
    host_.clear();
    hostAddress_.clear();
    conn_ = startConnection(true);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
        error = trimmed(conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory");
        close();
        return false;
    }
    PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);
    if (const char* address = PQhostaddr(conn_); address != nullptr && *address != '\0') {
        hostAddress_ = address;
        host_ = PQhost(conn_);
        port_ = PQport(conn_);
    }
    if (!setup(conn_, error) || !enterPipeline()) {
        if (error.empty()) error = trimmed(PQerrorMessage(conn_));
        close();
        return false;
    }
    return true;
}

// The operator's URL comes after the keepalive defaults, so what it says wins;
// the host start-up reached comes after the URL, pinned to its address, so a
// reconnection never waits for a name lookup on the loop.
PGconn* PostgresLink::startConnection(bool blocking) const {
    const std::string idle = std::to_string(keepaliveIdleSeconds_);
    std::vector<const char*> keywords, values;
    if (keepaliveIdleSeconds_ != 0) {
        for (const auto& [keyword, value] : {std::pair{"keepalives", "1"}, std::pair{"keepalives_idle", idle.c_str()},
                                             std::pair{"keepalives_interval", "1"},
                                             std::pair{"keepalives_count", "3"}}) {
            keywords.push_back(keyword);
            values.push_back(value);
        }
    }
    keywords.push_back("dbname");
    values.push_back(url_.c_str());
    if (!hostAddress_.empty()) {
        for (const auto& [keyword, value] : {std::pair{"host", host_.c_str()}, std::pair{"hostaddr", hostAddress_.c_str()},
                                             std::pair{"port", port_.c_str()}}) {
            keywords.push_back(keyword);
            values.push_back(value);
        }
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    return blocking ? PQconnectdbParams(keywords.data(), values.data(), 1)
                    : PQconnectStartParams(keywords.data(), values.data(), 1);
}

void PostgresLink::startConnect() {
    close();
    conn_ = startConnection(false);
    if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD) {
        lastError_ = trimmed(conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory");
        close();
        return;
    }
    PQsetNoticeProcessor(conn_, ignoreNotice, nullptr);
    state_ = State::Connecting;
    connectPoll_ = PGRES_POLLING_WRITING;
}

bool PostgresLink::enterPipeline() {
    if (PQsetnonblocking(conn_, 1) != 0 || PQenterPipelineMode(conn_) != 1) return false;
    state_ = State::Up;
    flushPending_ = false;
    return true;
}

int PostgresLink::socket() const { return conn_ != nullptr ? PQsocket(conn_) : -1; }

bool PostgresLink::wantsWrite() const {
    if (state_ == State::Connecting) return connectPoll_ == PGRES_POLLING_WRITING;
    return state_ == State::Up && flushPending_;
}

void PostgresLink::continueConnect() {
    connectPoll_ = PQconnectPoll(conn_);
    if (connectPoll_ == PGRES_POLLING_OK) {
        if (!enterPipeline()) fail(trimmed(PQerrorMessage(conn_)));
    } else if (connectPoll_ == PGRES_POLLING_FAILED) {
        lastError_ = trimmed(PQerrorMessage(conn_));
        close();
    }
}

void PostgresLink::service() {
    if (state_ == State::Connecting) {
        continueConnect();
        return;
    }
    if (state_ != State::Up) return;
    if (flushPending_) {
        const int flushed = PQflush(conn_);
        if (flushed < 0) return fail(trimmed(PQerrorMessage(conn_)));
        flushPending_ = flushed == 1;
    }
    if (PQconsumeInput(conn_) == 0) return fail(trimmed(PQerrorMessage(conn_)));
    readResults();
    if (state_ == State::Up && PQstatus(conn_) == CONNECTION_BAD) fail(trimmed(PQerrorMessage(conn_)));
}

void PostgresLink::readResults() {
    int emptyInARow = 0;
    while (state_ == State::Up && !inFlight_.empty() && !PQisBusy(conn_)) {
        PGresult* result = PQgetResult(conn_);
        if (result == nullptr) {
            // One ends each statement's results; two in a row mean nothing more is here yet.
            if (++emptyInARow == 2) break;
            continue;
        }
        emptyInARow = 0;
        takeResult(result);
    }
}

void PostgresLink::takeResult(PGresult* result) {
    Unit& unit = inFlight_.front();
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_PIPELINE_SYNC) {
        PQclear(result);
        settleFront();
        return;
    }
    if (status == PGRES_FATAL_ERROR && unit.outcome.error.empty()) {
        unit.outcome.error = trimmed(PQresultErrorMessage(result));
        unit.outcome.transient = isTransientFailure(result);
    }
    if (status == PGRES_FATAL_ERROR || status == PGRES_PIPELINE_ABORTED) unit.outcome.committed = false;
    if (unit.outcome.results.size() < unit.statements)
        unit.outcome.results.push_back(result);
    else
        PQclear(result);
}

void PostgresLink::settleFront() {
    Unit unit = std::move(inFlight_.front());
    inFlight_.pop_front();
    if (unit.outcome.error.empty() && unit.outcome.results.size() == unit.statements)
        unit.outcome.committed = true;
    settledUnit_ = unit.number;
    if (unit.done) unit.done(unit.outcome);
    for (PGresult* r : unit.outcome.results) PQclear(r);
}

void PostgresLink::enforceDeadline(uint64_t nowNs, uint64_t limitNs) {
    if (state_ != State::Up || inFlight_.empty()) return;
    if (static_cast<int64_t>(nowNs - inFlight_.front().sentNs) <= static_cast<int64_t>(limitNs)) return;
    fail("no answer from the database in " + std::to_string(limitNs / 1'000'000) + " ms");
}

uint64_t PostgresLink::submit(std::vector<SqlStatement> statements, SqlCompletion done, uint64_t nowNs) {
    Unit unit;
    unit.number = nextUnit_++;
    unit.sentNs = nowNs;
    unit.statements = statements.size();
    unit.done = std::move(done);
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    bool sent = state_ == State::Up;
    for (const SqlStatement& statement : statements) {
        if (!sent) break;
        values.clear();
        lengths.clear();
        formats.clear();
        for (const SqlParam& p : statement.params) {
            values.push_back(p.bytes.data());
            lengths.push_back(static_cast<int>(p.bytes.size()));
            formats.push_back(p.binary ? 1 : 0);
        }
        sent = PQsendQueryParams(conn_, statement.sql, static_cast<int>(values.size()), nullptr,
                                 values.data(), lengths.data(), formats.data(), 1) == 1;
    }
    if (sent) sent = PQpipelineSync(conn_) == 1;
    inFlight_.push_back(std::move(unit));
    if (!sent) {
        fail(trimmed(conn_ != nullptr ? PQerrorMessage(conn_) : "not connected"));
        return nextUnit_ - 1;
    }
    const int flushed = PQflush(conn_);
    if (flushed < 0) fail(trimmed(PQerrorMessage(conn_)));
    else flushPending_ = flushed == 1;
    return nextUnit_ - 1;
}

void PostgresLink::fail(const std::string& why) {
    lastError_ = why;
    std::deque<Unit> lost;
    lost.swap(inFlight_);
    close();
    for (Unit& unit : lost) {
        unit.outcome.committed = false;
        unit.outcome.connectionLost = true;
        if (unit.outcome.error.empty()) unit.outcome.error = why;
        settledUnit_ = unit.number;
        if (unit.done) unit.done(unit.outcome);
        for (PGresult* r : unit.outcome.results) PQclear(r);
    }
}

bool PostgresLink::drain(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!inFlight_.empty() && state_ == State::Up) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        service();
        if (!inFlight_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return inFlight_.empty();
}

void PostgresLink::close() {
    if (conn_ != nullptr && socketClosing_ && PQsocket(conn_) >= 0) socketClosing_(PQsocket(conn_));
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
    state_ = State::Down;
    flushPending_ = false;
}

}  // namespace karst
