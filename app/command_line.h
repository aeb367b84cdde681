#pragma once
// The command line: ferrule [-d] [configFile], --help, --version.

namespace command_line {

enum class action {
    run,
    help,
    version,
    bad_option,
};

struct parsed {
    action what = action::run;
    bool detach = false;
    // No file was named: the usage lines are printed before the default is read.
    bool usage_lines = false;
    const char *config_file = "ferrule.cfg";
    // The argument that made it a bad_option.
    const char *bad = nullptr;
};

// The first argument decides between -d, a file name and nothing; further
// arguments are ignored, except that any argument beginning with "-" other
// than -d makes the whole line --help, --version or a bad option (the first
// such argument decides), so that a mistyped option never becomes the name
// of a configuration file.
parsed parse(int argc, const char *const *argv);

// The text --help prints.
const char *help_text();

} // namespace command_line
