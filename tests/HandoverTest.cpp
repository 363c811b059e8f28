// Restarts that keep every device connected: the test plays systemd (its
// notification socket and file descriptor store), stops one relay with
// SIGINT, and starts the next with the descriptors the first one stored.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "harness/FakeServiceManager.h"
#include "harness/RelayHarness.h"

using namespace relay_harness;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kListener[] = "relay-listener";
constexpr char kDevice[] = "relay-device";

// Whether the server has closed the connection: end of file or a reset
// waits in the socket, seen without taking any data.
bool closedByServer(const Client& c) {
    char byte;
    const ssize_t n = recv(c.fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// A relay under the fake service manager, on the given port (0: a free one).
StartOptions underManager(const FakeServiceManager& sm, int port) {
    StartOptions o;
    o.env = sm.env();
    // The stop leaves devices connected: their buffers are the process's
    // to the end, as at any stop with connections open.
    o.asanOptions = "detect_leaks=0";
    if (port) o.ini = "[SvrTarn]\nPort=" + std::to_string(port) + "\n";
    return o;
}

}  // namespace

// The devices connected before the restart answer requests after it on the
// same connections; a device that connects while no relay runs waits in the
// stored listener's backlog and is accepted by the next one; the store is
// emptied once the next relay has taken everything over.
TEST(Handover, DevicesStayConnectedThroughARestart) {
    FakeServiceManager sm(64);
    ASSERT_TRUE(sm.ok());
    RelayServer first;
    ASSERT_TRUE(first.start(underManager(sm, 0)));
    ASSERT_TRUE(sm.waitFor("READY=1"));
    Client& dev9 = first.connectDevice(9);
    Client& dev10 = first.connectDevice(10);
    Client& req = first.connectRequester();
    EXPECT_TRUE(relays(req, dev9, request(1, 9)));
    EXPECT_TRUE(relays(dev9, req, "before"));

    ASSERT_TRUE(first.signal(SIGINT));
    const ExitInfo e = first.waitExit();
    EXPECT_TRUE(isClean(e));
    sm.drain();
    EXPECT_EQ(sm.storedNamed(kListener), 1u);
    EXPECT_EQ(sm.storedNamed(kDevice), 2u);
    EXPECT_NE(e.log.find("handover: 1 listening socket(s) and 2 device(s)"), std::string::npos) << e.log;
    EXPECT_TRUE(closedByServer(req)) << "requesters close with the process";
    Client& gap = first.connectFrom("127.0.0.11", /*waitAccept=*/false);

    RelayServer next;
    StartOptions o = underManager(sm, first.port());
    o.inherit = sm.stored();
    ASSERT_TRUE(next.start(o)) << next.log();
    EXPECT_EQ(next.port(), first.port());
    ASSERT_TRUE(sm.waitFor("FDSTOREREMOVE=1"));
    ASSERT_TRUE(waitFor(kDataTimeout, [&] {
        sm.drain();
        return sm.stored().empty();
    })) << "the store still holds " << sm.stored().size();
    // Each device taken over is logged with the accept line.
    EXPECT_TRUE(waitFor(kDataTimeout, [&] {
        const std::string log = next.log();
        return log.find("ip=127.0.0.9,") != std::string::npos && log.find("ip=127.0.0.10,") != std::string::npos;
    })) << next.log();

    Client& asker = next.connectRequester();
    EXPECT_TRUE(relays(asker, dev9, request(2, 9)));
    EXPECT_TRUE(relays(dev9, asker, "after"));
    EXPECT_TRUE(relays(asker, dev10, request(3, 10)));
    EXPECT_TRUE(relays(dev10, asker, "ten"));
    EXPECT_TRUE(relays(asker, gap, request(4, 11)));
    EXPECT_FALSE(dev9.peerClosed() || dev10.peerClosed());
    EXPECT_NE(next.log().find("handover: took over 1 listening socket(s) and 2 device(s)"), std::string::npos)
        << next.log();
    for (Client* c : {&dev9, &dev10, &gap}) c->close();  // the next relay's now, not the first's
    EXPECT_TRUE(next.stopsCleanly());
}

// Without a store (no FDSTORE) a stop is the plain one: nothing is handed
// over and the devices see their connections close.
TEST(Handover, NothingIsHandedOverWithoutAStore) {
    FakeServiceManager sm(0);
    ASSERT_TRUE(sm.ok());
    RelayServer srv;
    ASSERT_TRUE(srv.start(underManager(sm, 0)));
    Client& dev = srv.connectDevice(9);
    ASSERT_TRUE(srv.signal(SIGINT));
    const ExitInfo e = srv.waitExit();
    EXPECT_TRUE(isClean(e));
    sm.drain(200ms);
    EXPECT_TRUE(sm.stored().empty());
    EXPECT_TRUE(sm.waitFor("STOPPING=1"));
    EXPECT_EQ(e.log.find("handover:"), std::string::npos) << e.log;
    EXPECT_TRUE(waitFor(kDataTimeout, [&] { return closedByServer(dev); }));
}

// A measurement with 1,000 devices: the time from SIGINT to the first
// request answered through the next relay, and how many devices saw a close.
TEST(SlowHandover, AThousandDevicesThroughARestart) {
    constexpr int kDevices = 1000;
    constexpr unsigned char kTargetId = 251;  // the others have ids 2..250
    // The devices, the store's copies and the relays' ends all live here.
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 4 * kDevices) GTEST_SKIP() << "needs " << 4 * kDevices << " descriptors";
    FakeServiceManager sm(2 * kDevices);
    ASSERT_TRUE(sm.ok());
    RelayServer first;
    StartOptions o = underManager(sm, 0);
    o.logLevel = "errors";
    ASSERT_TRUE(first.start(o));
    std::vector<Client*> devices;
    Client& target = first.connectDevice(kTargetId);
    devices.push_back(&target);
    for (int i = 1; i < kDevices; ++i)
        devices.push_back(&first.connectFrom("127.0." + std::to_string(1 + i / 249) + "." + std::to_string(2 + i % 249),
                                             /*waitAccept=*/false));
    ASSERT_TRUE(waitFor(kStartTimeout, [&] { return descriptorCount(first.pid()) >= kDevices; }));

    const auto stop = Clock::now();
    ASSERT_TRUE(first.signal(SIGINT));
    ASSERT_TRUE(isClean(first.waitExit()));
    sm.drain();
    EXPECT_EQ(sm.storedNamed(kDevice), static_cast<size_t>(kDevices));
    RelayServer next;
    StartOptions n = underManager(sm, first.port());
    *n.ini += "LogLevel=errors\n";
    n.inherit = sm.stored();
    ASSERT_TRUE(next.start(n)) << next.log();
    Client& asker = next.connectRequester(/*waitAccept=*/false);
    ASSERT_TRUE(asker.send(request(1, kTargetId)));
    EXPECT_EQ(target.receive(6), request(1, kTargetId));
    ASSERT_TRUE(target.send("answer"));
    EXPECT_EQ(asker.receive(6), "answer");
    const double seconds = std::chrono::duration<double>(Clock::now() - stop).count();
    int noticed = 0;
    for (Client* d : devices) noticed += closedByServer(*d);
    std::printf("[ figures  ] %d devices: SIGINT to the first answer through the next relay %.3f s; "
                "devices that saw a close: %d\n", kDevices, seconds, noticed);
    EXPECT_EQ(noticed, 0);
    for (Client* d : devices) d->close();
    EXPECT_TRUE(next.stopsCleanly());
}
