#include "app/command_line.h"

#include <cstring>

namespace command_line {

parsed parse(int argc, const char *const *argv) {
    parsed p;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || std::strcmp(arg, "-d") == 0) {
            continue;
        }
        if (std::strcmp(arg, "--help") == 0) {
            p.what = action::help;
        } else if (std::strcmp(arg, "--version") == 0) {
            p.what = action::version;
        } else {
            p.what = action::bad_option;
            p.bad = arg;
        }
        return p;
    }
    int file_at = 1;
    if (argc > 1 && std::strcmp(argv[1], "-d") == 0) {
        p.detach = true;
        file_at = 2;
    }
    if (argc > file_at) {
        p.config_file = argv[file_at];
    } else {
        p.usage_lines = true;
    }
    return p;
}

const char *help_text() {
    return "Usage: ferrule [-d] [configFile]\n"
           "Gateway between Hytera DMR repeaters and one MMDVM Homebrew network peer.\n"
           "  configFile  the configuration file (default: ferrule.cfg in the working directory)\n"
           "  -d          detach and run in the background, output to the null device\n"
           "  --help      print this text and exit\n"
           "  --version   print the version and exit\n"
           "SIGINT, SIGTERM and SIGQUIT stop it in order; SIGHUP is ignored. Each stop appends\n"
           "a report to error.txt in the working directory. See ferrule(8).\n";
}

} // namespace command_line
