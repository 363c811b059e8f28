// Black-box tests of the relay in the field: peers that stall or vanish,
// devices admitted by network, log levels, reload on SIGHUP, SIGTERM, and
// the status server. Each test runs a private copy of the binary through
// RelayHarness.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/NetNamespace.h"
#include "harness/RelayHarness.h"

using namespace relay_harness;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The server's standard error: the log file, less the lines of stdout.
bool logHas(const RelayServer& srv, const std::string& part) { return srv.log().find(part) != std::string::npos; }

constexpr char kPauses[] = "relaysvr_backpressure_pauses_total";

// A device that reads nothing, behind small buffers, and a requester that
// has pushed it over the high mark: from now on, every requester that asks
// this device is paused. Returns the stuck device's client.
Client& stickDevice(RelayServer& srv, const Status& status, int id) {
    Client& dev = srv.connectFrom("127.0.0." + std::to_string(id), true, 4096);
    Client& pusher = srv.connectRequester();
    // Every byte names the device, however the server cuts the stream.
    // Loopback's large segments let the kernel hold some MiB for the device
    // before the relay queues anything: push until the relay pauses.
    const std::string block(256 << 10, static_cast<char>(id));
    EXPECT_TRUE(waitFor(kDataTimeout, [&] {
        pusher.write(block, 0ms);
        return status.value(kPauses) >= 1;
    })) << status.metrics();
    return dev;
}

}  // namespace

// ---------------------------------------------------------------------------
// Nothing outside the relay stops it
// ---------------------------------------------------------------------------

// A requester paused behind a stuck device is still watched: its close, its
// half-close (end of file means closed) and its reset free it, while the
// device stays stuck. The descriptors go back to where they were.
TEST(Stalls, PausedRequesterThatGoesIsReleased) {
    RelayServer srv;
    Status status;
    StartOptions o = status.options();
    ASSERT_TRUE(srv.start(o));
    Client& dev = stickDevice(srv, status, 9);
    // The status server's last connection may linger for a moment after its
    // client saw the end of the reply.
    std::this_thread::sleep_for(100ms);
    const int base = descriptorCount(srv.pid());

    for (const char* how : {"close", "half-close", "reset"}) {
        SCOPED_TRACE(how);
        const double pauses = status.value(kPauses);
        Client& req = srv.connectRequester();
        ASSERT_TRUE(req.send(request(1, 9)));
        ASSERT_TRUE(waitFor(kDataTimeout, [&] { return status.value(kPauses) > pauses; }));
        const int removed = srv.countLine(removeLine(req.serverFd()));
        if (std::string(how) == "half-close") {
            shutdown(req.fd(), SHUT_WR);
            req.receive(1);  // the server closes it: end of file here
            EXPECT_TRUE(req.peerClosed());
            req.close();
        } else {
            req.close(std::string(how) == "reset");
        }
        EXPECT_TRUE(srv.waitForLine(removeLine(req.serverFd()), removed + 1)) << srv.log();
        EXPECT_TRUE(waitDescriptorCount(srv.pid(), base)) << descriptorCount(srv.pid()) << " open, not " << base;
    }
    EXPECT_TRUE(dev.isOpen());
    EXPECT_EQ(status.value("relaysvr_connections{kind=\"device\"}"), 1);
}

// With 64 descriptors, a stuck device and 70 requesters that ask it once and
// give up must not lock everybody else out: a new pair is still served.
TEST(SlowStalls, StuckDeviceCannotTakeEveryDescriptor) {
    RelayServer srv;
    Status status;
    StartOptions o = status.options();
    o.fileLimit = 64;
    o.logLevel = "connections";  // the harness waits for accept lines
    ASSERT_TRUE(srv.start(o));
    stickDevice(srv, status, 9);
    for (int i = 0; i < 70; ++i) {
        const double pauses = status.value(kPauses);
        Client& req = srv.connectRequester();
        ASSERT_TRUE(req.isOpen()) << "requester " << i;
        ASSERT_TRUE(req.send(request(static_cast<unsigned char>(i), 9)));
        ASSERT_TRUE(waitFor(kDataTimeout, [&] { return status.value(kPauses) > pauses; })) << "requester " << i;
        req.close();  // gave up, as relay-request does after its timeout
    }
    Client& dev = srv.connectDevice(10);
    Client& req = srv.connectRequester();
    EXPECT_TRUE(relays(req, dev, request(1, 10)));
    EXPECT_TRUE(relays(dev, req, "served"));
}

// A log reader that stops reading (a pipe nobody drains) must neither freeze
// relaying nor delay the stop. Lines beyond what may be held are dropped
// whole and counted, and the count is written once the reader catches up.
TEST(Stalls, StalledLogReaderStopsNeitherRelayingNorTheStop) {
    RelayServer srv;
    Status status;
    StartOptions o = status.options();
    o.stdoutPipe = true;
    o.asanOptions = "detect_leaks=0";  // stopped with connections open, which are not freed by design
    ASSERT_TRUE(srv.start(o));
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    // About 62 bytes of log per round trip: 25,000 fill the pipe (64 KiB)
    // and then the relay's 1 MiB of pending log.
    const int rounds = 25000;
    int done = 0;
    for (; done < rounds; ++done) {
        if (!req.send(request(static_cast<unsigned char>(done), 9)) || dev.receive(6).size() != 6 ||
            !dev.send("answer") || req.receive(6) != "answer")
            break;
    }
    EXPECT_EQ(done, rounds) << "relaying froze";

    // The reader catches up: the count of dropped lines comes after.
    std::string out;
    waitFor(10s, [&] {
        out += srv.readStdoutPipe();
        return out.find("log lines dropped") != std::string::npos;
    });
    EXPECT_NE(out.find("SvrStart ok!"), std::string::npos);
    EXPECT_NE(out.find("log lines dropped: the log was not read in time\n"), std::string::npos) << out.size();
    EXPECT_GT(status.value("relaysvr_log_lines_dropped_total"), 0);

    // Stalled again; the stop still comes within about a second.
    for (int i = 0; i < 2000 && req.send(request(1, 9)) && dev.receive(6).size() == 6; ++i) {
    }
    const auto start = Clock::now();
    ASSERT_TRUE(srv.signal(SIGINT));
    const ExitInfo e = srv.waitExit();
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.status, 0);
    EXPECT_LT(Clock::now() - start, 3s);
}

// The log's reader, in a thread: takes at most `bytes` every `every` from a
// non-blocking descriptor until its end of file (or the deadline, or the
// reader's end when a test fails early).
class SlowReader {
public:
    SlowReader(int fd, size_t bytes, Millis every)
        : m_thread([this, fd, bytes, every] {
              const auto deadline = Clock::now() + 120s;
              std::vector<char> buf(bytes);
              while (!m_quit && Clock::now() < deadline) {
                  const ssize_t n = read(fd, buf.data(), buf.size());
                  if (n == 0 || (n < 0 && errno != EAGAIN)) break;
                  if (n > 0) m_text.append(buf.data(), static_cast<size_t>(n));
                  std::this_thread::sleep_for(every);
              }
          }) {}
    // Waits for the end of file; everything read.
    const std::string& text() {
        if (m_thread.joinable()) m_thread.join();
        return m_text;
    }
    ~SlowReader() {
        m_quit = true;
        text();
    }

private:
    std::atomic<bool> m_quit{false};
    std::string m_text;
    std::thread m_thread;
};

// Whether the text is, whole, a line the relay writes on standard output in
// the test below (device 9).
bool isRelayLine(const std::string& l) {
    int a = 0, b = 0;
    unsigned x = 0, y = 0;
    char ip[32] = {};
    if (std::sscanf(l.c_str(), " %d  OnRead: %d", &a, &b) == 2) return l == readLine(a, b);
    if (std::sscanf(l.c_str(), " is request: %x %x", &x, &y) == 2)
        return l == requestLine(static_cast<unsigned char>(x), static_cast<unsigned char>(y));
    if (std::sscanf(l.c_str(), "Server OnAccept an socket %x ip=%31[0-9.],  id=%d", &x, ip, &a) == 3)
        return l == acceptLine(ip, a);
    return l == doLine(9) || l == kStartOkLine || l == "SvrReload ok!" || l == kExitOkLine;
}

// Standard output and standard error on one socket, as under the journal,
// and a reader that lags: every line arrives whole, none spliced into
// another, and none is lost.
TEST(Stalls, SharedOutputSocketKeepsEveryLineWhole) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    const int small = 4096;  // partial writes all the time
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    RelayServer srv;
    StartOptions o;
    o.outputFd = sv[1];
    o.iniExtra = "Bogus=1\n";  // one warning on standard error at each reload
    o.asanOptions = "detect_leaks=0";  // stopped with connections open
    const bool started = srv.start(o);
    close(sv[1]);
    SlowReader reader(sv[0], 512, 1ms);
    ASSERT_TRUE(started);
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    const int rounds = 3000;
    for (int i = 0; i < rounds; ++i) {
        ASSERT_TRUE(relays(req, dev, request(static_cast<unsigned char>(i), 9)));
        ASSERT_TRUE(relays(dev, req, "answer"));
        if (i % 50 == 0) {
            ASSERT_TRUE(srv.signal(SIGHUP));
        }
    }
    ASSERT_TRUE(srv.signal(SIGINT));
    const ExitInfo e = srv.waitExit(30s);
    EXPECT_EQ(e.status, 0);
    const std::string text = reader.text();
    close(sv[0]);

    const std::string warning = "relaySvr.ini: unknown key \"Bogus\" in [SvrTarn] is ignored (keys are case-sensitive)";
    int reloads = 0, reloadWarnings = 0, dos = 0;
    for (const std::string& l : completeLines(text)) {
        reloads += l == "SvrReload ok!";
        reloadWarnings += l == "reload: " + warning;
        dos += l == doLine(9);
        EXPECT_TRUE(l == warning || l == "reload: " + warning || isRelayLine(l)) << "spliced: " << l;
    }
    EXPECT_EQ(dos, rounds);
    EXPECT_GE(reloads, 1);
    EXPECT_EQ(reloadWarnings, reloads);
    EXPECT_EQ(text.size() >= 7 ? text.substr(text.size() - 7) : text, "exit 0\n");
}

// ---------------------------------------------------------------------------
// The journal, and errors that say what and where
// ---------------------------------------------------------------------------

// Under systemd both streams are one socket to the journal, which
// JOURNAL_STREAM names: each line then carries its priority, and the
// journal's err view holds exactly the failure and what failed. With the
// variable naming another stream, the lines are as they always were.
TEST(Journal, EachLineCarriesItsPriorityOnTheJournalsStreamOnly) {
    for (const bool journal : {true, false}) {
        SCOPED_TRACE(journal ? "JOURNAL_STREAM names the output" : "JOURNAL_STREAM names another socket");
        int sv[2], other[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other));
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        struct stat st;
        ASSERT_EQ(0, fstat(journal ? sv[1] : other[1], &st));
        RelayServer srv;
        StartOptions o;
        o.outputFd = sv[1];
        o.env = {"JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)};
        o.iniExtra = "DeviceNetworks=127.0.0.0/24\nBogus=1\n";  // a warning at start and at the reload
        o.asanOptions = "detect_leaks=0";  // stopped with the requester connected
        const bool started = srv.start(o);
        close(sv[1]);
        std::string text;  // a few KiB: the socket holds them until they are read
        bool ended = false;
        const auto take = [&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(sv[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
            ended = n == 0;
        };
        ASSERT_TRUE(started);
        srv.connectFrom("127.0.1.5", false);  // refused, before the device is accepted
        Client& dev = srv.connectDevice(9);
        Client& req = srv.connectRequester();
        ASSERT_TRUE(relays(req, dev, request(1, 9)));
        ASSERT_TRUE(relays(dev, req, "answer"));
        const int devFd = dev.serverFd(), open = descriptorCount(srv.pid());
        dev.close(true);
        ASSERT_TRUE(waitDescriptorCount(srv.pid(), open - 1));
        ASSERT_TRUE(srv.signal(SIGHUP));
        ASSERT_TRUE(waitFor(kDataTimeout, [&] {
            take();
            return text.find("SvrReload ok!\n") != std::string::npos;
        })) << text;
        ASSERT_TRUE(srv.signal(SIGINT));
        EXPECT_EQ(srv.waitExit().status, 0);
        EXPECT_TRUE(waitFor(kDataTimeout, [&] {
            take();
            return ended;
        }));
        const std::vector<std::string> lines = completeLines(text);
        close(sv[0]);
        close(other[0]);
        close(other[1]);

        const std::string warning = "relaySvr.ini: unknown key \"Bogus\" in [SvrTarn] is ignored (keys are case-sensitive)";
        const std::string failed = " " + std::to_string(devFd) + ": connection from 127.0.0.9 (device 9) failed: " +
                                   std::strerror(ECONNRESET);
        const struct { std::string text; int priority; } expected[] = {
            {warning, 4}, {kStartOkLine, 6},
            {"Server refused a device from 127.0.1.5: outside DeviceNetworks", 5},
            {acceptLine("127.0.0.9", devFd), 6}, {requestLine(1, 9), 7}, {doLine(9), 7},
            {readLine(devFd, 6), 7}, {kErrorLine, 3}, {failed, 3}, {removeLine(devFd), 6},
            {"reload: " + warning, 4}, {"SvrReload ok!", 6}, {kExitOkLine, 6}};
        for (const auto& x : expected) {
            const std::string line = journal ? "<" + std::to_string(x.priority) + ">" + x.text : x.text;
            EXPECT_NE(indexOf(lines, line), -1) << line;
        }
        // journalctl -p err: the failure and what failed, in that order.
        std::vector<std::string> errors;
        for (const std::string& l : lines) {
            const bool prefixed = l.size() > 3 && l[0] == '<' && l[1] >= '3' && l[1] <= '7' && l[2] == '>';
            EXPECT_EQ(journal, prefixed) << l;
            if (prefixed && l[1] == '3') errors.push_back(l.substr(3));
        }
        if (journal) {
            EXPECT_EQ(errors, (std::vector<std::string>{kErrorLine, failed}));
        }
    }
}

// A flood of resets: the first failures of each second are told one by one,
// the rest in one count once the second is over; none is left out.
TEST(Journal, FailedConnectionsAreToldAtMostTenASecond) {
    RelayServer srv;
    StartOptions o;
    o.logLevel = "errors";  // connecting then waits for the accepted socket only, not for its log line
    ASSERT_TRUE(srv.start(o));
    const int devices = 40;
    std::vector<Client*> clients;
    for (int id = 2; id < 2 + devices; ++id) clients.push_back(&srv.connectDevice(id));
    for (Client* c : clients) c->close(true);
    ASSERT_TRUE(srv.waitForLine(kErrorLine, devices));
    const std::string countHead = "relaySvr: ", countTail = " more connections failed in the last second, not told "
                                                             "one by one (at most 10 a second are)";
    int told = 0, counted = 0;
    const auto tally = [&] {
        told = counted = 0;
        for (const std::string& l : srv.logLines()) {
            int fd = 0, id = 0;
            unsigned long n = 0;
            if (std::sscanf(l.c_str(), " %d: connection from 127.0.0.%d (device", &fd, &id) == 2) ++told;
            if (l.rfind(countHead, 0) == 0 && std::sscanf(l.c_str() + countHead.size(), "%lu", &n) == 1 &&
                l.size() > countTail.size() && l.compare(l.size() - countTail.size(), countTail.size(), countTail) == 0)
                counted += static_cast<int>(n);
        }
        return told + counted == devices;
    };
    EXPECT_TRUE(waitFor(kDataTimeout, tally)) << srv.log();
    EXPECT_GE(told, 10);
    EXPECT_GT(counted, 0) << "40 resets at once spread over more than a few seconds?\n" << srv.log();
    EXPECT_TRUE(srv.stopsCleanly());
}

// A reader that keeps reading, slower than the relay logs: at the stop it
// gets every pending line, however long that takes, and every line made is
// either received or counted in a count line, the last one before "exit 0".
TEST(SlowStalls, SlowSteadyLogReaderGetsEveryLineOrItsCountAtStop) {
    RelayServer srv;
    StartOptions o;
    o.stdoutPipe = true;
    o.asanOptions = "detect_leaks=0";  // stopped with connections open
    ASSERT_TRUE(srv.start(o));
    SlowReader reader(srv.stdoutPipeFd(), 16 << 10, 50ms);  // 320 KiB/s
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    // 4 lines, about 62 bytes, per round trip: about 2.4 MiB in all, more
    // than the reader takes meanwhile plus what the relay may hold.
    const int rounds = 40000;
    int done = 0;
    for (; done < rounds; ++done)
        if (!req.send(request(static_cast<unsigned char>(done), 9)) || dev.receive(6).size() != 6 ||
            !dev.send("answer") || req.receive(6) != "answer")
            break;
    EXPECT_EQ(done, rounds);
    const auto stop = Clock::now();
    ASSERT_TRUE(srv.signal(SIGINT));
    const ExitInfo e = srv.waitExit(90s);
    const double stopSeconds = std::chrono::duration<double>(Clock::now() - stop).count();
    EXPECT_EQ(e.status, 0);
    const std::string text = reader.text();

    unsigned long long received = 0, dropped = 0;  // count lines aside
    for (const std::string& l : completeLines(text))
        if (unsigned long long n = 0; std::sscanf(l.c_str(), "relaySvr: %llu log lines dropped:", &n) == 1)
            dropped += n;
        else
            ++received;
    const unsigned long long made = 1 + 2 + 4ull * done + 1;  // start, two accepts, the rounds, exit
    std::printf("lines made %llu, received %llu, counted as dropped %llu; stop took %.1f s\n", made, received,
                dropped, stopSeconds);
    EXPECT_EQ(received + dropped, made);
    const std::vector<std::string> lines = completeLines(text);
    ASSERT_GE(lines.size(), 2u);
    if (dropped > 0) {
        EXPECT_EQ(lines[lines.size() - 2].rfind("relaySvr: ", 0), 0u) << "the count is not the last line";
    }
    EXPECT_EQ(text.substr(text.size() - 7), "exit 0\n");
}

// ---------------------------------------------------------------------------
// Devices admitted by network
// ---------------------------------------------------------------------------

// Listed networks and bare addresses may be devices; other peers are closed
// before they enter any table, with one line naming them. Requesters are
// never affected. A reload that drops a network closes its devices only.
TEST(Admission, OnlyListedNetworksMayBeDevicesAndReloadRevokes) {
    RelayServer srv;
    StartOptions o;
    o.iniExtra = "DeviceNetworks=127.0.0.8/29, 127.0.1.9\n";
    ASSERT_TRUE(srv.start(o));
    Client& inNet = srv.connectDevice(9);          // 127.0.0.8 - 127.0.0.15
    Client& bare = srv.connectFrom("127.0.1.9");
    Client& req = srv.connectRequester();          // 127.0.0.1 is outside the list
    for (const char* outside : {"127.0.0.16", "127.0.2.9"}) {
        Client& refused = srv.connectFrom(outside, false);
        EXPECT_TRUE(srv.waitForLine(std::string("Server refused a device from ") + outside + ": outside DeviceNetworks"));
        refused.receive(1);
        EXPECT_TRUE(refused.peerClosed()) << outside;
        EXPECT_EQ(srv.countLine(acceptLine(outside, refused.serverFd())), 0);
    }
    EXPECT_TRUE(relays(req, inNet, request(1, 9)));
    EXPECT_TRUE(relays(inNet, req, "in-net"));

    std::ofstream(srv.dir() + "/relaySvr.ini", std::ios::trunc)
        << "[SvrTarn]\nPort=" << srv.configuredPort() << "\nDeviceNetworks=127.0.1.0/24\n";
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!"));
    inNet.receive(1);
    EXPECT_TRUE(inNet.peerClosed());
    EXPECT_TRUE(srv.waitForLine(" " + std::to_string(inNet.serverFd()) +
                                " device 127.0.0.9 is outside DeviceNetworks now: closed"));
    EXPECT_TRUE(relays(req, bare, request(2, 9)));  // id 9 is the bare device now
    EXPECT_TRUE(relays(bare, req, "kept"));
    EXPECT_TRUE(srv.stopsCleanly());
}

// One rule for the start and --check: a missing file means the defaults;
// a file that is there but cannot be read or trusted never starts the relay,
// and --check says so with status 1. Whether a device from 127.0.0.23 gets
// in shows what a running relay made of the file.
TEST(Admission, ConfigurationThatCannotBeTrustedNeverOpensTheRelay) {
    RelayServer srv;
    const std::string file = srv.dir() + "/case.ini";
    const int port = pickFreePort();
    const std::string head = "[SvrTarn]\nPort=" + std::to_string(port) + "\nDeviceNetworks=127.0.0.8/29";
    enum Make { kNothing, kText, kFifo, kUnreadable };
    const struct Case {
        const char* name;
        Make make;
        std::string text;
        int start;      // exit status of the start; -1: it runs
        int check;      // --check's status
        bool admits23;  // while it runs
        std::string says;
    } cases[] = {
        {"missing", kNothing, "", -1, 0, true, file + " is missing"},
        {"unreadable", kUnreadable, head + "\n", 1, 1, false, "case.ini cannot be read (Permission denied)"},
        {"FIFO", kFifo, "", 1, 1, false, "case.ini is not a regular file (a FIFO)"},
        {"byte-order mark", kText, "\xEF\xBB\xBF" + head + "\n", -1, 0, false, "byte-order mark"},
        {"[svrtarn]", kText, "[svrtarn]" + head.substr(9) + "\n", 1, 1, false, "section [svrtarn] is not [SvrTarn]"},
        {"empty", kText, "", -1, 0, true, "no key in [SvrTarn]"},
        {"bad LogLevel", kText, head + "\nLogLevel=debug\n", 1, 1, false, "LogLevel=\"debug\""},
        {"list with an item it cannot read", kText, head + " 192.168.2.0/33\n", 1, 1, false,
         "DeviceNetworks: cannot read \"192.168.2.0/33\""},
        {"; in the list", kText, head + ";127.0.0.23\n", -1, 0, false, "\"127.0.0.23\" stands after \";\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(file.c_str());
        StartOptions o;
        o.writeIni = false;
        o.args = {"--config", file};
        if (c.make == kText || c.make == kUnreadable) std::ofstream(file) << c.text;
        if (c.make == kFifo) {
            ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
        }
        if (c.make == kUnreadable) {
            std::string why;
            if (!canRunAs("nobody", why)) {
                std::printf("[ skipped  ] the unreadable file: cannot run the server as nobody: %s\n", why.c_str());
                continue;
            }
            ASSERT_EQ(chmod(file.c_str(), 0600), 0);  // root's file
            o.user = "nobody";
        }
        const int listens = c.text.find("Port=") != std::string::npos ? port : 5000;
        if (c.start >= 0) {
            EXPECT_FALSE(srv.start(o));
            const ExitInfo e = srv.waitExit();
            EXPECT_EQ(e.status, c.start) << e.log;
            EXPECT_NE(e.log.find(c.says), std::string::npos) << e.log;
            EXPECT_NE(e.log.find(file + ": not started"), std::string::npos) << e.log;
            EXPECT_FALSE(isPortListening(listens));
        } else if (listens == 5000 && isPortListening(5000)) {
            std::printf("[ skipped  ] the start of \"%s\": port 5000 is in use\n", c.name);
        } else {
            ASSERT_TRUE(srv.start(o)) << srv.log();
            EXPECT_EQ(srv.port(), listens);
            EXPECT_TRUE(logHas(srv, c.says)) << srv.log();
            if (c.admits23) {
                EXPECT_TRUE(srv.connectDevice(23).isOpen());
            } else {
                srv.connectFrom("127.0.0.23", false);
                EXPECT_TRUE(srv.waitForLine("Server refused a device from 127.0.0.23: outside DeviceNetworks"));
            }
            EXPECT_TRUE(srv.stopsCleanly());
        }
        o.args.push_back("--check");
        EXPECT_FALSE(srv.start(o));
        const ExitInfo e = srv.waitExit();
        EXPECT_EQ(e.status, c.check) << e.log;
        EXPECT_NE(e.log.find(c.says), std::string::npos) << e.log;
        EXPECT_NE(e.log.find(c.check ? ": would NOT start" : ": would start"), std::string::npos) << e.log;
        EXPECT_EQ(e.log.find("DeviceNetworks= (devices from any address)") != std::string::npos, c.admits23) << e.log;
    }
}

// ---------------------------------------------------------------------------
// Log levels, reload
// ---------------------------------------------------------------------------

// Each level keeps what it promises for one exchange and one close.
TEST(LogLevels, EachLevelKeepsItsLines) {
    struct Case { const char* level; bool connections; bool chunks; } cases[] = {
        {"chunks", true, true}, {"connections", true, false}, {"errors", false, false}};
    RelayServer srv;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        StartOptions o;
        o.logLevel = c.level;
        ASSERT_TRUE(srv.start(o));
        Client& dev = srv.connectDevice(9);
        Client& req = srv.connectRequester();
        EXPECT_TRUE(relays(req, dev, request(1, 9)));
        EXPECT_TRUE(relays(dev, req, "answer"));
        req.close(true);  // a reset: an error line at every level
        ASSERT_TRUE(srv.waitForLine(kErrorLine));
        dev.close();
        const ExitInfo e = srv.stop();
        EXPECT_TRUE(isClean(e));
        EXPECT_NE(e.log.find("SvrStart ok!"), std::string::npos);
        EXPECT_EQ(e.log.find("Server OnAccept an socket") != std::string::npos, c.connections) << e.log;
        EXPECT_EQ(e.log.find(" connection closed") != std::string::npos, c.connections) << e.log;
        EXPECT_EQ(e.log.find("  OnRead: ") != std::string::npos, c.chunks) << e.log;
        EXPECT_EQ(e.log.find(" is request: 01 09") != std::string::npos, c.chunks) << e.log;
        EXPECT_EQ(e.log.find(" do... [9]") != std::string::npos, c.chunks) << e.log;
    }
}

// A reload never takes what it cannot trust: a file caught empty mid-rewrite
// and a bad value after a good list keep every running setting, say why and
// tell systemd, without "SvrReload ok!". A status port that cannot be bound
// makes a reload that took in part, and says so. One that takes changes the
// log level at once; a changed Port is reported and waits for a restart.
TEST(Reload, FileThatCannotBeTrustedKeepsTheRunningSettings) {
    RelayServer srv;
    // systemd's side of sd_notify.
    const std::string notifyPath = srv.dir() + "/notify";
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::snprintf(at.sun_path, sizeof at.sun_path, "%s", notifyPath.c_str());
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << std::strerror(errno);
    auto notified = [&](const std::string& part) {
        std::string got;
        return waitFor(kDataTimeout, [&] {
            char buf[1024];
            for (ssize_t n; (n = recv(notify, buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.append(buf, size_t(n)) += '|';
            return got.find(part) != std::string::npos;
        });
    };

    StartOptions o;
    o.iniExtra = "DeviceNetworks=127.0.0.8/29\n";
    o.env = {"NOTIFY_SOCKET=" + notifyPath};
    ASSERT_TRUE(srv.start(o));
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    const std::string good = "[SvrTarn]\nPort=" + std::to_string(srv.configuredPort()) + "\nDeviceNetworks=127.0.0.0/24\n";
    const std::string refused = "Server refused a device from 127.0.0.23: outside DeviceNetworks";
    const struct { const char* name; std::string text; const char* says; } cases[] = {
        {"empty file", "", "DeviceNetworks would become empty (the file has no key in [SvrTarn])"},
        {"bad value after a good list", good + "LogLevel=debug\n", "LogLevel=\"debug\" is not"},
    };
    int kept = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(srv.dir() + "/relaySvr.ini", std::ios::trunc) << c.text;
        ASSERT_TRUE(srv.signal(SIGHUP));
        ASSERT_TRUE(srv.waitForLine("reload: relaySvr.ini: the running settings are kept", ++kept)) << srv.log();
        EXPECT_TRUE(logHas(srv, c.says)) << srv.log();
        EXPECT_TRUE(notified("STATUS=Reload refused, the running settings are kept: ")) << c.name;
        srv.connectFrom("127.0.0.23", false);
        EXPECT_TRUE(srv.waitForLine(refused, kept));
        EXPECT_TRUE(relays(req, dev, request(static_cast<unsigned char>(kept), 9)));
        EXPECT_TRUE(relays(dev, req, "still"));
    }
    EXPECT_EQ(srv.countLine("SvrReload ok!"), 0);

    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int taken = pickFreePort();
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(taken));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    std::ofstream(srv.dir() + "/relaySvr.ini", std::ios::trunc) << good << "StatusPort=" << taken << "\n";
    ASSERT_TRUE(srv.signal(SIGHUP));
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return logHas(srv, "SvrReload in part: status: cannot listen on"); }));
    EXPECT_TRUE(notified("STATUS=Reload applied in part: "));
    EXPECT_TRUE(srv.connectDevice(23).isOpen());  // the rest took
    close(blocker);

    // One that takes changes the level at once; a new Port waits for a restart.
    std::ofstream(srv.dir() + "/relaySvr.ini", std::ios::trunc)
        << "[SvrTarn]\nPort=" << pickFreePort() << "\nDeviceNetworks=127.0.0.0/24\nLogLevel=connections\n";
    ASSERT_TRUE(srv.signal(SIGHUP));
    EXPECT_TRUE(srv.waitForLine("SvrReload ok!"));
    EXPECT_TRUE(notified("READY=1\nSTATUS=|"));
    EXPECT_TRUE(logHas(srv, "that takes a restart; still listening on " + std::to_string(srv.port())));
    const int chunkLines = srv.countLine(doLine(9));
    EXPECT_TRUE(relays(req, dev, request(9, 9)));
    EXPECT_TRUE(relays(dev, req, "answer"));
    EXPECT_EQ(srv.countLine(doLine(9)), chunkLines);  // no chunk lines any more
    close(notify);
    EXPECT_TRUE(srv.stopsCleanly());
}

// ---------------------------------------------------------------------------
// Status server
// ---------------------------------------------------------------------------

// The counters follow known traffic, and /status the known connections.
TEST(StatusServer, DocumentsFollowConnectionsAndTraffic) {
    RelayServer srv;
    Status status;
    StartOptions o = status.options("DeviceNetworks=127.0.0.0/24 127.0.1.0/24\n");
    ASSERT_TRUE(srv.start(o));
    Client& low = srv.connectDevice(5);
    Client& high = srv.connectFrom("127.0.1.5");
    Client& asker = srv.connectRequester();
    Client& idle = srv.connectRequester();
    srv.connectFrom("127.0.2.5", false);  // refused
    ASSERT_TRUE(srv.waitForLine("Server refused a device from 127.0.2.5: outside DeviceNetworks"));

    ASSERT_TRUE(relays(asker, low, request(1, 5, 10)));     // forwarded, 10 bytes
    ASSERT_TRUE(relays(low, asker, "answer"));              // delivered, 6 bytes
    ASSERT_TRUE(low.send("unasked!"));                      // unasked, 8 bytes
    ASSERT_TRUE(srv.waitForLine(readLine(low.serverFd(), 8)));
    ASSERT_TRUE(idle.send(request(2, 77)));                 // no device, 6 bytes
    ASSERT_TRUE(srv.waitForLine(requestLine(2, 77)));
    ASSERT_TRUE(relays(asker, low, request(3, 5, 4)));      // waits now, 4 bytes

    const HttpReply m = httpRequest(status.port, "GET /metrics");
    EXPECT_EQ(m.status, 200);
    EXPECT_NE(m.headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << m.headers;
    const struct { const char* series; double value; } expected[] = {
        {"relaysvr_connections{kind=\"requester\"}", 2}, {"relaysvr_connections{kind=\"device\"}", 2},
        {"relaysvr_connections_accepted_total{kind=\"device\"}", 2}, {"relaysvr_devices_refused_total{reason=\"networks\"}", 1},
        {"relaysvr_requests_total{outcome=\"forwarded\"}", 2}, {"relaysvr_requests_total{outcome=\"no_device\"}", 1},
        {"relaysvr_answers_total{outcome=\"delivered\"}", 1}, {"relaysvr_answers_total{outcome=\"unasked\"}", 1},
        {"relaysvr_bytes_total{from=\"requester\"}", 20}, {"relaysvr_bytes_total{from=\"device\"}", 14},
        {"relaysvr_dead_devices_total", 0}, {"relaysvr_device_connections{id=\"5\"}", 2}};
    for (const auto& x : expected) EXPECT_EQ(metric(m.body, x.series), x.value) << x.series << "\n" << m.body;
    for (const char* family : {"relaysvr_connections", "relaysvr_requests_total", "relaysvr_start_time_seconds"}) {
        EXPECT_NE(m.body.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
        EXPECT_NE(m.body.find(std::string("# TYPE ") + family + " "), std::string::npos) << family;
    }

    const HttpReply s = httpRequest(status.port, "GET /status");
    EXPECT_EQ(s.status, 200);
    EXPECT_NE(s.headers.find("Content-Type: application/json"), std::string::npos) << s.headers;
    const std::string lowFd = std::to_string(low.serverFd()), highFd = std::to_string(high.serverFd());
    const std::string askerFd = std::to_string(asker.serverFd());
    EXPECT_NE(s.body.find("\"pid\": " + std::to_string(srv.pid()) + ", \"port\": " + std::to_string(srv.port())),
              std::string::npos) << s.body;
    EXPECT_NE(s.body.find("{\"fd\": " + lowFd + ", \"id\": 5, \"address\": \"127.0.0.5\""), std::string::npos) << s.body;
    EXPECT_NE(s.body.find("\"waiting_requesters\": [" + askerFd + "], \"answering\": 0, \"bytes_in\": 14, "
                          "\"bytes_out\": 14}"),
              std::string::npos) << s.body;
    EXPECT_NE(s.body.find("{\"fd\": " + highFd + ", \"id\": 5, \"address\": \"127.0.1.5\""), std::string::npos) << s.body;
    EXPECT_LT(s.body.find("\"fd\": " + lowFd + ","), s.body.find("\"fd\": " + highFd + ","));  // ascending
    EXPECT_NE(s.body.find("{\"fd\": " + askerFd + ", \"waiting_on\": " + lowFd), std::string::npos) << s.body;
    EXPECT_NE(s.body.find("{\"fd\": " + std::to_string(idle.serverFd()) + ", \"waiting_on\": 0"), std::string::npos);

    const HttpReply head = httpRequest(status.port, "HEAD /status");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
}

namespace {

// A TCP socket to 127.0.0.1:port; with nonBlocking the connect may still be
// under way. -1 when it cannot be made.
int connectTo(int port, bool nonBlocking = false) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// A listening socket on 127.0.0.1:port that keeps the status server off it.
int takePort(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;  // the port's last connections may still be in TIME-WAIT
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether a socket listens on hexAddress:port ("0100007F" is 127.0.0.1).
bool listensOn(const std::string& hexAddress, int port) {
    std::ifstream tcp("/proc/net/tcp");
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    for (std::string line; std::getline(tcp, line);)
        if (line.find(hexAddress + portHex + " 00000000:0000 0A") != std::string::npos) return true;
    return false;
}

// What the status server holds "SvrReload ok!" after the next SIGHUP.
void writeIni(const RelayServer& srv, const std::string& keys) {
    std::ofstream(srv.dir() + "/relaySvr.ini", std::ios::trunc)
        << "[SvrTarn]\nPort=" << srv.configuredPort() << "\n" << keys;
}

}  // namespace

// GET and HEAD of /status and /metrics; any other path 404, any other
// method 405 with the methods there are, whatever its spelling or body.
TEST(StatusServer, AnswersGetAndHeadOnly) {
    RelayServer srv;
    Status status;
    ASSERT_TRUE(status.start(srv));
    const struct { const char* request; std::string body; int status; } cases[] = {
        {"GET /status", "", 200},      {"HEAD /status", "", 200},       {"GET /metrics?x=1", "", 200},
        {"HEAD /metrics", "", 200},    {"GET /", "", 404},              {"GET /metrics/x", "", 404},
        {"get /status", "", 405},      {"PROPFIND /status", "", 405},   {"POST /status", "name=value", 405},
        {"PUT /metrics", std::string(20000, 'x'), 405},                 {"DELETE /status", "", 405},
        {"OPTIONS *", "", 405},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const HttpReply r = httpRequest(status.port, c.request, kDataTimeout, c.body);
        EXPECT_EQ(r.status, c.status) << r.headers;
        EXPECT_NE(r.headers.find("Connection: close\r\n"), std::string::npos) << r.headers;
        if (c.status == 405) {
            EXPECT_NE(r.headers.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << r.headers;
        }
        if (std::string(c.request).rfind("HEAD ", 0) == 0) {
            EXPECT_EQ(r.body, "");
        } else {
            EXPECT_NE(r.headers.find("Content-Length: " + std::to_string(r.body.size()) + "\r\n"), std::string::npos);
        }
    }
    EXPECT_TRUE(srv.stopsCleanly());
}

// The process's own figures under the names of Prometheus's process
// collector, the build, the outcome of the last reload and the dropped log
// lines: all there, and following the process and its reloads.
TEST(StatusServer, StandardMetricsFollowTheProcessAndItsReloads) {
    RelayServer srv;
    Status status;
    ASSERT_TRUE(status.start(srv, 4096));
    const std::string m = status.metrics();
    const int open = descriptorCount(srv.pid());
    for (const char* family :
         {"relaysvr_build_info", "relaysvr_config_last_reload_successful",
          "relaysvr_config_last_reload_success_timestamp_seconds", "relaysvr_log_lines_dropped_total",
          "relaysvr_status_clients_refused_total", "process_cpu_seconds_total", "process_resident_memory_bytes",
          "process_virtual_memory_bytes", "process_open_fds", "process_max_fds", "process_start_time_seconds"}) {
        EXPECT_NE(m.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
        EXPECT_NE(m.find(std::string("# TYPE ") + family + " "), std::string::npos) << family;
    }
    EXPECT_NE(m.find("\nrelaysvr_build_info{version=\""), std::string::npos) << m;
    EXPECT_EQ(metric(m, "process_max_fds"), 4096);
    EXPECT_NEAR(metric(m, "process_open_fds"), open, 2) << m;  // the scrape's own connection comes and goes
    EXPECT_GT(metric(m, "process_resident_memory_bytes"), 0);
    EXPECT_GE(metric(m, "process_virtual_memory_bytes"), metric(m, "process_resident_memory_bytes"));
    EXPECT_GE(metric(m, "process_cpu_seconds_total"), 0);
    const double started = metric(m, "relaysvr_start_time_seconds");
    EXPECT_NEAR(metric(m, "process_start_time_seconds"), started, 2);
    EXPECT_EQ(metric(m, "relaysvr_config_last_reload_successful"), 1);
    EXPECT_EQ(metric(m, "relaysvr_config_last_reload_success_timestamp_seconds"), started);
    EXPECT_EQ(metric(m, "relaysvr_log_lines_dropped_total"), 0);

    // A reload refused, then one that takes.
    const char* ok = "relaysvr_config_last_reload_successful";
    writeIni(srv, status.ini() + "LogLevel=debug\n");
    ASSERT_TRUE(srv.signal(SIGHUP));
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return status.value(ok) == 0; })) << srv.log();
    writeIni(srv, status.ini());
    ASSERT_TRUE(srv.signal(SIGHUP));
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return status.value(ok) == 1; })) << srv.log();
    const double took = status.value("relaysvr_config_last_reload_success_timestamp_seconds");
    EXPECT_GE(took, started);
    EXPECT_LE(took, static_cast<double>(std::time(nullptr)));
    EXPECT_TRUE(srv.stopsCleanly());
}

namespace {

// promtool (Debian: package prometheus), or the one RELAY_PROMTOOL names;
// empty when there is none.
std::string promtool() {
    if (const char* named = std::getenv("RELAY_PROMTOOL"); named && *named)
        return access(named, X_OK) == 0 ? named : "";
    std::stringstream path(std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string dir; std::getline(path, dir, ':');)
        if (!dir.empty() && access((dir + "/promtool").c_str(), X_OK) == 0) return dir + "/promtool";
    return "";
}

}  // namespace

// What /metrics serves passes promtool's checks: format and naming.
TEST(StatusServer, MetricsPassPromtool) {
    const std::string tool = promtool();
    if (tool.empty()) GTEST_SKIP() << "promtool is not installed (package prometheus; or RELAY_PROMTOOL=<path>)";
    RelayServer srv;
    Status status;
    ASSERT_TRUE(status.start(srv));
    Client& req = srv.connectRequester();
    srv.connectDevice(5);
    ASSERT_TRUE(req.send(request(1, 77)));  // every family with samples
    ASSERT_TRUE(srv.waitForLine(requestLine(1, 77)));
    const std::string in = srv.dir() + "/metrics.txt", out = srv.dir() + "/promtool.out";
    std::ofstream(in) << status.metrics();
    const int rc = std::system(("timeout 60 '" + tool + "' check metrics <'" + in + "' >'" + out + "' 2>&1").c_str());
    std::stringstream said;
    said << std::ifstream(out).rdbuf();
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << said.str();
    EXPECT_EQ(said.str(), "");
    EXPECT_TRUE(srv.stopsCleanly());
}

// Loopback only by default; a client that sends a byte a second but never
// a whole request is dropped 5 s after it connected, and never holds up
// relaying meanwhile.
TEST(StatusServer, StaysOutOfTheWay) {
    RelayServer srv;
    Status status;
    ASSERT_TRUE(srv.start(status.options()));
    ASSERT_TRUE(waitFor(kDataTimeout, [&] { return httpRequest(status.port, "GET /status").status == 200; }));
    EXPECT_TRUE(listensOn("0100007F", status.port)) << "the status port is not bound to 127.0.0.1 alone";

    const int trickle = connectTo(status.port);
    ASSERT_GE(trickle, 0);
    const auto start = Clock::now();
    ASSERT_EQ(send(trickle, "GET /status HTTP/1.0\r\nX-Slow: ", 30, MSG_NOSIGNAL), 30);
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    bool dropped = false;
    for (unsigned char i = 0; !dropped && Clock::now() < start + 9s; ++i) {
        EXPECT_TRUE(relays(req, dev, request(i, 9)));
        EXPECT_TRUE(relays(dev, req, "while-stalled"));
        pollfd p{trickle, POLLIN, 0};
        char buf[512];
        dropped = send(trickle, "x", 1, MSG_NOSIGNAL) != 1 ||
                  (poll(&p, 1, 1000) == 1 && recv(trickle, buf, sizeof buf, 0) <= 0);
    }
    const double after = secondsSince(start);
    close(trickle);
    EXPECT_TRUE(dropped) << "a client that keeps sending a byte a second was never dropped";
    EXPECT_GT(after, 4.0);
    EXPECT_LT(after, 7.5);
    EXPECT_TRUE(srv.stopsCleanly());
}

// A status port that is taken at start is bound on the next reload after it
// is free; until then the reload says it took only in part. The address
// moves on the same port (127.0.0.1 to 0.0.0.0); a move that fails keeps
// the address it had.
TEST(StatusServer, ReloadBindsAgainAndMoves) {
    Status status;
    const std::string port = std::to_string(status.port);
    int blocker = takePort(status.port);
    ASSERT_GE(blocker, 0);
    RelayServer srv;
    ASSERT_TRUE(srv.start(status.options()));
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return logHas(srv, "status: cannot listen on 127.0.0.1:" + port); }))
        << srv.log();
    const std::string inPart = "SvrReload in part: status: cannot listen on ";

    ASSERT_TRUE(srv.signal(SIGHUP));  // still taken
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return logHas(srv, inPart + "127.0.0.1:" + port); })) << srv.log();
    close(blocker);
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!")) << srv.log();
    EXPECT_EQ(httpRequest(status.port, "GET /status").status, 200);

    writeIni(srv, status.ini() + "StatusAddress=0.0.0.0\n");
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!", 2)) << srv.log();
    EXPECT_TRUE(listensOn("00000000", status.port));
    EXPECT_FALSE(listensOn("0100007F", status.port));
    EXPECT_EQ(httpRequest(status.port, "GET /metrics").status, 200);

    const int newPort = pickFreePort();
    blocker = takePort(newPort);
    ASSERT_GE(blocker, 0);
    writeIni(srv, "StatusPort=" + std::to_string(newPort) + "\n");
    ASSERT_TRUE(srv.signal(SIGHUP));
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return logHas(srv, inPart + "127.0.0.1:" + std::to_string(newPort)); }))
        << srv.log();
    EXPECT_TRUE(logHas(srv, "the old status address stays"));
    EXPECT_EQ(httpRequest(status.port, "GET /status").status, 200);
    close(blocker);
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!", 3)) << srv.log();
    EXPECT_EQ(httpRequest(newPort, "GET /status").status, 200);
    EXPECT_FALSE(isPortListening(status.port));
    EXPECT_TRUE(srv.stopsCleanly());
}

// With 64 descriptors, 200 status clients that send a byte every 2 s get
// StatusMaxClients connections at most, for 5 s each, never the relay's
// descriptors: a requester connects and exchanges with a device all along,
// accepting never runs out, and the status server counts whom it refused.
TEST(StatusServer, SlowClientsNeverStarveTheRelay) {
    RelayServer srv;
    Status status;
    ASSERT_TRUE(status.start(srv, 64));
    Client& dev = srv.connectDevice(9);
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) slow.push_back(connectTo(status.port, true));
    const std::string head = "GET /status HTTP/1.0\r\nX-Slow: ";
    const auto start = Clock::now();
    for (size_t round = 0; Clock::now() < start + 7s; ++round) {
        if (round % 8 == 0) {
            for (int fd : slow)  // refused and dropped ones fail: that is fine
                send(fd, &head[std::min(round / 8, head.size() - 1)], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        Client& req = srv.connectRequester();  // a new one each time, as relay-request does
        ASSERT_TRUE(relays(req, dev, request(static_cast<unsigned char>(round), 9))) << secondsSince(start) << " s";
        ASSERT_TRUE(relays(dev, req, "answer")) << secondsSince(start) << " s";
        req.close();
        std::this_thread::sleep_for(250ms);
    }
    for (int fd : slow) close(fd);
    EXPECT_FALSE(logHas(srv, "accept: ")) << srv.log();
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return status.value("relaysvr_status_clients_refused_total") >= 100; }))
        << status.metrics();
    EXPECT_TRUE(srv.stopsCleanly());
}

// ---------------------------------------------------------------------------
// Devices whose link dies without a FIN or RST
// ---------------------------------------------------------------------------

// A device behind a link that dies: while requests keep coming, the
// acknowledgement timeout drops it and the device that dialled in again
// gets its id; an idle one is found by keepalive. Both count as dead.
// RELAY_DEAD_DEFAULTS=1 runs with the default KeepAlive and AckTimeout
// (about two minutes) to measure them.
TEST(SlowDeadDevices, DeadDeviceIsDroppedAndItsIdGoesToTheDeviceThatCameBack) {
    NetNamespace ns;
    if (!ns.ok()) GTEST_SKIP() << "cannot make a network namespace with a veth pair (needs root and iproute2)";
    const bool defaults = std::getenv("RELAY_DEAD_DEFAULTS") != nullptr;
    const int keepAlive = defaults ? 60 : 2, ackTimeout = defaults ? 30 : 3;
    RelayServer srv;
    Status status;
    StartOptions o = status.options(defaults ? "" : "KeepAlive=2\nAckTimeout=3\n");
    ASSERT_TRUE(srv.start(o));
    const std::string accepted = "ip=" + ns.nsAddr + ",  id=";
    const std::string dropped = " dead device " + ns.nsAddr + " dropped: ";
    const auto limit = std::chrono::seconds(keepAlive * 2 + ackTimeout + 20);

    ns.device(srv.port());
    ASSERT_TRUE(waitFor(kDataTimeout, [&] { return logHas(srv, accepted); })) << srv.log();
    Client& req = srv.connectRequester();
    ASSERT_TRUE(req.send(request(0, 2)));
    ASSERT_EQ(req.receive(6), request(0, 2));  // the echo

    ASSERT_TRUE(ns.cut());
    const auto cut = Clock::now();
    Client& back = srv.connectDevice(2);  // dials in again, from elsewhere, with a higher descriptor
    bool reached = false;
    for (unsigned char i = 1; !reached && Clock::now() - cut < limit; ++i) {
        ASSERT_TRUE(req.send(request(i, 2)));
        reached = !back.receive(6, 500ms).empty();
    }
    const double busy = secondsSince(cut);
    EXPECT_TRUE(reached) << srv.log();
    // The line may still be pending in the log's batch when the request arrives.
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return logHas(srv, dropped); })) << srv.log();

    ASSERT_TRUE(ns.mend());
    ns.device(srv.port());
    ASSERT_TRUE(waitFor(kDataTimeout, [&] {
        const std::string log = srv.log();
        return log.find(accepted) != log.rfind(accepted);
    })) << srv.log();
    ASSERT_TRUE(ns.cut());
    const auto idleCut = Clock::now();
    EXPECT_TRUE(waitFor(limit, [&] { return status.value("relaysvr_dead_devices_total") == 2; })) << srv.log();
    const double idle = secondsSince(idleCut);
    std::printf("[ figures  ] KeepAlive=%d AckTimeout=%d: cut to the device that came back reached %.1f s; "
                "idle dead device dropped %.1f s after the cut\n", keepAlive, ackTimeout, busy, idle);
    EXPECT_TRUE(srv.stopsCleanly());
}
