// What the client tools' command lines share: "--name value" pairs matched
// exactly (no abbreviations, no "--name=value"), a repeated option taking its
// last value; plain decimal numbers within inclusive bounds, refused with a
// message naming the option; and loopback hosts only, since the tools exist to
// drive a server on this machine, never somebody else's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace karst::tools {

// Plain decimal digits only: no sign, no spaces, no hex, no trailing bytes.
std::optional<uint64_t> parseDecimal(std::string_view text);
// The refusal text for a number outside [low, high] or not a number at all.
std::string rangeError(std::string_view name, uint64_t low, uint64_t high);
// 127.0.0.1, ::1 and localhost, spelled exactly so.
bool isLoopbackHost(std::string_view host);
// The address literal to connect to: localhost is taken as 127.0.0.1 rather
// than whatever the resolver maps it to, so the loopback promise holds.
std::string loopbackAddress(std::string_view host);
// A loopback TCP port nothing is bound to at this moment (0 if none was found).
uint16_t freeLoopbackPort(std::string_view host = "127.0.0.1");

template <class Options>
struct OptionSpec {
    std::string_view name;
    bool takesValue = true;
    // The refusal text, or empty when the value was taken.
    std::function<std::string(Options&, std::string_view)> set;
};

template <class Options>
struct ParsedOptions {
    std::optional<Options> options;  // set when the command line is valid
    bool helpRequested = false;
    std::string error;               // set when it is not
};

// An option that stores a number within [low, high] into `field`.
template <class Options, class T>
OptionSpec<Options> boundedOption(std::string_view name, uint64_t low, uint64_t high,
                                  T Options::*field) {
    return {name, true, [=](Options& o, std::string_view text) {
                const std::optional<uint64_t> value = parseDecimal(text);
                if (!value || *value < low || *value > high) return rangeError(name, low, high);
                o.*field = static_cast<T>(*value);
                return std::string();
            }};
}

// An option that takes a loopback host; `why` ends the refusal.
template <class Options>
OptionSpec<Options> loopbackHostOption(std::string_view why) {
    return {"--host", true, [=](Options& o, std::string_view host) {
                if (!isLoopbackHost(host))
                    return "--host must be 127.0.0.1, ::1 or localhost: " + std::string(why);
                o.host = std::string(host);
                return std::string();
            }};
}

// Reads every option in `table`; --help or -h anywhere before a refusal wins.
template <class Options>
ParsedOptions<Options> parseOptions(std::span<const std::string> args,
                                    std::span<const OptionSpec<Options>> table) {
    ParsedOptions<Options> outcome;
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            outcome.helpRequested = true;
            return outcome;
        }
        const OptionSpec<Options>* spec = nullptr;
        for (const OptionSpec<Options>& candidate : table)
            if (candidate.name == arg) spec = &candidate;
        if (spec == nullptr) outcome.error = "Unknown option " + arg + " (see --help).";
        else if (spec->takesValue && i + 1 >= args.size()) outcome.error = arg + " needs a value.";
        else outcome.error = spec->set(options, spec->takesValue ? args[++i] : std::string());
        if (!outcome.error.empty()) return outcome;
    }
    outcome.options = options;
    return outcome;
}

}  // namespace karst::tools
