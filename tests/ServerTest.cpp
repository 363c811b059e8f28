// Black-box tests of the relaySvr binary: each test runs a private copy of it
// over loopback through RelayHarness and checks bytes, log lines, the PID file
// and the exit status.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness/RelayHarness.h"

using namespace relay_harness;
using namespace std::chrono_literals;

namespace {

// A request of n bytes: byte 0 is a tag, byte 1 the device id, the rest a
// letter pattern.
std::string request(unsigned char tag, unsigned char id, size_t n = 6) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    s[0] = static_cast<char>(tag);
    if (n > 1) s[1] = static_cast<char>(id);
    return s;
}

// The orderly end every test expects: SIGINT, "exit 0", status 0.
void expectCleanStop(RelayServer& srv) {
    ExitInfo e = srv.stop();
    ASSERT_TRUE(e.exited) << e.log;
    EXPECT_EQ(e.signal, 0) << e.log;
    EXPECT_EQ(e.status, 0) << e.log;
    std::vector<std::string> lines = completeLines(e.log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), kExitOkLine) << e.log;
}

// Index of the first log line equal to text, -1 when there is none.
int indexOf(const std::vector<std::string>& lines, const std::string& text, int from = 0) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
        if (lines[i] == text) return i;
    return -1;
}

// Number of accept lines in the log.
int acceptCount(const RelayServer& srv) { return static_cast<int>(parseAcceptLines(srv.log()).size()); }

}  // namespace

// ---------------------------------------------------------------------------
// Routing of requests and answers
// ---------------------------------------------------------------------------

// A device at 127.0.0.23 and a requester: a 6-byte request for id 23, a
// 9-byte answer, 3 unasked bytes, the device closes. Bytes and the exact log.
TEST(Routing, RequestAnswerAndCloseGiveExactBytesAndLog) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& dev = srv.connectDevice(23);
    Client& req = srv.connectRequester();
    ASSERT_TRUE(dev.isOpen() && req.isOpen());
    const int d = dev.serverFd();
    const int r = req.serverFd();
    EXPECT_EQ(acceptLine("127.0.0.23", d), "Server OnAccept an socket 1700007f ip=127.0.0.23,  id=" + std::to_string(d));
    EXPECT_EQ(acceptLine("127.0.0.1", r), "Server OnAccept an socket 100007f ip=127.0.0.1,  id=" + std::to_string(r));

    const std::string ask = request(0x01, 0x17, 6);
    ASSERT_TRUE(req.send(ask));
    EXPECT_EQ(dev.receive(ask.size()), ask);

    const std::string answer = "ANSWER-9!";
    ASSERT_TRUE(dev.send(answer));
    EXPECT_EQ(req.receive(answer.size()), answer);

    ASSERT_TRUE(dev.send("xyz"));
    ASSERT_TRUE(srv.waitForLine(readLine(d, 3)));
    EXPECT_EQ(req.receiveFor(), "");
    EXPECT_EQ(dev.receiveFor(0ms), "");

    ASSERT_TRUE(srv.closeClient(dev));
    const std::vector<std::string> expected = {
        acceptLine("127.0.0.23", d), acceptLine("127.0.0.1", r), readLine(r, 6), requestLine(0x01, 0x17),
        doLine(23), readLine(d, 9), readLine(d, 3), closedLine(d), removeLine(d),
    };
    std::vector<std::string> lines = srv.logLines();
    int first = indexOf(lines, expected.front());
    ASSERT_GE(first, 0) << srv.log();
    ASSERT_GE(lines.size(), first + expected.size()) << srv.log();
    std::vector<std::string> got(lines.begin() + first, lines.begin() + first + expected.size());
    EXPECT_EQ(got, expected) << srv.log();
    expectCleanStop(srv);
}

// Only 127.0.0.1 is a requester; a one-byte request names id 0 (zero fill).
TEST(Routing, DeviceIdsComeFromTheLastOctet) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& dev2 = srv.connectDevice(2);
    Client& dev0 = srv.connectFrom("127.0.1.0");
    Client& req = srv.connectRequester();
    ASSERT_TRUE(dev2.isOpen() && dev0.isOpen() && req.isOpen());
    EXPECT_EQ(srv.countLine("Server OnAccept an socket 200007f ip=127.0.0.2,  id=" + std::to_string(dev2.serverFd())), 1);

    const std::string ask = request(0x07, 2);
    ASSERT_TRUE(req.send(ask));
    EXPECT_EQ(dev2.receive(ask.size()), ask);
    EXPECT_TRUE(srv.waitForLine(requestLine(0x07, 2)));
    EXPECT_TRUE(srv.waitForLine(doLine(2)));

    ASSERT_TRUE(req.send("A"));
    EXPECT_EQ(dev0.receive(1), "A");
    EXPECT_TRUE(srv.waitForLine(readLine(req.serverFd(), 1)));
    EXPECT_TRUE(srv.waitForLine(requestLine('A', 0)));
    EXPECT_TRUE(srv.waitForLine(doLine(0)));

    // 127.0.0.2 is a device: what it sends is an (unasked) answer, never a
    // request, so it reaches nobody and is not logged as one.
    ASSERT_TRUE(dev2.send(request(0x09, 0)));
    ASSERT_TRUE(srv.waitForLine(readLine(dev2.serverFd(), 6)));
    EXPECT_EQ(dev0.receiveFor(), "");
    EXPECT_EQ(req.receiveFor(0ms), "");
    EXPECT_EQ(srv.countLine(requestLine(0x09, 0)), 0);
    expectCleanStop(srv);
}

// Devices 127.0.0.5 and 127.0.1.5 share id 5; the one with the lower
// descriptor gets every request, although it connected later.
TEST(Routing, LowestDescriptorWinsAmongDevicesSharingAnId) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& filler = srv.connectRequester();
    Client& early = srv.connectDevice(5);
    ASSERT_TRUE(srv.closeClient(filler));
    Client& late = srv.connectFrom("127.0.1.5");
    Client& req = srv.connectRequester();
    ASSERT_TRUE(early.isOpen() && late.isOpen() && req.isOpen());
    ASSERT_LT(late.serverFd(), early.serverFd()) << "the later device should reuse the freed lower descriptor";

    for (unsigned char tag = 1; tag <= 3; ++tag) {
        const std::string ask = request(tag, 5);
        ASSERT_TRUE(req.send(ask));
        EXPECT_EQ(late.receive(ask.size()), ask);
        ASSERT_TRUE(late.send("re" + std::to_string(tag)));
        EXPECT_EQ(req.receive(3), "re" + std::to_string(tag));
    }
    EXPECT_EQ(early.receiveFor(), "");
    expectCleanStop(srv);
}

// Two requesters wait on one device: its chunks go out by ascending requester
// descriptor, not by the order of the requests; a third chunk is dropped.
TEST(Routing, WaitingRequestersAreServedByAscendingDescriptor) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& dev = srv.connectDevice(9);
    Client& filler = srv.connectRequester();
    Client& high = srv.connectRequester();
    ASSERT_TRUE(srv.closeClient(filler));
    Client& low = srv.connectRequester();
    ASSERT_TRUE(dev.isOpen() && high.isOpen() && low.isOpen());
    ASSERT_LT(low.serverFd(), high.serverFd());

    const std::string askHigh = request('H', 9), askLow = request('L', 9);
    ASSERT_TRUE(high.send(askHigh));  // asks first
    EXPECT_EQ(dev.receive(askHigh.size()), askHigh);
    ASSERT_TRUE(low.send(askLow));
    EXPECT_EQ(dev.receive(askLow.size()), askLow);

    ASSERT_TRUE(dev.send("chunk-A"));
    EXPECT_EQ(low.receive(7), "chunk-A");
    ASSERT_TRUE(dev.send("chunk-B"));
    EXPECT_EQ(high.receive(7), "chunk-B");
    ASSERT_TRUE(dev.send("chunk-C"));
    ASSERT_TRUE(srv.waitForLine(readLine(dev.serverFd(), 7), 3));
    EXPECT_EQ(low.receiveFor(), "");
    EXPECT_EQ(high.receiveFor(0ms), "");
    expectCleanStop(srv);
}

// Every request replaces the requester's wait: a request for another device
// moves it there, one for an id without a device ends it.
TEST(Routing, EachRequestReplacesTheWait) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& devA = srv.connectDevice(9);
    Client& devB = srv.connectDevice(10);
    Client& req = srv.connectRequester();
    ASSERT_TRUE(devA.isOpen() && devB.isOpen() && req.isOpen());

    ASSERT_TRUE(req.send(request(1, 9)));
    EXPECT_EQ(devA.receive(6), request(1, 9));
    ASSERT_TRUE(req.send(request(2, 10)));
    EXPECT_EQ(devB.receive(6), request(2, 10));
    ASSERT_TRUE(devA.send("from-A"));
    ASSERT_TRUE(srv.waitForLine(readLine(devA.serverFd(), 6)));
    EXPECT_EQ(req.receiveFor(), "");
    ASSERT_TRUE(devB.send("from-B"));
    EXPECT_EQ(req.receive(6), "from-B");

    // A request for id 77, which no device has, cancels the wait on B.
    ASSERT_TRUE(req.send(request(3, 10)));
    EXPECT_EQ(devB.receive(6), request(3, 10));
    ASSERT_TRUE(req.send(request(4, 77)));
    ASSERT_TRUE(srv.waitForLine(requestLine(4, 77)));
    ASSERT_TRUE(devB.send("late-B"));
    ASSERT_TRUE(srv.waitForLine(readLine(devB.serverFd(), 6), 2));
    EXPECT_EQ(req.receiveFor(), "");
    EXPECT_EQ(srv.countLine(doLine(77)), 0);
    expectCleanStop(srv);
}

// 4196 bytes in one send: a chunk of 4096 and one of 100, each routed by its
// own byte 1.
TEST(Routing, RequestOver4096BytesIsRoutedChunkByChunk) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& devA = srv.connectDevice(3);
    Client& devB = srv.connectDevice(4);
    Client& req = srv.connectRequester();
    ASSERT_TRUE(devA.isOpen() && devB.isOpen() && req.isOpen());

    std::string data = request(1, 3, 4096) + request(2, 4, 100);
    ASSERT_TRUE(req.send(data));
    EXPECT_EQ(devA.receive(4096), data.substr(0, 4096));
    EXPECT_EQ(devB.receive(100), data.substr(4096));
    EXPECT_EQ(devA.receiveFor(), "");
    ASSERT_TRUE(srv.waitForLine(doLine(4)));

    std::vector<std::string> lines = srv.logLines();
    const int r = req.serverFd();
    int big = indexOf(lines, readLine(r, 4096));
    ASSERT_GE(big, 0) << srv.log();
    EXPECT_EQ(indexOf(lines, requestLine(1, 3), big), big + 1);
    EXPECT_EQ(indexOf(lines, doLine(3), big), big + 2);
    EXPECT_EQ(indexOf(lines, readLine(r, 100), big), big + 3) << srv.log();
    EXPECT_EQ(indexOf(lines, requestLine(2, 4), big), big + 4);
    EXPECT_EQ(indexOf(lines, doLine(4), big), big + 5);
    expectCleanStop(srv);
}

// What a device sends while nobody waits on it is dropped, not kept for later.
TEST(Routing, UnaskedDeviceDataIsDropped) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    ASSERT_TRUE(dev.isOpen() && req.isOpen());

    ASSERT_TRUE(dev.send("unasked"));
    ASSERT_TRUE(srv.waitForLine(readLine(dev.serverFd(), 7)));
    EXPECT_EQ(req.receiveFor(), "");

    ASSERT_TRUE(req.send(request(1, 9)));
    EXPECT_EQ(dev.receive(6), request(1, 9));
    ASSERT_TRUE(dev.send("answer"));
    EXPECT_EQ(req.receive(6), "answer");
    EXPECT_EQ(req.receiveFor(), "");
    expectCleanStop(srv);
}

// ---------------------------------------------------------------------------
// Closed connections leave every table
// ---------------------------------------------------------------------------

// After a device closes, requests for its id go to another device with that
// id, and when none is left they go nowhere (no " do..." line).
TEST(ClosedConnections, ClosedDeviceIsNoLongerFound) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& req = srv.connectRequester();
    Client& low = srv.connectDevice(7);
    Client& high = srv.connectFrom("127.0.1.7");
    ASSERT_TRUE(req.isOpen() && low.isOpen() && high.isOpen());
    ASSERT_LT(low.serverFd(), high.serverFd());

    ASSERT_TRUE(req.send(request(1, 7)));
    EXPECT_EQ(low.receive(6), request(1, 7));
    ASSERT_TRUE(srv.closeClient(low));

    ASSERT_TRUE(req.send(request(2, 7)));
    EXPECT_EQ(high.receive(6), request(2, 7));
    EXPECT_TRUE(srv.waitForLine(doLine(7), 2));
    ASSERT_TRUE(srv.closeClient(high));

    ASSERT_TRUE(req.send(request(3, 7)));
    ASSERT_TRUE(srv.waitForLine(requestLine(3, 7)));
    std::this_thread::sleep_for(kQuietWindow);
    EXPECT_EQ(srv.countLine(doLine(7)), 2) << srv.log();
    EXPECT_TRUE(srv.running());
    expectCleanStop(srv);
}

// A requester waiting on a device that closes gets nothing, not even from a
// new device that is given the closed device's descriptor.
TEST(ClosedConnections, WaitOnClosedDeviceEnds) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& req = srv.connectRequester();
    Client& dev = srv.connectDevice(9);
    ASSERT_TRUE(req.isOpen() && dev.isOpen());
    const int d = dev.serverFd();

    ASSERT_TRUE(req.send(request(1, 9)));
    EXPECT_EQ(dev.receive(6), request(1, 9));
    ASSERT_TRUE(srv.closeClient(dev));

    Client& next = srv.connectDevice(12);
    ASSERT_TRUE(next.isOpen());
    ASSERT_EQ(next.serverFd(), d) << "the new device should reuse the freed descriptor";
    ASSERT_TRUE(next.send("stray"));
    ASSERT_TRUE(srv.waitForLine(readLine(d, 5)));
    EXPECT_EQ(req.receiveFor(), "");

    // The requester still works with the new device.
    ASSERT_TRUE(req.send(request(2, 12)));
    EXPECT_EQ(next.receive(6), request(2, 12));
    ASSERT_TRUE(next.send("reply"));
    EXPECT_EQ(req.receive(5), "reply");
    expectCleanStop(srv);
}

// A connection that gets the descriptor of a closed one is sorted by its own
// address: a device's old descriptor can carry a requester, and a requester's
// old descriptor a device (which then gets no answers meant for the old one).
TEST(ClosedConnections, ReusedDescriptorIsSortedAfresh) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& dev = srv.connectDevice(9);
    Client& gone = srv.connectDevice(20);
    ASSERT_TRUE(dev.isOpen() && gone.isOpen());
    const int x = gone.serverFd();
    ASSERT_TRUE(srv.closeClient(gone));

    Client& req = srv.connectRequester();
    ASSERT_TRUE(req.isOpen());
    ASSERT_EQ(req.serverFd(), x);
    ASSERT_TRUE(req.send(request(3, 9)));
    EXPECT_EQ(dev.receive(6), request(3, 9));
    EXPECT_TRUE(srv.waitForLine(requestLine(3, 9)));
    ASSERT_TRUE(dev.send("ans-1"));
    EXPECT_EQ(req.receive(5), "ans-1");

    Client& waiter = srv.connectRequester();
    ASSERT_TRUE(waiter.isOpen());
    const int y = waiter.serverFd();
    ASSERT_TRUE(waiter.send(request(4, 9)));
    EXPECT_EQ(dev.receive(6), request(4, 9));
    ASSERT_TRUE(srv.closeClient(waiter));

    Client& newDev = srv.connectDevice(21);
    ASSERT_TRUE(newDev.isOpen());
    ASSERT_EQ(newDev.serverFd(), y);
    ASSERT_TRUE(dev.send("for-nobody"));
    ASSERT_TRUE(srv.waitForLine(readLine(dev.serverFd(), 10)));
    EXPECT_EQ(newDev.receiveFor(), "");
    EXPECT_EQ(req.receiveFor(0ms), "");

    ASSERT_TRUE(req.send(request(5, 21)));
    EXPECT_EQ(newDev.receive(6), request(5, 21));
    ASSERT_TRUE(newDev.send("ans-2"));
    EXPECT_EQ(req.receive(5), "ans-2");
    expectCleanStop(srv);
}

// ---------------------------------------------------------------------------
// Peers that reset: the connection is freed, the server goes on
// ---------------------------------------------------------------------------

namespace {

// The lines logged for the end of a connection: the error message or the
// closed line, followed (not necessarily at once) by its remove line.
void expectEndLines(const RelayServer& srv, int fd) {
    std::vector<std::string> lines = srv.logLines();
    int remove = indexOf(lines, removeLine(fd));
    ASSERT_GE(remove, 0) << srv.log();
    bool reported = false;
    for (int i = 0; i < remove; ++i) reported |= lines[i] == kErrorLine || lines[i] == closedLine(fd);
    EXPECT_TRUE(reported) << srv.log();
}

bool waitDescriptorCount(pid_t pid, int count) {
    for (int i = 0; i < 500; ++i) {
        if (descriptorCount(pid) == count) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

}  // namespace

TEST(ErrorEvents, ResetWhileServerReadsFreesConnection) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& req = srv.connectRequester();
    ASSERT_TRUE(req.isOpen());
    const int base = descriptorCount(srv.pid());

    Client& dev = srv.connectDevice(9);
    ASSERT_TRUE(dev.isOpen());
    const int d = dev.serverFd();
    EXPECT_EQ(descriptorCount(srv.pid()), base + 1);
    ASSERT_TRUE(dev.send("half"));
    ASSERT_TRUE(srv.closeClient(dev, /*reset=*/true)) << srv.log();
    expectEndLines(srv, d);
    EXPECT_TRUE(waitDescriptorCount(srv.pid(), base)) << descriptorCount(srv.pid()) << " open, expected " << base;

    ASSERT_TRUE(req.send(request(1, 9)));
    ASSERT_TRUE(srv.waitForLine(requestLine(1, 9)));
    EXPECT_EQ(srv.countLine(doLine(9)), 0);
    EXPECT_TRUE(srv.running());
    expectCleanStop(srv);
}

// A device that stops reading has requests pending in the server when it
// resets; the waiting requester gets nothing and keeps working.
TEST(ErrorEvents, ResetWhileServerWritesFreesConnection) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& req = srv.connectRequester();
    Client& other = srv.connectDevice(10);
    ASSERT_TRUE(req.isOpen() && other.isOpen());
    const int base = descriptorCount(srv.pid());

    Client& dev = srv.connectFrom("127.0.0.9", AcceptWait::Log, 4096);
    ASSERT_TRUE(dev.isOpen());
    const int d = dev.serverFd();
    // Every byte is 9, so however the server cuts the stream into chunks,
    // each names device 9. Bounded: 768 KiB.
    const std::string flood(768 * 1024, '\x09');
    ASSERT_TRUE(req.send(flood));
    ASSERT_TRUE(srv.waitForLine(doLine(9)));
    ASSERT_TRUE(srv.closeClient(dev, /*reset=*/true)) << srv.log();
    expectEndLines(srv, d);
    EXPECT_TRUE(waitDescriptorCount(srv.pid(), base)) << descriptorCount(srv.pid()) << " open, expected " << base;
    EXPECT_EQ(req.receiveFor(), "");

    ASSERT_TRUE(req.send(request(1, 10)));
    EXPECT_EQ(other.receive(6), request(1, 10));
    ASSERT_TRUE(other.send("still-here"));
    EXPECT_EQ(req.receive(10), "still-here");
    expectCleanStop(srv);
}

// ---------------------------------------------------------------------------
// Process lifecycle: start, single instance, stop
// ---------------------------------------------------------------------------

TEST(Lifecycle, StartsListensAndStopsOnSigint) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.port(), srv.configuredPort());
    EXPECT_TRUE(srv.waitForLine(kStartOkLine));
    EXPECT_EQ(srv.pidFileContent(), std::to_string(srv.pid()));
    const pid_t pid = srv.pid();
    expectCleanStop(srv);
    EXPECT_EQ(srv.pidFileContent(), std::to_string(pid));
}

TEST(Lifecycle, SecondInstanceOfTheSameCopyIsRefused) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    ExitInfo second = srv.runAgain("second", "[SvrTarn]\nPort=" + std::to_string(pickFreePort()) + "\n");
    ASSERT_TRUE(second.exited) << second.log;
    EXPECT_EQ(second.status, 253) << second.log;
    std::vector<std::string> lines = completeLines(second.log);
    int locked = indexOf(lines, lockedLine(srv.pidFilePath(), strerror(EAGAIN)));
    if (locked < 0) locked = indexOf(lines, lockedLine(srv.pidFilePath(), strerror(EACCES)));
    ASSERT_GE(locked, 0) << second.log;
    ASSERT_LT(locked + 1, static_cast<int>(lines.size())) << second.log;
    EXPECT_EQ(lines[locked + 1], kExitLockedLine);
    EXPECT_EQ(indexOf(lines, kStartOkLine), -1);
    EXPECT_EQ(srv.pidFileContent(), std::to_string(srv.pid()));
    EXPECT_TRUE(srv.running());
    expectCleanStop(srv);
}

TEST(Lifecycle, StalePidFileIsRewritten) {
    RelayServer srv;
    {
        std::ofstream stale(srv.pidFilePath(), std::ios::trunc);
        stale << "99999999";
    }
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.pidFileContent(), std::to_string(srv.pid()));
    expectCleanStop(srv);
}

TEST(Lifecycle, PortInUseEndsStartWith254) {
    int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_EQ(getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const int port = ntohs(addr.sin_port);

    RelayServer srv;
    StartOptions options;
    options.ini = "[SvrTarn]\nPort=" + std::to_string(port) + "\n";
    EXPECT_FALSE(srv.start(options));
    ExitInfo e = srv.waitExit();
    close(blocker);
    ASSERT_TRUE(e.exited) << e.log;
    EXPECT_EQ(e.status, 254) << e.log;
    std::vector<std::string> lines = completeLines(e.log);
    EXPECT_NE(indexOf(lines, kExitNotOkLine), -1) << e.log;
    EXPECT_EQ(indexOf(lines, kStartOkLine), -1) << e.log;
}

// SIGINT sent the moment the port listens (possibly before the event loop
// runs) must still stop the server.
TEST(Lifecycle, SigintRightAfterListenIsNeverLost) {
    RelayServer srv;
    for (int cycle = 0; cycle < 50; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_TRUE(srv.start()) << srv.log();
        ASSERT_TRUE(srv.signal(SIGINT));
        ExitInfo e = srv.waitExit();
        ASSERT_TRUE(e.exited) << "SIGINT lost; log:\n" << e.log;
        EXPECT_EQ(e.status, 0) << e.log;
        EXPECT_NE(indexOf(completeLines(e.log), kExitOkLine), -1) << e.log;
    }
}

// Lines reach the log file while the server runs, and nothing printed is
// lost when the process is killed by SIGTERM (no orderly stop).
TEST(Lifecycle, LogLinesReachTheFileWithoutAnOrderlyStop) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& dev = srv.connectDevice(9);  // waits for its accept line in the file
    Client& req = srv.connectRequester();
    ASSERT_TRUE(dev.isOpen() && req.isOpen()) << srv.log();
    EXPECT_TRUE(srv.running());

    ASSERT_TRUE(req.send(request(1, 9)));
    EXPECT_EQ(dev.receive(6), request(1, 9));
    std::this_thread::sleep_for(kQuietWindow);  // the server has gone idle
    ASSERT_TRUE(srv.signal(SIGTERM));
    ExitInfo e = srv.waitExit();
    ASSERT_TRUE(e.exited);
    EXPECT_EQ(e.signal, SIGTERM);
    std::vector<std::string> lines = completeLines(e.log);
    EXPECT_NE(indexOf(lines, kStartOkLine), -1) << e.log;
    EXPECT_NE(indexOf(lines, readLine(req.serverFd(), 6)), -1) << e.log;
    EXPECT_NE(indexOf(lines, requestLine(1, 9)), -1) << e.log;
    EXPECT_NE(indexOf(lines, doLine(9)), -1) << e.log;
}

// Started with standard descriptors closed, the server must not let the PID
// file or a connection take them: its log would be written into that file or
// sent to that peer, and a connection on descriptor 0 would count as none.
TEST(Lifecycle, RunsWithStandardDescriptorsClosed) {
    struct Case {
        const char* name;
        bool closeStdin;
    };
    for (const Case& c : {Case{"stdout closed", false}, Case{"stdin and stdout closed", true}}) {
        SCOPED_TRACE(c.name);
        RelayServer srv;
        StartOptions options;
        options.closeStdin = c.closeStdin;
        options.closeStdout = true;
        ASSERT_TRUE(srv.start(options));
        const std::string pidText = std::to_string(srv.pid());
        EXPECT_EQ(srv.pidFileContent(), pidText);

        Client& dev = srv.connectDevice(9, AcceptWait::Proc);
        Client& req = srv.connectRequester(AcceptWait::Proc);
        ASSERT_TRUE(dev.isOpen() && req.isOpen());
        EXPECT_NE(dev.serverFd(), 0);
        EXPECT_NE(req.serverFd(), 0);

        ASSERT_TRUE(req.send(request(1, 9)));
        EXPECT_EQ(dev.receive(6), request(1, 9));
        ASSERT_TRUE(dev.send("answer"));
        EXPECT_EQ(req.receive(6), "answer");
        EXPECT_EQ(req.receiveFor(), "");
        EXPECT_EQ(dev.receiveFor(0ms), "");
        EXPECT_EQ(srv.pidFileContent(), pidText);

        ExitInfo e = srv.stop();
        ASSERT_TRUE(e.exited) << e.log;
        EXPECT_EQ(e.status, 0) << e.log;
        EXPECT_EQ(srv.pidFileContent(), pidText);
    }
}

// With RLIMIT_NOFILE 32 the server runs out of descriptors: it must stay up,
// not spin, serve its open connections and accept again once one closes.
TEST(Lifecycle, SurvivesRunningOutOfDescriptors) {
    RelayServer srv;
    StartOptions options;
    options.fileLimit = 32;
    options.detectLeaks = false;  // pending connections may be open at SIGINT
    ASSERT_TRUE(srv.start(options));
    Client& dev = srv.connectDevice(9);
    Client& req = srv.connectRequester();
    ASSERT_TRUE(dev.isOpen() && req.isOpen());

    constexpr int kExtra = 40;
    for (int i = 0; i < kExtra; ++i) ASSERT_TRUE(srv.connectRequester(AcceptWait::None).isOpen());
    // Wait until the accepts stop: the count stays the same for a second.
    int accepted = acceptCount(srv);
    for (int stable = 0, i = 0; stable < 10 && i < 100; ++i) {
        std::this_thread::sleep_for(100ms);
        int now = acceptCount(srv);
        stable = now == accepted ? stable + 1 : 0;
        accepted = now;
    }
    ASSERT_LT(accepted, kExtra + 2) << "the server never ran out of descriptors";
    ASSERT_TRUE(srv.running()) << srv.log();

    const double cpuBefore = cpuSeconds(srv.pid());
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    const double cpu = cpuSeconds(srv.pid()) - cpuBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    EXPECT_LT(cpu, wall / 2) << "the server spins while it cannot accept";

    ASSERT_TRUE(req.send(request(1, 9)));
    EXPECT_EQ(dev.receive(6), request(1, 9));
    ASSERT_TRUE(dev.send("full"));
    EXPECT_EQ(req.receive(4), "full");

    const int before = acceptCount(srv);
    ASSERT_TRUE(srv.closeClient(req));
    ASSERT_TRUE(srv.connectRequester(AcceptWait::None).isOpen());
    bool acceptedAgain = false;
    for (int i = 0; i < 500 && !acceptedAgain; ++i) {
        acceptedAgain = acceptCount(srv) > before;
        if (!acceptedAgain) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(acceptedAgain) << srv.log();
    ExitInfo e = srv.stop();
    ASSERT_TRUE(e.exited) << e.log;
    EXPECT_EQ(e.status, 0) << e.log;
}

// ---------------------------------------------------------------------------
// Configuration from relaySvr.ini
// ---------------------------------------------------------------------------

// Cases that end on the fixed ports 5000 and 6000: one test, so that they run
// one after the other.
TEST(Config, PortSettingOnFixedPorts) {
    if (isPortListening(5000) || isPortListening(6000)) GTEST_SKIP() << "port 5000 or 6000 is in use";
    struct Case {
        const char* name;
        std::optional<std::string> ini;  // unset: no relaySvr.ini at all
        int port;
    };
    const Case cases[] = {
        {"blanks and comment", "[SvrTarn]\nPort = 6000 ;main port\n", 6000},
        {"trailing text", "[SvrTarn]\nPort=6000abc\n", 6000},
        {"lower-case key", "[SvrTarn]\nport=6000\n", 5000},
        {"other section", "[SvrTarn]\nName=relay\n[Other]\nPort=6000\n", 5000},
        {"no file", std::nullopt, 5000},
        {"empty value", "[SvrTarn]\nPort=\n", 5000},
    };
    RelayServer srv;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (isPortListening(c.port)) GTEST_SKIP() << "port " << c.port << " is in use";
        StartOptions options;
        options.ini = c.ini;
        options.writeIni = c.ini.has_value();
        ASSERT_TRUE(srv.start(options)) << srv.log();
        EXPECT_EQ(srv.port(), c.port);
        EXPECT_TRUE(srv.waitForLine(kStartOkLine));
        expectCleanStop(srv);
    }
}

TEST(Config, LaterDuplicateKeyWins) {
    const int first = pickFreePort();
    int second = pickFreePort();
    for (int i = 0; i < 10 && second == first; ++i) second = pickFreePort();
    ASSERT_NE(first, second);
    RelayServer srv;
    StartOptions options;
    options.ini = "[SvrTarn]\nPort=" + std::to_string(first) + "\nPort=" + std::to_string(second) + "\n";
    ASSERT_TRUE(srv.start(options)) << srv.log();
    EXPECT_EQ(srv.port(), second);
    expectCleanStop(srv);
}

TEST(Config, NonNumericPortLetsTheSystemChoose) {
    RelayServer srv;
    StartOptions options;
    options.ini = "[SvrTarn]\nPort=abc\n";
    ASSERT_TRUE(srv.start(options)) << srv.log();
    EXPECT_GT(srv.port(), 0);
    EXPECT_NE(srv.port(), 5000);
    EXPECT_TRUE(srv.waitForLine(kStartOkLine));
    expectCleanStop(srv);
}
