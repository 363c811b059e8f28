// SimpleIni: an INI document held in memory, with its reader and writer.
//
// The document has named sections, named keys inside them, and for each key a
// value and an inline comment. Beside them it keeps descriptions (the
// full-line comments that stood above a key line or a section header) and the
// path of the file last loaded. Every name is ordered byte-wise, bytes taken as
// unsigned values, a proper prefix first; every listing and every written file
// follows that order.
//
// The store never trims, folds or validates what a caller hands it; only Load
// trims what it reads, and SaveAs refuses a document whose text would read
// back with other sections or keys. Missing entries are not errors: look-ups
// answer with the caller's default. The only exception thrown is the
// std::string of the file-name constructor. No locking: one thread at a time.
#ifndef SIMPLEINI_H
#define SIMPLEINI_H

#include <fstream>
#include <istream>
#include <limits>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>

namespace simple_ini_detail {

// The bool read of GetValue<bool>: text is neither empty nor blank.
bool readBool(const std::string& text, bool def);

}  // namespace simple_ini_detail

class SimpleIni {
public:
    // One key's record. A new one has both fields empty.
    struct IniLine {
        std::string value;
        std::string comment;   // written on the key's own line; empty: none
    };

    // std::less<std::string> compares through char_traits<char>, which orders
    // bytes as unsigned char: exactly the name order the file format needs.
    using KeyMap = std::map<std::string, IniLine>;
    using SectionMap = std::map<std::string, KeyMap>;
    using DescriptionMap = std::map<std::string, std::map<std::string, std::string>>;

    // The text GetValue<T> asks GetValue for: a stored value that equals it
    // reads as absent. Load never stores it, since ";" starts a comment.
    static constexpr const char* kAbsent = ";";

    // A position among the sections, in name order. A default-constructed one
    // may only be assigned to or destroyed; the end position must not be
    // dereferenced or advanced. Invalidated when its section is removed
    // (Free, Load).
    class SectionIterator {
    public:
        SectionIterator() = default;
        explicit SectionIterator(SectionMap::const_iterator pos) : m_Pos(pos) {}
        // The section name, as stored in the map.
        const std::string& operator*() const { return m_Pos->first; }
        // Moves to the next section; returns the iterator after the move.
        SectionIterator operator++() { ++m_Pos; return *this; }
        bool operator==(const SectionIterator& other) const { return m_Pos == other.m_Pos; }
        bool operator!=(const SectionIterator& other) const { return m_Pos != other.m_Pos; }
    private:
        SectionMap::const_iterator m_Pos;
    };

    // A position among the keys of one section, in name order. Same rules as
    // SectionIterator; also invalidated when DeleteKey removes its key.
    class KeyIterator {
    public:
        KeyIterator() = default;
        explicit KeyIterator(KeyMap::const_iterator pos) : m_Pos(pos) {}
        // The key name, as stored in the map.
        const std::string& operator*() const { return m_Pos->first; }
        // Moves to the next key; returns the iterator after the move.
        KeyIterator operator++() { ++m_Pos; return *this; }
        bool operator==(const KeyIterator& other) const { return m_Pos == other.m_Pos; }
        bool operator!=(const KeyIterator& other) const { return m_Pos != other.m_Pos; }
    private:
        KeyMap::const_iterator m_Pos;
    };

    // ---- Construction -------------------------------------------------------

    // The empty name gives an empty document and touches no file. Any other
    // name is loaded at once (Load); when Load fails, throws the std::string
    // "Unable to open the file " + fileName + " in read mode." and no object
    // comes into being.
    explicit SimpleIni(const std::string& fileName);
    // Calls Free.
    ~SimpleIni();

    // ---- Document model -----------------------------------------------------

    // Removes every section, with its keys. Descriptions and m_FileName stay.
    void Free();

    // The key's value, or def when the section or the key is missing.
    // Creates nothing.
    std::string GetValue(const std::string& section, const std::string& key,
                         const std::string& def) const;

    // The key's value read as a T. Gives def when the key is missing, when its
    // value is exactly kAbsent, or when the value is empty or white space
    // only; otherwise, by T:
    //   - bool: true for "true", "yes", "on", "1", false for "false", "no",
    //     "off", "0", in any letter case and with white space around; any
    //     other text gives def;
    //   - signed char, unsigned char (int8_t, uint8_t): a number, read as for
    //     int; one outside the type's range gives def ("300" for uint8_t);
    //   - other unsigned integers: a negative number gives def ("-1" does not
    //     wrap round to the largest value); otherwise as below;
    //   - any other T (int, double, char, std::string...): formatted stream
    //     extraction, leading white space skipped, decimal, trailing text
    //     ignored: "12abc" gives 12, "abc" gives 0, an overflow gives the
    //     nearest limit; char gives the first character, std::string the
    //     first word.
    // Creates nothing. A call that does not name T reaches the text overload
    // when the default is text (";", a const char*, a std::string).
    template<typename T>
    std::enable_if_t<std::is_same<T, std::string>::value
                         || !std::is_convertible<const T&, std::string>::value, T>
    GetValue(const std::string& section, const std::string& key, const T& def) const;

    // Sets the key's value and keeps its comment. Creates the section and the
    // key when they are missing.
    void SetValue(const std::string& section, const std::string& key, const std::string& value);

    // The key's comment, or the empty string when the section or the key is
    // missing. Creates nothing.
    std::string GetComment(const std::string& section, const std::string& key) const;

    // Sets the key's comment and keeps its value. Creates the section and the
    // key (with an empty value) when they are missing.
    void SetComment(const std::string& section, const std::string& key, const std::string& comment);

    // Removes the key if present. Creates the section, empty, when it is
    // missing; a section whose last key goes stays. Descriptions stay.
    void DeleteKey(const std::string& section, const std::string& key);

    // The sections in name order. Equal for an empty document.
    SectionIterator beginSection() const;
    SectionIterator endSection() const;

    // The keys of one section in name order. A missing section gives an empty
    // range (begin equals end) and is not created.
    KeyIterator beginKey(const std::string& section) const;
    KeyIterator endKey(const std::string& section) const;

    // ---- Text file ----------------------------------------------------------

    // Empties the sections (Free), records path in m_FileName (also when it
    // does not open) and reads the file; descriptions read replace those
    // stored under the same names, the others stay. False when the file does
    // not open, or when reading stops on a read error rather than at the end
    // of the file (what was read before the error stays loaded).
    bool Load(const std::string& path);

    // Reads INI text from in exactly as Load reads a file, after emptying the
    // sections (Free); m_FileName stays as it is. For callers that open or
    // check the file themselves. False when reading stops on a stream error
    // rather than at the end (what was read before the error stays loaded).
    bool Read(std::istream& in);

    // SaveAs(m_FileName). False for a store never loaded (empty path).
    bool Save() const;

    // Writes the document to path in name order, descriptions as "#" lines;
    // changes nothing in the store. Blocks on the file system; no lock is
    // taken, so of two processes saving the same file the last rename wins.
    //
    // What is at path is looked at once, through one descriptor:
    //   - a regular file is replaced whole. The text goes to a temporary file
    //     in the same directory that no other user can open, which gets the
    //     old file's owner and group (each on its own: a saver that may not
    //     give a file away keeps the group when it is a member, and the file
    //     becomes the saver's), its mode, its ACL and every extended attribute
    //     the process may set, all before the first byte; it is synced, renamed
    //     over the old file, and the directory is synced. Other hard links to
    //     the old file keep the old text.
    //   - a missing file is created by the same steps, with 0666 less the
    //     umask (or as the directory's default ACL says).
    //   - a symbolic link stays a link: the file it leads to is saved, by the
    //     rules above, up to 40 links deep.
    //   - a device, a FIFO, or a /proc link to an open descriptor
    //     (/proc/self/fd/N, /dev/stdout) is written in place, never replaced.
    // The temporary file has no name while it is written (O_TMPFILE) where
    // the file system allows; elsewhere a random hidden name beside the file,
    // which only a process killed mid-save leaves behind and which never
    // stops a later save. Paths up to PATH_MAX work.
    //
    // False, writing nothing, for a refused document (below), an empty path, a
    // file the process may not write, a directory that takes no new file, a
    // link loop, or an ACL that cannot be kept on the new file. False also
    // when a write, the sync, the close or the rename fails: a replaced file
    // is then untouched and no temporary file stays; in place, what got
    // through stays.
    //
    // Refused, as stored, since they would read back as other sections or keys
    // or move keys to another section:
    //   - a section name holding "\n" or "]";
    //   - a non-empty key holding "\n", "=", ";" or "#";
    //   - the value of a non-empty key, or any key's comment, holding "\n".
    // Everything else is written, and what reads back differently is data, not
    // structure: Load trims blanks at the ends of names and values (names that
    // differ only there read back as one), cuts a value at ";" or "#", and
    // drops a control byte ending a line. The empty key's value is never
    // written. Descriptions are never refused: each "#" line reads back as a
    // description whatever it holds. A key starting with "[" is written after
    // one blank, so that it does not read as a header. A document that Load
    // produced is never refused.
    bool SaveAs(const std::string& path) const;

    // Writes the description stored under section and key as one "#" line per
    // "\n"-separated piece; a missing or empty description writes nothing.
    // Stream errors are left in out's state.
    void SaveDescription(std::string section, std::string key, std::ostream& out) const;

    // Erases the line's last byte when it is a control byte (0x00 to 0x1F),
    // such as the CR of a CRLF line end. At most one byte goes.
    static void ParasitCar(std::string& line);

    // The text without blanks and tabs at either end; nothing else is removed.
    static std::string Trim(const std::string& text);

    // ---- Content (public so that callers and tests can inspect it) ----------

    SectionMap m_Sections;          // section -> key -> record
    DescriptionMap m_Descriptions;  // section -> key -> description; "" key: the section's own
    std::string m_FileName;         // path given to the last Load; Save writes here
};

template<typename T>
std::enable_if_t<std::is_same<T, std::string>::value
                     || !std::is_convertible<const T&, std::string>::value, T>
SimpleIni::GetValue(const std::string& section, const std::string& key, const T& def) const
{
    const std::string text = GetValue(section, key, std::string(kAbsent));
    // Extraction from blank text stores nothing, so its result would be
    // undefined; a bare "Port=" must mean the default, not a random port.
    if (text == kAbsent || text.find_first_not_of(" \t\n\v\f\r") == std::string::npos)
        return def;
    if constexpr (std::is_same<T, bool>::value) {
        return simple_ini_detail::readBool(text, def);
    } else {
        std::istringstream in(text);
        // The error state is deliberately ignored: since C++11 a failed
        // numeric extraction still stores 0 ("abc") or the nearest limit
        // (overflow).
        if constexpr (std::is_same<T, signed char>::value || std::is_same<T, unsigned char>::value) {
            // Extracted as characters, "42" would give '4'.
            long long number = 0;
            in >> number;
            if (number < std::numeric_limits<T>::min() || number > std::numeric_limits<T>::max())
                return def;
            return static_cast<T>(number);
        } else {
            if constexpr (std::is_integral<T>::value && std::is_unsigned<T>::value
                          && !std::is_same<T, char>::value) {
                // Unsigned extraction negates "-1" into the largest value.
                long long number = 0;
                std::istringstream probe(text);
                probe >> number;
                if (number < 0)
                    return def;
            }
            T value{};
            in >> value;
            return value;
        }
    }
}

#endif
