// CSvrWrapperTarn's configuration: reading the configuration file at start
// and on reload, applying what changed to the running relay, and what the
// status server is shown. The contract is SvrWrapperTarn.h.
#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RelayText.h"
#include "SvrConn.h"
#include "SvrWrapperTarn.h"

using relay::dotted;
using relay::monotonicSeconds;

// ===========================================================================
// Configuration
// ===========================================================================

namespace {

// Says every note, warning and error of a reading on stderr, each after prefix.
void tell(const relay::ConfigReading& r, const char* prefix)
{
    const struct { const std::vector<std::string>* lines; CSvrLog::Priority priority; } kinds[] = {
        {&r.notes, CSvrLog::kPrioNotice}, {&r.warnings, CSvrLog::kPrioWarning}, {&r.errors, CSvrLog::kPrioError}};
    for (const auto& kind : kinds) {
        for (const std::string& line : *kind.lines)
            CSvrLog::Tell(kind.priority, "%s%s\n", prefix, line.c_str());
    }
}

} // namespace

void CSvrWrapperTarn::Init()
{
    const relay::ConfigReading r = relay::readConfig(m_configPath, m_ini);
    tell(r, "");
    m_nInitWarnings = r.notes.size() + r.warnings.size();
    m_bInitOk = r.usable();
    m_settings = m_bInitOk ? r.settings : Settings();
    m_nPort = m_settings.port;
}

CSvrWrapperTarn::ReloadResult CSvrWrapperTarn::Reload(std::string& why)
{
    SimpleIni fresh("");
    const relay::ConfigReading r = relay::readConfig(m_configPath, fresh, &m_settings);
    tell(r, "reload: ");
    if (!r.usable()) {
        why = r.errors.front();
        m_bLastReloadOk = false;
        CSvrLog::Tell(CSvrLog::kPrioError, "reload: %s: the running settings are kept\n", m_configPath.c_str());
        return ReloadResult::Refused;
    }
    Settings s = r.settings;
    if (s.port != m_settings.port)
        CSvrLog::Warn("reload: Port changed from %d to %d: that takes a restart; still listening on %d\n",
                      m_settings.port, s.port, m_settings.port & 0xFFFF);
    s.port = m_settings.port;
    if (s.listenAddresses != m_settings.listenAddresses)
        CSvrLog::Warn("reload: ListenAddress changed from %s to %s: that takes a restart; still listening on %s\n",
                      relay::describeListen(m_settings.listenAddresses).c_str(),
                      relay::describeListen(s.listenAddresses).c_str(),
                      relay::describeListen(m_settings.listenAddresses).c_str());
    s.listenAddresses = m_settings.listenAddresses;
    m_ini = fresh;
    const bool applied = ApplySettings(s, false, why);
    // The administrator may have raised the limit (prlimit) meanwhile.
    m_acceptor.Measure(m_mapBuff.size());
    if (!applied) {
        m_bLastReloadOk = false;
        Log(CSvrLog::kErrors, CSvrLog::kPrioWarning, "SvrReload in part: %s\n", why.c_str());
        return ReloadResult::Partial;
    }
    m_bLastReloadOk = true;
    m_nLastReloadOkTime = static_cast<int64_t>(std::time(nullptr));
    Log(CSvrLog::kErrors, CSvrLog::kPrioInfo, "SvrReload ok!\n");
    return ReloadResult::Applied;
}

// Makes the settings the running ones. At start only the level and the
// status server need work; on reload the connected devices follow too.
bool CSvrWrapperTarn::ApplySettings(const Settings& s, bool atStart, std::string& problem)
{
    const Settings old = m_settings;
    m_settings = s;
    // The status server takes no descriptor within its own reserve of the
    // limit: devices leave it room below that, so that it answers during a
    // flood of devices.
    const int statusKeep = s.statusPort == 0 ? 0
                         : s.statusMaxClients + std::max(0, relay::CStatusServer::kDescriptorReserve -
                                                                s.requesterReserve);
    if (m_acceptor.SetRules(s.maxConnectionsPerAddress, s.requesterReserve, statusKeep)) {
        for (const auto& [fd, addr] : m_mapDest)
            m_acceptor.DeviceOpened(static_cast<uint32_t>(addr));
    }
    if (!atStart) {
        const bool networksChanged = !relay::sameNetworks(s.deviceNetworks, old.deviceNetworks);
        const bool optionsChanged = s.keepAlive != old.keepAlive || s.ackTimeout != old.ackTimeout;
        const bool answersChanged = s.answerWindowMs != old.answerWindowMs || s.answerOrder != old.answerOrder;
        std::vector<int> outside;
        for (const auto& [fd, addr] : m_mapDest) {
            Conn& dev = m_conns[fd];
            if (answersChanged) {
                // Open windows end; waiters line up as the new order says.
                EndWindow(dev);
                if (s.answerOrder == relay::AnswerOrder::Descriptor)
                    std::sort(dev.dev.waiters.begin(), dev.dev.waiters.end());
            }
            if (networksChanged && !relay::inNetworks(s.deviceNetworks, static_cast<uint32_t>(addr)))
                outside.push_back(fd);
            else if (optionsChanged)
                ApplyDeviceOptions(fd);
        }
        for (int fd : outside) {
            Log(CSvrLog::kErrors, CSvrLog::kPrioNotice, " %d device %s is outside DeviceNetworks now: closed\n", fd,
                dotted(m_conns[fd].addr).c_str());
            CloseConn(fd);
        }
    }
    if (!m_bSvrOk)
        return true;
    if (s.statusPort == 0) {
        if (m_pStatus)
            m_pStatus->Stop();
        return true;
    }
    // Also when nothing changed: a status port that could not be bound
    // before is tried again on every reload.
    const bool moved = s.statusPort != old.statusPort || s.statusAddress != old.statusAddress;
    if (!atStart && !moved && m_pStatus && m_pStatus->Listening()) {
        m_pStatus->SetMaxClients(s.statusMaxClients);
        return true;
    }
    std::string error;
    if (StartStatus(error))
        return true;
    const bool kept = m_pStatus && m_pStatus->Listening();
    problem = relay::format("status: cannot listen on %s:%d: %s; %s", s.statusAddress.c_str(), s.statusPort,
                            error.c_str(), kept ? "the old status address stays" : "running without it");
    CSvrLog::Tell(CSvrLog::kPrioError, "%s\n", problem.c_str());
    if (kept) {
        m_settings.statusPort = old.statusPort;
        m_settings.statusAddress = old.statusAddress;
    }
    return false;
}

// ===========================================================================
// What the status server shows
// ===========================================================================

bool CSvrWrapperTarn::StartStatus(std::string& error)
{
    if (!m_pStatus) {
        m_pStatus = std::make_unique<relay::CStatusServer>(
            m_pBase, [this](relay::StatusSnapshot& out) { Snapshot(out); },
            [this](relay::StatusSnapshot& out, int fromFd, size_t maxRows) {
                return SnapshotRows(out, fromFd, maxRows);
            },
            // Out of descriptors on the status port: both listeners pause, as
            // on the relay port, and resume together.
            [this](int err) { PauseAccept(err); }, m_settings.statusMaxClients);
        if (m_acceptor.Paused())
            m_pStatus->Pause();
    }
    m_pStatus->SetMaxClients(m_settings.statusMaxClients);
    return m_pStatus->Listen(m_settings.statusAddress, m_settings.statusPort, error);
}

void CSvrWrapperTarn::Snapshot(relay::StatusSnapshot& out) const
{
    out.pid = static_cast<int>(getpid());
    const int listening = m_acceptor.Port();
    out.port = listening ? listening : m_nPort & 0xFFFF;
    out.requesterReserve = m_acceptor.Reserve();
    out.descriptorLimit = m_acceptor.DescriptorLimit();
    out.startTime = m_nStartTime;
    out.uptimeSeconds = static_cast<int64_t>(std::time(nullptr)) - m_nStartTime;
    out.version = RELAYSVR_VERSION;
    out.lastReloadOk = m_bLastReloadOk;
    out.lastReloadOkTime = m_nLastReloadOkTime;
    out.logLinesDropped = CSvrLog::LinesDropped();
    out.counters = m_stats;
    out.requesters = m_mapReq.size();
    out.devices = m_mapDest.size();
    for (int id = 0; id < 256; ++id)
        out.devicesById[id] = m_idSeen[id] ? static_cast<long>(m_devicesById[id].size()) : -1;
}

// Devices and requesters together, by ascending descriptor, so that a slice
// is one short walk of the two tables from where the last one ended.
int CSvrWrapperTarn::SnapshotRows(relay::StatusSnapshot& out, int fromFd, size_t maxRows) const
{
    const int64_t now = monotonicSeconds();
    auto dev = m_mapDest.lower_bound(fromFd);
    auto req = m_mapReq.lower_bound(fromFd);
    for (size_t n = 0; n < maxRows; ++n) {
        const bool deviceNext = dev != m_mapDest.end() && (req == m_mapReq.end() || dev->first < req->first);
        if (deviceNext) {
            const Conn& c = m_conns[dev->first];
            out.deviceRows.push_back({dev->first, c.dev.id, static_cast<uint32_t>(dev->second), now - c.since,
                                      c.dev.waiters, c.dev.answerTo, c.bytesIn, c.bytesOut});
            ++dev;
        } else if (req != m_mapReq.end()) {
            out.requesterRows.push_back({req->first, req->second, now - m_conns[req->first].since});
            ++req;
        } else {
            return -1;
        }
    }
    if (dev == m_mapDest.end() && req == m_mapReq.end())
        return -1;
    if (dev == m_mapDest.end())
        return req->first;
    return req == m_mapReq.end() ? dev->first : std::min(dev->first, req->first);
}
