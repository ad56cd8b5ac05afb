// Standard input on POSIX: polled by the event loop like a socket.
#include "net/console_input.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace karst::net {

bool openConsoleInput() {
    // A background job that reads its terminal is stopped by SIGTTIN; ignored,
    // the read fails instead and the console is simply off.
    std::signal(SIGTTIN, SIG_IGN);
    return true;
}

SocketHandle consoleInputPollHandle() { return static_cast<SocketHandle>(STDIN_FILENO); }

IoResult readConsoleInput(std::span<uint8_t> buffer) {
    ssize_t n;
    do {
        n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    IoResult r;
    if (n < 0) {
        r.status = errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::WouldBlock : IoStatus::Failed;
        return r;
    }
    r.status = n == 0 ? IoStatus::Closed : IoStatus::Ok;
    r.bytes = static_cast<size_t>(n);
    return r;
}

}  // namespace karst::net
