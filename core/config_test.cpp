#include "core/settings.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

using namespace ferrule_test;

namespace {

// Five counted lines that leave every setting under test at its default.
const std::string five_counted = "Location_CC=01\nLocation_CC=01\nLocation_CC=01\n"
                                 "Location_CC=01\nLocation_CC=01\n";

struct Case {
    const char *name;
    std::string file;
    int result;
    const char *log_contains; // nullptr: nothing to look for
    const char *log_lacks;    // nullptr: nothing to rule out
    std::string (*value)();
    const char *expected;
    const char *fatal = nullptr; // the start-stopping line, or nullptr when none
};

// The setting each case reads back.
std::string (*const name)() = [] { return std::string(Location_Name); };
std::string (*const watt)() = [] { return std::string(Location_Watt); };
std::string (*const gateway_port)() = [] { return std::to_string(DMRGateway_port); };
std::string (*const sysop)() = [] { return std::string(SYSOP_ID); };
std::string (*const description)() = [] { return std::string(Location_Description); };
std::string (*const height)() = [] { return std::to_string(Location_Height); };
std::string (*const debug_value)() = [] { return std::to_string(debug); };
std::string (*const link_mode_text)() = [] { return std::string(DMRGateway_mode); };
std::string (*const password)() = [] { return std::string(DMRGateway_password); };
std::string (*const options)() = [] { return std::string(DMRGateway_options); };
std::string (*const options_length)() = [] {
    return std::to_string(std::string(DMRGateway_options).size());
};
std::string (*const gateway_address)() = [] { return std::string(DMRGateway_address); };
std::string (*const jitter)() = [] { return std::to_string(DMRGateway_jitter_ms); };
std::string (*const local_address)() = [] { return std::string(Hytera_RPT_local_address); };
std::string (*const rpt_port)() = [] { return std::to_string(Hytera_RPT_PORT); };
std::string (*const status_address)() = [] { return std::string(Status_address); };
std::string (*const status_port)() = [] { return std::to_string(Status_port); };
std::string (*const mqtt_address)() = [] { return std::string(MQTT_address); };
std::string (*const mqtt_password)() = [] { return std::string(MQTT_password); };
std::string allow_state() {
    return config_fatal_error() != nullptr ? "fatal"
                                           : std::to_string(Hytera_RPT_allow.size()) + " entries";
}

const Case cases[] = {
    {"empty file", "", 1, "invalid only 0\n", nullptr, name, "Standort"},
    {"first word only", five_counted + "Location_Name=Berg Hof\n", 0, "Location_Name=Berg\n",
     nullptr, name, "Berg"},
    {"leading blank is invalid but counts", five_counted + "Location_Name= Berg\n", 0,
     "Location_Name value  invalid\n", nullptr, name, "Standort"},
    {"three-digit power keeps two", five_counted + "Location_Watt=100\n", 0, "Location_Watt=10\n",
     nullptr, watt, "10"},
    {"power digits then letter", five_counted + "Location_Watt=25W\n", 0, nullptr, nullptr, watt,
     "25"},
    {"port without digits", five_counted + "DMRGateway_port=abc\n", 0, "DMRGateway_port=0\n",
     nullptr, gateway_port, "0",
     "Configuration error in F line 6: DMRGateway_port=abc is not a port number from 1 to 65535; "
     "ferrule stops\n"},
    {"port like atoi", five_counted + "DMRGateway_port= 4711x\n", 0, nullptr, nullptr, gateway_port,
     "4711"},
    {"port above 65535 stored unchanged", five_counted + "DMRGateway_port=70000\n", 0,
     "DMRGateway_port=70000\n", nullptr, gateway_port, "70000",
     "DMRGateway_port=70000 is not a port"},
    {"largest port", five_counted + "Hytera_RPT_RDAC_PORT=65535\n", 1, nullptr, nullptr, nullptr,
     nullptr},
    {"negative port", five_counted + "Hytera_RPT_AUDIO_PORT=-62006\n", 1, nullptr, nullptr, nullptr,
     nullptr, "Hytera_RPT_AUDIO_PORT=-62006 is not a port"},
    {"port beyond int", five_counted + "DMRGateway_local_port=4294967297\n", 0, nullptr, nullptr,
     nullptr, nullptr, "DMRGateway_local_port=4294967297 is not a port"},
    {"link mode first word, not counted", five_counted + "DMRGateway_mode=master now\n", 1,
     "DMRGateway_mode=master\n", nullptr, link_mode_text, "master"},
    {"password kept whole and never echoed", five_counted + "DMRGateway_password=pass word \n", 1,
     "DMRGateway_password=(set)\n", "pass word", password, "pass word "},
    {"options kept whole", five_counted + "DMRGateway_options=TS1=1;TS2=91; x\n", 1,
     "DMRGateway_options=TS1=1;TS2=91; x\n", nullptr, options, "TS1=1;TS2=91; x"},
    {"options cut at 255", five_counted + "DMRGateway_options=" + std::string(300, 'o') + "\n", 1,
     nullptr, nullptr, options_length, "255"},
    {"sysop keeps blanks", five_counted + "SYSOP_ID11=Anna and Ben\n", 0, "SYSOP_ID=Anna and Ben\n",
     nullptr, sysop, "Anna and Ben"},
    {"key without 11 ignored", five_counted + "SYSOP_ID=Anna\n", 1,
     "F line 6: unknown key \"SYSOP_ID\" ignored; did you mean SYSOP_ID11?\n", nullptr, sysop, ""},
    {"misspelt key named with its line", "\n#x=1\n" + five_counted + "DMRGateway_adress=10.0.0.1\n",
     1, "F line 8: unknown key \"DMRGateway_adress\" ignored; did you mean DMRGateway_address?\n",
     nullptr, gateway_address, "127.0.0.1"},
    {"description whole, cut to 19",
     five_counted + "Location_Description=  Hytera RD985 on the hill\n", 1,
     "F line 6: Location_Description \"  Hytera RD985 on the hill\" cut to its first 19 "
     "characters \"  Hytera RD985 on t\"\n",
     nullptr, description, "  Hytera RD985 on t"},
    {"height beyond 999", five_counted + "Location_Height=1200\n", 1,
     "F line 6: Location_Height=1200 is outside 0-999 metres, 999 taken\n", nullptr, height, "999"},
    {"height below 0", five_counted + "Location_Height=-3\n", 1, nullptr, nullptr, height, "0"},
    {"debug lower case", five_counted + "Location_CC=01\ndebug11=yes\n", 0, nullptr,
     "debug=", debug_value, "0"},
    {"debug upper case", five_counted + "Location_CC=01\ndebug11=Yes\n", 0, "debug=[Y]\n", nullptr,
     debug_value, "1"},
    {"comment after value ignores line", five_counted + "DMRGateway_address=10.0.0.1 # peer\n", 1,
     nullptr, "DMRGateway_address=", gateway_address, "127.0.0.1"},
    {"same key six times is valid", five_counted + "Location_CC=02\n", 0, nullptr, "invalid",
     nullptr, nullptr},
    {"CRLF lines",
     "Location_CC=01\r\nLocation_CC=01\r\nLocation_CC=01\r\nLocation_CC=01\r\n"
     "Location_CC=01\r\nLocation_Name=Tal\r\n",
     0, "Location_Name=Tal\n", nullptr, name, "Tal"},
    {"blank before equals ignored", five_counted + "Location_Name =Tal\n", 1,
     "F line 6: blank around the key Location_Name, so the line is ignored", nullptr, name,
     "Standort"},
    {"repeater ports not counted", five_counted + "Hytera_RPT_PORT=1000\n", 1,
     "Hytera_RPT_PORT=1000\n", nullptr, rpt_port, "1000"},
    {"local address kept, not counted", five_counted + "Hytera_RPT_local_address=127.0.0.2\n", 1,
     "Hytera_RPT_local_address=127.0.0.2\n", nullptr, local_address, "127.0.0.2"},
    {"local address empty is invalid", five_counted + "Hytera_RPT_local_address=\n", 1,
     "Hytera_RPT_local_address value  invalid\n", nullptr, local_address, "0.0.0.0"},
    {"allow list kept, not counted", five_counted + "Hytera_RPT_allow=127.0.0.2, 10.0.0.0/8\n", 1,
     "Hytera_RPT_allow=127.0.0.2, 10.0.0.0/8\n", nullptr, allow_state, "2 entries"},
    {"allow list error is fatal", five_counted + "Location_CC=01\nHytera_RPT_allow=10.0.0.300\n", 0,
     nullptr, "Hytera_RPT_allow=10.0.0.300\n", allow_state, "fatal",
     "line 7: Hytera_RPT_allow=10.0.0.300 \"10.0.0.300\" is not an IPv4 address"},
    {"status address kept, not counted", five_counted + "Status_address=192.168.1.20\n", 1,
     "Status_address=192.168.1.20\n", nullptr, status_address, "192.168.1.20"},
    {"status port 0 turns the page off, not counted", five_counted + "Status_port=0\n", 1,
     "Status_port=0\n", nullptr, status_port, "0"},
    {"status port beyond 65535", five_counted + "Status_port=65536\n", 1, nullptr, nullptr, nullptr,
     nullptr, "Status_port=65536 is not 0 (off) or a port number"},
    {"status address a host name", five_counted + "Status_address=localhost\n", 1, nullptr, nullptr,
     nullptr, nullptr, "Status_address=localhost is not a dotted IPv4 address"},
    {"digits alone are neither address nor name",
     five_counted + "DMRGateway_address=1234567890123456789\n", 0, nullptr, nullptr,
     gateway_address, "1234567890123456789",
     "DMRGateway_address=1234567890123456789 is not a dotted IPv4 address"},
    // Cut to 15 characters this would be another valid address.
    {"address one digit too long", five_counted + "DMRGateway_address=192.168.100.1000\n", 0,
     nullptr, nullptr, nullptr, nullptr, "DMRGateway_address=192.168.100.1000 is not a dotted"},
    {"peer by host name", five_counted + "DMRGateway_address=master-2.example.net\n", 0,
     "DMRGateway_address=master-2.example.net\n", nullptr, gateway_address, "master-2.example.net"},
    {"no host name", five_counted + "DMRGateway_address=master_2.example.net\n", 0, nullptr,
     nullptr, nullptr, nullptr, "master_2.example.net is not a dotted IPv4 address"},
    {"name at most 253 characters",
     five_counted + "DMRGateway_address=" + std::string(250, 'a') + ".net\n", 0, nullptr, nullptr,
     nullptr, nullptr, "is not a dotted IPv4 address"},
    {"playout buffer", five_counted + "DMRGateway_jitter_ms=360\n", 1, "DMRGateway_jitter_ms=360\n",
     nullptr, jitter, "360"},
    {"playout buffer too short", five_counted + "DMRGateway_jitter_ms=59\n", 1, nullptr, nullptr,
     nullptr, nullptr, "DMRGateway_jitter_ms=59 is not 0 (off) or a time from 60 to 1000 ms"},
    {"local address checked too", five_counted + "Hytera_RPT_local_address=10.0.0\n", 1, nullptr,
     nullptr, nullptr, nullptr, "Hytera_RPT_local_address=10.0.0 is not a dotted"},
    {"MQTT broker by host name, not counted", five_counted + "MQTT_address=broker.lan\n", 1,
     "MQTT_address=broker.lan\n", nullptr, mqtt_address, "broker.lan"},
    {"MQTT broker name with a slash", five_counted + "MQTT_address=http://x\n", 1, nullptr, nullptr,
     nullptr, nullptr, "MQTT_address=http://x is not a dotted IPv4 address"},
    {"MQTT password never echoed", five_counted + "MQTT_password=s3cret pw\n", 1,
     "MQTT_password=(set)\n", "s3cret", mqtt_password, "s3cret pw"},
    {"MQTT keep-alive below 5 s", five_counted + "MQTT_keepalive=4\n", 1, nullptr, nullptr, nullptr,
     nullptr, "MQTT_keepalive=4 is not a number of seconds from 5"},
    {"MQTT name with a wildcard", five_counted + "MQTT_name=site+1\n", 1, nullptr, nullptr, nullptr,
     nullptr, "MQTT_name=site+1 holds + or #"},
    {"only the first fatal line is kept",
     five_counted + "DMRGateway_local_address=any\nDMRGateway_port=0\n", 0, nullptr, nullptr,
     nullptr, nullptr, "line 6: DMRGateway_local_address=any"},
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class ReadConfig : public testing::TestWithParam<Case> {};

TEST_P(ReadConfig, AppliesLine) {
    const Case &c = GetParam();
    ScratchDir dir;
    auto file = dir.write("f.cfg", c.file);
    CapturedLog log;
    EXPECT_EQ(read_config(file.c_str()), c.result);
    std::string text = log.text();
    EXPECT_TRUE(contains(text, "Reading file " + file.string() + "\n"));
    // The messages that name the file are written for it as "F".
    auto named = [&](std::string expected) {
        if (std::size_t at = expected.find("F line"); at != std::string::npos) {
            expected.replace(at, 1, file.string());
        }
        return expected;
    };
    if (c.log_contains != nullptr) {
        EXPECT_TRUE(contains(text, named(c.log_contains)));
    }
    const char *fatal = config_fatal_error();
    if (c.fatal == nullptr) {
        EXPECT_EQ(fatal, nullptr) << fatal;
    } else {
        ASSERT_NE(fatal, nullptr);
        EXPECT_NE(std::string(fatal).find(named(c.fatal)), std::string::npos) << fatal;
    }
    if (c.log_lacks != nullptr) {
        EXPECT_EQ(text.find(c.log_lacks), std::string::npos) << text;
    }
    if (c.value != nullptr) {
        EXPECT_EQ(c.value(), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, ReadConfig, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) {
                             std::string n = info.param.name;
                             for (char &ch : n) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) {
                                     ch = '_';
                                 }
                             }
                             return n;
                         });

TEST(ReadConfigFile, MissingFileKeepsDefaults) {
    CapturedLog log;
    EXPECT_EQ(read_config("/nonexistent/ferrule.cfg"), 1);
    EXPECT_EQ(log.text(), "Failed to open file /nonexistent/ferrule.cfg 0\n"
                          "No configuration read from /nonexistent/ferrule.cfg (No such file or "
                          "directory): running on the built-in defaults\n");
    EXPECT_EQ(config_fatal_error(), nullptr);
    EXPECT_STREQ(Location_Name, "Standort");
    EXPECT_EQ(Hytera_RPT_RDAC_PORT, 62007);
    EXPECT_STREQ(Status_address, "127.0.0.1");
    EXPECT_EQ(Status_port, 62080);
    EXPECT_STREQ(funktion_print, "FUNCTION:read_config\n");
    EXPECT_STREQ(Location_Description, "Multi-Mode Repeater");
    EXPECT_EQ(Location_Height, 0);
}

TEST(ReadConfigFile, NamedFileThatCannotBeReadIsFatal) {
    ScratchDir dir;
    const std::string folder = dir.path().string();
    const struct {
        std::string file;
        const char *reason;
    } cases[] = {{"/nonexistent/ferrule.cfg", "No such file or directory"},
                 {folder, "Is a directory"}};
    for (const auto &c : cases) {
        CapturedLog log;
        EXPECT_EQ(read_config(c.file.c_str(), true), 1);
        EXPECT_EQ(log.text().find("defaults"), std::string::npos) << log.text();
        ASSERT_NE(config_fatal_error(), nullptr) << c.file;
        EXPECT_EQ(std::string(config_fatal_error()), "Cannot read the configuration file " +
                                                         c.file + " (" + c.reason +
                                                         "); ferrule stops\n");
        EXPECT_STREQ(Location_Name, "Standort");
    }
}

TEST(ReadConfigFile, APasswordOthersMayReadIsNamed) {
    ScratchDir dir;
    auto file = dir.write("f.cfg", five_counted + "DMRGateway_password=secret\n");
    const struct {
        mode_t mode;
        const char *text;
    } modes[] = {{0644, "0644"}, {0604, "0604"}, {0600, "0600"}};
    for (const auto &m : modes) {
        ASSERT_EQ(chmod(file.c_str(), m.mode), 0);
        CapturedLog log;
        read_config(file.c_str());
        const bool warned = contains(log.text(), file.string() +
                                                     " holds DMRGateway_password and other local "
                                                     "users may read it (mode " +
                                                     m.text);
        EXPECT_EQ(warned, m.mode != 0600) << log.text();
    }
}

TEST(ReadConfigFile, LongLineIsReadInPieces) {
    // The second piece of a long line starts after 1019 characters and is a line
    // of its own, so a key placed there is applied.
    std::string line = "x=" + std::string(1017, 'a') + "Location_Name=Fern\n";
    ScratchDir dir;
    auto file = dir.write("f.cfg", five_counted + line);
    CapturedLog log;
    EXPECT_EQ(read_config(file.c_str()), 0);
    EXPECT_STREQ(Location_Name, "Fern");
}

TEST(ReadConfigFile, ShippedExampleIsValidAndHoldsDefaults) {
    CapturedLog log;
    EXPECT_EQ(read_config(FERRULE_SOURCE_DIR "/ferrule.cfg"), 0) << log.text();
    EXPECT_EQ(log.text().find(" line "), std::string::npos) << "no warning: " << log.text();
    EXPECT_STREQ(DMRGateway_address, "127.0.0.1");
    EXPECT_EQ(DMRGateway_port, 62031);
    EXPECT_EQ(Hytera_RPT_AUDIO_PORT, 62006);
    EXPECT_STREQ(Hytera_RPT_local_address, "0.0.0.0");
    EXPECT_STREQ(DMRGateway_mode, "login");
    EXPECT_STREQ(DMRGateway_password, "");
    EXPECT_STREQ(DMRGateway_options, "");
    EXPECT_STREQ(Status_address, "127.0.0.1");
    EXPECT_EQ(Status_port, 62080);
}

} // namespace
