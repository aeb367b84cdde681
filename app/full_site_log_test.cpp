// A full site at once: fifty repeaters log in and identify themselves, then
// each carries a call on both time slots to the network while as many calls
// come back. The repeater side's threads limit their log per sender and kind
// of line; none of these lines of normal operation may be held back.
#include "hytera/control.h"
#include "hytera/rdac.h"
#include "sim/repeater_packets.h"
#include "testing/hytera_helpers.h"
#include "testing/test_frames.h"
#include "testing/test_support.h"
#include "voice/dmrd_to_hytera.h"
#include "voice/hytera_to_dmrd.h"
#include "voice/voice_receiver.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

using namespace ferrule_test;
namespace hf = hytera_frame;
namespace df = dmrd_frame;

namespace {

constexpr std::size_t REPEATERS = 50;

std::size_t count_of(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

std::string address_of(std::size_t i) {
    return "127.0.1." + std::to_string(i + 1);
}

std::uint32_t in_addr_of(std::size_t i) {
    return endpoint(address_of(i).c_str(), 1).sin_addr.s_addr;
}

int no_random() {
    return 7;
}

TEST(FullSiteLog, EveryIdentityAndCallLineOfFiftyRepeatersAndTwoHundredCalls) {
    CapturedLog log;
    // The repeater side's two threads each keep one limiter for every sender.
    log_limiter control_lines;
    log_limiter voice_lines;
    std::int64_t now_ms = 1000;
    repeater_table table;
    rdac_state rdac;
    for (std::size_t i = 0; i < REPEATERS; ++i) {
        const std::string ip = address_of(i);
        const std::uint32_t id = 2621000 + static_cast<std::uint32_t>(i);
        outbox box;
        {
            log_limit_scope scope(control_lines, in_addr_of(i), now_ms);
            control_react(table, open_guard(), datagram(20), endpoint(ip.c_str(), 30001), PORTS,
                          NOW, box);
        }
        for (const bytes &d : {bytes{0}, repeater_packets::identity_answer({.callsign = "DB0X"}),
                               repeater_packets::radio_data({.id = id})}) {
            log_limit_scope scope(control_lines, in_addr_of(i), now_ms);
            rdac_react(table, open_guard(), d, endpoint(ip.c_str(), RDAC_PORT), RDAC_PORT, rdac,
                       NOW, box);
        }
    }

    // Calls to the network: a voice LC header, a superframe and a terminator
    // on both slots of every repeater, frame by frame across all of them.
    auto receivers = std::make_unique<std::array<voice_receiver_state, REPEATERS>>();
    auto sequences = std::make_unique<std::array<peer_sequence, REPEATERS>>();
    const std::array<std::uint8_t, 8> types = {
        hf::TYPE_VOICE_LC_HEADER, hf::TYPE_VOICE_A, hf::TYPE_VOICE_B, hf::TYPE_VOICE_C,
        hf::TYPE_VOICE_D,         hf::TYPE_VOICE_E, hf::TYPE_VOICE_F, hf::TYPE_TERMINATOR};
    for (std::size_t i = 0; i < REPEATERS; ++i) {
        (*receivers)[i].repeater = static_cast<std::uint8_t>(i);
    }
    for (std::size_t step = 0; step < types.size(); ++step, now_ms += 30) {
        for (std::size_t i = 0; i < REPEATERS; ++i) {
            for (std::uint8_t slot : {hf::SLOT_BYTE_TS1, hf::SLOT_BYTE_TS2}) {
                hf::Frame f = voice_test::hytera(slot, types[step], static_cast<std::uint8_t>(step),
                                                 hf::CALL_GROUP, 2621000 + i, 262);
                if (step == 0) {
                    hf::write_word(f, hf::SETUP_MARK, hf::MARK_SET);
                }
                log_limit_scope scope(voice_lines, in_addr_of(i), now_ms);
                const voice_reaction r = voice_receive(f, (*receivers)[i], no_random, now_ms);
                df::Frame out{};
                hytera_to_dmrd(f, 0, {"k", 2621000, "DB0X", 1}, "k", r.stream_id, (*sequences)[i],
                               DMR_CODER_BUILDERS, out);
            }
        }
    }

    // And as many from the network, on each repeater's own link.
    auto network = std::make_unique<std::array<repeater_call_state, REPEATERS>>();
    const std::array<std::uint8_t, 4> kinds = {df::KIND_VOICE_LC_HEADER, df::KIND_VOICE_A,
                                               df::KIND_VOICE_B, df::KIND_TERMINATOR};
    for (std::size_t step = 0; step < kinds.size(); ++step, now_ms += 60) {
        for (std::size_t i = 0; i < REPEATERS; ++i) {
            (*network)[i].repeater = static_cast<std::uint8_t>(i);
            for (std::uint8_t ts : {std::uint8_t{0}, df::FLAG_TS2}) {
                df::Frame d = voice_test::dmrd(static_cast<std::uint8_t>(step), 2629000 + i, 91,
                                               static_cast<std::uint8_t>(kinds[step] | ts));
                df::write_be(d, df::STREAM_ID, 4, static_cast<std::uint32_t>(i * 2 + 1 + ts));
                hytera_batch batch{};
                dmrd_to_hytera(d, {"A8", "127.0.0.2", 50000}, (*network)[i], now_ms, batch);
            }
        }
    }

    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "Hytera_RPT Login ip "), REPEATERS);
    EXPECT_EQ(count_of(text, "Hytera_RPT Login Type:"), REPEATERS);
    EXPECT_EQ(count_of(text, "Repeater call to the network started"), 2 * REPEATERS);
    EXPECT_EQ(count_of(text, "Repeater call to the network ended by its terminator"),
              2 * REPEATERS);
    EXPECT_EQ(count_of(text, ") START of Voice TS"), 2 * REPEATERS);
    EXPECT_EQ(count_of(text, " End of Voice TS"), 2 * REPEATERS);
    EXPECT_EQ(count_of(text, "Network call to the repeater started"), 2 * REPEATERS);
    EXPECT_EQ(count_of(text, "Network call to the repeater ended by its terminator"),
              2 * REPEATERS);
    EXPECT_EQ(count_of(text, "held back"), 0U) << text.substr(0, 4000);
}

} // namespace
