#include "SvrHandover.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <systemd/sd-daemon.h>

#include "RelayText.h"

namespace relay {

namespace {

// The kernel passes at most this many descriptors in one message (SCM_MAX_FD).
const size_t kFdsPerMessage = 253;
// FDSTORE holds a plain count; more than this is a typo.
const long kMaxStoreSize = 1 << 24;

} // namespace

size_t fdStoreSize()
{
    const char* notify = std::getenv("NOTIFY_SOCKET");
    const char* size = std::getenv("FDSTORE");
    long n = 0;
    if (!notify || !*notify || !size || !plainNumber(size, 1, kMaxStoreSize, n))
        return 0;
    return static_cast<size_t>(n);
}

Inherited takeInherited()
{
    Inherited got;
    char** names = nullptr;
    const int n = sd_listen_fds_with_names(1, &names);
    for (int i = 0; i < n; ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        const char* name = names ? names[i] : nullptr;
        if (name && std::strcmp(name, kStoredListener) == 0) {
            got.listeners.push_back(fd);
        } else if (name && std::strcmp(name, kStoredDevice) == 0) {
            got.devices.push_back(fd);
        } else {
            close(fd);
            ++got.unknown;
        }
    }
    if (names) {
        for (int i = 0; i < std::max(n, 0); ++i)
            std::free(names[i]);
        std::free(names);
    }
    return got;
}

void forgetStored()
{
    for (const char* name : {kStoredListener, kStoredDevice})
        sd_notify(0, format("FDSTOREREMOVE=1\nFDNAME=%s", name).c_str());
}

bool storeFds(const char* name, const std::vector<int>& fds, std::string& error)
{
    const std::string message = format("FDSTORE=1\nFDNAME=%s", name);
    for (size_t at = 0; at < fds.size(); at += kFdsPerMessage) {
        const size_t n = std::min(kFdsPerMessage, fds.size() - at);
        const int r = sd_pid_notify_with_fds(0, 0, message.c_str(), fds.data() + at, static_cast<unsigned>(n));
        if (r <= 0) {
            error = r < 0 ? std::strerror(-r) : "NOTIFY_SOCKET is not set";
            return false;
        }
    }
    return true;
}

} // namespace relay
