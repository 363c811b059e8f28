// The relay's settings: what section "SvrTarn" of relaySvr.ini sets, read
// from a loaded settings store and checked key by key. The key names live in
// RelayDefaults.h. Nothing here touches a running server; only
// loadConfigFile reads a file.
#ifndef SVRSETTINGS_H
#define SVRSETTINGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "RelayDefaults.h"
#include "SimpleIni.h"
#include "SvrLog.h"

namespace relay {

// One item of DeviceNetworks.
struct Network {
    uint32_t addr;   // host byte order, host bits cleared
    uint32_t mask;   // host byte order
};

struct Settings {
    int port = kDefaultPort;              // as GetValue<int> reads it; low 16 bits used
    std::vector<Network> deviceNetworks;  // empty: devices from any address
    int keepAlive = 60;                   // s of silence before probing a device; 0 off
    int ackTimeout = 30;                  // s data to a device may stay unacknowledged; 0 kernel default
    CSvrLog::Level logLevel = CSvrLog::kChunks;
    int statusPort = 0;                   // HTTP status server; 0 off
    std::string statusAddress = kDefaultStatusAddress;
    int statusMaxClients = kDefaultStatusMaxClients; // status connections open at once
};

// What reading the settings found wrong.
struct SettingsCheck {
    std::vector<std::string> warnings;  // one line each, without line end
    bool badValue = false;              // a known key's value was not valid: its default is used
    std::string error;                  // why DeviceNetworks cannot be read, when it cannot
};

// Reads the settings of section kConfigSection from a loaded store into out.
// Every doubtful value (an unknown key, a Port that is not 1..65535, a bad
// KeepAlive, AckTimeout, LogLevel, StatusPort, StatusAddress or
// StatusMaxClients, which keep their defaults) adds one warning. Returns false, with the reason in
// check.error, when DeviceNetworks cannot be read: the server must not start
// open to every address because of a typo.
bool readSettings(const SimpleIni& ini, Settings& out, SettingsCheck& check);

// The settings as the lines "Key=value" of relaySvr.ini, one per key, each
// with a note where the value needs one; for --check.
std::string describeSettings(const Settings& s);

// What reading the configuration file found.
enum class ConfigFile {
    Read,        // loaded (a read error part way leaves what was read)
    Missing,     // not there: nothing loaded
    NotRegular,  // a FIFO, a device, a directory: not opened, nothing loaded
    Unreadable,  // there but not readable (its permissions): nothing loaded
};
// Loads the file into ini (SimpleIni::Load, which empties ini first), unless
// it is there but not a regular file: opening a FIFO for reading would wait
// for a writer. For every state but Read and Missing, why says what is
// wrong, naming the file; ini is then empty.
ConfigFile loadConfigFile(const std::string& path, SimpleIni& ini, std::string& why);

// One item of DeviceNetworks: "a.b.c.d" or "a.b.c.d/n", n from 0 to 32.
// False for anything else (out is then unspecified).
bool parseNetwork(const std::string& item, Network& out);
// The network as "a.b.c.d/n".
std::string describeNetwork(const Network& n);
// Whether the address (network byte order) lies in one of the networks; an
// empty list holds every address.
bool inNetworks(const std::vector<Network>& networks, uint32_t addrNet);
bool sameNetworks(const std::vector<Network>& a, const std::vector<Network>& b);

} // namespace relay

#endif
