#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using command_line::action;

struct Case {
    std::vector<const char *> argv;
    action what;
    bool detach;
    const char *file_or_bad; // the file read, or the refused argument
};

TEST(CommandLine, Decides) {
    const Case cases[] = {
        {{"ferrule"}, action::run, false, "ferrule.cfg"},
        {{"ferrule", "-d"}, action::run, true, "ferrule.cfg"},
        {{"ferrule", "mine.cfg", "-d"}, action::run, false, "mine.cfg"},
        {{"ferrule", "mine.cfg", "--version", "--help"}, action::version, false, nullptr},
        // A mistyped option is refused rather than read as a file name.
        {{"ferrule", "-d", "--daemon"}, action::bad_option, false, "--daemon"},
        {{"ferrule", "-"}, action::bad_option, false, "-"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argv.back());
        const auto p = command_line::parse(static_cast<int>(c.argv.size()), c.argv.data());
        EXPECT_EQ(p.what, c.what);
        if (c.what == action::run) {
            EXPECT_EQ(p.detach, c.detach);
            EXPECT_EQ(p.usage_lines, c.argv.size() == (c.detach ? 2U : 1U));
            EXPECT_STREQ(p.config_file, c.file_or_bad);
        } else if (c.what == action::bad_option) {
            EXPECT_STREQ(p.bad, c.file_or_bad);
        }
    }
}

} // namespace
