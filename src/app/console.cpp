#include "app/console.h"

#include <cstdio>

namespace karst {

namespace {

std::function<void(bool, std::string_view)>& observer() {
    static std::function<void(bool, std::string_view)> instance;
    return instance;
}

void writeLine(std::FILE* stream, std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    if (observer()) observer()(stream == stderr, line);
}

}  // namespace

void printLine(std::string_view line) { writeLine(stdout, line); }

void printError(std::string_view line) { writeLine(stderr, line); }

void setConsoleObserverForTesting(std::function<void(bool error, std::string_view line)> o) {
    observer() = std::move(o);
}

}  // namespace karst
