#include "core/settings.h"
#include "network/link.h"
#include "status/status_snapshot.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The snapshot reads the daemon's own tables; each is set by hand and put
// back afterwards.
TEST(StatusGather, CopiesTheDaemonsTablesAndCounters) {
    Hytera_RPT.locked([](auto &slots) {
        std::strcpy(slots[2].Hytera_RPT_ip, "192.0.2.1");
        slots[2].Hytera_RPT_RDAC_OK = 1;
    });
    Hytera_RPT_MMDVM_LOGIN[0].store(2);
    std::strcpy(DMRGateway_address, "198.51.100.4");
    DMRGateway_port = 62031;
    call_info call;
    call.direction = call_direction::to_repeater;
    call.slot = 1;
    call.source = 1234;
    voice_calls.start(call);
    voice_frames.count_in(call_direction::to_repeater);
    voice_frames.count_drop(drop_reason::invalid);

    const status_snapshot s = gather_status(1700000000, 70500, 10000);
    EXPECT_EQ(s.uptime_seconds, 60);
    EXPECT_EQ(s.now, 1700000000);
    EXPECT_STREQ(s.repeaters[2].Hytera_RPT_ip, "192.0.2.1");
    EXPECT_EQ(s.repeaters[2].Hytera_RPT_RDAC_OK, 1);
    EXPECT_FALSE(s.repeaters[0].used());
    ASSERT_EQ(s.links.size(), 1U);
    EXPECT_EQ(s.links[0].login_state, 2);
    EXPECT_STREQ(s.links[0].peer_address, "198.51.100.4");
    EXPECT_EQ(s.links[0].peer_port, 62031);
    EXPECT_FALSE(s.links[0].peer_recorded);
    EXPECT_TRUE(s.calls.active[3].active);
    EXPECT_EQ(s.calls.active[3].source, 1234U);
    EXPECT_EQ(s.frames_in[1], 1U);
    EXPECT_EQ(s.dropped[static_cast<std::size_t>(drop_reason::invalid)], 1U);

    Hytera_RPT.reset();
    Hytera_RPT_MMDVM_LOGIN[0].store(0);
    voice_calls.reset();
}

} // namespace
