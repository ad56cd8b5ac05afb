// Fuzz target: any bytes as operator input, both ways the server takes it: as
// standard input cut into console commands, and as the text of the ban file.
// Checks that lines stay within their limit, that every address, network and key
// read back from its own formatting is the same, and that a ban file rewritten by
// the server reads back to the same list.
#include <string>
#include <string_view>
#include <vector>

#include "app/ban_list.h"
#include "app/console_line.h"
#include "fuzz_support.h"

namespace karst::fuzz {
namespace {

void checkWord(const std::string& word) {
    if (const auto network = net::parseIpNetwork(word)) {
        const auto again = net::parseIpNetwork(net::formatIpNetwork(*network));
        if (!again || !(*again == *network)) fail("a network does not read back from its text");
        if (!net::networkContains(*network, network->base)) fail("a network does not hold its base");
    }
    if (const auto key = parseProfileKeyHex(word)) {
        if (parseProfileKeyHex(formatProfileKeyHex(*key)) != key) fail("a key does not read back");
    }
}

void checkConsole(std::span<const uint8_t> bytes) {
    ConsoleLineReader reader;
    std::vector<ConsoleInputLine> lines;
    // The first byte picks the piece size, as reads of a pipe would cut the stream.
    const size_t piece = bytes.empty() ? 1 : 1 + bytes[0] % 64;
    for (size_t at = 0; at < bytes.size(); at += piece)
        reader.feed(bytes.subspan(at, std::min(piece, bytes.size() - at)), lines);
    reader.finish(lines);
    for (const ConsoleInputLine& line : lines) {
        if (line.tooLong) continue;
        if (line.text.size() > kMaxConsoleLineLength || line.text.find('\n') != std::string::npos)
            fail("a console line passed over its limit or across a line feed");
        const ConsoleCommand command = parseConsoleCommand(line.text);
        if (command.args.size() != command.tails.size()) fail("arguments and tails disagree");
        for (size_t i = 0; i < command.args.size(); ++i) {
            if (command.tails[i].rfind(command.args[i], 0) != 0) fail("a tail does not start at its word");
            checkWord(command.args[i]);
        }
    }
}

void checkBanFile(std::string_view text) {
    const ParsedBanFile parsed = BanList::parse(text);
    const std::string written = parsed.list.serialize();
    const ParsedBanFile reread = BanList::parse(written);
    if (reread.list.size() != parsed.list.size() || reread.list.serialize() != written ||
        reread.invalidLines != parsed.invalidLines)
        fail("a rewritten ban file reads back differently");
    for (const Ban* ban : parsed.list.bans()) {
        const bool found = ban->kind == Ban::Kind::Key ? parsed.list.findKey(ban->key) != nullptr
                                                       : parsed.list.findAddress(ban->network.base) != nullptr;
        if (!found) fail("a ban in the list does not match what it bans");
    }
}

}  // namespace
}  // namespace karst::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    karst::fuzz::checkConsole({data, size});
    karst::fuzz::checkBanFile({reinterpret_cast<const char*>(data), size});
    return 0;
}
