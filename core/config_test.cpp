#include "core/settings.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <string>

using ferrule_test::CapturedLog;
using ferrule_test::ScratchDir;

namespace {

// Five counted lines that leave every setting under test at its default.
const std::string five_counted = "Location_CC=01\nLocation_CC=01\nLocation_CC=01\n"
                                 "Location_CC=01\nLocation_CC=01\n";

TEST(ReadConfig, LineTable) {
    const struct {
        const char *name;
        std::string file;
        int result;
        const char *log_contains; // nullptr: nothing to look for
        const char *log_lacks;    // nullptr: nothing to rule out
        const char *text;         // the text setting under test, or
        const int *number;        // the number setting under test (neither: none)
        const char *expected;
    } cases[] = {
        {"empty file", "", 1, "invalid only 0\n", nullptr, Location_Name, nullptr, "Standort"},
        {"first word only", five_counted + "Location_Name=Berg Hof\n", 0, "Location_Name=Berg\n",
         nullptr, Location_Name, nullptr, "Berg"},
        {"leading blank is invalid but counts", five_counted + "Location_Name= Berg\n", 0,
         "Location_Name value  invalid\n", nullptr, Location_Name, nullptr, "Standort"},
        {"three-digit power keeps two", five_counted + "Location_Watt=100\n", 0,
         "Location_Watt=10\n", nullptr, Location_Watt, nullptr, "10"},
        {"port like atoi", five_counted + "DMRGateway_port= 4711x\n", 0, "DMRGateway_port=4711\n",
         nullptr, nullptr, &DMRGateway_port, "4711"},
        {"port without digits", five_counted + "DMRGateway_port=abc\n", 0, nullptr, nullptr,
         nullptr, &DMRGateway_port, "0"},
        {"port above 65535 stored unchanged", five_counted + "DMRGateway_port=70000\n", 0, nullptr,
         nullptr, nullptr, &DMRGateway_port, "70000"},
        {"sysop keeps blanks", five_counted + "SYSOP_ID11=Anna and Ben\n", 0,
         "SYSOP_ID=Anna and Ben\n", nullptr, SYSOP_ID, nullptr, "Anna and Ben"},
        {"key without 11 ignored", five_counted + "SYSOP_ID=Anna\n", 1, "invalid only 5\n", nullptr,
         SYSOP_ID, nullptr, ""},
        {"debug lower case", five_counted + "Location_CC=01\ndebug11=yes\n", 0, nullptr,
         "debug=", nullptr, &debug, "0"},
        {"debug upper case", five_counted + "Location_CC=01\ndebug11=Yes\n", 0, "debug=[Y]\n",
         nullptr, nullptr, &debug, "1"},
        {"comment after value ignores line", five_counted + "DMRGateway_address=10.0.0.1 # x\n", 1,
         nullptr, "DMRGateway_address=", DMRGateway_address, nullptr, "127.0.0.1"},
        {"same key six times is valid", five_counted + "Location_CC=02\n", 0, nullptr, "invalid",
         Location_CC, nullptr, "02"},
        {"CRLF lines",
         "Location_CC=01\r\nLocation_CC=01\r\nLocation_CC=01\r\nLocation_CC=01\r\n"
         "Location_CC=01\r\nLocation_Name=Tal\r\n",
         0, "Location_Name=Tal\n", nullptr, Location_Name, nullptr, "Tal"},
        {"blank before equals ignored", five_counted + "Location_Name =Tal\n", 1,
         "invalid only 5\n", nullptr, Location_Name, nullptr, "Standort"},
        {"repeater ports not counted", five_counted + "Hytera_RPT_PORT=1000\n", 1,
         "Hytera_RPT_PORT=1000\n", nullptr, nullptr, &Hytera_RPT_PORT, "1000"},
        {"local address kept, not counted", five_counted + "Hytera_RPT_local_address=127.0.0.2\n",
         1, "Hytera_RPT_local_address=127.0.0.2\n", nullptr, Hytera_RPT_local_address, nullptr,
         "127.0.0.2"},
        {"local address empty is invalid", five_counted + "Hytera_RPT_local_address=\n", 1,
         "Hytera_RPT_local_address value  invalid\n", nullptr, Hytera_RPT_local_address, nullptr,
         "0.0.0.0"},
        {"address cut at 15", five_counted + "DMRGateway_address=1234567890123456789\n", 0, nullptr,
         nullptr, DMRGateway_address, nullptr, "123456789012345"},
    };
    ScratchDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto file = dir.write("f.cfg", c.file);
        CapturedLog log;
        EXPECT_EQ(read_config(file.c_str()), c.result);
        const std::string text = log.text();
        EXPECT_EQ(text.rfind("Reading file " + file.string() + "\n", 0), 0u) << text;
        if (c.log_contains != nullptr) {
            EXPECT_NE(text.find(c.log_contains), std::string::npos) << text;
        }
        if (c.log_lacks != nullptr) {
            EXPECT_EQ(text.find(c.log_lacks), std::string::npos) << text;
        }
        if (c.text != nullptr || c.number != nullptr) {
            EXPECT_EQ(c.text != nullptr ? c.text : std::to_string(*c.number), c.expected);
        }
    }
}

TEST(ReadConfig, MissingFileKeepsDefaults) {
    CapturedLog log;
    EXPECT_EQ(read_config("/nonexistent/ferrule.cfg"), 1);
    EXPECT_EQ(log.text(), "Failed to open file /nonexistent/ferrule.cfg 0\n");
    EXPECT_STREQ(Location_Name, "Standort");
    EXPECT_EQ(Hytera_RPT_RDAC_PORT, 62007);
    EXPECT_STREQ(funktion_print, "FUNCTION:read_config\n");
}

TEST(ReadConfig, LongLineIsReadInPieces) {
    // The second piece of a long line starts after 1019 characters and is a line
    // of its own, so a key placed there is applied.
    std::string line = "x=" + std::string(1017, 'a') + "Location_Name=Fern\n";
    ScratchDir dir;
    auto file = dir.write("f.cfg", five_counted + line);
    CapturedLog log;
    EXPECT_EQ(read_config(file.c_str()), 0);
    EXPECT_STREQ(Location_Name, "Fern");
}

TEST(ReadConfig, ShippedExampleIsValidAndHoldsDefaults) {
    CapturedLog log;
    EXPECT_EQ(read_config(FERRULE_SOURCE_DIR "/ferrule.cfg"), 0) << log.text();
    EXPECT_STREQ(DMRGateway_address, "127.0.0.1");
    EXPECT_EQ(DMRGateway_port, 62031);
    EXPECT_EQ(Hytera_RPT_AUDIO_PORT, 62006);
    EXPECT_STREQ(Hytera_RPT_local_address, "0.0.0.0");
}

} // namespace
