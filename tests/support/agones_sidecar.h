// A stand-in for the Agones SDK sidecar's REST interface, written from Agones's
// public REST reference (POST /ready, /health, /shutdown with a JSON body,
// answered 200 with "{}"): a loopback listener on a thread of its own that
// records each request and answers as the test says.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"

namespace karst::testing {

class AgonesSidecar {
public:
    enum class Answer { Ok, ServerError, Silence };
    struct Request {
        std::string path;  // "/ready", ...
        std::string text;  // the whole request, headers and body
    };

    // Listens on `port` (0: a free one).
    explicit AgonesSidecar(uint16_t port = 0);
    ~AgonesSidecar();
    AgonesSidecar(const AgonesSidecar&) = delete;
    AgonesSidecar& operator=(const AgonesSidecar&) = delete;

    uint16_t port() const { return port_; }
    void answer(Answer answer) { answer_ = answer; }
    // Called on the sidecar's thread as each request arrives, before its answer.
    void onRequest(std::function<void(const Request&)> hook);
    size_t count(const std::string& path) const;
    std::vector<Request> requests() const;
    // Waits up to ten seconds until `path` has been asked `times` times.
    bool await(const std::string& path, size_t times = 1) const;

private:
    void serve();
    void take(net::SocketHandle connection);

    net::SocketHandle listener_ = net::kInvalidSocket;
    uint16_t port_ = 0;
    std::atomic<Answer> answer_{Answer::Ok};
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::vector<net::SocketHandle> silenced_;
    std::function<void(const Request&)> hook_;
    std::thread thread_;
};

}  // namespace karst::testing
