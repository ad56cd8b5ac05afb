// Formatting of the progress line, the summary table and the JSON summary.
#include "bots/load_report.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace karst::bots {

namespace {

std::string format(const char* pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

std::string milliseconds(uint64_t ns) { return format("%.3f ms", static_cast<double>(ns) / 1e6); }

uint64_t lostRecords(const LoadSummary& s) {
    return s.received >= s.expected ? 0 : s.expected - s.received;
}

double deliveriesPerSecond(const LoadSummary& s) {
    return s.measuredSeconds > 0 ? static_cast<double>(s.delivered) / s.measuredSeconds : 0.0;
}

// Percentage of the expected records that arrived; negative when nothing was
// expected (a room of one), which reports show as "n/a".
double deliveryPercent(const LoadSummary& s) {
    if (s.expected == 0) return -1.0;
    return 100.0 * static_cast<double>(std::min(s.received, s.expected)) /
           static_cast<double>(s.expected);
}

std::string percentText(const LoadSummary& s) {
    const double percent = deliveryPercent(s);
    return percent < 0 ? "n/a (rooms of one)" : format("%.3f %%", percent);
}

const char* transportName(Transport t) { return t == Transport::Udp ? "udp" : "tcp"; }

void row(std::string& out, std::string_view label, const std::string& value) {
    out += format("  %-22.*s %s\n", static_cast<int>(label.size()), label.data(), value.c_str());
}

std::string count(uint64_t v) { return format("%llu", static_cast<unsigned long long>(v)); }

std::string both(uint64_t a, uint64_t b) { return count(a) + " / " + count(b); }

// JSON string contents; the only free text is the abort reason, which this
// program writes itself, but quotes and control bytes are escaped anyway.
std::string jsonEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) out += format("\\u%04x", c);
        else out += c;
    }
    return out;
}

}  // namespace

int exitCodeFor(const LoadSummary& s) {
    const bool everyBotSetUp = s.botsJoined == s.options.bots;
    return s.runCompleted && everyBotSetUp && s.closedDuringRun == 0 ? 0 : 1;
}

std::string formatSummaryTable(const LoadSummary& s) {
    const BotOptions& o = s.options;
    std::string out = "karst_bots summary\n";
    row(out, "transport", transportName(o.transport));
    row(out, "bots joined", format("%u of %u (connect failures %u, handshake failures %u, "
                                   "join refusals %u)", s.botsJoined, o.bots, s.connectFailures,
                                   s.handshakeFailures, s.joinRefusals));
    if (!s.firstRefusal.empty()) row(out, "first refusal", "\"" + s.firstRefusal + "\"");
    row(out, "rooms", format("%u of up to %u bots at level %d act %d", s.rooms, o.roomSize,
                             static_cast<int>(o.level), static_cast<int>(o.act)));
    row(out, "setup", format("%.1f s", s.setupSeconds));
    row(out, "movement", format("%u Hz for %u s, warm-up %u s, measured %.1f s", o.hz,
                                o.durationSeconds, o.warmupSeconds, s.measuredSeconds));
    row(out, "records sent", count(s.recordsSent));
    row(out, "deliveries/s", format("%.0f", deliveriesPerSecond(s)));
    row(out, "relay latency p50", milliseconds(s.latency.percentile(50)));
    row(out, "relay latency p99", milliseconds(s.latency.percentile(99)));
    row(out, "relay latency max", milliseconds(s.latency.max()));
    row(out, "records expected", count(s.expected));
    row(out, "records received", count(s.received));
    row(out, "records lost", count(lostRecords(s)));
    row(out, "delivery", percentText(s));
    // Rows that only matter when something happened, or was asked for.
    if (o.transport == Transport::Udp)
        row(out, "udp bound", format("%u of %u", s.udpBound, s.botsJoined));
    if (s.outOfOrder || s.misrouted)
        row(out, "out of order/misrouted", both(s.outOfOrder, s.misrouted));
    if (s.sendBacklogDrops) row(out, "not sent (server slow)", count(s.sendBacklogDrops));
    if (s.scheduleSlotsSkipped) row(out, "not sent (tool behind)", count(s.scheduleSlotsSkipped));
    if (o.chatPerMinute) row(out, "chat sent/received", both(s.chatSent, s.chatReceived));
    if (o.eventsPerSecond) row(out, "events sent/received", both(s.eventsSent, s.eventsReceived));
    if (s.noticesReceived) row(out, "notices received", count(s.noticesReceived));
    if (s.closedDuringRun) row(out, "closed during run", count(s.closedDuringRun));
    row(out, "result", s.runCompleted ? "completed" : "cut short: " + s.abortReason);
    return out;
}

std::string formatSummaryJson(const LoadSummary& s) {
    const BotOptions& o = s.options;
    const double percent = deliveryPercent(s);
    auto ms = [](uint64_t ns) { return format("%.3f", static_cast<double>(ns) / 1e6); };
    std::string out = "{\n";
    auto field = [&out](const char* name, const std::string& value, bool last = false) {
        out += format("  \"%s\": ", name) + value + (last ? "\n" : ",\n");
    };
    field("transport", format("\"%s\"", transportName(o.transport)));
    field("bots", count(o.bots));
    field("botsJoined", count(s.botsJoined));
    field("connectFailures", count(s.connectFailures));
    field("handshakeFailures", count(s.handshakeFailures));
    field("joinRefusals", count(s.joinRefusals));
    field("firstRefusal", "\"" + jsonEscaped(s.firstRefusal) + "\"");
    field("rooms", count(s.rooms));
    field("roomSize", count(o.roomSize));
    field("level", format("%d", static_cast<int>(o.level)));
    field("act", format("%d", static_cast<int>(o.act)));
    field("hz", count(o.hz));
    field("durationSeconds", count(o.durationSeconds));
    field("warmupSeconds", count(o.warmupSeconds));
    field("setupSeconds", format("%.3f", s.setupSeconds));
    field("measuredSeconds", format("%.3f", s.measuredSeconds));
    field("recordsSent", count(s.recordsSent));
    field("countedRecords", count(s.countedRecords));
    field("deliveriesPerSecond", format("%.1f", deliveriesPerSecond(s)));
    field("latencyP50Ms", ms(s.latency.percentile(50)));
    field("latencyP99Ms", ms(s.latency.percentile(99)));
    field("latencyMaxMs", ms(s.latency.max()));
    field("latencyMeanMs", format("%.3f", s.latency.meanNs() / 1e6));
    field("recordsExpected", count(s.expected));
    field("recordsReceived", count(s.received));
    field("recordsLost", count(lostRecords(s)));
    field("deliveryPercent", percent < 0 ? std::string("null") : format("%.3f", percent));
    field("delivered", count(s.delivered));
    field("outOfOrder", count(s.outOfOrder));
    field("misrouted", count(s.misrouted));
    field("udpBound", count(s.udpBound));
    field("sendBacklogDrops", count(s.sendBacklogDrops));
    field("scheduleSlotsSkipped", count(s.scheduleSlotsSkipped));
    field("chatSent", count(s.chatSent));
    field("chatReceived", count(s.chatReceived));
    field("eventsSent", count(s.eventsSent));
    field("eventsReceived", count(s.eventsReceived));
    field("noticesReceived", count(s.noticesReceived));
    field("closedDuringRun", count(s.closedDuringRun));
    field("completed", s.runCompleted ? "true" : "false");
    field("abortReason", "\"" + jsonEscaped(s.abortReason) + "\"", true);
    out += "}\n";
    return out;
}

std::string formatProgressLine(const ProgressSample& p) {
    const std::string p99 = p.p99Ns == 0 ? std::string("-") : milliseconds(p.p99Ns);
    return format("[%7.1f s] %-7s bots %u/%u  sent/s %llu  delivered/s %llu  p99 %s",
                  p.elapsedSeconds, p.phase, p.connectedBots, p.totalBots,
                  static_cast<unsigned long long>(p.sentLastSecond),
                  static_cast<unsigned long long>(p.deliveredLastSecond), p99.c_str());
}

}  // namespace karst::bots
