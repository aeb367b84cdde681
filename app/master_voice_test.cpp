// The master mode's voice routing: two repeaters, each with a link of its
// own, on loopback sockets the test holds. Repeater voice leaves on the
// repeater's own link socket under its own ID; a network frame on one link
// reaches that repeater alone.
#include "app/link_side.h"
#include "app/sockets.h"
#include "app/voice_bridge.h"
#include "core/settings.h"
#include "core/text.h"
#include "network/mode_link.h"
#include "testing/test_frames.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;
using ferrule_test::CapturedLog;
using ferrule_test::endpoint;

// A UDP socket bound to `address` at a port of the system's choice.
struct udp {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at;
    explicit udp(const char *address) : at(endpoint(address, 0)) {
        socklen_t n = sizeof at;
        if (bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&at), &n) != 0) {
            throw std::runtime_error(std::string("cannot bind on ") + address);
        }
    }
    ~udp() { close(fd); }
    udp(const udp &) = delete;
    udp &operator=(const udp &) = delete;
    std::uint16_t port() const { return ntohs(at.sin_port); }

    // The next datagram within `wait_ms`, with its sender; empty when none.
    std::vector<std::uint8_t> receive(sockaddr_in &from, int wait_ms = 1000) const {
        pollfd p{fd, POLLIN, 0};
        std::vector<std::uint8_t> d(512);
        socklen_t n = sizeof from;
        if (poll(&p, 1, wait_ms) <= 0) {
            return {};
        }
        const ssize_t got =
            recvfrom(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&from), &n);
        d.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return d;
    }
};

const std::array<std::uint8_t, 1> REGISTRATION{0x00};

struct MasterVoice : ::testing::Test {
    CapturedLog log;
    udp master{"127.0.0.1"};
    udp link0{"127.0.0.1"};
    udp link1{"127.0.0.1"};
    udp voice{"127.0.0.1"};
    udp repeater0{"127.0.0.2"};
    udp repeater1{"127.0.0.4"};
    voice_port_state state;

    MasterVoice() {
        copy_text(DMRGateway_mode, "master", sizeof DMRGateway_mode - 1);
        copy_text(DMRGateway_password, "x", sizeof DMRGateway_password - 1);
        copy_text(DMRGateway_dmrc, "on", sizeof DMRGateway_dmrc - 1);
        EXPECT_TRUE(MMDVM_link_mode_configured());
        EXPECT_TRUE(MMDVM_link_per_repeater());
        MMDVM_clientsock.store(link0.fd);
        MMDVM_link_socks[1].fd.store(link1.fd);
        Local_Hytera_RPT_audio_srv_sock.store(voice.fd);
        Hytera_RPT.reset();
        MMDVM_link_status.reset();
        mmdvm_rx_reset_all();
        add_repeater(repeater0, "2620101", "DB0AAA");
        add_repeater(repeater1, "2620112", "DB0BBB");
        EXPECT_EQ(Hytera_RPT.find("127.0.0.4"), 1);
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

    // Registers on the voice port (the answer goes back to it) and is identified.
    void add_repeater(const udp &r, const char *id, const char *callsign) {
        voice_port_datagram(REGISTRATION, r.at, state, 1000, 1000000);
        sockaddr_in from{};
        EXPECT_EQ(r.receive(from).size(), 1U) << "registration answer";
        char text[16];
        address_text(r.at, text);
        const int index = Hytera_RPT.find(text);
        ASSERT_GE(index, 0);
        Hytera_RPT.locked([&](auto &slots) {
            repeater_entry &e = slots[static_cast<std::size_t>(index)];
            std::strcpy(e.Hytera_RPT_DmrID, id);
            std::strcpy(e.Hytera_RPT_Callsign, callsign);
            std::strcpy(e.Hytera_RPT_Firmware, "A8.05.07.001");
            e.Hytera_RPT_RDAC_OK = 1;
        });
    }
    // What the link thread publishes of a master link that is up or not.
    void set_link(std::size_t index, bool up) const {
        link_status s;
        s.mode = link_mode::master;
        s.state = up ? link_state::up : link_state::idle;
        const repeater_entry e = Hytera_RPT.snapshot(index);
        s.id = static_cast<std::uint32_t>(link_msg::repeater_id(e.Hytera_RPT_DmrID));
        const peer_entry route =
            up ? link_peer_record(master.at, static_cast<std::int32_t>(s.id), e, "") : peer_entry{};
        MMDVM_link_status.publish(s, route, index);
    }
    // A frame of a TS1 group call; the first one carries the call setup mark.
    void from_repeater(const udp &r, std::uint8_t type, std::uint8_t sequence, bool first) {
        hf::Frame f = voice_test::hytera(hf::SLOT_BYTE_TS1, type, sequence, 1, 2627777, 9);
        if (first) {
            f[hf::SETUP_MARK] = f[hf::SETUP_MARK + 1] = 0x11;
        }
        voice_port_datagram(f, r.at, state, 1000, 1000000 + sequence * 60);
    }
};

TEST_F(MasterVoice, EachRepeatersCallLeavesOnItsOwnLinkUnderItsOwnIdAndStream) {
    // Both repeaters talk on TS1 at once, their frames interleaved.
    for (std::uint8_t seq = 0; seq < 3; ++seq) {
        const std::uint8_t type = seq == 0 ? hf::TYPE_VOICE_LC_HEADER : hf::TYPE_VOICE_A;
        from_repeater(repeater0, type, seq, seq == 0);
        from_repeater(repeater1, type, seq, seq == 0);
    }
    struct seen {
        std::uint16_t port;
        std::uint32_t id;
        std::uint32_t stream;
    };
    std::vector<seen> frames;
    for (int i = 0; i < 6; ++i) {
        sockaddr_in from{};
        const std::vector<std::uint8_t> d = master.receive(from);
        ASSERT_EQ(d.size(), df::LENGTH) << "frame " << i;
        const auto f = std::span<const std::uint8_t>(d).first<df::LENGTH>();
        frames.push_back({ntohs(from.sin_port), df::read_be(f, df::REPEATER_ID, 4),
                          df::read_be(f, df::STREAM_ID, 4)});
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const bool first = i % 2 == 0;
        EXPECT_EQ(frames[i].port, first ? link0.port() : link1.port()) << i;
        EXPECT_EQ(frames[i].id, first ? 2620101U : 2620112U) << i;
        EXPECT_EQ(frames[i].stream, frames[i % 2].stream) << "one stream per call " << i;
    }
    EXPECT_NE(frames[0].stream, frames[1].stream);
    const std::string lines = log.text();
    EXPECT_NE(lines.find("Repeater call to the network started: TS1, group call 2627777 -> 9"),
              std::string::npos);
    EXPECT_NE(lines.find(", repeater index 1\n"), std::string::npos) << lines;
}

TEST_F(MasterVoice, NoVoiceOnALinkThatIsNotUp) {
    set_link(1, false);
    from_repeater(repeater1, hf::TYPE_VOICE_LC_HEADER, 0, true);
    from_repeater(repeater0, hf::TYPE_VOICE_LC_HEADER, 0, true);
    sockaddr_in from{};
    EXPECT_EQ(master.receive(from).size(), df::LENGTH);
    EXPECT_EQ(ntohs(from.sin_port), link0.port());
    EXPECT_TRUE(master.receive(from, 100).empty()) << "nothing of repeater 1";
    EXPECT_NE(log.text().find("Call of repeater index 1 not sent: its master link is not up "
                              "(not logged in)\n"),
              std::string::npos)
        << log.text();
}

TEST_F(MasterVoice, ANetworkCallOnOneLinkReachesThatRepeaterAlone) {
    for (std::uint8_t seq = 0; seq < 2; ++seq) {
        const std::uint8_t kind = seq == 0 ? df::KIND_VOICE_LC_HEADER : df::KIND_VOICE_A;
        const df::Frame d = voice_test::dmrd(seq, 2621234, 262, kind);
        mmdvm_rx_for(1, d, 5000 + seq * 60);
    }
    sockaddr_in from{};
    const std::vector<std::uint8_t> setup = repeater1.receive(from);
    ASSERT_EQ(setup.size(), hf::LENGTH);
    EXPECT_EQ(setup[hf::SLOT_TYPE], hf::TYPE_CALL_SETUP);
    EXPECT_EQ(repeater1.receive(from).size(), hf::LENGTH) << "the burst";
    EXPECT_TRUE(repeater0.receive(from, 100).empty());

    // Repeater 0's own call on the same slot at the same time is its own.
    mmdvm_rx_for(0, voice_test::dmrd(0, 2625555, 91, df::KIND_VOICE_LC_HEADER), 5100);
    EXPECT_EQ(repeater0.receive(from).size(), hf::LENGTH);
    EXPECT_EQ(log.text().find("busy"), std::string::npos) << log.text();
}

} // namespace
