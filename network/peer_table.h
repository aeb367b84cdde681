#pragma once
// The network peers the gateway is logged in to. The link thread records and
// refreshes them, the peer timer thread counts them down and frees them, and
// the voice thread reads them; one lock covers every access, and readers get
// whole copies of a slot.

#include "core/peer_id.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <span>

inline constexpr std::size_t MMDVM_PEER_SLOTS = PEER_SLOTS;
inline constexpr int MMDVM_PEER_LIFE_SECONDS = 35;

struct peer_entry {
    char MMDVM_INDEX[30]; // ":" address "-:" port; empty marks a free slot
    sockaddr_in MMDVM_IP_PORT;
    char MMDVM_IP[30];
    int MMDVM_PORT;
    std::uint32_t MMDVM_ID; // as presented: a large ID is recorded as the substitute
    int MMDVM_TIMER;        // seconds left until the peer is dropped
    char MMDVM_Callsign[30];
    char MMDVM_RX_Freq[30]; // MHz, 4 decimals
    char MMDVM_TX_Freq[30];
    char MMDVM_Repeater_Shift[30]; // MHz, 1 decimal
    char MMDVM_TX_Power[30];
    char MMDVM_ColorCode[30];
    char MMDVM_Latitude[30];
    char MMDVM_Longitude[30];
    char MMDVM_Height[30];
    char MMDVM_Location[30];
    char MMDVM_Description[30];
    int MMDVM_Slots;
    char MMDVM_URL[125];
    char MMDVM_Software[41];
    char MMDVM_Package[41];
    char MMDVM_LoginTime[30]; // asctime text, with its line feed
    // The ID goes into DMRD frames as recorded, without the substitute.
    bool MMDVM_ID_exact;

    bool used() const { return MMDVM_INDEX[0] != 0; }
};

// ":" address "-:" port, the key a peer is found by.
void peer_key(const sockaddr_in &address, char (&key)[30]);

// How a new record takes the ID from its RPTC. The login mode has always
// presented large IDs under the substitute; the gateway and master modes
// record the repeater's own ID, which their peers check.
enum class peer_id_rule : std::uint8_t { substitute_large, exact };

// The record a whole RPTC from `address` makes, as a new slot would hold it.
peer_entry peer_record(const sockaddr_in &address, std::span<const std::uint8_t> rptc,
                       const char *time_text, peer_id_rule rule);

struct peer_insert_result {
    int slot;      // -1 when nothing was recorded or refreshed
    bool recorded; // a new slot was filled
};

class peer_table {
  public:
    // Refreshes the slot already holding the sender's key, or records the
    // sender of a whole RPTC in the lowest free slot; a shorter message (a
    // pong) from an unknown sender records nothing. `time_text` is the
    // asctime text of the moment, stored and printed on a new record.
    peer_insert_result insert(const sockaddr_in &address, std::span<const std::uint8_t> message,
                              const char *time_text,
                              peer_id_rule rule = peer_id_rule::substitute_large);

    // Frees the slot holding the address's key without a line: the link that
    // recorded it logs why. False when no slot held it.
    bool remove(const sockaddr_in &address);

    // One second of the peer timer: counts every used slot down and frees
    // those that ran out, each with its "TIME OUT MMDV" line. Returns how many
    // were freed.
    int tick();

    peer_entry snapshot(std::size_t slot) const;
    // Lowest used slot holding the key, -1 when none does.
    int find(const char *key) const;

    void reset();

  private:
    mutable std::mutex mutex_;
    std::array<peer_entry, MMDVM_PEER_SLOTS> slots_{};
};

// The daemon's table.
extern peer_table MMDVM_peers;

// Records or refreshes a peer on the daemon's table.
void InsertMMDVM(sockaddr_in address, unsigned char *message, int length);

// The frequency and shift texts of a record, from the RPTC's Hz fields.
struct peer_frequency_texts {
    char rx[30];
    char tx[30];
    char shift[30];
};
peer_frequency_texts peer_frequencies(const char *rx_field, const char *tx_field);

// One second of the link's timers: the peer timer, then the watch on login
// state 1. A freed peer sets the login state to 0; so does a state 1 that has
// waited `MMDVM_PEER_LIFE_SECONDS` for the RPTACK answering the RPTK or RPTC.
struct login_watch {
    int seconds_in_key_sent = 0;
};
void link_timer_tick(peer_table &table, login_watch &watch, std::atomic<int> &login_state);
