// Stand-ins for system calls that a save makes, for the settings-store
// tests: defined in the test executable, they take the place of libc's for
// every caller in it, and do what libc does unless a test asks otherwise.
#ifndef SAVE_HOOKS_H
#define SAVE_HOOKS_H

#include <string>

namespace saveHooks {

// While an object lives, openat refuses O_TMPFILE as a file system without
// unnamed files does (EOPNOTSUPP), so that saves take their named path.
class NoUnnamedFiles {
public:
    NoUnnamedFiles();
    ~NoUnnamedFiles();
    NoUnnamedFiles(const NoUnnamedFiles&) = delete;
    NoUnnamedFiles& operator=(const NoUnnamedFiles&) = delete;
};

// Renames from over to right after the next stat or fstat call returns: a
// second process replacing the file just after a saver first looked at it.
void renameAfterNextLook(const std::string& from, const std::string& to);
// True once the armed rename took place (and disarms).
bool renameHappened();

}  // namespace saveHooks

#endif
