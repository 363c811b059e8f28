// Black-box tests of the relaySvr binary: each test runs a private copy of it
// over loopback through RelayHarness and checks bytes, log lines, the PID file
// and the exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

// Index of the first log line equal to text, -1 when there is none.
int indexOf(const std::vector<std::string>& lines, const std::string& text, int from = 0) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i)
        if (lines[i] == text) return i;
    return -1;
}

// The log holds exactly these lines one after the other, from the first of them on.
void expectLogRun(const RelayServer& srv, const std::vector<std::string>& expected) {
    const std::vector<std::string> lines = srv.logLines();
    const int first = indexOf(lines, expected.front());
    ASSERT_GE(first, 0) << srv.log();
    ASSERT_GE(lines.size(), first + expected.size()) << srv.log();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + first, lines.begin() + first + expected.size()), expected)
        << srv.log();
}

// A server started with the default relaySvr.ini; every test ends with the
// orderly stop: clients closed, SIGINT, "exit 0", status 0.
class Relay : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(srv.start()); }
    void TearDown() override { EXPECT_TRUE(srv.stopsCleanly()); }
    RelayServer srv;
};
using Routing = Relay;
using ClosedConnections = Relay;
using ErrorEvents = Relay;

}  // namespace

// ---------------------------------------------------------------------------
// Routing of requests and answers
// ---------------------------------------------------------------------------

// A device at 127.0.0.23 and a requester: a 6-byte request for id 23, a
// 9-byte answer, 3 unasked bytes, the device closes. Bytes and the exact log.
// (tests/valgrind.sh runs this exchange under memcheck.)
TEST_F(Routing, RequestAnswerAndCloseGiveExactBytesAndLog) {
    Client& dev = srv.connectDevice(23);
    Client& req = srv.connectRequester();
    const int d = dev.serverFd();
    const int r = req.serverFd();
    EXPECT_EQ(acceptLine("127.0.0.23", d), "Server OnAccept an socket 1700007f ip=127.0.0.23,  id=" + std::to_string(d));
    EXPECT_EQ(acceptLine("127.0.0.1", r), "Server OnAccept an socket 100007f ip=127.0.0.1,  id=" + std::to_string(r));

    const std::string ask = request(0x01, 0x17, 6);
    EXPECT_TRUE(relays(req, dev, ask));
    EXPECT_TRUE(relays(dev, req, "ANSWER-9!"));
    ASSERT_TRUE(dev.send("xyz"));
    ASSERT_TRUE(srv.waitForLine(readLine(d, 3)));
    EXPECT_EQ(req.receiveFor(), "");
    EXPECT_EQ(dev.receiveFor(0ms), "");

    ASSERT_TRUE(srv.closeClient(dev));
    expectLogRun(srv, {acceptLine("127.0.0.23", d), acceptLine("127.0.0.1", r), readLine(r, 6), requestLine(0x01, 0x17),
                       doLine(23), readLine(d, 9), readLine(d, 3), closedLine(d), removeLine(d)});
}

// Only 127.0.0.1 is a requester; a one-byte request names id 0 (zero fill).
// What a device sends while nobody waits on it is dropped, not kept for later.
TEST_F(Routing, DeviceIdsComeFromTheLastOctetAndUnaskedDataIsDropped) {
    Client& dev2 = srv.connectDevice(2);
    Client& dev0 = srv.connectFrom("127.0.1.0");
    Client& req = srv.connectRequester();

    // 127.0.0.2 is a device: what it sends is an (unasked) answer, never a
    // request, so it reaches nobody and is not logged as one.
    ASSERT_TRUE(dev2.send(request(0x09, 0)));
    ASSERT_TRUE(srv.waitForLine(readLine(dev2.serverFd(), 6)));
    EXPECT_EQ(dev0.receiveFor(), "");
    EXPECT_EQ(req.receiveFor(0ms), "");
    EXPECT_EQ(srv.countLine(requestLine(0x09, 0)), 0);

    EXPECT_TRUE(relays(req, dev2, request(0x07, 2)));
    EXPECT_TRUE(srv.waitForLine(requestLine(0x07, 2)));
    EXPECT_TRUE(srv.waitForLine(doLine(2)));
    EXPECT_TRUE(relays(dev2, req, "answer"));

    EXPECT_TRUE(relays(req, dev0, "A"));
    EXPECT_TRUE(srv.waitForLine(readLine(req.serverFd(), 1)));
    EXPECT_TRUE(srv.waitForLine(requestLine('A', 0)));
    EXPECT_TRUE(srv.waitForLine(doLine(0)));
}

// Devices 127.0.0.5 and 127.0.1.5 share id 5; the one with the lower
// descriptor gets every request, although it connected later.
TEST_F(Routing, LowestDescriptorWinsAmongDevicesSharingAnId) {
    Client& filler = srv.connectRequester();
    Client& early = srv.connectDevice(5);
    ASSERT_TRUE(srv.closeClient(filler));
    Client& late = srv.connectFrom("127.0.1.5");
    Client& req = srv.connectRequester();
    ASSERT_LT(late.serverFd(), early.serverFd()) << "the later device should reuse the freed lower descriptor";

    for (unsigned char tag = 1; tag <= 3; ++tag) {
        EXPECT_TRUE(relays(req, late, request(tag, 5)));
        EXPECT_TRUE(relays(late, req, "re" + std::to_string(tag)));
    }
    EXPECT_EQ(early.receiveFor(), "");
}

// Two requesters wait on one device: its chunks go out by ascending requester
// descriptor, not by the order of the requests; a third chunk is dropped.
TEST_F(Routing, WaitingRequestersAreServedByAscendingDescriptor) {
    Client& dev = srv.connectDevice(9);
    Client& filler = srv.connectRequester();
    Client& high = srv.connectRequester();
    ASSERT_TRUE(srv.closeClient(filler));
    Client& low = srv.connectRequester();
    ASSERT_LT(low.serverFd(), high.serverFd());

    ASSERT_TRUE(high.send(request('H', 9)));  // asks first
    EXPECT_EQ(dev.receive(6), request('H', 9));
    EXPECT_TRUE(relays(low, dev, request('L', 9)));

    EXPECT_TRUE(relays(dev, low, "chunk-A"));
    EXPECT_TRUE(relays(dev, high, "chunk-B"));
    ASSERT_TRUE(dev.send("chunk-C"));
    ASSERT_TRUE(srv.waitForLine(readLine(dev.serverFd(), 7), 3));
    EXPECT_EQ(low.receiveFor(), "");
    EXPECT_EQ(high.receiveFor(0ms), "");
}

// Every request replaces the requester's wait: a request for another device
// moves it there, one for an id without a device ends it. (Device A at
// 127.0.1.1 has id 1: only 127.0.0.1 is a requester.)
TEST_F(Routing, EachRequestReplacesTheWait) {
    Client& devA = srv.connectFrom("127.0.1.1");
    Client& devB = srv.connectDevice(10);
    Client& req = srv.connectRequester();

    EXPECT_TRUE(relays(req, devA, request(1, 1)));
    EXPECT_TRUE(relays(req, devB, request(2, 10)));
    ASSERT_TRUE(devA.send("from-A"));
    ASSERT_TRUE(srv.waitForLine(readLine(devA.serverFd(), 6)));
    EXPECT_EQ(req.receiveFor(), "");
    EXPECT_TRUE(relays(devB, req, "from-B"));

    // A request for id 77, which no device has, cancels the wait on B.
    EXPECT_TRUE(relays(req, devB, request(3, 10)));
    ASSERT_TRUE(req.send(request(4, 77)));
    ASSERT_TRUE(srv.waitForLine(requestLine(4, 77)));
    ASSERT_TRUE(devB.send("late-B"));
    ASSERT_TRUE(srv.waitForLine(readLine(devB.serverFd(), 6), 2));
    EXPECT_EQ(req.receiveFor(), "");
    EXPECT_EQ(srv.countLine(doLine(77)), 0);
}

// 4196 bytes in one send: a chunk of 4096 and one of 100, each routed by its
// own byte 1.
TEST_F(Routing, RequestOver4096BytesIsRoutedChunkByChunk) {
    Client& devA = srv.connectDevice(3);
    Client& devB = srv.connectDevice(4);
    Client& req = srv.connectRequester();

    const std::string data = request(1, 3, 4096) + request(2, 4, 100);
    ASSERT_TRUE(req.send(data));
    EXPECT_EQ(devA.receive(4096), data.substr(0, 4096));
    EXPECT_EQ(devB.receive(100), data.substr(4096));
    EXPECT_EQ(devA.receiveFor(), "");
    ASSERT_TRUE(srv.waitForLine(doLine(4)));
    const int r = req.serverFd();
    expectLogRun(srv, {readLine(r, 4096), requestLine(1, 3), doLine(3), readLine(r, 100), requestLine(2, 4), doLine(4)});
}

// ---------------------------------------------------------------------------
// Closed connections leave every table
// ---------------------------------------------------------------------------

namespace {

// Resets the device and checks the end of its connection: the error message
// or the closed line before its remove line, and the server's descriptors
// back to base.
void expectResetFreesConnection(RelayServer& srv, Client& dev, int base) {
    const int d = dev.serverFd();
    ASSERT_TRUE(srv.closeClient(dev, /*reset=*/true)) << srv.log();
    const std::vector<std::string> lines = srv.logLines();
    const int remove = indexOf(lines, removeLine(d));
    ASSERT_GE(remove, 0) << srv.log();
    bool reported = false;
    for (int i = 0; i < remove; ++i) reported |= lines[i] == kErrorLine || lines[i] == closedLine(d);
    EXPECT_TRUE(reported) << srv.log();
    EXPECT_TRUE(waitDescriptorCount(srv.pid(), base)) << descriptorCount(srv.pid()) << " open, expected " << base;
}

}  // namespace

// After a device closes, normally or with a reset while the server reads
// from it, requests for its id go to another device with that id, and when
// none is left they go nowhere (no " do..." line).
TEST_F(ClosedConnections, ClosedDeviceIsNoLongerFound) {
    Client& req = srv.connectRequester();
    const int base = descriptorCount(srv.pid());
    Client& low = srv.connectDevice(7);
    Client& high = srv.connectFrom("127.0.1.7");
    ASSERT_LT(low.serverFd(), high.serverFd());
    EXPECT_EQ(descriptorCount(srv.pid()), base + 2);

    EXPECT_TRUE(relays(req, low, request(1, 7)));
    ASSERT_TRUE(srv.closeClient(low));
    EXPECT_TRUE(relays(req, high, request(2, 7)));
    EXPECT_TRUE(srv.waitForLine(doLine(7), 2));
    ASSERT_TRUE(high.send("half"));
    expectResetFreesConnection(srv, high, base);

    ASSERT_TRUE(req.send(request(3, 7)));
    ASSERT_TRUE(srv.waitForLine(requestLine(3, 7)));
    std::this_thread::sleep_for(kQuietWindow);
    EXPECT_EQ(srv.countLine(doLine(7)), 2) << srv.log();
}

// A requester waiting on a device that closes gets nothing, not even from a
// new device that is given the closed device's descriptor.
TEST_F(ClosedConnections, WaitOnClosedDeviceEnds) {
    Client& req = srv.connectRequester();
    Client& dev = srv.connectDevice(9);
    const int d = dev.serverFd();

    EXPECT_TRUE(relays(req, dev, request(1, 9)));
    ASSERT_TRUE(srv.closeClient(dev));

    Client& next = srv.connectDevice(12);
    ASSERT_EQ(next.serverFd(), d) << "the new device should reuse the freed descriptor";
    ASSERT_TRUE(next.send("stray"));
    ASSERT_TRUE(srv.waitForLine(readLine(d, 5)));
    EXPECT_EQ(req.receiveFor(), "");

    // The requester still works with the new device.
    EXPECT_TRUE(relays(req, next, request(2, 12)));
    EXPECT_TRUE(relays(next, req, "reply"));
}

// A connection that gets the descriptor of a closed one is sorted by its own
// address: a device's old descriptor can carry a requester, and a requester's
// old descriptor a device (which then gets no answers meant for the old one).
TEST_F(ClosedConnections, ReusedDescriptorIsSortedAfresh) {
    Client& dev = srv.connectDevice(9);
    Client& gone = srv.connectDevice(20);
    const int x = gone.serverFd();
    ASSERT_TRUE(srv.closeClient(gone));

    Client& req = srv.connectRequester();
    ASSERT_EQ(req.serverFd(), x);
    EXPECT_TRUE(relays(req, dev, request(3, 9)));
    EXPECT_TRUE(srv.waitForLine(requestLine(3, 9)));
    EXPECT_TRUE(relays(dev, req, "ans-1"));

    Client& waiter = srv.connectRequester();
    const int y = waiter.serverFd();
    EXPECT_TRUE(relays(waiter, dev, request(4, 9)));
    ASSERT_TRUE(srv.closeClient(waiter));

    Client& newDev = srv.connectDevice(21);
    ASSERT_EQ(newDev.serverFd(), y);
    ASSERT_TRUE(dev.send("for-nobody"));
    ASSERT_TRUE(srv.waitForLine(readLine(dev.serverFd(), 10)));
    EXPECT_EQ(newDev.receiveFor(), "");
    EXPECT_EQ(req.receiveFor(0ms), "");

    EXPECT_TRUE(relays(req, newDev, request(5, 21)));
    EXPECT_TRUE(relays(newDev, req, "ans-2"));
}

// ---------------------------------------------------------------------------
// Peers that reset: the connection is freed, the server goes on
// ---------------------------------------------------------------------------

// A device that stops reading has requests pending in the server when it
// resets; the waiting requester gets nothing and keeps working.
TEST_F(ErrorEvents, ResetWhileServerWritesFreesConnection) {
    Client& req = srv.connectRequester();
    Client& other = srv.connectDevice(10);
    const int base = descriptorCount(srv.pid());

    Client& dev = srv.connectFrom("127.0.0.9", true, 4096);
    // Every byte is 9, so however the server cuts the stream into chunks,
    // each names device 9. Bounded: 768 KiB.
    ASSERT_TRUE(req.send(std::string(768 * 1024, '\x09')));
    ASSERT_TRUE(srv.waitForLine(doLine(9)));
    expectResetFreesConnection(srv, dev, base);
    EXPECT_EQ(req.receiveFor(), "");

    EXPECT_TRUE(relays(req, other, request(1, 10)));
    EXPECT_TRUE(relays(other, req, "still-here"));
}

// ---------------------------------------------------------------------------
// Process lifecycle: start, single instance, stop (start/SIGINT cycles and
// running out of descriptors are in RobustnessTest)
// ---------------------------------------------------------------------------

// The server listens on the configured port and holds its PID file (a stale
// one, longer than the PID, is rewritten): a second run of the same copy is
// refused. The file stays after the stop.
TEST(Lifecycle, StartsHoldsItsPidFileAndStopsOnSigint) {
    RelayServer srv;
    std::ofstream(srv.pidFilePath(), std::ios::trunc) << "99999999999";
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.port(), srv.configuredPort());
    EXPECT_TRUE(srv.waitForLine(kStartOkLine));
    const std::string pidText = std::to_string(srv.pid());
    EXPECT_EQ(srv.pidFileContent(), pidText);

    const ExitInfo second = srv.runAgain("second", "[SvrTarn]\nPort=" + std::to_string(pickFreePort()) + "\n");
    ASSERT_TRUE(second.exited) << second.log;
    EXPECT_EQ(second.status, 253) << second.log;
    const std::vector<std::string> lines = completeLines(second.log);
    int locked = indexOf(lines, lockedLine(srv.pidFilePath(), strerror(EAGAIN)));
    if (locked < 0) locked = indexOf(lines, lockedLine(srv.pidFilePath(), strerror(EACCES)));
    ASSERT_GE(locked, 0) << second.log;
    ASSERT_LT(locked + 1, static_cast<int>(lines.size())) << second.log;
    EXPECT_EQ(lines[locked + 1], kExitLockedLine);
    EXPECT_EQ(indexOf(lines, kStartOkLine), -1);
    EXPECT_EQ(srv.pidFileContent(), pidText);
    EXPECT_TRUE(srv.stopsCleanly());
    EXPECT_EQ(srv.pidFileContent(), pidText);
}

TEST(Lifecycle, PortInUseEndsStartWith254) {
    RelayServer blocker, srv;
    ASSERT_TRUE(blocker.start());
    StartOptions options;
    options.ini = "[SvrTarn]\nPort=" + std::to_string(blocker.port()) + "\n";
    EXPECT_FALSE(srv.start(options));
    const ExitInfo e = srv.waitExit();
    ASSERT_TRUE(e.exited) << e.log;
    EXPECT_EQ(e.status, 254) << e.log;
    const std::vector<std::string> lines = completeLines(e.log);
    EXPECT_NE(indexOf(lines, kExitNotOkLine), -1) << e.log;
    EXPECT_EQ(indexOf(lines, kStartOkLine), -1) << e.log;
}

// Lines reach the log file while the server runs, and SIGTERM right after
// traffic (no orderly stop) loses none of them: the pending ones go first.
TEST(Lifecycle, LogLinesReachTheFileWithoutAnOrderlyStop) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    Client& dev = srv.connectDevice(9);  // waits for its accept line in the file
    Client& req = srv.connectRequester();
    for (unsigned char i = 0; i < 50; ++i) {
        ASSERT_TRUE(relays(req, dev, request(i, 9)));
        ASSERT_TRUE(relays(dev, req, "answer"));
    }
    ASSERT_TRUE(srv.signal(SIGTERM));  // at once: the last lines are at most 50 ms old
    const ExitInfo e = srv.waitExit();
    ASSERT_TRUE(e.exited);
    EXPECT_EQ(e.signal, SIGTERM);
    EXPECT_EQ(srv.countLine(requestLine(49, 9)), 1) << e.log;
    EXPECT_EQ(srv.countLine(readLine(dev.serverFd(), 6)), 50) << e.log;
    EXPECT_EQ(srv.countLine(kStartOkLine), 1) << e.log;
}

// Standard output and standard error on a pipe whose reader has gone: the
// warning written during start-up must not end the server by SIGPIPE. It
// runs, and stops in order.
TEST(Lifecycle, OutputPipeWithoutReaderEndsNothing) {
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    close(fds[0]);
    RelayServer srv;
    StartOptions o;
    o.outputFd = fds[1];
    o.iniExtra = "Bogus=1\n";  // a warning at once
    const bool started = srv.start(o);
    close(fds[1]);
    ASSERT_TRUE(started) << "ended by signal " << srv.waitExit().signal;
    ASSERT_TRUE(srv.signal(SIGINT));
    const ExitInfo e = srv.waitExit();
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.status, 0);
}

// Started with standard descriptors closed, the server must not let the PID
// file or a connection take them: its log would be written into that file or
// sent to that peer, and a connection on descriptor 0 would count as none.
TEST(Lifecycle, RunsWithStandardDescriptorsClosed) {
    for (const bool closeStdin : {false, true}) {
        SCOPED_TRACE(closeStdin ? "stdin and stdout closed" : "stdout closed");
        RelayServer srv;
        StartOptions options;
        options.closeStdin = closeStdin;
        options.closeStdout = true;
        ASSERT_TRUE(srv.start(options));
        const std::string pidText = std::to_string(srv.pid());
        EXPECT_EQ(srv.pidFileContent(), pidText);

        Client& dev = srv.connectDevice(9, true);
        Client& req = srv.connectRequester(true);
        EXPECT_NE(dev.serverFd(), 0);
        EXPECT_NE(req.serverFd(), 0);

        EXPECT_TRUE(relays(req, dev, request(1, 9)));
        EXPECT_TRUE(relays(dev, req, "answer"));
        EXPECT_EQ(req.receiveFor(), "");
        EXPECT_EQ(dev.receiveFor(0ms), "");
        EXPECT_EQ(srv.pidFileContent(), pidText);

        const ExitInfo e = srv.stop();
        ASSERT_TRUE(e.exited) << e.log;
        EXPECT_EQ(e.status, 0) << e.log;
        EXPECT_EQ(srv.pidFileContent(), pidText);
    }
}

// ---------------------------------------------------------------------------
// Configuration from relaySvr.ini
// ---------------------------------------------------------------------------

// Port settings, one after the other: first on ports chosen here, then on
// the fixed ports 5000 and 6000.
TEST(Config, PortSetting) {
    struct Case {
        const char* name;
        std::optional<std::string> ini;  // unset: no relaySvr.ini at all
        int port;                        // 0: any port but 5000, chosen by the system
    };
    const int first = pickFreePort();
    int second = pickFreePort();
    for (int i = 0; i < 10 && second == first; ++i) second = pickFreePort();
    ASSERT_NE(first, second);
    const Case cases[] = {
        {"later duplicate key wins", "[SvrTarn]\nPort=" + std::to_string(first) + "\nPort=" + std::to_string(second) + "\n",
         second},
        {"non-numeric: the system chooses", "[SvrTarn]\nPort=abc\n", 0},
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
        if (c.port != 0 && c.port != second && isPortListening(c.port)) GTEST_SKIP() << "port " << c.port << " is in use";
        StartOptions options;
        options.ini = c.ini;
        options.writeIni = c.ini.has_value();
        ASSERT_TRUE(srv.start(options)) << srv.log();
        EXPECT_EQ(srv.port(), c.port == 0 ? srv.port() : c.port);
        EXPECT_NE(srv.port(), c.port == 0 ? 5000 : 0);
        EXPECT_TRUE(srv.waitForLine(kStartOkLine));
        EXPECT_TRUE(srv.stopsCleanly());
    }
}
