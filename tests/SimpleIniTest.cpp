// Tests of the settings store: the document model and its INI reader/writer.
// The reader's line classes and the load-then-save normalisation are checked
// through the golden files in data/ini (NAME.ini is loaded, saved and compared
// byte for byte with NAME.expected); the tests here cover what a written file
// cannot show.
#include "SimpleIni.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
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
    // A full disk: the open succeeds, the writes do not.
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(ini.SaveAs("/dev/full"));
    }
    EXPECT_FALSE(ini.SaveAs(path("no/such/dir.ini")));
    ini.Load(path("no/such/dir.ini"));
    EXPECT_FALSE(ini.Save());
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
