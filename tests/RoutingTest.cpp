// Routing of requests and answers, and connections that close or reset,
// driven in-process: the server object runs in the test's thread, its
// clients are loopback sockets (a device from 127.0.0.N has id N), its log a
// private file. Descriptors are the server's own, as in a server process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/InProcessRelay.h"

using namespace relay_harness;
using namespace std::chrono_literals;

namespace {

// Each case gets a fresh server; its destructor checks that every
// connection left every table.
class Relay : public ::testing::Test {
protected:
    InProcessRelay relay;
};
using Routing = Relay;
using Peer = InProcessRelay::Client;
using ClosedConnections = Relay;
using ErrorEvents = Relay;

}  // namespace

// Only 127.0.0.1 is a requester; a one-byte request names id 0 (zero fill).
// What a device sends while nobody waits on it is dropped, not kept for later.
TEST_F(Routing, DeviceIdsComeFromTheLastOctetAndUnaskedDataIsDropped) {
    Peer& dev2 = relay.connectDevice(2);
    Peer& dev0 = relay.connectFrom("127.0.1.0");
    Peer& req = relay.connectRequester();

    // 127.0.0.2 is a device: what it sends is an (unasked) answer, never a
    // request, so it reaches nobody and is not logged as one.
    ASSERT_TRUE(relay.send(dev2, request(0x09, 0)));
    ASSERT_TRUE(relay.waitForLine(readLine(dev2.serverFd, 6)));
    EXPECT_EQ(relay.receiveFor(dev0), "");
    EXPECT_EQ(relay.receiveFor(req, 0ms), "");
    EXPECT_EQ(relay.countLine(requestLine(0x09, 0)), 0);

    EXPECT_TRUE(relays(relay, req, dev2, request(0x07, 2)));
    EXPECT_TRUE(relay.waitForLine(requestLine(0x07, 2)));
    EXPECT_TRUE(relay.waitForLine(doLine(2)));
    EXPECT_TRUE(relays(relay, dev2, req, "answer"));

    EXPECT_TRUE(relays(relay, req, dev0, "A"));
    EXPECT_TRUE(relay.waitForLine(readLine(req.serverFd, 1)));
    EXPECT_TRUE(relay.waitForLine(requestLine('A', 0)));
    EXPECT_TRUE(relay.waitForLine(doLine(0)));
}

// Devices 127.0.0.5 and 127.0.1.5 share id 5; the one with the lower
// descriptor gets every request, although it connected later.
TEST_F(Routing, LowestDescriptorWinsAmongDevicesSharingAnId) {
    Peer& filler = relay.connectRequester();
    Peer& early = relay.connectDevice(5);
    ASSERT_TRUE(relay.close(filler));
    Peer& late = relay.connectFrom("127.0.1.5");
    Peer& req = relay.connectRequester();
    ASSERT_LT(late.serverFd, early.serverFd) << "the later device should reuse the freed lower descriptor";

    for (unsigned char tag = 1; tag <= 3; ++tag) {
        EXPECT_TRUE(relays(relay, req, late, request(tag, 5)));
        EXPECT_TRUE(relays(relay, late, req, "re" + std::to_string(tag)));
    }
    EXPECT_EQ(relay.receiveFor(early), "");
}

// Two requesters wait on one device: its chunks go out by ascending requester
// descriptor, not by the order of the requests; a third chunk is dropped.
TEST_F(Routing, WaitingRequestersAreServedByAscendingDescriptor) {
    Peer& dev = relay.connectDevice(9);
    Peer& filler = relay.connectRequester();
    Peer& high = relay.connectRequester();
    ASSERT_TRUE(relay.close(filler));
    Peer& low = relay.connectRequester();
    ASSERT_LT(low.serverFd, high.serverFd);

    ASSERT_TRUE(relay.send(high, request('H', 9)));  // asks first
    EXPECT_EQ(relay.receive(dev, 6), request('H', 9));
    EXPECT_TRUE(relays(relay, low, dev, request('L', 9)));

    EXPECT_TRUE(relays(relay, dev, low, "chunk-A"));
    EXPECT_TRUE(relays(relay, dev, high, "chunk-B"));
    ASSERT_TRUE(relay.send(dev, "chunk-C"));
    ASSERT_TRUE(relay.waitForLine(readLine(dev.serverFd, 7), 3));
    EXPECT_EQ(relay.receiveFor(low), "");
    EXPECT_EQ(relay.receiveFor(high, 0ms), "");
}

// Every request replaces the requester's wait: a request for another device
// moves it there, one for an id without a device ends it. (Device A at
// 127.0.1.1 has id 1: only 127.0.0.1 is a requester.)
TEST_F(Routing, EachRequestReplacesTheWait) {
    Peer& devA = relay.connectFrom("127.0.1.1");
    Peer& devB = relay.connectDevice(10);
    Peer& req = relay.connectRequester();

    EXPECT_TRUE(relays(relay, req, devA, request(1, 1)));
    EXPECT_TRUE(relays(relay, req, devB, request(2, 10)));
    ASSERT_TRUE(relay.send(devA, "from-A"));
    ASSERT_TRUE(relay.waitForLine(readLine(devA.serverFd, 6)));
    EXPECT_EQ(relay.receiveFor(req), "");
    EXPECT_TRUE(relays(relay, devB, req, "from-B"));

    // A request for id 77, which no device has, cancels the wait on B.
    EXPECT_TRUE(relays(relay, req, devB, request(3, 10)));
    ASSERT_TRUE(relay.send(req, request(4, 77)));
    ASSERT_TRUE(relay.waitForLine(requestLine(4, 77)));
    ASSERT_TRUE(relay.send(devB, "late-B"));
    ASSERT_TRUE(relay.waitForLine(readLine(devB.serverFd, 6), 2));
    EXPECT_EQ(relay.receiveFor(req), "");
    EXPECT_EQ(relay.countLine(doLine(77)), 0);
}

// 4196 bytes in one send: a chunk of 4096 and one of 100, each routed by its
// own byte 1.
TEST_F(Routing, RequestOver4096BytesIsRoutedChunkByChunk) {
    Peer& devA = relay.connectDevice(3);
    Peer& devB = relay.connectDevice(4);
    Peer& req = relay.connectRequester();

    const std::string data = request(1, 3, 4096) + request(2, 4, 100);
    ASSERT_TRUE(relay.send(req, data));
    EXPECT_EQ(relay.receive(devA, 4096), data.substr(0, 4096));
    EXPECT_EQ(relay.receive(devB, 100), data.substr(4096));
    EXPECT_EQ(relay.receiveFor(devA), "");
    ASSERT_TRUE(relay.waitForLine(doLine(4)));
    const int r = req.serverFd;
    EXPECT_TRUE(holdsRun(relay.logLines(),
                         {readLine(r, 4096), requestLine(1, 3), doLine(3), readLine(r, 100), requestLine(2, 4), doLine(4)}));
}

// ---------------------------------------------------------------------------
// Closed connections leave every table
// ---------------------------------------------------------------------------

namespace {

// Resets the device and checks the end of its connection: the error message
// or the closed line before its remove line, and the server's descriptors
// back to base.
void expectResetFreesConnection(InProcessRelay& relay, Peer& dev, size_t base) {
    const int d = dev.serverFd;
    ASSERT_TRUE(relay.close(dev, /*reset=*/true));
    const std::vector<std::string> lines = relay.logLines();
    const int remove = indexOf(lines, removeLine(d));
    ASSERT_GE(remove, 0);
    bool reported = false;
    for (int i = 0; i < remove; ++i) reported |= lines[i] == kErrorLine || lines[i] == closedLine(d);
    EXPECT_TRUE(reported);
    EXPECT_EQ(relay.server().m_mapBuff.size(), base);
    EXPECT_TRUE(relay.server().CheckTables());
}

}  // namespace

// After a device closes, normally or with a reset while the server reads
// from it, requests for its id go to another device with that id, and when
// none is left they go nowhere (no " do..." line).
TEST_F(ClosedConnections, ClosedDeviceIsNoLongerFound) {
    Peer& req = relay.connectRequester();
    const size_t base = relay.server().m_mapBuff.size();
    Peer& low = relay.connectDevice(7);
    Peer& high = relay.connectFrom("127.0.1.7");
    ASSERT_LT(low.serverFd, high.serverFd);
    EXPECT_EQ(relay.server().m_mapBuff.size(), base + 2);

    EXPECT_TRUE(relays(relay, req, low, request(1, 7)));
    ASSERT_TRUE(relay.close(low));
    EXPECT_TRUE(relays(relay, req, high, request(2, 7)));
    EXPECT_TRUE(relay.waitForLine(doLine(7), 2));
    ASSERT_TRUE(relay.send(high, "half"));
    expectResetFreesConnection(relay, high, base);

    ASSERT_TRUE(relay.send(req, request(3, 7)));
    ASSERT_TRUE(relay.waitForLine(requestLine(3, 7)));
    relay.receiveFor(req);  // runs the loop for a while: no do line comes
    EXPECT_EQ(relay.countLine(doLine(7)), 2);
}

// A requester waiting on a device that closes gets nothing, not even from a
// new device that is given the closed device's descriptor.
TEST_F(ClosedConnections, WaitOnClosedDeviceEnds) {
    Peer& req = relay.connectRequester();
    Peer& dev = relay.connectDevice(9);
    const int d = dev.serverFd;

    EXPECT_TRUE(relays(relay, req, dev, request(1, 9)));
    ASSERT_TRUE(relay.close(dev));

    Peer& next = relay.connectDevice(12);
    ASSERT_EQ(next.serverFd, d) << "the new device should reuse the freed descriptor";
    ASSERT_TRUE(relay.send(next, "stray"));
    ASSERT_TRUE(relay.waitForLine(readLine(d, 5)));
    EXPECT_EQ(relay.receiveFor(req), "");

    // The requester still works with the new device.
    EXPECT_TRUE(relays(relay, req, next, request(2, 12)));
    EXPECT_TRUE(relays(relay, next, req, "reply"));
}

// A connection that gets the descriptor of a closed one is sorted by its own
// address: a device's old descriptor can carry a requester, and a requester's
// old descriptor a device (which then gets no answers meant for the old one).
TEST_F(ClosedConnections, ReusedDescriptorIsSortedAfresh) {
    Peer& dev = relay.connectDevice(9);
    Peer& gone = relay.connectDevice(20);
    const int x = gone.serverFd;
    ASSERT_TRUE(relay.close(gone));

    Peer& req = relay.connectRequester();
    ASSERT_EQ(req.serverFd, x);
    EXPECT_TRUE(relays(relay, req, dev, request(3, 9)));
    EXPECT_TRUE(relay.waitForLine(requestLine(3, 9)));
    EXPECT_TRUE(relays(relay, dev, req, "ans-1"));

    Peer& waiter = relay.connectRequester();
    const int y = waiter.serverFd;
    EXPECT_TRUE(relays(relay, waiter, dev, request(4, 9)));
    ASSERT_TRUE(relay.close(waiter));

    Peer& newDev = relay.connectDevice(21);
    ASSERT_EQ(newDev.serverFd, y);
    ASSERT_TRUE(relay.send(dev, "for-nobody"));
    ASSERT_TRUE(relay.waitForLine(readLine(dev.serverFd, 10)));
    EXPECT_EQ(relay.receiveFor(newDev), "");
    EXPECT_EQ(relay.receiveFor(req, 0ms), "");

    EXPECT_TRUE(relays(relay, req, newDev, request(5, 21)));
    EXPECT_TRUE(relays(relay, newDev, req, "ans-2"));
}

// ---------------------------------------------------------------------------
// Peers that reset: the connection is freed, the server goes on
// ---------------------------------------------------------------------------

// A device that stops reading has requests pending in the server when it
// resets; the waiting requester gets nothing and keeps working.
TEST_F(ErrorEvents, ResetWhileServerWritesFreesConnection) {
    Peer& req = relay.connectRequester();
    Peer& other = relay.connectDevice(10);
    const size_t base = relay.server().m_mapBuff.size();

    Peer& dev = relay.connectFrom("127.0.0.9", 4096);
    // Every byte is 9, so however the server cuts the stream into chunks,
    // each names device 9. Bounded: 768 KiB.
    ASSERT_TRUE(relay.send(req, std::string(768 * 1024, '\x09')));
    ASSERT_TRUE(relay.waitForLine(doLine(9)));
    expectResetFreesConnection(relay, dev, base);
    EXPECT_EQ(relay.receiveFor(req), "");

    EXPECT_TRUE(relays(relay, req, other, request(1, 10)));
    EXPECT_TRUE(relays(relay, other, req, "still-here"));
}
