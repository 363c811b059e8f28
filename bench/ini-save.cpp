// relay-ini-save: how long SimpleIni::SaveAs takes for a document of about
// 4 MB, beside one buffered write of the same text (std::ofstream, no sync)
// and one write followed by fsync. Each is run --reps times on an existing
// file; the minimum and the median are printed in milliseconds.
//
//   relay-ini-save [--reps N] [--dir DIR]
//
// DIR (default: a new directory under $TMPDIR or /tmp, removed afterwards)
// decides the file system measured; a tmpfs makes every sync free.
#include "SimpleIni.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

// 100 sections of 370 keys, each line about 113 bytes: 4.2 MB of text.
const int kSections = 100;
const int kKeysPerSection = 370;
const size_t kValueBytes = 80;
const size_t kCommentBytes = 20;
const int kDefaultReps = 7;

using Clock = std::chrono::steady_clock;

struct Figures {
    double min;
    double median;
};

Figures measure(int reps, const std::function<bool()>& run)
{
    std::vector<double> ms;
    for (int i = 0; i < reps; ++i) {
        const auto start = Clock::now();
        if (!run()) {
            std::fprintf(stderr, "relay-ini-save: a write failed\n");
            std::exit(2);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}

bool writeSynced(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = fsync(fd) == 0 && ok;
    return close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv)
{
    int reps = kDefaultReps;
    std::string dir;
    const option options[] = {{"reps", required_argument, nullptr, 'r'},
                              {"dir", required_argument, nullptr, 'd'},
                              {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "r:d:", options, nullptr)) != -1;) {
        if (c == 'r' && std::atoi(optarg) > 0) {
            reps = std::atoi(optarg);
        } else if (c == 'd') {
            dir = optarg;
        } else {
            std::fprintf(stderr, "usage: relay-ini-save [--reps N] [--dir DIR]\n");
            return 1;
        }
    }
    const bool ownDir = dir.empty();
    if (ownDir) {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") + "/relay-ini-save-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) {
            std::perror("relay-ini-save: mkdtemp");
            return 2;
        }
        dir = tmpl;
    }

    SimpleIni ini("");
    char name[32];
    for (int s = 0; s < kSections; ++s) {
        std::snprintf(name, sizeof name, "Section%04d", s);
        const std::string section = name;
        for (int k = 0; k < kKeysPerSection; ++k) {
            std::snprintf(name, sizeof name, "key%05d", k);
            ini.SetValue(section, name, std::string(kValueBytes, static_cast<char>('a' + k % 26)));
            ini.SetComment(section, name, std::string(kCommentBytes, 'c'));
        }
    }
    const std::string saved = dir + "/conf.ini";
    const std::string plain = dir + "/plain.ini";
    const std::string synced = dir + "/synced.ini";
    if (!ini.SaveAs(saved)) {
        std::fprintf(stderr, "relay-ini-save: cannot save in %s\n", dir.c_str());
        return 2;
    }
    std::ifstream in(saved, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    const Figures save = measure(reps, [&] { return ini.SaveAs(saved); });
    const Figures buffered = measure(reps, [&] {
        std::ofstream out(plain, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        return !out.fail();
    });
    const Figures sync = measure(reps, [&] { return writeSynced(synced, text); });

    std::printf("document: %zu bytes, %d repetitions, in %s\n", text.size(), reps, dir.c_str());
    std::printf("%-28s %10s %10s\n", "", "min ms", "median ms");
    std::printf("%-28s %10.2f %10.2f\n", "SaveAs", save.min, save.median);
    std::printf("%-28s %10.2f %10.2f\n", "one buffered write", buffered.min, buffered.median);
    std::printf("%-28s %10.2f %10.2f\n", "one write + fsync", sync.min, sync.median);
    std::printf("SaveAs / buffered write: %.1fx (min), %.1fx (median)\n", save.min / buffered.min,
                save.median / buffered.median);

    if (ownDir)
        std::filesystem::remove_all(dir);
    return 0;
}
