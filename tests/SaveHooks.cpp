// The checked wrappers of _FORTIFY_SOURCE define openat inline; these
// definitions replace the library's, so they need the plain declarations.
#undef _FORTIFY_SOURCE

#include "SaveHooks.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::atomic<bool> g_noUnnamedFiles{false};

std::mutex g_renameLock;
bool g_renameArmed = false;
bool g_renameDone = false;
std::string g_renameFrom;
std::string g_renameTo;

// The definition these stand-ins replace: the next one in the lookup order
// (libc's, or a sanitizer's interceptor).
template<typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void renameIfArmed()
{
    const int saved = errno;
    std::lock_guard<std::mutex> lock(g_renameLock);
    if (g_renameArmed) {
        g_renameArmed = false;
        g_renameDone = std::rename(g_renameFrom.c_str(), g_renameTo.c_str()) == 0;
    }
    errno = saved;
}

}  // namespace

namespace saveHooks {

NoUnnamedFiles::NoUnnamedFiles() { g_noUnnamedFiles = true; }
NoUnnamedFiles::~NoUnnamedFiles() { g_noUnnamedFiles = false; }

void renameAfterNextLook(const std::string& from, const std::string& to)
{
    std::lock_guard<std::mutex> lock(g_renameLock);
    g_renameFrom = from;
    g_renameTo = to;
    g_renameArmed = true;
    g_renameDone = false;
}

bool renameHappened()
{
    std::lock_guard<std::mutex> lock(g_renameLock);
    g_renameArmed = false;
    return g_renameDone;
}

}  // namespace saveHooks

extern "C" int openat(int dir, const char* path, int flags, ...)
{
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, unsigned));
        va_end(args);
    }
    if ((flags & O_TMPFILE) == O_TMPFILE && g_noUnnamedFiles) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real(dir, path, flags, mode);
}

extern "C" int fstat(int fd, struct stat* st) noexcept
{
    static const auto real = next<int (*)(int, struct stat*)>("fstat");
    const int result = real(fd, st);
    renameIfArmed();
    return result;
}

extern "C" int stat(const char* path, struct stat* st) noexcept
{
    static const auto real = next<int (*)(const char*, struct stat*)>("stat");
    const int result = real(path, st);
    renameIfArmed();
    return result;
}
