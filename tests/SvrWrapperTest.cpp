// Unit tests of the server object, in-process: the lifecycle, and the tables
// driven through real loopback connections, with CheckTables() after every
// step.
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
    CSvrWrapperTarn svr;
    event_base* base = nullptr;
    int port = 0;
    int m_nullFd = -1;
    std::vector<int> clients;
};

using SvrTables = InProcess;

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

} // namespace
