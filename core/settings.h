#pragma once
// Process-wide settings. read_config writes them once before any thread starts;
// afterwards they are only read, so they need no lock (thread creation orders
// the writes before every reader).

#include "core/ipv4_allow.h"

#include <atomic>
#include <cstdint>

inline constexpr const char *FERRULE_VERSION = "ferrule 7.12.20";

// A dotted IPv4 address or a host name (looked up by the link).
extern char DMRGateway_address[254];
extern int DMRGateway_port;
// How long network calls are held before they play towards the repeater;
// 0: not held, every frame goes on at once.
extern int DMRGateway_jitter_ms;
extern char DMRGateway_local_address[16];
extern int DMRGateway_local_port;
// The kind of peer (login, gateway, master), and what a master checks.
extern char DMRGateway_mode[16];
// Gateway mode: "on" sends the DMRC configuration, "off" leaves it out.
extern char DMRGateway_dmrc[8];
extern char DMRGateway_password[256];
extern char DMRGateway_options[256];
extern int Hytera_RPT_PORT;
extern int Hytera_RPT_AUDIO_PORT;
extern int Hytera_RPT_RDAC_PORT;
// Local IPv4 address the three repeater-side sockets bind to.
extern char Hytera_RPT_local_address[16];
extern char Location_Homepage[125];
extern char Location_Name[21];
extern char Location_Latitude[9];
extern char Location_Longitude[10];
extern char Location_Watt[10];
extern char Location_CC[3];
// Gateway and master modes: the configuration message's description and
// antenna height in metres (0-999).
extern char Location_Description[20];
extern int Location_Height;
extern char SYSOP_ID[4097];
extern char SYSOPEMAIL[100];
extern int debug;
// Addresses that may use the three repeater ports; empty: anyone may.
extern ipv4_allow_list Hytera_RPT_allow;
// Where the status page listens (HTTP); port 0 leaves it off.
extern char Status_address[16];
extern int Status_port;
// The MQTT broker; an empty address (the default) leaves the client off.
// The name is the prefix of every topic.
extern char MQTT_address[254];
extern int MQTT_port;
extern char MQTT_name[65];
extern char MQTT_username[129];
extern char MQTT_password[256];
extern int MQTT_keepalive;

// The DMR ID list (DMRIds.dat or user.csv) that names call sources; empty: none.
extern char DMRIds_file[256];

// Name of the last marked function, printed by the signal report. Written by
// read_config before threads start.
extern char funktion_print[100];

// Process run flag: 1 at start, cleared only when a stop signal was reported.
extern std::atomic<std::uint8_t> keep_running;

// Returns 0 when the file was read and held at least 6 counted lines, else 1.
// A missing file or too few lines leave the defaults in force; the caller goes
// on. A file `named` on the command line that cannot be opened or read is
// fatal instead (config_fatal_error says why).
int read_config(const char *filename, bool named = false);

// After read_config: the one log line saying why the daemon cannot start with
// what was read (a named file it could not read, an address that is not a dotted IPv4 address, a
// port outside 1-65535), or nullptr when every value is usable.
const char *config_fatal_error();
