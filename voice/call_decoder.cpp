#include "voice/call_decoder.h"

#include "dmr/ambe_fec.h"
#include "ids/id_list.h"

#include <cstring>

bit_error_counters voice_bit_errors;

namespace {

constexpr std::array<std::uint8_t, 4> DMRA = {'D', 'M', 'R', 'A'};
constexpr std::array<std::uint8_t, 4> DMRG = {'D', 'M', 'R', 'G'};
constexpr std::size_t LC_PAYLOAD = 2; // after FLCO and feature set ID
constexpr std::size_t LC_PAYLOAD_LENGTH = 7;
// A gap of more than this many frames is taken as a reordered or repeated
// frame, not as a loss.
constexpr std::uint8_t SEQUENCE_WINDOW = 127;

void put_source(std::span<std::uint8_t, NETWORK_LC_MESSAGE_MAX> out, std::uint32_t source) {
    out[4] = static_cast<std::uint8_t>(source >> 16);
    out[5] = static_cast<std::uint8_t>(source >> 8);
    out[6] = static_cast<std::uint8_t>(source);
}

// A completed LC: the alias or position it adds to the figures, and whether
// the network has heard it in this call.
network_lc take_lc(call_decoder &d, slot_call &call, call_direction direction,
                   const embedded_lc &lc, std::size_t slot, std::size_t repeater) {
    network_lc out{};
    call_figures &f = call.figures;
    gps_position position{};
    if (d.alias.add(lc)) {
        const bool complete = d.alias.text(f.talker_alias);
        const std::size_t block = (lc[0] & FLCO_MASK) - FLCO_TALKER_ALIAS_HEADER;
        out.due = (d.alias_sent >> block & 1U) == 0;
        d.alias_sent = static_cast<std::uint8_t>(d.alias_sent | 1U << block);
        if (complete && !d.alias_logged) {
            d.alias_logged = true;
            call_alias_heard(direction, slot, call, repeater);
        }
    } else if (gps_decode(lc, position)) {
        f.has_position = true;
        f.latitude = position.latitude;
        f.longitude = position.longitude;
        out.due = !d.position_sent;
        d.position_sent = true;
        if (!d.position_logged) {
            d.position_logged = true;
            call_position_heard(direction, slot, call, repeater);
        }
    }
    out.lc = lc;
    return out;
}

} // namespace

void start_call_figures(call_decoder &d, slot_call &call) {
    d = call_decoder{};
    call.figures = call_figures{};
    dmr_ids.find(call.source, call.figures.source_callsign, call.figures.source_name);
}

network_lc count_voice_burst(call_decoder &d, slot_call &call, call_direction direction,
                             std::span<const std::uint8_t, 33> burst, std::size_t burst_index,
                             bool superframe_losses, std::size_t slot, std::size_t repeater) {
    call_figures &f = call.figures;
    burst_index %= BURSTS_PER_SUPERFRAME;
    if (superframe_losses && d.next_burst < BURSTS_PER_SUPERFRAME) {
        f.lost_frames += static_cast<std::uint32_t>(
            (burst_index + BURSTS_PER_SUPERFRAME - d.next_burst) % BURSTS_PER_SUPERFRAME);
    }
    d.next_burst = static_cast<std::uint8_t>((burst_index + 1) % BURSTS_PER_SUPERFRAME);
    ++f.frames;
    const std::uint32_t errors = ambe_burst_errors(burst);
    f.bit_errors += errors;
    f.bits_checked += AMBE_BITS_CHECKED;
    const auto d_index = static_cast<std::size_t>(direction);
    voice_bit_errors.errors[d_index].fetch_add(errors, std::memory_order_relaxed);
    voice_bit_errors.checked[d_index].fetch_add(AMBE_BITS_CHECKED, std::memory_order_relaxed);

    network_lc out{};
    if (burst_index == 0) {
        // Burst A carries sync, not signalling; a superframe starts over.
        d.embedded.reset();
    } else {
        embedded_lc lc{};
        if (d.embedded.add(burst, lc)) {
            out = take_lc(d, call, direction, lc, slot, repeater);
        }
    }
    // The running call's figures for the status page, once a superframe and
    // whenever something new arrived.
    if (burst_index == BURSTS_PER_SUPERFRAME - 1 || out.due) {
        voice_calls.update(direction, static_cast<std::uint8_t>(slot),
                           static_cast<std::uint8_t>(repeater), f);
    }
    return out;
}

void count_sequence_gap(call_figures &f, std::uint8_t last, std::uint8_t sequence) {
    const auto gap = static_cast<std::uint8_t>(sequence - last);
    if (gap > 1 && gap <= SEQUENCE_WINDOW) {
        f.lost_frames += gap - 1U;
    }
}

std::size_t network_lc_message(std::uint32_t source, const embedded_lc &lc,
                               std::span<std::uint8_t, NETWORK_LC_MESSAGE_MAX> out) {
    const unsigned flco = lc[0] & FLCO_MASK;
    std::size_t length = 0;
    std::size_t payload_at = 0;
    if (flco >= FLCO_TALKER_ALIAS_HEADER && flco <= FLCO_TALKER_ALIAS_BLOCK_3) {
        std::copy(DMRA.begin(), DMRA.end(), out.begin());
        out[7] = static_cast<std::uint8_t>(flco - FLCO_TALKER_ALIAS_HEADER);
        payload_at = 8;
        length = 15;
    } else if (flco == FLCO_GPS_INFO) {
        std::copy(DMRG.begin(), DMRG.end(), out.begin());
        payload_at = 7;
        length = 14;
    } else {
        return 0;
    }
    put_source(out, source);
    std::copy(lc.begin() + LC_PAYLOAD, lc.begin() + LC_PAYLOAD + LC_PAYLOAD_LENGTH,
              out.begin() + static_cast<std::ptrdiff_t>(payload_at));
    return length;
}
