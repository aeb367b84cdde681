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

// A call's first frame: it opens the stream of its time slot when taken.
hf::Frame call_start() {
    hf::Frame f = voice_test::hytera(hf::SLOT_BYTE_TS2, 0x11, 1, 1, 2621234, 262);
    f[hf::SETUP_MARK] = 0x11;
    f[hf::SETUP_MARK + 1] = 0x11;
    return f;
}

const std::array<std::uint8_t, 1> REGISTRATION{0x00};

struct DaemonTables : testing::Test {
    void SetUp() override { Hytera_RPT.reset(); }
    void TearDown() override {
        Hytera_RPT.reset();
        Hytera_RPT_allow.clear();
    }
};

} // namespace

TEST_F(DaemonTables, VoiceFromOutsideTheAllowListChangesNothing) {
    CapturedLog log;
    char error[ipv4_allow_list::ERROR_SIZE];
    ASSERT_TRUE(Hytera_RPT_allow.parse("127.0.0.2", error));
    voice_port_state state;
    const sockaddr_in stranger = endpoint("127.0.0.9", 50000);
    for (int i = 0; i < 20; ++i) {
        voice_port_datagram(REGISTRATION, stranger, state, 1000 + i);
        voice_port_datagram(call_start(), stranger, state, 1000 + i);
    }
    EXPECT_EQ(Hytera_RPT.find("127.0.0.9"), -1);
    EXPECT_FALSE(state.receiver.stream_open[1]);
    const std::string text = log.text();
    const std::string line = "Datagram from 127.0.0.9:50000 on the voice port refused";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line));
}

TEST_F(DaemonTables, VoiceIsTakenOnlyFromThePortTheRepeaterRegistered) {
    CapturedLog log;
    voice_port_state state;
    voice_port_datagram(REGISTRATION, endpoint("127.0.0.2", 50001), state, 1000);
    voice_port_datagram(call_start(), endpoint("127.0.0.2", 50002), state, 1001);
    EXPECT_FALSE(state.receiver.stream_open[1]);
    EXPECT_NE(log.text().find("Voice frame from 127.0.0.2:50002 dropped: the repeater at 127.0.0.2 "
                              "sends voice from port 50001\n"),
              std::string::npos)
        << log.text();
    voice_port_datagram(call_start(), endpoint("127.0.0.2", 50001), state, 1002);
    EXPECT_TRUE(state.receiver.stream_open[1]);
}

TEST_F(DaemonTables, AFullTableRegistersNoVoiceNewcomer) {
    CapturedLog log;
    voice_port_state state;
    for (int i = 0; i < 51; ++i) {
        const std::string ip = "10.1.0." + std::to_string(i);
        voice_port_datagram(REGISTRATION, endpoint(ip.c_str(), 50001), state, 1000);
    }
    EXPECT_EQ(Hytera_RPT.find("10.1.0.50"), -1);
    EXPECT_NE(log.text().find("Repeater table full, all 50 slots in use: 10.1.0.50 refused"),
              std::string::npos);
    voice_port_datagram(call_start(), endpoint("10.1.0.50", 50001), state, 1001);
    EXPECT_FALSE(state.receiver.stream_open[1]);
}
