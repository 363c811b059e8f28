// FakeServiceManager: plays systemd's part for a relay the test starts, since
// systemd is not the machine's init here. It listens on a datagram socket
// that the relay is given as NOTIFY_SOCKET, reads its notifications (READY=1,
// STOPPING=1, STATUS=...) and keeps the descriptors sent with FDSTORE=1
// under their FDNAME, dropping them again on FDSTOREREMOVE=1, as systemd's
// file descriptor store does. What it keeps can be passed to the next start
// (StartOptions::inherit), as systemd passes its store to a restarted
// service.
//
// One thread; every wait has a deadline. The destructor closes what it keeps
// and removes its socket.
#ifndef FAKE_SERVICE_MANAGER_H
#define FAKE_SERVICE_MANAGER_H

#include <string>
#include <utility>
#include <vector>

#include "harness/RelayHarness.h"

namespace relay_harness {

class FakeServiceManager {
public:
    // storeSize: the FDSTORE the relay is told; 0 offers no store.
    explicit FakeServiceManager(size_t storeSize);
    ~FakeServiceManager();
    FakeServiceManager(const FakeServiceManager&) = delete;
    FakeServiceManager& operator=(const FakeServiceManager&) = delete;

    bool ok() const { return m_fd >= 0; }
    // NOTIFY_SOCKET=... and, with a store, FDSTORE=...
    std::vector<std::string> env() const;

    // Reads every notification that has come; with a timeout, waits that
    // long for one more when none is there.
    void drain(Millis timeout = Millis(0));
    // Waits until a notification holding the line has come.
    bool waitFor(const std::string& line, Millis timeout = kDataTimeout);
    const std::vector<std::string>& messages() const { return m_messages; }

    // The descriptors kept, with their names, in the order they came: what
    // the next start gets (StartOptions::inherit). They stay kept until the
    // relay asks to remove them (FDSTOREREMOVE=1), as with systemd.
    const std::vector<std::pair<int, std::string>>& stored() const { return m_stored; }
    size_t storedNamed(const std::string& name) const;

private:
    int m_fd = -1;
    std::string m_dir, m_path;
    size_t m_storeSize;
    std::vector<std::string> m_messages;
    std::vector<std::pair<int, std::string>> m_stored;
};

}  // namespace relay_harness

#endif
