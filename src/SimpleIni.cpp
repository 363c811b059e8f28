#include "SimpleIni.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// The bytes Trim removes. Only these: a CR, form feed or vertical tab that
// survived ParasitCar belongs to the text.
const char* const kBlanks = " \t";
// Either byte starts a comment; whichever comes first in a line wins.
const char* const kCommentMarkers = ";#";
const char kSectionOpen = '[';
const char kSectionClose = ']';
const char kAssign = '=';
const char kLineEnd = '\n';
// Prefixes of written comments: inline after a key's value, and on a line of
// its own (descriptions, and the comment of the empty key, whose line carries
// no key or value that an inline marker could follow).
const char* const kInlineCommentPrefix = "\t;";
const char kLineCommentPrefix = '#';
// Bytes up to this value count as a stray line-end byte for ParasitCar.
const unsigned char kLastControlByte = 0x1F;
// Written before a key that starts with "[", which would otherwise read as a
// header; Trim removes it again.
const char kKeyIndent = ' ';

// What a name may not hold for the written file to read back with the same
// sections and keys (see SaveAs in the header); values and comments may not
// hold kLineEnd.
const char* const kSectionRefused = "\n]";
const char* const kKeyRefused = "\n=;#";

// Replacing a file. The kernel follows at most 40 links in one lookup; a
// longer chain is refused the same way. A temporary file's name is the
// target's, hidden, cut so that the random letters and ".tmp" keep within
// NAME_MAX: 12 letters of 62 make a clash with another save's name
// unheard of, and O_EXCL turns one into another pick.
const int kMaxLinkHops = 40;
const size_t kTempStemMax = 200;
const char* const kTempPrefix = ".";
const char* const kTempSuffix = ".tmp";
const size_t kTempRandomLetters = 12;
const int kTempAttempts = 100;
const mode_t kNewFileMode = 0666;      // less the umask (or the default ACL), applied by open
const mode_t kPrivateMode = 0600;      // until the old file's rights are copied
const mode_t kPermissionBits = 07777;
// Where the kernel lists a process's open descriptors as links to their files.
const char* const kDescriptorDir = "/proc/self/fd/";
// The extended attribute that holds a file's POSIX access ACL.
const char* const kAccessAcl = "system.posix_acl_access";
// Tries at reading an attribute list or value that keeps growing meanwhile.
const int kAttributeAttempts = 4;

}  // namespace

// ============================================================================
// Construction
// ============================================================================

SimpleIni::SimpleIni(const std::string& fileName)
{
    if (fileName.empty())
        return;
    if (!Load(fileName))
        throw std::string("Unable to open the file ") + fileName + " in read mode.";
}

SimpleIni::~SimpleIni()
{
    Free();
}

// ============================================================================
// Document model: queries, edits, listings
// ============================================================================

void SimpleIni::Free()
{
    m_Sections.clear();
}

std::string SimpleIni::GetValue(const std::string& section, const std::string& key,
                                const std::string& def) const
{
    // find, not operator[]: a query must never add an entry to the listing.
    const auto sec = m_Sections.find(section);
    if (sec == m_Sections.end())
        return def;
    const auto entry = sec->second.find(key);
    if (entry == sec->second.end())
        return def;
    return entry->second.value;
}

bool simple_ini_detail::readBool(const std::string& text, bool def)
{
    static const char* const kWhiteSpace = " \t\n\v\f\r";
    static const char* const kTrueWords[] = {"true", "yes", "on", "1"};
    static const char* const kFalseWords[] = {"false", "no", "off", "0"};
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos)
        return def;
    const size_t last = text.find_last_not_of(kWhiteSpace);
    const std::string word = text.substr(first, last - first + 1);
    // None of the words holds an "i", the one letter that some locales fold
    // otherwise; the length check keeps a stored NUL from ending the word.
    auto is = [&word](const char* w) {
        return word.size() == std::strlen(w) && strncasecmp(word.data(), w, word.size()) == 0;
    };
    for (const char* w : kTrueWords)
        if (is(w))
            return true;
    for (const char* w : kFalseWords)
        if (is(w))
            return false;
    return def;
}

void SimpleIni::SetValue(const std::string& section, const std::string& key, const std::string& value)
{
    m_Sections[section][key].value = value;
}

std::string SimpleIni::GetComment(const std::string& section, const std::string& key) const
{
    const auto sec = m_Sections.find(section);
    if (sec == m_Sections.end())
        return std::string();
    const auto entry = sec->second.find(key);
    if (entry == sec->second.end())
        return std::string();
    return entry->second.comment;
}

void SimpleIni::SetComment(const std::string& section, const std::string& key, const std::string& comment)
{
    m_Sections[section][key].comment = comment;
}

void SimpleIni::DeleteKey(const std::string& section, const std::string& key)
{
    // The creating look-up is part of the contract: deleting from a missing
    // section leaves that section listed (and written) with no keys.
    m_Sections[section].erase(key);
}

SimpleIni::SectionIterator SimpleIni::beginSection() const
{
    return SectionIterator(m_Sections.begin());
}

SimpleIni::SectionIterator SimpleIni::endSection() const
{
    return SectionIterator(m_Sections.end());
}

namespace {

// The range that a missing section lists: begin and end of one map that never
// holds anything, so that they compare equal however the document changes.
const SimpleIni::KeyMap& noKeys()
{
    static const SimpleIni::KeyMap empty;
    return empty;
}

}  // namespace

SimpleIni::KeyIterator SimpleIni::beginKey(const std::string& section) const
{
    const auto sec = m_Sections.find(section);
    return KeyIterator(sec == m_Sections.end() ? noKeys().begin() : sec->second.begin());
}

SimpleIni::KeyIterator SimpleIni::endKey(const std::string& section) const
{
    const auto sec = m_Sections.find(section);
    return KeyIterator(sec == m_Sections.end() ? noKeys().end() : sec->second.end());
}

// ============================================================================
// Text file: reader and writer
// ============================================================================

void SimpleIni::ParasitCar(std::string& line)
{
    if (!line.empty() && static_cast<unsigned char>(line.back()) <= kLastControlByte)
        line.pop_back();
}

std::string SimpleIni::Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool SimpleIni::Load(const std::string& path)
{
    Free();
    // Recorded before the open so that Save after a failed Load writes to the
    // path the caller asked for.
    m_FileName = path;

    std::ifstream in(path);
    if (!in.is_open())
        return false;
    return Read(in);
}

bool SimpleIni::Read(std::istream& in)
{
    Free();
    // Reader state lives for this one read only.
    std::string section;
    std::string pending;   // full-line comments waiting for a key line or header
    std::string line;

    while (std::getline(in, line, kLineEnd)) {
        ParasitCar(line);
        // Empty lines leave the pending description alone: two comment blocks
        // separated only by empty lines form one description.
        if (line.empty())
            continue;

        if (line[0] == kSectionOpen) {
            // A header without "]" takes the rest of the line; text after the
            // "]" (comments included) is dropped.
            const size_t close = line.find(kSectionClose, 1);
            const size_t len = close == std::string::npos ? std::string::npos : close - 1;
            section = Trim(line.substr(1, len));
            if (!pending.empty()) {
                m_Descriptions[section][std::string()] = pending;
                pending.clear();
            }
            // A header alone creates no section: only key lines do.
            continue;
        }

        const size_t marker = line.find_first_of(kCommentMarkers);
        if (marker == 0) {
            if (!pending.empty())
                pending += kLineEnd;
            pending.append(line, 1, std::string::npos);
            continue;
        }

        IniLine entry;
        if (marker != std::string::npos) {
            entry.comment = line.substr(marker + 1);
            line.erase(marker);
        }
        const size_t assign = line.find(kAssign);
        if (assign != std::string::npos) {
            entry.value = Trim(line.substr(assign + 1));
            line.erase(assign);
        }
        const std::string key = Trim(line);

        // The last line of a key wins whole, comment included.
        m_Sections[section][key] = entry;
        if (!pending.empty()) {
            m_Descriptions[section][key] = pending;
            pending.clear();
        }
    }
    // A description still pending here has nothing to belong to and is dropped.

    // getline stops both at the end of the file and on a read error (a
    // directory opens, but its first read fails); only the first is success.
    return !in.bad();
}

namespace {

// string::find_first_of calls memchr on the set for every byte of the text,
// which made the check cost more than the rest of a save; a table lookup does not.
class ByteSet {
public:
    explicit ByteSet(const char* bytes)
    {
        for (; *bytes != '\0'; ++bytes)
            m_Member[static_cast<unsigned char>(*bytes)] = true;
    }
    bool foundIn(const std::string& text) const
    {
        for (const char c : text)
            if (m_Member[static_cast<unsigned char>(c)])
                return true;
        return false;
    }
private:
    std::array<bool, UCHAR_MAX + 1> m_Member{};
};

bool holdsLineEnd(const std::string& text)
{
    return text.find(kLineEnd) != std::string::npos;
}

// No piece after a final "\n", and an empty piece between two "\n": a bare
// "#" line, which reads back as the same empty piece.
void appendDescription(const std::string& description, std::string& out)
{
    size_t begin = 0;
    while (begin < description.size()) {
        size_t end = description.find(kLineEnd, begin);
        if (end == std::string::npos)
            end = description.size();
        out += kLineCommentPrefix;
        out.append(description, begin, end - begin);
        out += kLineEnd;
        begin = end + 1;
    }
}

// The descriptions of one section, or none; plain look-ups, so that writing
// adds no empty entries.
const std::map<std::string, std::string>* descriptionsOf(const SimpleIni::DescriptionMap& all,
                                                        const std::string& section)
{
    const auto sec = all.find(section);
    return sec == all.end() ? nullptr : &sec->second;
}

void appendDescription(const std::map<std::string, std::string>* descriptions, const std::string& key,
                       std::string& out)
{
    if (descriptions == nullptr)
        return;
    const auto desc = descriptions->find(key);
    if (desc != descriptions->end())
        appendDescription(desc->second, out);
}

// The refusal stated at SaveAs, checked before anything is written. Load never
// stores a refused text, which is what makes every loaded document saveable.
// Also bounds the text's length, so that render never reallocates: growing a
// 4 MB text by doubling cost as much as building it.
bool check(const SimpleIni::SectionMap& sections, const SimpleIni::DescriptionMap& descriptions,
           size_t& bound)
{
    static const ByteSet sectionRefused(kSectionRefused);
    static const ByteSet keyRefused(kKeyRefused);
    // Separating empty line, "[", "]", line end; key indent, "=", the inline
    // comment prefix, line end.
    const size_t sectionExtra = 4;
    const size_t keyExtra = 5;
    // A piece costs "#" and a line end, and a description of n bytes has at
    // most n + 1 pieces; a section's own description is written twice, for
    // the header and for the empty key.
    const size_t pieceExtra = 2;
    const size_t descriptionCopies = 2;

    bound = 0;
    for (const auto& sec : sections) {
        if (sectionRefused.foundIn(sec.first))
            return false;
        bound += sec.first.size() + sectionExtra;
        for (const auto& entry : sec.second) {
            const std::string& key = entry.first;
            const SimpleIni::IniLine& record = entry.second;
            if (holdsLineEnd(record.comment)
                || (!key.empty() && (keyRefused.foundIn(key) || holdsLineEnd(record.value))))
                return false;
            bound += key.size() + record.value.size() + record.comment.size() + keyExtra;
        }
    }
    for (const auto& sec : descriptions)
        for (const auto& desc : sec.second)
            bound += descriptionCopies * (desc.second.size() + pieceExtra * (desc.second.size() + 1));
    return true;
}

// The whole file text, built in memory so that it can be written in one piece.
void render(const SimpleIni::SectionMap& sections, const SimpleIni::DescriptionMap& descriptions,
            std::string& out)
{
    bool first = true;
    for (const auto& sec : sections) {
        const std::string& section = sec.first;
        const auto* sectionDescriptions = descriptionsOf(descriptions, section);
        if (!first)
            out += kLineEnd;
        first = false;

        appendDescription(sectionDescriptions, std::string(), out);
        if (!section.empty()) {
            out += kSectionOpen;
            out += section;
            out += kSectionClose;
            out += kLineEnd;
        }

        for (const auto& entry : sec.second) {
            const std::string& key = entry.first;
            const SimpleIni::IniLine& record = entry.second;
            appendDescription(sectionDescriptions, key, out);
            // The empty key's line holds at most its comment: lines of blanks
            // and indented comments load into that key, and come back as one
            // empty or "#" line below the header.
            if (!key.empty()) {
                if (key[0] == kSectionOpen)
                    out += kKeyIndent;
                out += key;
                out += kAssign;
                out += record.value;
            }
            if (!record.comment.empty()) {
                if (key.empty())
                    out += kLineCommentPrefix;
                else
                    out += kInlineCommentPrefix;
                out += record.comment;
            }
            out += kLineEnd;
        }
    }
}

// ---- Files ------------------------------------------------------------------

// A descriptor that closes itself; close() reports the write error that a
// file system may defer to it.
class Fd {
public:
    explicit Fd(int fd = -1) : m_Fd(fd) {}
    ~Fd()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_Fd(std::exchange(other.m_Fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(m_Fd, other.m_Fd);
        return *this;
    }
    int get() const { return m_Fd; }
    bool valid() const { return m_Fd >= 0; }
    bool close() { return ::close(std::exchange(m_Fd, -1)) == 0; }
private:
    int m_Fd;
};

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path through which the kernel reaches an open descriptor's file.
std::string descriptorPath(int fd)
{
    return kDescriptorDir + std::to_string(fd);
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Where a save goes, found by following the path's last name, and what was
// there. Every decision is taken from fstat of `node`, a descriptor opened
// once without following the name, so that a file renamed over the name
// meanwhile cannot change the choice halfway.
struct Target {
    enum Kind {
        kMissing,          // nothing there: a new file is created
        kRegular,          // a regular file: replaced
        kNode,             // a device, FIFO, socket or directory: written in place
        kDescriptorLink,   // a /proc link naming an open file: written in place
    };
    Kind kind = kMissing;
    Fd dir;                // O_PATH descriptor of the directory holding name
    std::string name;
    Fd node;               // O_PATH descriptor of what name held, if anything
    struct stat st{};
};

// Follows the symbolic links of path's last name, one descriptor per hop: a
// link stays, and the save goes to the file it leads to. A link in /proc
// (/proc/self/fd/N, /dev/stdout) leads to an open file, which may have no
// name at all, so it is not followed by its text. False, with errno, for a
// directory that does not open, a link loop or an unreadable link.
bool locate(const std::string& path, Target& target)
{
    std::string text = path;
    Fd base;   // the last link's directory, for a relative link text
    for (int hop = 0;; ++hop) {
        Fd dir(openat(base.valid() ? base.get() : AT_FDCWD, directoryOf(text).c_str(),
                      O_PATH | O_DIRECTORY | O_CLOEXEC));
        target.name = baseOf(text);
        if (!dir.valid())
            return false;
        if (target.name.empty()) {
            errno = EISDIR;
            return false;
        }
        Fd node(openat(dir.get(), target.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!node.valid() && errno != ENOENT)
            return false;
        target.dir = std::move(dir);
        if (!node.valid()) {
            target.kind = Target::kMissing;
            target.node = Fd();
            return true;
        }
        if (fstat(node.get(), &target.st) != 0)
            return false;
        target.node = std::move(node);
        if (!S_ISLNK(target.st.st_mode)) {
            target.kind = S_ISREG(target.st.st_mode) ? Target::kRegular : Target::kNode;
            return true;
        }
        struct statfs fs;
        if (fstatfs(target.node.get(), &fs) != 0)
            return false;
        if (fs.f_type == PROC_SUPER_MAGIC) {
            target.kind = Target::kDescriptorLink;
            return true;
        }
        if (hop == kMaxLinkHops) {
            errno = ELOOP;
            return false;
        }
        char dest[PATH_MAX];
        const ssize_t n = readlinkat(target.node.get(), "", dest, sizeof dest);
        if (n <= 0 || static_cast<size_t>(n) == sizeof dest)
            return false;
        text.assign(dest, static_cast<size_t>(n));
        base = std::move(target.dir);
    }
}

// Writes a node that is never replaced. A device or FIFO is reopened by name
// without following it and written only if it is still the node that was
// decided on; no O_CREAT, so a node that vanished does not come back as a
// regular file. A /proc link is followed to its open file, which is truncated.
bool writeInPlace(const Target& target, const std::string& text)
{
    const bool throughLink = target.kind == Target::kDescriptorLink;
    Fd fd(openat(target.dir.get(), target.name.c_str(),
                 O_WRONLY | O_NOCTTY | O_CLOEXEC | (throughLink ? O_TRUNC : O_NOFOLLOW)));
    if (!fd.valid())
        return false;
    struct stat st;
    if (!throughLink
        && (fstat(fd.get(), &st) != 0 || st.st_dev != target.st.st_dev || st.st_ino != target.st.st_ino))
        return false;
    const bool written = writeAll(fd.get(), text);
    return fd.close() && written;
}

// ---- Attributes of a replaced file ----

// An error that means "this process may not", or "this file system has no
// such thing", as opposed to a failing disk. (ENOTSUP is EOPNOTSUPP on Linux.)
bool mayNot(int error)
{
    return error == EPERM || error == EACCES || error == EOPNOTSUPP;
}

// Reads the old file's extended attributes. flistxattr refuses an O_PATH
// descriptor, so they are read through its /proc path, which the kernel
// resolves to that very file without opening it (it may be write-only to this
// process). Where /proc is not mounted, the file is opened for reading by
// name and used only if it is still the file that was decided on.
class AttributeSource {
public:
    explicit AttributeSource(const Target& target) : m_Path(descriptorPath(target.node.get()))
    {
        if (listxattr(m_Path.c_str(), nullptr, 0) >= 0 || errno != ENOENT)
            return;
        Fd file(openat(target.dir.get(), target.name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st;
        if (file.valid() && fstat(file.get(), &st) == 0 && st.st_dev == target.st.st_dev
            && st.st_ino == target.st.st_ino)
            m_File = std::move(file);
    }
    ssize_t list(char* buf, size_t size) const
    {
        return m_File.valid() ? flistxattr(m_File.get(), buf, size) : listxattr(m_Path.c_str(), buf, size);
    }
    ssize_t get(const char* name, void* buf, size_t size) const
    {
        return m_File.valid() ? fgetxattr(m_File.get(), name, buf, size)
                              : getxattr(m_Path.c_str(), name, buf, size);
    }
private:
    std::string m_Path;
    Fd m_File;
};

// Reads a list or a value whose size may change between the sizing call and
// the read (ERANGE); gives up after a few tries.
template<typename Read>
bool readGrowing(Read read, std::vector<char>& out)
{
    for (int attempt = 0; attempt < kAttributeAttempts; ++attempt) {
        const ssize_t size = read(nullptr, 0);
        if (size < 0)
            return false;
        out.resize(static_cast<size_t>(size));
        const ssize_t n = read(out.data(), out.size());
        if (n >= 0) {
            out.resize(static_cast<size_t>(n));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
    return false;
}

// Copies every extended attribute of the old file that this process may read
// and set. POSIX ACLs travel as the attribute kAccessAcl: losing it would
// widen or narrow access (the mode's group bits hold the ACL's mask), so it is
// never skipped; an ACL the temporary file inherited from the directory's
// default ACL, where the old file had none, is removed. A file system without
// extended attributes has nothing to copy.
bool copyAttributes(const Target& target, int temp)
{
    const AttributeSource source(target);
    std::vector<char> names;
    if (!readGrowing([&](char* buf, size_t size) { return source.list(buf, size); }, names))
        return errno == EOPNOTSUPP;

    bool hadAcl = false;
    std::vector<char> value;
    for (size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
        const char* name = names.data() + at;
        const bool acl = std::strcmp(name, kAccessAcl) == 0;
        hadAcl = hadAcl || acl;
        if (!readGrowing([&](char* buf, size_t size) { return source.get(name, buf, size); }, value)) {
            if (errno == ENODATA || (!acl && mayNot(errno)))
                continue;   // removed meanwhile, or not readable by this process
            return false;
        }
        if (fsetxattr(temp, name, value.data(), value.size(), 0) != 0 && (acl || !mayNot(errno)))
            return false;   // trusted.* and security.* need privileges: skipped
    }
    return hadAcl || fremovexattr(temp, kAccessAcl) == 0 || errno == ENODATA || errno == EOPNOTSUPP;
}

// Gives the temporary file what the old one had, before a byte of text is in
// it. Owner and group are set apart: a saver that may not give the file away
// (only root may) can still keep its group when it is a member. Ownership
// first, since chown clears set-id bits and file capabilities; the mode last,
// since setting an ACL may clear the set-group-id bit.
bool inherit(int temp, const Target& target)
{
    const struct stat& old = target.st;
    if (fchown(temp, old.st_uid, static_cast<gid_t>(-1)) != 0 && errno != EPERM && errno != EINVAL)
        return false;
    if (fchown(temp, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM && errno != EINVAL)
        return false;
    return copyAttributes(target, temp) && fchmod(temp, old.st_mode & kPermissionBits) == 0;
}

// ---- Temporary files ----

// A hidden name beside the target that no other save picks: the target's
// name, cut to keep within NAME_MAX, and random letters. Random rather than
// the process id, which containers repeat.
std::string temporaryName(const std::string& base)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const size_t letterCount = sizeof kLetters - 1;
    unsigned char bytes[kTempRandomLetters];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet (early boot): a clock and a counter still differ
        // from save to save, and O_EXCL catches the rest.
        static std::atomic<unsigned> serial{0};
        uint64_t mix = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())
                       ^ (static_cast<uint64_t>(getpid()) << 32) ^ serial++;
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(mix);
            mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;   // Knuth's MMIX step
        }
    }
    std::string name = kTempPrefix + base.substr(0, kTempStemMax) + ".";
    for (unsigned char b : bytes)
        name += kLetters[b % letterCount];
    return name + kTempSuffix;
}

// The kernel refuses O_TMPFILE with these where the file system (or an old
// kernel, which reads the flag as O_DIRECTORY) lacks it.
bool noUnnamedFiles(int error)
{
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Gives the unnamed file a name: directly with AT_EMPTY_PATH, which needs
// CAP_DAC_READ_SEARCH, else through its /proc path. The name is random, so
// EEXIST only means "pick another".
bool nameUnnamed(int temp, int dir, const std::string& base, std::string& name)
{
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        name = temporaryName(base);
        if (linkat(temp, "", dir, name.c_str(), AT_EMPTY_PATH) == 0)
            return true;
        if (errno == EEXIST)
            continue;
        if (linkat(AT_FDCWD, descriptorPath(temp).c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

enum class Outcome { kDone, kFailed, kNoUnnamedFile };

// One try at replacing target.name by text, with an unnamed temporary file
// (O_TMPFILE, linked once complete) or a named one. An unnamed file that dies
// with the process leaves nothing; only a named one can stay behind after a
// kill. On failure the target is untouched and no temporary file stays.
Outcome replaceWith(const Target& target, bool unnamed, const std::string& text)
{
    const Target::Kind kind = target.kind;
    // A new file is as private as its directory makes it (umask, default
    // ACL); an existing one's text is kept from every other user until the
    // old file's rights are in place.
    const mode_t mode = kind == Target::kMissing ? kNewFileMode : kPrivateMode;
    const int dir = target.dir.get();
    std::string name;
    Fd temp;
    if (unnamed) {
        temp = Fd(openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (!temp.valid())
            return noUnnamedFiles(errno) ? Outcome::kNoUnnamedFile : Outcome::kFailed;
    } else {
        for (int attempt = 0; !temp.valid() && attempt < kTempAttempts; ++attempt) {
            name = temporaryName(target.name);
            temp = Fd(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!temp.valid() && errno != EEXIST)
                return Outcome::kFailed;
        }
        if (!temp.valid())
            return Outcome::kFailed;
    }

    bool ok = kind == Target::kMissing || inherit(temp.get(), target);
    ok = ok && writeAll(temp.get(), text) && fsync(temp.get()) == 0;
    // Without CAP_DAC_READ_SEARCH and without /proc an unnamed file cannot
    // be given a name: the caller starts again with a named one.
    if (ok && unnamed && !nameUnnamed(temp.get(), dir, target.name, name))
        return Outcome::kNoUnnamedFile;
    ok = temp.close() && ok;
    ok = ok && renameat(dir, name.c_str(), dir, target.name.c_str()) == 0;
    if (!ok) {
        if (!name.empty())
            unlinkat(dir, name.c_str(), 0);
        return Outcome::kFailed;
    }
    // Makes the rename itself durable. Best effort: the new text is in place
    // either way, and a directory this process may not read cannot be synced.
    const Fd sync(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sync.valid())
        fsync(sync.get());
    return Outcome::kDone;
}

bool replace(const Target& target, const std::string& text)
{
    const Outcome outcome = replaceWith(target, true, text);
    if (outcome == Outcome::kNoUnnamedFile)
        return replaceWith(target, false, text) == Outcome::kDone;
    return outcome == Outcome::kDone;
}

// Whether this process may write the file behind an O_PATH descriptor, by its
// effective ids. Kernels before 5.8 take no AT_EMPTY_PATH here (EINVAL); the
// descriptor's /proc path names the same file.
bool mayWrite(int node)
{
    if (faccessat(node, "", W_OK, AT_EACCESS | AT_EMPTY_PATH) == 0)
        return true;
    return (errno == EINVAL || errno == ENOSYS)
           && faccessat(AT_FDCWD, descriptorPath(node).c_str(), W_OK, AT_EACCESS) == 0;
}

// Chooses between replacing the file and writing the node in place, once,
// on what one descriptor shows.
bool store(const std::string& path, const std::string& text)
{
    Target target;
    if (!locate(path, target))
        return false;
    switch (target.kind) {
    case Target::kMissing:
        return replace(target, text);
    case Target::kRegular:
        // Replacing needs only the directory to be writable; the file itself
        // must be too, as when it was truncated in place. Asked, not opened:
        // an open for writing would tell a watcher that the file changed.
        if (!mayWrite(target.node.get()))
            return false;
        return replace(target, text);
    case Target::kNode:
    case Target::kDescriptorLink:
        return writeInPlace(target, text);
    }
    return false;
}

}  // namespace

void SimpleIni::SaveDescription(std::string section, std::string key, std::ostream& out) const
{
    std::string text;
    appendDescription(descriptionsOf(m_Descriptions, section), key, text);
    out << text;
}

bool SimpleIni::Save() const
{
    return SaveAs(m_FileName);
}

bool SimpleIni::SaveAs(const std::string& path) const
{
    size_t bound = 0;
    if (path.empty() || !check(m_Sections, m_Descriptions, bound))
        return false;
    std::string text;
    text.reserve(bound);
    render(m_Sections, m_Descriptions, text);
    return store(path, text);
}
