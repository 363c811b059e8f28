// Numbers that the relay server, the operator tools and the benchmark share.
// Plain constants only: no libevent, so that the tools and the benchmark can
// include it without linking the server.
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

} // namespace relay

#endif
