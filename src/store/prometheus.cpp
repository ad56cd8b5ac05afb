#include "store/prometheus.h"

#include "net/protocol.h"

namespace karst {

namespace {

class Exposition {
public:
    void family(std::string_view name, std::string_view type, std::string_view help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    void sample(std::string_view name, std::string_view value, std::string_view labels = {}) {
        out_ += name;
        if (!labels.empty()) {
            out_ += '{';
            out_ += labels;
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    void gauge(std::string_view name, uint64_t value, std::string_view help) {
        family(name, "gauge", help);
        sample(name, std::to_string(value));
    }
    void counter(std::string_view name, uint64_t value, std::string_view help) {
        family(name, "counter", help);
        sample(name, std::to_string(value));
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// Milliseconds as decimal seconds, without the rounding of a floating-point print.
std::string secondsFromMs(int64_t ms) {
    const std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    return std::to_string(ms / 1000) + "." + fraction;
}

std::string storeLabel(std::string_view store) {
    return "store=\"" + std::string(store) + "\"";
}

}  // namespace

std::string formatPrometheus(const MetricsSnapshot& s, const TrafficCounters& t,
                             std::span<const StoreSaveCounts> stores) {
    Exposition e;
    e.gauge("karst_up", 1, "Whether the server is running (status \"ok\" of the JSON metrics).");
    e.gauge("karst_protocol_version", kProtocolVersion, "Protocol version of the frame header.");
    e.family("karst_uptime_seconds", "gauge", "Time since the server started.");
    e.sample("karst_uptime_seconds", secondsFromMs(s.uptimeMs < 0 ? 0 : s.uptimeMs));
    for (const SnapshotCount& count : kSnapshotCounts) e.gauge(count.gauge, s.*count.value, count.help);

    e.counter("karst_connections_accepted_total", t.connectionsAccepted,
              "TCP connections accepted since start.");
    e.counter("karst_connections_closed_total", t.connectionsClosed,
              "TCP connections closed since start, for any reason.");
    e.counter("karst_protocol_fault_closes_total", t.protocolFaultCloses,
              "TCP connections closed for a malformed frame or a refused message since start.");
    e.counter("karst_frames_received_total", t.framesReceived,
              "TCP frames received and dispatched since start.");
    e.counter("karst_frames_sent_total", t.framesSent,
              "TCP frames queued to players since start, one per recipient.");
    e.counter("karst_received_bytes_total", t.bytesReceived,
              "Bytes read from TCP connections since start.");
    e.counter("karst_sent_bytes_total", t.bytesSent, "Bytes written to TCP connections since start.");
    e.family("karst_movement_records_relayed_total", "counter",
             "Movement records relayed to a room since start, by the transport they came in on.");
    e.sample("karst_movement_records_relayed_total", std::to_string(t.movementRelayedTcp),
             "transport=\"tcp\"");
    e.sample("karst_movement_records_relayed_total", std::to_string(t.movementRelayedUdp),
             "transport=\"udp\"");
    e.counter("karst_queries_answered_total", t.queriesAnswered,
              "Server queries (A2S INFO and PLAYER) answered since start; challenges do not count.");
    e.counter("karst_rcon_logins_refused_total", t.rconLoginsRefused,
              "RCON logins refused since start: wrong passwords, and connections refused before login.");
    e.counter("karst_allow_list_refusals_total", t.allowListRefusals,
              "Log-ons refused since start because the allow list does not name their key.");
    e.family("karst_store_saves_total", "counter", "Attempts to save a store file since start.");
    for (const StoreSaveCounts& store : stores)
        e.sample("karst_store_saves_total", std::to_string(store.saves), storeLabel(store.store));
    e.family("karst_store_save_failures_total", "counter",
             "Attempts to save a store file that failed since start.");
    for (const StoreSaveCounts& store : stores)
        e.sample("karst_store_save_failures_total", std::to_string(store.failures),
                 storeLabel(store.store));
    return e.take();
}

}  // namespace karst
