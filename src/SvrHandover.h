// The relay's side of systemd's file descriptor store: at a stop under a
// service manager that keeps descriptors for its service, the listening
// sockets and every device's socket are sent there (FDSTORE=1); the next
// start of the service gets them back (LISTEN_FDS, LISTEN_FDNAMES) and takes
// them over, so a restart or an upgrade closes no device connection.
//
// Only the protocol lives here: what to send, under which names, and what
// came back. Which sockets, and what the relay does with them, is the
// server's (CSvrWrapperTarn::HandOver and its start). Runs on the main
// thread, outside the loop's callbacks; nothing here throws.
#ifndef SVRHANDOVER_H
#define SVRHANDOVER_H

#include <cstddef>
#include <string>
#include <vector>

namespace relay {

// The names the sockets are stored under (FDNAME=).
constexpr const char* kStoredListener = "relay-listener";
constexpr const char* kStoredDevice = "relay-device";

// The number of descriptors the service manager keeps for us: the FDSTORE
// variable (systemd 254 and later set it from FileDescriptorStoreMax=; the
// unit sets it itself for older ones), when NOTIFY_SOCKET is set too; 0:
// there is no store, and nothing is handed over.
size_t fdStoreSize();

// What the service manager passed at start, by name. The descriptors are
// close-on-exec. Descriptors under other names are closed.
struct Inherited {
    std::vector<int> listeners;
    std::vector<int> devices;
    size_t unknown = 0;   // closed: not ours
    bool Empty() const { return listeners.empty() && devices.empty(); }
};
// Takes the descriptors of LISTEN_FDS (when LISTEN_PID is this process) and
// unsets the variables, so that they are taken once.
Inherited takeInherited();

// Tells the service manager to drop its copies of the sockets it passed:
// from now on a socket the relay closes is closed for its peer too.
void forgetStored();

// Sends the descriptors to the store under the name, as many per message as
// one may carry. False, with the reason in error, when a message could not
// be sent (what was sent before stays stored).
bool storeFds(const char* name, const std::vector<int>& fds, std::string& error);

} // namespace relay

#endif
