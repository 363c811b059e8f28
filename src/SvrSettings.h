// The relay's settings: what section "SvrTarn" of relaySvr.ini sets, read
// from a loaded settings store and checked key by key, and the one rule by
// which the server reads its configuration file (readConfig). The key names
// live in RelayDefaults.h. Nothing here touches a running server; only
// loadConfigFile and readConfig read a file.
#ifndef SVRSETTINGS_H
#define SVRSETTINGS_H

#include <cstddef>
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

// Which of the requesters waiting on one device takes its next answer.
enum class AnswerOrder {
    Descriptor,  // the lowest descriptor
    Arrival,     // the one whose request was forwarded to the device first
};

struct Settings {
    int port = kDefaultPort;              // as GetValue<int> reads it; low 16 bits used
    std::vector<Network> deviceNetworks;  // empty: devices from any address
    int keepAlive = 60;                   // s of silence before probing a device; 0 off
    int ackTimeout = 30;                  // s data to a device may stay unacknowledged; 0 kernel default
    CSvrLog::Level logLevel = CSvrLog::kChunks;
    int statusPort = 0;                   // HTTP status server; 0 off
    std::string statusAddress = kDefaultStatusAddress;
    // After an answer chunk, the device's further chunks go to the same
    // requester while each comes within this many ms of the one before (and
    // nobody else waits, and that requester asked nothing new); 0: off, one
    // chunk answers one request.
    int answerWindowMs = 0;
    AnswerOrder answerOrder = AnswerOrder::Descriptor;
    int statusMaxClients = kDefaultStatusMaxClients; // status connections open at once
    // Where devices connect (IPv4, network byte order, each once); the relay
    // then also listens on kRequesterAddress for requesters. Empty: every
    // IPv4 address, one listener.
    std::vector<uint32_t> listenAddresses;
    int maxConnectionsPerAddress = 0;     // devices from one address; 0 no cap
    // Descriptors below the process's limit that devices never take.
    int requesterReserve = kDefaultRequesterReserve;
};

// What reading the settings found. Every line names the file (the store's
// m_FileName, else kConfigFile) and has no line end.
struct SettingsCheck {
    std::vector<std::string> warnings;  // doubtful, but the settings may be used
    std::vector<std::string> errors;    // a value that cannot be trusted: refuse the file
};

// Reads the settings of section kConfigSection from a loaded store into out,
// key by key through one table of keys, each with its own reader.
// Warnings: an unknown key in the section, a key above any section, a
// section spelt as kConfigSection but for case beside kConfigSection itself,
// no key of the section at all (the defaults), a Port that is not
// 1..65535 (still read as GetValue<int> reads it: "6000abc" is 6000, "abc"
// 0, empty 5000; the low 16 bits are the port), and a DeviceNetworks or
// ListenAddress whose inline comment starts with an address (";" and "#"
// start a comment: the address is not in the list). Errors: an invalid value
// of any other key (an empty one included, but for an empty DeviceNetworks
// or ListenAddress, which mean any address), and a section that equals kConfigSection only ignoring case
// while kConfigSection itself is absent. Returns true when there is no
// error; out then holds the settings to use (with errors, what could be read).
bool readSettings(const SimpleIni& ini, Settings& out, SettingsCheck& check);

// The settings as the lines "Key=value" of relaySvr.ini, one per key in the
// order of the table of keys, each with a note where the value needs one;
// for --check.
std::string describeSettings(const Settings& s);

// What reading the configuration file found.
enum class ConfigFile {
    Read,        // loaded
    Missing,     // nothing at the path (not even a symbolic link): nothing loaded
    NotRegular,  // a FIFO, a device, a directory: not read, nothing loaded
    Unreadable,  // there but not readable (permissions, a read error, a
                 // dangling link, larger than kMaxConfigBytes): nothing loaded
};
// A configuration larger than this is not a relaySvr configuration.
constexpr size_t kMaxConfigBytes = 1024 * 1024;
// Empties ini, records path in its m_FileName and reads the file into it
// through SimpleIni::Read, unless it is missing or cannot be trusted: it is
// opened without waiting (a FIFO would wait for a writer) and read only when
// it is a regular file. A UTF-8 byte-order mark at the start is skipped and
// *bomSkipped set (the store's own Load keeps it as part of the first line).
// For every state but Read and Missing, why names the path and what is
// wrong; ini is then empty. Blocks on the file: not for the loop's hot path.
ConfigFile loadConfigFile(const std::string& path, SimpleIni& ini, std::string& why, bool* bomSkipped = nullptr);

// What the server's reading of its configuration file gave.
struct ConfigReading {
    ConfigFile file = ConfigFile::Missing;
    Settings settings;                  // what may be used when usable()
    std::vector<std::string> notes;     // nothing wrong, but said: a missing file, a skipped byte-order mark
    std::vector<std::string> warnings;  // doubtful, but used
    std::vector<std::string> errors;    // why the file must not be used
    bool usable() const { return errors.empty(); }
};

// The server's one reading rule, for its start, --check and a reload alike:
//  - a missing file: the defaults, with a note naming the full path;
//  - a file that is there but cannot be read (loadConfigFile): an error;
//  - then the settings of the loaded store (readSettings).
// With running (a reload: the settings in force) a file that would empty a
// non-empty DeviceNetworks is an error too, whether the file, the section or
// the key went or the value is empty: a reload never opens the relay to
// devices from every address (DeviceNetworks=0.0.0.0/0 does that on purpose).
// ini holds the loaded file afterwards (empty unless it was read).
ConfigReading readConfig(const std::string& path, SimpleIni& ini, const Settings* running = nullptr);

// One item of DeviceNetworks: "a.b.c.d" or "a.b.c.d/n", n from 0 to 32.
// False for anything else (out is then unspecified).
bool parseNetwork(const std::string& item, Network& out);
// The network as "a.b.c.d/n".
std::string describeNetwork(const Network& n);
// Whether the address (network byte order) lies in one of the networks; an
// empty list holds every address.
bool inNetworks(const std::vector<Network>& networks, uint32_t addrNet);
bool sameNetworks(const std::vector<Network>& a, const std::vector<Network>& b);
// Where the relay listens, for messages: "every IPv4 address", or the
// addresses followed by "and 127.0.0.1" (the requesters') unless listed.
std::string describeListen(const std::vector<uint32_t>& addresses);

} // namespace relay

#endif
