// relay-loadgen: closed-loop load generator for relaySvr (and, for comparison,
// for a plain TCP proxy such as haproxy).
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
//          port>; requesters connect to the proxy's port. Every accepted
//          backend connection answers each request with the same bytes.
//
// Each active requester runs a closed loop: it sends a request of S bytes
// (byte 0: sequence number, all later bytes: the device id, so that any piece
// of the request still names the same device), the device answers with the
// same S bytes once it holds the whole request, and the requester checks the
// answer byte for byte before it sends the next request.
//
// With --hold the program only opens the idle connections, prints "ready" and
// keeps them open until SIGINT/SIGTERM or the end of --duration.
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

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

namespace {

enum ExitCode { kOk = 0, kUsage = 1, kSetup = 2, kWrong = 3, kStall = 4 };

constexpr int kMaxSize = 4096;
constexpr int kFirstActiveId = 2;
constexpr int kMaxPairs = 198;          // ids 2..199
constexpr int kIdleFirstId = 200;       // ids 200..254 for idle devices
constexpr int kIdleIdsPerSubnet = 55;
constexpr int kMaxIdleDevices = 255 * kIdleIdsPerSubnet;
constexpr double kMaxDuration = 3600.0;

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
};

void usage() {
    std::fprintf(stderr,
        "usage: relay-loadgen [options]\n"
        "  --mode relay|proxy      relay: play requesters and devices against relaySvr (default)\n"
        "                          proxy: requesters to a proxy, backend served by this program\n"
        "  --port N                port of the server (relay) or of the proxy front end (proxy)\n"
        "  --backend-port N        proxy mode: port this program listens on as the backend\n"
        "  --pairs N               active requester/device pairs (default 1, max %d)\n"
        "  --size S                request and answer size in bytes, 2..4096 (default 64)\n"
        "  --duration SEC          measured time limit in seconds (default 10, max %.0f)\n"
        "  --count N               stop after N round trips in total (default: no count limit)\n"
        "  --idle-req N            idle requesters opened first (default 0)\n"
        "  --idle-dev N            idle devices opened first, relay mode (default 0, max %d)\n"
        "  --hold                  open only the idle connections, print \"ready\", hold them\n"
        "                          until SIGINT/SIGTERM or the end of --duration\n"
        "  --server-pid PID        wait until PID holds all connections (relay mode) and report\n"
        "                          its CPU ticks (utime+stime) over the measured window\n"
        "  --stall-ms MS           fail when a pair makes no progress for MS ms (default 5000)\n"
        "  --connect-timeout-ms MS per-connection connect timeout (default 10000)\n"
        "  --settle-ms MS          relay mode without --server-pid: wait MS ms for the server\n"
        "                          to accept before the first request (default 300)\n",
        kMaxPairs, kMaxDuration, kMaxIdleDevices);
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
        } else if (a == "--pairs") {
            o.pairs = static_cast<int>(parseInt("--pairs", val(), 0, kMaxPairs));
        } else if (a == "--size") {
            o.size = static_cast<int>(parseInt("--size", val(), 2, kMaxSize));
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
    if (o.mode == "proxy" && o.backendPort == 0) {
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
        fail(kSetup, "need about %lld descriptors but RLIMIT_NOFILE is %llu (raise the hard limit)",
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

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Opens a non-blocking TCP connection from src (host order, port chosen by the
// kernel at connect time) to 127.0.0.1:port and waits for it to complete.
int connectFrom(uint32_t src, int port, int timeoutMs, const char* what) {
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
    da.sin_addr.s_addr = htonl(ipv4(127, 0, 0, 1));
    da.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&da), sizeof da) != 0) {
        if (errno != EINPROGRESS)
            fail(kSetup, "connect %s from %s to 127.0.0.1:%d: %s", what, ipString(src).c_str(),
                 port, std::strerror(errno));
        pollfd p{fd, POLLOUT, 0};
        int r;
        do {
            r = poll(&p, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        if (r == 0)
            fail(kSetup, "connect %s from %s to 127.0.0.1:%d: timed out after %d ms", what,
                 ipString(src).c_str(), port, timeoutMs);
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (r < 0 || err != 0)
            fail(kSetup, "connect %s from %s to 127.0.0.1:%d: %s", what, ipString(src).c_str(),
                 port, std::strerror(r < 0 ? errno : err));
    }
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

// CPU time (user + system) used by this process so far.
double selfCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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
    int64_t sentNs = 0;     // requester: when the current request was handed to the kernel
    int64_t progressNs = 0; // last time this connection made progress
    bool busy = false;      // requester: a request is outstanding
    long long roundTrips = 0;
};

struct Loop {
    Options o;
    int ep = -1;
    int listenFd = -1;
    std::vector<Conn*> conns;          // active connections, indexed by slot
    std::vector<Conn*> requesters;     // by pair index
    std::vector<Conn*> devices;        // by pair index (relay mode)
    std::vector<int> idleFds;
    std::vector<uint32_t> latUs;
    long long issued = 0;
    long long completed = 0;
    bool stopping = false;
    int64_t deadlineNs = 0;

    void add(Conn* c) {
        conns.push_back(c);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = conns.size() - 1;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev) != 0)
            fail(kSetup, "epoll_ctl add: %s", std::strerror(errno));
    }

    void wantOut(Conn* c, size_t slot, bool on) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (on ? EPOLLOUT : 0u);
        ev.data.u64 = slot;
        epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
    }

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
    void flush(Conn* c, size_t slot) {
        while (c->outOff < c->outLen) {
            ssize_t w = send(c->fd, c->out + c->outOff, c->outLen - c->outOff, MSG_NOSIGNAL);
            if (w > 0) {
                c->outOff += static_cast<int>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                wantOut(c, slot, true);
                return;
            }
            fail(kSetup, "send on %s: %s", describe(c).c_str(), std::strerror(errno));
        }
        c->outLen = c->outOff = 0;
    }

    void sendRequest(Conn* c, size_t slot) {
        const int s = o.size;
        c->out[0] = static_cast<unsigned char>(c->seq & 0xff);
        std::memset(c->out + 1, c->id, s - 1);
        c->outLen = s;
        c->outOff = 0;
        c->busy = true;
        c->sentNs = nowNs();
        c->progressNs = c->sentNs;
        ++issued;
        flush(c, slot);
    }

    void onAnswer(Conn* c, size_t slot) {
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
        if (!stopping && (o.count == 0 || issued < o.count)) sendRequest(c, slot);
    }

    void onRequest(Conn* c, size_t slot) {
        const int s = o.size;
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
        flush(c, slot);
    }

    void onReadable(Conn* c, size_t slot) {
        for (;;) {
            unsigned char tmp[8192];
            ssize_t r = recv(c->fd, tmp, sizeof tmp, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
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
                    onAnswer(c, slot);
                } else {
                    if (off < r)
                        fail(kWrong, "%s: more than one request of %d bytes arrived at once",
                             describe(c).c_str(), s);
                    onRequest(c, slot);
                }
            }
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
                 "%s stalled: no progress for %d ms after %lld round trips; requester holds %d "
                 "of %d answer bytes%s",
                 describe(r).c_str(), o.stallMs, r->roundTrips, r->inLen, o.size, where.c_str());
        }
    }
};

// Proxy mode: accepts the proxy's backend connections until `expected` are
// open. Each one answers every request with its own bytes.
void acceptBackends(Loop& L, size_t expected, int64_t deadlineNs) {
    size_t have = 0;
    while (have < expected) {
        int fd = accept4(L.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fail(kSetup, "accept on backend port: %s", std::strerror(errno));
            if (nowNs() > deadlineNs)
                fail(kSetup, "the proxy opened %zu of %zu backend connections in time", have,
                     expected);
            pollfd p{L.listenFd, POLLIN, 0};
            poll(&p, 1, 50);
            continue;
        }
        setNoDelay(fd);
        Conn* c = new Conn;
        c->fd = fd;
        c->role = Role::Device;
        c->pair = -1;
        c->peer = "#" + std::to_string(have);
        L.add(c);
        ++have;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parseArgs(argc, argv);
    const bool relay = o.mode == "relay";
    const long long active = static_cast<long long>(o.pairs) * 2;
    raiseFdLimit(o.idleReq + o.idleDev + active + 64);

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

    if (!relay) {
        L.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(L.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(ipv4(127, 0, 0, 1));
        a.sin_port = htons(static_cast<uint16_t>(o.backendPort));
        if (bind(L.listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            fail(kSetup, "bind backend port 127.0.0.1:%d: %s", o.backendPort, std::strerror(errno));
        if (listen(L.listenFd, 4096) != 0)
            fail(kSetup, "listen on backend port: %s", std::strerror(errno));
    }

    const int baseFds = (relay && o.serverPid) ? countFds(o.serverPid) : -1;
    if (relay && o.serverPid && baseFds < 0)
        fail(kSetup, "cannot read /proc/%d/fd (is the server running?)", o.serverPid);

    const int64_t setupStart = nowNs();
    // Idle connections first: requesters, then devices.
    const uint32_t local = ipv4(127, 0, 0, 1);
    L.idleFds.reserve(o.idleReq + o.idleDev);
    for (int i = 0; i < o.idleReq; ++i)
        L.idleFds.push_back(connectFrom(local, o.port, o.connectTimeoutMs, "idle requester"));
    for (int j = 0; j < o.idleDev; ++j) {
        uint32_t src = ipv4(127, 0, 1 + j / kIdleIdsPerSubnet, kIdleFirstId + j % kIdleIdsPerSubnet);
        L.idleFds.push_back(connectFrom(src, o.port, o.connectTimeoutMs, "idle device"));
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
        r->fd = connectFrom(local, o.port, o.connectTimeoutMs, "requester");
        r->role = Role::Requester;
        r->pair = i;
        r->id = kFirstActiveId + i;
        r->peer = "127.0.0.1";
        setNoDelay(r->fd);
        L.requesters.push_back(r);
    }
    for (Conn* r : L.requesters) L.add(r);
    for (Conn* d : L.devices) L.add(d);

    // Wait until the server side holds every connection.
    const int64_t acceptDeadline = nowNs() + static_cast<int64_t>(o.acceptWaitMs) * 1000000;
    if (!relay) {
        // The proxy opens one backend connection per client connection, idle ones included.
        acceptBackends(L, static_cast<size_t>(o.idleReq) + o.pairs, acceptDeadline);
    } else if (o.serverPid) {
        const long long want = baseFds + o.idleReq + o.idleDev + active;
        for (;;) {
            int n = countFds(o.serverPid);
            if (n < 0) fail(kSetup, "the server (pid %d) is gone", o.serverPid);
            if (n >= want) break;
            if (nowNs() > acceptDeadline)
                fail(kSetup, "the server holds %d descriptors, expected %lld after accepting all "
                     "connections", n, want);
            usleep(10000);
        }
    } else {
        usleep(static_cast<useconds_t>(o.settleMs) * 1000);
    }
    const double setupS = (nowNs() - setupStart) / 1e9;
    std::printf("connected: %d idle requesters, %d idle devices, %d pairs in %.2f s\n", o.idleReq,
                o.idleDev, o.pairs, setupS);
    std::fflush(stdout);

    if (o.hold) {
        std::printf("ready connections=%zu\n", L.idleFds.size());
        std::fflush(stdout);
        const int64_t end = nowNs() + static_cast<int64_t>(o.duration * 1e9);
        while (!g_stop && nowNs() < end) usleep(20000);
        for (int fd : L.idleFds) close(fd);
        std::printf("RESULT mode=hold connections=%zu\n", L.idleFds.size());
        return kOk;
    }

    L.latUs.reserve(1 << 20);
    const long long ticks0 = o.serverPid ? cpuTicks(o.serverPid) : -1;
    const double self0 = selfCpuSeconds();
    const int64_t t0 = nowNs();
    L.deadlineNs = t0 + static_cast<int64_t>(o.duration * 1e9);
    for (size_t slot = 0; slot < L.requesters.size(); ++slot) {
        if (o.count != 0 && L.issued >= o.count) break;
        L.sendRequest(L.requesters[slot], slot);
    }

    epoll_event evs[256];
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
        if (t - lastStallCheck > 100000000) {
            L.checkStalls(t);
            lastStallCheck = t;
        }
        int n = epoll_wait(L.ep, evs, 256, 50);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(kSetup, "epoll_wait: %s", std::strerror(errno));
        }
        for (int i = 0; i < n; ++i) {
            size_t slot = evs[i].data.u64;
            Conn* c = L.conns[slot];
            if (evs[i].events & EPOLLOUT) {
                L.flush(c, slot);
                if (c->outLen == 0) L.wantOut(c, slot, false);
            }
            if (evs[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) L.onReadable(c, slot);
        }
    }
    const int64_t t1 = nowNs();
    const long long ticks1 = o.serverPid ? cpuTicks(o.serverPid) : -1;
    const double selfCpu = selfCpuSeconds() - self0;

    // Close the active connections with nothing in flight, then the idle ones.
    for (Conn* c : L.conns) close(c->fd);
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
    std::printf("round trips: %lld in %.3f s = %.0f/s (per pair: min %lld, max %lld)\n",
                L.completed, secs, rate, minPair, maxPair);
    std::printf("round-trip time: p50 %u us, p99 %u us, mean %.1f us, max %u us\n", p50, p99, mean,
                pmax);
    const long long ticks = (ticks0 >= 0 && ticks1 >= 0) ? ticks1 - ticks0 : -1;
    if (ticks >= 0)
        std::printf("server CPU: %lld ticks (%ld per second)\n", ticks, sysconf(_SC_CLK_TCK));
    const double selfPerRt = L.completed ? selfCpu * 1e6 / L.completed : 0;
    std::printf("load generator CPU: %.2f s = %.0f%% of the window, %.2f us per round trip\n",
                selfCpu, secs > 0 ? 100 * selfCpu / secs : 0, selfPerRt);
    std::printf("RESULT mode=%s pairs=%d size=%d idle_req=%d idle_dev=%d round_trips=%lld "
                "seconds=%.3f rt_per_s=%.1f p50_us=%u p99_us=%u mean_us=%.1f max_us=%u "
                "server_ticks=%lld clk_tck=%ld loadgen_cpu_us_per_rt=%.2f\n",
                o.mode.c_str(), o.pairs, o.size, o.idleReq, o.idleDev, L.completed, secs, rate, p50,
                p99, mean, pmax, ticks, sysconf(_SC_CLK_TCK), selfPerRt);
    for (Conn* c : L.conns) delete c;
    return kOk;
}
