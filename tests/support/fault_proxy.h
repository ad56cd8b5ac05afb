// A TCP-to-Unix-socket relay between a server under test and the throwaway
// database cluster, whose path a test can break on demand: it listens on
// 127.0.0.1 at an ephemeral port and gives every client connection its own
// connection to the cluster's socket, so the cluster sees a local client and
// trusts it as it trusts its other local connections.
//
// It serves on a thread of its own (one poll loop, woken through an eventfd)
// and stops, joins and closes everything in its destructor. Linux only, like
// the cluster it fronts.
//
// The modes:
// - Forward: bytes are copied both ways as they come; an end that closes its
//   sending half has that half closed on the other end once what it sent has
//   been delivered.
// - Hold: nothing passes either way, but nothing is lost either: neither side
//   is read, so what arrives waits in order in the kernel's socket buffers
//   (a held peer that keeps writing fills those, not the test's memory) and is
//   delivered when the mode returns to Forward. A connection accepted while
//   held opens its cluster connection at once; its start-up bytes wait too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace karst::test {

class FaultProxy {
public:
    enum class Mode { Forward, Hold };

    // Starts forwarding to the Unix socket at `socketPath` (the cluster's
    // `.s.PGSQL.<port>`); throws std::system_error when it cannot listen.
    explicit FaultProxy(std::string socketPath);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // The 127.0.0.1 port clients connect to.
    uint16_t port() const { return port_; }
    // Returns once the mode is in force: after Hold no further byte passes.
    void setMode(Mode mode);

private:
    struct Pair;

    void poke();
    void serve();
    void acceptPending();

    const std::string socketPath_;
    int listener_ = -1;
    int wake_ = -1;  // an eventfd: setMode and the destructor poke the loop through it
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};

    // The loop holds it while it moves bytes, so setMode waits out a pass
    // that began under the old mode.
    std::mutex mutex_;
    Mode mode_ = Mode::Forward;

    std::vector<std::unique_ptr<Pair>> pairs_;  // the loop's own
    std::thread thread_;
};

}  // namespace karst::test
