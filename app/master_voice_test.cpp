// The master mode's voice routing on loopback sockets the test holds: two
// repeaters, each with a link of its own. Repeater voice leaves on the
// repeater's own link socket under its own ID and stream; a network frame on
// one link reaches that repeater alone.
#include "app/link_side.h"
#include "app/sockets.h"
#include "app/voice_bridge.h"
#include "core/settings.h"
#include "core/text.h"
#include "network/mode_link.h"
#include "testing/test_frames.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;
using namespace ferrule_test;

using udp = ferrule_test::udp_socket;

struct MasterVoice : ::testing::Test {
    ferrule_test::CapturedLog log;
    udp master{"127.0.0.1"}, voice{"127.0.0.1"};
    udp links[2] = {udp{"127.0.0.1"}, udp{"127.0.0.1"}};
    udp repeaters[2] = {udp{"127.0.0.2"}, udp{"127.0.0.4"}};
    voice_port_state state;

    MasterVoice() {
        copy_text(DMRGateway_mode, "master", sizeof DMRGateway_mode - 1);
        copy_text(DMRGateway_dmrc, "on", sizeof DMRGateway_dmrc - 1);
        EXPECT_TRUE(MMDVM_link_mode_configured() && MMDVM_link_per_repeater());
        MMDVM_clientsock.store(links[0].fd);
        MMDVM_link_socks[1].fd.store(links[1].fd);
        Local_Hytera_RPT_audio_srv_sock.store(voice.fd);
        MMDVM_link_status.reset();
        mmdvm_rx_reset_all();
        // Two identified repeaters, registered on the voice port.
        Hytera_RPT.reset();
        Hytera_RPT.locked([&](auto &slots) {
            for (std::size_t i = 0; i < 2; ++i) {
                repeater_entry &e = slots[i];
                char dotted[16];
                address_text(repeaters[i].at, dotted);
                std::strcpy(e.Hytera_RPT_ip, dotted);
                e.Hytera_RPT_ip_Audio = repeaters[i].at;
                e.Hytera_RPT_INDEX1 = 1;
                std::strcpy(e.Hytera_RPT_DmrID, i == 0 ? "2620101" : "2620112");
                std::strcpy(e.Hytera_RPT_Firmware, "A8.05.07.001");
                e.Hytera_RPT_RDAC_OK = 1;
            }
        });
        set_link(0, true);
        set_link(1, true);
    }
    ~MasterVoice() override {
        MMDVM_clientsock.store(-1);
        MMDVM_link_socks[1].fd.store(-1);
        Local_Hytera_RPT_audio_srv_sock.store(-1);
        Hytera_RPT.reset();
        MMDVM_link_status.reset();
        copy_text(DMRGateway_mode, "login", sizeof DMRGateway_mode - 1);
        MMDVM_link_mode_configured();
    }

    // What the link thread publishes of a master link, up or not.
    void set_link(std::size_t index, bool up) const {
        link_status s;
        s.state = up ? link_state::up : link_state::idle;
        const repeater_entry e = Hytera_RPT.snapshot(index);
        const std::int32_t id = link_msg::repeater_id(e.Hytera_RPT_DmrID);
        MMDVM_link_status.publish(s, up ? link_peer_record(master.at, id, e, "") : peer_entry{},
                                  index);
    }
    // A frame of a TS1 group call from repeater `i`; the first one opens it.
    void from_repeater(std::size_t i, std::uint8_t sequence) {
        const bool first = sequence == 0;
        hf::Frame f = voice_test::hytera(hf::SLOT_BYTE_TS1,
                                         first ? hf::TYPE_VOICE_LC_HEADER : hf::TYPE_VOICE_A,
                                         sequence, 1, 2627777, 9);
        if (first) {
            f[hf::SETUP_MARK] = f[hf::SETUP_MARK + 1] = 0x11;
        }
        voice_port_datagram(f, repeaters[i].at, state, 1000, 1000000 + sequence * 60);
    }
};

TEST_F(MasterVoice, EachRepeatersCallLeavesOnItsOwnLinkUnderItsOwnIdAndStream) {
    // Both talk on TS1 at once, their frames interleaved.
    for (std::uint8_t seq = 0; seq < 3; ++seq) {
        from_repeater(0, seq);
        from_repeater(1, seq);
    }
    std::uint32_t streams[2] = {};
    for (int i = 0; i < 6; ++i) {
        std::uint16_t port = 0;
        const std::vector<std::uint8_t> d = master.receive(port);
        ASSERT_EQ(d.size(), df::LENGTH) << "frame " << i;
        const auto f = std::span<const std::uint8_t>(d).first<df::LENGTH>();
        const std::size_t r = i % 2;
        EXPECT_EQ(port, ntohs(links[r].at.sin_port)) << i;
        EXPECT_EQ(df::read_be(f, df::REPEATER_ID, 4), r == 0 ? 2620101U : 2620112U) << i;
        const std::uint32_t stream = df::read_be(f, df::STREAM_ID, 4);
        EXPECT_EQ(i < 2 ? (streams[r] = stream) : streams[r], stream) << "one stream a call";
    }
    EXPECT_NE(streams[0], streams[1]);
    EXPECT_TRUE(contains(log.text(), ", repeater index 1\n"));

    // A link that is not up sends nothing, and says so once a call.
    set_link(1, false);
    from_repeater(1, 0);
    std::uint16_t port = 0;
    EXPECT_TRUE(master.receive(port, 100).empty());
    EXPECT_TRUE(contains(log.text(), "Call of repeater index 1 not sent: its master link is not up "
                                     "(not logged in)\n"));
}

TEST_F(MasterVoice, ANetworkCallOnOneLinkReachesThatRepeaterAlone) {
    mmdvm_rx_for(1, voice_test::dmrd(0, 2621234, 262, df::KIND_VOICE_LC_HEADER), 5000);
    mmdvm_rx_for(1, voice_test::dmrd(1, 2621234, 262, df::KIND_VOICE_A), 5060);
    std::uint16_t port = 0;
    const std::vector<std::uint8_t> setup = repeaters[1].receive(port);
    ASSERT_EQ(setup.size(), hf::LENGTH);
    EXPECT_EQ(setup[hf::SLOT_TYPE], hf::TYPE_CALL_SETUP);
    EXPECT_EQ(repeaters[1].receive(port).size(), hf::LENGTH) << "the burst";
    EXPECT_TRUE(repeaters[0].receive(port, 100).empty());

    // Repeater 0's own network call on the same slot meanwhile is its own.
    mmdvm_rx_for(0, voice_test::dmrd(0, 2625555, 91, df::KIND_VOICE_LC_HEADER), 5100);
    EXPECT_EQ(repeaters[0].receive(port).size(), hf::LENGTH);
    EXPECT_EQ(log.text().find("busy"), std::string::npos) << log.text();
}

// Index N's link socket is bound at the link port plus N; one that cannot be
// bound is said, and the daemon goes on.
TEST(MasterLinkSockets, EachIndexBindsTheLinkPortPlusItsIndex) {
    ferrule_test::CapturedLog log;
    copy_text(DMRGateway_local_address, "127.0.0.1", sizeof DMRGateway_local_address - 1);
    DMRGateway_local_port = ferrule_test::free_udp_port_pair() - 1;
    ASSERT_EQ(MMDVM_link_open(2), 0);
    sockaddr_in bound{};
    socklen_t n = sizeof bound;
    getsockname(MMDVM_link_socket(2), reinterpret_cast<sockaddr *>(&bound), &n);
    EXPECT_EQ(ntohs(bound.sin_port), DMRGateway_local_port + 2);
    EXPECT_EQ(MMDVM_link_open(2), 0) << "already open";

    udp taken{"127.0.0.1"};
    DMRGateway_local_port = ntohs(taken.at.sin_port) - 3;
    EXPECT_EQ(MMDVM_link_open(3), 1);
    EXPECT_EQ(MMDVM_link_socket(3), -1);
    DMRGateway_local_port = 65500;
    EXPECT_EQ(MMDVM_link_open(49), 1);
    EXPECT_TRUE(contains(log.text(), "Cannot bind the network link 3 socket to 127.0.0.1:"));
    EXPECT_TRUE(
        contains(log.text(), "The network link 49 socket has no port: 65549 is beyond 65535"));
    close(MMDVM_link_socket(2));
    MMDVM_link_socks[2].fd.store(-1);
    DMRGateway_local_port = 62032;
}

} // namespace
