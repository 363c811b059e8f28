// relay-loadgen: closed-loop load generator for relaySvr and the floor relay
// (relay-floor), and, for comparison, for a plain TCP proxy such as haproxy.
//
// One thread, epoll, libc and the standard library only.
//
// Modes
//   relay  Plays both sides of the relay. Requesters connect from 127.0.0.1,
//          devices bind 127.0.0.N before connecting (device id N). Active pair
//          i uses device 127.0.0.(2+i) with id 2+i. Idle devices use
//          127.0.K.200-254 (ids 200..254, never named by an active request);
//          idle requesters connect and send nothing. Idle connections are
//          opened first, then the active pairs.
//   proxy  The load generator listens as the backend on 127.0.0.1:<backend
//          port>; requesters connect to the proxy's port. Every backend
//          connection the proxy opens answers each request with the same
//          bytes. The proxy opens them at once for each client connection,
//          or, with --backend-on-data, only once the client has sent data.
//
// Each active requester runs a closed loop: it sends a request of S bytes
// (byte 0: sequence number, all later bytes: the device id, so that any piece
// of the request still names the same device), the device answers with the
// same S bytes once it holds the whole request, and the requester checks the
// answer byte for byte before it sends the next request. A request routed to
// the wrong device, an answer routed to the wrong requester, a lost, doubled
// or changed byte all end the run with exit status 3.
//
// With --churn every round trip has a connection of its own, as the operator
// tool relay-request does it: the requester connects, sends one request,
// reads the answer and closes; devices stay connected.
//
// With --hold the program only opens the idle connections, prints "ready"
// (with how long the server took to hold them all, when --server-pid names
// it) and keeps them open until SIGINT/SIGTERM or the end of --duration. It
// only connects, so it works against any server: to a proxy, idle devices are
// more client connections from other loopback addresses.
//
// The run ends at --duration seconds or after --count round trips, whichever
// comes first; requests in flight are then completed (bounded by --stall-ms).
// The last line is a machine-readable "RESULT key=value ..." line.
//
// Exit status: 0 success, 1 usage, 2 connection or set-up error,
// 3 wrong answer, 4 stall (no progress within --stall-ms).

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RelayDefaults.h"

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

namespace {

enum ExitCode { kOk = 0, kUsage = 1, kSetup = 2, kWrong = 3, kStall = 4 };

// A request travels as one chunk, so it is at most the relay's chunk size.
constexpr int kMaxSize = static_cast<int>(relay::kChunkSize);
constexpr int kFirstActiveId = 2;
constexpr int kMaxPairs = 198;          // ids 2..199
constexpr int kIdleFirstId = 200;       // ids 200..254 for idle devices
constexpr int kIdleIdsPerSubnet = 55;
constexpr int kMaxIdleDevices = 255 * kIdleIdsPerSubnet;
constexpr double kMaxDuration = 3600.0;
// Idle connections are opened this many at a time, then awaited together.
constexpr int kConnectBatch = 256;
// At most this many idle connections are left that the server has not
// accepted yet: below relaySvr's and the floor's listen backlog of 1024, so
// that no SYN is dropped and retried a second later.
constexpr int kAcceptWindow = 768;
constexpr int kEventsPerWait = 256;
constexpr int64_t kStallCheckNs = 100000000;   // look for stalled pairs every 100 ms
constexpr int kBackendBacklog = 4096;          // net.core.somaxconn caps it anyway

volatile sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

using Clock = std::chrono::steady_clock;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void fail(int code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void fail(int code, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(stderr, "relay-loadgen: error: ");
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
    std::exit(code);
}

struct Options {
    std::string mode = "relay";
    int port = 0;
    int backendPort = 0;
    int pairs = 1;
    int size = 64;
    double duration = 10.0;
    long long count = 0;
    int idleReq = 0;
    int idleDev = 0;
    int serverPid = 0;
    int stallMs = 5000;
    int connectTimeoutMs = 10000;
    int acceptWaitMs = 60000;
    int settleMs = 300;
    bool hold = false;
    bool churn = false;
    bool backendOnData = false;
};

void usage() {
    std::fprintf(stderr,
        "usage: relay-loadgen [options]\n"
        "  --mode relay|proxy      relay: play requesters and devices against the relay (default)\n"
        "                          proxy: requesters to a proxy, backend served by this program\n"
        "  --port N                port of the server (relay) or of the proxy front end (proxy)\n"
        "  --backend-port N        proxy mode: port this program listens on as the backend\n"
        "  --backend-on-data       proxy mode: the proxy connects to the backend only once the\n"
        "                          client has sent data (do not wait for backend connections)\n"
        "  --pairs N               active requester/device pairs (default 1, max %d)\n"
        "  --size S                request and answer size in bytes, 2..%d (default 64)\n"
        "  --churn                 one connection per round trip: connect, send one request,\n"
        "                          read the answer, close (devices stay connected)\n"
        "  --duration SEC          measured time limit in seconds (default 10, max %.0f)\n"
        "  --count N               stop after N round trips in total (default: no count limit)\n"
        "  --idle-req N            idle requesters opened first (default 0)\n"
        "  --idle-dev N            idle devices opened first, relay mode (default 0, max %d)\n"
        "  --hold                  open only the idle connections, print \"ready\", hold them\n"
        "                          until SIGINT/SIGTERM or the end of --duration\n"
        "  --server-pid PID        wait until PID holds all connections and report its CPU\n"
        "                          time over the measured window\n"
        "  --stall-ms MS           fail when a pair makes no progress for MS ms (default 5000)\n"
        "  --connect-timeout-ms MS per-connection connect timeout (default 10000)\n"
        "  --settle-ms MS          without --server-pid: wait MS ms for the server to accept\n"
        "                          before the first request (default 300)\n",
        kMaxPairs, kMaxSize, kMaxDuration, kMaxIdleDevices);
}

long long parseInt(const char* name, const char* v, long long lo, long long hi) {
    char* end = nullptr;
    errno = 0;
    long long x = std::strtoll(v, &end, 10);
    if (errno != 0 || end == v || *end != '\0' || x < lo || x > hi) {
        std::fprintf(stderr, "relay-loadgen: %s must be an integer in %lld..%lld (got \"%s\")\n",
                     name, lo, hi, v);
        std::exit(kUsage);
    }
    return x;
}

Options parseArgs(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "relay-loadgen: %s needs a value\n", a.c_str());
                std::exit(kUsage);
            }
            return argv[++i];
        };
        if (a == "--mode") {
            o.mode = val();
        } else if (a == "--port") {
            o.port = static_cast<int>(parseInt("--port", val(), 1, 65535));
        } else if (a == "--backend-port") {
            o.backendPort = static_cast<int>(parseInt("--backend-port", val(), 1, 65535));
        } else if (a == "--backend-on-data") {
            o.backendOnData = true;
        } else if (a == "--pairs") {
            o.pairs = static_cast<int>(parseInt("--pairs", val(), 0, kMaxPairs));
        } else if (a == "--size") {
            o.size = static_cast<int>(parseInt("--size", val(), 2, kMaxSize));
        } else if (a == "--churn") {
            o.churn = true;
        } else if (a == "--duration") {
            const char* v = val();
            char* end = nullptr;
            o.duration = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(o.duration > 0) || o.duration > kMaxDuration) {
                std::fprintf(stderr, "relay-loadgen: --duration must be in (0, %.0f]\n",
                             kMaxDuration);
                std::exit(kUsage);
            }
        } else if (a == "--count") {
            o.count = parseInt("--count", val(), 1, 1000000000000LL);
        } else if (a == "--idle-req") {
            o.idleReq = static_cast<int>(parseInt("--idle-req", val(), 0, 1000000));
        } else if (a == "--idle-dev") {
            o.idleDev = static_cast<int>(parseInt("--idle-dev", val(), 0, kMaxIdleDevices));
        } else if (a == "--hold") {
            o.hold = true;
        } else if (a == "--server-pid") {
            o.serverPid = static_cast<int>(parseInt("--server-pid", val(), 1, 1 << 30));
        } else if (a == "--stall-ms") {
            o.stallMs = static_cast<int>(parseInt("--stall-ms", val(), 10, 600000));
        } else if (a == "--connect-timeout-ms") {
            o.connectTimeoutMs = static_cast<int>(parseInt("--connect-timeout-ms", val(), 10, 600000));
        } else if (a == "--settle-ms") {
            o.settleMs = static_cast<int>(parseInt("--settle-ms", val(), 0, 600000));
        } else if (a == "-h" || a == "--help") {
            usage();
            std::exit(kOk);
        } else {
            std::fprintf(stderr, "relay-loadgen: unknown option %s\n", a.c_str());
            usage();
            std::exit(kUsage);
        }
    }
    if (o.mode != "relay" && o.mode != "proxy") {
        std::fprintf(stderr, "relay-loadgen: --mode must be relay or proxy\n");
        std::exit(kUsage);
    }
    if (o.port == 0) {
        std::fprintf(stderr, "relay-loadgen: --port is required\n");
        std::exit(kUsage);
    }
    if (o.mode == "proxy" && !o.hold && o.backendPort == 0) {
        std::fprintf(stderr, "relay-loadgen: --backend-port is required in proxy mode\n");
        std::exit(kUsage);
    }
    if (o.mode == "proxy" && o.idleDev > 0) {
        std::fprintf(stderr, "relay-loadgen: --idle-dev applies to relay mode only\n");
        std::exit(kUsage);
    }
    if (o.hold && o.pairs != 0) o.pairs = 0;  // holding means idle connections only
    if (!o.hold && o.pairs == 0) {
        std::fprintf(stderr, "relay-loadgen: --pairs must be at least 1 (or use --hold)\n");
        std::exit(kUsage);
    }
    return o;
}

void raiseFdLimit(long long needed) {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) fail(kSetup, "getrlimit: %s", std::strerror(errno));
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0) fail(kSetup, "setrlimit: %s", std::strerror(errno));
    }
    if (rl.rlim_cur != RLIM_INFINITY && static_cast<long long>(rl.rlim_cur) < needed)
        fail(kSetup, "need about %lld descriptors but RLIMIT_NOFILE is %llu (split the idle "
             "connections over more --hold processes)",
             needed, static_cast<unsigned long long>(rl.rlim_cur));
}

std::string ipString(uint32_t hostOrder) {
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

uint32_t ipv4(int a, int b, int c, int d) {
    return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
           (static_cast<uint32_t>(c) << 8) | static_cast<uint32_t>(d);
}

const uint32_t kLocal = ipv4(127, 0, 0, 1);

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Starts a non-blocking TCP connection from src (host order, port chosen by
// the kernel at connect time) to 127.0.0.1:port. *done tells whether it is
// already established; otherwise it completes when the socket is writable.
int connectStart(uint32_t src, int port, const char* what, bool* done) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) fail(kSetup, "socket for %s: %s", what, std::strerror(errno));
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(src);
    sa.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        fail(kSetup, "bind %s to %s: %s", what, ipString(src).c_str(), std::strerror(errno));
    sockaddr_in da{};
    da.sin_family = AF_INET;
    da.sin_addr.s_addr = htonl(kLocal);
    da.sin_port = htons(static_cast<uint16_t>(port));
    *done = connect(fd, reinterpret_cast<sockaddr*>(&da), sizeof da) == 0;
    if (!*done && errno != EINPROGRESS)
        fail(kSetup, "connect %s from %s to 127.0.0.1:%d: %s", what, ipString(src).c_str(), port,
             std::strerror(errno));
    return fd;
}

// Fails unless the connection that fd started has been established.
void checkConnected(int fd, uint32_t src, int port, const char* what) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0)
        fail(kSetup, "connect %s from %s to 127.0.0.1:%d: %s", what, ipString(src).c_str(), port,
             std::strerror(err));
}

// Connects fds (started by connectStart) and waits until all are established.
void awaitConnected(const std::vector<int>& fds, const std::vector<uint32_t>& srcs, int port,
                    int timeoutMs, const char* what) {
    std::vector<pollfd> p;
    std::vector<size_t> idx;
    for (size_t i = 0; i < fds.size(); ++i) {
        p.push_back(pollfd{fds[i], POLLOUT, 0});
        idx.push_back(i);
    }
    const int64_t deadline = nowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    while (!p.empty()) {
        const int64_t left = (deadline - nowNs()) / 1000000;
        if (left <= 0)
            fail(kSetup, "connect %s from %s to 127.0.0.1:%d: %zu connections not established "
                 "after %d ms", what, ipString(srcs[idx[0]]).c_str(), port, p.size(), timeoutMs);
        const int r = poll(p.data(), p.size(), static_cast<int>(left));
        if (r < 0 && errno != EINTR) fail(kSetup, "poll: %s", std::strerror(errno));
        size_t keep = 0;
        for (size_t i = 0; i < p.size(); ++i) {
            if (p[i].revents == 0) {
                p[keep] = p[i];
                idx[keep] = idx[i];
                ++keep;
                continue;
            }
            checkConnected(p[i].fd, srcs[idx[i]], port, what);
        }
        p.resize(keep);
        idx.resize(keep);
    }
}

int connectFrom(uint32_t src, int port, int timeoutMs, const char* what) {
    bool done = false;
    const int fd = connectStart(src, port, what, &done);
    if (!done) awaitConnected({fd}, {src}, port, timeoutMs, what);
    return fd;
}

int countFds(int pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// utime + stime of a process in clock ticks, or -1.
long long cpuTicks(int pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    char buf[2048];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    if (!p) return -1;
    // After ") ": field 3 (state) ... field 14 utime, field 15 stime.
    ++p;
    unsigned long long ut = 0, st = 0;
    int field = 2;
    const char* s = p;
    while (*s && field < 15) {
        while (*s == ' ') ++s;
        ++field;
        if (field == 14) ut = std::strtoull(s, nullptr, 10);
        if (field == 15) st = std::strtoull(s, nullptr, 10);
        while (*s && *s != ' ') ++s;
    }
    if (field < 15) return -1;
    return static_cast<long long>(ut + st);
}

// Time the process's threads have run on a CPU, in nanoseconds (the first
// field of each /proc/PID/task/TID/schedstat), or -1. Finer than clock ticks,
// which matters for short windows such as accepting a few thousand
// connections.
long long cpuNs(int pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    long long sum = 0;
    bool any = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        FILE* f = std::fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
        if (!f) continue;
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1) {
            sum += static_cast<long long>(ns);
            any = true;
        }
        std::fclose(f);
    }
    closedir(d);
    return any ? sum : -1;
}

// CPU time (user + system) used by this process so far.
double selfCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Waits until the server holds at least `want` descriptors.
void waitServerFds(int pid, long long want, int64_t deadlineNs) {
    for (;;) {
        const int n = countFds(pid);
        if (n < 0) fail(kSetup, "the server (pid %d) is gone", pid);
        if (n >= want) return;
        if (nowNs() > deadlineNs)
            fail(kSetup, "the server holds %d descriptors, expected %lld after accepting all "
                 "connections", n, want);
        usleep(1000);
    }
}

// Opens idle connections from the given sources in batches of kConnectBatch.
// With a server PID, no batch starts while the server would then have more
// than kAcceptWindow of them left to accept; baseFds is what the server held
// before the first one.
std::vector<int> openIdle(const std::vector<uint32_t>& srcs, const Options& o, int baseFds) {
    std::vector<int> fds;
    fds.reserve(srcs.size());
    long long accepted = 0;   // by the server, as last counted
    const int64_t deadline = nowNs() + static_cast<int64_t>(o.acceptWaitMs) * 1000000;
    for (size_t at = 0; at < srcs.size(); at += kConnectBatch) {
        const size_t end = std::min(srcs.size(), at + kConnectBatch);
        if (o.serverPid) {
            while (static_cast<long long>(end) - accepted > kAcceptWindow) {
                const int n = countFds(o.serverPid);
                if (n < 0) fail(kSetup, "the server (pid %d) is gone", o.serverPid);
                const long long now = n - baseFds;
                if (now == accepted) {
                    if (nowNs() > deadline)
                        fail(kSetup, "the server accepted %lld of %zu idle connections in time",
                             accepted, srcs.size());
                    usleep(500);
                }
                accepted = now;
            }
        }
        std::vector<int> batch;
        std::vector<uint32_t> bsrc;
        for (size_t i = at; i < end; ++i) {
            bool done = false;
            const int fd = connectStart(srcs[i], o.port,
                                        srcs[i] == kLocal ? "idle requester" : "idle device", &done);
            fds.push_back(fd);
            if (!done) {
                batch.push_back(fd);
                bsrc.push_back(srcs[i]);
            }
        }
        awaitConnected(batch, bsrc, o.port, o.connectTimeoutMs, "idle connection");
    }
    return fds;
}

enum class Role { Requester, Device };

struct Conn {
    int fd = -1;
    Role role = Role::Requester;
    int pair = -1;          // requester: pair index; device: pair index or -1 (proxy backend)
    int id = 0;             // device id named in byte 1 of the requests
    std::string peer;       // for messages
    unsigned char in[kMaxSize];
    int inLen = 0;
    unsigned char out[kMaxSize];
    int outLen = 0;
    int outOff = 0;
    uint32_t seq = 0;       // next sequence number (requester: to send; device: expected)
    bool adoptSeq = false;  // proxy backend: take the sequence from the first request
    int64_t sentNs = 0;     // requester: when the current round trip began
    int64_t progressNs = 0; // last time this connection made progress
    bool busy = false;      // requester: a round trip is under way
    bool connecting = false; // churn requester: its connection is not established yet
    long long roundTrips = 0;
};

struct Loop {
    Options o;
    int ep = -1;
    int listenFd = -1;
    std::vector<Conn*> requesters;     // by pair index
    std::vector<Conn*> devices;        // by pair index (relay mode)
    std::unordered_set<Conn*> backends; // proxy mode
    long long backendsAccepted = 0;
    std::vector<int> idleFds;
    std::vector<uint32_t> latUs;
    long long issued = 0;
    long long completed = 0;
    bool stopping = false;
    int64_t deadlineNs = 0;

    void watch(Conn* c, int op, bool out) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (out ? EPOLLOUT : 0u);
        ev.data.ptr = c;
        if (epoll_ctl(ep, op, c->fd, &ev) != 0)
            fail(kSetup, "epoll_ctl: %s", std::strerror(errno));
    }

    void wantOut(Conn* c, bool on) { watch(c, EPOLL_CTL_MOD, on); }

    std::string describe(const Conn* c) const {
        char buf[160];
        if (c->role == Role::Requester)
            std::snprintf(buf, sizeof buf, "requester of pair %d (device id %d)", c->pair, c->id);
        else if (c->pair >= 0)
            std::snprintf(buf, sizeof buf, "device %s of pair %d", c->peer.c_str(), c->pair);
        else
            std::snprintf(buf, sizeof buf, "backend connection %s", c->peer.c_str());
        return buf;
    }

    // Writes as much of c->out as the socket takes; arms EPOLLOUT for the rest.
    void flush(Conn* c) {
        while (c->outOff < c->outLen) {
            ssize_t w = send(c->fd, c->out + c->outOff, c->outLen - c->outOff, MSG_NOSIGNAL);
            if (w > 0) {
                c->outOff += static_cast<int>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                wantOut(c, true);
                return;
            }
            fail(kSetup, "send on %s: %s", describe(c).c_str(), std::strerror(errno));
        }
        c->outLen = c->outOff = 0;
    }

    void writeRequest(Conn* c) {
        const int s = o.size;
        c->out[0] = static_cast<unsigned char>(c->seq & 0xff);
        std::memset(c->out + 1, c->id, s - 1);
        c->outLen = s;
        c->outOff = 0;
        flush(c);
    }

    void sendRequest(Conn* c) {
        c->busy = true;
        c->sentNs = nowNs();
        c->progressNs = c->sentNs;
        ++issued;
        writeRequest(c);
    }

    // Churn: a round trip begins with a new connection.
    void startCycle(Conn* c) {
        c->busy = true;
        c->sentNs = nowNs();
        c->progressNs = c->sentNs;
        c->inLen = 0;
        ++issued;
        bool done = false;
        c->fd = connectStart(kLocal, o.port, "requester", &done);
        c->connecting = !done;
        watch(c, EPOLL_CTL_ADD, !done);
        if (done) onConnected(c, false);
    }

    // armed: EPOLLOUT was armed to learn that the connection is established.
    void onConnected(Conn* c, bool armed) {
        checkConnected(c->fd, kLocal, o.port, "requester");
        c->connecting = false;
        setNoDelay(c->fd);
        if (armed) wantOut(c, false);
        writeRequest(c);
    }

    // Returns false when the requester's connection was closed (churn).
    bool onAnswer(Conn* c) {
        const int64_t t = nowNs();
        const int s = o.size;
        unsigned char want[kMaxSize];
        want[0] = static_cast<unsigned char>(c->seq & 0xff);
        std::memset(want + 1, c->id, s - 1);
        if (std::memcmp(want, c->in, s) != 0) {
            int at = 0;
            while (at < s && want[at] == c->in[at]) ++at;
            fail(kWrong, "%s: answer %" PRIu32 " differs from its request at byte %d "
                 "(expected 0x%02x, got 0x%02x)",
                 describe(c).c_str(), c->seq, at, want[at], c->in[at]);
        }
        latUs.push_back(static_cast<uint32_t>(std::min<int64_t>((t - c->sentNs) / 1000, UINT32_MAX)));
        c->inLen = 0;
        c->busy = false;
        c->progressNs = t;
        ++c->seq;
        ++c->roundTrips;
        ++completed;
        const bool more = !stopping && (o.count == 0 || issued < o.count);
        if (o.churn) {
            close(c->fd);
            c->fd = -1;
            if (more) startCycle(c);
            return false;
        }
        if (more) sendRequest(c);
        return true;
    }

    void onRequest(Conn* c) {
        const int s = o.size;
        if (c->adoptSeq) {
            c->seq = c->in[0];
            c->adoptSeq = false;
        }
        // Byte 0 carries the requester's sequence number, every later byte the id.
        if (c->in[0] != static_cast<unsigned char>(c->seq & 0xff))
            fail(kWrong, "%s: request %" PRIu32 " carries sequence byte 0x%02x, expected 0x%02x",
                 describe(c).c_str(), c->seq, c->in[0], c->seq & 0xff);
        const unsigned char id = c->pair >= 0 ? static_cast<unsigned char>(c->id) : c->in[1];
        for (int i = 1; i < s; ++i)
            if (c->in[i] != id)
                fail(kWrong, "%s: request %" PRIu32 " byte %d is 0x%02x, expected id 0x%02x",
                     describe(c).c_str(), c->seq, i, c->in[i], id);
        if (c->outLen != 0)
            fail(kWrong, "%s: a new request came before the previous answer was written",
                 describe(c).c_str());
        std::memcpy(c->out, c->in, s);
        c->outLen = s;
        c->outOff = 0;
        c->inLen = 0;
        ++c->seq;
        c->progressNs = nowNs();
        flush(c);
    }

    // The proxy closed a backend connection (it does when its client closed).
    void dropBackend(Conn* c) {
        close(c->fd);
        backends.erase(c);
        delete c;
    }

    void onReadable(Conn* c) {
        for (;;) {
            unsigned char tmp[2 * kMaxSize];
            ssize_t r = recv(c->fd, tmp, sizeof tmp, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (r <= 0 && c->role == Role::Device && c->pair < 0) {
                if (c->inLen != 0)
                    fail(kWrong, "%s closed with %d bytes of a request unanswered",
                         describe(c).c_str(), c->inLen);
                dropBackend(c);
                return;
            }
            if (r < 0)
                fail(kSetup, "recv on %s: %s", describe(c).c_str(), std::strerror(errno));
            if (r == 0)
                fail(kSetup, "%s: the server closed the connection after %lld round trips",
                     describe(c).c_str(), c->roundTrips);
            const int s = o.size;
            ssize_t off = 0;
            while (off < r) {
                if (c->role == Role::Requester && !c->busy)
                    fail(kWrong, "%s: %zd unasked bytes arrived", describe(c).c_str(), r - off);
                int take = static_cast<int>(std::min<ssize_t>(r - off, s - c->inLen));
                std::memcpy(c->in + c->inLen, tmp + off, take);
                c->inLen += take;
                off += take;
                c->progressNs = nowNs();
                if (c->inLen < s) break;
                if (c->role == Role::Requester) {
                    if (off < r)
                        fail(kWrong, "%s: answer longer than %d bytes (%zd extra)",
                             describe(c).c_str(), s, r - off);
                    if (!onAnswer(c)) return;
                } else {
                    if (off < r)
                        fail(kWrong, "%s: more than one request of %d bytes arrived at once",
                             describe(c).c_str(), s);
                    onRequest(c);
                }
            }
        }
    }

    // Proxy mode: takes every backend connection the proxy has opened.
    void acceptBackends() {
        for (;;) {
            int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                fail(kSetup, "accept on backend port: %s", std::strerror(errno));
            }
            setNoDelay(fd);
            Conn* c = new Conn;
            c->fd = fd;
            c->role = Role::Device;
            c->pair = -1;
            c->adoptSeq = true;
            c->peer = "#" + std::to_string(backendsAccepted++);
            backends.insert(c);
            watch(c, EPOLL_CTL_ADD, false);
        }
    }

    void checkStalls(int64_t t) {
        const int64_t limit = static_cast<int64_t>(o.stallMs) * 1000000;
        for (Conn* r : requesters) {
            if (!r->busy || t - r->progressNs < limit) continue;
            std::string where;
            if (r->pair < static_cast<int>(devices.size())) {
                const Conn* d = devices[r->pair];
                where = "; its device " + d->peer + " has answered " + std::to_string(d->seq) +
                        " requests and holds " + std::to_string(d->inLen) + " bytes of the next" +
                        (d->outLen ? ", answer not fully written" : "");
            }
            fail(kStall,
                 "%s stalled%s: no progress for %d ms after %lld round trips; requester holds %d "
                 "of %d answer bytes%s",
                 describe(r).c_str(), r->connecting ? " while connecting" : "", o.stallMs,
                 r->roundTrips, r->inLen, o.size, where.c_str());
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options o = parseArgs(argc, argv);
    const bool relay = o.mode == "relay";
    const long long active = static_cast<long long>(o.pairs) * 2;
    raiseFdLimit(o.idleReq + o.idleDev + active + (relay ? 0 : o.pairs) + 64);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Loop L;
    L.o = o;
    L.ep = epoll_create1(EPOLL_CLOEXEC);
    if (L.ep < 0) fail(kSetup, "epoll_create1: %s", std::strerror(errno));

    if (!relay && !o.hold) {
        L.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(L.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(kLocal);
        a.sin_port = htons(static_cast<uint16_t>(o.backendPort));
        if (bind(L.listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            fail(kSetup, "bind backend port 127.0.0.1:%d: %s", o.backendPort, std::strerror(errno));
        if (listen(L.listenFd, kBackendBacklog) != 0)
            fail(kSetup, "listen on backend port: %s", std::strerror(errno));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;  // the only registration without a connection
        epoll_ctl(L.ep, EPOLL_CTL_ADD, L.listenFd, &ev);
    }

    const int baseFds = o.serverPid ? countFds(o.serverPid) : -1;
    if (o.serverPid && baseFds < 0)
        fail(kSetup, "cannot read /proc/%d/fd (is the server running?)", o.serverPid);

    const int64_t setupStart = nowNs();
    const long long setupCpu0 = o.serverPid ? cpuNs(o.serverPid) : -1;
    // Idle connections first: requesters, then devices.
    {
        std::vector<uint32_t> srcs(static_cast<size_t>(o.idleReq), kLocal);
        for (int j = 0; j < o.idleDev; ++j)
            srcs.push_back(ipv4(127, 0, 1 + j / kIdleIdsPerSubnet,
                                kIdleFirstId + j % kIdleIdsPerSubnet));
        L.idleFds = openIdle(srcs, o, baseFds);
    }

    // Active pairs: all devices first, so that every device is known before any request.
    if (relay) {
        for (int i = 0; i < o.pairs; ++i) {
            uint32_t src = ipv4(127, 0, 0, kFirstActiveId + i);
            Conn* d = new Conn;
            d->fd = connectFrom(src, o.port, o.connectTimeoutMs, "device");
            d->role = Role::Device;
            d->pair = i;
            d->id = kFirstActiveId + i;
            d->peer = ipString(src);
            setNoDelay(d->fd);
            L.devices.push_back(d);
        }
    }
    for (int i = 0; i < o.pairs; ++i) {
        Conn* r = new Conn;
        r->role = Role::Requester;
        r->pair = i;
        r->id = kFirstActiveId + i;
        r->peer = "127.0.0.1";
        if (!o.churn) {
            r->fd = connectFrom(kLocal, o.port, o.connectTimeoutMs, "requester");
            setNoDelay(r->fd);
        }
        L.requesters.push_back(r);
    }
    for (Conn* r : L.requesters)
        if (r->fd >= 0) L.watch(r, EPOLL_CTL_ADD, false);
    for (Conn* d : L.devices) L.watch(d, EPOLL_CTL_ADD, false);

    // Wait until the server side holds every connection.
    const int64_t acceptDeadline = nowNs() + static_cast<int64_t>(o.acceptWaitMs) * 1000000;
    const long long persistent = o.churn ? o.pairs : active;   // churn: the devices only
    if (!relay && !o.hold && !o.backendOnData && !o.churn) {
        // The proxy opens one backend connection per client connection, idle ones included.
        const long long want = static_cast<long long>(o.idleReq) + o.pairs;
        while (L.backendsAccepted < want) {
            if (nowNs() > acceptDeadline)
                fail(kSetup, "the proxy opened %lld of %lld backend connections in time",
                     L.backendsAccepted, want);
            pollfd p{L.listenFd, POLLIN, 0};
            poll(&p, 1, 50);
            L.acceptBackends();
        }
    } else if (o.serverPid) {
        // A proxy that connects on data holds one descriptor per client so far.
        const long long conns = relay ? persistent : (o.churn ? 0 : o.pairs);
        waitServerFds(o.serverPid, baseFds + o.idleReq + o.idleDev + conns, acceptDeadline);
    } else {
        usleep(static_cast<useconds_t>(o.settleMs) * 1000);
    }
    const double setupS = (nowNs() - setupStart) / 1e9;
    const long long setupCpu = setupCpu0 >= 0 ? cpuNs(o.serverPid) - setupCpu0 : -1;
    std::printf("connected: %d idle requesters, %d idle devices, %d pairs in %.2f s\n", o.idleReq,
                o.idleDev, o.pairs, setupS);
    std::fflush(stdout);

    if (o.hold) {
        // How fast the server took them: from the first connect until it held all.
        std::printf("ready connections=%zu accept_s=%.4f accept_server_cpu_ns=%lld\n",
                    L.idleFds.size(), setupS, setupCpu);
        std::fflush(stdout);
        const int64_t end = nowNs() + static_cast<int64_t>(o.duration * 1e9);
        while (!g_stop && nowNs() < end) usleep(20000);
        for (int fd : L.idleFds) close(fd);
        std::printf("RESULT mode=hold connections=%zu\n", L.idleFds.size());
        return kOk;
    }

    L.latUs.reserve(1 << 20);
    const long long ticks0 = o.serverPid ? cpuTicks(o.serverPid) : -1;
    const long long ns0 = o.serverPid ? cpuNs(o.serverPid) : -1;
    const double self0 = selfCpuSeconds();
    const int64_t t0 = nowNs();
    L.deadlineNs = t0 + static_cast<int64_t>(o.duration * 1e9);
    for (Conn* r : L.requesters) {
        if (o.count != 0 && L.issued >= o.count) break;
        if (o.churn)
            L.startCycle(r);
        else
            L.sendRequest(r);
    }

    epoll_event evs[kEventsPerWait];
    int64_t lastStallCheck = t0;
    for (;;) {
        int64_t t = nowNs();
        if (!L.stopping && (g_stop || t >= L.deadlineNs || (o.count && L.issued >= o.count)))
            L.stopping = true;
        if (L.stopping) {
            bool anyBusy = false;
            for (Conn* r : L.requesters) anyBusy = anyBusy || r->busy;
            if (!anyBusy) break;
        }
        if (t - lastStallCheck > kStallCheckNs) {
            L.checkStalls(t);
            lastStallCheck = t;
        }
        int n = epoll_wait(L.ep, evs, kEventsPerWait, 50);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(kSetup, "epoll_wait: %s", std::strerror(errno));
        }
        for (int i = 0; i < n; ++i) {
            Conn* c = static_cast<Conn*>(evs[i].data.ptr);
            if (!c) {
                L.acceptBackends();
                continue;
            }
            if (c->connecting) {
                L.onConnected(c, true);
                continue;
            }
            if (evs[i].events & EPOLLOUT) {
                L.flush(c);
                if (c->outLen == 0) L.wantOut(c, false);
            }
            if (evs[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) L.onReadable(c);
        }
    }
    const int64_t t1 = nowNs();
    const long long ticks1 = o.serverPid ? cpuTicks(o.serverPid) : -1;
    const long long ns1 = o.serverPid ? cpuNs(o.serverPid) : -1;
    const double selfCpu = selfCpuSeconds() - self0;

    // Close the active connections with nothing in flight, then the idle ones.
    for (Conn* c : L.requesters)
        if (c->fd >= 0) close(c->fd);
    for (Conn* c : L.devices) close(c->fd);
    for (Conn* c : L.backends) close(c->fd);
    for (int fd : L.idleFds) close(fd);
    if (L.listenFd >= 0) close(L.listenFd);

    const double secs = (t1 - t0) / 1e9;
    std::vector<uint32_t>& v = L.latUs;
    uint32_t p50 = 0, p99 = 0, pmax = 0;
    double mean = 0;
    if (!v.empty()) {
        std::sort(v.begin(), v.end());
        p50 = v[(v.size() - 1) * 50 / 100];
        p99 = v[(v.size() - 1) * 99 / 100];
        pmax = v.back();
        long double sum = 0;
        for (uint32_t x : v) sum += x;
        mean = static_cast<double>(sum / v.size());
    }
    const double rate = secs > 0 ? L.completed / secs : 0;
    long long minPair = -1, maxPair = 0;
    for (Conn* r : L.requesters) {
        if (minPair < 0 || r->roundTrips < minPair) minPair = r->roundTrips;
        maxPair = std::max(maxPair, r->roundTrips);
    }
    std::printf("round trips%s: %lld in %.3f s = %.0f/s (per pair: min %lld, max %lld)\n",
                o.churn ? " (one connection each)" : "", L.completed, secs, rate, minPair, maxPair);
    std::printf("round-trip time: p50 %u us, p99 %u us, mean %.1f us, max %u us\n", p50, p99, mean,
                pmax);
    const long long ticks = (ticks0 >= 0 && ticks1 >= 0) ? ticks1 - ticks0 : -1;
    const long long serverNs = (ns0 >= 0 && ns1 >= 0) ? ns1 - ns0 : -1;
    if (ticks >= 0)
        std::printf("server CPU: %lld ticks (%ld per second), %.3f s\n", ticks,
                    sysconf(_SC_CLK_TCK), serverNs / 1e9);
    const double selfPerRt = L.completed ? selfCpu * 1e6 / L.completed : 0;
    std::printf("load generator CPU: %.2f s = %.0f%% of the window, %.2f us per round trip\n",
                selfCpu, secs > 0 ? 100 * selfCpu / secs : 0, selfPerRt);
    std::printf("RESULT mode=%s churn=%d pairs=%d size=%d idle_req=%d idle_dev=%d round_trips=%lld "
                "seconds=%.3f rt_per_s=%.1f p50_us=%u p99_us=%u mean_us=%.1f max_us=%u "
                "server_ticks=%lld clk_tck=%ld server_cpu_ns=%lld loadgen_cpu_us_per_rt=%.2f\n",
                o.mode.c_str(), o.churn ? 1 : 0, o.pairs, o.size, o.idleReq, o.idleDev,
                L.completed, secs, rate, p50, p99, mean, pmax, ticks, sysconf(_SC_CLK_TCK),
                serverNs, selfPerRt);
    for (Conn* c : L.requesters) delete c;
    for (Conn* c : L.devices) delete c;
    for (Conn* c : L.backends) delete c;
    return kOk;
}
