#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using command_line::action;

struct Case {
    std::vector<const char *> args; // after the program name
    action what;
    bool detach;
    bool usage_lines;
    const char *file; // nullptr: the bad argument is checked instead
    const char *bad = nullptr;
};

const Case cases[] = {
    {{}, action::run, false, true, "ferrule.cfg"},
    {{"-d"}, action::run, true, true, "ferrule.cfg"},
    {{"-d", "mine.cfg"}, action::run, true, false, "mine.cfg"},
    {{"mine.cfg", "-d"}, action::run, false, false, "mine.cfg"},
    {{"mine.cfg", "other.cfg"}, action::run, false, false, "mine.cfg"},
    {{"--help"}, action::help, false, false, nullptr},
    {{"mine.cfg", "--version"}, action::version, false, false, nullptr},
    {{"--version", "--help"}, action::version, false, false, nullptr},
    // A mistyped option is refused rather than read as a file name.
    {{"-D"}, action::bad_option, false, false, nullptr, "-D"},
    {{"-d", "--daemon"}, action::bad_option, false, false, nullptr, "--daemon"},
    {{"mine.cfg", "-"}, action::bad_option, false, false, nullptr, "-"},
};

TEST(CommandLine, Decides) {
    for (const Case &c : cases) {
        std::vector<const char *> argv{"ferrule"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const command_line::parsed p =
            command_line::parse(static_cast<int>(argv.size()), argv.data());
        std::string label;
        for (const char *a : c.args) {
            label += std::string(a) + " ";
        }
        EXPECT_EQ(p.what, c.what) << label;
        if (c.file != nullptr) {
            EXPECT_EQ(p.detach, c.detach) << label;
            EXPECT_EQ(p.usage_lines, c.usage_lines) << label;
            EXPECT_STREQ(p.config_file, c.file) << label;
        }
        if (c.bad != nullptr) {
            EXPECT_STREQ(p.bad, c.bad) << label;
        }
    }
}

} // namespace
