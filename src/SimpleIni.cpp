#include "SimpleIni.h"

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

    // Reader state lives for this one Load only.
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

void SimpleIni::SaveDescription(std::string section, std::string key, std::ofstream& out) const
{
    // Plain look-ups: writing must not add empty description entries.
    const auto sec = m_Descriptions.find(section);
    if (sec == m_Descriptions.end())
        return;
    const auto desc = sec->second.find(key);
    if (desc == sec->second.end())
        return;

    // getline yields no piece after a final "\n", and an empty piece between
    // two "\n": a bare "#" line, which reads back as the same empty piece.
    std::istringstream pieces(desc->second);
    std::string piece;
    while (std::getline(pieces, piece, kLineEnd))
        out << kLineCommentPrefix << piece << kLineEnd << std::flush;
}

bool SimpleIni::Save() const
{
    return SaveAs(m_FileName);
}

bool SimpleIni::SaveAs(const std::string& path) const
{
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out.is_open())
        return false;

    bool first = true;
    for (const auto& sec : m_Sections) {
        const std::string& section = sec.first;
        if (!first)
            out << kLineEnd << std::flush;
        first = false;

        SaveDescription(section, std::string(), out);
        if (!section.empty())
            out << kSectionOpen << section << kSectionClose << kLineEnd << std::flush;

        for (const auto& entry : sec.second) {
            const std::string& key = entry.first;
            const IniLine& record = entry.second;
            SaveDescription(section, key, out);
            // The empty key's line holds at most its comment: lines of blanks
            // and indented comments load into that key, and come back as one
            // empty or "#" line below the header.
            if (!key.empty())
                out << key << kAssign << record.value;
            if (!record.comment.empty()) {
                if (key.empty())
                    out << kLineCommentPrefix;
                else
                    out << kInlineCommentPrefix;
                out << record.comment;
            }
            out << kLineEnd << std::flush;
        }
    }

    // A full disk shows only as a failed flush or close; once a write fails
    // the stream drops the rest, so one check after the close covers all.
    out.close();
    return !out.fail();
}
