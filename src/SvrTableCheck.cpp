// CSvrWrapperTarn::CheckTables: whether the connection tables, the
// per-connection records and the acceptor's counts agree. Tests call it after
// every step; debug and sanitizer builds after every callback.
#include <algorithm>
#include <unordered_map>

#include "SvrConn.h"
#include "SvrWrapperTarn.h"

bool CSvrWrapperTarn::CheckTables() const
{
    auto fail = [](int fd, const char* what) {
        CSvrLog::Tell(CSvrLog::kPrioError, "CheckTables: descriptor %d: %s\n", fd, what);
        return false;
    };
    size_t requesters = 0, devices = 0, indexed = 0;
    for (const auto& ids : m_devicesById) {
        indexed += ids.size();
        if (!std::is_sorted(ids.begin(), ids.end()))
            return fail(ids.front(), "devices of an id out of order");
    }
    for (size_t i = 0; i < m_conns.size(); ++i) {
        const int fd = static_cast<int>(i);
        const Conn& c = m_conns[i];
        if (!c.bev) {
            if (m_mapBuff.count(fd) || m_mapReq.count(fd) || m_mapDest.count(fd))
                return fail(fd, "closed but still in a table");
            continue;
        }
        const auto buff = m_mapBuff.find(fd);
        if (buff == m_mapBuff.end() || buff->second != c.bev)
            return fail(fd, "open but not in the buffer table");
        if (c.kind == Kind::Requester) {
            ++requesters;
            const auto req = m_mapReq.find(fd);
            if (req == m_mapReq.end() || req != c.req.it || req->second != c.req.waitOn || m_mapDest.count(fd))
                return fail(fd, "requester record and request table disagree");
            const Conn* d = Slot(c.req.waitOn);
            if (c.req.waitOn != 0 && (!d || d->kind != Kind::Device ||
                                      std::count(d->dev.waiters.begin(), d->dev.waiters.end(), fd) != 1))
                return fail(fd, "waits on a device that does not list it");
            const Conn* from = Slot(c.req.answerFrom);
            if (c.req.answerFrom != 0 && (!from || from->kind != Kind::Device || from->dev.answerTo != fd))
                return fail(fd, "holds an answer window the device does not give it");
            const Conn* b = Slot(c.req.blockedBy);
            if (c.req.blockedBy != 0 && (!b || std::count(b->dev.blocked.begin(), b->dev.blocked.end(), fd) != 1))
                return fail(fd, "paused on a device that does not list it");
            if (c.readPaused != (c.req.selfBlocked || c.req.blockedBy != 0))
                return fail(fd, "read state and pause reasons disagree");
        } else {
            ++devices;
            const auto dest = m_mapDest.find(fd);
            if (dest == m_mapDest.end() || static_cast<uint32_t>(dest->second) != c.addr || m_mapReq.count(fd) ||
                !std::binary_search(m_devicesById[c.dev.id].begin(), m_devicesById[c.dev.id].end(), fd))
                return fail(fd, "device record and destination table disagree");
            if (m_settings.answerOrder == relay::AnswerOrder::Descriptor &&
                !std::is_sorted(c.dev.waiters.begin(), c.dev.waiters.end()))
                return fail(fd, "waiters out of order");
            const Conn* holder = Slot(c.dev.answerTo);
            if (c.dev.answerTo != 0 &&
                (!holder || holder->kind != Kind::Requester || holder->req.answerFrom != fd || !c.dev.waiters.empty()))
                return fail(fd, "answer window held by a requester that does not hold it, or beside waiters");
            for (int r : c.dev.waiters) {
                const Conn* rc = Slot(r);
                if (!rc || rc->kind != Kind::Requester || rc->req.waitOn != fd)
                    return fail(fd, "lists a waiter that waits elsewhere");
            }
            for (int r : c.dev.blocked) {
                const Conn* rc = Slot(r);
                if (!rc || rc->kind != Kind::Requester || rc->req.blockedBy != fd)
                    return fail(fd, "lists a paused requester that is not paused on it");
            }
            if (c.readPaused)
                return fail(fd, "a device is never paused");
        }
    }
    if (m_mapReq.size() != requesters || m_mapDest.size() != devices || indexed != devices ||
        m_mapBuff.size() != requesters + devices)
        return fail(-1, "a table holds a descriptor that has no open connection");
    if (m_acceptor.MaxPerAddress() > 0) {
        std::unordered_map<uint32_t, int> perAddress;
        for (const auto& [fd, addr] : m_mapDest)
            ++perAddress[static_cast<uint32_t>(addr)];
        if (perAddress != m_acceptor.PerAddress())
            return fail(-1, "the devices counted by address are not the devices connected");
    }
    return true;
}
