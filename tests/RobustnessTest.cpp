// Robustness of the relay against careless and hostile peers: readers that
// stall or never read, connection churn with resets, random traffic with
// faults, stops under load, and a link planted at the PID path.
//
// Every stream a requester sends to device id X consists of bytes equal to X,
// and every answer of device X of bytes equal to X. However the server cuts a
// stream into chunks, a chunk of two or more bytes then names X in its byte 1,
// so a device must only ever see its own id and a requester only the ids it
// asked for. (A one-byte chunk names id 0, which no device here has.)
//
// Knobs (environment), for the long runs of tests/soak.sh and for replays:
//   RELAY_SLOW_READER_MIB, RELAY_SLOW_READER_IDLE_MS   slow-reader volume, stall
//   RELAY_CHURN_CYCLES                                 connections in the churn
//   RELAY_RANDOM_SEED, RELAY_RANDOM_MS, RELAY_RANDOM_OPS  random traffic
//   RELAY_STOP_CYCLES                                  start/SIGINT cycles
//   RELAY_TEST_SERVER   program to copy and start instead of the built server
//                       (tests/valgrind.sh passes a wrapper that runs valgrind)
#include "harness/RelayHarness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using namespace relay_harness;

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The resident-memory bound for the server while peers stall.
constexpr long kRssLimitKib = 32 * 1024;
// What resident memory may have gained after connections came and went. The
// sanitizer's allocator keeps per-size caches and a quarantine of its own,
// some 3 MiB after the first thousand connections, however many follow.
constexpr long kChurnRssSlackKib = kSanitized ? 6 * 1024 : 2 * 1024;

long envLong(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 0) : fallback;
}

std::string serverBinary() {
    const char* w = std::getenv("RELAY_TEST_SERVER");
    return w && *w ? w : RelayServer::defaultBinary();
}

// Start options for runs that measure memory. Under AddressSanitizer freed
// blocks sit in a quarantine of up to 256 MiB, which would hide any bound;
// keep it small so that resident memory shows what the server holds.
StartOptions memoryOptions() {
    StartOptions o;
    if (kSanitized) {
        const char* cur = std::getenv("ASAN_OPTIONS");
        o.env.push_back(std::string("ASAN_OPTIONS=") + (cur && *cur ? std::string(cur) + ":" : "") +
                        "quarantine_size_mb=1");
    }
    return o;
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM), -1 when unknown.
long statusKib(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t len = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
            return std::strtol(line.c_str() + len + 1, nullptr, 10);
    return -1;
}

// Samples the server's VmRSS every few milliseconds and keeps the peak.
class RssSampler {
public:
    explicit RssSampler(pid_t pid) : m_thread([this, pid] {
        while (!m_stop) {
            m_peak = std::max(m_peak.load(), statusKib(pid, "VmRSS"));
            std::this_thread::sleep_for(Millis(5));
        }
    }) {}
    ~RssSampler() { stop(); }
    long stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return m_peak;
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_peak{0};
    std::thread m_thread;
};

// ---- Raw clients: plain sockets for threads, churn and random traffic ----

std::string deviceIp(int id) { return "127.0.0." + std::to_string(id); }

// Connects from ip (127.0.0.1: requester) and returns a non-blocking socket,
// -1 on failure. The connect itself is bounded by a send timeout.
int rawConnect(int port, const std::string& ip) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (ip != "127.0.0.1") {
        // The port is chosen at connect, by the full address pair, so that
        // thousands of short connections do not run out of local ports.
        int one = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            return -1;
        }
    }
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "connect from %s to port %d failed: %s\n", ip.c_str(), port, std::strerror(errno));
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void closeRaw(int fd, bool reset) {
    if (fd < 0) return;
    if (reset) {
        linger lg{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    close(fd);
}

// Connects and waits until the server has logged the accept of one more
// connection from ip than before, so that the connection is registered.
int connectRegistered(RelayServer& srv, const std::string& ip) {
    auto count = [&] {
        int n = 0;
        for (const AcceptRecord& r : parseAcceptLines(srv.log())) n += r.ip == ip;
        return n;
    };
    const int before = count();
    int fd = rawConnect(srv.port(), ip);
    for (auto end = Clock::now() + kStartTimeout; fd >= 0 && count() <= before;) {
        if (Clock::now() > end) {
            std::fprintf(stderr, "no accept logged for a connection from %s\n", ip.c_str());
            closeRaw(fd, false);
            return -1;
        }
        std::this_thread::sleep_for(Millis(2));
    }
    return fd;
}

// Sends n bytes of value v; false on error or when the deadline passes.
bool sendFill(int fd, unsigned char v, size_t n, Clock::time_point deadline) {
    const std::string buf(std::min<size_t>(n, 65536), static_cast<char>(v));
    while (n > 0) {
        ssize_t s = send(fd, buf.data(), std::min(n, buf.size()), MSG_NOSIGNAL);
        if (s > 0) {
            n -= static_cast<size_t>(s);
            continue;
        }
        if (s < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(std::min<long>(left, 100)));
    }
    return true;
}

// Sends up to n bytes of value v without waiting; returns what was taken.
size_t sendSome(int fd, unsigned char v, size_t n) {
    std::string buf(n, static_cast<char>(v));
    ssize_t s = send(fd, buf.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
    return s > 0 ? static_cast<size_t>(s) : 0;
}

struct ReadResult {
    uint64_t bytes = 0;
    uint64_t wrong = 0;  // bytes that differ from the expected value
    bool closed = false; // end of file or error
};

// Reads until want bytes came, the peer closed or the deadline passed,
// counting every byte that is not v.
ReadResult readExpect(int fd, uint64_t want, unsigned char v, Clock::time_point deadline) {
    ReadResult r;
    static thread_local char buf[65536];
    while (r.bytes < want && !r.closed) {
        ssize_t got = recv(fd, buf, std::min<uint64_t>(sizeof buf, want - r.bytes), MSG_DONTWAIT);
        if (got > 0) {
            r.bytes += static_cast<uint64_t>(got);
            for (ssize_t i = 0; i < got; ++i) r.wrong += static_cast<unsigned char>(buf[i]) != v;
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            r.closed = true;
            break;
        }
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min<long>(left, 100)));
    }
    return r;
}

// Waits until the server holds exactly `count` descriptors (all clients gone).
bool waitDescriptors(pid_t pid, int count, Millis timeout) {
    for (auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for(Millis(10)))
        if (descriptorCount(pid) == count) return true;
    return descriptorCount(pid) == count;
}

void expectCleanExit(const ExitInfo& info) {
    EXPECT_TRUE(info.exited);
    EXPECT_EQ(0, info.status);
    EXPECT_EQ(0, info.signal);
    EXPECT_NE(std::string::npos, info.log.find(std::string(kExitOkLine) + "\n")) << info.log.substr(0, 2000);
}

}  // namespace

// ---- Memory stays bounded while peers do not read ----------------------------

TEST(RobustnessMemory, StalledDeviceBoundsServerMemoryAndLaterGetsEveryByte) {
    const uint64_t total = static_cast<uint64_t>(envLong("RELAY_SLOW_READER_MIB", 96)) << 20;
    const long idleMs = envLong("RELAY_SLOW_READER_IDLE_MS", 2000);
    const int id = 42;
    RelayServer srv(serverBinary());
    ASSERT_TRUE(srv.start(memoryOptions()));
    const long baseline = statusKib(srv.pid(), "VmRSS");
    int dev = connectRegistered(srv, deviceIp(id));
    int req = connectRegistered(srv, "127.0.0.1");
    ASSERT_GE(dev, 0);
    ASSERT_GE(req, 0);

    RssSampler sampler(srv.pid());
    const auto deadline = Clock::now() + std::chrono::seconds(120 + static_cast<long>(total >> 23));
    std::atomic<bool> sent{false}, sendOk{false};
    std::thread sender([&] {
        sendOk = sendFill(req, id, total, deadline);
        sent = true;
    });
    std::this_thread::sleep_for(Millis(idleMs));  // the device reads nothing meanwhile
    const long rssStalled = statusKib(srv.pid(), "VmRSS");

    // A one-byte chunk names id 0 and is dropped by the rules; the log tells
    // how many there were (they show as a request line with byte 1 = 00).
    // Reading ends when every byte is accounted for, or when nothing more
    // came for a while after the requester had sent everything.
    uint64_t got = 0, wrong = 0, dropped = 0;
    auto lastProgress = Clock::now();
    while (Clock::now() < deadline && Clock::now() - lastProgress < kDataTimeout) {
        ReadResult r = readExpect(dev, total - got, id, Clock::now() + Millis(200));
        got += r.bytes;
        wrong += r.wrong;
        if (r.closed || got == total) break;
        if (r.bytes > 0 || !sent) {
            lastProgress = Clock::now();
        } else {
            dropped = static_cast<uint64_t>(srv.countLine(requestLine(id, 0)));
            if (got + dropped == total) break;
        }
    }
    sender.join();
    const long peak = std::max(sampler.stop(), statusKib(srv.pid(), "VmHWM"));
    std::printf("[ figures  ] stalled device: %llu MiB, stalled %ld ms, VmRSS baseline %ld KiB, "
                "while stalled %ld KiB, peak %ld KiB, one-byte chunks %llu\n",
                static_cast<unsigned long long>(total >> 20), idleMs, baseline, rssStalled, peak,
                static_cast<unsigned long long>(dropped));
    EXPECT_TRUE(sendOk);
    EXPECT_EQ(total, got + dropped);
    EXPECT_EQ(0u, wrong);
    EXPECT_LT(peak, kRssLimitKib);
    closeRaw(req, false);
    closeRaw(dev, false);
    expectCleanExit(srv.stop());
}

TEST(RobustnessMemory, RequesterThatNeverReadsDoesNotGrowServer) {
    const uint64_t answers = static_cast<uint64_t>(envLong("RELAY_SLOW_READER_MIB", 96)) << 20;
    const int id = 43;
    RelayServer srv(serverBinary());
    ASSERT_TRUE(srv.start(memoryOptions()));
    const long baseline = statusKib(srv.pid(), "VmRSS");
    int dev = connectRegistered(srv, deviceIp(id));
    int req = connectRegistered(srv, "127.0.0.1");
    ASSERT_GE(dev, 0);
    ASSERT_GE(req, 0);

    // The requester asks without pause and reads nothing; the device drains
    // the requests and answers all the time. Answers pile up towards the
    // requester until the server stops reading it; from then on the device's
    // answers find nobody waiting and are dropped.
    RssSampler sampler(srv.pid());
    const auto deadline = Clock::now() + std::chrono::seconds(120 + static_cast<long>(answers >> 23));
    uint64_t answered = 0;
    ReadResult requests;
    while (answered < answers && Clock::now() < deadline) {
        sendSome(req, id, 65536);
        answered += sendSome(dev, id, 65536);
        ReadResult r = readExpect(dev, ~0ull, id, Clock::now());
        requests.bytes += r.bytes;
        requests.wrong += r.wrong;
        ASSERT_FALSE(r.closed);
        pollfd p{dev, POLLOUT, 0};
        poll(&p, 1, 10);
    }
    const long peak = std::max(sampler.stop(), statusKib(srv.pid(), "VmHWM"));
    ReadResult back = readExpect(req, ~0ull, id, Clock::now() + Millis(1000));
    std::printf("[ figures  ] never-reading requester: %llu MiB answered, %llu KiB reached it, "
                "VmRSS baseline %ld KiB, peak %ld KiB\n",
                static_cast<unsigned long long>(answered >> 20), static_cast<unsigned long long>(back.bytes >> 10),
                baseline, peak);
    EXPECT_EQ(answers, answered);
    EXPECT_EQ(0u, requests.wrong);
    EXPECT_EQ(0u, back.wrong);
    EXPECT_GT(back.bytes, 1u << 20);  // the backlog did build up
    EXPECT_LT(peak, kRssLimitKib);
    closeRaw(req, false);
    closeRaw(dev, false);
    expectCleanExit(srv.stop());
}

// ---- Churn: connections come and go, nothing stays behind --------------------

TEST(RobustnessChurn, ConnectCloseCyclesLeaveNoDescriptorsOrMemoryBehind) {
    const long cycles = envLong("RELAY_CHURN_CYCLES", 10000);
    RelayServer srv(serverBinary());
    ASSERT_TRUE(srv.start(memoryOptions()));
    const int fdBefore = descriptorCount(srv.pid());
    const long rssBefore = statusKib(srv.pid(), "VmRSS");
    std::mt19937 rng(20240607);
    long conns = 0, resets = 0, midTransfer = 0, exchanges = 0;
    auto nextReset = [&] { return conns++ % 3 == 2 ? (++resets, true) : false; };
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(60 + cycles / 200);

    for (long pair = 0; conns < cycles && Clock::now() < deadline; ++pair) {
        const int id = 2 + static_cast<int>(pair % 250);
        int dev = rawConnect(srv.port(), deviceIp(id));
        int req = rawConnect(srv.port(), "127.0.0.1");
        ASSERT_GE(dev, 0) << "connection " << conns;
        ASSERT_GE(req, 0) << "connection " << conns;
        const bool resetDev = nextReset(), resetReq = nextReset();
        auto soon = [] { return Clock::now() + kDataTimeout; };
        switch (pair % 4) {
        case 0: {  // a whole exchange; it also keeps the test in step with the server
            const size_t n = 2 + rng() % 200;
            ASSERT_TRUE(sendFill(req, id, n, soon()));
            ReadResult asked = readExpect(dev, n, id, soon());
            ASSERT_EQ(n, asked.bytes) << "request lost in cycle " << pair;
            ASSERT_EQ(0u, asked.wrong);
            ASSERT_TRUE(sendFill(dev, id, 50, soon()));
            ReadResult answer = readExpect(req, 50, id, soon());
            ASSERT_EQ(50u, answer.bytes) << "answer lost in cycle " << pair;
            ASSERT_EQ(0u, answer.wrong);
            ++exchanges;
            break;
        }
        case 1:  // the device goes while a large request streams to it
            sendSome(req, id, 256 * 1024);
            readExpect(dev, 1 + rng() % 8192, id, Clock::now() + Millis(20));
            ++midTransfer;
            break;
        case 2:  // the requester goes while a large answer streams to it
            sendSome(req, id, 64);
            readExpect(dev, 64, id, Clock::now() + Millis(20));
            sendSome(dev, id, 256 * 1024);
            ++midTransfer;
            break;
        default:  // connect and go
            break;
        }
        if (rng() % 2) {
            closeRaw(dev, resetDev);
            closeRaw(req, resetReq);
        } else {
            closeRaw(req, resetReq);
            closeRaw(dev, resetDev);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(srv.running());
    const bool settled = waitDescriptors(srv.pid(), fdBefore, Millis(30000));
    const int fdAfter = descriptorCount(srv.pid());
    std::this_thread::sleep_for(Millis(200));
    const long rssAfter = statusKib(srv.pid(), "VmRSS");
    const int errorEvents = srv.countLine(kErrorLine);
    std::printf("[ figures  ] churn: %ld connections (%ld reset, %ld transfers cut, %ld exchanges) in %.1f s, "
                "%d error events; descriptors %d -> %d; VmRSS %ld -> %ld KiB\n",
                conns, resets, midTransfer, exchanges, seconds, errorEvents, fdBefore, fdAfter, rssBefore, rssAfter);
    EXPECT_GE(conns, cycles) << "the churn did not finish in time";
    EXPECT_TRUE(settled);
    EXPECT_EQ(fdBefore, fdAfter);
    EXPECT_LE(rssAfter, rssBefore + kChurnRssSlackKib);
    expectCleanExit(srv.stop());
}

// ---- Random traffic with faults ---------------------------------------------

namespace {

struct Peer {
    int fd = -1;
    bool device = false;
    int id = 0;                   // device: its id; requester: its current target
    uint64_t asked[4] = {};       // requester: ids it asked for on this connection
    int localPort = 0;
    bool reading = true;
};

int localPortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin_port) : 0;
}

// Bytes the server has received on its socket for this requester but not yet
// read, asked of the kernel for exactly that socket (sock_diag); -1 unknown.
long serverUnread(int serverPort, const Peer& p) {
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return -1;
    struct {
        nlmsghdr hdr;
        inet_diag_req_v2 req;
    } msg{};
    msg.hdr.nlmsg_len = sizeof msg;
    msg.hdr.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    msg.hdr.nlmsg_flags = NLM_F_REQUEST;
    msg.req.sdiag_family = AF_INET;
    msg.req.sdiag_protocol = IPPROTO_TCP;
    msg.req.idiag_states = ~0u;
    msg.req.id.idiag_sport = htons(static_cast<uint16_t>(serverPort));
    msg.req.id.idiag_dport = htons(static_cast<uint16_t>(p.localPort));
    msg.req.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    msg.req.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
    msg.req.id.idiag_cookie[0] = msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    long unread = -1;
    char reply[8192];
    ssize_t n;
    if (send(nl, &msg, sizeof msg, 0) == static_cast<ssize_t>(sizeof msg) && (n = recv(nl, reply, sizeof reply, 0)) > 0) {
        auto* h = reinterpret_cast<nlmsghdr*>(reply);
        if (NLMSG_OK(h, static_cast<unsigned>(n)) && h->nlmsg_type == SOCK_DIAG_BY_FAMILY)
            unread = static_cast<long>(static_cast<inet_diag_msg*>(NLMSG_DATA(h))->idiag_rqueue);
    }
    close(nl);
    return unread;
}

// True when the server has read every byte this requester sent: nothing is
// left unacknowledged in our socket and nothing unread in the server's. Only
// then may the requester turn to another id without a chunk mixing bytes for
// two ids.
bool serverReadAll(int serverPort, const Peer& p) {
    int unacked = 0;
    return ioctl(p.fd, SIOCOUTQ, &unacked) == 0 && unacked == 0 && serverUnread(serverPort, p) == 0;
}

size_t randomChunkSize(std::mt19937& rng) {
    switch (rng() % 8) {
    case 0: return 1;
    case 1: case 2: return 4096;
    case 3: case 4: return 2 + rng() % 200;
    default: return 1 + rng() % 8192;
    }
}

}  // namespace

TEST(RobustnessRandom, RandomTrafficWithFaultsKeepsRoutingRulesAndServerAlive) {
    const unsigned seed = static_cast<unsigned>(envLong("RELAY_RANDOM_SEED", 1234567));
    const long durationMs = envLong("RELAY_RANDOM_MS", 6000);
    const long maxOps = envLong("RELAY_RANDOM_OPS", 400000);
    std::printf("[ figures  ] random traffic seed %u (replay: RELAY_RANDOM_SEED=%u)\n", seed, seed);
    std::mt19937 rng(seed);
    RelayServer srv(serverBinary());
    ASSERT_TRUE(srv.start());
    const int fdBefore = descriptorCount(srv.pid());

    // Devices take ids 2..4 (often two at once share one); requesters ask
    // 2..6, where 5 and 6 never have a device.
    std::vector<Peer> peers(10);
    long connects = 0, closes = 0, resets = 0, switches = 0, ops = 0;
    uint64_t toDevices = 0, toRequesters = 0, badAtDevice = 0, badAtRequester = 0, unexpectedEof = 0;
    auto open = [&](size_t i) {
        Peer& p = peers[i];
        p = Peer();
        p.device = i < 4;
        p.id = p.device ? 2 + static_cast<int>(rng() % 3) : 2 + static_cast<int>(rng() % 5);
        if (!p.device) p.asked[p.id / 64] |= 1ull << (p.id % 64);
        p.fd = rawConnect(srv.port(), p.device ? deviceIp(p.id) : "127.0.0.1");
        p.localPort = p.fd >= 0 ? localPortOf(p.fd) : 0;
        ++connects;
        return p.fd >= 0;
    };
    for (size_t i = 0; i < peers.size(); ++i) ASSERT_TRUE(open(i));

    static char buf[65536];
    const auto start = Clock::now();
    const auto end = start + Millis(durationMs);
    while (ops < maxOps && Clock::now() < end) {
        // Take in whatever arrived, checking every byte.
        for (Peer& p : peers) {
            if (!p.reading) continue;
            ssize_t n;
            while ((n = recv(p.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
                for (ssize_t k = 0; k < n; ++k) {
                    const unsigned b = static_cast<unsigned char>(buf[k]);
                    if (p.device) badAtDevice += b != static_cast<unsigned>(p.id);
                    else badAtRequester += !(p.asked[b / 64] >> (b % 64) & 1);
                }
                (p.device ? toDevices : toRequesters) += static_cast<uint64_t>(n);
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                ++unexpectedEof;  // the server never closes a healthy connection
                p.reading = false;
            }
        }
        const size_t i = rng() % peers.size();
        Peer& p = peers[i];
        const unsigned action = rng() % 100;
        if (action < 60) {
            sendSome(p.fd, p.id, randomChunkSize(rng));
        } else if (action < 70) {
            p.reading = !p.reading;
        } else if (action < 73 && !p.device) {
            if (serverReadAll(srv.port(), p)) {
                p.id = 2 + static_cast<int>(rng() % 5);
                p.asked[p.id / 64] |= 1ull << (p.id % 64);
                ++switches;
            }
        } else if (action < 75) {
            const bool reset = rng() % 2;
            closeRaw(p.fd, reset);
            ++(reset ? resets : closes);
            ASSERT_TRUE(open(i)) << "reconnect failed, seed " << seed;
        } else if (action < 76) {
            std::this_thread::sleep_for(Millis(1));  // let the server catch up now and then
        }
        if (++ops % 2000 == 0) {
            ASSERT_TRUE(srv.running()) << "server died, seed " << seed;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(srv.running()) << "server died, seed " << seed;
    for (Peer& p : peers) closeRaw(p.fd, false);
    EXPECT_TRUE(waitDescriptors(srv.pid(), fdBefore, Millis(30000)));
    std::printf("[ figures  ] random traffic seed %u: %ld ops in %.1f s, %ld connects, %ld closes, %ld resets, "
                "%ld target switches, %llu bytes to devices, %llu bytes to requesters\n",
                seed, ops, seconds, connects, closes, resets, switches,
                static_cast<unsigned long long>(toDevices), static_cast<unsigned long long>(toRequesters));
    EXPECT_EQ(0u, badAtDevice) << "seed " << seed;
    EXPECT_EQ(0u, badAtRequester) << "seed " << seed;
    EXPECT_EQ(0u, unexpectedEof) << "seed " << seed;
    EXPECT_GT(toDevices, 0u);
    EXPECT_GT(toRequesters, 0u);
    expectCleanExit(srv.stop());
}

// ---- The worked exchange, end to end (also the valgrind scenario) -------------

TEST(RobustnessExchange, DeviceRequestAnswerDroppedExtraAndCloses) {
    RelayServer srv(serverBinary());
    ASSERT_TRUE(srv.start());
    Client& dev = srv.connectDevice(23);
    Client& req = srv.connectRequester();
    ASSERT_TRUE(dev.isOpen());
    ASSERT_TRUE(req.isOpen());
    const std::string request("\x01\x17\x02\x03\x04\x05", 6);
    const std::string answer("answer-9!", 9);
    ASSERT_TRUE(req.send(request));
    EXPECT_EQ(request, dev.receive(request.size()));
    ASSERT_TRUE(dev.send(answer));
    EXPECT_EQ(answer, req.receive(answer.size()));
    ASSERT_TRUE(dev.send("xyz"));
    EXPECT_TRUE(srv.waitForLine(readLine(dev.serverFd(), 3)));
    EXPECT_EQ("", req.receiveFor());
    EXPECT_TRUE(srv.closeClient(dev));
    EXPECT_TRUE(srv.closeClient(req));
    expectCleanExit(srv.stop());
}

// ---- Out of descriptors: accept waits instead of spinning, then recovers ------

TEST(RobustnessDescriptors, FloodBeyondDescriptorLimitPausesAcceptAndRecovers) {
    RelayServer srv(serverBinary());
    StartOptions o;
    o.fileLimit = 64;
    ASSERT_TRUE(srv.start(o));
    const int base = descriptorCount(srv.pid());
    const int flood = 80, closing = 40;  // 80 connections, 64 descriptors
    std::vector<int> fds;
    for (int i = 0; i < flood; ++i) {
        fds.push_back(rawConnect(srv.port(), "127.0.0.1"));  // completes in the backlog
        ASSERT_GE(fds.back(), 0);
    }
    ASSERT_TRUE(waitDescriptors(srv.pid(), 64, Millis(10000))) << descriptorCount(srv.pid());
    // With every descriptor taken the pending connections must not make the
    // loop spin: it may use only a small part of two seconds of CPU.
    const double cpu0 = cpuSeconds(srv.pid());
    std::this_thread::sleep_for(Millis(2000));
    const double cpu = cpuSeconds(srv.pid()) - cpu0;
    std::printf("[ figures  ] out of descriptors: %.2f s CPU in 2 s\n", cpu);
    EXPECT_LT(cpu, 0.5);
    ASSERT_TRUE(srv.running());
    // Once connections close, the rest are accepted and the relay works.
    for (int i = 0; i < closing; ++i) closeRaw(fds[i], i % 2);
    EXPECT_TRUE(waitDescriptors(srv.pid(), base + flood - closing, Millis(10000))) << descriptorCount(srv.pid());
    int dev = connectRegistered(srv, deviceIp(9));
    int req = connectRegistered(srv, "127.0.0.1");
    ASSERT_GE(dev, 0);
    ASSERT_GE(req, 0);
    ASSERT_TRUE(sendFill(req, 9, 100, Clock::now() + kDataTimeout));
    EXPECT_EQ(100u, readExpect(dev, 100, 9, Clock::now() + kDataTimeout).bytes);
    for (int i = closing; i < flood; ++i) closeRaw(fds[i], false);
    closeRaw(dev, false);
    closeRaw(req, false);
    expectCleanExit(srv.stop());
}

// ---- Stopping is always clean ------------------------------------------------

TEST(RobustnessStop, RepeatedStartAndSigintAlwaysExitCleanly) {
    const long cycles = envLong("RELAY_STOP_CYCLES", 200);
    RelayServer srv(serverBinary());
    double maxStop = 0, sumStop = 0;
    for (long i = 0; i < cycles; ++i) {
        const int kind = static_cast<int>(i % 3);  // 0 idle, 1 open connections, 2 traffic in flight
        StartOptions o;
        o.detectLeaks = kind == 0;  // open connections are not freed at exit, by design
        ASSERT_TRUE(srv.start(o)) << "cycle " << i;
        std::vector<int> fds;
        std::atomic<bool> quit{false};
        std::thread pump;
        if (kind != 0) {
            fds.push_back(connectRegistered(srv, deviceIp(7)));
            fds.push_back(connectRegistered(srv, "127.0.0.1"));
            fds.push_back(rawConnect(srv.port(), deviceIp(8)));
            for (int fd : fds) ASSERT_GE(fd, 0) << "cycle " << i;
        }
        if (kind == 2) {
            // The requester streams requests, the device reads some and
            // answers; whatever happens when the server goes ends the pump.
            pump = std::thread([&] {
                char b[8192];
                while (!quit) {
                    if (sendSome(fds[1], 7, 8192) == 0 && sendSome(fds[0], 7, 4096) == 0) {
                        pollfd p[2] = {{fds[0], POLLOUT, 0}, {fds[1], POLLOUT, 0}};
                        poll(p, 2, 5);
                    }
                    recv(fds[0], b, sizeof b, MSG_DONTWAIT);
                    recv(fds[1], b, sizeof b, MSG_DONTWAIT);
                }
            });
            std::this_thread::sleep_for(Millis(20));
        }
        const auto t0 = Clock::now();
        const bool signalled = srv.signal(SIGINT);
        ExitInfo info = srv.waitExit(Millis(5000));
        const double stopped = std::chrono::duration<double>(Clock::now() - t0).count();
        quit = true;
        if (pump.joinable()) pump.join();
        for (int fd : fds) closeRaw(fd, false);
        ASSERT_TRUE(signalled) << "cycle " << i;
        maxStop = std::max(maxStop, stopped);
        sumStop += stopped;
        expectCleanExit(info);
        ASSERT_TRUE(info.exited && info.status == 0) << "cycle " << i << " kind " << kind;
    }
    std::printf("[ figures  ] %ld start/SIGINT cycles: stop time max %.3f s, mean %.4f s\n", cycles, maxStop,
                cycles ? sumStop / static_cast<double>(cycles) : 0.0);
}

// ---- The PID file is never reached through a link -----------------------------

TEST(RobustnessPidFile, LinkPlantedAtPidPathIsRefusedAndTargetUntouched) {
    RelayServer srv(serverBinary());
    const std::string target = srv.dir() + "/victim.txt";
    const std::string content = "precious content, keep me\n";
    {
        std::ofstream out(target, std::ios::binary);
        out << content;
    }
    const std::string missing = srv.dir() + "/never-created";
    const std::string expected = std::string("Open file failed, error : ") + std::strerror(ELOOP);
    for (const std::string& linkTo : {target, missing}) {
        unlink(srv.pidFilePath().c_str());
        ASSERT_EQ(0, symlink(linkTo.c_str(), srv.pidFilePath().c_str()));
        StartOptions o;
        o.waitListening = false;
        ASSERT_TRUE(srv.start(o));
        ExitInfo info = srv.waitExit();
        EXPECT_TRUE(info.exited);
        EXPECT_EQ(1, info.status);
        EXPECT_EQ(expected, info.log);  // no line end after the message
        char link[4096] = {};
        EXPECT_EQ(static_cast<ssize_t>(linkTo.size()), readlink(srv.pidFilePath().c_str(), link, sizeof link - 1));
        EXPECT_EQ(linkTo, link);
    }
    std::ifstream in(target, std::ios::binary);
    std::stringstream now;
    now << in.rdbuf();
    EXPECT_EQ(content, now.str());
    struct stat st;
    EXPECT_NE(0, lstat(missing.c_str(), &st)) << "the dangling link was followed";
    unlink(srv.pidFilePath().c_str());
}
