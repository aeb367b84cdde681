#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

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
    set_text(Location_Description, "Multi-Mode Repeater", 19);
    Location_Height = 0;
    set_text(SYSOP_ID, "", 4096);
    set_text(SYSOPEMAIL, "sysop@example.org", 99);
    debug = 0;
    Hytera_RPT_allow.clear();
    set_text(Status_address, "127.0.0.1", 15);
    Status_port = 62080;
    set_text(MQTT_address, "", 253);
    MQTT_port = 1883;
    set_text(MQTT_name, "ferrule", 64);
    set_text(MQTT_username, "", 128);
    set_text(MQTT_password, "", 255);
    MQTT_keepalive = 60;
    set_text(DMRIds_file, "", 255);
}

// What a value must be for the daemon to start at all. Checked on the value
// as written (before the word rule cuts it to its width), so that an address
// one digit too long is not silently shortened into another valid address.
// A height outside its field is no reason to stop: it is brought into range.
enum class Check : std::uint8_t {
    none,
    ipv4_address,
    host,
    topic,
    port,
    port_or_off,
    keepalive,
    height,
    jitter
};

enum class Rule : std::uint8_t {
    word,   // the first word, cut to the limit; an empty word is invalid
    number, // the leading decimal number, as atoi reads it
    whole,  // the whole value, blanks included, cut to the limit
    flag,   // 1 when the value begins with "Y", else 0; echoed only when set
    allow,  // the address list of the repeater ports
};

struct Key {
    const char *name;
    char *text;        // word and whole
    std::size_t size;  // of text
    std::size_t limit; // characters kept of text
    int *number;       // number and flag
    const char *echo;  // the name the echo gives the setting
    Rule rule;
    bool counted; // adds to the six lines the file must hold
    Check check;
    bool secret; // never echoed nor quoted in a message
};

template <std::size_t N>
constexpr Key word(const char *name, char (&field)[N], std::size_t limit, bool counted,
                   Check check = Check::none) {
    return {name, field, N, limit, nullptr, name, Rule::word, counted, check, false};
}

constexpr Key number(const char *name, int &field, bool counted, Check check) {
    return {name, nullptr, 0, 0, &field, name, Rule::number, counted, check, false};
}

template <std::size_t N>
constexpr Key whole(const char *name, char (&field)[N], std::size_t limit, bool counted,
                    const char *echo, bool secret = false) {
    return {name, field, N, limit, nullptr, echo, Rule::whole, counted, Check::none, secret};
}

// Every key the file may hold is in this one table: the messages about
// misspelt keys and cut values know of a key once it is here.
const Key keys[] = {
    word("Location_Homepage", Location_Homepage, 124, true),
    word("Location_Name", Location_Name, 20, true),
    word("Location_Latitude", Location_Latitude, 8, true),
    word("Location_Longitude", Location_Longitude, 9, true),
    // Two, not nine: a three-digit power keeps its first two digits, which is
    // what the configuration message's power field holds.
    word("Location_Watt", Location_Watt, 2, true),
    word("Location_CC", Location_CC, 2, true),
    whole("Location_Description", Location_Description, 19, false, "Location_Description"),
    number("Location_Height", Location_Height, false, Check::height),
    word("DMRGateway_address", DMRGateway_address, 253, true, Check::host),
    word("DMRGateway_local_address", DMRGateway_local_address, 15, true, Check::ipv4_address),
    word("DMRGateway_mode", DMRGateway_mode, 15, false),
    word("DMRGateway_dmrc", DMRGateway_dmrc, 7, false),
    word("Hytera_RPT_local_address", Hytera_RPT_local_address, 15, false, Check::ipv4_address),
    word("Status_address", Status_address, 15, false, Check::ipv4_address),
    number("DMRGateway_port", DMRGateway_port, true, Check::port),
    number("DMRGateway_local_port", DMRGateway_local_port, true, Check::port),
    number("Hytera_RPT_PORT", Hytera_RPT_PORT, false, Check::port),
    number("Hytera_RPT_AUDIO_PORT", Hytera_RPT_AUDIO_PORT, false, Check::port),
    number("Hytera_RPT_RDAC_PORT", Hytera_RPT_RDAC_PORT, false, Check::port),
    number("Status_port", Status_port, false, Check::port_or_off),
    number("DMRGateway_jitter_ms", DMRGateway_jitter_ms, false, Check::jitter),
    whole("DMRGateway_password", DMRGateway_password, 255, false, "DMRGateway_password", true),
    whole("DMRGateway_options", DMRGateway_options, 255, false, "DMRGateway_options"),
    whole("DMRIds_file", DMRIds_file, 255, false, "DMRIds_file"),
    word("MQTT_address", MQTT_address, 253, false, Check::host),
    number("MQTT_port", MQTT_port, false, Check::port),
    word("MQTT_name", MQTT_name, 64, false, Check::topic),
    word("MQTT_username", MQTT_username, 128, false),
    whole("MQTT_password", MQTT_password, 255, false, "MQTT_password", true),
    number("MQTT_keepalive", MQTT_keepalive, false, Check::keepalive),
    whole("SYSOP_ID11", SYSOP_ID, 4096, true, "SYSOP_ID"),
    whole("SYSOPEMAIL11", SYSOPEMAIL, 99, true, "SYSOPEMAIL"),
    {"debug11", nullptr, 0, 0, &debug, "debug", Rule::flag, false, Check::none, false},
    {"Hytera_RPT_allow", nullptr, 0, 0, nullptr, "Hytera_RPT_allow", Rule::allow, false,
     Check::none, false},
};

const Key *find_key(std::string_view name) {
    for (const Key &k : keys) {
        if (name == k.name) {
            return &k;
        }
    }
    return nullptr;
}

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

void check_word(const Key &k, const char *value, const Position &at) {
    in_addr address{};
    const bool dotted = inet_pton(AF_INET, value, &address) == 1;
    if (k.check == Check::ipv4_address && !dotted) {
        note_fatal(at, k.name, value, "is not a dotted IPv4 address such as 192.168.1.10");
    }
    if (k.check == Check::host && !dotted && !is_host_name(value)) {
        note_fatal(at, k.name, value,
                   "is not a dotted IPv4 address such as 192.168.1.10 nor a host name");
    }
    // A wildcard in the prefix would make every topic a subscription filter,
    // which a broker refuses to publish to.
    if (k.check == Check::topic &&
        (std::strpbrk(value, "+#") != nullptr || std::strlen(value) > 64)) {
        note_fatal(at, k.name, value, "holds + or # or is longer than 64 characters");
    }
}

// Says so when a text is longer than the characters its setting keeps.
void warn_if_cut(const Key &k, const char *value, const Position &at) {
    const std::size_t kept = std::strlen(k.text);
    if (value[kept] == '\0') {
        return;
    }
    if (k.secret) {
        ferrule_log("%s line %d: %s cut to its first %zu characters\n", at.file, at.line, k.name,
                    kept);
    } else {
        ferrule_log("%s line %d: %s \"%.60s\" cut to its first %zu characters \"%s\"\n", at.file,
                    at.line, k.name, value, kept, k.text);
    }
}

bool has_non_blank(const char *text) {
    return text[std::strspn(text, " \t")] != '\0';
}

void apply_word(const Key &k, char *value, const Position &at) {
    char *blank = std::strchr(value, ' ');
    char *rest = nullptr;
    if (blank != nullptr) {
        *blank = '\0';
        rest = blank + 1;
    }
    if (value[0] == '\0') {
        ferrule_log("%s value %s invalid\n", k.name, value);
        return;
    }
    copy_text(k.text, k.size, value, k.limit);
    ferrule_log("%s=%s\n", k.name, k.text);
    if (rest != nullptr && has_non_blank(rest)) {
        ferrule_log("%s line %d: %s \"%s %.60s\" cut to its first word \"%s\"\n", at.file, at.line,
                    k.name, value, rest, k.text);
    } else {
        warn_if_cut(k, value, at);
    }
    check_word(k, value, at);
}

void apply_number(const Key &k, const char *value, const Position &at) {
    // atoi's reading, without its undefined result for numbers beyond int.
    char *end = nullptr;
    long number = std::strtol(value, &end, 10);
    if (k.check == Check::height && (number < 0 || number > 999)) {
        const long kept = number < 0 ? 0 : 999;
        ferrule_log("%s line %d: %s=%ld is outside 0-999 metres, %ld taken\n", at.file, at.line,
                    k.name, number, kept);
        number = kept;
    }
    *k.number = static_cast<int>(number);
    ferrule_log("%s=%d\n", k.name, *k.number);
    if (has_non_blank(end)) {
        ferrule_log("%s line %d: %s=%.60s read as %d\n", at.file, at.line, k.name, value,
                    *k.number);
    }
    if (k.check == Check::port && (number < 1 || number > 65535)) {
        note_fatal(at, k.name, value, "is not a port number from 1 to 65535");
    }
    if (k.check == Check::jitter && number != 0 && (number < 60 || number > 1000)) {
        note_fatal(at, k.name, value, "is not 0 (off) or a time from 60 to 1000 ms");
    }
    if (k.check == Check::port_or_off && (number < 0 || number > 65535)) {
        note_fatal(at, k.name, value, "is not 0 (off) or a port number from 1 to 65535");
    }
    if (k.check == Check::keepalive && (number < 5 || number > 65535)) {
        note_fatal(at, k.name, value, "is not a number of seconds from 5 to 65535");
    }
}

void apply_whole(const Key &k, const char *value, const Position &at) {
    copy_text(k.text, k.size, value, k.limit);
    if (k.secret) {
        ferrule_log("%s=%s\n", k.echo, k.text[0] != 0 ? "(set)" : "");
        const std::size_t n = std::strlen(value);
        if (n > 0 && (value[0] == ' ' || value[n - 1] == ' ')) {
            ferrule_log("%s line %d: %s begins or ends with a blank, which is kept as part of it\n",
                        at.file, at.line, k.name);
        }
    } else {
        ferrule_log("%s=%s\n", k.echo, k.text);
    }
    warn_if_cut(k, value, at);
}

void apply_allow(const Key &k, const char *value, const Position &at) {
    char error[ipv4_allow_list::ERROR_SIZE];
    if (Hytera_RPT_allow.parse(value, error)) {
        ferrule_log("%s=%s\n", k.name, value);
    } else {
        // Running open when the operator asked for a closed door is worse
        // than not running.
        note_fatal(at, k.name, value, error);
    }
}

// Returns 1 when the line counts towards the six the file must hold, 0 when it
// does not, -1 when the table does not know the key.
int apply_line(const char *key, char *value, const Position &at) {
    const Key *k = find_key(key);
    if (k == nullptr) {
        return -1;
    }
    switch (k->rule) {
    case Rule::word:
        apply_word(*k, value, at);
        break;
    case Rule::number:
        apply_number(*k, value, at);
        break;
    case Rule::whole:
        apply_whole(*k, value, at);
        break;
    case Rule::flag:
        *k->number = value[0] == 'Y' ? 1 : 0;
        if (*k->number == 1) {
            ferrule_log("%s=[%c]\n", k->echo, value[0]);
        }
        break;
    case Rule::allow:
        apply_allow(*k, value, at);
        break;
    }
    return k->counted ? 1 : 0;
}

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Edits (a letter added, dropped, changed, or two neighbours swapped) between
// two names, ignoring case; more than `most` is reported as most + 1.
std::size_t edits_between(std::string_view a, std::string_view b, std::size_t most) {
    constexpr std::size_t LONGEST = 63;
    if (a.size() > LONGEST || b.size() > LONGEST ||
        (a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > most) {
        return most + 1;
    }
    // Three rows of the usual table are all the swap rule looks back on.
    std::array<std::array<std::size_t, LONGEST + 1>, 3> row{};
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        auto &cur = row[i % 3];
        const auto &prev = row[(i - 1) % 3];
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + change});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                lower(a[i - 2]) == lower(b[j - 1])) {
                cur[j] = std::min(cur[j], row[(i - 2) % 3][j - 2] + 1);
            }
        }
    }
    return std::min(row[a.size() % 3][b.size()], most + 1);
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The one line for a key the table does not know: what the operator most
// likely meant, when that can be told.
void report_unknown_key(const char *key, const Position &at) {
    const std::string_view bare = trimmed(key);
    if (bare != key && find_key(bare) != nullptr) {
        ferrule_log("%s line %d: blank around the key %.*s, so the line is ignored; write it as "
                    "%.*s=value\n",
                    at.file, at.line, static_cast<int>(bare.size()), bare.data(),
                    static_cast<int>(bare.size()), bare.data());
        return;
    }
    const Key *nearest = nullptr;
    std::size_t fewest = 3;
    for (const Key &k : keys) {
        if (const std::size_t n = edits_between(bare, k.name, 2); n < fewest) {
            fewest = n;
            nearest = &k;
        }
    }
    if (nearest != nullptr) {
        ferrule_log("%s line %d: unknown key \"%.60s\" ignored; did you mean %s?\n", at.file,
                    at.line, key, nearest->name);
    } else {
        ferrule_log("%s line %d: unknown key \"%.60s\" ignored\n", at.file, at.line, key);
    }
}

// A line is dropped whole for a "#" anywhere in it; that is worth a word when
// a known key stood before it, since the operator meant the line to count.
void report_dropped_line(const char *line, const Position &at) {
    const std::string_view before(line, std::strcspn(line, "#"));
    const std::size_t eq = before.find('=');
    if (eq == std::string_view::npos) {
        return;
    }
    const std::string_view key = trimmed(before.substr(0, eq));
    if (find_key(key) != nullptr) {
        ferrule_log("%s line %d: the line of %.*s is ignored whole because it holds \"#\"; a "
                    "value cannot hold \"#\" and a comment needs a line of its own\n",
                    at.file, at.line, static_cast<int>(key.size()), key.data());
    }
}

void note_unreadable(const char *filename, int error) {
    std::snprintf(fatal_error, sizeof fatal_error,
                  "Cannot read the configuration file %.300s (%.100s); ferrule stops\n", filename,
                  std::generic_category().message(error).c_str());
}

// Other local users may read the file: anyone, or a group that is neither
// root's nor the daemon's own.
bool readable_by_others(const struct stat &st) {
    if ((st.st_mode & S_IROTH) != 0) {
        return true;
    }
    return (st.st_mode & S_IRGRP) != 0 && st.st_gid != 0 && st.st_gid != getegid();
}

} // namespace

const char *config_fatal_error() {
    return fatal_error[0] != '\0' ? fatal_error : nullptr;
}

int read_config(const char *filename, bool named) {
    set_text(funktion_print, "FUNCTION:read_config\n", 99);
    apply_defaults();
    fatal_error[0] = '\0';
    std::FILE *fp = std::fopen(filename, "r");
    if (fp == nullptr) {
        const int open_errno = errno;
        if (named) {
            // The service names its file: running on the defaults would serve
            // the wrong network with the repeater ports open to anyone.
            note_unreadable(filename, open_errno);
            return 1;
        }
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
            report_dropped_line(line, at);
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
            report_unknown_key(line, at);
        } else {
            counted += counts;
        }
    }
    // A directory opens but cannot be read; neither can a file on a failing disk.
    const int read_errno = std::ferror(fp) != 0 ? errno : 0;
    struct stat st {};
    const bool stat_ok = fstat(fileno(fp), &st) == 0;
    std::fclose(fp);
    if (read_errno != 0 && named) {
        apply_defaults();
        note_unreadable(filename, read_errno);
        return 1;
    }
    const char *secret = DMRGateway_password[0] != '\0' ? "DMRGateway_password"
                         : MQTT_password[0] != '\0'     ? "MQTT_password"
                                                        : nullptr;
    if (stat_ok && secret != nullptr && readable_by_others(st)) {
        ferrule_log("%s holds %s and other local users may read it (mode %04o, "
                    "group %u): make it readable by root and ferrule only, e.g. chmod 600 %s\n",
                    filename, secret, static_cast<unsigned>(st.st_mode & 07777),
                    static_cast<unsigned>(st.st_gid), filename);
    }
    if (counted < 6) {
        ferrule_log("Configuration file %s invalid only %i\n", filename, counted);
        return 1;
    }
    return 0;
}
