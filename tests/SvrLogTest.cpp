// Unit tests of the log writer and the text helpers it stands on.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include "RelayText.h"
#include "SvrLog.h"

namespace {

// ---------------------------------------------------------------------------
// The log
// ---------------------------------------------------------------------------

// The per-chunk lines are composed without printf: each must read exactly as
// its format would. A line longer than the formatting buffer comes whole.
TEST(SvrLog, LinesReadAsTheirFormats)
{
    char path[] = "/tmp/svrlog-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    CSvrLog::Redirect(fd);
    std::string expected;
    char buf[256];
    for (int v : {0, 7, 10, 99, 4096, 2147483647, -1, -2147483647 - 1}) {
        const auto b0 = static_cast<unsigned char>(v), b1 = static_cast<unsigned char>(v >> 8);
        CSvrLog::PrintRead(v, v / 3);
        CSvrLog::PrintRequest(b0, b1);
        CSvrLog::PrintDo(b0);
        std::snprintf(buf, sizeof(buf), " %d  OnRead: %d\n is request: %02x %02x\n do... [%d]\n", v, v / 3, b0, b1, b0);
        expected += buf;
    }
    const std::string longText(2000, 'x');
    CSvrLog::Print(CSvrLog::kErrors, "long: %s %d\n", longText.c_str(), 42);
    expected += "long: " + longText + " 42\n";
    // Formatted text is never cut, however long.
    EXPECT_EQ(relay::format("%s|%d", longText.c_str(), 7), longText + "|7");
    CSvrLog::Redirect(-1);
    std::string got(expected.size() + 16, '\0');
    got.resize(static_cast<size_t>(pread(fd, &got[0], got.size(), 0)));
    close(fd);
    EXPECT_EQ(got, expected);
}

// A write that stops part way through a line and then fails (the file may
// not grow: EFBIG, as ENOSPC on a full disk) cuts no line and loses none
// silently: the line begun is finished once writing works again, the lines
// lost meanwhile are counted, and the count comes before the next line.
TEST(SvrLog, FailedWritesAreCountedAndNoLineIsCut)
{
    char path[] = "/tmp/svrlog-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    CSvrLog::Redirect(fd);
    const std::string a(29, 'a'), b(29, 'b'), c(29, 'c'), d(29, 'd'); // lines of 30 bytes
    for (int i = 0; i < 3; ++i)
        CSvrLog::Print(CSvrLog::kErrors, "%s\n", a.c_str());
    rlimit full = saved;
    full.rlim_cur = 100; // room for a third of the next line
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &full));
    CSvrLog::Print(CSvrLog::kErrors, "%s\n", b.c_str());
    for (int i = 0; i < 4; ++i)
        CSvrLog::Print(CSvrLog::kErrors, "%s\n", c.c_str());
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
    CSvrLog::Print(CSvrLog::kErrors, "%s\n", d.c_str());
    CSvrLog::Redirect(-1);
    std::signal(SIGXFSZ, oldHandler);
    std::string got(1024, '\0');
    got.resize(static_cast<size_t>(pread(fd, &got[0], got.size(), 0)));
    close(fd);
    EXPECT_EQ(got, a + "\n" + a + "\n" + a + "\n" + b + "\n" + "relaySvr: 4 log lines dropped: " +
                       std::strerror(EFBIG) + "\n" + d + "\n");
}

} // namespace
