// Unit tests of the server object, in-process: the lifecycle, and the tables
// driven through real loopback connections, with CheckTables() after every
// step.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
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

#include <atomic>
#include <thread>

#include <event2/buffer.h>

#include "SvrWrapperTarn.h"
#include "harness/FakeServiceManager.h"
#include "harness/InProcessRelay.h"

namespace {

using Clock = std::chrono::steady_clock;

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

// ---------------------------------------------------------------------------
// Handing the sockets over at a stop
// ---------------------------------------------------------------------------

// What is queued for a device when the relay stops is written before its
// socket goes to the store: the device, reading on, gets every byte the
// relay forwarded to it. Requesters are not stored.
TEST(SvrHandOver, QueuedOutputIsWrittenBeforeTheSocketsAreStored)
{
    relay_harness::FakeServiceManager sm(8);
    ASSERT_TRUE(sm.ok());
    for (const std::string& e : sm.env())  // NOTIFY_SOCKET and FDSTORE, for this process
        setenv(e.substr(0, e.find('=')).c_str(), e.substr(e.find('=') + 1).c_str(), 1);
    relay_harness::InProcessRelay relay;
    CSvrWrapperTarn& svr = relay.server();
    auto& dev = relay.connectFrom("127.0.0.9", 4096);
    auto& req = relay.connectRequester();
    // Every byte names the device, however the relay cuts the stream; the
    // device reads nothing yet, so the relay soon queues.
    const std::string block(64 * 1024, '\x09');
    auto queued = [&] { return evbuffer_get_length(bufferevent_get_output(svr.m_mapBuff.at(dev.serverFd))); };
    ASSERT_TRUE(relay.pump([&] {
        send(req.fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return queued() > 0;
    }));
    relay::StatusSnapshot rows;
    svr.SnapshotRows(rows, dev.serverFd, 1);
    ASSERT_EQ(rows.deviceRows.size(), 1u);
    const uint64_t forwarded = rows.deviceRows[0].bytesOut;

    std::atomic<uint64_t> got{0};
    std::thread reader([&] {
        char buf[65536];
        pollfd p{dev.fd, POLLIN, 0};
        while (got < forwarded && poll(&p, 1, 5000) > 0) {
            const ssize_t n = recv(dev.fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) return;
            if (n > 0) got += static_cast<uint64_t>(n);
        }
    });
    EXPECT_EQ(svr.HandOver(8), 1u);
    reader.join();
    EXPECT_EQ(got.load(), forwarded);
    sm.drain();
    EXPECT_EQ(sm.storedNamed("relay-device"), 1u);
    EXPECT_EQ(sm.storedNamed("relay-listener"), 1u);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("FDSTORE");
}

// Small marks, so that a device that stops reading pauses its requesters
// after some tens of KiB; small buffers, so that the peer soon stops taking
// data (loopback's large segments would otherwise let the kernel hold
// megabytes for it before the server queues anything).
constexpr size_t kTestHighMark = 32 * 1024;
constexpr size_t kTestLowMark = 8 * 1024;
constexpr int kSmallBuffer = 4096;

// Random connects, requests, answers, closes, resets and half-closes, with
// devices that stop reading so that requesters pause; the tables must agree
// with the records after every step. RELAY_TABLES_MS sets the duration.
TEST(SvrTables, TablesAgreeAfterEveryStepOfRandomTraffic)
{
    relay_harness::InProcessRelay relay;
    CSvrWrapperTarn& svr = relay.server();
    svr.SetWatermarks(kTestHighMark, kTestLowMark);
    const char* ms = std::getenv("RELAY_TABLES_MS");
    const auto duration = std::chrono::milliseconds(ms && *ms ? std::atol(ms) : 2000);
    const unsigned seed = 20261208;
    std::mt19937 rng(seed);
    struct Peer { relay_harness::InProcessRelay::Client* c = nullptr; int fd = -1; bool device = false; bool reading = true; };
    std::vector<Peer> peers(8);
    const char* deviceAddrs[] = {"127.0.0.2", "127.0.1.2", "127.0.0.3"};
    auto open = [&](Peer& p, size_t i) {
        p.device = i < 3;
        p.reading = true;
        p.c = &relay.connectFrom(p.device ? deviceAddrs[i] : "127.0.0.1", p.device ? kSmallBuffer : 0);
        p.fd = p.c->fd;
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
            relay.closeNow(*p.c);
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
