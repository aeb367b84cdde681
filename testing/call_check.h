#pragma once
// Checks, for the end-to-end tests and the soak, that the frames the
// simulators printed went through the daemon whole: every frame the repeater
// sent reached the peer, and every network frame the repeater should get
// reached it, in order, with the bytes the conversions give.

#include "sim/sim_common.h"
#include "voice/dmrd_to_hytera.h"
#include "voice/hytera_to_dmrd.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace call_check {

struct result {
    std::size_t calls = 0;
    std::size_t frames = 0;
    std::vector<std::string> faults; // empty when all is well
    std::string faults_text() const {
        std::string s;
        for (const std::string &f : faults) {
            s += f + "\n";
        }
        return s;
    }
};

inline std::string hex(const std::vector<std::uint8_t> &f) {
    std::string s;
    char b[3];
    for (std::uint8_t v : f) {
        std::snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}

inline std::uint32_t stream_of(const std::vector<std::uint8_t> &dmrd) {
    return dmrd_frame::read_be(std::span<const std::uint8_t>(dmrd).first<dmrd_frame::LENGTH>(),
                               dmrd_frame::STREAM_ID, 4);
}

inline void fault(result &r, std::size_t frame, const std::string &what) {
    if (r.faults.size() < 20) {
        r.faults.push_back("frame " + std::to_string(frame) + ": " + what);
    }
}

// Repeater -> network. A call starts at each voice LC header the repeater
// sent; its stream ID is random but must be the same for the whole call and
// differ from the previous call's. With `exact_id` the peer's ID goes out as
// it is (the gateway and master modes), else large IDs as the substitute.
inline result to_network(const std::vector<sim::frame_line> &sent,
                         const std::vector<sim::frame_line> &received, std::uint32_t peer_id,
                         std::string_view callsign, bool exact_id = false) {
    result r;
    r.frames = received.size();
    if (sent.size() != received.size()) {
        fault(r, 0,
              std::to_string(sent.size()) + " sent, " + std::to_string(received.size()) +
                  " received");
    }
    peer_sequence sequence{};
    const peer_slot_view view{"key", peer_id, callsign, 3, exact_id};
    std::uint32_t call_stream = 0;
    for (std::size_t i = 0; i < std::min(sent.size(), received.size()); ++i) {
        const auto &in = received[i].bytes;
        if (in.size() != dmrd_frame::LENGTH) {
            fault(r, i, "length " + std::to_string(in.size()));
            continue;
        }
        if (sent[i].bytes.size() == hytera_frame::LENGTH &&
            sent[i].bytes[hytera_frame::SLOT_TYPE] == hytera_frame::TYPE_VOICE_LC_HEADER) {
            if (r.calls > 0 && stream_of(in) == call_stream) {
                fault(r, i, "a new call kept the stream ID");
            }
            call_stream = stream_of(in);
            ++r.calls;
        } else if (stream_of(in) != call_stream) {
            fault(r, i, "stream ID changed inside a call");
        }
        dmrd_frame::Frame expected{};
        if (!hytera_to_dmrd(sent[i].bytes, 0, view, view.key, call_stream, sequence,
                            DMR_CODER_BUILDERS, expected)) {
            fault(r, i, "the repeater sent a frame that is not forwarded");
            continue;
        }
        const std::vector<std::uint8_t> want(expected.begin(), expected.end());
        if (in != want) {
            fault(r, i, "got " + hex(in) + " want " + hex(want));
        }
    }
    return r;
}

// Network -> repeater, for a repeater with `firmware` (it decides the frame
// kind). Repeated headers and terminators are the conversion's to drop; the
// peer's send stamps stand in for the daemon's clock, so a call the peer cut
// ends with the watchdog's terminator.
inline result to_repeater(const std::vector<sim::frame_line> &sent,
                          const std::vector<sim::frame_line> &received, std::string_view firmware) {
    result r;
    r.frames = received.size();
    // A table indexed by source: zero pages from the system, touched only
    // where a source is heard.
    std::unique_ptr<network_call_state, decltype(&std::free)> state(
        static_cast<network_call_state *>(std::calloc(1, sizeof(network_call_state))), &std::free);
    const hytera_target target{firmware, "127.0.0.2", 1};
    std::vector<std::vector<std::uint8_t>> expected;
    hytera_batch batch{};
    auto take = [&] {
        for (std::size_t i = 0; i < batch.count; ++i) {
            const hytera_frame::Frame &out = batch.frames[i];
            expected.emplace_back(out.begin(), out.end());
            r.calls += out[hytera_frame::SLOT_TYPE] == hytera_frame::TYPE_CALL_SETUP ? 1 : 0;
        }
    };
    std::int64_t now_ms = 0;
    for (const sim::frame_line &d : sent) {
        now_ms = d.stamp / 1000000;
        dmrd_to_hytera(d.bytes, target, *state, now_ms, batch);
        take();
    }
    dmrd_tick(*state, target, now_ms + 60000, batch);
    take();
    if (expected.size() != received.size()) {
        fault(r, 0,
              std::to_string(expected.size()) + " expected, " + std::to_string(received.size()) +
                  " received");
    }
    for (std::size_t i = 0; i < std::min(expected.size(), received.size()); ++i) {
        if (received[i].bytes != expected[i]) {
            fault(r, i, "got " + hex(received[i].bytes) + " want " + hex(expected[i]));
        }
    }
    return r;
}

} // namespace call_check
