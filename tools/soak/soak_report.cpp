#include "soak/soak_report.h"

#include <cstdio>
#include <sstream>

namespace karst::soak {

namespace {

std::string fixed(double value, int decimals, const char* unit) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

std::string ms(uint64_t ns) { return fixed(static_cast<double>(ns) / 1e6, 1, "ms"); }
std::string sec(uint64_t ns) { return fixed(static_cast<double>(ns) / 1e9, 2, "s"); }

void writeIntruders(std::ostream& out, const SoakStats& s) {
    out << "malformed connections: " << s.malformedSent << " sent a bad frame, "
        << s.malformedClosed << " closed by the server, " << s.malformedUnverified
        << " unverified\n";
    out << "slow readers: " << s.slowReaders << " opened, " << s.slowReadersClosed
        << " disconnected by the server (" << s.slowReadersClosedWhileSending
        << " while still sending), " << s.slowReadersUnverified << " unverified ("
        << s.slowReaderFramesSent << " room changes sent, " << s.slowReaderBytesRead
        << " bytes read back once they drained)\n";
    out << "silent connections: " << s.silentOpened << " opened, " << s.silentClosed
        << " closed by the handshake deadline";
    if (s.silentClosed > 0)
        out << " (after " << sec(s.silentShortestNs) << " to " << sec(s.silentLongestNs) << ")";
    out << ", " << s.silentUnverified << " unverified\n";
}

void writeStores(std::ostream& out, const StoreCheck& c) {
    out << "profile store: " << (c.profileFileLoaded ? "loads" : "DOES NOT LOAD") << ", "
        << c.profilesInFile << " profiles; " << c.profilesChecked << " players checked ("
        << c.profilesUncertain << " with rings only)\n";
    out << "Pibo store: " << (c.piboFileLoaded ? "loads" : "DOES NOT LOAD") << ", "
        << c.piboInFile << " records; " << c.piboChecked << " registered Pibo, "
        << c.eggsChecked << " eggs, " << c.claimsChecked << " claims checked\n";
    out << "store mismatches: " << c.mismatches << "\n";
}

}  // namespace

bool soakPassed(const SoakWorld& world) { return world.errorCount() == 0; }

std::string formatSoakReport(const SoakReport& report, const SoakWorld& world) {
    const SoakStats& s = world.stats();
    std::ostringstream out;
    out << "duration: " << fixed(report.seconds, 1, "s") << "\n";
    out << "players: " << report.players << " (seed " << report.seed << ")\n";
    out << "messages sent by players: " << s.framesSent << "\n";
    out << "messages received by players: " << s.framesReceived << " (" << s.bytesReceived << " bytes)\n";
    out << "sessions: " << s.sessions << " (" << s.abruptDisconnects << " dropped by players, "
        << s.handshakeRetries << " Hello retried while the old session closed)\n";
    out << "players disconnected by the server: " << s.playersClosedByServer << "\n";
    out << "activity: " << s.moves << " moves, " << s.chats << " chat lines, " << s.purchases
        << " purchases, " << s.stageFinishes << " stage finishes, " << s.piboRegistered
        << " Pibo registrations, " << s.breeds << " breedings (" << s.breedRefusals
        << " refused), " << s.eggsClaimed << " eggs claimed\n";
    out << "pings answered: " << s.pingsAnswered << ", p50 " << ms(s.pingLatency.percentile(50))
        << ", p99 " << ms(s.pingLatency.percentile(99)) << ", max " << ms(s.pingLatency.max())
        << "; late (over " << world.options().pingBoundMs << " ms): " << s.pingsLate << "\n";
    writeIntruders(out, s);
    if (report.server.owned) {
        out << "server peak memory (VmHWM): " << report.server.peakMemoryKb << " KiB"
            << (report.server.pinned ? " (pinned with taskset)" : "") << "\n";
        out << "server resident memory: " << report.server.residentStartKb << " KiB after 5 s, "
            << report.server.residentEndKb << " KiB at the end\n";
        out << "server exit code after SIGINT: " << report.server.exitCode << "\n";
    }
    if (report.stores) writeStores(out, *report.stores);
    else out << "stores: not checked (the soak did not start the server)\n";
    out << "errors: " << world.errorCount() << "\n";
    for (const std::string& e : world.firstErrors()) out << "  " << e << "\n";
    if (world.errorCount() > world.firstErrors().size())
        out << "  ... and " << (world.errorCount() - world.firstErrors().size()) << " more\n";
    out << "RESULT: " << (soakPassed(world) ? "PASS" : "FAIL") << "\n";
    return out.str();
}

}  // namespace karst::soak
