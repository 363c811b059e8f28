#include "SvrSettings.h"

#include <algorithm>
#include <iterator>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>
#include <netinet/in.h>

#include "RelayText.h"

namespace relay {

namespace {

const char* const kKnownKeys[] = {key::kPort, key::kDeviceNetworks, key::kKeepAlive, key::kAckTimeout,
                                  key::kLogLevel, key::kStatusPort, key::kStatusAddress, key::kStatusMaxClients};

// TCP_KEEPIDLE cannot exceed this (the kernel's MAX_TCP_KEEPIDLE).
const long kMaxKeepAlive = 32767;
// TCP_USER_TIMEOUT takes milliseconds in an int; a day is plenty.
const long kMaxAckTimeout = 86400;
const long kMaxPort = 65535;
// Each status connection holds a descriptor; more than this is a typo.
const long kMaxStatusClients = 1024;

// Blanks, tabs and commas separate the items of DeviceNetworks.
const char kListSeparators[] = " \t,";

} // namespace

ConfigFile loadConfigFile(const std::string& path, SimpleIni& ini, std::string& why)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        ini.Load(path);  // empties the store and records the path, as a failed Load does
        return ConfigFile::Missing;
    }
    ConfigFile state = ConfigFile::Read;
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0) {
        why = path + " cannot be read (" + std::strerror(errno) + ")";
        state = ConfigFile::Unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        why = path + " is not a regular file: it is not read";
        state = ConfigFile::NotRegular;
    } else if (!ini.Load(path)) {
        why = path + " cannot be read (" + std::strerror(errno) + ")";
        state = ConfigFile::Unreadable;
    }
    if (state != ConfigFile::Read)
        ini.Free();
    return state;
}

bool parseNetwork(const std::string& item, Network& out)
{
    const size_t slash = item.find('/');
    long bits = 32;
    if (slash != std::string::npos && !plainNumber(item.substr(slash + 1), 0, 32, bits))
        return false;
    in_addr a;
    if (inet_pton(AF_INET, item.substr(0, slash).c_str(), &a) != 1)
        return false;
    out.mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    out.addr = ntohl(a.s_addr) & out.mask;
    return true;
}

std::string describeNetwork(const Network& n)
{
    int bits = 0;
    for (uint32_t m = n.mask; m != 0; m <<= 1)
        ++bits;
    return dotted(htonl(n.addr)) + "/" + std::to_string(bits);
}

bool inNetworks(const std::vector<Network>& networks, uint32_t addrNet)
{
    if (networks.empty())
        return true;
    const uint32_t host = ntohl(addrNet);
    return std::any_of(networks.begin(), networks.end(),
                       [host](const Network& n) { return (host & n.mask) == n.addr; });
}

bool sameNetworks(const std::vector<Network>& a, const std::vector<Network>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Network& x, const Network& y) { return x.addr == y.addr && x.mask == y.mask; });
}

bool readSettings(const SimpleIni& ini, Settings& out, SettingsCheck& check)
{
    const char* const section = kConfigSection;
    std::vector<std::string>& warnings = check.warnings;
    Settings s;
    s.port = ini.GetValue<int>(section, key::kPort, kDefaultPort);
    const std::string absent(SimpleIni::kAbsent);
    auto text = [&](const char* key) { return ini.GetValue(section, key, absent); };
    auto given = [&](const char* key) { return text(key) != absent; };
    bool& bad = check.badValue;

    for (auto k = ini.beginKey(section); k != ini.endKey(section); ++k) {
        // The empty key comes from lines of blanks and indented comments.
        if ((*k).empty() || std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                                         [&](const char* known) { return *k == known; }) != std::end(kKnownKeys))
            continue;
        warnings.push_back(format("%s: unknown key \"%s\" in [%s] is ignored (keys are case-sensitive)",
                                  kConfigFile, (*k).c_str(), section));
    }

    long number = 0;
    if (given(key::kPort) && !plainNumber(text(key::kPort), 1, kMaxPort, number)) {
        const int used = s.port & 0xFFFF;
        warnings.push_back(format("%s: Port=\"%s\" is not a plain decimal number from 1 to 65535; "
                                  "it reads as %d, so %s", kConfigFile, text(key::kPort).c_str(), s.port,
                                  used == 0 ? "the system chooses the port"
                                            : ("the port is " + std::to_string(used)).c_str()));
    }

    // A list that cannot be read stops the start: never open to every
    // address because of a typo.
    const std::string networks = ini.GetValue(section, key::kDeviceNetworks, "");
    size_t pos = 0;
    while ((pos = networks.find_first_not_of(kListSeparators, pos)) != std::string::npos) {
        const size_t end = std::min(networks.find_first_of(kListSeparators, pos), networks.size());
        const std::string item = networks.substr(pos, end - pos);
        Network n;
        if (!parseNetwork(item, n)) {
            if (check.error.empty())
                check.error = format("%s: DeviceNetworks: cannot read \"%s\" (expected an IPv4 "
                                     "address such as 192.168.1.7 or a network such as 192.168.1.0/24)",
                                     kConfigFile, item.c_str());
        } else {
            s.deviceNetworks.push_back(n);
        }
        pos = end;
    }

    struct NumberKey { const char* key; long min, max; int& value; const char* meaning; } numbers[] = {
        {key::kKeepAlive, 0, kMaxKeepAlive, s.keepAlive, "seconds, 0 turns keepalive off"},
        {key::kAckTimeout, 0, kMaxAckTimeout, s.ackTimeout, "seconds, 0 keeps the kernel's default"},
        {key::kStatusPort, 0, kMaxPort, s.statusPort, "a port, 0 turns the status server off"},
        {key::kStatusMaxClients, 1, kMaxStatusClients, s.statusMaxClients, "status connections open at once"},
    };
    for (NumberKey& k : numbers) {
        if (!given(k.key))
            continue;
        if (plainNumber(text(k.key), k.min, k.max, number)) {
            k.value = static_cast<int>(number);
        } else {
            bad = true;
            warnings.push_back(format("%s: %s=\"%s\" is not a number from %ld to %ld (%s); using %d", kConfigFile,
                                      k.key, text(k.key).c_str(), k.min, k.max, k.meaning, k.value));
        }
    }

    if (given(key::kLogLevel)) {
        const std::string level = text(key::kLogLevel);
        if (!CSvrLog::ParseLevel(level, s.logLevel)) {
            bad = true;
            warnings.push_back(format("%s: LogLevel=\"%s\" is not chunks, connections or errors; using %s",
                                      kConfigFile, level.c_str(), CSvrLog::LevelName(s.logLevel)));
        }
    }

    if (given(key::kStatusAddress)) {
        in_addr a;
        const std::string address = text(key::kStatusAddress);
        if (inet_pton(AF_INET, address.c_str(), &a) == 1) {
            s.statusAddress = address;
        } else {
            bad = true;
            warnings.push_back(format("%s: StatusAddress=\"%s\" is not an IPv4 address; using %s", kConfigFile,
                                      address.c_str(), s.statusAddress.c_str()));
        }
    }

    out = s;
    return check.error.empty();
}

std::string describeSettings(const Settings& s)
{
    std::string networks;
    for (const Network& n : s.deviceNetworks)
        networks += (networks.empty() ? "" : " ") + describeNetwork(n);
    return format("Port=%d", s.port) + (s.port & 0xFFFF ? format(" (listening on %d)\n", s.port & 0xFFFF)
                                                         : std::string(" (the system chooses the port)\n")) +
           "DeviceNetworks=" + networks + (networks.empty() ? " (devices from any address)\n" : "\n") +
           format("KeepAlive=%d\nAckTimeout=%d\nLogLevel=%s\nStatusPort=%d%s\nStatusAddress=%s\n"
                  "StatusMaxClients=%d\n", s.keepAlive, s.ackTimeout, CSvrLog::LevelName(s.logLevel), s.statusPort,
                  s.statusPort ? "" : " (off)", s.statusAddress.c_str(), s.statusMaxClients);
}

} // namespace relay
