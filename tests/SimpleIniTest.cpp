// Tests of the settings store: the document model and its INI reader/writer.
#include "SimpleIni.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> sections(const SimpleIni& ini)
{
    std::vector<std::string> names;
    for (auto it = ini.beginSection(); it != ini.endSection(); ++it)
        names.push_back(*it);
    return names;
}

std::vector<std::string> keys(const SimpleIni& ini, const std::string& section)
{
    std::vector<std::string> names;
    for (auto it = ini.beginKey(section); it != ini.endKey(section); ++it)
        names.push_back(*it);
    return names;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

using Strings = std::vector<std::string>;

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

    std::string roundTrip(const std::string& text)
    {
        SimpleIni ini("");
        load(ini, text);
        return written(ini);
    }

    std::string dir_;
};

}  // namespace

// ---- Ordering ---------------------------------------------------------------

TEST(IniOrder, SectionsAndKeysListInByteOrderPrefixFirst)
{
    SimpleIni ini("");
    ini.SetValue("b", "k", "1");
    ini.SetValue("a", "k", "1");
    ini.SetValue("B", "k", "1");
    ini.SetValue("", "k", "1");
    EXPECT_EQ(sections(ini), (Strings{"", "B", "a", "b"}));

    ini.SetValue("S", "Port2", "");
    ini.SetValue("S", "Port10", "");
    ini.SetValue("S", "Port", "");
    EXPECT_EQ(keys(ini, "S"), (Strings{"Port", "Port10", "Port2"}));
}

TEST(IniOrder, BytesAbove0x7FSortAfterAscii)
{
    // With signed chars "\x80" and "\xff" would sort before "z".
    SimpleIni ini("");
    for (const char* name : {"\xff", "\x80", "z", "\x7f", "\x80\x01"})
        ini.SetValue("S", name, "");
    EXPECT_EQ(keys(ini, "S"), (Strings{"z", "\x7f", "\x80", "\x80\x01", "\xff"}));
}

TEST(IniOrder, IteratorIncrementReturnsPositionAfterMove)
{
    SimpleIni ini("");
    ini.SetValue("a", "x", "");
    ini.SetValue("b", "x", "");
    auto it = ini.beginSection();
    auto copy = ++it;
    EXPECT_EQ(*copy, "b");
    EXPECT_TRUE(copy == it);
    EXPECT_TRUE(++copy == ini.endSection());
    EXPECT_EQ(*it, "b");  // the copy moved, not the original

    // Positions survive insertions and removals of other entries.
    auto key = ini.beginKey("a");
    ini.SetValue("a", "w", "");
    ini.SetValue("a", "y", "");
    ini.DeleteKey("a", "w");
    EXPECT_EQ(*key, "x");
    EXPECT_EQ(*++key, "y");
}

// ---- Look-ups that must not create ------------------------------------------

TEST(IniPlainLookup, EmptyDocumentAnswersWithDefaults)
{
    SimpleIni ini("");
    EXPECT_TRUE(ini.m_FileName.empty());
    EXPECT_TRUE(ini.beginSection() == ini.endSection());
    EXPECT_TRUE(ini.beginKey("any") == ini.endKey("any"));
    EXPECT_EQ(ini.GetValue("S", "k", "dflt"), "dflt");
    EXPECT_EQ(ini.GetComment("S", "k"), "");
    EXPECT_EQ(ini.GetValue<int>("S", "k", 5000), 5000);
    EXPECT_TRUE(ini.m_Sections.empty());
}

TEST(IniPlainLookup, MissingEntriesLeaveTheListingUnchanged)
{
    SimpleIni ini("");
    ini.SetValue("S", "k", "v");
    EXPECT_EQ(ini.GetValue("S", "other", "d"), "d");
    EXPECT_EQ(ini.GetValue("T", "k", "d"), "d");
    EXPECT_EQ(ini.GetComment("T", "k"), "");
    EXPECT_EQ(ini.GetComment("S", "other"), "");
    EXPECT_EQ(ini.GetValue<int>("T", "k", 3), 3);
    // A missing section is an empty range even though other sections exist.
    EXPECT_TRUE(ini.beginKey("T") == ini.endKey("T"));
    EXPECT_EQ(sections(ini), Strings{"S"});
    EXPECT_EQ(keys(ini, "S"), Strings{"k"});
}

TEST(IniPlainLookup, NamesMatchExactly)
{
    SimpleIni ini("");
    ini.SetValue("S", "Port", "");
    EXPECT_EQ(ini.GetValue("S", "Port", "d"), "");  // a stored empty value is not missing
    EXPECT_EQ(ini.GetValue("S", "port", "d"), "d");
    EXPECT_EQ(ini.GetValue("S", "Port ", "d"), "d");
    EXPECT_EQ(ini.GetValue("s", "Port", "d"), "d");
}

// ---- Creating look-ups ------------------------------------------------------

TEST(IniCreatingLookup, SettersCreateAndKeepTheOtherField)
{
    SimpleIni ini("");
    ini.SetComment("S", "k", "note");
    EXPECT_EQ(ini.GetValue("S", "k", "d"), "");  // created with an empty value
    ini.SetValue("S", "k", "v");
    EXPECT_EQ(ini.GetComment("S", "k"), "note");
    ini.SetComment("S", "k", "other");
    EXPECT_EQ(ini.GetValue("S", "k", "d"), "v");
    ini.SetValue("New", "only", "1");
    EXPECT_EQ(keys(ini, "New"), Strings{"only"});
    EXPECT_TRUE(ini.m_Descriptions.empty());
}

TEST(IniCreatingLookup, DeleteKeyCreatesMissingSectionAndKeepsEmptiedOnes)
{
    SimpleIni ini("");
    ini.SetValue("S", "k", "v");
    ini.DeleteKey("S", "absent");
    EXPECT_EQ(keys(ini, "S"), Strings{"k"});

    ini.DeleteKey("S", "k");
    ini.DeleteKey("Ghost", "k");
    EXPECT_EQ(sections(ini), (Strings{"Ghost", "S"}));
    EXPECT_TRUE(ini.beginKey("S") == ini.endKey("S"));
}

TEST_F(IniFiles, DeleteKeyInMissingSectionIsWrittenAsBareHeader)
{
    SimpleIni ini("");
    ini.SetValue("A", "k", "1");
    ini.DeleteKey("B", "k");
    EXPECT_EQ(written(ini), "[A]\nk=1\n\n[B]\n");
}

// ---- Typed read ------------------------------------------------------------

TEST(IniTypedRead, IntFollowsStreamExtraction)
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
}

TEST(IniTypedRead, OtherTypesAndTextDefaultsPickTheRightOverload)
{
    SimpleIni ini("");
    ini.SetValue("S", "d", "2.5x");
    ini.SetValue("S", "big", "5000000000");
    EXPECT_DOUBLE_EQ(ini.GetValue<double>("S", "d", 0.0), 2.5);
    EXPECT_EQ(ini.GetValue("S", "big", 0LL), 5000000000LL);

    // A text default must give the text, not a stream-extracted word.
    ini.SetValue("S", "t", "two words");
    const char* def = "d";
    static_assert(std::is_same<decltype(ini.GetValue("S", "t", ";")), std::string>::value, "");
    static_assert(std::is_same<decltype(ini.GetValue("S", "t", def)), std::string>::value, "");
    EXPECT_EQ(ini.GetValue("S", "t", ";"), "two words");
    EXPECT_EQ(ini.GetValue("S", "none", def), "d");
}

// ---- Reader: line classes ---------------------------------------------------

TEST_F(IniFiles, KeyLinesSplitIntoKeyValueAndComment)
{
    SimpleIni ini("");
    load(ini,
         " key one = value one ;  kept as is \n"
         "bare\n"
         "=only value\n"
         "eq=a=b\n"
         "cut=a;b#c\n"
         "hash=a#b;c\n"
         "dup=1 ;first\n"
         "dup=2\n");
    EXPECT_EQ(keys(ini, ""), (Strings{"", "bare", "cut", "dup", "eq", "hash", "key one"}));
    EXPECT_EQ(ini.GetValue("", "key one", "d"), "value one");
    EXPECT_EQ(ini.GetComment("", "key one"), "  kept as is ");
    EXPECT_EQ(ini.GetValue("", "bare", "d"), "");
    EXPECT_EQ(ini.GetValue("", "", "d"), "only value");
    EXPECT_EQ(ini.GetValue("", "eq", "d"), "a=b");
    EXPECT_EQ(ini.GetValue("", "cut", "d"), "a");
    EXPECT_EQ(ini.GetComment("", "cut"), "b#c");
    EXPECT_EQ(ini.GetComment("", "hash"), "b;c");
    // The last line of a key wins whole, its missing comment included.
    EXPECT_EQ(ini.GetValue("", "dup", "d"), "2");
    EXPECT_EQ(ini.GetComment("", "dup"), "");
}

TEST_F(IniFiles, SectionHeaders)
{
    SimpleIni ini("");
    load(ini,
         "top=0\n"
         " [Indented]\n"
         "[ A ] ;lost\n"
         "a=1\n"
         "[]\n"
         "e=1\n"
         "[\n"
         "f=1\n"
         "[Open\n"
         "o=1\n"
         "[x]y]\n"
         "xy=1\n"
         "[Lonely]\n"
         "[A]\n"
         "b=2\n");
    EXPECT_EQ(sections(ini), (Strings{"", "A", "Open", "x"}));
    EXPECT_EQ(keys(ini, ""), (Strings{"[Indented]", "e", "f", "top"}));
    EXPECT_EQ(keys(ini, "A"), (Strings{"a", "b"}));  // both parts merged
    EXPECT_EQ(ini.GetComment("A", "a"), "");
    EXPECT_EQ(keys(ini, "x"), Strings{"xy"});
}

TEST_F(IniFiles, BlankAndIndentedCommentLinesSetTheEmptyKey)
{
    SimpleIni ini("");
    load(ini, "[S]\n   \n  ;first\n\t\n \t; second\nk=v\n");
    EXPECT_EQ(keys(ini, "S"), (Strings{"", "k"}));
    EXPECT_EQ(ini.GetComment("S", ""), " second");  // only the last stays
    EXPECT_TRUE(ini.m_Descriptions.empty());
}

TEST_F(IniFiles, EmptyFilesAndByteOrderMark)
{
    SimpleIni ini("");
    load(ini, "");
    EXPECT_TRUE(ini.m_Sections.empty());
    load(ini, "\n\n\r\n");
    EXPECT_TRUE(ini.m_Sections.empty());
    load(ini, "\xEF\xBB\xBF[S]\nk=v");  // last line without "\n" counts
    EXPECT_EQ(keys(ini, ""), (Strings{"k", "\xEF\xBB\xBF[S]"}));
}

TEST(IniReaderHelpers, TrimAndParasitCar)
{
    EXPECT_EQ(SimpleIni::Trim(" \t a b \t "), "a b");
    EXPECT_EQ(SimpleIni::Trim(" \t "), "");
    EXPECT_EQ(SimpleIni::Trim("\r x \f"), "\r x \f");

    const std::pair<std::string, std::string> cases[] = {
        {"a\r", "a"}, {"a\r\r", "a\r"}, {std::string("a\0", 2), "a"}, {"\x1f", ""},
        {"a\x7f", "a\x7f"}, {"a\x80", "a\x80"}, {"a ", "a "}, {"a \x20", "a  "}, {"", ""},
    };
    for (auto c : cases) {
        std::string line = c.first;
        SimpleIni::ParasitCar(line);
        EXPECT_EQ(line, c.second);
    }
}

// ---- CRLF and control bytes --------------------------------------------------

TEST_F(IniFiles, CrLfLoadsLikeLfExceptForInnerControlBytes)
{
    SimpleIni lf(""), crlf("");
    load(lf, ";d\n[S]\nk = v ;c\n");
    load(crlf, ";d\r\n[S]\r\nk = v ;c\r\n");
    EXPECT_EQ(lf.m_Sections.at("S").at("k").comment, crlf.m_Sections.at("S").at("k").comment);
    EXPECT_EQ(lf.m_Descriptions, crlf.m_Descriptions);
    EXPECT_EQ(written(lf), written(crlf));

    SimpleIni ini("");
    load(ini, "[S]\r\na=v\x01\r\nb=v\r\r\nc=v;x\r\r\n\t\r\n");
    EXPECT_EQ(ini.GetValue("S", "a", "d"), "v\x01");
    EXPECT_EQ(ini.GetValue("S", "b", "d"), "v\r");
    EXPECT_EQ(ini.GetComment("S", "c"), "x\r");
    // A tab before the CR stays: a line of blanks, hence the empty key.
    EXPECT_EQ(keys(ini, "S"), (Strings{"", "a", "b", "c"}));
}

// ---- Descriptions ------------------------------------------------------------

TEST_F(IniFiles, CommentBlocksBecomeDescriptions)
{
    SimpleIni ini("");
    load(ini,
         ";\n"           // empty piece at the start of a block adds nothing
         "; a\n"
         ";\n"           // in the middle: an empty piece
         "\n"            // empty lines do not end the block
         "#b\n"
         ";\n"           // at the end: a final "\n"
         "[S]\n"
         ";for k\n"
         "k=1\n"
         ";above lonely\n"
         "[Lonely]\n"
         ";[S] again\n"
         "[S]\n"
         ";dropped\n");
    EXPECT_EQ(ini.m_Descriptions.at("S").at(""), "[S] again");  // second header replaces
    EXPECT_EQ(ini.m_Descriptions.at("S").at("k"), "for k");
    EXPECT_EQ(ini.m_Descriptions.at("Lonely").at(""), "above lonely");
    EXPECT_EQ(sections(ini), Strings{"S"});
    EXPECT_EQ(ini.m_Descriptions.size(), 2u);

    load(ini, ";\n; a\n;\n\n#b\n;\nk=1\n");
    EXPECT_EQ(ini.m_Descriptions.at("").at("k"), " a\n\nb\n");
    EXPECT_EQ(written(ini), "# a\n#\n#b\nk=1\n");
}

TEST_F(IniFiles, DescriptionsSurviveFreeAndASecondLoad)
{
    SimpleIni ini("");
    load(ini, "[S]\n;old k\nk=1\n;old j\nj=1\n");
    writeFile(path("second.ini"), "[S]\nk=2\n;new j\nj=2\n");
    ASSERT_TRUE(ini.Load(path("second.ini")));
    EXPECT_EQ(ini.m_FileName, path("second.ini"));
    EXPECT_EQ(written(ini), "[S]\n#new j\nj=2\n#old k\nk=2\n");

    ini.Free();
    EXPECT_TRUE(ini.m_Sections.empty());
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

TEST_F(IniFiles, SaveUsesTheLoadedPathAndFailsWithoutOne)
{
    SimpleIni fresh("");
    EXPECT_FALSE(fresh.Save());

    writeFile(path("conf.ini"), "k = v\n");
    SimpleIni ini(path("conf.ini"));
    ini.SetValue("", "n", "1");
    EXPECT_TRUE(ini.SaveAs(path("copy.ini")));
    EXPECT_EQ(ini.m_FileName, path("conf.ini"));
    EXPECT_TRUE(ini.Save());
    EXPECT_EQ(readFile(path("conf.ini")), "k=v\nn=1\n");
    EXPECT_FALSE(ini.SaveAs(path("no/such/dir.ini")));
}

TEST_F(IniFiles, WorkedExampleIsWrittenBackByteForByte)
{
    EXPECT_EQ(roundTrip(";first\nb = 2 ;two\n[S]\n\n#about y\ny=1\nx\n;end\n"),
              "#first\nb=2\t;two\n\n[S]\nx=\n#about y\ny=1\n");
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
    EXPECT_GE(cases, 6);
}

// ---- Constructor and failures --------------------------------------------------

TEST_F(IniFiles, ConstructorLoadsOrThrowsTheExactText)
{
    writeFile(path("a.ini"), "[SvrTarn]\nPort=6000\n");
    SimpleIni ini(path("a.ini"));
    EXPECT_EQ(ini.GetValue<int>("SvrTarn", "Port", 5000), 6000);
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

TEST_F(IniFiles, FailedLoadEmptiesSectionsAndRecordsThePath)
{
    SimpleIni ini("");
    load(ini, ";d\nk=v\n");
    EXPECT_FALSE(ini.Load(path("missing.ini")));
    EXPECT_TRUE(ini.m_Sections.empty());
    EXPECT_EQ(ini.m_FileName, path("missing.ini"));
    EXPECT_EQ(ini.m_Descriptions.at("").at("k"), "d");
}

// A directory opens for reading on Linux, but its first read fails.
TEST_F(IniFiles, ReadErrorMakesLoadFail)
{
    SimpleIni ini("");
    ini.SetValue("S", "k", "v");
    EXPECT_FALSE(ini.Load(dir_));
    EXPECT_TRUE(ini.m_Sections.empty());
    EXPECT_EQ(ini.m_FileName, dir_);
    EXPECT_THROW(SimpleIni{dir_}, std::string);
}

TEST_F(IniFiles, BlankPortMeansTheDefault)
{
    SimpleIni ini("");
    load(ini, "[SvrTarn]\nPort=\n");
    EXPECT_EQ(ini.GetValue<int>("SvrTarn", "Port", 5000), 5000);
    load(ini, "[SvrTarn]\nPort = \t ;none\n");
    EXPECT_EQ(ini.GetValue<int>("SvrTarn", "Port", 5000), 5000);
}

TEST(IniWriteFailure, FullDeviceIsReportedAsFailure)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    SimpleIni ini("");
    ini.SetValue("S", "k", "v");
    EXPECT_FALSE(ini.SaveAs("/dev/full"));
}
