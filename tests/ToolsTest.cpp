// The operator tools as an operator runs them, against a real relay through
// RelayHarness: relay-status reading its status server, and the command
// lines of relay-request and relay-device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "harness/RelayHarness.h"

using namespace relay_harness;

extern char** environ;

namespace {

const std::string kToolsDir = RELAY_TOOLS_DIR;

struct Result {
    int status = -1;  // exit status, or -1 when the tool did not exit in time
    std::string out;  // standard output and standard error together
};

// Runs a tool in dir, collecting its output, and kills it after kDataTimeout.
Result run(const std::string& dir, std::vector<std::string> args) {
    Result r;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    posix_spawn_file_actions_adddup2(&files, out[1], 2);
    posix_spawn_file_actions_addchdir_np(&files, dir.c_str());
    args[0] = kToolsDir + "/" + args[0];
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    close(out[1]);
    char buf[4096];
    pollfd p{out[0], POLLIN, 0};
    for (ssize_t n; err == 0 && poll(&p, 1, static_cast<int>(kDataTimeout.count())) == 1 &&
                    (n = read(out[0], buf, sizeof buf)) > 0;)
        r.out.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (err != 0) return r;
    if (!waitFor(kDataTimeout, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);  // it went silent without ending
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    }
    return r;
}

}  // namespace

// The device table and the counters of a relay with one device, a requester
// waiting on it and one that asked for an id nobody has; --json passes
// /status through; the port comes from --port, --config or ./relaySvr.ini.
TEST(RelayStatus, ShowsTheRelayAsItIs) {
    RelayServer srv;
    const int statusPort = pickFreePort();
    StartOptions o;
    o.iniExtra = "StatusPort=" + std::to_string(statusPort) + "\n";
    ASSERT_TRUE(srv.start(o));
    Client& dev = srv.connectDevice(23);
    Client& waiting = srv.connectRequester();
    Client& other = srv.connectRequester();
    ASSERT_TRUE(relays(waiting, dev, request(1, 23)));
    ASSERT_TRUE(other.send(request(2, 77)));
    ASSERT_TRUE(srv.waitForLine(requestLine(2, 77)));

    const std::string port = std::to_string(statusPort);
    const Result table = run(srv.dir(), {"relay-status", "--port", port});
    EXPECT_EQ(table.status, 0) << table.out;
    for (const std::string& line : std::vector<std::string>{
             "relaySvr PID " + std::to_string(srv.pid()) + ", relay port " + std::to_string(srv.port()) + ", up ",
          "  23  127.0.0.23" + std::string(12 - std::to_string(dev.serverFd()).size(), ' ') +
              std::to_string(dev.serverFd()),
          "1 (" + std::to_string(waiting.serverFd()) + ")", "requesters: 2 connected, 1 waiting for an answer\n",
          "requests: 1 forwarded, 1 for no device\n", "answers: 0 delivered, 0 unasked\n",
          "refused devices: 0, dead devices: 0, backpressure pauses: 0\n"})
        EXPECT_NE(table.out.find(line), std::string::npos) << line << "\n" << table.out;

    const Result json = run(srv.dir(), {"relay-status", "--json", "--port=" + port});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out.rfind("{\"pid\": " + std::to_string(srv.pid()) + ", \"port\": ", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\"address\": \"127.0.0.23\""), std::string::npos) << json.out;

    std::ofstream(srv.dir() + "/elsewhere.ini") << "[SvrTarn]\nStatusPort=" << port << "\n";
    EXPECT_EQ(run("/", {"relay-status", "--config", srv.dir() + "/elsewhere.ini"}).status, 0);
    EXPECT_EQ(run(srv.dir(), {"relay-status"}).status, 0);  // ./relaySvr.ini
    EXPECT_TRUE(srv.stopsCleanly());
}

// Exit statuses and the two forms of an option's value.
TEST(Tools, CommandLinesAndExitStatuses) {
    RelayServer srv;
    ASSERT_TRUE(srv.start());
    const std::string port = std::to_string(srv.port()), dir = srv.dir();
    std::ofstream(dir + "/off.ini") << "[SvrTarn]\nPort=" << port << "\n";
    struct Case { std::vector<std::string> args; int status; const char* says; } cases[] = {
        {{"relay-status", "--config", dir + "/off.ini"}, 2, "relaySvr serves no status; set it and reload relaySvr"},
        {{"relay-status", "--port", std::to_string(pickFreePort()), "--timeout", "2"}, 3, "cannot connect"},
        {{"relay-status", "--bogus"}, 2, "unknown option"},
        {{"relay-request", "--port=" + port, "--timeout", "0.3", "77", "01 4d"}, 1, "no answer within 0.3 s"},
        {{"relay-request", "--port", port, "--timeout=0.3", "300", "01"}, 2, "the id must be 0-255"},
        {{"relay-device", "--port", port, "--id", "1"}, 2, "--id needs a device id 2-255"},
        {{"relay-device", "--bogus"}, 2, "unknown option"},
    };
    for (const Case& c : cases) {
        const Result r = run(dir, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1] << "\n" << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    }
    EXPECT_TRUE(srv.stopsCleanly());
}
