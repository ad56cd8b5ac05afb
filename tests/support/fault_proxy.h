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
// - Hold: nothing passes either way, but nothing is lost either: what arrives
//   is kept in order and delivered when the mode returns to Forward. A side is
//   no longer read once kMaxWaitingBytes wait from it, so a held peer that
//   keeps writing fills its own socket buffers, not the test's memory. A
//   connection accepted while held opens its cluster connection at once; its
//   start-up bytes are held like any others.
#pragma once

#include <condition_variable>
#include <cstddef>
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

    // Bytes kept from one side before that side is no longer read.
    static constexpr size_t kMaxWaitingBytes = size_t{1} << 20;

    // Starts forwarding to the Unix socket at `socketPath` (the cluster's
    // `.s.PGSQL.<port>`); throws std::system_error when it cannot listen.
    explicit FaultProxy(std::string socketPath);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // The 127.0.0.1 port clients connect to.
    uint16_t port() const { return port_; }
    // Returns once the proxy thread has applied the mode: after Hold no further
    // byte passes.
    void setMode(Mode mode);

private:
    struct Pair;

    void poke();
    void serve();
    // Acts on the latest setMode; false once the destructor asks the loop to end.
    bool applyRequests();
    void acceptPending();

    const std::string socketPath_;
    int listener_ = -1;
    int wake_ = -1;  // an eventfd: setMode and the destructor poke the loop through it
    uint16_t port_ = 0;

    // Shared with the callers of setMode.
    std::mutex mutex_;
    std::condition_variable changed_;
    Mode requestedMode_ = Mode::Forward;
    uint64_t requests_ = 0;  // setMode calls so far
    uint64_t applied_ = 0;   // of those, the ones the loop has acted on
    bool stopping_ = false;

    // The loop's own; no lock needed.
    Mode mode_ = Mode::Forward;
    std::vector<std::unique_ptr<Pair>> pairs_;

    std::thread thread_;
};

}  // namespace karst::test
