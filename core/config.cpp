#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

template <std::size_t N> void set_text(char (&field)[N], const char *value, std::size_t limit) {
    copy_text(field, value, limit);
}

void apply_defaults() {
    set_text(DMRGateway_address, "127.0.0.1", 15);
    DMRGateway_port = 62031;
    DMRGateway_jitter_ms = 0;
    set_text(DMRGateway_local_address, "127.0.0.1", 15);
    DMRGateway_local_port = 62032;
    set_text(DMRGateway_mode, "login", 15);
    set_text(DMRGateway_dmrc, "on", 7);
    set_text(DMRGateway_password, "", 255);
    set_text(DMRGateway_options, "", 255);
    Hytera_RPT_PORT = 62005;
    Hytera_RPT_AUDIO_PORT = 62006;
    Hytera_RPT_RDAC_PORT = 62007;
    set_text(Hytera_RPT_local_address, "0.0.0.0", 15);
    set_text(Location_Homepage, "dmr.example.org", 124);
    set_text(Location_Name, "Standort", 20);
    set_text(Location_Latitude, "0.000000", 8);
    set_text(Location_Longitude, "00.000000", 9);
    set_text(Location_Watt, "01", 9);
    set_text(Location_CC, "01", 2);
    set_text(SYSOP_ID, "", 4096);
    set_text(SYSOPEMAIL, "sysop@example.org", 99);
    debug = 0;
    Hytera_RPT_allow.clear();
    set_text(Status_address, "127.0.0.1", 15);
    Status_port = 62080;
}

// What a value must be for the daemon to start at all. Checked on the value
// as written (before the word rule cuts it to its width), so that an address
// one digit too long is not silently shortened into another valid address.
enum class Check { none, ipv4_address, host, port, port_or_off, jitter };

struct WordKey {
    const char *key;
    char *field;
    std::size_t size;
    std::size_t limit;
    bool counted;
    Check check;
};

struct NumberKey {
    const char *key;
    int *field;
    bool counted;
    Check check;
};

// The whole value, blanks included; echoed under the setting's own name.
struct TextKey {
    const char *key;
    const char *echo_name;
    char *field;
    std::size_t size;
    std::size_t limit;
    bool counted;
};

// 1 when the value begins with "Y", else 0; echoed only when set.
struct FlagKey {
    const char *key;
    const char *echo_name;
    int *field;
    bool counted;
};

const WordKey word_keys[] = {
    {"Location_Homepage", Location_Homepage, sizeof Location_Homepage, 124, true, Check::none},
    {"Location_Name", Location_Name, sizeof Location_Name, 20, true, Check::none},
    {"Location_Latitude", Location_Latitude, sizeof Location_Latitude, 8, true, Check::none},
    {"Location_Longitude", Location_Longitude, sizeof Location_Longitude, 9, true, Check::none},
    // Two, not nine: a three-digit power keeps its first two digits, which is
    // what the configuration message's power field holds.
    {"Location_Watt", Location_Watt, sizeof Location_Watt, 2, true, Check::none},
    {"Location_CC", Location_CC, sizeof Location_CC, 2, true, Check::none},
    {"DMRGateway_address", DMRGateway_address, sizeof DMRGateway_address, 253, true, Check::host},
    {"DMRGateway_local_address", DMRGateway_local_address, sizeof DMRGateway_local_address, 15,
     true, Check::ipv4_address},
    {"DMRGateway_mode", DMRGateway_mode, sizeof DMRGateway_mode, 15, false, Check::none},
    {"DMRGateway_dmrc", DMRGateway_dmrc, sizeof DMRGateway_dmrc, 7, false, Check::none},
    {"Hytera_RPT_local_address", Hytera_RPT_local_address, sizeof Hytera_RPT_local_address, 15,
     false, Check::ipv4_address},
    {"Status_address", Status_address, sizeof Status_address, 15, false, Check::ipv4_address},
};

const NumberKey number_keys[] = {
    {"DMRGateway_port", &DMRGateway_port, true, Check::port},
    {"DMRGateway_local_port", &DMRGateway_local_port, true, Check::port},
    {"Hytera_RPT_PORT", &Hytera_RPT_PORT, false, Check::port},
    {"Hytera_RPT_AUDIO_PORT", &Hytera_RPT_AUDIO_PORT, false, Check::port},
    {"Hytera_RPT_RDAC_PORT", &Hytera_RPT_RDAC_PORT, false, Check::port},
    {"Status_port", &Status_port, false, Check::port_or_off},
    {"DMRGateway_jitter_ms", &DMRGateway_jitter_ms, false, Check::jitter},
};

// Whole-value keys of the link, none counted. The password is never echoed.
struct WholeKey {
    const char *key;
    char *field;
    std::size_t size;
    bool secret;
};

const WholeKey whole_keys[] = {
    {"DMRGateway_password", DMRGateway_password, sizeof DMRGateway_password, true},
    {"DMRGateway_options", DMRGateway_options, sizeof DMRGateway_options, false},
};

const TextKey text_keys[] = {
    {"SYSOP_ID11", "SYSOP_ID", SYSOP_ID, sizeof SYSOP_ID, 4096, true},
    {"SYSOPEMAIL11", "SYSOPEMAIL", SYSOPEMAIL, sizeof SYSOPEMAIL, 99, true},
};

const FlagKey flag_keys[] = {
    {"debug11", "debug", &debug, false},
};

// Where the line being read stands, for the messages that name it.
struct Position {
    const char *file;
    int line;
};

// The first value the daemon cannot start with; empty while there is none.
char fatal_error[512];

void note_fatal(const Position &at, const char *key, const char *value, const char *problem) {
    if (fatal_error[0] != '\0') {
        return;
    }
    std::snprintf(fatal_error, sizeof fatal_error,
                  "Configuration error in %.200s line %d: %.40s=%.40s %.160s; ferrule stops\n",
                  at.file, at.line, key, value, problem);
}

// A host name as resolvers take it: labels of letters, digits and hyphens,
// not starting or ending with a hyphen, and a last label that is not all
// digits (that would be a mistyped address).
bool is_host_name(const char *value) {
    const std::size_t n = std::strlen(value);
    if (n == 0 || n > 253) {
        return false;
    }
    std::size_t label = 0;
    bool digits_only = true;
    for (std::size_t i = 0; i <= n; ++i) {
        const char c = value[i];
        if (c == '.' || c == '\0') {
            if (label == 0 || label > 63 || value[i - 1] == '-') {
                return false;
            }
            if (c == '\0') {
                return !digits_only;
            }
            label = 0;
            digits_only = true;
            continue;
        }
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!(letter || digit || (c == '-' && label > 0))) {
            return false;
        }
        digits_only = digits_only && digit;
        ++label;
    }
    return false;
}

void check_word(const WordKey &k, const char *value, const Position &at) {
    in_addr address{};
    const bool dotted = inet_pton(AF_INET, value, &address) == 1;
    if (k.check == Check::ipv4_address && !dotted) {
        note_fatal(at, k.key, value, "is not a dotted IPv4 address such as 192.168.1.10");
    }
    if (k.check == Check::host && !dotted && !is_host_name(value)) {
        note_fatal(at, k.key, value,
                   "is not a dotted IPv4 address such as 192.168.1.10 nor a host name");
    }
}

void apply_word(const WordKey &k, char *value, const Position &at) {
    char *blank = std::strchr(value, ' ');
    if (blank != nullptr) {
        *blank = '\0';
    }
    if (value[0] == '\0') {
        ferrule_log("%s value %s invalid\n", k.key, value);
        return;
    }
    copy_text(k.field, k.size, value, k.limit);
    ferrule_log("%s=%s\n", k.key, k.field);
    check_word(k, value, at);
}

void apply_number(const NumberKey &k, const char *value, const Position &at) {
    // atoi's reading, without its undefined result for numbers beyond int.
    const long number = std::strtol(value, nullptr, 10);
    *k.field = static_cast<int>(number);
    ferrule_log("%s=%d\n", k.key, *k.field);
    if (k.check == Check::port && (number < 1 || number > 65535)) {
        note_fatal(at, k.key, value, "is not a port number from 1 to 65535");
    }
    if (k.check == Check::jitter && number != 0 && (number < 60 || number > 1000)) {
        note_fatal(at, k.key, value, "is not 0 (off) or a time from 60 to 1000 ms");
    }
    if (k.check == Check::port_or_off && (number < 0 || number > 65535)) {
        note_fatal(at, k.key, value, "is not 0 (off) or a port number from 1 to 65535");
    }
}

// Returns 1 when the line counts towards the six the file must hold, 0 when it
// does not, -1 when no table knows the key.
int apply_line(const char *key, char *value, const Position &at) {
    for (const WordKey &k : word_keys) {
        if (std::strcmp(key, k.key) == 0) {
            apply_word(k, value, at);
            return k.counted ? 1 : 0;
        }
    }
    for (const NumberKey &k : number_keys) {
        if (std::strcmp(key, k.key) == 0) {
            apply_number(k, value, at);
            return k.counted ? 1 : 0;
        }
    }
    for (const WholeKey &k : whole_keys) {
        if (std::strcmp(key, k.key) == 0) {
            copy_text(k.field, k.size, value, k.size - 1);
            ferrule_log("%s=%s\n", k.key, k.secret ? (k.field[0] != 0 ? "(set)" : "") : k.field);
            return 0;
        }
    }
    for (const TextKey &k : text_keys) {
        if (std::strcmp(key, k.key) == 0) {
            copy_text(k.field, k.size, value, k.limit);
            ferrule_log("%s=%s\n", k.echo_name, k.field);
            return k.counted ? 1 : 0;
        }
    }
    for (const FlagKey &k : flag_keys) {
        if (std::strcmp(key, k.key) == 0) {
            *k.field = value[0] == 'Y' ? 1 : 0;
            if (*k.field == 1) {
                ferrule_log("%s=[%c]\n", k.echo_name, value[0]);
            }
            return k.counted ? 1 : 0;
        }
    }
    if (std::strcmp(key, "Hytera_RPT_allow") == 0) {
        char error[ipv4_allow_list::ERROR_SIZE];
        if (Hytera_RPT_allow.parse(value, error)) {
            ferrule_log("Hytera_RPT_allow=%s\n", value);
        } else {
            // Running open when the operator asked for a closed door is worse
            // than not running.
            note_fatal(at, "Hytera_RPT_allow", value, error);
        }
        return 0;
    }
    return -1;
}

} // namespace

const char *config_fatal_error() {
    return fatal_error[0] != '\0' ? fatal_error : nullptr;
}

int read_config(const char *filename) {
    set_text(funktion_print, "FUNCTION:read_config\n", 99);
    apply_defaults();
    fatal_error[0] = '\0';
    std::FILE *fp = std::fopen(filename, "r");
    if (fp == nullptr) {
        const int open_errno = errno;
        ferrule_log("Failed to open file %s %i\n", filename, 0);
        ferrule_log("No configuration read from %s (%s): running on the built-in defaults\n",
                    filename, std::generic_category().message(open_errno).c_str());
        return 1;
    }
    ferrule_log("Reading file %s\n", filename);
    int counted = 0;
    Position at{filename, 0};
    bool line_ended = true;
    // A physical line longer than the buffer arrives in pieces, each read as a
    // line of its own (and named by the number of the line it came from).
    char line[1020];
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        if (line_ended) {
            ++at.line;
        }
        line_ended = std::strchr(line, '\n') != nullptr;
        if (std::strchr(line, '#') != nullptr) {
            continue;
        }
        if (char *cr = std::strchr(line, '\r'); cr != nullptr) {
            *cr = '\0';
        }
        if (char *lf = std::strchr(line, '\n'); lf != nullptr) {
            *lf = '\0';
        }
        char *eq = std::strchr(line, '=');
        if (eq == nullptr) {
            continue;
        }
        *eq = '\0';
        const int counts = apply_line(line, eq + 1, at);
        if (counts < 0) {
            ferrule_log("%s line %d: unknown key \"%.60s\" ignored\n", filename, at.line, line);
        } else {
            counted += counts;
        }
    }
    std::fclose(fp);
    if (counted < 6) {
        ferrule_log("Configuration file %s invalid only %i\n", filename, counted);
        return 1;
    }
    return 0;
}
