// What the process holds: its limit of open descriptors and how many are
// open. For the acceptor's reserve and the status server's process figures.
// Plain system calls; no state.
#ifndef RELAYPROC_H
#define RELAYPROC_H

#include <cstddef>
#include <cstdint>

namespace relay {

// RLIMIT_NOFILE's soft limit; 0 when it cannot be read or is unlimited.
uint64_t descriptorLimit();

// The open descriptors below limit, counted with poll(2), which marks the
// closed ones POLLNVAL: it opens no descriptor itself and needs no /proc.
// limit/1024 calls (64 at 65,536). 0 when poll fails.
size_t openDescriptors(uint64_t limit);

} // namespace relay

#endif
