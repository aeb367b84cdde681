#pragma once
// What a call's voice bursts tell beyond the voice: each burst's bit errors,
// the bursts missing from its superframes, and the talker alias and position
// its embedded signalling carries. One decoder per time slot and direction,
// reset at each call's start; fixed storage, no heap, fed burst by burst.

#include "dmr/embedded_lc.h"
#include "dmr/talker_alias.h"
#include "voice/call_log.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t BURSTS_PER_SUPERFRAME = 6; // A-F
// Talker alias block (DMRA) and GPS information (DMRG) messages to the peer.
inline constexpr std::size_t NETWORK_LC_MESSAGE_MAX = 15;

struct call_decoder {
    embedded_lc_collector embedded;
    talker_alias_collector alias;
    // The burst (0 A .. 5 F) the superframe goes on with; BURSTS_PER_SUPERFRAME
    // before the call's first.
    std::uint8_t next_burst = BURSTS_PER_SUPERFRAME;
    std::uint8_t alias_sent = 0; // bit per block already passed to the network
    bool position_sent = false;
    bool alias_logged = false;
    bool position_logged = false;
};

// An embedded LC the network should hear, once per call each.
struct network_lc {
    bool due = false;
    embedded_lc lc{};
};

// A call starts: the decoder begins afresh and the source's call sign and
// name come from the ID list.
void start_call_figures(call_decoder &d, slot_call &call);

// One voice burst (`burst_index` 0 A .. 5 F) of the running call, 33 bytes
// in air order: counts it, its bit errors and, when `superframe_losses`, the
// bursts missing before it; decodes its embedded signalling. Returns the LC
// to pass to the network, if one completed that was not passed yet.
network_lc count_voice_burst(call_decoder &d, slot_call &call, call_direction direction,
                             std::span<const std::uint8_t, 33> burst, std::size_t burst_index,
                             bool superframe_losses, std::size_t slot, std::size_t repeater);

// A network call's frame with DMRD sequence number `sequence` arrived after
// the one numbered `last`: frames skipped between them count as lost. A
// number at or before the last (repeat, reordering) counts nothing.
void count_sequence_gap(call_figures &f, std::uint8_t last, std::uint8_t sequence);

// The DMRA (talker alias block) or DMRG (position) message for `lc` from
// `source`; returns its length, 0 for any other LC.
std::size_t network_lc_message(std::uint32_t source, const embedded_lc &lc,
                               std::span<std::uint8_t, NETWORK_LC_MESSAGE_MAX> out);

// Bit errors and bits checked by direction, for /metrics.
struct bit_error_counters {
    std::array<std::atomic<std::uint64_t>, 2> errors{};
    std::array<std::atomic<std::uint64_t>, 2> checked{};
};
extern bit_error_counters voice_bit_errors;
