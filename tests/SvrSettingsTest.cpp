// Unit tests of the settings of section SvrTarn: how relaySvr.ini is read
// and each key checked.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "SvrSettings.h"

namespace {

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

// What loading the file gives: a FIFO is not opened for reading (that would
// wait for a writer with the PID lock held), a byte-order mark is skipped,
// and only a missing file means the defaults.
TEST(SvrConfig, FileStatesDecideWhetherTheFileIsRead)
{
    char dir[] = "/tmp/svrsettings-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    ASSERT_EQ(mkfifo((d + "/fifo.ini").c_str(), 0600), 0);
    std::ofstream(d + "/bom.ini") << "\xEF\xBB\xBF[SvrTarn]\nPort=6000\n";
    std::ofstream(d + "/big.ini") << std::string(relay::kMaxConfigBytes + 1, ';');
    struct { const char* file; relay::ConfigFile state; const char* why; } cases[] = {
        {"fifo.ini", relay::ConfigFile::NotRegular, "fifo.ini is not a regular file (a FIFO)"},
        {"", relay::ConfigFile::NotRegular, "is not a regular file (a directory)"},
        {"missing.ini", relay::ConfigFile::Missing, ""},
        {"big.ini", relay::ConfigFile::Unreadable, "is larger than"},
        {"bom.ini", relay::ConfigFile::Read, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        SimpleIni ini("");
        ini.SetValue("SvrTarn", "Port", "7000");
        std::string why;
        bool bom = false;
        EXPECT_EQ(relay::loadConfigFile(d + "/" + c.file, ini, why, &bom), c.state);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_EQ(bom, c.state == relay::ConfigFile::Read);
        EXPECT_EQ(ini.GetValue("SvrTarn", "Port", ""), c.state == relay::ConfigFile::Read ? "6000" : "");
    }
    // The store's own Load keeps the mark as part of the first line.
    SimpleIni plain("");
    ASSERT_TRUE(plain.Load(d + "/bom.ini"));
    EXPECT_EQ(plain.GetValue("SvrTarn", "Port", ""), "");
    std::filesystem::remove_all(dir);
}

struct SettingsCase {
    const char* name;
    const char* text;     // the file
    const char* error;    // part of an error, "" for none
    const char* warning;  // part of a warning, "" for none
    const char* described;// part of describeSettings, "" to skip
};

TEST(SvrConfig, SettingsAreCheckedKeyByKey)
{
    const SettingsCase cases[] = {
        {"defaults", "[SvrTarn]\nPort=5000\n", "", "",
         "Port=5000 (listening on 5000)\nDeviceNetworks= (devices from any address)\n"
         "KeepAlive=60\nAckTimeout=30\nLogLevel=chunks\nStatusPort=0 (off)\nStatusAddress=127.0.0.1\n"},
        {"accepting defaults", "[SvrTarn]\nPort=5000\n", "", "",
         "ListenAddress= (every IPv4 address)\nMaxConnectionsPerAddress=0 (no cap)\nRequesterReserve=32\n"},
        {"listen addresses, each once", "[SvrTarn]\nListenAddress=10.0.0.1, 127.0.0.2 10.0.0.1", "", "",
         "ListenAddress=10.0.0.1 127.0.0.2 (and 127.0.0.1 for requesters)\n"},
        {"listening on the requesters' address too", "[SvrTarn]\nListenAddress=10.0.0.1 127.0.0.1", "", "",
         "ListenAddress=10.0.0.1 127.0.0.1\n"},
        {"listen address that is a network", "[SvrTarn]\nListenAddress=10.0.0.0/8", "cannot read \"10.0.0.0/8\"",
         "", ""},
        {"listen address that means every one", "[SvrTarn]\nListenAddress=0.0.0.0", "leave ListenAddress empty",
         "", ""},
        {"listen address after a comment marker", "[SvrTarn]\nListenAddress=10.0.0.1;10.0.0.2", "",
         "\"10.0.0.2\" stands after", ""},
        {"cap and reserve", "[SvrTarn]\nMaxConnectionsPerAddress=16\nRequesterReserve=0", "", "",
         "MaxConnectionsPerAddress=16\nRequesterReserve=0 (none kept)\n"},
        {"bad cap", "[SvrTarn]\nMaxConnectionsPerAddress=-1", "MaxConnectionsPerAddress=\"-1\"", "", ""},
        {"bad reserve", "[SvrTarn]\nRequesterReserve=", "RequesterReserve=\"\"", "", ""},
        {"networks: CIDR, bare, blanks and commas", "[SvrTarn]\nDeviceNetworks=192.168.1.0/24, 10.0.0.7 ,172.16.0.0/12",
         "", "", "DeviceNetworks=192.168.1.0/24 10.0.0.7/32 172.16.0.0/12\n"},
        {"host bits are cleared", "[SvrTarn]\nDeviceNetworks=10.1.2.3/8", "", "", "DeviceNetworks=10.0.0.0/8\n"},
        {"network prefix too long", "[SvrTarn]\nDeviceNetworks=10.0.0.0/33", "cannot read \"10.0.0.0/33\"", "", ""},
        {"not an address", "[SvrTarn]\nDeviceNetworks=192.168.1.0/24 lan", "cannot read \"lan\"", "", ""},
        {"an address after a comment marker", "[SvrTarn]\nDeviceNetworks=10.0.0.0/8;10.1.0.7 lab", "",
         "\"10.1.0.7\" stands after", "DeviceNetworks=10.0.0.0/8\n"},
        {"a plain comment", "[SvrTarn]\nDeviceNetworks=10.0.0.0/8 ; lab at 10.1.0.7", "", "", ""},
        {"unknown and misspelt keys", "[SvrTarn]\nport=6000\nKeepalive=5", "", "unknown key \"port\"", ""},
        {"key above any section", "Port=6000\n[SvrTarn]\nLogLevel=errors", "", "key \"Port\" stands above any", ""},
        {"section spelt otherwise", "[svrtarn]\nPort=6000", "section [svrtarn] is not [SvrTarn]", "", ""},
        {"section spelt otherwise beside the real one", "[SvrTarn]\nPort=6000\n[SVRTARN]\nPort=1", "",
         "section [SVRTARN] is ignored", ""},
        {"no key in the section", "[Other]\nPort=6000", "", "no key in [SvrTarn]", "Port=5000"},
        {"port that is not a plain number", "[SvrTarn]\nPort=abc", "", "the system chooses the port", ""},
        {"port out of range", "[SvrTarn]\nPort=70000", "", "the port is 4464", ""},
        {"port beyond int", "[SvrTarn]\nPort=99999999999", "", "reads as 2147483647", "(listening on 65535)"},
        {"bad keepalive", "[SvrTarn]\nKeepAlive=-1\nAckTimeout=2", "KeepAlive=\"-1\"", "", ""},
        {"empty acktimeout", "[SvrTarn]\nAckTimeout=", "AckTimeout=\"\"", "", ""},
        {"bad log level", "[SvrTarn]\nLogLevel=debug", "LogLevel=\"debug\"", "", ""},
        {"status server", "[SvrTarn]\nStatusPort=9100\nStatusAddress=10.0.0.1", "", "",
         "StatusPort=9100\nStatusAddress=10.0.0.1"},
        {"bad status address", "[SvrTarn]\nStatusAddress=localhost", "StatusAddress=\"localhost\"", "", ""},
        {"status clients", "[SvrTarn]\nStatusMaxClients=4", "", "", "StatusMaxClients=4\n"},
        {"no status clients at all", "[SvrTarn]\nStatusMaxClients=0", "StatusMaxClients=\"0\" is not a number from 1",
         "", ""},
        {"answer window and order", "[SvrTarn]\nAnswerWindow=500\nAnswerOrder=arrival", "", "",
         "AnswerWindow=500\nAnswerOrder=arrival\n"},
        {"answer window too long", "[SvrTarn]\nAnswerWindow=60001", "AnswerWindow=\"60001\"", "", ""},
        {"unknown answer order", "[SvrTarn]\nAnswerOrder=fifo", "AnswerOrder=\"fifo\"", "", ""},
        {"values that turn things off", "[SvrTarn]\nKeepAlive=0\nAckTimeout=0\nLogLevel=errors", "", "",
         "KeepAlive=0\nAckTimeout=0\nLogLevel=errors"},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimpleIni ini("");
        std::istringstream text(c.text);
        ini.Read(text);
        relay::Settings s;
        relay::SettingsCheck check;
        EXPECT_EQ(relay::readSettings(ini, s, check), !*c.error);
        for (const auto& [lines, part] : {std::make_pair(&check.errors, c.error), {&check.warnings, c.warning}}) {
            std::string all;
            for (const std::string& line : *lines)
                all += line + "\n";
            if (*part) {
                EXPECT_NE(all.find(part), std::string::npos) << all;
            } else {
                EXPECT_EQ(all, "");
            }
        }
        if (*c.described) {
            EXPECT_NE(relay::describeSettings(s).find(c.described), std::string::npos)
                << relay::describeSettings(s);
        }
    }
}

// A reload never empties a DeviceNetworks that is set, however the file
// lost it; a start may run on an empty list.
TEST(SvrConfig, ReloadNeverOpensAListThatIsSet)
{
    char dir[] = "/tmp/svrsettings-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/relaySvr.ini";
    relay::Settings running;
    running.deviceNetworks.push_back({0x0A000000, 0xFF000000});
    struct { const char* text; const char* why; } cases[] = {
        {nullptr, "the file is missing"},
        {"", "the file has no key in [SvrTarn]"},
        {"[SvrTarn]\nPort=5000\n", "the key is missing"},
        {"[SvrTarn]\nDeviceNetworks=\n", "its value is empty"},
        {"[SvrTarn]\nDeviceNetworks=0.0.0.0/0\n", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why ? c.why : "0.0.0.0/0");
        std::filesystem::remove(path);
        if (c.text)
            std::ofstream(path) << c.text;
        SimpleIni ini("");
        EXPECT_TRUE(relay::readConfig(path, ini).usable());  // a start
        const relay::ConfigReading r = relay::readConfig(path, ini, &running);
        ASSERT_EQ(r.usable(), c.why == nullptr);
        if (c.why) {
            EXPECT_NE(r.errors.front().find(c.why), std::string::npos) << r.errors.front();
        }
    }
    std::filesystem::remove_all(dir);
}

} // namespace
