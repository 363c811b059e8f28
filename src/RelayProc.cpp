#include "RelayProc.h"

#include <algorithm>
#include <vector>

#include <poll.h>
#include <sys/resource.h>

namespace relay {

namespace {

// Descriptors asked about per poll(2) when they are counted.
const size_t kCountChunk = 1024;

} // namespace

uint64_t descriptorLimit()
{
    rlimit lim;
    return getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY ? lim.rlim_cur : 0;
}

size_t openDescriptors(uint64_t limit)
{
    std::vector<pollfd> fds(static_cast<size_t>(std::min<uint64_t>(limit, kCountChunk)));
    size_t open = 0;
    for (uint64_t first = 0; first < limit; first += fds.size()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(fds.size(), limit - first));
        for (size_t i = 0; i < n; ++i)
            fds[i] = {static_cast<int>(first + i), 0, 0};
        if (poll(fds.data(), n, 0) < 0)
            return 0;
        for (size_t i = 0; i < n; ++i)
            open += (fds[i].revents & POLLNVAL) == 0;
    }
    return open;
}

} // namespace relay
