#pragma once
// The record of the Hytera repeaters that talk to the gateway, keyed by their
// IPv4 address text. Three receiver threads and the supervision tick write it
// and the network side reads it, so every access goes through one lock: a
// writer changes a slot field by field, and readers take whole snapshots.

#include "core/rate_limit.h"
#include "hytera/outbox.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <netinet/in.h>

inline constexpr std::size_t REPEATER_SLOTS = 50;
// Lookups of an unknown address answer with the last slot.
inline constexpr int REPEATER_LOOKUP_FALLBACK = 49;
inline constexpr int REPEATER_LIFE_SECONDS = 35;
inline constexpr const char *REPEATER_UNKNOWN_ID = "299199";

struct repeater_entry {
    char Hytera_RPT_ip[40];           // dotted quad; empty marks a free slot
    sockaddr_in Hytera_RPT_ip_System; // first control-port source since registration
    sockaddr_in Hytera_RPT_ip_Audio;  // first 1-byte voice-port source since registration
    sockaddr_in Hytera_RPT_ip_Rdac;   // first RDAC-port source since registration
    int Hytera_RPT_INDEX1;            // 1 once ip_Audio is recorded
    int Hytera_RPT_INDEX2;            // 1 once ip_System is recorded
    int Hytera_RPT_INDEX3;            // 1 once ip_Rdac is recorded
    int Hytera_RPT_Timer;             // remaining life in seconds
    char Hytera_RPT_DmrID[12];
    char Hytera_RPT_Callsign[32];
    char Hytera_RPT_Firmware[30];
    char Hytera_RPT_Model[30];
    char Hytera_RPT_Serialnumme[30];
    char Hytera_RPT_TX_Frequency[20]; // Hz
    char Hytera_RPT_RX_Frequency[20]; // Hz
    char Hytera_RPT_TX_requency[20];  // MHz, for the log
    char Hytera_RPT_RX_requency[20];  // MHz, for the log
    char Hytera_RPT_Shift[30];        // MHz, for the log
    int Hytera_RPT_RDAC_OK;           // 1 once the identity query completed

    bool used() const { return Hytera_RPT_ip[0] != 0; }
};

// Port kinds of the refreshing datagrams.
enum : int { PORT_KIND_VOICE = 1, PORT_KIND_CONTROL = 2, PORT_KIND_RDAC = 3 };

struct insert_result {
    int index;       // slot of the sender, -1 when it has none
    bool registered; // this call registered it
};

// Where an RDAC answer comes from, as the table sees it.
enum class rdac_source {
    unknown,    // no slot holds the address
    repeater,   // the repeater's RDAC address (recorded now if it had none)
    other_port, // the repeater's address, but not its RDAC port
};

class repeater_table {
  public:
    // Registers or refreshes the sender of a refreshing datagram. A new
    // registration prints its line and queues the two opening identity
    // requests (to the address at `rdac_port`) in `box`.
    insert_result insert(int port_kind, const sockaddr_in &source, const char *address_text,
                         std::uint16_t rdac_port, std::time_t now, outbox &box);

    // Lowest slot holding the address, -1 when none does.
    int find(const char *address_text) const;

    // True when the sender has no slot and none is free. Such a sender is
    // refused on every port, so a repeater that cannot be registered is not
    // led to believe it is; the refusal is logged at most once a minute.
    bool refuses(const char *address_text, std::time_t now);

    // Slot of the repeater whose recorded voice address and port are
    // `source`; -1 when there is none.
    int find_voice_source(const sockaddr_in &source) const;

    // Checks an RDAC answer's sender against the repeater's RDAC address,
    // recording it from this answer when the repeater has not greeted on the
    // RDAC port yet. `recorded_port` receives the port it is expected from.
    rdac_source check_rdac_source(const char *address_text, const sockaddr_in &source,
                                  std::uint16_t &recorded_port);

    repeater_entry snapshot(std::size_t index) const;

    // Runs f(slots) with the table locked, for changes that span fields.
    template <class F> auto locked(F f) {
        std::lock_guard<std::mutex> guard(mutex_);
        return f(slots_);
    }
    template <class F> auto locked(F f) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return f(slots_);
    }

    void reset();

  private:
    // Logs a refusal of a full table, at most once a minute; lock not held.
    void log_refusal(const char *address_text, std::time_t now);

    mutable std::mutex mutex_;
    std::array<repeater_entry, REPEATER_SLOTS> slots_{};
    rate_limiter<1> full_lines_{1, 60000};
};

// The daemon's table.
extern repeater_table Hytera_RPT;

// The two opening requests of the identity query.
extern const std::array<std::uint8_t, 12> start12;
extern const std::array<std::uint8_t, 24> start24;

// Lowest slot holding the address; 49 when none does, so a caller cannot tell
// a miss from slot 49. Callers that must tell use repeater_table::find.
int Find_Hytera_Repeater_Index(const char *addressText);

// Dotted-quad text of a socket address; the buffer holds at least 16 bytes.
void address_text(const sockaddr_in &address, char (&text)[16]);
