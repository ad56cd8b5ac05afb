// A throwaway PostgreSQL cluster for tests: initdb in a fresh folder under /tmp,
// reachable only through a Unix socket in that folder (no TCP at all), trust
// authentication and no fsync, so that it starts in well under a second. Each
// test makes its own database on it.
//
// Commits stay synchronous: with fsync off a commit costs one write(), and it
// keeps what kill() must keep. A postgres killed after an asynchronous commit
// loses it, and an outage test would then see a committed change vanish.
//
// The server dies with the thread that started it (a parent-death signal), so
// a crashed test leaves no postgres behind: start() belongs on the test's main
// thread. PostgreSQL refuses to run as root: under root the cluster belongs to
// the `postgres` user.
#pragma once

#include <string>

#include "common/child_process.h"

namespace karst::test {

class TestDatabase {
public:
    // The PostgreSQL server programs (initdb, postgres) can be found.
    static bool available();
    // One cluster for the whole test binary, started on first use; nullptr, with
    // `error` set, when it cannot be started.
    static TestDatabase* shared(std::string& error);

    TestDatabase() = default;
    ~TestDatabase();  // stops the server, removes the folder
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    // First call: initdb in a fresh temporary folder; then the server is started
    // and waited for until it accepts connections. True at once when running.
    bool start(std::string& error);
    // Fast shutdown (sessions are ended, then a checkpoint); start() resumes with
    // the same data.
    void stop();
    // Immediate shutdown, as after a crash; start() resumes after recovery.
    void kill();
    // The server was started and has not stopped or died since.
    bool running();

    // A new empty database on this cluster and its libpq connection string; empty
    // on failure (a name already taken, the server stopped).
    std::string createDatabase(const std::string& name);
    // Runs SQL on a database (blocking libpq); false on error. `out` gets the
    // first column of every row, as text, one per line, when given.
    bool exec(const std::string& url, const std::string& sql, std::string* out = nullptr);

    // Stops every process of the cluster (true) or lets them go on (false): its
    // connections stay open and nothing answers, as when the path to it goes
    // silent, and what clients sent meanwhile waits in the sockets, not lost.
    // A test that freezes must thaw whatever happens, or the next one hangs.
    void freeze(bool frozen);

private:
    bool initCluster(std::string& error);
    std::string urlFor(const std::string& database) const;

    std::string folder_;
    unsigned port_ = 0;
    tools::ChildProcess server_;
};

}  // namespace karst::test
