#include "core/log.h"
#include "core/settings.h"
#include "core/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <std::size_t N> void set_text(char (&field)[N], const char *value, std::size_t limit) {
    copy_text(field, value, limit);
}

void apply_defaults() {
    set_text(DMRGateway_address, "127.0.0.1", 15);
    DMRGateway_port = 62031;
    set_text(DMRGateway_local_address, "127.0.0.1", 15);
    DMRGateway_local_port = 62032;
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
    set_text(Status_address, "127.0.0.1", 15);
    Status_port = 62080;
}

struct WordKey {
    const char *key;
    char *field;
    std::size_t size;
    std::size_t limit;
    bool counted;
};

struct NumberKey {
    const char *key;
    int *field;
    bool counted;
};

const WordKey word_keys[] = {
    {"Location_Homepage", Location_Homepage, sizeof Location_Homepage, 124, true},
    {"Location_Name", Location_Name, sizeof Location_Name, 20, true},
    {"Location_Latitude", Location_Latitude, sizeof Location_Latitude, 8, true},
    {"Location_Longitude", Location_Longitude, sizeof Location_Longitude, 9, true},
    // Two, not nine: a three-digit power keeps its first two digits, which is
    // what the configuration message's power field holds.
    {"Location_Watt", Location_Watt, sizeof Location_Watt, 2, true},
    {"Location_CC", Location_CC, sizeof Location_CC, 2, true},
    {"DMRGateway_address", DMRGateway_address, sizeof DMRGateway_address, 15, true},
    {"DMRGateway_local_address", DMRGateway_local_address, sizeof DMRGateway_local_address, 15,
     true},
    {"Hytera_RPT_local_address", Hytera_RPT_local_address, sizeof Hytera_RPT_local_address, 15,
     false},
    {"Status_address", Status_address, sizeof Status_address, 15, false},
};

const NumberKey number_keys[] = {
    {"DMRGateway_port", &DMRGateway_port, true},
    {"DMRGateway_local_port", &DMRGateway_local_port, true},
    {"Hytera_RPT_PORT", &Hytera_RPT_PORT, false},
    {"Hytera_RPT_AUDIO_PORT", &Hytera_RPT_AUDIO_PORT, false},
    {"Hytera_RPT_RDAC_PORT", &Hytera_RPT_RDAC_PORT, false},
    {"Status_port", &Status_port, false},
};

void apply_word(const WordKey &k, char *value) {
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
}

// Returns 1 when the line counts towards the six the file must hold.
int apply_line(const char *key, char *value) {
    for (const WordKey &k : word_keys) {
        if (std::strcmp(key, k.key) == 0) {
            apply_word(k, value);
            return k.counted ? 1 : 0;
        }
    }
    for (const NumberKey &k : number_keys) {
        if (std::strcmp(key, k.key) == 0) {
            *k.field = std::atoi(value);
            ferrule_log("%s=%d\n", k.key, *k.field);
            return k.counted ? 1 : 0;
        }
    }
    if (std::strcmp(key, "debug11") == 0) {
        debug = value[0] == 'Y' ? 1 : 0;
        if (debug == 1) {
            ferrule_log("debug=[%c]\n", value[0]);
        }
        return 0;
    }
    if (std::strcmp(key, "SYSOP_ID11") == 0) {
        set_text(SYSOP_ID, value, 4096);
        ferrule_log("SYSOP_ID=%s\n", SYSOP_ID);
        return 1;
    }
    if (std::strcmp(key, "SYSOPEMAIL11") == 0) {
        set_text(SYSOPEMAIL, value, 99);
        ferrule_log("SYSOPEMAIL=%s\n", SYSOPEMAIL);
        return 1;
    }
    return 0;
}

} // namespace

int read_config(const char *filename) {
    set_text(funktion_print, "FUNCTION:read_config\n", 99);
    apply_defaults();
    std::FILE *fp = std::fopen(filename, "r");
    if (fp == nullptr) {
        ferrule_log("Failed to open file %s %i\n", filename, 0);
        return 1;
    }
    ferrule_log("Reading file %s\n", filename);
    int counted = 0;
    // A physical line longer than the buffer arrives in pieces, each read as a
    // line of its own.
    char line[1020];
    while (std::fgets(line, sizeof line, fp) != nullptr) {
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
        counted += apply_line(line, eq + 1);
    }
    std::fclose(fp);
    if (counted < 6) {
        ferrule_log("Configuration file %s invalid only %i\n", filename, counted);
        return 1;
    }
    return 0;
}
