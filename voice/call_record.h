#pragma once
// What the voice path tells the outside about calls: the call running on each
// time slot in each direction, the last calls heard, and frame counters. The
// voice threads write it at a call's start and end (and count frames with
// atomics); the status page reads copies. One lock covers the call table; no
// reader ever holds it while doing I/O.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>

enum class call_direction : std::uint8_t { to_network = 0, to_repeater = 1 };

// The repeater indexes a call can belong to; only the master mode, where each
// repeater has a link of its own, has calls beyond index 0.
inline constexpr std::size_t VOICE_REPEATERS = 50;

enum class call_end : std::uint8_t {
    running = 0,
    terminator, // its own terminator arrived
    watchdog,   // no frame of it for the watchdog's time
    busy,       // dropped: another call held the time slot
};

const char *call_direction_name(call_direction d); // "repeater to network", ...
const char *call_end_name(call_end e);             // "terminator", "watchdog", ...

// How a call got through and what it carried: counted by the voice path as
// its frames pass, copied into the record when the call ends (and while it
// runs, for the status page). Plain fields, all zero for a call that has none,
// so a zero-initialised table holds it as it is.
struct call_figures {
    // Voice bursts of the call, each counted once as it arrived (late ones
    // too; headers, terminators and duplicates not).
    std::uint32_t frames;
    std::uint32_t lost_frames;      // voice bursts that never arrived
    std::uint32_t late_frames;      // arrived after their turn had gone; not also lost
    std::uint32_t duplicate_frames; // arrived again and dropped
    std::uint32_t silence_frames;   // bursts played as silence in place of missing ones
    std::uint32_t bit_errors;       // corrected in the bursts' AMBE+2 frames
    std::uint32_t bits_checked;
    bool has_position;
    double latitude;          // degrees, north positive
    double longitude;         // degrees, east positive
    char talker_alias[32];    // printable text, NUL-terminated, as much as arrived
    char source_callsign[16]; // from the DMR ID list, empty when unknown
    char source_name[32];
};

// Lost and late over the bursts the call should have had; 0 for a call
// without bursts.
double loss_percent(const call_figures &f);
// Corrected bit errors over the bits checked; 0 when nothing was checked.
double ber_percent(const call_figures &f);

struct call_info {
    bool active = false;
    call_direction direction = call_direction::to_network;
    std::uint8_t slot = 0;     // 0 TS1, 1 TS2
    std::uint8_t repeater = 0; // repeater index
    std::uint32_t source = 0;
    std::uint32_t destination = 0;
    bool group = true;
    std::uint32_t stream_id = 0;
    std::time_t started = 0;      // wall clock, for display; stamped by the record when 0
    std::int64_t started_ms = 0;  // monotonic milliseconds
    std::int64_t duration_ms = 0; // set when it ended
    call_end how = call_end::running;
    call_figures figures{};
};

// Frame counters by direction; dropped frames by reason.
enum class drop_reason : std::uint8_t {
    not_registered, // voice from an address without a table entry
    call_type,      // all call or undefined call type
    busy_slot,      // another call holds the time slot
    invalid,        // wrong length, IDs out of range, unknown kind
    no_destination, // the repeater has no usable voice address
    count_
};
const char *drop_reason_name(drop_reason r);

struct frame_counters {
    std::array<std::atomic<std::uint64_t>, 2> in{};  // by call_direction: frames received
    std::array<std::atomic<std::uint64_t>, 2> out{}; // by call_direction: frames sent
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(drop_reason::count_)> dropped{};
    void count_in(call_direction d) { in[static_cast<std::size_t>(d)].fetch_add(1); }
    void count_out(call_direction d) { out[static_cast<std::size_t>(d)].fetch_add(1); }
    void count_drop(drop_reason r) { dropped[static_cast<std::size_t>(r)].fetch_add(1); }
};

class call_record {
  public:
    static constexpr std::size_t LAST_HEARD = 50;

    // A call started on (repeater, direction, slot); it replaces whatever was
    // recorded as running there.
    void start(const call_info &call);
    // The call running on (repeater, direction, slot) ended; it moves to the
    // last-heard list, newest first. Nothing happens when no call runs there.
    // `figures`, when given, are the call's final ones.
    void end(call_direction direction, std::uint8_t slot, call_end how, std::int64_t now_ms,
             std::uint8_t repeater = 0, const call_figures *figures = nullptr);
    // The running call's figures so far; nothing happens when no call runs there.
    void update(call_direction direction, std::uint8_t slot, std::uint8_t repeater,
                const call_figures &figures);
    // A call that never ran (dropped as busy) goes straight to the list.
    void heard(const call_info &call);

    // Index (repeater * 2 + direction) * 2 + slot: repeater index 0's four
    // come first.
    static constexpr std::size_t ACTIVE = 4 * VOICE_REPEATERS;
    struct view {
        std::array<call_info, ACTIVE> active{};
        std::array<call_info, LAST_HEARD> last{};
        std::size_t last_count = 0;
    };
    view copy() const;
    void reset();

  private:
    void push_last(const call_info &call);
    mutable std::mutex mutex_;
    std::array<call_info, ACTIVE> active_{};
    std::array<call_info, LAST_HEARD> last_{};
    std::size_t last_count_ = 0;
};

// The daemon's record and counters.
extern call_record voice_calls;
extern frame_counters voice_frames;
