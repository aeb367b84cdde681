// Datagrams on the link socket, from the peer and from strangers, through one
// link context as the link thread reacts to them, with seconds of the link's
// timers in between: the login walks 0 -> 1 -> 2 and falls back on time-outs.
//
// Input: one header byte (bit 0: repeater index 0 is an identified repeater,
// else the table is empty), then records (fuzz_support.h) whose op selects
//   0  a datagram from the peer
//   1  a datagram from the peer's address at `port`
//   2  a datagram from 10.9.9.9 at `port`
//   3  port % 64 + 1 seconds of the link timers, payload ignored.
#include "hytera/repeater_table.h"
#include "network/link.h"
#include "network/messages.h"
#include "network/peer_table.h"
#include "testing/fuzz_support.h"
#include "testing/link_bytes.h"
#include "testing/test_support.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint16_t PEER_PORT = 62031;

struct link_under_test {
    std::atomic<int> state{0};
    peer_table peers;
    repeater_table repeaters;
    source_drop_log drops;
    login_watch watch;
    const sockaddr_in peer = ferrule_test::endpoint("127.0.0.1", PEER_PORT);
    link_context ctx{peer, state, peers, repeaters, drops};
    char peer_key_text[30] = {};

    link_under_test() {
        std::strcpy(ctx.time_text, "Mon Jan  1 00:00:00 2024\n");
        peer_key(peer, peer_key_text);
    }

    void receive(const std::vector<std::uint8_t> &d, const sockaddr_in &from) {
        const int before = state.load();
        const int peer_slot_before = peers.find(peer_key_text);
        const link_reaction r = link_react(d, from, ctx);
        FUZZ_CHECK(state.load() >= 0 && state.load() <= 2);
        FUZZ_CHECK(r.from_peer == same_endpoint(from, peer));
        // Nobody but the peer can move the login, reach the peer table, get an
        // answer or inject voice; a short DMRD is never handed on.
        if (!r.from_peer) {
            FUZZ_CHECK(r.reply_length == 0 && !r.hand_on_dmrd && state.load() == before &&
                       peers.find(peer_key_text) == peer_slot_before);
        }
        FUZZ_CHECK(r.reply_length == 0 || same_endpoint(r.reply_to, peer));
        FUZZ_CHECK(!r.hand_on_dmrd || d.size() >= link_msg::DMRD_MIN);
        if (r.reply_length == link_msg::RPTC_LENGTH) {
            // Every text field is filled to its width: no NUL goes out.
            FUZZ_CHECK(std::find(r.reply.begin() + 8, r.reply.end(), 0) == r.reply.end());
        }
    }

    void seconds(int n) {
        for (int i = 0; i < n; ++i) {
            const int before = state.load();
            const bool peer_known = peers.find(peer_key_text) >= 0;
            link_timer_tick(peers, watch, state);
            ++ctx.now_seconds;
            const int after = state.load();
            // Time only ever takes the login back to its start.
            FUZZ_CHECK(after == before || after == 0);
            if (peer_known && peers.find(peer_key_text) < 0) {
                FUZZ_CHECK(after == 0);
            }
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_input::quiet_log();
    link_under_test link;
    fuzz_input::reader in({data, size});
    if ((in.byte() & 1) != 0) {
        ferrule_test::identified_repeater(link.repeaters, 0, "2621234");
    }
    fuzz_input::record r;
    while (fuzz_input::next_record(in, LINK_RECEIVE_BUFFER, r)) {
        switch (r.op % 4) {
        case 0:
            link.receive(r.payload, link.peer);
            break;
        case 1:
            link.receive(r.payload, ferrule_test::endpoint("127.0.0.1", r.port));
            break;
        case 2:
            link.receive(r.payload, ferrule_test::endpoint("10.9.9.9", r.port));
            break;
        default:
            link.seconds(r.port % 64 + 1);
            break;
        }
    }
    return 0;
}
