// Tests of the settings store: the document model and its INI reader/writer.
// The reader's line classes and the load-then-save normalisation are checked
// through the golden files in data/ini (NAME.ini is loaded, saved and compared
// byte for byte with NAME.expected); the tests here cover what a written file
// cannot show.
#include "SimpleIni.h"
#include "IniNames.h"
#include "SaveHooks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

// The listing through the iterators: "[name]" for each section, then its keys.
Strings listing(const SimpleIni& ini)
{
    Strings names;
    for (auto sec = ini.beginSection(); sec != ini.endSection(); ++sec) {
        names.push_back("[" + *sec + "]");
        for (auto key = ini.beginKey(*sec); key != ini.endKey(*sec); ++key)
            names.push_back(*key);
    }
    return names;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The names in a directory, sorted: shows a temporary file left behind.
Strings entries(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return Strings(names.begin(), names.end());
}

mode_t modeOf(const std::string& path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Each test gets its own directory, removed afterwards.
class IniFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/simpleini_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Loads text through a file; the load must succeed.
    void load(SimpleIni& ini, const std::string& text)
    {
        writeFile(path("in.ini"), text);
        ASSERT_TRUE(ini.Load(path("in.ini")));
    }

    // What SaveAs writes for the store.
    std::string written(const SimpleIni& ini)
    {
        EXPECT_TRUE(ini.SaveAs(path("out.ini")));
        return readFile(path("out.ini"));
    }

    std::string dir_;
};

}  // namespace

// ---- Document model -----------------------------------------------------------

TEST(IniModel, ListsInUnsignedByteOrderPrefixFirst)
{
    SimpleIni ini("");
    for (const char* section : {"b", "a", "B", ""})
        ini.SetValue(section, "k", "1");
    // With signed chars "\x80" and "\xff" would sort before "z".
    for (const char* key : {"Port2", "Port10", "Port", "\xff", "\x80", "z", "\x7f", "\x80\x01"})
        ini.SetValue("S", key, "");
    EXPECT_EQ(listing(ini), (Strings{"[]", "k", "[B]", "k", "[S]", "Port", "Port10", "Port2", "z", "\x7f",
                                     "\x80", "\x80\x01", "\xff", "[a]", "k", "[b]", "k"}));

    // Prefix increment yields the position after the move.
    auto sec = ini.beginSection();
    EXPECT_EQ(*++sec, "B");
    EXPECT_EQ(*sec, "B");
    auto key = ini.beginKey("S");
    EXPECT_EQ(*++key, "Port10");
}

TEST(IniModel, PlainLookupsAnswerDefaultsAndCreateNothing)
{
    SimpleIni ini("");
    EXPECT_TRUE(ini.m_FileName.empty());
    EXPECT_TRUE(ini.beginSection() == ini.endSection());
    EXPECT_TRUE(ini.beginKey("T") == ini.endKey("T"));
    ini.SetValue("S", "Port", "");
    EXPECT_EQ(ini.GetValue("S", "Port", "d"), "");  // a stored empty value is not missing
    // Missing section, then missing keys: names match exactly.
    for (auto [section, key] : {std::pair{"T", "Port"}, {"S", "port"}, {"S", "Port "}, {"s", "Port"}}) {
        EXPECT_EQ(ini.GetValue(section, key, "d"), "d") << section << '/' << key;
        EXPECT_EQ(ini.GetComment(section, key), "");
        EXPECT_EQ(ini.GetValue<int>(section, key, 3), 3);
    }
    // A missing section is an empty range even though other sections exist.
    EXPECT_TRUE(ini.beginKey("T") == ini.endKey("T"));
    EXPECT_EQ(listing(ini), (Strings{"[S]", "Port"}));
}

TEST_F(IniFiles, SettersAndDeleteKeyCreateWhatIsMissing)
{
    SimpleIni ini("");
    ini.SetComment("S", "k", "note");
    EXPECT_EQ(ini.GetValue("S", "k", "d"), "");  // created with an empty value
    ini.SetValue("S", "k", "v");
    EXPECT_EQ(ini.GetComment("S", "k"), "note");
    ini.SetComment("S", "k", "other");
    EXPECT_EQ(ini.GetValue("S", "k", "d"), "v");

    ini.SetValue("S", "j", "1");
    ini.DeleteKey("S", "absent");
    ini.DeleteKey("S", "k");
    ini.SetValue("Emptied", "k", "1");
    ini.DeleteKey("Emptied", "k");
    ini.DeleteKey("Ghost", "k");
    EXPECT_EQ(listing(ini), (Strings{"[Emptied]", "[Ghost]", "[S]", "j"}));
    EXPECT_EQ(written(ini), "[Emptied]\n\n[Ghost]\n\n[S]\nj=1\n");
    EXPECT_TRUE(ini.m_Descriptions.empty());
}

TEST(IniModel, TypedReadFollowsStreamExtraction)
{
    struct Case { const char* stored; int expected; };
    const Case cases[] = {
        {"6000", 6000}, {"007", 7}, {"+5", 5}, {"-12", -12}, {"  42", 42}, {"\t\n\v\f\r42", 42},
        {"12abc", 12}, {"3.9", 3}, {"4 2", 4}, {"0x1A", 0}, {"abc", 0}, {"-", 0},
        {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
        // Absence marker, empty and blank values: the caller's default.
        {";", 77}, {"", 77}, {" ", 77}, {" \t\n\v\f\r", 77},
    };
    SimpleIni ini("");
    for (const Case& c : cases) {
        ini.SetValue("S", "k", c.stored);
        EXPECT_EQ(ini.GetValue<int>("S", "k", 77), c.expected) << "stored \"" << c.stored << '"';
    }
    ini.SetValue("S", "d", "2.5x");
    ini.SetValue("S", "big", "5000000000");
    EXPECT_DOUBLE_EQ(ini.GetValue<double>("S", "d", 0.0), 2.5);
    EXPECT_EQ(ini.GetValue("S", "big", 0LL), 5000000000LL);

    // A text default selects the text overload: the whole value, not one word.
    ini.SetValue("S", "t", "two words");
    const char* def = "d";
    static_assert(std::is_same<decltype(ini.GetValue("S", "t", def)), std::string>::value, "");
    EXPECT_EQ(ini.GetValue("S", "t", ";"), "two words");
    EXPECT_EQ(ini.GetValue("S", "t", std::string("x")), "two words");

    // Naming std::string reads one word, as for any other type.
    static_assert(std::is_same<decltype(ini.GetValue<std::string>("S", "t", "d")), std::string>::value, "");
    ini.SetValue("S", "h", "  hello world");
    EXPECT_EQ(ini.GetValue<std::string>("S", "h", "d"), "hello");
    EXPECT_EQ(ini.GetValue<std::string>("S", "missing", "d"), "d");
    ini.SetValue("S", "blank", " \t");
    EXPECT_EQ(ini.GetValue<std::string>("S", "blank", std::string("d")), "d");
}

// Words for bool, numbers for 8-bit types (range-checked), no wrap-round of
// negative numbers for unsigned types; kDef stands for the caller's default.
TEST(IniModel, TypedReadsOfSwitchesAndSmallNumbers)
{
    const long long kDef = LLONG_MIN;
    const long long kMaxUnsigned = UINT_MAX;
    struct Row { const char* stored; long long asBool, asUint8, asInt8, asUnsigned; };
    const Row rows[] = {
        // stored         bool  uint8_t int8_t unsigned
        {"true",          1,    0,      0,     0},
        {"TRUE",          1,    0,      0,     0},
        {" Yes\t",        1,    0,      0,     0},
        {"oN",            1,    0,      0,     0},
        {"1",             1,    1,      1,     1},
        {"False",         0,    0,      0,     0},
        {"NO",            0,    0,      0,     0},
        {"off",           0,    0,      0,     0},
        {"0",             0,    0,      0,     0},
        {"2",             kDef, 2,      2,     2},
        {"yes please",    kDef, 0,      0,     0},
        {"42",            kDef, 42,     42,    42},
        {"12abc",         kDef, 12,     12,    12},
        {"127",           kDef, 127,    127,   127},
        {"255",           kDef, 255,    kDef,  255},
        {"256",           kDef, kDef,   kDef,  256},
        {"-1",            kDef, kDef,   -1,    kDef},
        {"-128",          kDef, kDef,   -128,  kDef},
        {"-129",          kDef, kDef,   kDef,  kDef},
        {"4294967296",    kDef, kDef,   kDef,  kMaxUnsigned},   // as before: the nearest limit
        {"",              kDef, kDef,   kDef,  kDef},
        {";",             kDef, kDef,   kDef,  kDef},
    };
    const uint8_t defUint8 = 7;
    const int8_t defInt8 = -7;
    const unsigned defUnsigned = 77;
    auto want = [&](long long expected, long long def) { return expected == kDef ? def : expected; };
    SimpleIni ini("");
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("stored \"") + r.stored + '"');
        ini.SetValue("S", "k", r.stored);
        for (const bool def : {false, true})
            EXPECT_EQ(ini.GetValue<bool>("S", "k", def), r.asBool == kDef ? def : r.asBool == 1);
        EXPECT_EQ(static_cast<long long>(ini.GetValue<uint8_t>("S", "k", defUint8)), want(r.asUint8, defUint8));
        EXPECT_EQ(static_cast<long long>(ini.GetValue<int8_t>("S", "k", defInt8)), want(r.asInt8, defInt8));
        EXPECT_EQ(static_cast<long long>(ini.GetValue<unsigned>("S", "k", defUnsigned)),
                  want(r.asUnsigned, defUnsigned));
    }
    ini.SetValue("S", "k", "-5");
    EXPECT_EQ(ini.GetValue<unsigned long long>("S", "k", 9ULL), 9ULL);
    ini.SetValue("S", "k", "42");
    EXPECT_EQ(ini.GetValue<char>("S", "k", 'd'), '4');   // char stays a character
}

// ---- Reader -------------------------------------------------------------------

TEST(IniReader, TrimAndParasitCar)
{
    EXPECT_EQ(SimpleIni::Trim(" \t a b \t "), "a b");
    EXPECT_EQ(SimpleIni::Trim(" \t "), "");
    EXPECT_EQ(SimpleIni::Trim("\r x \f"), "\r x \f");

    const std::pair<std::string, std::string> cases[] = {
        {"a\r", "a"}, {"a\r\r", "a\r"}, {std::string("a\0", 2), "a"}, {"\x1f", ""},
        {"a\x7f", "a\x7f"}, {"a\x80", "a\x80"}, {"a ", "a "}, {"", ""},
    };
    for (auto c : cases) {
        std::string line = c.first;
        SimpleIni::ParasitCar(line);
        EXPECT_EQ(line, c.second);
    }
}

// Descriptions that are never written, the final "\n" of a block and the value
// of the empty key exist in the store only.
TEST_F(IniFiles, ReaderKeepsWhatTheWrittenFormDoesNotShow)
{
    SimpleIni ini("");
    load(ini, ";\n; a\n;\n\n#b\n;\n=top value\n"
              ";first S\n[S]\n;for k\nk=1\n;above lonely\n[Lonely]\n;[S] again\n[S]\n;dropped\n");
    EXPECT_EQ(ini.GetValue("", "", "d"), "top value");
    EXPECT_EQ(ini.m_Descriptions, (SimpleIni::DescriptionMap{
                                      {"", {{"", " a\n\nb\n"}}},
                                      {"Lonely", {{"", "above lonely"}}},
                                      {"S", {{"", "[S] again"}, {"k", "for k"}}}}));
    EXPECT_EQ(listing(ini), (Strings{"[]", "", "[S]", "k"}));
}

TEST_F(IniFiles, DescriptionsSurviveFreeAndASecondLoad)
{
    SimpleIni ini("");
    load(ini, "[S]\n;old k\nk=1\n;old j\nj=1\n");
    writeFile(path("second.ini"), "[S]\nk=2\n;new j\nj=2\n");
    ASSERT_TRUE(ini.Load(path("second.ini")));
    EXPECT_EQ(written(ini), "[S]\n#new j\nj=2\n#old k\nk=2\n");

    ini.Free();
    EXPECT_TRUE(ini.m_Sections.empty());
    EXPECT_EQ(ini.m_FileName, path("second.ini"));
    ini.SetValue("S", "k", "3");
    EXPECT_EQ(written(ini), "[S]\n#old k\nk=3\n");
}

// ---- Writer ---------------------------------------------------------------------

TEST_F(IniFiles, WrittenForm)
{
    SimpleIni ini("");
    EXPECT_EQ(written(ini), "");

    ini.m_Descriptions["S"][""] = "about S";
    ini.m_Descriptions["S"]["k"] = "one\n\nthree\n";
    ini.SetComment("S", "", "empty key");
    ini.SetValue("S", "", "never written");
    ini.SetValue("S", "k", " raw;#\tvalue ");
    ini.SetComment("S", "k", "c");
    ini.SetValue("", "top", "1");
    EXPECT_EQ(written(ini),
              "top=1\n"
              "\n"
              "#about S\n"
              "[S]\n"
              "#about S\n"           // the section's description again, for its empty key
              "#empty key\n"
              "#one\n#\n#three\n"
              "k= raw;#\tvalue \t;c\n");
    EXPECT_TRUE(ini.m_FileName.empty());
    EXPECT_EQ(ini.m_Descriptions.size(), 1u);  // writing looked up, did not create
}

TEST_F(IniFiles, SaveWritesToTheLoadedPathAndReportsFailure)
{
    EXPECT_FALSE(SimpleIni("").Save());

    writeFile(path("conf.ini"), "k = v\n");
    SimpleIni ini(path("conf.ini"));
    ini.SetValue("", "n", "1");
    EXPECT_TRUE(ini.SaveAs(path("copy.ini")));
    EXPECT_EQ(ini.m_FileName, path("conf.ini"));
    EXPECT_TRUE(ini.Save());
    EXPECT_EQ(readFile(path("conf.ini")), "k=v\nn=1\n");
    EXPECT_FALSE(ini.SaveAs(path("no/such/dir.ini")));
    EXPECT_FALSE(ini.SaveAs(""));
    ini.Load(path("no/such/dir.ini"));
    EXPECT_FALSE(ini.Save());
}

// ---- Replacing files ---------------------------------------------------------------

namespace {

// Exit statuses of a child that saves.
const int kChildSaved = 0;
const int kChildFailed = 1;
const int kChildCannotSetUp = 2;
const auto kChildDeadline = std::chrono::seconds(10);
const auto kChildPoll = std::chrono::milliseconds(5);

// Waits for the child until the deadline, then kills it. False on timeout.
bool waitForChild(pid_t child, int& status)
{
    for (const auto deadline = std::chrono::steady_clock::now() + kChildDeadline;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(kChildPoll))
        if (waitpid(child, &status, WNOHANG) == child)
            return true;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
}

}  // namespace

// A file-size limit makes the writes fail part-way, as a full disk would.
TEST_F(IniFiles, FailedSaveLeavesTheOldFileWhole)
{
    const rlim_t limit = 4096;
    const size_t bigValue = 16 * limit;
    const std::string old = "[S]\nk=old\n";
    writeFile(path("conf.ini"), old);
    SimpleIni ini("");
    ini.SetValue("S", "k", std::string(bigValue, 'x'));

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // Ignored, SIGXFSZ turns into EFBIG from write instead of a kill.
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit fsize = {limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &fsize) != 0)
            _exit(kChildCannotSetUp);
        _exit(ini.SaveAs(path("conf.ini")) ? kChildSaved : kChildFailed);
    }
    int status = 0;
    ASSERT_TRUE(waitForChild(child, status));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), kChildFailed);
    EXPECT_EQ(readFile(path("conf.ini")), old);
    EXPECT_EQ(entries(dir_), Strings{"conf.ini"});
}

TEST_F(IniFiles, ALinkStaysALinkAndPermissionsStay)
{
    const mode_t kept = 0640;
    const mode_t mask = 027;
    const mode_t newFile = 0666;
    fs::create_directory(path("real"));
    writeFile(path("real/conf.ini"), "k=old\n");
    ASSERT_EQ(chmod(path("real/conf.ini").c_str(), kept), 0);
    // A chain of two links, the first relative to its own directory.
    ASSERT_EQ(symlink("real/conf.ini", path("link.ini").c_str()), 0);
    ASSERT_EQ(symlink(path("link.ini").c_str(), path("chain.ini").c_str()), 0);
    ASSERT_EQ(link(path("real/conf.ini").c_str(), path("real/hard.ini").c_str()), 0);

    SimpleIni ini("");
    ini.SetValue("", "k", "new");
    EXPECT_TRUE(ini.SaveAs(path("chain.ini")));
    EXPECT_EQ(readFile(path("real/hard.ini")), "k=old\n");
    EXPECT_TRUE(S_ISLNK(modeOf(path("chain.ini"))));
    EXPECT_TRUE(S_ISLNK(modeOf(path("link.ini"))));
    EXPECT_EQ(fs::read_symlink(path("link.ini")), "real/conf.ini");
    EXPECT_EQ(readFile(path("real/conf.ini")), "k=new\n");
    EXPECT_EQ(modeOf(path("real/conf.ini")), S_IFREG | kept);

    // A dangling link: its target comes into being with 0666 less the umask.
    ASSERT_EQ(symlink("real/new.ini", path("dangling.ini").c_str()), 0);
    const mode_t previous = umask(mask);
    EXPECT_TRUE(ini.SaveAs(path("dangling.ini")));
    umask(previous);
    EXPECT_TRUE(S_ISLNK(modeOf(path("dangling.ini"))));
    EXPECT_EQ(readFile(path("real/new.ini")), "k=new\n");
    EXPECT_EQ(modeOf(path("real/new.ini")), S_IFREG | (newFile & ~mask));

    EXPECT_EQ(entries(dir_), (Strings{"chain.ini", "dangling.ini", "link.ini", "real"}));
    EXPECT_EQ(entries(path("real")), (Strings{"conf.ini", "hard.ini", "new.ini"}));
}

// The directory would allow the rename; the file's own bits must forbid it.
// Root may write any file, so a child of root saves as nobody.
TEST_F(IniFiles, AFileThatMayNotBeWrittenIsLeftAlone)
{
    const uid_t nobody = 65534;
    const mode_t everyone = 0777;
    const mode_t readOnly = 0444;
    writeFile(path("conf.ini"), "k=old\n");
    ASSERT_EQ(chmod(path("conf.ini").c_str(), readOnly), 0);
    ASSERT_EQ(chmod(dir_.c_str(), everyone), 0);
    SimpleIni ini("");
    ini.SetValue("", "k", "new");

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(kChildCannotSetUp);
        // A new file in the same directory proves that the directory was not
        // what refused.
        if (!ini.SaveAs(path("new.ini")))
            _exit(kChildCannotSetUp);
        _exit(ini.SaveAs(path("conf.ini")) ? kChildSaved : kChildFailed);
    }
    int status = 0;
    ASSERT_TRUE(waitForChild(child, status));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == kChildCannotSetUp)
        GTEST_SKIP() << "cannot save as another user here";
    EXPECT_EQ(WEXITSTATUS(status), kChildFailed);
    EXPECT_EQ(readFile(path("conf.ini")), "k=old\n");
    EXPECT_EQ(entries(dir_), (Strings{"conf.ini", "new.ini"}));
}

// A FIFO and private nodes with the numbers of /dev/null and /dev/full are
// written in place: a failed save must not leave a regular file where the
// device was.
TEST_F(IniFiles, AFifoOrADeviceIsWrittenInPlaceAndNeverReplaced)
{
    const mode_t ownerOnly = 0600;
    SimpleIni ini("");
    ini.SetValue("S", "k", "v");
    ASSERT_EQ(mkfifo(path("pipe").c_str(), ownerOnly), 0);
    // Opened first, so that SaveAs's open finds a reader and does not wait.
    const int reader = open(path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(ini.SaveAs(path("pipe")));
    char buf[64] = {};
    const ssize_t n = read(reader, buf, sizeof buf);
    close(reader);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "[S]\nk=v\n");
    EXPECT_TRUE(S_ISFIFO(modeOf(path("pipe"))));

    if (mknod(path("null").c_str(), S_IFCHR | ownerOnly, makedev(1, 3)) != 0
        || mknod(path("full").c_str(), S_IFCHR | ownerOnly, makedev(1, 7)) != 0)
        GTEST_SKIP() << "no right to create device nodes";
    const int probe = open(path("null").c_str(), O_WRONLY);
    if (probe < 0)
        GTEST_SKIP() << "device nodes do not open on this file system";
    close(probe);
    EXPECT_TRUE(ini.SaveAs(path("null")));
    EXPECT_FALSE(ini.SaveAs(path("full")));
    for (const char* node : {"null", "full"})
        EXPECT_TRUE(S_ISCHR(modeOf(path(node)))) << node;
    EXPECT_EQ(entries(dir_), (Strings{"full", "null", "pipe"}));
}

// ---- What a save keeps, and what it never shows -------------------------------------

namespace {

const uid_t kNobody = 65534;
// A group known by number only: the saver of a test takes it as a
// supplementary group, so that no group has to be added to the system.
const gid_t kTeam = 4242;
const size_t kFileSizeLimit = 4096;

ino_t inodeOf(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// An extended attribute's value; "(none)" when the file has none by that name.
std::string attribute(const std::string& path, const char* name)
{
    char value[512];
    const ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? "(none)" : std::string(value, static_cast<size_t>(n));
}

// In a child of root: becomes nobody, a member of the groups given.
bool becomeNobody(const std::vector<gid_t>& groups)
{
    return setgroups(groups.size(), groups.data()) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

bool readableWithin(int fd, std::chrono::milliseconds wait)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(wait.count())) == 1;
}

}  // namespace

// A second saver renames its new file over the target just after this one
// first looked at it. What that look found is what is replaced; the file
// renamed in is never written (an in-place write there could leave it empty).
TEST_F(IniFiles, AFileRenamedOverTheTargetMidSaveIsReplacedNotWritten)
{
    writeFile(path("conf.ini"), "k=old\n");
    writeFile(path("other.ini"), "k=other\n");
    ASSERT_EQ(link(path("other.ini").c_str(), path("other.keep").c_str()), 0);
    SimpleIni ini("");
    ini.SetValue("", "k", "new");
    saveHooks::renameAfterNextLook(path("other.ini"), path("conf.ini"));
    EXPECT_TRUE(ini.SaveAs(path("conf.ini")));
    ASSERT_TRUE(saveHooks::renameHappened());
    EXPECT_EQ(readFile(path("other.keep")), "k=other\n");
    EXPECT_EQ(readFile(path("conf.ini")), "k=new\n");
    EXPECT_NE(inodeOf(path("conf.ini")), inodeOf(path("other.keep")));
    EXPECT_EQ(entries(dir_), (Strings{"conf.ini", "other.keep"}));
}

// The ACL's mask shows as the mode's group bits: a lost ACL would leave the
// mode equal and its meaning changed, so the ACL itself is compared.
TEST_F(IniFiles, ASaveKeepsOwnerGroupModeAclAndAttributes)
{
    const uid_t reader = 4243;
    const mode_t everyone = 0777;
    struct Case { const char* what; bool asNobody; uid_t owner; mode_t mode; uid_t ownerAfter; };
    const Case cases[] = {
        {"root saves another user's file", false, kNobody, 0640, kNobody},
        // Only root may give a file away: the file becomes the saver's, its
        // group stays.
        {"a member of the file's group saves it", true, 0, 0660, kNobody},
    };
    ASSERT_EQ(chmod(dir_.c_str(), everyone), 0);
    const std::string conf = path("conf.ini");
    const std::string acl = "u:" + std::to_string(reader) + ":r,m::rw";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(conf, "k=old\n");
        ASSERT_EQ(chown(conf.c_str(), c.owner, kTeam), 0);
        ASSERT_EQ(chmod(conf.c_str(), c.mode), 0);
        if (std::system(("setfacl -m " + acl + " " + conf + " 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "no ACL here: setfacl (package acl) missing or the file system has no ACLs";
        const bool withAttribute = setxattr(conf.c_str(), "user.origin", "kept", 4, 0) == 0;
        struct stat before{};
        ASSERT_EQ(stat(conf.c_str(), &before), 0);
        const std::string aclBefore = attribute(conf, "system.posix_acl_access");
        ASSERT_NE(aclBefore, "(none)");

        SimpleIni ini("");
        ini.SetValue("", "k", "new");
        if (c.asNobody) {
            const pid_t child = fork();
            ASSERT_NE(child, -1);
            if (child == 0) {
                if (!becomeNobody({kTeam}))
                    _exit(kChildCannotSetUp);
                _exit(ini.SaveAs(conf) ? kChildSaved : kChildFailed);
            }
            int status = 0;
            ASSERT_TRUE(waitForChild(child, status));
            ASSERT_TRUE(WIFEXITED(status)) << status;
            ASSERT_EQ(WEXITSTATUS(status), kChildSaved);
        } else {
            ASSERT_TRUE(ini.SaveAs(conf));
        }

        EXPECT_EQ(readFile(conf), "k=new\n");
        struct stat after{};
        ASSERT_EQ(stat(conf.c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, c.ownerAfter);
        EXPECT_EQ(after.st_gid, kTeam);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(attribute(conf, "system.posix_acl_access"), aclBefore);
        if (withAttribute) {
            EXPECT_EQ(attribute(conf, "user.origin"), "kept");
        }
        EXPECT_EQ(entries(dir_), Strings{"conf.ini"});
        ASSERT_EQ(unlink(conf.c_str()), 0);
    }
}

namespace {

// Exit statuses of saveAsPidOne's process: an outcome, with kPidOne added
// when the saver ran as PID 1.
enum SaveOutcome { kSaveDone, kSaveFailed, kSaveNotSetUp, kKilledMidWay, kNotKilledMidWay };
const int kPidOne = 8;
const int kOutcomeBits = 7;
const auto kMidSaveWait = std::chrono::seconds(10);

// The pipe through which the saver says that it is half-way.
int g_midSave = -1;

// Runs when a write would pass the file-size limit: the save is half-way.
void signalMidSave(int)
{
    const char byte = 'm';
    if (write(g_midSave, &byte, 1) == 1)
        for (;;)
            pause();
    _exit(kNotKilledMidWay);
}

// One save of ini to target by a process that, where allowed, runs in a PID
// namespace of its own and so always has PID 1, as in a container. With
// killMidWay the saver is killed with SIGKILL half-way through writing, as a
// crash or an out-of-memory kill would. Returns the process that does it (-1
// if none); its exit status is a SaveOutcome, plus kPidOne.
pid_t saveAsPidOne(const SimpleIni& ini, const std::string& target, bool killMidWay)
{
    const pid_t parent = fork();
    if (parent != 0)
        return parent;
    const int pidOne = unshare(CLONE_NEWPID) == 0 ? kPidOne : 0;
    int mark[2];
    if (pipe(mark) != 0)
        _exit(kSaveNotSetUp);
    const pid_t saver = fork();
    if (saver < 0)
        _exit(kSaveNotSetUp);
    if (saver == 0) {
        close(mark[0]);
        g_midSave = mark[1];
        const struct rlimit fsize = {kFileSizeLimit, kFileSizeLimit};
        if (killMidWay && (signal(SIGXFSZ, signalMidSave) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &fsize) != 0))
            _exit(kSaveNotSetUp);
        _exit(ini.SaveAs(target) ? kSaveDone : kSaveFailed);
    }
    close(mark[1]);
    int status = 0;
    if (!killMidWay) {
        waitpid(saver, &status, 0);
        _exit((WIFEXITED(status) ? WEXITSTATUS(status) : kSaveNotSetUp) | pidOne);
    }
    char byte = 0;
    const bool midSave = readableWithin(mark[0], kMidSaveWait) && read(mark[0], &byte, 1) == 1;
    kill(saver, SIGKILL);
    waitpid(saver, &status, 0);
    const bool killed = midSave && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    _exit((killed ? kKilledMidWay : kNotKilledMidWay) | pidOne);
}

// Runs saveAsPidOne and waits for it: the exit status, or -1.
int statusOfSaveAsPidOne(const SimpleIni& ini, const std::string& target, bool killMidWay)
{
    const pid_t parent = saveAsPidOne(ini, target, killMidWay);
    int status = 0;
    if (parent < 0 || !waitForChild(parent, status) || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace

// Temporary files with no name vanish with a killed saver; named ones (where
// a file system has no unnamed files) stay, and must never stop a later save,
// even one by a process with the same PID.
TEST_F(IniFiles, SavesKilledMidWayNeverStopTheNext)
{
    const int kills = 100;
    const size_t bigValue = 4 * kFileSizeLimit;
    SimpleIni big("");
    big.SetValue("S", "k", std::string(bigValue, 'x'));
    SimpleIni small("");
    small.SetValue("", "k", "new");
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary files" : "named temporary files");
        const std::string dir = path(unnamed ? "unnamed" : "named");
        const std::string conf = dir + "/conf.ini";
        ASSERT_TRUE(fs::create_directory(dir));
        writeFile(conf, "k=old\n");
        std::optional<saveHooks::NoUnnamedFiles> named;
        if (!unnamed)
            named.emplace();

        int pidOne = 0;
        for (int i = 0; i < kills; ++i) {
            const int status = statusOfSaveAsPidOne(big, conf, true);
            ASSERT_EQ(status & kOutcomeBits, kKilledMidWay) << status;
            pidOne += (status & kPidOne) != 0;
        }
        if (pidOne == 0)
            std::cout << "note: no PID namespace here, the killed savers had different PIDs\n";
        EXPECT_EQ(readFile(conf), "k=old\n");
        const Strings left = entries(dir);
        if (unnamed) {
            EXPECT_EQ(left, Strings{"conf.ini"});
        }

        EXPECT_EQ(statusOfSaveAsPidOne(small, conf, false) & kOutcomeBits, kSaveDone);
        EXPECT_EQ(readFile(conf), "k=new\n");
        EXPECT_EQ(entries(dir), left);
    }
}

// The temporary file's own name and the directory's path together would pass
// PATH_MAX: everything is done relative to the directory.
TEST_F(IniFiles, AFileNearThePathLimitIsSaved)
{
    const size_t longest = PATH_MAX - 1;   // PATH_MAX counts the final NUL
    const size_t dirName = 200;
    const size_t fileNameAtLeast = 20;
    std::string dir = dir_;
    while (dir.size() + 1 + dirName + 1 + fileNameAtLeast <= longest) {
        dir += "/" + std::string(dirName, 'd');
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir.size();
    }
    const std::string name(longest - dir.size() - 1, 'f');
    const std::string file = dir + "/" + name;
    ASSERT_EQ(file.size(), longest);

    SimpleIni ini("");
    for (const char* value : {"new", "again"}) {
        ini.SetValue("", "k", value);
        EXPECT_TRUE(ini.SaveAs(file)) << value;
        EXPECT_EQ(readFile(file), std::string("k=") + value + "\n");
    }
    EXPECT_EQ(entries(dir), Strings{name});
}

namespace {

// Exit status of a spy that read text it should not have.
const int kSpyRead = 1;
const auto kSpyPoll = std::chrono::milliseconds(1);
const size_t kSpyMostHeld = 512;

// As nobody, opens every name that appears in dir as soon as it appears, keeps
// what opens, and looks through it for secret until stop is readable (or
// closed). Exits with kSpyRead if it ever sees it.
[[noreturn]] void spy(const std::string& dir, const std::string& secret, int ready, int stop)
{
    const auto deadline = std::chrono::steady_clock::now() + kChildDeadline;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const int dirFd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!becomeNobody({}) || watch < 0 || dirFd < 0
        || inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0 || write(ready, "r", 1) != 1)
        _exit(kChildCannotSetUp);
    std::vector<int> held;
    auto shows = [&secret](int fd) {
        char text[256];
        const ssize_t n = pread(fd, text, sizeof text, 0);
        return n > 0 && std::string(text, static_cast<size_t>(n)).find(secret) != std::string::npos;
    };
    for (bool stopped = false; !stopped && std::chrono::steady_clock::now() < deadline;) {
        stopped = readableWithin(stop, kSpyPoll);
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;) {
            for (const char* at = events; at < events + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                at += sizeof(inotify_event) + event->len;
                const int fd = event->len > 0 ? openat(dirFd, event->name, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
                if (fd >= 0 && held.size() < kSpyMostHeld)
                    held.push_back(fd);
            }
        }
        for (const int fd : held)
            if (shows(fd))
                _exit(kSpyRead);
    }
    _exit(kChildSaved);
}

}  // namespace

// A root-owned 0600 file saved again and again while another user opens every
// name that appears beside it, at once, and reads later what it got.
TEST_F(IniFiles, SlowNoOtherUserReadsTheNewTextOfAPrivateFile)
{
    const int saves = 300;
    const mode_t searchable = 0755;
    const mode_t ownerOnly = 0600;
    const std::string secret = "s3cret";
    const std::string conf = path("conf.ini");
    ASSERT_EQ(chmod(dir_.c_str(), searchable), 0);
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary files" : "named temporary files");
        std::optional<saveHooks::NoUnnamedFiles> named;
        if (!unnamed)
            named.emplace();
        writeFile(conf, "k=old\n");
        ASSERT_EQ(chmod(conf.c_str(), ownerOnly), 0);
        int ready[2];
        int stop[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(stop, O_CLOEXEC), 0);
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            close(ready[0]);
            close(stop[1]);
            spy(dir_, secret, ready[1], stop[0]);
        }
        close(ready[1]);
        close(stop[0]);
        char byte = 0;
        const bool watching = readableWithin(ready[0], kChildDeadline) && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        SimpleIni ini("");
        int saved = 0;
        for (int i = 0; watching && i < saves; ++i) {
            ini.SetValue("", "k", secret + std::to_string(i));
            saved += ini.SaveAs(conf);
        }
        close(stop[1]);
        int status = 0;
        ASSERT_TRUE(waitForChild(child, status));
        ASSERT_TRUE(WIFEXITED(status)) << status;
        if (WEXITSTATUS(status) == kChildCannotSetUp)
            GTEST_SKIP() << "cannot watch the directory as another user here";
        EXPECT_EQ(saved, saves);
        EXPECT_EQ(WEXITSTATUS(status), kChildSaved) << "another user read the new text";
        EXPECT_EQ(modeOf(conf), S_IFREG | ownerOnly);
        EXPECT_EQ(entries(dir_), Strings{"conf.ini"});
    }
}

// ---- Refused documents ---------------------------------------------------------------

TEST_F(IniFiles, TextThatWouldReadAsOtherSectionsOrKeysIsRefused)
{
    struct Entry { std::string section, key, value, comment; };
    const Entry refused[] = {
        {"Note", "text", "hello\n[SvrTarn]\nPort=1", ""},
        {"Note", "text", "v", "c\n[SvrTarn]\nPort=1"},
        {"Note", "", "", "c\nPort=1"},           // the empty key's comment line
        {"Note", "Port=1", "v", ""},
        {"Note", "Port;x", "v", ""},
        {"Note", "#Port", "v", ""},
        {"Note", "a\nPort", "v", ""},
        {"Svr]Tarn", "k", "v", ""},
        {"Note\n[SvrTarn", "k", "v", ""},
    };
    const std::string old = "[SvrTarn]\nPort=5000\n";
    for (const Entry& e : refused) {
        writeFile(path("conf.ini"), old);
        SimpleIni ini("");
        ini.SetValue(e.section, e.key, e.value);
        if (!e.comment.empty())
            ini.SetComment(e.section, e.key, e.comment);
        EXPECT_FALSE(ini.SaveAs(path("conf.ini"))) << e.section << '/' << e.key;
        EXPECT_EQ(readFile(path("conf.ini")), old);
    }
    EXPECT_EQ(entries(dir_), Strings{"conf.ini"});

    // Accepted: what reads back differs in data, never in names.
    SimpleIni ini("");
    ini.SetValue("[S", "[k]", " a;b ");           // the key is written indented
    ini.SetValue("[S", "", "x\n[T]");             // the empty key's value is never written
    ini.SetValue("[S", "v", "1\r");               // a control byte ending a line is dropped
    ini.m_Descriptions["[S"]["v"] = "a\r\n[T]\r";
    EXPECT_EQ(written(ini), "[[S]\n\n [k]= a;b \n#a\r\n#[T]\r\nv=1\r\n");
    SimpleIni back(path("out.ini"));
    EXPECT_EQ(listing(back), (Strings{"[[S]", "[k]", "v"}));
    EXPECT_EQ(back.GetValue("[S", "[k]", "d"), "a");
    EXPECT_EQ(back.GetValue("[S", "v", "d"), "1");
    EXPECT_EQ(back.m_Descriptions["[S"]["v"], "a\n[T]");
}

// Random documents over the bytes that steer the reader: what Load produced is
// always saved, and nothing saved reads back with a name it did not hold.
TEST_F(IniFiles, SavedDocumentsReadBackWithNoNewNames)
{
    const unsigned seed = 20240611;
    const int rounds = 150;
    const size_t fileBytes = 80;
    const size_t nameBytes = 3;
    const int entriesPerDocument = 3;
    // Letters weigh more, so that some built documents are saved.
    const std::string alphabet = "[]=;# \t\r\n\x01" "aabbab";
    std::mt19937 random(seed);
    auto text = [&](size_t most) {
        std::string t(std::uniform_int_distribution<size_t>(0, most)(random), ' ');
        for (char& c : t)
            c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(random)];
        return t;
    };

    int saved = 0;
    for (int round = 0; round < rounds; ++round) {
        SimpleIni loaded("");
        load(loaded, text(fileBytes));
        ASSERT_TRUE(loaded.SaveAs(path("out.ini")));
        SimpleIni loadedBack(path("out.ini"));
        EXPECT_TRUE(namesWithin(loadedBack, loaded)) << readFile(path("in.ini"));

        SimpleIni built("");
        for (int i = 0; i < entriesPerDocument; ++i) {
            const std::string section = text(nameBytes);
            const std::string key = text(nameBytes);
            built.SetValue(section, key, text(nameBytes));
            built.SetComment(section, key, text(nameBytes));
            built.m_Descriptions[section][key] = text(nameBytes);
        }
        if (!built.SaveAs(path("out.ini")))
            continue;
        ++saved;
        SimpleIni builtBack(path("out.ini"));
        EXPECT_TRUE(namesWithin(builtBack, built)) << readFile(path("out.ini"));
    }
    EXPECT_GT(saved, rounds / 10);
    EXPECT_EQ(entries(dir_), (Strings{"in.ini", "out.ini"}));
}

// ---- Load-then-save normalisation: golden files ---------------------------------

TEST_F(IniFiles, GoldenFilesNormaliseAsExpected)
{
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(TEST_DATA_DIR) / "ini")) {
        if (entry.path().extension() != ".ini")
            continue;
        fs::path expected = entry.path();
        expected.replace_extension(".expected");
        SCOPED_TRACE(entry.path().filename().string());
        SimpleIni ini(entry.path().string());
        EXPECT_EQ(written(ini), readFile(expected.string()));
        EXPECT_TRUE(namesWithin(SimpleIni(path("out.ini")), ini));
        ++cases;
    }
    EXPECT_GE(cases, 11);
}

// ---- Constructor and failed loads --------------------------------------------------

TEST_F(IniFiles, ConstructorLoadsOrThrowsTheExactText)
{
    writeFile(path("a.ini"), "[SvrTarn]\nPort=6000\nBlank = \t ;none\n");
    SimpleIni ini(path("a.ini"));
    EXPECT_EQ(ini.GetValue<int>("SvrTarn", "Port", 5000), 6000);
    EXPECT_EQ(ini.GetValue<int>("SvrTarn", "Blank", 5000), 5000);
    EXPECT_EQ(ini.m_FileName, path("a.ini"));

    for (const std::string& name : {path("missing.ini"), std::string(" ")}) {
        try {
            SimpleIni bad(name);
            ADD_FAILURE() << "no exception for " << name;
        } catch (const std::string& e) {
            EXPECT_EQ(e, "Unable to open the file " + name + " in read mode.");
        }
    }
}

// A directory opens for reading on Linux, but its first read fails.
TEST_F(IniFiles, FailedLoadEmptiesSectionsAndRecordsThePath)
{
    SimpleIni ini("");
    load(ini, ";d\nk=v\n");
    for (const std::string& bad : {path("missing.ini"), dir_}) {
        load(ini, "k=v\n");
        EXPECT_FALSE(ini.Load(bad));
        EXPECT_TRUE(ini.m_Sections.empty());
        EXPECT_EQ(ini.m_FileName, bad);
    }
    EXPECT_EQ(ini.m_Descriptions.at("").at("k"), "d");
    EXPECT_THROW(SimpleIni{dir_}, std::string);
}
