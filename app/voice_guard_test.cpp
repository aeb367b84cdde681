// The voice port against strangers: outside the allow-list, at another port
// than the one the repeater registered, and when the table is full.
#include "app/voice_bridge.h"
#include "core/settings.h"
#include "testing/test_frames.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

namespace {

namespace hf = hytera_frame;
using ferrule_test::CapturedLog;
using ferrule_test::endpoint;

const std::array<std::uint8_t, 1> REGISTRATION{0x00};

// Feeds a registration and then a call's first frame, which opens the stream
// of its time slot when it is taken; true when it was.
bool register_then_call(voice_port_state &state, const char *ip, std::uint16_t voice_port,
                        std::uint16_t frame_port) {
    hf::Frame f = voice_test::hytera(hf::SLOT_BYTE_TS2, 0x11, 1, 1, 2621234, 262);
    f[hf::SETUP_MARK] = f[hf::SETUP_MARK + 1] = 0x11;
    voice_port_datagram(REGISTRATION, endpoint(ip, voice_port), state, 1000, 1000000);
    voice_port_datagram(f, endpoint(ip, frame_port), state, 1000, 1000000);
    const bool taken = state.receivers[0].stream_open[1];
    state.receivers[0] = {};
    return taken;
}

} // namespace

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
    EXPECT_NE(text.find(refused), std::string::npos) << text;
    EXPECT_EQ(text.find(refused), text.rfind(refused));
    EXPECT_NE(text.find("Voice frame from 127.0.0.2:50002 dropped: the repeater at 127.0.0.2 "
                        "sends voice from port 50001\n"),
              std::string::npos);
    EXPECT_NE(text.find("Repeater table full, all 50 slots in use: 10.1.0.50 refused"),
              std::string::npos);
    Hytera_RPT.reset();
    Hytera_RPT_allow.clear();
}
