// The shell's reading of the daemon's tables: which repeater address and port
// a network frame goes to, and what of a peer slot the conversion sees.
#include "app/voice_bridge.h"
#include "testing/test_frames.h"

#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

namespace {

namespace hf = hytera_frame;
using ferrule_test::CapturedLog;
using ferrule_test::endpoint;

repeater_entry repeater(const char *ip, int voice_recorded, std::uint16_t port) {
    repeater_entry e{};
    std::strcpy(e.Hytera_RPT_ip, ip);
    std::strcpy(e.Hytera_RPT_Firmware, "A7.01.02.003");
    e.Hytera_RPT_INDEX1 = voice_recorded;
    e.Hytera_RPT_ip_Audio.sin_port = htons(port);
    return e;
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
    hf::Frame f = voice_test::hytera(hf::SLOT_BYTE_TS2, 0x11, 1, 1, 2621234, 262);
    f[hf::SETUP_MARK] = 0x11;
    f[hf::SETUP_MARK + 1] = 0x11;
    voice_port_state state;
    const sockaddr_in stranger = endpoint("127.0.0.9", 50000);
    for (int i = 0; i < 3; ++i) {
        voice_port_datagram(f, stranger, state, 100 + i, (100 + i) * std::int64_t{1000});
    }
    EXPECT_FALSE(state.receivers[0].stream_open[1]); // the call state is untouched
    const std::string line = "Voice frame from unregistered 127.0.0.9:50000 dropped\n";
    const std::string text = log.text();
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)); // once, not per frame

    // A one-byte registration is taken from anyone; frames then pass.
    const std::array<std::uint8_t, 1> registration{0x00};
    voice_port_datagram(registration, stranger, state, 103, 103000);
    voice_port_datagram(f, stranger, state, 104, 104000);
    EXPECT_TRUE(state.receivers[0].stream_open[1]);
    EXPECT_EQ(Hytera_RPT.snapshot(0).Hytera_RPT_INDEX1, 1);
    Hytera_RPT.reset();
}
