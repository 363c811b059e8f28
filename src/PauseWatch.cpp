#include "PauseWatch.h"

#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/event.h>

namespace {

// Sockets handled per pass of the loop: the set is level-triggered, so what
// is left over comes again on the next pass.
const int kBatch = 64;

} // namespace

bool CPauseWatch::Start(event_base* base, Gone gone)
{
    Stop();
    m_gone = std::move(gone);
    m_nSetFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_nSetFd < 0)
        return false;
    m_pEvent = event_new(base, m_nSetFd, EV_READ | EV_PERSIST, OnReady, this);
    if (!m_pEvent || event_add(m_pEvent, nullptr) != 0) {
        Stop();
        return false;
    }
    return true;
}

void CPauseWatch::Stop()
{
    if (m_pEvent)
        event_free(m_pEvent);
    m_pEvent = nullptr;
    if (m_nSetFd >= 0)
        close(m_nSetFd);
    m_nSetFd = -1;
}

void CPauseWatch::Add(int fd)
{
    if (m_nSetFd < 0)
        return;
    epoll_event ev;
    std::memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLRDHUP;   // EPOLLERR and EPOLLHUP come without asking
    ev.data.fd = fd;
    epoll_ctl(m_nSetFd, EPOLL_CTL_ADD, fd, &ev);
}

void CPauseWatch::Remove(int fd)
{
    if (m_nSetFd >= 0)
        epoll_ctl(m_nSetFd, EPOLL_CTL_DEL, fd, nullptr);
}

void CPauseWatch::OnReady(int setFd, short, void* arg)
{
    auto* self = static_cast<CPauseWatch*>(arg);
    epoll_event events[kBatch];
    const int n = epoll_wait(setFd, events, kBatch, 0);
    for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        int err = 0;
        if (events[i].events & EPOLLERR) {
            socklen_t len = sizeof(err);
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0)
                err = ECONNRESET;  // an error whose code was already taken
        }
        self->m_gone(fd, err);
    }
}
