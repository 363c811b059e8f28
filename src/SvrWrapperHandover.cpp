// CSvrWrapperTarn at a restart under systemd: the sockets a previous run
// handed over are taken over at start, and handed over again at the stop
// (the store's protocol is SvrHandover). The contract is SvrWrapperTarn.h.
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/buffer.h>

#include "RelayText.h"
#include "SvrConn.h"
#include "SvrHandover.h"
#include "SvrWrapperTarn.h"

using relay::isRequesterAddress;

// The devices a previous run handed over: each that is still a connected
// IPv4 stream socket enters the relay as an accepted one would (the refusal
// rules included); the rest are closed.
void CSvrWrapperTarn::TakeOverDevices()
{
    size_t gone = 0, refused = 0;
    const uint64_t before = m_stats.devicesAdopted;
    for (int fd : m_inherited.devices) {
        sockaddr_in peer;
        socklen_t len = sizeof(peer);
        int type = 0;
        socklen_t typeLen = sizeof(type);
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0 || type != SOCK_STREAM ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) {
            close(fd);
            ++gone;
            continue;
        }
        evutil_make_socket_nonblocking(fd);
        if (!isRequesterAddress(peer.sin_addr.s_addr) && RefuseDevice(fd, peer.sin_addr.s_addr)) {
            close(fd);
            ++refused;
            continue;
        }
        if (Enter(fd, peer))
            ++m_stats.devicesAdopted;
    }
    m_inherited.devices.clear();
    CSvrLog::Tell(CSvrLog::kPrioNotice,
                  "handover: took over %zu listening socket(s) and %llu device(s) from the service manager's "
                  "store; %zu no longer connected, %zu refused (closed)\n", m_acceptor.TakenOver(),
                  static_cast<unsigned long long>(m_stats.devicesAdopted - before), gone, refused);
}

void CSvrWrapperTarn::Inherit(relay::Inherited fds)
{
    for (int fd : m_inherited.listeners)
        close(fd);
    for (int fd : m_inherited.devices)
        close(fd);
    m_inherited = std::move(fds);
}

size_t CSvrWrapperTarn::HandOver(size_t storeSize)
{
    if (!m_bSvrOk || storeSize == 0)
        return 0;
    // The loop runs no more: nothing is read or accepted now, and what peers
    // send waits in the sockets (and the listener's backlog) for the next run.
    std::vector<int> devices;
    for (const auto& entry : m_mapDest)
        devices.push_back(entry.first);
    const size_t unsent = FlushDevices(devices);
    std::vector<int> listeners = m_acceptor.Fds();
    // The store keeps storeSize descriptors: the listeners first, then as
    // many devices as fit; the others close with the process.
    const size_t room = storeSize > listeners.size() ? storeSize - listeners.size() : 0;
    if (devices.size() > room) {
        CSvrLog::Warn("handover: the store keeps %zu descriptors: %zu device(s) close\n", storeSize,
                      devices.size() - room);
        devices.resize(room);
    }
    std::string error;
    if (!relay::storeFds(relay::kStoredListener, listeners, error) ||
        !relay::storeFds(relay::kStoredDevice, devices, error)) {
        CSvrLog::Warn("handover: the service manager did not take the sockets: %s\n", error.c_str());
        return 0;
    }
    CSvrLog::Tell(CSvrLog::kPrioNotice,
                  "handover: %zu listening socket(s) and %zu device(s) to the service manager's store%s\n",
                  listeners.size(), devices.size(),
                  unsent ? relay::format("; %zu device(s) had output that could not be written", unsent).c_str()
                         : "");
    return devices.size();
}

// Writes what is queued for the devices, waiting at most kHandOverFlushMs
// for those that do not take it; returns how many still have output then.
size_t CSvrWrapperTarn::FlushDevices(const std::vector<int>& fds)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<pollfd> waiting;
    for (;;) {
        waiting.clear();
        for (int fd : fds) {
            // The bufferevent keeps the front of its output frozen against
            // others draining it: open it for this write.
            evbuffer* out = bufferevent_get_output(m_conns[fd].bev);
            evbuffer_unfreeze(out, 1);
            while (evbuffer_get_length(out) > 0 && evbuffer_write(out, fd) > 0) {
            }
            evbuffer_freeze(out, 1);
            if (evbuffer_get_length(out) > 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                waiting.push_back({fd, POLLOUT, 0});
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long left = kHandOverFlushMs - ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        if (waiting.empty() || left <= 0 || poll(waiting.data(), waiting.size(), static_cast<int>(left)) <= 0)
            return waiting.size();
    }
}
