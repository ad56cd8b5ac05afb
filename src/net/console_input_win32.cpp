// Standard input on Windows: a reader thread blocks on it and hands the bytes to
// the event loop through a locked buffer, since WSAPoll waits on sockets only.
#include "net/console_input.h"

#include "net/win32_api.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace karst::net {

namespace {

constexpr DWORD kReadChunk = 4096;
// The loop takes bytes every pass; a writer far ahead of it waits here instead of
// growing the buffer without bound.
constexpr size_t kMaxBufferedBytes = 64 * 1024;

struct ConsoleBuffer {
    std::mutex mutex;
    std::vector<uint8_t> bytes;
    bool ended = false;
    bool failed = false;
};

ConsoleBuffer& consoleBuffer() {
    // Never destroyed: the detached reader may still hold it while the process ends.
    static ConsoleBuffer* buffer = new ConsoleBuffer;
    return *buffer;
}

void readerThread(HANDLE input) {
    ConsoleBuffer& shared = consoleBuffer();
    std::vector<uint8_t> chunk(kReadChunk);
    for (;;) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(shared.mutex);
                if (shared.bytes.size() < kMaxBufferedBytes) break;
            }
            Sleep(10);
        }
        DWORD got = 0;
        const BOOL ok = ReadFile(input, chunk.data(), kReadChunk, &got, nullptr);
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (!ok || got == 0) {
            // A closed pipe reads as an error, an ended file or console as 0 bytes.
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            shared.failed = !ok && error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF;
            shared.ended = true;
            return;
        }
        shared.bytes.insert(shared.bytes.end(), chunk.begin(), chunk.begin() + got);
    }
}

}  // namespace

bool openConsoleInput() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
    std::thread(readerThread, input).detach();
    return true;
}

SocketHandle consoleInputPollHandle() { return kInvalidSocket; }

IoResult readConsoleInput(std::span<uint8_t> buffer) {
    ConsoleBuffer& shared = consoleBuffer();
    std::lock_guard<std::mutex> lock(shared.mutex);
    IoResult r;
    if (shared.bytes.empty()) {
        r.status = !shared.ended ? IoStatus::WouldBlock : shared.failed ? IoStatus::Failed : IoStatus::Closed;
        return r;
    }
    r.bytes = std::min(buffer.size(), shared.bytes.size());
    std::memcpy(buffer.data(), shared.bytes.data(), r.bytes);
    shared.bytes.erase(shared.bytes.begin(), shared.bytes.begin() + static_cast<std::ptrdiff_t>(r.bytes));
    r.status = IoStatus::Ok;
    return r;
}

}  // namespace karst::net
