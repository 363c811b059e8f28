// NetNamespace: a network namespace joined to this one by a veth pair, made
// for one test and removed again. The host end is 10.250.N.1, the
// namespace end 10.250.N.2 (so a device there has id 2). Names and the
// subnet come from the test process's PID, so tests in other processes do
// not collide.
//
// Devices run in the namespace as child processes of the test, killed by
// their PID when the object goes. Taking the namespace's end down cuts the
// link: nothing closes the connections that cross it. A token bucket on the
// namespace's end (tc tbf) makes the link from the device slow.
//
// Needs root and iproute2; ok() is false when the namespace could not be
// made (the test then skips, saying why).
#ifndef NET_NAMESPACE_H
#define NET_NAMESPACE_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace relay_harness {

// What a device in the namespace sends back for each chunk it gets.
struct DeviceReply {
    // 0: the chunk itself (an echo); else an answer of this many bytes,
    // byte i being answerByte(i).
    size_t size = 0;
    // Write the answer as a 4-byte header and then the body, in two sends,
    // with Nagle's algorithm on: the body waits for the header's
    // acknowledgement, as with much embedded firmware.
    bool headerFirst = false;
};

// The bytes of an answer of DeviceReply::size bytes.
inline unsigned char answerByte(size_t i) { return static_cast<unsigned char>('a' + i % 23); }
std::string answerBytes(size_t size);

class NetNamespace {
public:
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return m_ok; }
    // Takes the namespace's end of the link down, and up again.
    bool cut();
    bool mend();
    // Limits what the namespace sends to rate ("1mbit", "256kbit"); "" lifts
    // the limit.
    bool limit(const std::string& rate);
    // Sets the MTU of both ends of the link.
    bool mtu(int bytes);

    // A device in the namespace that connects to the relay at hostAddr:port
    // and answers every chunk it gets as reply says; it runs until the test
    // ends. Returns its PID, or -1.
    pid_t device(int port, DeviceReply reply = {});
    // Ends every device (SIGKILL: its connection closes).
    void killDevices();

    std::string hostAddr, nsAddr;

private:
    std::string in() const;
    std::string m_name, m_host, m_peer;
    bool m_ok = false;
    std::vector<pid_t> m_children;
};

}  // namespace relay_harness

#endif
