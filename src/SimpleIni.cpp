#include "SimpleIni.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>

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
// longer chain is refused the same way. The temporary file's name is the
// target's, cut so that the added ".<pid>.<n>.tmp" stays within NAME_MAX, and
// hidden; names already taken are skipped a bounded number of times.
const int kMaxLinkHops = 40;
const size_t kTempStemMax = 200;
const char* const kTempPrefix = ".";
const char* const kTempSuffix = ".tmp";
const int kTempAttempts = 100;
const mode_t kNewFileMode = 0666;      // less the umask, applied by open
const mode_t kPermissionBits = 07777;

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

// Truncates and writes an existing node without replacing it. No O_CREAT: a
// device that vanished meanwhile must not come back as a regular file.
bool writeInPlace(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = writeAll(fd, text);
    return close(fd) == 0 && written;
}

// Follows the symbolic links of the last name in path, so that the link
// stays and the file it leads to is replaced. The result may not exist (a
// dangling link, or a new file). False for a loop or an unreadable link.
bool followLinks(const std::string& path, std::string& target)
{
    std::string name = path;
    for (int hop = 0;; ++hop) {
        struct stat st;
        if (lstat(name.c_str(), &st) != 0) {
            target = name;
            return errno == ENOENT;
        }
        if (!S_ISLNK(st.st_mode)) {
            target = name;
            return true;
        }
        if (hop == kMaxLinkHops)
            return false;
        char dest[PATH_MAX];
        const ssize_t n = readlink(name.c_str(), dest, sizeof dest);
        if (n <= 0 || static_cast<size_t>(n) == sizeof dest)
            return false;
        const std::string link(dest, static_cast<size_t>(n));
        name = link[0] == '/' ? link : directoryOf(name) + "/" + link;
    }
}

// Makes the rename itself durable. Best effort: the new text is in place
// either way.
void syncDirectory(const std::string& dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// Writes text beside target and renames it over target; old is the target's
// status, or null for a new file. On failure target is untouched and the
// temporary file is gone.
bool replace(const std::string& target, const struct stat* old, const std::string& text)
{
    const std::string base = baseOf(target);
    if (base.empty())
        return false;
    const std::string dir = directoryOf(target);
    static std::atomic<unsigned> serial{0};

    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kTempAttempts; ++attempt) {
        temp = dir + "/" + kTempPrefix + base.substr(0, kTempStemMax) + "." + std::to_string(getpid()) + "."
               + std::to_string(serial++) + kTempSuffix;
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool ok = true;
    if (old != nullptr) {
        // Owner and group first: changing them may clear set-id bits that the
        // chmod then restores.
        if ((old->st_uid != geteuid() || old->st_gid != getegid())
            && fchown(fd, old->st_uid, old->st_gid) != 0) {
            // Only a privileged process may give a file away; otherwise the
            // file becomes the saver's, as any file it creates would.
        }
        ok = fchmod(fd, old->st_mode & kPermissionBits) == 0;
    }
    ok = ok && writeAll(fd, text) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    syncDirectory(dir);
    return true;
}

// Chooses between replacing the file and writing the node in place.
bool store(const std::string& path, const std::string& text)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::string target;
        if (errno != ENOENT || !followLinks(path, target))
            return false;
        return replace(target, nullptr, text);
    }
    if (!S_ISREG(st.st_mode))
        return writeInPlace(path, text);

    std::string target;
    if (!followLinks(path, target))
        return false;
    // A /proc/self/fd link to a deleted or anonymous file leads to no name of
    // that file; such a file can only be written where it is.
    struct stat named;
    if (lstat(target.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino)
        return writeInPlace(path, text);
    // Replacing needs only the directory to be writable; the file itself must
    // be too, as when it was truncated in place. Asked, not opened: an open
    // for writing would tell a watcher that the file changed.
    if (faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return false;
    return replace(target, &st, text);
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
