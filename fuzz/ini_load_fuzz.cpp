// libFuzzer target: Load arbitrary bytes as an INI file, check what a loaded
// store can never hold, write it back with SaveAs and load that again.
//
// Files are memfds reached through /proc/self/fd, so the run touches no disk
// and leaves nothing behind.
#include "SimpleIni.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

int makeFile(const char* name)
{
    const int fd = memfd_create(name, 0);
    if (fd < 0)
        abort();
    return fd;
}

std::string pathOf(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

void fill(int fd, const uint8_t* data, size_t size)
{
    if (ftruncate(fd, 0) != 0)
        abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
}

// A violated property is a finding: stop at once so libFuzzer keeps the input.
void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

bool blankAtEnd(const std::string& s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    return !s.empty() && (blank(s.front()) || blank(s.back()));
}

// What the reader's line rules rule out for anything it stores.
void checkLoaded(const SimpleIni& ini)
{
    for (const auto& section : ini.m_Sections) {
        require(section.first.find(']') == std::string::npos);
        require(!blankAtEnd(section.first));
        for (const auto& entry : section.second) {
            require(entry.first.find_first_of("=;#") == std::string::npos);
            require(!blankAtEnd(entry.first));
            require(entry.second.value.find_first_of(";#") == std::string::npos);
            require(!blankAtEnd(entry.second.value));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int inFd = makeFile("ini_in");
    static const int outFd = makeFile("ini_out");
    static const std::string inPath = pathOf(inFd);
    static const std::string outPath = pathOf(outFd);

    fill(inFd, data, size);
    SimpleIni ini("");
    require(ini.Load(inPath));
    checkLoaded(ini);

    require(ini.SaveAs(outPath));
    SimpleIni reloaded("");
    require(reloaded.Load(outPath));
    checkLoaded(reloaded);
    return 0;
}
