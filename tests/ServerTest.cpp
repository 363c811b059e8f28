// Black-box tests of the relaySvr binary: each test runs a private copy of it
// over loopback through RelayHarness and checks bytes, log lines, the PID file
// and the exit status. The routing rules themselves are driven in-process
// (RoutingTest.cpp); here is the worked exchange as the binary does it.
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

// A server started with the default relaySvr.ini; every test ends with the
// orderly stop: clients closed, SIGINT, "exit 0", status 0.
class Relay : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(srv.start()); }
    void TearDown() override { EXPECT_TRUE(srv.stopsCleanly()); }
    RelayServer srv;
};
using Routing = Relay;

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
    EXPECT_TRUE(holdsRun(srv.logLines(), {acceptLine("127.0.0.23", d), acceptLine("127.0.0.1", r), readLine(r, 6),
                                          requestLine(0x01, 0x17), doLine(23), readLine(d, 9), readLine(d, 3),
                                          closedLine(d), removeLine(d)}));
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
    ASSERT_LT(locked + 2, static_cast<int>(lines.size())) << second.log;
    // On standard error, which process holds it.
    EXPECT_EQ(lines[locked + 1], "relaySvr: " + srv.pidFilePath() + " is locked by process " + pidText +
                                     ": a relaySvr of this name runs already");
    EXPECT_EQ(lines[locked + 2], kExitLockedLine);
    EXPECT_EQ(indexOf(lines, kStartOkLine), -1);
    EXPECT_EQ(srv.pidFileContent(), pidText);
    EXPECT_TRUE(srv.stopsCleanly());
    EXPECT_EQ(srv.pidFileContent(), pidText);
}

// The exit line is followed, on standard error, by what failed and where.
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
    const int exitLine = indexOf(lines, kExitNotOkLine);
    ASSERT_NE(exitLine, -1) << e.log;
    ASSERT_LT(exitLine + 1, static_cast<int>(lines.size())) << e.log;
    const std::string why =
        "relaySvr: cannot listen on 0.0.0.0:" + std::to_string(blocker.port()) + ": " + strerror(EADDRINUSE);
    EXPECT_EQ(lines[exitLine + 1].substr(0, why.size()), why) << e.log;
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

// An option the server does not know prints the usage and starts nothing;
// --config names the file that the start, a reload and --check read, and
// --check --strict fails on a warning.
TEST(Config, CommandLine) {
    RelayServer srv;
    StartOptions o;
    for (const char* wrong : {"-x", "--verbose", "-c"}) {
        o.args = {wrong};
        EXPECT_FALSE(srv.start(o));
        const ExitInfo e = srv.waitExit();
        EXPECT_EQ(e.status, 2) << wrong << "\n" << e.log;
        EXPECT_NE(e.log.find("usage: relaySvr"), std::string::npos) << e.log;
        EXPECT_EQ(srv.pidFileContent(), "");
    }

    const std::string other = srv.dir() + "/other.ini";
    const int port = pickFreePort();
    std::ofstream(other) << "[SvrTarn]\nPort=" << port << "\nKeepAlive=5\n";
    o.args = {"--config", other};
    o.ini = "[SvrTarn]\nPort=" + std::to_string(pickFreePort()) + "\n";  // not read
    ASSERT_TRUE(srv.start(o)) << srv.log();
    EXPECT_EQ(srv.port(), port);
    EXPECT_TRUE(srv.connectDevice(9).isOpen());  // the loop runs: SIGHUP is taken now
    std::ofstream(other, std::ios::trunc) << "[SvrTarn]\nPort=" << port << "\nDeviceNetworks=127.0.0.8/29\n";
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!"));
    srv.connectFrom("127.0.0.23", false);
    EXPECT_TRUE(srv.waitForLine("Server refused a device from 127.0.0.23: outside DeviceNetworks"));
    EXPECT_TRUE(srv.stopsCleanly());

    std::ofstream(other, std::ios::app) << "Keepalive=5\n";
    for (const bool strict : {false, true}) {
        o.args = {"-c", other, "--check"};
        if (strict) o.args.push_back("--strict");
        EXPECT_FALSE(srv.start(o));
        const ExitInfo e = srv.waitExit();
        EXPECT_EQ(e.status, strict ? 1 : 0) << e.log;
        EXPECT_NE(e.log.find("unknown key \"Keepalive\""), std::string::npos) << e.log;
        EXPECT_NE(e.log.find("DeviceNetworks=127.0.0.8/29\n"), std::string::npos) << e.log;
    }
}

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
