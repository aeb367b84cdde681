#pragma once
// Network DMRD frame -> repeater voice frame. The link thread calls this for
// every received DMRD datagram and sends the result from the voice socket.

#include "voice/call_decoder.h"
#include "voice/call_log.h"
#include "voice/dmrd_frame.h"
#include "voice/hytera_frame.h"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <string_view>

inline constexpr std::uint32_t NETWORK_SOURCE_MIN = 4000;
inline constexpr std::uint32_t NETWORK_ID_MAX = 9000000;

// The wrap counts of the few sources a repeater heard last, for the master
// mode's links, which serve a repeater each: a count restarts with every call
// setup, so a source forgotten after eight others loses nothing a running
// call needs, and fifty repeaters do not each need a table of every ID.
class source_wrap_counts {
  public:
    static constexpr std::size_t CAPACITY = 8;
    // The count of `source`, 0 for a source not held (it then replaces the
    // least recently used).
    std::uint8_t &operator[](std::uint32_t source);

  private:
    struct entry {
        std::uint32_t source; // 0: free (no valid source is 0)
        std::uint8_t count;
        std::uint32_t used_at;
    };
    std::array<entry, CAPACITY> entries_{};
    std::uint32_t uses_ = 0;
};

// The link thread's state towards one repeater. Each time slot carries at
// most one call, found by its stream ID and source. `Wraps` maps a source
// ID to its wrap count.
template <class Wraps> struct basic_network_call_state {
    Wraps wrap_count;
    std::array<slot_call, 2> calls;
    std::array<call_decoder, 2> decoders;
    // The last stream dropped on each slot while it was busy, logged once.
    std::array<slot_call, 2> refused;
    std::array<std::uint32_t, 2> data_packet_count;
    std::array<std::uint32_t, 2> data_destination;
    // The sequence numbers of the running call's frames handled lately, so
    // a frame the internet delivers twice goes on the air once.
    std::array<std::bitset<256>, 2> handled;
    std::uint8_t repeater; // the repeater index, for the log and the call record
};

// Towards repeater index 0, the one repeater outside the master mode. The
// wrap counts are indexed directly by source ID; only their low byte is ever
// sent, so a byte each keeps the table at 9 MB of zero-initialised static
// storage, of which only the pages of sources actually heard become resident.
using network_call_state = basic_network_call_state<std::array<std::uint8_t, NETWORK_ID_MAX + 1>>;
// Towards one repeater of the master mode, on its own link.
using repeater_call_state = basic_network_call_state<source_wrap_counts>;

// The link thread's instance; only that thread touches it.
extern network_call_state mmdvm_rx_state;

// What repeater index 0 offers as a destination when the frame is converted.
struct hytera_target {
    std::string_view firmware;
    std::string_view address;
    std::uint16_t voice_port;
};

enum class dmrd_outcome {
    dropped,        // rejected or filtered: nothing to send
    send,           // the batch holds frames for the target
    no_destination, // converted and state updated, but the target has no usable address
};

// What one network frame or one tick gives the repeater, in sending order: at
// most the terminator of a call the watchdog ended, a call setup frame, and
// the frame itself.
struct hytera_batch {
    std::array<hytera_frame::Frame, 3> frames;
    std::size_t count;
};

// Converts one DMRD datagram received at `now_ms` (monotonic). Voice frames
// pass only for the call holding their time slot: the first voice frame of a
// new stream on an idle slot starts a call with a call setup frame (built
// from its own IDs when the voice LC header was lost); another stream's frames
// are dropped until that call ends at its terminator or by the watchdog.
// Data frames pass as before.
template <class Wraps>
dmrd_outcome dmrd_to_hytera(std::span<const std::uint8_t> datagram, const hytera_target &target,
                            basic_network_call_state<Wraps> &state, std::int64_t now_ms,
                            hytera_batch &batch);

// The same for a frame the playout buffer gives out at its turn, with its
// call's frame counts as the buffer keeps them: they become the call's. The
// frame was counted as received when it went into the buffer.
template <class Wraps>
dmrd_outcome dmrd_playout_to_hytera(const dmrd_frame::Frame &frame, const call_figures &counts,
                                    const hytera_target &target,
                                    basic_network_call_state<Wraps> &state, std::int64_t now_ms,
                                    hytera_batch &batch);

// The watchdog, run at least every 100 ms: ends every call that has had no
// frame for CALL_WATCHDOG_MS, giving the repeater a terminator frame for it.
// Returns how many frames `batch` holds.
template <class Wraps>
std::size_t dmrd_tick(basic_network_call_state<Wraps> &state, const hytera_target &target,
                      std::int64_t now_ms, hytera_batch &batch);
// True while a call holds a time slot: a tick can only find work then.
template <class Wraps> bool network_call_running(const basic_network_call_state<Wraps> &state);

// True when `address` is a dotted quad that names one host (not any, not
// broadcast) and `port` is set; a repeater that never registered on the voice
// port has neither.
bool hytera_target_usable(std::string_view address, std::uint16_t port);
// The same check, also giving the socket address to send to.
bool hytera_target_address(std::string_view address, std::uint16_t port, sockaddr_in &out);
