// Unit tests of the settings of section SvrTarn: how relaySvr.ini is read
// and each key checked.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "SvrSettings.h"

namespace {

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

// A FIFO (or any file that is not a regular one) is not opened: opening it
// would wait for a writer with the PID lock held.
TEST(SvrConfig, ConfigurationThatIsNotARegularFileIsNotRead)
{
    char dir[] = "/tmp/svrsettings-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/relaySvr.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    SimpleIni ini("");
    ini.SetValue("SvrTarn", "Port", "6000");
    std::string why;
    // Would block for ever if it opened the FIFO.
    EXPECT_EQ(relay::loadConfigFile(fifo, ini, why), relay::ConfigFile::NotRegular);
    EXPECT_NE(why.find("relaySvr.ini is not a regular file"), std::string::npos) << why;
    EXPECT_EQ(ini.beginSection(), ini.endSection());
    EXPECT_EQ(relay::loadConfigFile(std::string(dir) + "/missing.ini", ini, why), relay::ConfigFile::Missing);
    std::filesystem::remove_all(dir);
}

struct SettingsCase {
    const char* name;
    const char* keys;     // lines of section SvrTarn
    bool readable;        // DeviceNetworks could be read
    bool badValue;
    const char* warning;  // part of a warning, "" for none
    const char* described;// part of DescribeSettings, "" to skip
};

TEST(SvrConfig, SettingsAreCheckedKeyByKey)
{
    const SettingsCase cases[] = {
        {"defaults", "", true, false, "", "Port=5000 (listening on 5000)\nDeviceNetworks= (devices from any address)\n"
                                          "KeepAlive=60\nAckTimeout=30\nLogLevel=chunks\nStatusPort=0 (off)"},
        {"networks: CIDR, bare, blanks and commas", "DeviceNetworks=192.168.1.0/24, 10.0.0.7 ,172.16.0.0/12", true,
         false, "", "DeviceNetworks=192.168.1.0/24 10.0.0.7/32 172.16.0.0/12\n"},
        {"host bits are cleared", "DeviceNetworks=10.1.2.3/8", true, false, "", "DeviceNetworks=10.0.0.0/8\n"},
        {"network prefix too long", "DeviceNetworks=10.0.0.0/33", false, false, "", ""},
        {"not an address", "DeviceNetworks=192.168.1.0/24 lan", false, false, "", ""},
        {"unknown and misspelt keys", "port=6000\nKeepalive=5", true, false, "unknown key \"port\"", ""},
        {"port that is not a plain number", "Port=abc", true, false, "the system chooses the port", ""},
        {"port out of range", "Port=70000", true, false, "the port is 4464", ""},
        {"port beyond int", "Port=99999999999", true, false, "reads as 2147483647", "(listening on 65535)"},
        {"bad keepalive keeps the default", "KeepAlive=-1\nAckTimeout=2", true, true, "KeepAlive=\"-1\"",
         "KeepAlive=60\nAckTimeout=2\n"},
        {"bad log level", "LogLevel=verbose", true, true, "LogLevel=\"verbose\"", "LogLevel=chunks"},
        {"status server", "StatusPort=9100\nStatusAddress=10.0.0.1", true, false, "",
         "StatusPort=9100\nStatusAddress=10.0.0.1"},
        {"bad status address", "StatusAddress=localhost", true, true, "StatusAddress=\"localhost\"",
         "StatusAddress=127.0.0.1"},
        {"status clients", "StatusMaxClients=4", true, false, "", "StatusMaxClients=4\n"},
        {"no status clients at all", "StatusMaxClients=0", true, true, "StatusMaxClients=\"0\" is not a number from 1",
         "StatusMaxClients=16\n"},
        {"values that turn things off", "KeepAlive=0\nAckTimeout=0\nLogLevel=errors", true, false, "",
         "KeepAlive=0\nAckTimeout=0\nLogLevel=errors"},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimpleIni ini("");
        std::string keys = c.keys;
        for (size_t start = 0; start < keys.size();) {
            const size_t end = std::min(keys.find('\n', start), keys.size());
            const std::string line = keys.substr(start, end - start);
            ini.SetValue("SvrTarn", line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
            start = end + 1;
        }
        relay::Settings s;
        relay::SettingsCheck check;
        EXPECT_EQ(relay::readSettings(ini, s, check), c.readable) << check.error;
        EXPECT_EQ(check.badValue, c.badValue);
        std::string warnings;
        for (const std::string& w : check.warnings)
            warnings += w + "\n";
        if (*c.warning)
            EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
        else
            EXPECT_EQ(warnings, "");
        if (*c.described) {
            EXPECT_NE(relay::describeSettings(s).find(c.described), std::string::npos)
                << relay::describeSettings(s);
        }
    }
}

} // namespace
