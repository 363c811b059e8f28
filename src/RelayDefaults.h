// Names and numbers that the relay server, the operator tools, the tests and
// the benchmark share: the configuration file and its keys, the chunk size,
// the default ports and addresses. Plain constants only, no libraries, so
// that every program may include it without linking the server.
#ifndef RELAYDEFAULTS_H
#define RELAYDEFAULTS_H

#include <cstddef>

namespace relay {

// A chunk is what one read takes from one connection: 1 to kChunkSize bytes.
// One answer is one chunk, so a requester never needs more than this.
constexpr std::size_t kChunkSize = 4096;

// The port when relaySvr.ini names none.
constexpr int kDefaultPort = 5000;

// The address a requester connects from; every other peer is a device.
constexpr const char* kRequesterAddress = "127.0.0.1";

// The configuration: this file in the working directory, this section.
constexpr const char* kConfigFile = "relaySvr.ini";
constexpr const char* kConfigSection = "SvrTarn";
// Where the package installs it (the unit's working directory).
constexpr const char* kPackagedConfigPath = "/etc/relaySvr/relaySvr.ini";

// The keys of section kConfigSection. Names are case-sensitive.
namespace key {
constexpr const char* kPort = "Port";
constexpr const char* kDeviceNetworks = "DeviceNetworks";
constexpr const char* kKeepAlive = "KeepAlive";
constexpr const char* kAckTimeout = "AckTimeout";
constexpr const char* kLogLevel = "LogLevel";
constexpr const char* kStatusPort = "StatusPort";
constexpr const char* kStatusAddress = "StatusAddress";
constexpr const char* kAnswerWindow = "AnswerWindow";
constexpr const char* kAnswerOrder = "AnswerOrder";
constexpr const char* kStatusMaxClients = "StatusMaxClients";
constexpr const char* kListenAddress = "ListenAddress";
constexpr const char* kMaxConnectionsPerAddress = "MaxConnectionsPerAddress";
constexpr const char* kRequesterReserve = "RequesterReserve";
} // namespace key

// Descriptors kept for requesters when RequesterReserve is not set.
constexpr int kDefaultRequesterReserve = 32;

// The status server listens here unless StatusAddress names another address.
constexpr const char* kDefaultStatusAddress = "127.0.0.1";
// Status connections open at once unless StatusMaxClients says otherwise:
// plenty for a scraper and a few operators, few enough to cost nothing.
constexpr int kDefaultStatusMaxClients = 16;

} // namespace relay

#endif
