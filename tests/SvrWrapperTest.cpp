// Unit tests of the server object, in-process: the lifecycle, the settings
// read from relaySvr.ini, and the tables driven through real loopback
// connections, with CheckTables() after every step.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "SvrWrapperTarn.h"

namespace {

using Clock = std::chrono::steady_clock;

int ListeningPort(evconnlistener* listener)
{
    sockaddr_in sin;
    socklen_t len = sizeof(sin);
    getsockname(evconnlistener_get_fd(listener), reinterpret_cast<sockaddr*>(&sin), &len);
    return ntohs(sin.sin_port);
}

// A working directory of its own for tests that read relaySvr.ini.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/svrwrapper-XXXXXX";
        m_dir = mkdtemp(tmpl) ? tmpl : "";
        m_old = getcwd(nullptr, 0);
        if (m_dir.empty() || chdir(m_dir.c_str()) != 0)
            ADD_FAILURE() << "no temporary directory";
    }
    ~TempDir()
    {
        if (m_old && chdir(m_old) != 0)
            ADD_FAILURE() << "cannot go back to " << m_old;
        free(m_old);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    void Write(const std::string& text) { std::ofstream("relaySvr.ini", std::ios::trunc) << text; }

private:
    std::string m_dir;
    char* m_old = nullptr;
};

// ---------------------------------------------------------------------------
// Lifecycle
// ---------------------------------------------------------------------------

TEST(SvrLifecycle, StartUsesTheLow16BitsAndReleasesInOrder)
{
    event_base* published = nullptr;
    CSvrWrapperTarn svr;
    svr.m_nPort = -65536; // low 16 bits 0: the system picks a free port
    testing::internal::CaptureStdout();
    svr.SvrInit(&published);
    svr.SvrStart();
    svr.SvrClose();
    svr.SvrFree();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SvrStart ok!\n");
    EXPECT_FALSE(svr.SvrIsOk());
    EXPECT_FALSE(svr.m_bBaseOk);
    EXPECT_EQ(published, nullptr); // a late SIGINT finds no freed base
}

TEST(SvrLifecycle, FailedStartFreesTheBaseSilently)
{
    // Without a base: nothing happens.
    CSvrWrapperTarn idle;
    testing::internal::CaptureStdout();
    idle.SvrStart();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(idle.SvrIsOk() || idle.m_bBaseOk);

    // Port taken by another listening socket.
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t len = sizeof(sin);
    getsockname(taken, reinterpret_cast<sockaddr*>(&sin), &len);

    event_base* published = nullptr;
    CSvrWrapperTarn svr;
    svr.m_nPort = ntohs(sin.sin_port);
    testing::internal::CaptureStdout();
    svr.SvrInit(&published);
    ASSERT_NE(published, nullptr);
    svr.SvrStart();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(svr.SvrIsOk());
    EXPECT_EQ(published, nullptr);
    close(taken);
}

// ---------------------------------------------------------------------------
// The log
// ---------------------------------------------------------------------------

// The log composes its lines itself: each must read exactly as printf would
// print its format.
TEST(SvrLog, LinesReadAsTheirFormats)
{
    char path[] = "/tmp/svrlog-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    CSvrLog::Redirect(fd);
    std::string expected;
    char buf[256];
    for (int v : {0, 7, 10, 99, 4096, 65535, 2147483647, -1, -2147483647 - 1}) {
        CSvrLog::PrintRead(v, v / 3);
        std::snprintf(buf, sizeof(buf), " %d  OnRead: %d\n", v, v / 3);
        expected += buf;
        CSvrLog::PrintRequest(static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8));
        std::snprintf(buf, sizeof(buf), " is request: %02x %02x\n", static_cast<unsigned char>(v),
                      static_cast<unsigned char>(v >> 8));
        expected += buf;
        CSvrLog::PrintDo(static_cast<unsigned char>(v));
        std::snprintf(buf, sizeof(buf), " do... [%d]\n", static_cast<unsigned char>(v));
        expected += buf;
        CSvrLog::Print(CSvrLog::kErrors, "Server OnAccept an socket %04x ip=%s,  id=%d %llu%%\n",
                       static_cast<unsigned>(v), "10.0.0.1", v, static_cast<unsigned long long>(v) * 3);
        std::snprintf(buf, sizeof(buf), "Server OnAccept an socket %04x ip=%s,  id=%d %llu%%\n",
                      static_cast<unsigned>(v), "10.0.0.1", v, static_cast<unsigned long long>(v) * 3);
        expected += buf;
    }
    CSvrLog::Print(CSvrLog::kErrors, "%5.2f and %c\n", 3.14159, 'x'); // what the log does not compose itself
    expected += " 3.14 and x\n";
    CSvrLog::Redirect(-1);
    std::string got(expected.size() + 16, '\0');
    got.resize(static_cast<size_t>(pread(fd, &got[0], got.size(), 0)));
    close(fd);
    EXPECT_EQ(got, expected);
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

TEST(SvrConfig, InitReadsThePortFromTheWorkingDirectory)
{
    TempDir dir;
    struct Case { const char* text; int port; } cases[] = {
        {"[SvrTarn]\nPort = 6000 ;main port\n", 6000},
        {"[SvrTarn]\nport=6000\n[Other]\nPort=7000\n", 5000},
        {"[SvrTarn]\nPort=1\nPort=99999999999\n", 2147483647},
        {"[SvrTarn]\nPort=\n", 5000},
        {nullptr, 5000}, // no file
    };
    for (const Case& c : cases) {
        std::remove("relaySvr.ini");
        if (c.text)
            dir.Write(c.text);
        CSvrWrapperTarn svr;
        svr.Init();
        EXPECT_EQ(svr.m_nPort, c.port) << (c.text ? c.text : "(no file)");
        EXPECT_TRUE(svr.InitOk());
    }
}

// A FIFO (or any file that is not a regular one) is not opened: opening it
// would wait for a writer with the PID lock held.
TEST(SvrConfig, ConfigurationThatIsNotARegularFileIsNotRead)
{
    TempDir dir;
    ASSERT_EQ(mkfifo("relaySvr.ini", 0600), 0);
    CSvrWrapperTarn svr;
    testing::internal::CaptureStderr();
    svr.Init(); // would block for ever if it opened the FIFO
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("relaySvr.ini is not a regular file"), std::string::npos) << err;
    EXPECT_EQ(svr.m_nPort, 5000);
    EXPECT_TRUE(svr.InitOk());
}

struct SettingsCase {
    const char* name;
    const char* keys;     // lines of section SvrTarn
    bool readable;        // DeviceNetworks could be read
    bool badValue;
    const char* warning;  // part of a warning, "" for none
    const char* described;// part of DescribeSettings, "" to skip
};

TEST(SvrConfig, SettingsAreCheckedKeyByKey)
{
    const SettingsCase cases[] = {
        {"defaults", "", true, false, "", "KeepAlive=60\nAckTimeout=30\nLogLevel=chunks\nStatusPort=0 (off)"},
        {"networks: CIDR, bare, blanks and commas", "DeviceNetworks=192.168.1.0/24, 10.0.0.7 ,172.16.0.0/12", true,
         false, "", "DeviceNetworks=192.168.1.0/24 10.0.0.7/32 172.16.0.0/12\n"},
        {"host bits are cleared", "DeviceNetworks=10.1.2.3/8", true, false, "", "DeviceNetworks=10.0.0.0/8\n"},
        {"network prefix too long", "DeviceNetworks=10.0.0.0/33", false, false, "", ""},
        {"not an address", "DeviceNetworks=192.168.1.0/24 lan", false, false, "", ""},
        {"unknown and misspelt keys", "port=6000\nKeepalive=5", true, false, "unknown key \"port\"", ""},
        {"port that is not a plain number", "Port=abc", true, false, "the system chooses the port", ""},
        {"port out of range", "Port=70000", true, false, "the port is 4464", ""},
        {"bad keepalive keeps the default", "KeepAlive=-1\nAckTimeout=2", true, true, "KeepAlive=\"-1\"",
         "KeepAlive=60\nAckTimeout=2\n"},
        {"bad log level", "LogLevel=verbose", true, true, "LogLevel=\"verbose\"", "LogLevel=chunks"},
        {"status server", "StatusPort=9100\nStatusAddress=10.0.0.1", true, false, "",
         "StatusPort=9100\nStatusAddress=10.0.0.1"},
        {"bad status address", "StatusAddress=localhost", true, true, "StatusAddress=\"localhost\"",
         "StatusAddress=127.0.0.1"},
        {"values that turn things off", "KeepAlive=0\nAckTimeout=0\nLogLevel=errors", true, false, "",
         "KeepAlive=0\nAckTimeout=0\nLogLevel=errors"},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimpleIni ini("");
        std::string keys = c.keys;
        for (size_t start = 0; start < keys.size();) {
            const size_t end = std::min(keys.find('\n', start), keys.size());
            const std::string line = keys.substr(start, end - start);
            ini.SetValue("SvrTarn", line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
            start = end + 1;
        }
        CSvrWrapperTarn::Settings s;
        CSvrWrapperTarn::SettingsCheck check;
        EXPECT_EQ(CSvrWrapperTarn::ReadSettings(ini, s, check), c.readable) << check.error;
        EXPECT_EQ(check.badValue, c.badValue);
        std::string warnings;
        for (const std::string& w : check.warnings)
            warnings += w + "\n";
        if (*c.warning)
            EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
        else
            EXPECT_EQ(warnings, "");
        if (*c.described) {
            EXPECT_NE(CSvrWrapperTarn::DescribeSettings(s).find(c.described), std::string::npos)
                << CSvrWrapperTarn::DescribeSettings(s);
        }
    }
}

// ---------------------------------------------------------------------------
// The tables, driven through real connections
// ---------------------------------------------------------------------------

// Small marks, so that a device that stops reading pauses its requesters
// after some tens of KiB.
constexpr size_t kTestHighMark = 32 * 1024;
constexpr size_t kTestLowMark = 8 * 1024;
constexpr int kSmallBuffer = 4096;

// A server on a free port, run in this thread one loop pass at a time.
class InProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As in the server process: a write to a peer that reset fails, it
        // does not end the process.
        std::signal(SIGPIPE, SIG_IGN);
        // The log of what the tests do (error lines of resets) is not looked at.
        m_nullFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        CSvrLog::Redirect(m_nullFd);
        CSvrLog::SetLevel(CSvrLog::kErrors);
        svr.m_nPort = 0;
        svr.SetWatermarks(kTestHighMark, kTestLowMark);
        svr.SvrInit(&base);
        svr.SvrStart();
        ASSERT_TRUE(svr.SvrIsOk());
        port = ListeningPort(svr.m_pListener);
    }
    void TearDown() override
    {
        for (int fd : clients)
            close(fd);
        // Let the server see every close, so that nothing stays allocated.
        Pump([&] { return svr.m_mapBuff.empty(); });
        EXPECT_TRUE(svr.CheckTables());
        svr.SvrClose();
        svr.SvrFree();
        CSvrLog::SetLevel(CSvrLog::kChunks);
        CSvrLog::Redirect(-1);
        close(m_nullFd);
    }

    // Runs loop passes until done() holds or a second has passed.
    template <class Done>
    bool Pump(Done done)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (!done()) {
            if (Clock::now() > deadline)
                return false;
            event_base_loop(svr.m_pBase, EVLOOP_NONBLOCK);
        }
        return true;
    }

    // A connection from the address, accepted by the server; its client
    // socket (non-blocking). With small buffers the peer soon stops taking
    // data: loopback's large segments would otherwise let the kernel hold
    // megabytes for it before the server queues anything.
    int Connect(const char* from, bool smallBuffers = false)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{}, server{};
        local.sin_family = server.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(static_cast<uint16_t>(port));
        if (smallBuffers)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSmallBuffer, sizeof(kSmallBuffer));
        auto accepted = [&] { return svr.GetStats().acceptedDevices + svr.GetStats().acceptedRequesters; };
        const uint64_t before = accepted();
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server)), 0);
        fcntl(fd, F_SETFL, O_NONBLOCK);
        EXPECT_TRUE(Pump([&] { return accepted() > before; }));
        clients.push_back(fd);
        if (smallBuffers) {
            // The server's end of it: the one whose peer is our end.
            sockaddr_in mine{}, peer{};
            socklen_t len = sizeof(mine);
            getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &len);
            for (const auto& [serverFd, bev] : svr.m_mapBuff) {
                len = sizeof(peer);
                if (getpeername(serverFd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
                    peer.sin_port == mine.sin_port && peer.sin_addr.s_addr == mine.sin_addr.s_addr)
                    setsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &kSmallBuffer, sizeof(kSmallBuffer));
            }
        }
        return fd;
    }
    // The server's descriptor of the newest connection (the highest one, as
    // long as no connection has closed).
    int Newest() const { return svr.m_mapBuff.empty() ? -1 : svr.m_mapBuff.rbegin()->first; }

    void Close(int client)
    {
        clients.erase(std::find(clients.begin(), clients.end(), client));
        const size_t before = svr.m_mapBuff.size();
        close(client);
        EXPECT_TRUE(Pump([&] { return svr.m_mapBuff.size() < before; }));
    }

    CSvrWrapperTarn svr;
    event_base* base = nullptr;
    int port = 0;
    int m_nullFd = -1;
    std::vector<int> clients;
};

using SvrTables = InProcess;

// Devices 127.0.0.5 and 127.0.1.5 share id 5; requesters are found by the
// device they wait on, lowest descriptor first; a close takes a connection
// out of every table.
TEST_F(SvrTables, LookupsFollowTheConnections)
{
    const int dev5 = Connect("127.0.0.5");
    const int d5 = Newest();
    Connect("127.0.1.5");
    const int d5b = Newest();
    Connect("127.0.0.6");
    const int d6 = Newest();
    const int reqA = Connect("127.0.0.1");
    const int a = Newest();
    const int reqB = Connect("127.0.0.1");
    const int b = Newest();
    EXPECT_TRUE(svr.IsDest(d5) && svr.IsDest(d6) && !svr.IsDest(a));
    EXPECT_EQ(svr.DestFind(5), d5);
    EXPECT_EQ(svr.DestFind(6), d6);
    EXPECT_EQ(svr.DestFind(7), 0);
    EXPECT_EQ(svr.m_mapReq.at(a), 0);

    const unsigned char ask[] = {1, 5, 'x'};
    ASSERT_EQ(send(reqB, ask, sizeof(ask), 0), 3);
    ASSERT_TRUE(Pump([&] { return svr.ReqFind(d5) == b; }));
    ASSERT_EQ(send(reqA, ask, sizeof(ask), 0), 3);
    ASSERT_TRUE(Pump([&] { return svr.m_mapReq.at(a) == d5; }));
    EXPECT_EQ(svr.ReqFind(d5), a); // lower descriptor first, whoever asked first
    EXPECT_TRUE(svr.CheckTables());

    Close(dev5);
    EXPECT_EQ(svr.DestFind(5), d5b);
    EXPECT_EQ(svr.m_mapReq.at(a), 0); // its device went: it waits on nothing
    EXPECT_EQ(svr.ReqFind(d5), 0);
    EXPECT_FALSE(svr.IsDest(d5));
    EXPECT_TRUE(svr.CheckTables());
}

// Random connects, requests, answers, closes, resets and half-closes, with
// devices that stop reading so that requesters pause; the tables must agree
// with the records after every step. RELAY_TABLES_MS sets the duration.
TEST_F(SvrTables, TablesAgreeAfterEveryStepOfRandomTraffic)
{
    const char* ms = std::getenv("RELAY_TABLES_MS");
    const auto duration = std::chrono::milliseconds(ms && *ms ? std::atol(ms) : 2000);
    const unsigned seed = 20261208;
    std::mt19937 rng(seed);
    struct Peer { int fd = -1; bool device = false; bool reading = true; };
    std::vector<Peer> peers(8);
    const char* deviceAddrs[] = {"127.0.0.2", "127.0.1.2", "127.0.0.3"};
    auto open = [&](Peer& p, size_t i) {
        p.device = i < 3;
        p.reading = true;
        p.fd = Connect(p.device ? deviceAddrs[i] : "127.0.0.1", p.device);
    };
    for (size_t i = 0; i < peers.size(); ++i)
        open(peers[i], i);

    std::vector<unsigned char> data(64 * 1024);
    long steps = 0;
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        const size_t i = rng() % peers.size();
        Peer& p = peers[i];
        const unsigned action = rng() % 100;
        if (action < 55) {
            // Every byte names the same id (2..5; 4 and 5 have no device), so
            // however the server cuts the stream, each chunk goes there.
            const size_t n = 1 + rng() % (rng() % 4 == 0 ? data.size() : 300);
            std::fill(data.begin(), data.begin() + n, static_cast<unsigned char>(2 + rng() % 4));
            send(p.fd, data.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else if (action < 70) {
            p.reading = !p.reading;
        } else if (action < 76) {
            const int how = static_cast<int>(rng() % 3);
            if (how == 1) {
                linger lg{1, 0};
                setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
            }
            if (how == 2)
                shutdown(p.fd, SHUT_WR); // the server closes it; the next close here is normal
            clients.erase(std::find(clients.begin(), clients.end(), p.fd));
            close(p.fd);
            open(p, i);
        }
        for (Peer& q : peers) {
            if (q.reading)
                while (recv(q.fd, data.data(), data.size(), MSG_DONTWAIT) > 0) {
                }
        }
        for (int pass = 0; pass < 3; ++pass)
            event_base_loop(svr.m_pBase, EVLOOP_NONBLOCK);
        ++steps;
        ASSERT_TRUE(svr.CheckTables()) << "after step " << steps << ", seed " << seed;
    }
    const auto& stats = svr.GetStats();
    std::printf("[ figures  ] tables: %ld steps, %llu connections, %llu pauses, %llu requests forwarded\n", steps,
                static_cast<unsigned long long>(stats.acceptedDevices + stats.acceptedRequesters),
                static_cast<unsigned long long>(stats.backpressurePauses),
                static_cast<unsigned long long>(stats.requestsForwarded));
    EXPECT_GT(stats.backpressurePauses, 0u) << "no requester was ever paused";
    for (Peer& p : peers)
        p.reading = true;
}

// The status documents describe the connections as the tables hold them.
TEST_F(SvrTables, StatusDocumentsDescribeTheConnections)
{
    Connect("127.0.1.9");
    const int d = Newest();
    const int req = Connect("127.0.0.1");
    const int r = Newest();
    const unsigned char ask[] = {1, 9, 'p', 'i', 'n', 'g'};
    ASSERT_EQ(send(req, ask, sizeof(ask), 0), 6);
    ASSERT_TRUE(Pump([&] { return svr.ReqFind(d) == r; }));

    const std::string json = svr.StatusJson();
    const std::string device = "{\"fd\": " + std::to_string(d) + ", \"id\": 9, \"address\": \"127.0.1.9\", "
                               "\"connected_seconds\": 0, \"waiting_requesters\": [" + std::to_string(r) +
                               "], \"bytes_in\": 0, \"bytes_out\": 6}";
    EXPECT_NE(json.find(device), std::string::npos) << json;
    EXPECT_NE(json.find("{\"fd\": " + std::to_string(r) + ", \"waiting_on\": " + std::to_string(d)),
              std::string::npos) << json;
    EXPECT_NE(json.find("\"port\": " + std::to_string(port)), std::string::npos) << json;

    const std::string metrics = svr.MetricsText();
    for (const char* line : {"relaysvr_connections{kind=\"device\"} 1\n", "relaysvr_requests_total{outcome=\"forwarded\"} 1\n",
                             "relaysvr_bytes_total{from=\"requester\"} 6\n", "# TYPE relaysvr_answers_total counter\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
}

} // namespace
