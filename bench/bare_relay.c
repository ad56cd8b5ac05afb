/* The yardstick for the relay benchmarks: the least a relay of this protocol
 * must do, with none of the server's rules. One epoll loop, level-triggered;
 * a Hello gets a Welcome, a JoinRoom puts the connection in that room and gets
 * a RoomStatus, a Ping gets its Pong, and a PlayerState is stamped with the
 * sender's id and queued to everyone else in the sender's room. Everything
 * else is read and ignored.
 *
 * Per pass it makes at most one recv per ready socket (a read that did not
 * fill the buffer found everything there was) and one send per connection with
 * queued bytes. No gate, no stores, no checks beyond what framing needs: a
 * malformed stream just closes. With --gate-ms N a PlayerState that comes less
 * than N ms after the last one relayed for its sender is dropped, as the
 * server's movement gate drops it: the same relay with that one rule.
 *
 * Usage: karst_bare_relay [--bind ADDRESS] [--port PORT] [--gate-ms N] [ignored options...]
 * The server's other options are accepted and ignored, so scripts/bench.sh can
 * start either program the same way. Loopback only is the point of it. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kHeaderSize = 16, kMaxPayload = 4096, kReadBufferSize = 32768,
       kMaxQueued = 2 * 1024 * 1024, kMaxEvents = 16384, kRoomSlots = 1 << 14 };
enum { kHello = 1, kWelcome = 2, kJoinRoom = 4, kPlayerState = 7, kRoomStatus = 10,
       kPing = 12, kPong = 13 };
_Static_assert(kReadBufferSize >= kHeaderSize + kMaxPayload, "a whole frame fits the read buffer");

struct room;

struct connection {
    int fd;                  /* -1 when the slot is free */
    uint32_t player_id;
    struct room *room;
    size_t room_slot;
    uint8_t in[kReadBufferSize];
    size_t in_used;
    uint8_t *out;
    size_t out_used, out_sent, out_capacity;
    int pending;             /* listed for this pass's writes */
    uint64_t last_relayed_ns;
    int watching_out;
};

struct room {
    uint64_t key;
    int used;
    struct connection **members;
    size_t count, capacity;
};

static struct connection **by_fd;
static size_t by_fd_size;
static struct room rooms[kRoomSlots];
static int *pending;
static size_t pending_count;
static int epoll_fd;
static uint32_t next_player_id = 1;
static uint32_t next_sequence = 1;
static uint32_t open_connections;
static uint64_t gate_ns;
static volatile sig_atomic_t stop_requested;

static void put16(uint8_t *p, uint16_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
static void put32(uint8_t *p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i)); }
static void put64(uint8_t *p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = (uint8_t)(v >> (8 * i)); }
static uint16_t get16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }
static uint32_t get32(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }
static uint64_t get64(const uint8_t *p) { return (uint64_t)get32(p) | (uint64_t)get32(p + 4) << 32; }

static void watch(struct connection *c, uint32_t events, int op) {
    struct epoll_event e = {.events = events, .data.fd = c->fd};
    (void)epoll_ctl(epoll_fd, op, c->fd, &e);
}

/* Appends one frame to a connection's queue; returns 0 when the queue is over its limit. */
static int queue_frame(struct connection *c, uint16_t type, const uint8_t *payload, uint32_t length) {
    size_t needed = c->out_used + kHeaderSize + length;
    if (needed - c->out_sent > kMaxQueued) return 0;
    if (needed > c->out_capacity) {
        size_t capacity = c->out_capacity ? c->out_capacity : 4096;
        while (capacity < needed) capacity *= 2;
        uint8_t *grown = realloc(c->out, capacity);
        if (!grown) return 0;
        c->out = grown;
        c->out_capacity = capacity;
    }
    uint8_t *h = c->out + c->out_used;
    memcpy(h, "KRST", 4);
    put16(h + 4, 7);
    put16(h + 6, type);
    put32(h + 8, length);
    put32(h + 12, next_sequence++);
    if (next_sequence == 0) next_sequence = 1;
    memcpy(h + kHeaderSize, payload, length);
    c->out_used = needed;
    if (!c->pending && !c->watching_out) {
        c->pending = 1;
        pending[pending_count++] = c->fd;
    }
    return 1;
}

static struct room *find_room(uint64_t key, int create) {
    size_t slot = (size_t)((key * 0x9E3779B97F4A7C15ull) >> 50) & (kRoomSlots - 1);
    for (size_t probe = 0; probe < kRoomSlots; ++probe, slot = (slot + 1) & (kRoomSlots - 1)) {
        struct room *r = &rooms[slot];
        if (r->used && r->key == key) return r;
        if (!r->used) {
            if (!create) return NULL;
            r->used = 1;
            r->key = key;
            return r;
        }
    }
    return NULL;
}

static void leave_room(struct connection *c) {
    struct room *r = c->room;
    if (!r) return;
    r->members[c->room_slot] = r->members[--r->count];
    r->members[c->room_slot]->room_slot = c->room_slot;
    c->room = NULL;
}

static int join_room(struct connection *c, uint64_t key) {
    struct room *r = find_room(key, 1);
    if (!r) return 0;
    if (r == c->room) return 1;
    leave_room(c);
    if (r->count == r->capacity) {
        size_t capacity = r->capacity ? r->capacity * 2 : 16;
        struct connection **grown = realloc(r->members, capacity * sizeof *grown);
        if (!grown) return 0;
        r->members = grown;
        r->capacity = capacity;
    }
    c->room = r;
    c->room_slot = r->count;
    r->members[r->count++] = c;
    return 1;
}

static void close_connection(struct connection *c) {
    leave_room(c);
    (void)epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c->fd, NULL);
    close(c->fd);
    by_fd[c->fd] = NULL;
    free(c->out);
    c->fd = -1;  /* a pending entry for it is skipped; freed after the pass */
    --open_connections;
}

static int handle_frame(struct connection *c, uint16_t type, uint8_t *payload, uint32_t length) {
    uint8_t reply[24] = {0};
    switch (type) {
    case kHello:
        put32(reply, c->player_id);
        put32(reply + 4, open_connections);
        put64(reply + 16, c->player_id);
        return queue_frame(c, kWelcome, reply, 24);
    case kJoinRoom:
        if (length != 8 || !join_room(c, get64(payload))) return 0;
        put16(reply, (uint16_t)c->room->count);
        reply[5] = payload[3];
        return queue_frame(c, kRoomStatus, reply, 8);
    case kPing:
        return queue_frame(c, kPong, payload, length);
    case kPlayerState:
        if (!c->room || length != 48) return 1;
        if (gate_ns) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            uint64_t now_ns = (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
            if (c->last_relayed_ns && now_ns - c->last_relayed_ns < gate_ns) return 1;
            c->last_relayed_ns = now_ns;
        }
        put32(payload, c->player_id);
        for (size_t i = 0; i < c->room->count; ++i) {
            struct connection *member = c->room->members[i];
            if (member != c) (void)queue_frame(member, kPlayerState, payload, length);
        }
        return 1;
    default:
        return 1;
    }
}

/* One read, then every whole frame in the buffer. Returns 0 to close. */
static int serve_read(struct connection *c) {
    size_t room = sizeof c->in - c->in_used;
    ssize_t n = recv(c->fd, c->in + c->in_used, room, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return 0;
    if (n < 0) return 1;
    c->in_used += (size_t)n;
    size_t at = 0;
    while (c->in_used - at >= kHeaderSize) {
        const uint8_t *h = c->in + at;
        uint32_t length = get32(h + 8);
        if (memcmp(h, "KRST", 4) != 0 || get16(h + 4) != 7 || length > kMaxPayload) return 0;
        if (c->in_used - at < kHeaderSize + length) break;
        if (!handle_frame(c, get16(h + 6), c->in + at + kHeaderSize, length)) return 0;
        at += kHeaderSize + length;
    }
    memmove(c->in, c->in + at, c->in_used - at);
    c->in_used -= at;
    return 1;
}

/* One send of everything queued. Returns 0 to close. */
static int serve_write(struct connection *c) {
    if (c->out_sent == c->out_used) return 1;
    ssize_t n = send(c->fd, c->out + c->out_sent, c->out_used - c->out_sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return 0;
    if (n > 0) c->out_sent += (size_t)n;
    if (c->out_sent == c->out_used) {
        c->out_sent = c->out_used = 0;
        if (c->watching_out) watch(c, EPOLLIN, EPOLL_CTL_MOD);
        c->watching_out = 0;
    } else if (!c->watching_out) {
        watch(c, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
        c->watching_out = 1;
    }
    return 1;
}

static void accept_all(int listener) {
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if ((size_t)fd >= by_fd_size) { close(fd); continue; }
        int one = 1;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        struct connection *c = calloc(1, sizeof *c);
        if (!c) { close(fd); continue; }
        c->fd = fd;
        c->player_id = next_player_id++;
        by_fd[fd] = c;
        ++open_connections;
        watch(c, EPOLLIN, EPOLL_CTL_ADD);
    }
}

static int open_listener(const char *address, int port) {
    struct sockaddr_in where = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    if (inet_pton(AF_INET, address, &where.sin_addr) != 1) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd < 0) return -1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, (struct sockaddr *)&where, sizeof where) != 0 || listen(fd, 4096) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void on_stop(int signal_number) { (void)signal_number; stop_requested = 1; }

int main(int argc, char **argv) {
    const char *address = "127.0.0.1";
    int port = 27015;
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "--bind") == 0) address = argv[++i];
        else if (strcmp(argv[i], "--port") == 0) port = atoi(argv[++i]);
        else if (strcmp(argv[i], "--gate-ms") == 0) gate_ns = (uint64_t)atoi(argv[++i]) * 1000000u;
    }
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &files);
    }
    by_fd_size = files.rlim_cur > 1048576 ? 1048576 : (size_t)files.rlim_cur;
    by_fd = calloc(by_fd_size, sizeof *by_fd);
    pending = calloc(by_fd_size, sizeof *pending);
    struct epoll_event *events = calloc(kMaxEvents, sizeof *events);
    int listener = open_listener(address, port);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (!by_fd || !pending || !events || listener < 0 || epoll_fd < 0) {
        fprintf(stderr, "karst_bare_relay: cannot listen on %s port %d: %s\n", address, port, strerror(errno));
        return 1;
    }
    struct epoll_event e = {.events = EPOLLIN, .data.fd = listener};
    (void)epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listener, &e);
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    signal(SIGPIPE, SIG_IGN);
    printf("karst_bare_relay listening on %s port %d\n", address, port);
    fflush(stdout);

    struct connection **closed = calloc(by_fd_size, sizeof *closed);
    while (!stop_requested) {
        int n = epoll_wait(epoll_fd, events, kMaxEvents, 10);
        size_t closed_count = 0;
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) { accept_all(listener); continue; }
            struct connection *c = by_fd[fd];
            if (!c) continue;
            int ok = 1;
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ok = serve_read(c);
            if (ok && (events[i].events & EPOLLOUT)) ok = serve_write(c);
            if (!ok) { close_connection(c); closed[closed_count++] = c; }
        }
        for (size_t i = 0; i < pending_count; ++i) {
            struct connection *c = by_fd[pending[i]];
            if (!c) continue;
            c->pending = 0;
            if (!serve_write(c)) { close_connection(c); closed[closed_count++] = c; }
        }
        pending_count = 0;
        for (size_t i = 0; i < closed_count; ++i) free(closed[i]);
    }
    return 0;
}
