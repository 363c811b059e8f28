// InProcessRelay: a relay server object run inside the test process, one
// loop pass at a time on the test's own thread, with client sockets over
// loopback. For routing cases that need the server object only: no binary,
// no PID file, no /var/run.
//
// The server listens on a free port on all IPv4 addresses; its log goes to
// a private file that the test reads line by line (the server's LogLevel is
// its default, so every line is there). Clients are non-blocking sockets
// that the relay object owns; their descriptors are moved above
// kClientFdFloor, so that the server's accepted sockets get the low
// descriptors exactly as in a server process (a descriptor freed by the
// server goes to the server's next accept, not to a new client).
//
// Every wait runs loop passes until its condition holds or its deadline
// passes; none blocks further. The destructor closes every client, lets the
// server see the closes, checks that the tables agree and frees the server.
#ifndef IN_PROCESS_RELAY_H
#define IN_PROCESS_RELAY_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "SvrWrapperTarn.h"
#include "harness/RelayHarness.h"

namespace relay_harness {

class InProcessRelay {
public:
    // Client descriptors are moved to this number or above.
    static constexpr int kClientFdFloor = 512;

    struct Client {
        int fd = -1;        // the test's end, -1 once closed
        int serverFd = -1;  // the server's end
    };

    InProcessRelay();
    ~InProcessRelay();
    InProcessRelay(const InProcessRelay&) = delete;
    InProcessRelay& operator=(const InProcessRelay&) = delete;

    CSvrWrapperTarn& server() { return m_svr; }
    int port() const { return m_port; }

    // Runs loop passes until done() holds; false once the timeout has passed.
    template <class Done>
    bool pump(Done done, Millis timeout = kDataTimeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pass();
        }
        return true;
    }
    // One loop pass that waits at most a millisecond for an event.
    void pass();

    // A connection from the address, accepted by the server. receiveBuffer
    // > 0 makes both ends' buffers small (a peer that soon stops taking data).
    Client& connectFrom(const std::string& ip, int receiveBuffer = 0);
    Client& connectRequester() { return connectFrom("127.0.0.1"); }
    Client& connectDevice(int id) { return connectFrom("127.0.0." + std::to_string(id)); }

    // Sends all bytes, running the loop while the socket is full.
    bool send(Client& c, const std::string& bytes);
    // Runs the loop until n bytes have arrived, the peer closed or the
    // timeout passed; returns what arrived.
    std::string receive(Client& c, size_t n, Millis timeout = kDataTimeout);
    // What arrives within the window ("" when nothing came).
    std::string receiveFor(Client& c, Millis window = kQuietWindow);
    // Closes the client (normally, or with a reset) and runs the loop until
    // the server has logged one more remove line for its descriptor.
    bool close(Client& c, bool reset = false);
    // Closes the client at once, without waiting for the server to see it.
    void closeNow(Client& c);

    // The server's log so far, as complete lines.
    std::vector<std::string> logLines();
    int countLine(const std::string& line);
    bool waitForLine(const std::string& line, int count = 1, Millis timeout = kDataTimeout);

private:
    CSvrWrapperTarn m_svr;
    event_base* m_pBase = nullptr;
    event* m_pTick = nullptr;  // ends each loop pass within a millisecond
    int m_port = 0;
    int m_logFd = -1;
    std::vector<std::unique_ptr<Client>> m_clients;
};

// Sends bytes from one client; success when the other then receives exactly those.
::testing::AssertionResult relays(InProcessRelay& relay, InProcessRelay::Client& from, InProcessRelay::Client& to,
                                  const std::string& bytes);

}  // namespace relay_harness

#endif
