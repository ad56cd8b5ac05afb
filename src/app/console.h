// Console output: the start-up report and player events on standard output,
// warnings and errors on standard error. Every line is flushed as it is written,
// so an operator piping the server into a log or a supervisor sees it at once.
#pragma once

#include <functional>
#include <string_view>

namespace karst {

void printLine(std::string_view line);
void printError(std::string_view line);

// Tests see every line as it is printed, on the printing thread, after it was
// written; an empty function removes the observer.
void setConsoleObserverForTesting(std::function<void(bool error, std::string_view line)> observer);

}  // namespace karst
