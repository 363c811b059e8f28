// libFuzzer target for the INI reader and writer. Each input is used twice:
//  - loaded as an INI file: the store must hold nothing the reader's line rules
//    rule out, must be saved (a loaded document is never refused), and must
//    load back with no section or key it did not hold;
//  - read as a list of edits building a document through the API: SaveAs
//    either refuses it, and then it holds a text the header lists as refused,
//    or saves it, and it loads back with no section or key it did not hold,
//    names compared after the reader's trimming.
//
// Files are memfds reached through /proc/self/fd, so the run touches no disk
// and leaves nothing behind; SaveAs writes such a file in place.
#include "SimpleIni.h"
#include "IniNames.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

namespace {

// Bounds of a built document: a few entries of short texts reach every line
// class of the reader.
const int kMaxEdits = 8;
const size_t kMaxText = 12;

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

bool holds(const std::string& s, const char* bytes)
{
    return s.find_first_of(bytes) != std::string::npos;
}

// What the reader's line rules rule out for anything it stores.
void checkLoaded(const SimpleIni& ini)
{
    for (const auto& section : ini.m_Sections) {
        require(!holds(section.first, "]\n"));
        require(!blankAtEnd(section.first));
        for (const auto& entry : section.second) {
            require(!holds(entry.first, "=;#\n"));
            require(!blankAtEnd(entry.first));
            require(!holds(entry.second.value, ";#\n"));
            require(!blankAtEnd(entry.second.value));
            require(!holds(entry.second.comment, "\n"));
        }
    }
}

// The refused texts as the header lists them, written out independently.
bool listedAsRefused(const SimpleIni& ini)
{
    for (const auto& section : ini.m_Sections) {
        if (holds(section.first, "\n]"))
            return true;
        for (const auto& entry : section.second) {
            if (!entry.first.empty() && (holds(entry.first, "\n=;#") || holds(entry.second.value, "\n")))
                return true;
            if (holds(entry.second.comment, "\n"))
                return true;
        }
    }
    return false;
}

void build(SimpleIni& ini, FuzzedDataProvider& input)
{
    enum Edit { kValue, kComment, kDescription, kDelete, kEditCount };
    const int edits = input.ConsumeIntegralInRange(0, kMaxEdits);
    for (int i = 0; i < edits && input.remaining_bytes() > 0; ++i) {
        const int edit = input.ConsumeIntegralInRange(0, kEditCount - 1);
        const std::string section = input.ConsumeRandomLengthString(kMaxText);
        const std::string key = input.ConsumeRandomLengthString(kMaxText);
        const std::string text = input.ConsumeRandomLengthString(kMaxText);
        switch (edit) {
        case kValue: ini.SetValue(section, key, text); break;
        case kComment: ini.SetComment(section, key, text); break;
        case kDescription: ini.m_Descriptions[section][key] = text; break;
        default: ini.DeleteKey(section, key); break;
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
    SimpleIni loaded("");
    require(loaded.Load(inPath));
    checkLoaded(loaded);
    require(loaded.SaveAs(outPath));
    SimpleIni loadedBack("");
    require(loadedBack.Load(outPath));
    checkLoaded(loadedBack);
    require(namesWithin(loadedBack, loaded));

    FuzzedDataProvider input(data, size);
    SimpleIni built("");
    build(built, input);
    if (!built.SaveAs(outPath)) {
        require(listedAsRefused(built));
        return 0;
    }
    require(!listedAsRefused(built));
    SimpleIni builtBack("");
    require(builtBack.Load(outPath));
    checkLoaded(builtBack);
    require(namesWithin(builtBack, built));
    return 0;
}
