// Black-box tests of accepting: devices can never lock requesters out. A
// flood of devices meets the descriptors kept for requesters
// (RequesterReserve) or the cap per address (MaxConnectionsPerAddress); the
// relay listens where ListenAddress says. Each test runs a private copy of
// the binary through RelayHarness.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/RelayHarness.h"

using namespace relay_harness;
using namespace std::chrono_literals;

namespace {

constexpr char kDevices[] = "relaysvr_connections{kind=\"device\"}";
constexpr char kRequesters[] = "relaysvr_connections{kind=\"requester\"}";
constexpr char kPerAddress[] = "relaysvr_devices_refused_total{reason=\"per_address\"}";
constexpr char kReserve[] = "relaysvr_devices_refused_total{reason=\"reserve\"}";
constexpr int kReserveDefault = 32;
// Devices leave the status server room for this many connections (its
// default StatusMaxClients) below the reserve.
constexpr int kStatusClients = 16;

// The device the requesters of these tests ask, connected before any flood
// and from an address no flood uses.
constexpr int kAskedId = 250;

// The i-th of the flood's addresses: 127.0.1.2, 127.0.1.3, ... (ids 2 to 201).
std::string floodAddress(int i) {
    return "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(2 + i % 200);
}

// Waits until the relay has taken or refused every device connected so far.
bool settled(const Status& st, int devices) {
    return waitFor(2 * kDataTimeout, [&] {
        std::this_thread::sleep_for(20ms);  // a metrics request costs more than a poll
        return st.value(kDevices) + st.value(kPerAddress) + st.value(kReserve) == devices;
    });
}

// A requester asks the device and gets its answer.
::testing::AssertionResult served(Client& requester, Client& device, int tag) {
    if (auto r = relays(requester, device, request(static_cast<unsigned char>(tag), kAskedId)); !r) return r;
    return relays(device, requester, "answer " + std::to_string(tag));
}

// errno of a connect from one loopback address to another at port, 0 when
// it was accepted.
int connectError(const std::string& from, const std::string& to, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    inet_pton(AF_INET, to.c_str(), &remote.sin_addr);
    remote.sin_port = htons(static_cast<uint16_t>(port));
    int err = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                      connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0
                  ? 0
                  : errno;
    close(fd);
    return err;
}

// A child process that connects count devices to the relay on 127.0.0.1,
// from floodAddress(first) on, and holds them until it is destroyed (or
// this process ends).
class DeviceHolder {
public:
    DeviceHolder(int port, int first, int count) {
        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(report[0]);
            int connected = 0;
            for (int i = first; i < first + count; ++i) {
                const int fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in local{}, relay{};
                local.sin_family = relay.sin_family = AF_INET;
                inet_pton(AF_INET, floodAddress(i).c_str(), &local.sin_addr);
                relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                relay.sin_port = htons(static_cast<uint16_t>(port));
                const int one = 1;
                setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
                if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                    connect(fd, reinterpret_cast<sockaddr*>(&relay), sizeof relay) == 0)
                    ++connected;
            }
            if (write(report[1], &connected, sizeof connected) == sizeof connected) {
                for (;;) pause();  // until SIGTERM; the sockets close with the process
            }
            _exit(1);
        }
        close(report[1]);
        pollfd p{report[0], POLLIN, 0};
        if (m_pid > 0 && poll(&p, 1, static_cast<int>(kStopTimeout.count())) == 1 &&
            read(report[0], &m_connected, sizeof m_connected) != sizeof m_connected)
            m_connected = -1;
        close(report[0]);
    }
    ~DeviceHolder() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    DeviceHolder(DeviceHolder&& o) noexcept : m_pid(o.m_pid), m_connected(o.m_connected) { o.m_pid = -1; }
    DeviceHolder(const DeviceHolder&) = delete;
    DeviceHolder& operator=(const DeviceHolder&) = delete;
    DeviceHolder& operator=(DeviceHolder&&) = delete;
    // Devices it connected; -1 when it did not report in time.
    int connected() const { return m_connected; }

private:
    pid_t m_pid = -1;
    int m_connected = -1;
};

bool writeIni(const RelayServer& srv, const std::string& keys) {
    std::ofstream ini(srv.dir() + "/relaySvr.ini", std::ios::trunc);
    ini << "[SvrTarn]\nPort=" << srv.configuredPort() << "\n" << keys;
    return static_cast<bool>(ini.flush());
}

}  // namespace

// 200 devices against a limit of 128 descriptors, from one address or from
// many, with and without a cap per address: every one is taken or refused
// and counted by its reason, the devices never take the descriptors kept
// for requesters, and requesters still connect and get their answers.
TEST(DeviceFlood, RequestersAreServedWhateverTheDevicesDo) {
    constexpr int kLimit = 128, kFlood = 200;
    struct Case {
        const char* name;
        int addresses;
        int cap;            // MaxConnectionsPerAddress
        double perAddress;  // devices refused by the cap; -1: the reserve refuses
    } cases[] = {
        {"one address", 1, 0, -1},
        {"200 addresses", 200, 0, -1},
        {"one address, cap 16", 1, 16, 184},
        {"50 addresses, cap 1", 50, 1, 150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RelayServer srv;
        Status st;
        StartOptions o = st.options("MaxConnectionsPerAddress=" + std::to_string(c.cap) + "\n");
        o.fileLimit = kLimit;
        o.logLevel = "errors";
        ASSERT_TRUE(srv.start(o)) << srv.log();
        Client& asked = srv.connectDevice(kAskedId);
        for (int i = 0; i < kFlood; ++i) srv.connectFrom(floodAddress(i % c.addresses), false);
        ASSERT_TRUE(settled(st, 1 + kFlood)) << srv.log();

        const double admitted = st.value(kDevices) - 1;
        if (c.perAddress >= 0) {
            EXPECT_EQ(st.value(kPerAddress), c.perAddress);
            EXPECT_EQ(admitted, kFlood - c.perAddress);
            EXPECT_EQ(st.value(kReserve), 0);
        } else {
            EXPECT_EQ(st.value(kPerAddress), 0);
            EXPECT_GT(st.value(kReserve), 0);
            // Devices were admitted up to the reserve and the status
            // server's room, never into them.
            const int open = descriptorCount(srv.pid());
            EXPECT_LE(open, kLimit - kReserveDefault - kStatusClients + 1);
            EXPECT_GE(open, kLimit - kReserveDefault - kStatusClients - 2);
        }
        Client& req = srv.connectRequester();
        EXPECT_TRUE(served(req, asked, 1));
        // The reserve is for requesters: many more connect and are served
        // side by side (the status server has no room left then).
        std::vector<Client*> more;
        for (int i = 0; i < kReserveDefault / 2; ++i) more.push_back(&srv.connectRequester(false));
        for (int i = 0; i < kReserveDefault / 2; ++i) EXPECT_TRUE(served(*more[i], asked, 2 + i)) << i;
        EXPECT_TRUE(srv.stopsCleanly());
    }
}

// The cap counts devices per address while they are connected, never
// requesters; a reload that sets it counts the devices already there, and
// one that lowers it closes none.
TEST(DeviceFlood, CapPerAddressFollowsClosesAndReloads) {
    RelayServer srv;
    Status st;
    ASSERT_TRUE(srv.start(st.options("MaxConnectionsPerAddress=2\n")));
    Client& first = srv.connectDevice(5);
    srv.connectDevice(5);
    srv.connectFrom("127.0.0.5", false);
    ASSERT_TRUE(srv.waitForLine("Server refused a device from 127.0.0.5: over MaxConnectionsPerAddress"));
    Client& six = srv.connectDevice(6);  // another address, a count of its own
    EXPECT_TRUE(six.isOpen());
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(srv.connectRequester().isOpen()) << i;
    EXPECT_EQ(st.value(kPerAddress), 1);
    ASSERT_TRUE(srv.closeClient(first));
    EXPECT_TRUE(srv.connectDevice(5).isOpen());  // the close made room

    ASSERT_TRUE(writeIni(srv, "StatusPort=" + std::to_string(st.port) + "\n"));  // no cap
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!"));
    EXPECT_TRUE(srv.connectDevice(5).isOpen());
    ASSERT_TRUE(writeIni(srv, "StatusPort=" + std::to_string(st.port) + "\nMaxConnectionsPerAddress=1\n"));
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!", 2));
    srv.connectFrom("127.0.0.5", false);
    ASSERT_TRUE(srv.waitForLine("Server refused a device from 127.0.0.5: over MaxConnectionsPerAddress", 2));
    EXPECT_EQ(st.value(kPerAddress), 2);
    EXPECT_EQ(st.value(kDevices), 4);  // the three from 127.0.0.5 over the new cap stay
    Client& req = srv.connectRequester();
    EXPECT_TRUE(relays(req, six, request(1, 6)));
    EXPECT_TRUE(srv.stopsCleanly());
}

// With ListenAddress the relay listens there and on 127.0.0.1 only; a
// changed list is reported on reload and takes a restart; --check shows it;
// an address it cannot bind stops the start.
TEST(ListenAddress, DevicesComeThereAndRequestersToLoopback) {
    RelayServer srv;
    Status st;
    ASSERT_TRUE(srv.start(st.options("ListenAddress=127.0.0.2\n")));
    ASSERT_TRUE(srv.waitForLine(kStartOkLine));
    EXPECT_EQ(connectError("127.0.0.9", "127.0.0.3", srv.port()), ECONNREFUSED);
    Client& dev = srv.connectFrom("127.0.0.9", true, 0, "127.0.0.2");
    Client& req = srv.connectRequester();
    EXPECT_TRUE(relays(req, dev, request(1, 9)));
    EXPECT_TRUE(relays(dev, req, "answer"));

    ASSERT_TRUE(writeIni(srv, "StatusPort=" + std::to_string(st.port) + "\nListenAddress=127.0.0.4\n"));
    ASSERT_TRUE(srv.signal(SIGHUP));
    ASSERT_TRUE(srv.waitForLine("SvrReload ok!"));
    EXPECT_NE(srv.log().find("reload: ListenAddress changed from 127.0.0.2 and 127.0.0.1 to 127.0.0.4 and "
                             "127.0.0.1: that takes a restart"), std::string::npos) << srv.log();
    EXPECT_EQ(connectError("127.0.0.9", "127.0.0.4", srv.port()), ECONNREFUSED);
    EXPECT_TRUE(relays(req, dev, request(2, 9)));
    EXPECT_TRUE(srv.stopsCleanly());

    StartOptions check = st.options("ListenAddress=127.0.0.2\n");
    check.args = {"--check"};
    EXPECT_FALSE(srv.start(check));
    ExitInfo e = srv.waitExit();
    EXPECT_EQ(e.status, 0) << e.log;
    EXPECT_NE(e.log.find("ListenAddress=127.0.0.2 (and 127.0.0.1 for requesters)\n"), std::string::npos) << e.log;

    // 192.0.2.1 is not an address of this host. The first address may be
    // seen listening for a moment before the start ends.
    srv.start(st.options("ListenAddress=127.0.0.2 192.0.2.1\n"));
    e = srv.waitExit();
    EXPECT_TRUE(e.exited);
    EXPECT_EQ(e.status, 254) << e.log;
    EXPECT_NE(e.log.find("cannot listen on 192.0.2.1:"), std::string::npos) << e.log;
}

// Devices open until the relay refuses them at its descriptor limit
// (RELAY_RESERVE_LIMIT, default 1024; the hard limit of the machine for the
// figures in the README); then requesters, one after another and up to most
// of the reserve at once, must each be served by a device admitted first.
// The devices are held by child processes, each with a descriptor limit of
// its own.
TEST(SlowDeviceFlood, EveryRequesterIsServedAtTheLimit) {
    const char* env = std::getenv("RELAY_RESERVE_LIMIT");
    const int limit = env ? std::atoi(env) : 1024;
    const int perHolder = std::max(64, limit / 4);
    constexpr int kOneByOne = 100, kAtOnce = kReserveDefault - 4;
    RelayServer srv;
    Status st;
    StartOptions o = st.options();
    o.fileLimit = static_cast<rlim_t>(limit);
    o.logLevel = "errors";
    ASSERT_TRUE(srv.start(o)) << srv.log();
    Client& asked = srv.connectDevice(kAskedId);
    std::vector<DeviceHolder> holders;
    int flood = 0;
    const auto start = std::chrono::steady_clock::now();
    while (st.value(kReserve) <= 0 && flood < 2 * limit) {
        holders.emplace_back(srv.port(), flood, perHolder);
        ASSERT_EQ(holders.back().connected(), perHolder) << "devices from " << floodAddress(flood);
        flood += perHolder;
        ASSERT_TRUE(settled(st, 1 + flood)) << flood;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double admitted = st.value(kDevices), refused = st.value(kReserve);
    const int open = descriptorCount(srv.pid());
    EXPECT_GT(refused, 0);

    int servedOneByOne = 0, servedAtOnce = 0;
    for (int i = 0; i < kOneByOne; ++i) {
        Client& req = srv.connectRequester(false);
        servedOneByOne += served(req, asked, i) ? 1 : 0;
        req.close();
    }
    std::vector<Client*> together;
    for (int i = 0; i < kAtOnce; ++i) together.push_back(&srv.connectRequester(false));
    for (int i = 0; i < kAtOnce; ++i) servedAtOnce += served(*together[i], asked, i) ? 1 : 0;
    EXPECT_EQ(servedOneByOne, kOneByOne);
    EXPECT_EQ(servedAtOnce, kAtOnce);
    std::printf("[ figures  ] limit %d: %.0f devices admitted of %d (%.1f s), %.0f refused, %d descriptors open; "
                "requesters served: %d of %d one by one, %d of %d at once\n",
                limit, admitted, flood + 1, seconds, refused, open, servedOneByOne, kOneByOne, servedAtOnce, kAtOnce);
    holders.clear();
    EXPECT_TRUE(srv.stopsCleanly());
}
