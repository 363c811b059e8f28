// CSvrLog: the relay's log on standard output and standard error, written so
// that relaying never waits on whoever reads them.
//
// Lines are collected in memory and written when kFlushAt bytes are pending
// or kFlushDelayMs after the first unwritten line (a timer on the event loop,
// armed only while something is pending); without a loop (start-up,
// shutdown) each line is written at once.
//
// When descriptors 1 and 2 are the same open file (a terminal, the journal's
// socket, 2>&1), both streams go through one writer in the order written, so
// their lines never interleave within a line; otherwise each has its own.
// A terminal, a regular file or /dev/null is written with blocking writes.
// A pipe or a socket (a pager, the journal) is written without blocking: what
// the reader does not take stays pending, at most kMaxPending bytes; past
// that whole lines are dropped and counted, and one line saying how many goes
// out once the reader catches up. A write that fails (a full disk, EIO, a
// reader gone) loses the pending lines not yet begun; they are counted the
// same way, and the count goes out once a write succeeds again. A line begun
// is always finished before anything else is written: no line is ever cut
// and glued to another.
//
// Under systemd a stream connected to the journal (JOURNAL_STREAM names its
// device and inode, see systemd.exec(5)) gets each line prefixed with its
// syslog priority, "<3>" to "<7>", which journald strips and keeps as the
// line's priority (SyslogLevelPrefix=yes, its default). The text after the
// prefix is the line as it is written anywhere else; a stream that is not
// the journal's gets no prefix. A line on standard error always starts on a
// fresh line, also where standard output left one open on the same file.
//
// The log belongs to the process (it owns descriptors 1 and 2); which lines a
// server writes is that server's choice (its LogLevel), made before it calls
// here. One thread; every function may be called at any time after Open, also
// before a loop exists. Never called from a signal handler.
#ifndef SVRLOG_H
#define SVRLOG_H

#include <cstdarg>
#include <cstddef>
#include <string>

struct event_base;

class CSvrLog {
public:
    // What a LogLevel keeps: errors < connections < chunks (everything). A
    // line of level L is written by a server whose LogLevel is L or above.
    enum Level { kErrors = 0, kConnections = 1, kChunks = 2 };
    // The syslog priority of a line (syslog(3)'s LOG_ERR to LOG_DEBUG), as
    // the journal files it. Without one a line of standard output takes its
    // level's: kErrors lines are errors, kConnections lines info, kChunks
    // lines debug; a line of standard error is a warning.
    enum Priority { kPrioError = 3, kPrioWarning = 4, kPrioNotice = 5, kPrioInfo = 6, kPrioDebug = 7 };

    static constexpr size_t kFlushAt = 64 * 1024;
    static constexpr size_t kMaxPending = 1024 * 1024;
    static constexpr int kFlushDelayMs = 50;
    // At a stop: a reader that takes nothing for kExitFlushMs is given up at
    // once; one that reads is given up after kExitIdleSeconds such seconds,
    // or when kExitMaxMs have passed (below systemd's stop timeout of 90 s).
    static constexpr int kExitFlushMs = 1000;
    static constexpr int kExitIdleSeconds = 3;
    static constexpr int kExitMaxMs = 60000;

    // The level's name in relaySvr.ini ("errors", "connections", "chunks").
    static const char* LevelName(Level level);
    // Reads a level name, exactly as LevelName spells it; false for anything
    // else (level is then left as it was).
    static bool ParseLevel(const std::string& name, Level& level);

    // Looks at descriptors 1 and 2 and chooses how to write each. Call once,
    // after descriptors 0 to 2 are known to be open; later calls do nothing.
    static void Open();
    // From now on lines are batched on this loop (the pending text is
    // written first). A log already batched on another loop stays there.
    static void Attach(event_base* base);
    // Back to writing each line at once, when the log is batched on this
    // loop; call before the loop is freed. Pending text is written first.
    static void Detach(event_base* base);
    // Writes what is pending, blocking, for as long as the readers keep
    // taking it (see kExitFlushMs); what a reader that stopped reading did
    // not take is dropped, and the count of the lines lost, if any, is then
    // the last line. A reader given up once is not waited for again. For a
    // stop that has one more line to write; without a loop (or in a
    // callback that may take that long: it may wait kExitMaxMs).
    static void FlushAtStop();
    // FlushAtStop, and then, when lines of standard output were lost and
    // their count was not written there, that count on standard error. The
    // last thing the log does: registered with atexit by Open, and called
    // before the process ends by a signal.
    static void FlushAtExit();

    // Sends the standard-output lines to another descriptor from now on, or
    // back to standard output with -1: tests that run the server in-process
    // keep its log apart from their own output. Pending text goes first (what
    // the old descriptor does not take is dropped). The descriptor is written
    // as it is set: without waiting when it is non-blocking.
    static void Redirect(int fd);

    // One formatted text on standard output. The format carries its own line
    // end; level is the kind of line (the caller has already decided to
    // write it), priority what the journal files it as (the level's unless
    // given).
    static void Print(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    static void Print(Level level, Priority priority, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    static void VPrint(Level level, Priority priority, const char* fmt, va_list ap)
        __attribute__((format(printf, 3, 0)));
    // The priority of a line of the level when none is given.
    static Priority PriorityOf(Level level);
    // One formatted text on standard error, a warning unless Tell says
    // otherwise; it starts on a line of its own.
    static void Warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void Tell(Priority priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Lines dropped since the start, on every stream: lagging readers and
    // failed writes (the same lines the count lines tell of).
    static unsigned long long LinesDropped();

    // The three per-chunk lines (level kChunks), composed without reading a
    // format: they are written for every chunk relayed, where interpreting
    // a format would cost a fair part of relaying the chunk. Each writes
    // exactly what Print would with the format shown.
    static void PrintRead(int fd, int n);                          // " %d  OnRead: %d\n"
    static void PrintRequest(unsigned char b0, unsigned char b1);  // " is request: %02x %02x\n"
    static void PrintDo(unsigned char id);                         // " do... [%d]\n"
};

#endif
