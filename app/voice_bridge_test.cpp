// The shell's reading of the daemon's tables: which repeater address and port
// a network frame goes to, and what of a peer slot the conversion sees; and
// the voice port against strangers: unregistered, outside the allow-list, at
// another port than the one the repeater registered, and when the table is full.
#include "app/voice_bridge.h"
#include "core/settings.h"
#include "testing/test_frames.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

namespace {

namespace hf = hytera_frame;
using namespace ferrule_test;

repeater_entry repeater(const char *ip, int voice_recorded, std::uint16_t port) {
    repeater_entry e{};
    std::strcpy(e.Hytera_RPT_ip, ip);
    std::strcpy(e.Hytera_RPT_Firmware, "A7.01.02.003");
    e.Hytera_RPT_INDEX1 = voice_recorded;
    e.Hytera_RPT_ip_Audio.sin_port = htons(port);
    return e;
}

const std::array<std::uint8_t, 1> REGISTRATION{0x00};

// A call's first frame, which opens the stream of TS2 when it is taken.
hf::Frame call_start() {
    hf::Frame f = voice_test::hytera(hf::SLOT_BYTE_TS2, 0x11, 1, 1, 2621234, 262);
    f[hf::SETUP_MARK] = f[hf::SETUP_MARK + 1] = 0x11;
    return f;
}

// Feeds a registration and then a call's first frame; true when it was taken.
bool register_then_call(voice_port_state &state, const char *ip, std::uint16_t voice_port,
                        std::uint16_t frame_port) {
    voice_port_datagram(REGISTRATION, endpoint(ip, voice_port), state, 1000, 1000000);
    voice_port_datagram(call_start(), endpoint(ip, frame_port), state, 1000, 1000000);
    const bool taken = state.receivers[0].stream_open[1];
    state.receivers[0] = {};
    return taken;
}

} // namespace

TEST(VoiceBridge, RepeaterTargetHasAPortOnlyOnceTheVoicePortRegistered) {
    struct row {
        const char *ip;
        int voice_recorded;
        std::uint16_t port;
        std::uint16_t expected_port;
        bool usable;
    };
    const row rows[] = {
        {"127.0.0.2", 1, 50001, 50001, true},
        {"127.0.0.2", 0, 50001, 0, false}, // a stale port of a freed slot is not used
        {"", 1, 50001, 50001, false},      // free slot: no address
        {"255.255.255.255", 1, 50001, 50001, false},
    };
    for (const row &r : rows) {
        hytera_target_copy t;
        repeater_target_of(repeater(r.ip, r.voice_recorded, r.port), t);
        EXPECT_EQ(t.target.voice_port, r.expected_port) << r.ip;
        EXPECT_EQ(t.target.address, r.ip);
        EXPECT_EQ(t.target.firmware, "A7.01.02.003");
        EXPECT_EQ(hytera_target_usable(t.target.address, t.target.voice_port), r.usable) << r.ip;
    }
}

TEST(VoiceBridge, PeerViewStopsAtTheFieldEvenWithoutATerminator) {
    peer_entry e{};
    std::memset(e.MMDVM_INDEX, 'k', sizeof e.MMDVM_INDEX);
    std::memset(e.MMDVM_Callsign, 'c', sizeof e.MMDVM_Callsign);
    e.MMDVM_ID = 311234;
    e.MMDVM_Slots = 3;
    const peer_slot_view v = peer_view_of(e);
    EXPECT_EQ(v.key.size(), sizeof e.MMDVM_INDEX);
    EXPECT_EQ(v.callsign.size(), sizeof e.MMDVM_Callsign);
    EXPECT_EQ(v.id, 311234U);
    EXPECT_EQ(v.slots, 3);
    EXPECT_TRUE(peer_view_of(peer_entry{}).key.empty()); // a free slot
}

TEST(VoiceBridge, VoiceFramesOnlyFromRegisteredRepeaters) {
    CapturedLog log;
    Hytera_RPT.reset();
    voice_port_state state;
    const sockaddr_in stranger = endpoint("127.0.0.9", 50000);
    for (int i = 0; i < 3; ++i) {
        voice_port_datagram(call_start(), stranger, state, 100 + i, (100 + i) * std::int64_t{1000});
    }
    EXPECT_FALSE(state.receivers[0].stream_open[1]); // the call state is untouched
    // Once, not per frame.
    EXPECT_TRUE(
        contains_once(log.text(), "Voice frame from unregistered 127.0.0.9:50000 dropped\n"));
    // A one-byte registration is taken from anyone; frames then pass.
    EXPECT_TRUE(register_then_call(state, "127.0.0.9", 50000, 50000));
    EXPECT_EQ(Hytera_RPT.snapshot(0).Hytera_RPT_INDEX1, 1);
    Hytera_RPT.reset();
}

TEST(VoiceGuard, OutsideTheListAtAnotherPortOrBeyondAFullTableNothingIsTaken) {
    CapturedLog log;
    Hytera_RPT.reset();
    char error[ipv4_allow_list::ERROR_SIZE];
    ASSERT_TRUE(Hytera_RPT_allow.parse("127.0.0.2, 10.1.0.0/16", error));
    voice_port_state state;
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(register_then_call(state, "127.0.0.9", 50000, 50000));
    }
    EXPECT_EQ(Hytera_RPT.find("127.0.0.9"), -1);

    EXPECT_FALSE(register_then_call(state, "127.0.0.2", 50001, 50002));
    EXPECT_TRUE(register_then_call(state, "127.0.0.2", 50001, 50001));

    for (int i = 1; i <= 50; ++i) {
        register_then_call(state, ("10.1.0." + std::to_string(i)).c_str(), 50001, 50001);
    }
    EXPECT_FALSE(register_then_call(state, "10.1.0.50", 50001, 50001));
    EXPECT_EQ(Hytera_RPT.find("10.1.0.50"), -1);

    const std::string text = log.text();
    const std::string refused = "Datagram from 127.0.0.9:50000 on the voice port refused";
    EXPECT_TRUE(contains_once(text, refused));
    EXPECT_TRUE(contains(text,
                         "Voice frame from 127.0.0.2:50002 dropped: the repeater at 127.0.0.2 "
                         "sends voice from port 50001\n"));
    EXPECT_TRUE(contains(text, "Repeater table full, all 50 slots in use: 10.1.0.50 refused"));
    Hytera_RPT.reset();
    Hytera_RPT_allow.clear();
}
