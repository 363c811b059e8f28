// Robustness of the relay against careless and hostile peers: readers that
// stall or never read, connection churn with resets, random traffic with
// faults, running out of descriptors, stops under load, and a link planted at
// the PID path.
//
// Every stream a requester sends to device id X consists of bytes equal to X,
// and every answer of device X of bytes equal to X. However the server cuts a
// stream into chunks, a chunk of two or more bytes then names X in its byte 1,
// so a device must only ever see its own id and a requester only the id it
// asks for (one per connection; ServerTest shows a wait moving between ids).
// A one-byte chunk names id 0, which no device here has.
//
// Knobs (environment), for the long runs of tests/soak.sh and for replays:
//   RELAY_SLOW_READER_MIB, RELAY_SLOW_READER_IDLE_MS   slow-reader volume, stall
//   RELAY_CHURN_CYCLES                                 connections in the churn
//   RELAY_RANDOM_SEED, RELAY_RANDOM_MS, RELAY_RANDOM_OPS  random traffic
//   RELAY_STOP_CYCLES                                  start/SIGINT cycles
//   RELAY_SIGINT_TRIES                                 SIGINTs at random moments
// RELAY_TEST_SERVER replaces the server (see RelayHarness.h).
#include "harness/RelayHarness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using namespace relay_harness;
using namespace std::chrono_literals;

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

// Start options for runs that measure memory. Under AddressSanitizer freed
// blocks sit in a quarantine of up to 256 MiB, which would hide any bound;
// keep it small so that resident memory shows what the server holds.
StartOptions memoryOptions() {
    StartOptions o;
    o.asanOptions = "quarantine_size_mb=1";
    return o;
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM), -1 when unknown.
long statusKib(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const size_t len = std::strlen(field);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
            return std::strtol(line.c_str() + len + 1, nullptr, 10);
    return -1;
}

// Samples the server's VmRSS every few milliseconds and keeps the peak. (The
// kernel's VmHWM alone can miss a peak that was given back in between.)
class RssSampler {
public:
    explicit RssSampler(pid_t pid) : m_pid(pid), m_thread([this] {
        for (; !m_stop; std::this_thread::sleep_for(5ms)) m_peak = std::max(m_peak.load(), statusKib(m_pid, "VmRSS"));
    }) {}
    ~RssSampler() { stop(); }
    // The peak, or the kernel's VmHWM where that is higher.
    long stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        return std::max(m_peak.load(), statusKib(m_pid, "VmHWM"));
    }

private:
    const pid_t m_pid;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_peak{0};
    std::thread m_thread;
};

std::string fill(int id, size_t n) { return std::string(n, static_cast<char>(id)); }

// Number of bytes of s that differ from id.
uint64_t wrongBytes(const std::string& s, int id) {
    return s.size() - static_cast<uint64_t>(std::count(s.begin(), s.end(), static_cast<char>(id)));
}

}  // namespace

// ---- Memory stays bounded while peers do not read ----------------------------

TEST(RobustnessMemory, StalledDeviceBoundsServerMemoryAndLaterGetsEveryByte) {
    const uint64_t total = static_cast<uint64_t>(envLong("RELAY_SLOW_READER_MIB", 96)) << 20;
    const long idleMs = envLong("RELAY_SLOW_READER_IDLE_MS", 2000);
    const int id = 42;
    RelayServer srv;
    ASSERT_TRUE(srv.start(memoryOptions()));
    const long baseline = statusKib(srv.pid(), "VmRSS");
    Client& dev = srv.connectDevice(id);
    Client& req = srv.connectRequester();

    RssSampler sampler(srv.pid());
    const auto deadline = Clock::now() + std::chrono::seconds(120 + static_cast<long>(total >> 23));
    std::atomic<bool> sent{false}, sendOk{false};
    std::thread sender([&] {
        const std::string block = fill(id, 65536);
        bool ok = true;
        for (uint64_t left = total; ok && left > 0; left -= std::min<uint64_t>(left, block.size()))
            ok = req.send(left >= block.size() ? block : fill(id, left), std::chrono::duration_cast<Millis>(deadline - Clock::now()));
        sendOk = ok;
        sent = true;
    });
    std::this_thread::sleep_for(Millis(idleMs));  // the device reads nothing meanwhile
    const long rssStalled = statusKib(srv.pid(), "VmRSS");

    // A one-byte chunk names id 0 and is dropped by the rules; the log tells
    // how many there were (they show as a request line with byte 1 = 00).
    // Reading ends when every byte is accounted for, or when nothing more
    // came for a while after the requester had sent everything.
    uint64_t got = 0, wrong = 0, dropped = 0;
    for (auto lastProgress = Clock::now(); Clock::now() < deadline && Clock::now() - lastProgress < kDataTimeout;) {
        const std::string chunk = dev.receive(std::min<uint64_t>(total - got, 1 << 20), 200ms);
        got += chunk.size();
        wrong += wrongBytes(chunk, id);
        if (dev.peerClosed() || got == total) break;
        if (!chunk.empty() || !sent)
            lastProgress = Clock::now();
        else if (got + (dropped = static_cast<uint64_t>(srv.countLine(requestLine(id, 0)))) == total)
            break;
    }
    sender.join();
    const long peak = sampler.stop();
    std::printf("[ figures  ] stalled device: %llu MiB, stalled %ld ms, VmRSS baseline %ld KiB, "
                "while stalled %ld KiB, peak %ld KiB, one-byte chunks %llu\n",
                static_cast<unsigned long long>(total >> 20), idleMs, baseline, rssStalled, peak,
                static_cast<unsigned long long>(dropped));
    EXPECT_TRUE(sendOk);
    EXPECT_EQ(total, got + dropped);
    EXPECT_EQ(0u, wrong);
    EXPECT_LT(peak, kRssLimitKib);
    EXPECT_TRUE(srv.stopsCleanly());
}

TEST(RobustnessMemory, RequesterThatNeverReadsDoesNotGrowServer) {
    const uint64_t answers = static_cast<uint64_t>(envLong("RELAY_SLOW_READER_MIB", 96)) << 20;
    const int id = 43;
    RelayServer srv;
    ASSERT_TRUE(srv.start(memoryOptions()));
    const long baseline = statusKib(srv.pid(), "VmRSS");
    Client& dev = srv.connectDevice(id);
    Client& req = srv.connectRequester();

    // The requester asks without pause and reads nothing; the device drains
    // the requests and answers all the time. Answers pile up towards the
    // requester until the server stops reading it; from then on the device's
    // answers find nobody waiting and are dropped.
    RssSampler sampler(srv.pid());
    const auto deadline = Clock::now() + std::chrono::seconds(120 + static_cast<long>(answers >> 23));
    const std::string block = fill(id, 65536);
    uint64_t answered = 0, wrongRequests = 0;
    while (answered < answers && Clock::now() < deadline) {
        req.write(block, 0ms);
        answered += dev.write(fill(id, std::min<uint64_t>(block.size(), answers - answered)), 10ms);
        wrongRequests += wrongBytes(dev.receiveFor(0ms), id);
        ASSERT_FALSE(dev.peerClosed());
    }
    const long peak = sampler.stop();
    const std::string back = req.receiveFor(1000ms);
    std::printf("[ figures  ] never-reading requester: %llu MiB answered, %zu KiB reached it, "
                "VmRSS baseline %ld KiB, peak %ld KiB\n",
                static_cast<unsigned long long>(answered >> 20), back.size() >> 10, baseline, peak);
    EXPECT_EQ(answers, answered);
    EXPECT_EQ(0u, wrongRequests);
    EXPECT_EQ(0u, wrongBytes(back, id));
    EXPECT_GT(back.size(), 1u << 20);  // the backlog did build up
    EXPECT_LT(peak, kRssLimitKib);
    EXPECT_TRUE(srv.stopsCleanly());
}

// ---- Churn: connections come and go, nothing stays behind --------------------

TEST(RobustnessChurn, ConnectCloseCyclesLeaveNoDescriptorsOrMemoryBehind) {
    const long cycles = envLong("RELAY_CHURN_CYCLES", 10000);
    RelayServer srv;
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
        Client& dev = srv.connectDevice(id, false);
        Client& req = srv.connectRequester(false);
        ASSERT_TRUE(dev.isOpen() && req.isOpen()) << "connection " << conns;
        const bool resetDev = nextReset(), resetReq = nextReset();
        switch (pair % 4) {
        case 0: {  // a whole exchange; it also keeps the test in step with the server
            const std::string ask = fill(id, 2 + rng() % 200);
            ASSERT_TRUE(relays(req, dev, ask)) << "request lost in cycle " << pair;
            ASSERT_TRUE(relays(dev, req, fill(id, 50))) << "answer lost in cycle " << pair;
            ++exchanges;
            break;
        }
        case 1:  // the device goes while a large request streams to it
            req.write(fill(id, 256 * 1024), 0ms);
            dev.receive(1 + rng() % 8192, 20ms);
            ++midTransfer;
            break;
        case 2:  // the requester goes while a large answer streams to it
            req.write(fill(id, 64), 0ms);
            dev.receive(64, 20ms);
            dev.write(fill(id, 256 * 1024), 0ms);
            ++midTransfer;
            break;
        default:  // connect and go
            break;
        }
        const bool devFirst = rng() % 2;
        (devFirst ? dev : req).close(devFirst ? resetDev : resetReq);
        (devFirst ? req : dev).close(devFirst ? resetReq : resetDev);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(srv.running());
    const bool settled = waitDescriptorCount(srv.pid(), fdBefore, 30s);
    const int fdAfter = descriptorCount(srv.pid());
    std::this_thread::sleep_for(200ms);
    const long rssAfter = statusKib(srv.pid(), "VmRSS");
    std::printf("[ figures  ] churn: %ld connections (%ld reset, %ld transfers cut, %ld exchanges) in %.1f s, "
                "%d error events; descriptors %d -> %d; VmRSS %ld -> %ld KiB\n",
                conns, resets, midTransfer, exchanges, seconds, srv.countLine(kErrorLine), fdBefore, fdAfter,
                rssBefore, rssAfter);
    EXPECT_GE(conns, cycles) << "the churn did not finish in time";
    EXPECT_TRUE(settled);
    EXPECT_EQ(fdBefore, fdAfter);
    EXPECT_LE(rssAfter, rssBefore + kChurnRssSlackKib);
    EXPECT_TRUE(srv.stopsCleanly());
}

// ---- Random traffic with faults ---------------------------------------------

namespace {

struct Peer {
    Client* client = nullptr;
    bool device = false;
    int id = 0;                 // device: its id; requester: the id it asks for on this connection
    bool reading = true;
};

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
    RelayServer srv;
    StartOptions o;
    const int statusPort = pickFreePort();
    o.iniExtra = "StatusPort=" + std::to_string(statusPort) + "\n";
    ASSERT_TRUE(srv.start(o));
    // The status server listens just after the relay: count it in.
    for (auto until = Clock::now() + kDataTimeout; !isPortListening(statusPort) && Clock::now() < until;)
        std::this_thread::sleep_for(5ms);
    const int fdBefore = descriptorCount(srv.pid());

    // Devices take ids 2..4 (often two at once share one); requesters ask
    // 2..6, where 5 and 6 never have a device.
    std::vector<Peer> peers(10);
    long connects = 0, closes = 0, resets = 0, ops = 0;
    uint64_t toDevices = 0, toRequesters = 0, badAtDevice = 0, badAtRequester = 0, unexpectedEof = 0;
    auto open = [&](size_t i) {
        Peer& p = peers[i] = Peer();
        p.device = i < 4;
        p.id = 2 + static_cast<int>(rng() % (p.device ? 3 : 5));
        // Devices behind small buffers soon stop taking data when they stop
        // reading, so that requesters are paused now and then.
        p.client = p.device ? &srv.connectFrom("127.0.0." + std::to_string(p.id), false, 4096)
                            : &srv.connectRequester(false);
        ++connects;
        return p.client->isOpen();
    };
    for (size_t i = 0; i < peers.size(); ++i) ASSERT_TRUE(open(i));

    const auto start = Clock::now();
    while (ops < maxOps && Clock::now() < start + Millis(durationMs)) {
        // Take in whatever arrived, checking every byte.
        for (Peer& p : peers) {
            if (!p.reading) continue;
            const std::string got = p.client->receiveFor(0ms);
            for (const unsigned char b : got) (p.device ? badAtDevice : badAtRequester) += b != p.id;
            (p.device ? toDevices : toRequesters) += got.size();
            if (p.client->peerClosed()) {
                ++unexpectedEof;  // the server never closes a healthy connection
                p.reading = false;
            }
        }
        const size_t i = rng() % peers.size();
        Peer& p = peers[i];
        const unsigned action = rng() % 100;
        if (action < 60) {
            p.client->write(fill(p.id, randomChunkSize(rng)), 0ms);
        } else if (action < 70) {
            p.reading = !p.reading;
        } else if (action < 75) {
            const bool reset = rng() % 2;
            p.client->close(reset);
            ++(reset ? resets : closes);
            ASSERT_TRUE(open(i)) << "reconnect failed, seed " << seed;
        } else if (action < 76) {
            std::this_thread::sleep_for(1ms);  // let the server catch up now and then
        }
        if (++ops % 2000 == 0 && !srv.running()) FAIL() << "server died, seed " << seed;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(srv.running()) << "server died, seed " << seed;
    for (Peer& p : peers) p.client->close();
    EXPECT_TRUE(waitDescriptorCount(srv.pid(), fdBefore, 30s));
    const double pauses = metric(httpRequest(statusPort, "GET /metrics").body, "relaysvr_backpressure_pauses_total");
    std::printf("[ figures  ] random traffic seed %u: %ld ops in %.1f s, %ld connects, %ld closes, %ld resets, "
                "%llu bytes to devices, %llu bytes to requesters, %.0f pauses\n",
                seed, ops, seconds, connects, closes, resets, static_cast<unsigned long long>(toDevices),
                static_cast<unsigned long long>(toRequesters), pauses);
    EXPECT_EQ(0u, badAtDevice) << "seed " << seed;
    EXPECT_EQ(0u, badAtRequester) << "seed " << seed;
    EXPECT_EQ(0u, unexpectedEof) << "seed " << seed;
    EXPECT_GT(toDevices, 0u);
    EXPECT_GT(toRequesters, 0u);
    EXPECT_TRUE(srv.stopsCleanly());
}

// ---- Out of descriptors: accept waits instead of spinning, then recovers ------

// With RLIMIT_NOFILE 32 and 40 more connections than it can take, the server
// must stay up, not spin, serve its open connections, accept again once one
// closes, and relay for new connections once the flood is gone.
TEST(RobustnessDescriptors, RunningOutOfDescriptorsPausesAcceptAndRecovers) {
    RelayServer srv;
    StartOptions o;
    o.fileLimit = 32;
    o.iniExtra = "RequesterReserve=0\n";  // no descriptor kept for requesters: the limit itself
    ASSERT_TRUE(srv.start(o));
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    const int base = descriptorCount(srv.pid());
    std::vector<Client*> flood;
    for (int i = 0; i < 40; ++i) {
        flood.push_back(&srv.connectRequester(false));  // completes in the backlog
        ASSERT_TRUE(flood.back()->isOpen());
    }
    ASSERT_TRUE(waitDescriptorCount(srv.pid(), 32, 10s)) << descriptorCount(srv.pid());

    // With every descriptor taken the pending connections must not make the
    // loop spin: it may use only a small part of the CPU time that passes.
    const double cpuBefore = cpuSeconds(srv.pid());
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(2s);
    const double cpu = cpuSeconds(srv.pid()) - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    std::printf("[ figures  ] out of descriptors: %.2f s CPU in %.2f s\n", cpu, wall);
    EXPECT_LT(cpu, wall / 4) << "the server spins while it cannot accept";
    ASSERT_TRUE(srv.running()) << srv.log();

    EXPECT_TRUE(relays(req, dev, fill(9, 6)));
    EXPECT_TRUE(relays(dev, req, "full"));

    // The descriptor a close frees is the only one: a pending connection gets it.
    const int freed = req.serverFd();
    ASSERT_TRUE(srv.closeClient(req));
    EXPECT_TRUE(srv.waitForLine(acceptLine("127.0.0.1", freed), 2)) << srv.log();

    for (size_t i = 0; i < flood.size(); ++i) flood[i]->close(i % 2);
    EXPECT_TRUE(waitDescriptorCount(srv.pid(), base - 1, 10s)) << descriptorCount(srv.pid());
    Client& late = srv.connectRequester();
    EXPECT_TRUE(relays(late, dev, fill(9, 100)));
    EXPECT_TRUE(srv.stopsCleanly());
}

// ---- Stopping is always clean ------------------------------------------------

// Start/SIGINT cycles, the SIGINT sent the moment the port listens (possibly
// before the event loop runs): idle, with connections open, and with traffic
// in flight. Every stop must be the orderly one.
TEST(RobustnessStop, RepeatedStartAndSigintAlwaysExitCleanly) {
    const long cycles = envLong("RELAY_STOP_CYCLES", 200);
    RelayServer srv;
    for (long i = 0; i < cycles; ++i) {
        const int kind = static_cast<int>(i % 3);  // 0 idle, 1 open connections, 2 traffic in flight
        SCOPED_TRACE("cycle " + std::to_string(i) + " kind " + std::to_string(kind));
        StartOptions o;
        if (kind != 0) o.asanOptions = "detect_leaks=0";  // open connections are not freed at exit, by design
        ASSERT_TRUE(srv.start(o)) << srv.log();
        Client* dev = nullptr;
        Client* req = nullptr;
        if (kind != 0) {
            dev = &srv.connectDevice(7);
            req = &srv.connectRequester();
            ASSERT_TRUE(dev->isOpen() && req->isOpen() && srv.connectDevice(8, false).isOpen());
        }
        std::atomic<bool> quit{false};
        std::thread pump;
        if (kind == 2) {
            // The requester streams requests, the device reads some and
            // answers; whatever happens when the server goes ends the pump.
            pump = std::thread([&] {
                const std::string ask = fill(7, 8192), answer = fill(7, 4096);
                while (!quit) {
                    if (req->write(ask, 0ms) == 0 && dev->write(answer, 0ms) == 0) std::this_thread::sleep_for(1ms);
                    dev->receive(8192, 0ms);
                    req->receive(8192, 0ms);
                }
            });
            std::this_thread::sleep_for(20ms);
        }
        const bool signalled = srv.signal(SIGINT);
        const ExitInfo e = srv.waitExit();
        quit = true;
        if (pump.joinable()) pump.join();
        ASSERT_TRUE(signalled);
        ASSERT_TRUE(isClean(e)) << "SIGINT lost or stop not orderly";
    }
}

// A SIGINT at a random moment after the program was started: in the loader,
// during start-up, or once the loop runs. Before main it ends the process by
// the signal (nothing printed); from main's first instruction on, the stop
// is the orderly one ("exit 0", status 0). The process is never left running.
TEST(RobustnessStop, SigintAtAnyMomentAfterExecEndsTheProcess) {
    const long tries = envLong("RELAY_SIGINT_TRIES", 300);
    const unsigned seed = static_cast<unsigned>(envLong("RELAY_RANDOM_SEED", 1234567));
    RelayServer srv;
    // The moments are drawn from a little more than a start takes here.
    const auto before = Clock::now();
    ASSERT_TRUE(srv.start());
    const long startUs = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before).count();
    ASSERT_TRUE(srv.stopsCleanly());
    std::mt19937 rng(seed);
    std::uniform_int_distribution<long> moment(0, startUs * 3 / 2);
    StartOptions o;
    o.waitListen = false;
    int beforeMain = 0, beforeListening = 0, listening = 0;
    for (long i = 0; i < tries; ++i) {
        const long us = moment(rng);
        SCOPED_TRACE("try " + std::to_string(i) + ", SIGINT " + std::to_string(us) + " us after the start");
        ASSERT_TRUE(srv.start(o));
        std::this_thread::sleep_for(std::chrono::microseconds(us));
        ASSERT_TRUE(srv.signal(SIGINT));
        const ExitInfo e = srv.waitExit();
        ASSERT_TRUE(e.exited) << "left running";
        if (e.signal == SIGINT && e.log.empty()) {
            ++beforeMain;
            continue;
        }
        ASSERT_TRUE(isClean(e));
        ++(e.log.find(kStartOkLine) == std::string::npos ? beforeListening : listening);
    }
    std::printf("[ figures  ] %ld SIGINTs within %ld us of the start (seed %u): %d before main, %d before "
                "listening, %d listening\n", tries, startUs * 3 / 2, seed, beforeMain, beforeListening, listening);
}

// SIGINTs in a burst: the later ones arrive while the server stops, after
// its event base is freed, and must touch nothing of it (AddressSanitizer
// watches in the sanitizer build).
TEST(RobustnessStop, SigintBurstDuringTheStopTouchesNothingFreed) {
    RelayServer srv;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_TRUE(srv.start());
        Client& dev = srv.connectDevice(9);
        Client& req = srv.connectRequester();
        ASSERT_TRUE(relays(req, dev, request(1, 9)));
        EXPECT_TRUE(srv.closeClient(req));
        EXPECT_TRUE(srv.closeClient(dev));
        for (int i = 0; i < 100000 && srv.signal(SIGINT); ++i) {
        }
        ASSERT_TRUE(isClean(srv.waitExit()));
    }
}

// ---- The PID file is never reached through a link -----------------------------

TEST(RobustnessPidFile, LinkPlantedAtPidPathIsRefusedAndTargetUntouched) {
    RelayServer srv;
    const std::string target = srv.dir() + "/victim.txt";
    const std::string content = "precious content, keep me\n";
    std::ofstream(target, std::ios::binary) << content;
    const std::string missing = srv.dir() + "/never-created";
    for (const std::string& linkTo : {target, missing}) {
        unlink(srv.pidFilePath().c_str());
        ASSERT_EQ(0, symlink(linkTo.c_str(), srv.pidFilePath().c_str()));
        EXPECT_FALSE(srv.start());  // the process ends without listening
        const ExitInfo e = srv.waitExit();
        EXPECT_TRUE(e.exited);
        EXPECT_EQ(1, e.status);
        // The line has no line end of its own; what failed follows on a line of its own.
        EXPECT_EQ(std::string("Open file failed, error : ") + std::strerror(ELOOP) +
                      "\nrelaySvr: cannot open the PID file " + srv.pidFilePath() + ": " + std::strerror(ELOOP) +
                      " (a symbolic link there is refused)\n",
                  e.log);
        char link[4096] = {};
        EXPECT_EQ(static_cast<ssize_t>(linkTo.size()), readlink(srv.pidFilePath().c_str(), link, sizeof link - 1));
        EXPECT_EQ(linkTo, link);
    }
    std::stringstream now;
    now << std::ifstream(target, std::ios::binary).rdbuf();
    EXPECT_EQ(content, now.str());
    struct stat st;
    EXPECT_NE(0, lstat(missing.c_str(), &st)) << "the dangling link was followed";
}
