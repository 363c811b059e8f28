#include "SvrSettings.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <sstream>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RelayText.h"

namespace relay {

namespace {

// TCP_KEEPIDLE cannot exceed this (the kernel's MAX_TCP_KEEPIDLE).
const long kMaxKeepAlive = 32767;
// TCP_USER_TIMEOUT takes milliseconds in an int; a day is plenty.
const long kMaxAckTimeout = 86400;
const long kMaxPort = 65535;
// An answer window of a minute is far beyond any link's pause between two
// pieces of one answer.
const long kMaxAnswerWindowMs = 60000;
// fs.nr_open's default: no process has more descriptors unless the
// administrator raised that.
const long kMaxDescriptors = 1048576;
const char* const kOrderNames[] = {"descriptor", "arrival"};
// Each status connection holds a descriptor; more than this is a typo.
const long kMaxStatusClients = 1024;

// Blanks, tabs and commas separate the items of DeviceNetworks.
const char kListSeparators[] = " \t,";
// What ends the first word of an inline comment: the list separators, and
// the comment markers of a second comment.
const char kCommentWordEnd[] = " \t,;#";

// What Windows editors put at the start of a UTF-8 file.
const char kUtf8Bom[] = "\xEF\xBB\xBF";
const size_t kUtf8BomSize = sizeof(kUtf8Bom) - 1;
// The configuration is read in pieces of this size.
const size_t kReadPiece = 16 * 1024;

// ---------------------------------------------------------------------------
// The keys of section kConfigSection: one entry of kKeys each.
// ---------------------------------------------------------------------------

// What a key's reader gets: the whole store (for the key's comment, or for
// GetValue<int>), the file's name for messages, and the value as stored.
struct KeyInput {
    const SimpleIni& ini;
    const std::string& file;
    const std::string& value;
};

struct KeyRule;
// Reads the value into s, or adds an error when it is not valid; may add
// warnings. Called only for a key present in the section.
using KeyReader = void (*)(const KeyRule& rule, const KeyInput& in, Settings& s, SettingsCheck& check);
// The value as --check shows it after "Key=".
using KeyShower = std::string (*)(const KeyRule& rule, const Settings& s);

struct KeyRule {
    const char* name;
    KeyReader read;
    KeyShower show;
    // Number keys only (numberKey): the field, its range, what it means, and
    // the note shown after a 0 (nullptr: none).
    int Settings::*field;
    long min;
    long max;
    const char* meaning;
    const char* zeroNote;
};

void readPort(const KeyRule&, const KeyInput& in, Settings& s, SettingsCheck& check)
{
    // Lenient, as the port has always been read: whatever GetValue<int>
    // makes of the text, with a warning when it is not a plain port.
    s.port = in.ini.GetValue<int>(kConfigSection, key::kPort, kDefaultPort);
    long number = 0;
    if (plainNumber(in.value, 1, kMaxPort, number))
        return;
    const int used = s.port & 0xFFFF;
    check.warnings.push_back(format("%s: Port=\"%s\" is not a plain decimal number from 1 to 65535; it reads as "
                                    "%d, so %s", in.file.c_str(), in.value.c_str(), s.port,
                                    used == 0 ? "the system chooses the port"
                                              : ("the port is " + std::to_string(used)).c_str()));
}

std::string showPort(const KeyRule&, const Settings& s)
{
    const int used = s.port & 0xFFFF;
    return std::to_string(s.port) +
           (used ? format(" (listening on %d)", used) : std::string(" (the system chooses the port)"));
}

// Calls take(item) for each item of a list separated by kListSeparators.
template <class Take>
void forEachItem(const std::string& list, Take take)
{
    size_t pos = 0;
    while ((pos = list.find_first_not_of(kListSeparators, pos)) != std::string::npos) {
        const size_t end = std::min(list.find_first_of(kListSeparators, pos), list.size());
        take(list.substr(pos, end - pos));
        pos = end;
    }
}

// "a;b" keeps a and makes b a comment: say so when the key's comment starts
// with what reads as an address.
void warnAddressInComment(const KeyRule& rule, const KeyInput& in, SettingsCheck& check)
{
    const std::string comment = in.ini.GetComment(kConfigSection, rule.name);
    const size_t start = comment.find_first_not_of(kCommentWordEnd);
    if (start == std::string::npos)
        return;
    const std::string word = comment.substr(start, comment.find_first_of(kCommentWordEnd, start) - start);
    Network n;
    if (parseNetwork(word, n))
        check.warnings.push_back(format("%s: %s: \"%s\" stands after \";\" or \"#\", which start a comment: it "
                                        "is not in the list (separate items with blanks or commas)",
                                        in.file.c_str(), rule.name, word.c_str()));
}

void readNetworks(const KeyRule& rule, const KeyInput& in, Settings& s, SettingsCheck& check)
{
    forEachItem(in.value, [&](const std::string& item) {
        Network n;
        if (parseNetwork(item, n))
            s.deviceNetworks.push_back(n);
        else
            check.errors.push_back(format("%s: DeviceNetworks: cannot read \"%s\" (expected an IPv4 address such "
                                          "as 192.168.1.7 or a network such as 192.168.1.0/24)",
                                          in.file.c_str(), item.c_str()));
    });
    warnAddressInComment(rule, in, check);
}

std::string showNetworks(const KeyRule&, const Settings& s)
{
    std::string list;
    for (const Network& n : s.deviceNetworks)
        list += (list.empty() ? "" : " ") + describeNetwork(n);
    return list.empty() ? " (devices from any address)" : list;
}

void readListen(const KeyRule& rule, const KeyInput& in, Settings& s, SettingsCheck& check)
{
    forEachItem(in.value, [&](const std::string& item) {
        in_addr a;
        if (inet_pton(AF_INET, item.c_str(), &a) != 1)
            check.errors.push_back(format("%s: ListenAddress: cannot read \"%s\" (expected an IPv4 address of "
                                          "this host such as 192.168.1.2)", in.file.c_str(), item.c_str()));
        else if (a.s_addr == htonl(INADDR_ANY))
            check.errors.push_back(format("%s: ListenAddress: 0.0.0.0 is every address: leave ListenAddress empty "
                                          "for that", in.file.c_str()));
        else if (std::find(s.listenAddresses.begin(), s.listenAddresses.end(), a.s_addr) == s.listenAddresses.end())
            s.listenAddresses.push_back(a.s_addr);
    });
    warnAddressInComment(rule, in, check);
}

std::string showListen(const KeyRule&, const Settings& s)
{
    if (s.listenAddresses.empty())
        return " (" + describeListen(s.listenAddresses) + ")";
    std::string list;
    for (uint32_t a : s.listenAddresses)
        list += (list.empty() ? "" : " ") + dotted(a);
    const bool requesters = std::count(s.listenAddresses.begin(), s.listenAddresses.end(),
                                       inet_addr(kRequesterAddress)) != 0;
    return list + (requesters ? "" : format(" (and %s for requesters)", kRequesterAddress));
}

void readNumber(const KeyRule& rule, const KeyInput& in, Settings& s, SettingsCheck& check)
{
    long number = 0;
    if (plainNumber(in.value, rule.min, rule.max, number))
        s.*rule.field = static_cast<int>(number);
    else
        check.errors.push_back(format("%s: %s=\"%s\" is not a number from %ld to %ld (%s)", in.file.c_str(),
                                      rule.name, in.value.c_str(), rule.min, rule.max, rule.meaning));
}

std::string showNumber(const KeyRule& rule, const Settings& s)
{
    const int value = s.*rule.field;
    return std::to_string(value) + (value == 0 && rule.zeroNote ? format(" (%s)", rule.zeroNote) : std::string());
}

void readLogLevel(const KeyRule&, const KeyInput& in, Settings& s, SettingsCheck& check)
{
    if (!CSvrLog::ParseLevel(in.value, s.logLevel))
        check.errors.push_back(format("%s: LogLevel=\"%s\" is not chunks, connections or errors", in.file.c_str(),
                                      in.value.c_str()));
}

std::string showLogLevel(const KeyRule&, const Settings& s) { return CSvrLog::LevelName(s.logLevel); }

void readStatusAddress(const KeyRule&, const KeyInput& in, Settings& s, SettingsCheck& check)
{
    in_addr a;
    if (inet_pton(AF_INET, in.value.c_str(), &a) == 1)
        s.statusAddress = in.value;
    else
        check.errors.push_back(format("%s: StatusAddress=\"%s\" is not an IPv4 address", in.file.c_str(),
                                      in.value.c_str()));
}

std::string showStatusAddress(const KeyRule&, const Settings& s) { return s.statusAddress; }

void readAnswerOrder(const KeyRule&, const KeyInput& in, Settings& s, SettingsCheck& check)
{
    if (in.value == kOrderNames[0])
        s.answerOrder = AnswerOrder::Descriptor;
    else if (in.value == kOrderNames[1])
        s.answerOrder = AnswerOrder::Arrival;
    else
        check.errors.push_back(format("%s: AnswerOrder=\"%s\" is not descriptor or arrival", in.file.c_str(),
                                      in.value.c_str()));
}

std::string showAnswerOrder(const KeyRule&, const Settings& s)
{
    return kOrderNames[s.answerOrder == AnswerOrder::Descriptor ? 0 : 1];
}

KeyRule customKey(const char* name, KeyReader read, KeyShower show)
{
    return {name, read, show, nullptr, 0, 0, "", nullptr};
}

KeyRule numberKey(const char* name, int Settings::*field, long min, long max, const char* meaning,
                  const char* zeroNote = nullptr)
{
    return {name, readNumber, showNumber, field, min, max, meaning, zeroNote};
}

// Every key of the section, in the order --check shows them.
const KeyRule kKeys[] = {
    customKey(key::kPort, readPort, showPort),
    customKey(key::kDeviceNetworks, readNetworks, showNetworks),
    numberKey(key::kKeepAlive, &Settings::keepAlive, 0, kMaxKeepAlive, "seconds, 0 turns keepalive off"),
    numberKey(key::kAckTimeout, &Settings::ackTimeout, 0, kMaxAckTimeout, "seconds, 0 keeps the kernel's default"),
    customKey(key::kLogLevel, readLogLevel, showLogLevel),
    numberKey(key::kStatusPort, &Settings::statusPort, 0, kMaxPort, "a port, 0 turns the status server off", "off"),
    customKey(key::kStatusAddress, readStatusAddress, showStatusAddress),
    numberKey(key::kStatusMaxClients, &Settings::statusMaxClients, 1, kMaxStatusClients,
              "status connections open at once"),
    numberKey(key::kAnswerWindow, &Settings::answerWindowMs, 0, kMaxAnswerWindowMs, "milliseconds, 0 turns it off",
              "off"),
    customKey(key::kAnswerOrder, readAnswerOrder, showAnswerOrder),
    customKey(key::kListenAddress, readListen, showListen),
    numberKey(key::kMaxConnectionsPerAddress, &Settings::maxConnectionsPerAddress, 0, kMaxDescriptors,
              "devices from one address, 0 for no cap", "no cap"),
    numberKey(key::kRequesterReserve, &Settings::requesterReserve, 0, kMaxDescriptors,
              "descriptors kept for requesters, 0 keeps none", "none kept"),
};

bool knownKey(const std::string& name)
{
    return std::any_of(std::begin(kKeys), std::end(kKeys), [&](const KeyRule& r) { return name == r.name; });
}

// The sections around kConfigSection: keys above any section, and sections
// spelt as kConfigSection but for case (a file that means the section but
// misspells it must not run on the defaults).
void checkSections(const SimpleIni& ini, const std::string& file, SettingsCheck& check)
{
    const char* const section = kConfigSection;
    const bool present = ini.beginKey(section) != ini.endKey(section);
    for (auto k = ini.beginKey(""); k != ini.endKey(""); ++k) {
        // The empty key comes from lines of blanks and indented comments.
        if (!(*k).empty())
            check.warnings.push_back(format("%s: key \"%s\" stands above any section and is ignored (the settings "
                                            "go under [%s])", file.c_str(), (*k).c_str(), section));
    }
    bool variant = false;
    for (auto sec = ini.beginSection(); sec != ini.endSection(); ++sec) {
        if (*sec == section || strcasecmp((*sec).c_str(), section) != 0)
            continue;
        variant = true;
        if (present)
            check.warnings.push_back(format("%s: section [%s] is ignored (section names are case-sensitive; the "
                                            "settings are read from [%s])", file.c_str(), (*sec).c_str(), section));
        else
            check.errors.push_back(format("%s: section [%s] is not [%s] (section names are case-sensitive): its "
                                          "settings would be ignored", file.c_str(), (*sec).c_str(), section));
    }
    if (!present && !variant)
        check.warnings.push_back(format("%s: no key in [%s]: every setting is at its default", file.c_str(), section));
}

const char* kindOfFile(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// Why a reload would leave DeviceNetworks empty.
const char* whyNoNetworks(ConfigFile file, const SimpleIni& ini)
{
    if (file == ConfigFile::Missing)
        return "the file is missing";
    if (ini.beginKey(kConfigSection) == ini.endKey(kConfigSection))
        return "the file has no key in [SvrTarn]";
    if (ini.GetValue(kConfigSection, key::kDeviceNetworks, SimpleIni::kAbsent) == SimpleIni::kAbsent)
        return "the key is missing";
    return "its value is empty";
}

} // namespace

ConfigFile loadConfigFile(const std::string& path, SimpleIni& ini, std::string& why, bool* bomSkipped)
{
    ini.Free();
    ini.m_FileName = path;
    if (bomSkipped)
        *bomSkipped = false;
    // Without O_NONBLOCK opening a FIFO would wait for a writer, with the
    // PID lock held.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (err == ENOENT && lstat(path.c_str(), &st) != 0)
            return ConfigFile::Missing;
        why = err == ENOENT ? path + " is a symbolic link to nothing: it cannot be read"
                            : path + " cannot be read (" + std::strerror(err) + ")";
        return ConfigFile::Unreadable;
    }
    struct stat st;
    ConfigFile state = ConfigFile::Read;
    std::string text;
    if (fstat(fd, &st) != 0) {
        why = path + " cannot be read (" + std::strerror(errno) + ")";
        state = ConfigFile::Unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        why = path + " is not a regular file (" + kindOfFile(st.st_mode) + "): it is not read";
        state = ConfigFile::NotRegular;
    }
    char piece[kReadPiece];
    while (state == ConfigFile::Read) {
        const ssize_t n = read(fd, piece, sizeof(piece));
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = path + " cannot be read (" + std::strerror(errno) + ")";
            state = ConfigFile::Unreadable;
        } else if (text.size() + static_cast<size_t>(n) > kMaxConfigBytes) {
            why = format("%s is larger than %zu bytes: not a relaySvr configuration", path.c_str(), kMaxConfigBytes);
            state = ConfigFile::Unreadable;
        } else {
            text.append(piece, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (state != ConfigFile::Read)
        return state;
    if (text.compare(0, kUtf8BomSize, kUtf8Bom) == 0) {
        text.erase(0, kUtf8BomSize);
        if (bomSkipped)
            *bomSkipped = true;
    }
    std::istringstream in(text);
    ini.Read(in);  // a string stream cannot fail
    return state;
}

bool parseNetwork(const std::string& item, Network& out)
{
    const size_t slash = item.find('/');
    long bits = 32;
    if (slash != std::string::npos && !plainNumber(item.substr(slash + 1), 0, 32, bits))
        return false;
    in_addr a;
    if (inet_pton(AF_INET, item.substr(0, slash).c_str(), &a) != 1)
        return false;
    out.mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    out.addr = ntohl(a.s_addr) & out.mask;
    return true;
}

std::string describeNetwork(const Network& n)
{
    int bits = 0;
    for (uint32_t m = n.mask; m != 0; m <<= 1)
        ++bits;
    return dotted(htonl(n.addr)) + "/" + std::to_string(bits);
}

bool inNetworks(const std::vector<Network>& networks, uint32_t addrNet)
{
    if (networks.empty())
        return true;
    const uint32_t host = ntohl(addrNet);
    return std::any_of(networks.begin(), networks.end(),
                       [host](const Network& n) { return (host & n.mask) == n.addr; });
}

bool sameNetworks(const std::vector<Network>& a, const std::vector<Network>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Network& x, const Network& y) { return x.addr == y.addr && x.mask == y.mask; });
}

std::string describeListen(const std::vector<uint32_t>& addresses)
{
    if (addresses.empty())
        return "every IPv4 address";
    std::string list;
    for (uint32_t a : addresses)
        list += dotted(a) + " ";
    const bool requesters = std::count(addresses.begin(), addresses.end(), inet_addr(kRequesterAddress)) != 0;
    return requesters ? list.substr(0, list.size() - 1) : list + "and " + kRequesterAddress;
}

bool readSettings(const SimpleIni& ini, Settings& out, SettingsCheck& check)
{
    const char* const section = kConfigSection;
    const std::string file = ini.m_FileName.empty() ? std::string(kConfigFile) : ini.m_FileName;
    checkSections(ini, file, check);
    for (auto k = ini.beginKey(section); k != ini.endKey(section); ++k) {
        if (!(*k).empty() && !knownKey(*k))
            check.warnings.push_back(format("%s: unknown key \"%s\" in [%s] is ignored (keys are case-sensitive)",
                                            file.c_str(), (*k).c_str(), section));
    }
    Settings s;
    const std::string absent(SimpleIni::kAbsent);
    for (const KeyRule& rule : kKeys) {
        const std::string value = ini.GetValue(section, rule.name, absent);
        if (value != absent)
            rule.read(rule, KeyInput{ini, file, value}, s, check);
    }
    out = s;
    return check.errors.empty();
}

std::string describeSettings(const Settings& s)
{
    std::string text;
    for (const KeyRule& rule : kKeys)
        text += std::string(rule.name) + "=" + rule.show(rule, s) + "\n";
    return text;
}

ConfigReading readConfig(const std::string& path, SimpleIni& ini, const Settings* running)
{
    ConfigReading r;
    std::string why;
    bool bom = false;
    r.file = loadConfigFile(path, ini, why, &bom);
    if (r.file == ConfigFile::Missing) {
        std::error_code ec;
        const std::filesystem::path full = std::filesystem::absolute(path, ec);
        r.notes.push_back((ec ? path : full.string()) + " is missing: read as an empty file, every setting at its "
                                                        "default");
    } else if (r.file != ConfigFile::Read) {
        r.errors.push_back(why);
        return r;
    }
    if (bom)
        r.notes.push_back(path + ": the UTF-8 byte-order mark at the start of the file is skipped");
    if (r.file == ConfigFile::Read) {
        SettingsCheck check;
        readSettings(ini, r.settings, check);
        r.warnings = std::move(check.warnings);
        r.errors = std::move(check.errors);
    }
    if (running && r.usable() && !running->deviceNetworks.empty() && r.settings.deviceNetworks.empty())
        r.errors.push_back(format("%s: DeviceNetworks would become empty (%s), which admits devices from every "
                                  "address; a reload never does that (DeviceNetworks=0.0.0.0/0 does it on purpose)",
                                  path.c_str(), whyNoNetworks(r.file, ini)));
    return r;
}

} // namespace relay
