// The operator tools as an operator runs them: relay-status against a fake
// status server on 127.0.0.1 that serves canned /status and /metrics
// documents, and the command lines of relay-request and relay-device.
//
// One event loop in the test process serves the fake documents and collects
// the output of the tool it runs, so no thread is needed.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

namespace {

const std::string kToolsDir = RELAY_TOOLS_DIR;
// A tool that still runs after this long is killed and the test fails.
constexpr int kToolDeadlineSec = 20;

// Two devices; the second's bytes in is the largest count the relay can hold.
const std::string kStatusDoc = R"({"pid": 4242, "port": 5000, "uptime_seconds": 273612.5,
 "devices": [
  {"fd": 9, "id": 23, "address": "127.0.0.23", "connected_seconds": 312, "waiting_requesters": [12, 14],
   "bytes_in": 1024, "bytes_out": 2048},
  {"fd": 11, "id": 200, "address": "10.0.0.200", "connected_seconds": 273600.25, "waiting_requesters": [],
   "bytes_in": 18446744073709551615, "bytes_out": 0}],
 "requesters": [{"fd": 12, "waiting_on": 23, "connected_seconds": 2},
  {"fd": 14, "waiting_on": 23, "connected_seconds": 1.5}, {"fd": 15, "waiting_on": 0, "connected_seconds": 40}]}
)";

const std::string kMetricsDoc = R"(# HELP relaysvr_connections Open connections.
# TYPE relaysvr_connections gauge
relaysvr_connections{kind="requester"} 3
relaysvr_connections{kind="device"} 2
relaysvr_connections_accepted_total{kind="requester"} 130
relaysvr_connections_accepted_total{kind="device"} 4
relaysvr_devices_refused_total 0
relaysvr_requests_total{outcome="forwarded"} 120
relaysvr_requests_total{outcome="no_device"} 3
relaysvr_answers_total{outcome="delivered"} 118
relaysvr_answers_total{outcome="unasked"} 2
relaysvr_bytes_total{from="requester"} 5120
relaysvr_bytes_total{from="device"} 2048
relaysvr_backpressure_pauses_total 7
relaysvr_accept_pauses_total 0
relaysvr_dead_devices_total 1
relaysvr_start_time_seconds 1765000000
)";

const std::string kTable =
    "relaySvr PID 4242, relay port 5000, up 3d 4h\n"
    "devices: 2 connected\n"
    "   id  address     descriptor  connected for  waiting requesters              bytes in  bytes out\n"
    "   23  127.0.0.23           9  5m 12s         2 (12, 14)                          1024       2048\n"
    "  200  10.0.0.200          11  3d 4h          -                   18446744073709551615          0\n"
    "requesters: 3 connected, 2 waiting for an answer\n"
    "requests: 120 forwarded, 3 for no device\n"
    "answers: 118 delivered, 2 unasked\n"
    "refused devices: 0, dead devices: 1, backpressure pauses: 7\n";

struct Result {
    int status = -1;  // exit status, or -1 when the tool did not exit
    std::string out;
    std::string err;
};

struct Answer {
    int code;
    std::string body;
};

// A socket bound to a free port on 127.0.0.1: listening but never accepting
// (the kernel completes connections, nothing answers), or not listening at
// all (connections are refused). Closed by the destructor.
class LoopbackPort {
public:
    explicit LoopbackPort(bool listening) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || (listening && listen(m_fd, 1) != 0) ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            ADD_FAILURE() << "cannot set up a loopback port: " << std::strerror(errno);
        port = ntohs(a.sin_port);
    }
    ~LoopbackPort() { close(m_fd); }
    int port = 0;

private:
    int m_fd;
};

// The fake status server and the runner of the tools. Answers 404 for a path
// without an answer.
class ToolsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_base = event_base_new();
        m_http = evhttp_new(m_base);
        ASSERT_TRUE(m_base && m_http);
        evhttp_set_gencb(m_http, OnRequest, this);
        evhttp_bound_socket* bound = evhttp_bind_socket_with_handle(m_http, "127.0.0.1", 0);
        ASSERT_NE(bound, nullptr);
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        getsockname(evhttp_bound_socket_get_fd(bound), reinterpret_cast<sockaddr*>(&a), &len);
        m_port = std::to_string(ntohs(a.sin_port));
        m_answers = {{"/status", {200, kStatusDoc}}, {"/metrics", {200, kMetricsDoc}}};
        char dir[] = "/tmp/relay-toolstest.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void TearDown() override
    {
        if (m_http)
            evhttp_free(m_http);
        if (m_base)
            event_base_free(m_base);
        for (const std::string& f : m_files)
            unlink(f.c_str());
        if (!m_dir.empty())
            rmdir(m_dir.c_str());
    }

    // Writes a file in the test's own directory (removed afterwards).
    std::string WriteFile(const std::string& name, const std::string& text)
    {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path) << text;
        m_files.push_back(path);
        return path;
    }

    // Runs tools/<tool> with args in directory cwd (default: the test's own)
    // while serving the fake documents; kills it after kToolDeadlineSec.
    Result Run(const std::string& tool, std::vector<std::string> args, const std::string& cwd = "")
    {
        Result r;
        const std::string path = kToolsDir + "/" + tool;
        args.insert(args.begin(), path);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return r;
        }
        const std::string dir = cwd.empty() ? m_dir : cwd;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            if (chdir(dir.c_str()) == 0)
                execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        Collector c{this, 2, pid, false};
        Reader readers[] = {{&c, out[0], &r.out, nullptr}, {&c, err[0], &r.err, nullptr}};
        for (Reader& rd : readers) {
            rd.ev = event_new(m_base, rd.fd, EV_READ | EV_PERSIST, OnOutput, &rd);
            event_add(rd.ev, nullptr);
        }
        event* deadline = evtimer_new(m_base, OnDeadline, &c);
        const timeval tv = {kToolDeadlineSec, 0};
        evtimer_add(deadline, &tv);
        event_base_dispatch(m_base);
        event_free(deadline);
        for (Reader& rd : readers) {
            event_free(rd.ev);
            close(rd.fd);
        }
        int ws = 0;
        waitpid(pid, &ws, 0);
        EXPECT_FALSE(c.killed) << tool << " ran longer than " << kToolDeadlineSec << " s";
        if (WIFEXITED(ws))
            r.status = WEXITSTATUS(ws);
        return r;
    }

    std::map<std::string, Answer> m_answers;
    std::string m_port;
    std::string m_dir;

private:
    struct Collector {
        ToolsTest* test;
        int open;
        pid_t pid;
        bool killed;
    };
    struct Reader {
        Collector* c;
        int fd;
        std::string* text;
        event* ev;
    };
    static void OnOutput(evutil_socket_t fd, short, void* arg)
    {
        Reader& rd = *static_cast<Reader*>(arg);
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0) {
            rd.text->append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            event_del(rd.ev);
            if (--rd.c->open == 0)
                event_base_loopbreak(rd.c->test->m_base);
        }
    }
    static void OnDeadline(evutil_socket_t, short, void* arg)
    {
        Collector& c = *static_cast<Collector*>(arg);
        c.killed = true;
        kill(c.pid, SIGKILL);
    }
    static void OnRequest(evhttp_request* req, void* arg)
    {
        auto* self = static_cast<ToolsTest*>(arg);
        const auto it = self->m_answers.find(evhttp_request_get_uri(req));
        if (it == self->m_answers.end()) {
            evhttp_send_error(req, HTTP_NOTFOUND, nullptr);
            return;
        }
        evbuffer* body = evbuffer_new();
        evbuffer_add(body, it->second.body.data(), it->second.body.size());
        evhttp_add_header(evhttp_request_get_output_headers(req), "Content-Type",
                          it->first == "/status" ? "application/json" : "text/plain; version=0.0.4");
        evhttp_send_reply(req, it->second.code, it->second.code == 200 ? "OK" : "Failed", body);
        evbuffer_free(body);
    }

    event_base* m_base = nullptr;
    evhttp* m_http = nullptr;
    std::vector<std::string> m_files;
};

TEST_F(ToolsTest, StatusPrintsTheDeviceTableAndCounters)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--port", m_port},
                                                 std::vector<std::string>{"--port=" + m_port, "--host=127.0.0.1"}}) {
        const Result r = Run("relay-status", args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kTable);
        EXPECT_EQ(r.err, "");
    }
    const Result json = Run("relay-status", {"--json", "--port", m_port});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out, kStatusDoc);

    m_answers["/status"].body = R"({"pid": 1, "port": 5000, "uptime_seconds": 59.9, "devices": [],
                                    "requesters": [], "extra": {"ignored": [true, null, "\u00e9"]}})";
    m_answers["/metrics"].body = "relaysvr_dead_devices_total 2\n";
    const Result idle = Run("relay-status", {"--port", m_port});
    EXPECT_EQ(idle.status, 0) << idle.err;
    EXPECT_EQ(idle.out, "relaySvr PID 1, relay port 5000, up 59s\n"
                        "devices: none connected\n"
                        "requesters: 0 connected, 0 waiting for an answer\n"
                        "requests: - forwarded, - for no device\n"
                        "answers: - delivered, - unasked\n"
                        "refused devices: -, dead devices: 2, backpressure pauses: -\n");
}

TEST_F(ToolsTest, StatusFindsItsPortInTheConfiguration)
{
    const std::string ini = "[SvrTarn]\nPort=5000\nStatusPort=" + m_port + "\nStatusAddress=0.0.0.0\n";
    const std::string path = WriteFile("custom.ini", ini);
    EXPECT_EQ(Run("relay-status", {"--config", path}).out, kTable);
    // Without --config: relaySvr.ini in the working directory.
    WriteFile("relaySvr.ini", ini);
    EXPECT_EQ(Run("relay-status", {}).out, kTable);

    const Result off = Run("relay-status", {"--config", WriteFile("off.ini", "[SvrTarn]\nStatusPort=0\n")});
    EXPECT_EQ(off.status, 2);
    EXPECT_NE(off.err.find("StatusPort in [SvrTarn] of " + m_dir + "/off.ini is 0 or missing"), std::string::npos) << off.err;
    const Result missing = Run("relay-status", {"--config", m_dir + "/none.ini"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read " + m_dir + "/none.ini"), std::string::npos) << missing.err;
}

TEST_F(ToolsTest, StatusExitStatusNamesTheTrouble)
{
    const auto expect = [this](std::vector<std::string> args, int status, const std::string& message) {
        const Result r = Run("relay-status", args);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    };
    // 1: an error status, or a document that cannot be read.
    m_answers["/metrics"].code = 500;
    expect({"--port", m_port}, 1, "answered GET /metrics with 500 Failed");
    m_answers["/metrics"].code = 200;
    m_answers["/metrics"].body = "relaysvr_dead_devices_total{kind=} 1\n";
    expect({"--port", m_port}, 1, "cannot read the /metrics document: line 1 is not a sample");
    m_answers["/status"].body = R"({"pid": 1, "devices": [)";
    expect({"--port", m_port, "--json"}, 1, "the /status document is not JSON");
    m_answers["/status"].body = R"({"pid": 1, "port": 2, "uptime_seconds": 3, "devices": [{"fd": -4}],
                                    "requesters": []})";
    expect({"--port", m_port}, 1, "device 1: \"fd\" is not a whole number >= 0");
    m_answers.erase("/status");
    expect({"--port", m_port}, 1, "answered GET /status with 404");
    // 2: bad arguments.
    expect({"--port", "0"}, 2, "--port needs a port number 1-65535");
    expect({"--port", m_port, "--timeout", "soon"}, 2, "--timeout needs a number of seconds > 0");
    expect({"--jsn"}, 2, "unknown option --jsn");
    // 3: nothing to talk to, or no answer in time.
    const LoopbackPort closed(false), silent(true);
    expect({"--port", std::to_string(closed.port)}, 3, "cannot connect to 127.0.0.1 port");
    expect({"--port", std::to_string(silent.port), "--timeout", "0.3"}, 3, "no answer from 127.0.0.1 port");
}

TEST_F(ToolsTest, RequestAndDeviceTakeTheirOptions)
{
    const LoopbackPort closed(false);
    const std::string port = std::to_string(closed.port);
    const std::string refused = "cannot connect to 127.0.0.1:" + port;
    // Both forms of a value, and options after the operands.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--port", port, "23", "01 17"},
                                                 std::vector<std::string>{"23", "01 17", "--port=" + port, "-q"}}) {
        const Result r = Run("relay-request", args);
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find(refused), std::string::npos) << r.err;
    }
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--port", port, "--id", "42"},
                                                 std::vector<std::string>{"--id=42", "--port=" + port}}) {
        const Result r = Run("relay-device", args);
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find(refused), std::string::npos) << r.err;
    }
    for (const std::string tool : {"relay-request", "relay-device", "relay-status"}) {
        const Result help = Run(tool, {"--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: " + tool + " ", 0), 0u) << help.out;
        const Result noValue = Run(tool, {"--port"});
        EXPECT_EQ(noValue.status, 2);
        EXPECT_EQ(noValue.err, tool + ": --port needs a port number 1-65535\n");
    }
    const Result badId = Run("relay-device", {"--id", "1"});
    EXPECT_EQ(badId.status, 2);
    EXPECT_NE(badId.err.find("--id needs a device id 2-255"), std::string::npos) << badId.err;
    const Result noHex = Run("relay-request", {"23"});
    EXPECT_EQ(noHex.status, 2);
    EXPECT_NE(noHex.err.find("expected <id> and"), std::string::npos) << noHex.err;
}

} // namespace
