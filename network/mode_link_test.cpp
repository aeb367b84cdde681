// The master and gateway modes' links, on a hand-set clock.
#include "network/gateway_link.h"
#include "network/master_link.h"

#include "core/settings.h"
#include "hytera/online.h"
#include "network/master_links.h"
#include "testing/link_bytes.h"
#include "testing/test_support.h"
#include "testing/text_checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace ferrule_test;

namespace {

// Repeater 2620101 (0x0027FAC5) in index 0 of a table of its own.
const bytes ID = {0x00, 0x27, 0xFA, 0xC5};
const bytes SALT = {0xB0, 0x35, 0x38, 0x24};
// SHA-256 of the salt B0 35 38 24 followed by "passw0rd".
const bytes KEY = {0x6c, 0x22, 0xfb, 0x7a, 0x6e, 0xcd, 0xbc, 0x65, 0x61, 0xf4, 0xdd,
                   0xcc, 0x72, 0xce, 0xb7, 0xa3, 0x02, 0x33, 0x4b, 0x99, 0x3a, 0x14,
                   0xcd, 0xd7, 0x9d, 0xda, 0x42, 0xa5, 0xdd, 0xc7, 0x8a, 0x77};

struct master_fixture : ::testing::Test {
    repeater_table repeaters;
    sockaddr_in peer = endpoint("127.0.0.1", 62031);
    CapturedLog log;
    std::int64_t now = 0;

    master_fixture() {
        test_location();
        set_repeater("2620101");
    }
    void set_repeater(const char *id, std::size_t index = 0, const char *callsign = "DB0ABC") {
        identified_repeater(repeaters, index, id, callsign);
    }
    link_clock at(std::int64_t ms) {
        now = ms;
        return ferrule_test::clock_at(ms);
    }
    bytes tick(master_link &m, std::int64_t ms) { return sent(m.tick(at(ms))); }
    bytes answer(master_link &m, const bytes &d, std::int64_t ms) {
        return sent(m.receive(d, peer, at(ms)));
    }
    bytes tick(master_links &g, std::size_t i, std::int64_t ms) { return sent(g.tick(i, at(ms))); }
    bytes answer(master_links &g, std::size_t i, const bytes &d, std::int64_t ms) {
        return sent(g.receive(i, d, peer, at(ms)));
    }
    static bytes ack(const bytes &value) { return text("RPTACK") + value; }

    // RPTL at `start`, each step answered 100 ms after it went out.
    void log_in(master_link &m, std::int64_t start) {
        ASSERT_EQ(tick(m, start), text("RPTL") + ID);
        ASSERT_EQ(answer(m, ack(SALT), start + 100).size(), link_msg::RPTK_LENGTH);
        ASSERT_EQ(answer(m, ack(ID), start + 200).size(), link_msg::RPTC_LENGTH);
        answer(m, ack(ID), start + 300);
        if (m.status().state == link_state::options_sent) {
            answer(m, ack(ID), start + 400);
        }
        ASSERT_EQ(m.status().state, link_state::up);
    }
};

using MasterLink = master_fixture;

TEST_F(MasterLink, LogsInWithTheRepeatersIdAndTheSaltedPasswordDigest) {
    master_link m(peer, 0, repeaters, "passw0rd", "");
    EXPECT_EQ(tick(m, 0), text("RPTL") + ID);
    EXPECT_EQ(answer(m, ack(SALT), 50), text("RPTK") + ID + KEY);

    const bytes rptc = answer(m, ack(ID), 100);
    ASSERT_EQ(rptc.size(), link_msg::RPTC_LENGTH);
    EXPECT_EQ(bytes(rptc.begin(), rptc.begin() + 8), text("RPTC") + ID);
    EXPECT_EQ(std::string(rptc.begin() + 8, rptc.begin() + 38), "DB0ABC  431100000438500000 5 1");

    EXPECT_TRUE(answer(m, ack(ID), 150).empty()) << "no options: up at once";
    EXPECT_EQ(m.status().state, link_state::up);
    EXPECT_EQ(m.status().id, 2620101U);
    const peer_entry e = m.route();
    EXPECT_STREQ(e.MMDVM_INDEX, ":127.0.0.1-:62031");
    EXPECT_EQ(e.MMDVM_ID, 2620101U) << "voice goes out under the repeater's own ID";
    EXPECT_TRUE(e.MMDVM_ID_exact);
    const std::string lines = log.text();
    EXPECT_TRUE(contains(lines,
                         "master link to 127.0.0.1:62031: logging in repeater 2620101 (RPTL)\n"
                         "master link to 127.0.0.1:62031: salt received, sending the key (RPTK)\n"
                         "master link to 127.0.0.1:62031: key accepted, sending the configuration "
                         "(RPTC)\n"
                         "master link to 127.0.0.1:62031: repeater 2620101 logged in\n"));
}

TEST_F(MasterLink, OptionsGoOutAfterTheConfigurationAndTheirAcknowledgementCompletesTheLogin) {
    master_link m(peer, 0, repeaters, "passw0rd", "TS1=1;TS2=91,262;");
    tick(m, 0);
    answer(m, ack(SALT), 10);
    answer(m, ack(ID), 20);
    EXPECT_EQ(answer(m, ack(ID), 30), text("RPTO") + ID + text("TS1=1;TS2=91,262;"));
    EXPECT_EQ(m.status().state, link_state::options_sent);
    EXPECT_FALSE(m.route().used());
    answer(m, ack(ID), 40);
    EXPECT_EQ(m.status().state, link_state::up);
    EXPECT_TRUE(m.route().used());
}

TEST_F(MasterLink, PingsEveryTenSecondsAndAMinuteWithoutPongLogsInAgain) {
    master_link m(peer, 0, repeaters, "passw0rd", "");
    log_in(m, 0);
    const std::int64_t up = now;
    EXPECT_TRUE(tick(m, up + 9999).empty());
    EXPECT_EQ(tick(m, up + 10 * S), text("RPTPING") + ID);
    EXPECT_TRUE(tick(m, up + 15 * S).empty());
    EXPECT_EQ(tick(m, up + 20 * S), text("RPTPING") + ID);
    answer(m, text("MSTPONG") + ID, up + 20 * S + 50);
    answer(m, text("RPTPONG") + ID, up + 30 * S + 50); // either pong counts

    // The last pong came at up+30 s: the link holds until up+90 s.
    for (std::int64_t t = up + 40 * S; t < up + 90 * S; t += 10 * S) {
        EXPECT_EQ(tick(m, t), text("RPTPING") + ID) << t;
    }
    EXPECT_EQ(m.status().state, link_state::up);
    EXPECT_EQ(tick(m, up + 90 * S + 50), text("RPTL") + ID) << "dropped and at once again";
    EXPECT_EQ(m.status().state, link_state::login_sent);
    EXPECT_FALSE(m.route().used()) << "no voice to a master that dropped us";
    EXPECT_EQ(m.status().relogins, 1U);
    EXPECT_TRUE(contains(log.text(),
                         "master link to 127.0.0.1:62031: no pong for 60 s, link dropped, "
                         "logging in again\n"));
}

// Without a single pong, the minute counts from the end of the login.
TEST_F(MasterLink, AMinuteWithoutAnyPongSinceTheLoginLogsInAgain) {
    master_link m(peer, 0, repeaters, "passw0rd", "");
    log_in(m, 0);
    const std::int64_t up = now;
    for (std::int64_t t = up + 10 * S; t < up + 60 * S; t += 10 * S) {
        EXPECT_EQ(tick(m, t), text("RPTPING") + ID) << t;
    }
    EXPECT_EQ(tick(m, up + 60 * S + 50), text("RPTL") + ID);
}

// A refusal or close in any state ends the login or the link, and the next
// login goes no sooner than 10 s after it.
TEST_F(MasterLink, RefusalAndCloseInEveryStateWaitTenSecondsBeforeTheNextLogin) {
    struct step {
        const char *name;
        int answered; // RPTACKs answered before the refusal
        const char *options;
        link_state state;
    };
    const step steps[] = {
        {"login", 0, "", link_state::login_sent},
        {"key", 1, "", link_state::key_sent},
        {"configuration", 2, "", link_state::config_sent},
        {"options", 3, "X=1", link_state::options_sent},
        {"up", 3, "", link_state::up},
    };
    for (const char *refusal : {"MSTNAK", "MSTCL"}) {
        for (const step &s : steps) {
            SCOPED_TRACE(std::string(refusal) + " in " + s.name);
            master_link m(peer, 0, repeaters, "passw0rd", s.options);
            tick(m, 0);
            for (int i = 0; i < s.answered; ++i) {
                answer(m, ack(i == 0 ? SALT : ID), std::int64_t{100} * (i + 1));
            }
            ASSERT_EQ(m.status().state, s.state);
            const std::int64_t refused = 5 * S;
            answer(m, text(refusal) + ID, refused);
            EXPECT_EQ(m.status().state, link_state::idle);
            EXPECT_FALSE(m.route().used());
            EXPECT_EQ(m.status().refusals, std::strcmp(refusal, "MSTNAK") == 0 ? 1U : 0U);
            EXPECT_TRUE(tick(m, 10 * S).empty()) << "10 s after the RPTL is not enough";
            EXPECT_TRUE(tick(m, refused + 10 * S - 1).empty());
            EXPECT_EQ(tick(m, refused + 10 * S), text("RPTL") + ID);
        }
    }
    EXPECT_TRUE(contains(log.text(),
                         "master link to 127.0.0.1:62031: refused (MSTNAK) after the key "
                         "(check DMRGateway_password), next login in 10 s\n"));
    EXPECT_TRUE(contains(log.text(),
                         "master link to 127.0.0.1:62031: the master closed the link (MSTCL), "
                         "next login in 10 s\n"));
}

TEST_F(MasterLink, AStepUnansweredForTenSecondsStartsAgainFromTheLoginRequest) {
    for (int answered = 0; answered < 4; ++answered) {
        SCOPED_TRACE(answered);
        master_link m(peer, 0, repeaters, "passw0rd", "X=1");
        tick(m, 0);
        std::int64_t last = 0;
        for (int i = 0; i < answered; ++i) {
            last = 3 * S * (i + 1);
            answer(m, ack(i == 0 ? SALT : ID), last);
        }
        EXPECT_TRUE(tick(m, last + 10 * S - 1).empty());
        EXPECT_EQ(tick(m, last + 10 * S), text("RPTL") + ID);
        EXPECT_EQ(m.status().state, link_state::login_sent);
    }
    EXPECT_TRUE(contains(log.text(),
                         "master link to 127.0.0.1:62031: no answer to the key within 10 s, "
                         "logging in again\n"));
}

TEST_F(MasterLink, StaysQuietWithoutAnIdentifiedRepeaterAndIgnoresStrangers) {
    repeaters.reset();
    master_link m(peer, 0, repeaters, "passw0rd", "");
    EXPECT_TRUE(tick(m, 0).empty());
    EXPECT_TRUE(tick(m, 60 * S).empty());
    EXPECT_EQ(m.status().state, link_state::waiting);
    set_repeater("2620101");
    EXPECT_EQ(tick(m, 61 * S), text("RPTL") + ID);

    const sockaddr_in stranger = endpoint("127.0.0.3", 62031);
    EXPECT_EQ(m.receive(ack(SALT), stranger, at(62 * S)).length, 0U);
    EXPECT_EQ(m.status().state, link_state::login_sent);
    EXPECT_TRUE(contains(log.text(),
                         "master link: datagram from 127.0.0.3:62031 dropped, it is not the "
                         "peer\n"));
    // An acknowledgement too short to carry a salt gets no key.
    EXPECT_TRUE(answer(m, text("RPTACK\xB0\x35"), 63 * S).empty());
    EXPECT_EQ(m.status().state, link_state::login_sent);
}

TEST_F(MasterLink, ARepeaterThatLeavesOrIsReplacedClosesItsLink) {
    master_link m(peer, 0, repeaters, "passw0rd", "");
    log_in(m, 0);
    const bytes new_id = {0x00, 0x27, 0xFA, 0xC6};
    set_repeater("2620102");
    EXPECT_EQ(tick(m, 5 * S), text("RPTCL") + ID);
    EXPECT_FALSE(m.route().used());
    EXPECT_TRUE(tick(m, 5 * S + 100).empty()) << "one login in 10 s, whichever repeater";
    EXPECT_EQ(tick(m, 10 * S), text("RPTL") + new_id);

    repeaters.reset();
    EXPECT_EQ(tick(m, 11 * S), text("RPTCL") + new_id);
    // Masters answer a close with MSTNAK: no refusal of anything of ours.
    answer(m, text("MSTNAK") + new_id, 11 * S + 10);
    EXPECT_EQ(m.status().refusals, 0U);
    EXPECT_EQ(log.text().find("refused"), std::string::npos) << log.text();
    EXPECT_EQ(m.status().state, link_state::waiting);
}

TEST_F(MasterLink, CloseSendsRptclOnceAndNothingFollows) {
    master_link m(peer, 0, repeaters, "passw0rd", "");
    log_in(m, 0);
    EXPECT_EQ(sent(m.close(at(3 * S))), text("RPTCL") + ID);
    EXPECT_EQ(m.status().state, link_state::closed);
    EXPECT_FALSE(m.route().used());
    EXPECT_TRUE(sent(m.close(at(3 * S))).empty());
    EXPECT_TRUE(tick(m, 30 * S).empty());
    EXPECT_TRUE(answer(m, ack(SALT), 31 * S).empty());

    master_link idle(peer, 0, repeaters, "passw0rd", "");
    EXPECT_TRUE(sent(idle.close(at(0))).empty()) << "nothing to close before a login";
}

// The master mode's links: two repeaters, each logged in on its own link
// under its own ID and configuration.
const bytes ID_2 = {0x00, 0x27, 0xFA, 0xD0}; // 2620112

struct MasterLinks : master_fixture {
    MasterLinks() { set_repeater("2620112", 1, "DB0XYZ"); }

    void log_in_both(master_links &g) {
        const bytes ids[] = {ID, ID_2};
        for (std::size_t i = 0; i < 2; ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(tick(g, i, 0), text("RPTL") + ids[i]);
            const bytes key = answer(g, i, ack(SALT), 100);
            ASSERT_EQ(bytes(key.begin(), key.begin() + 8), text("RPTK") + ids[i]);
            const bytes rptc = answer(g, i, ack(ids[i]), 200);
            ASSERT_EQ(rptc.size(), link_msg::RPTC_LENGTH);
            EXPECT_EQ(bytes(rptc.begin(), rptc.begin() + 8), text("RPTC") + ids[i]);
            EXPECT_EQ(std::string(rptc.begin() + 8, rptc.begin() + 14),
                      i == 0 ? "DB0ABC" : "DB0XYZ");
            answer(g, i, ack(ids[i]), 300);
            ASSERT_EQ(g.link(i).status().state, link_state::up);
        }
    }
};

TEST_F(MasterLinks, EachRepeaterIndexLogsInUnderItsOwnIdAndKeepsItsOwnRoute) {
    master_links g(peer, repeaters, "passw0rd", "");
    log_in_both(g);
    EXPECT_EQ(g.link(0).route().MMDVM_ID, 2620101U);
    EXPECT_EQ(g.link(1).route().MMDVM_ID, 2620112U);
    EXPECT_STREQ(g.link(1).route().MMDVM_Callsign, "DB0XYZ  ");
    for (std::size_t i = 2; i < LINK_SLOTS; ++i) {
        EXPECT_TRUE(tick(g, i, 400).empty()) << "no repeater in index " << i;
        EXPECT_EQ(g.link(i).status().state, link_state::waiting);
    }
    // Index 0 keeps the single repeater's lines; the others name their index.
    const std::string lines = log.text();
    EXPECT_TRUE(contains(lines, "master link to 127.0.0.1:62031: repeater 2620101 logged in\n"));
    EXPECT_TRUE(contains(lines, "master link 1 to 127.0.0.1:62031: repeater 2620112 logged in\n"));

    // Each link pings under its own ID, and a stop closes both.
    EXPECT_EQ(tick(g, 0, 10400), text("RPTPING") + ID);
    EXPECT_EQ(tick(g, 1, 10400), text("RPTPING") + ID_2);
    EXPECT_EQ(sent(g.close(0, at(11000))), text("RPTCL") + ID);
    EXPECT_EQ(sent(g.close(1, at(11000))), text("RPTCL") + ID_2);
}

TEST_F(MasterLinks, ARepeaterThatTimesOutClosesOnlyItsOwnLink) {
    master_links g(peer, repeaters, "passw0rd", "");
    log_in_both(g);
    // Repeater 0 falls silent: its life runs out a second at a time.
    repeater_entry gone{};
    std::time_t t = 1000;
    while (!online_tick(repeaters, 0, t, gone)) {
        online_tick(repeaters, 1, t, gone); // repeater 1 is refreshed each second
        repeaters.locked([](auto &slots) { slots[1].Hytera_RPT_Timer = REPEATER_LIFE_SECONDS; });
        ++t;
    }
    EXPECT_EQ(t, 1000 + REPEATER_LIFE_SECONDS - 1);
    EXPECT_EQ(tick(g, 0, 5 * S), text("RPTCL") + ID);
    EXPECT_TRUE(tick(g, 1, 5 * S).empty());
    EXPECT_EQ(g.link(0).status().state, link_state::waiting);
    EXPECT_FALSE(g.link(0).route().used());
    EXPECT_EQ(g.link(1).status().state, link_state::up);
    EXPECT_TRUE(g.link(1).route().used());
    EXPECT_TRUE(contains(log.text(),
                         "master link to 127.0.0.1:62031: repeater 2620101 is gone, its "
                         "link closed (RPTCL)\n"));
}

TEST_F(MasterLinks, ASecondRepeaterWithAServedIdWaitsUntilTheIdIsFree) {
    master_links g(peer, repeaters, "passw0rd", "");
    set_repeater("2620101", 1, "DB0XYZ");
    EXPECT_EQ(tick(g, 0, 0), text("RPTL") + ID);
    EXPECT_TRUE(tick(g, 1, 0).empty());
    EXPECT_TRUE(tick(g, 1, 20 * S).empty());
    EXPECT_EQ(g.link(1).status().state, link_state::waiting);
    const std::string held = "master link 1: repeater 2620101 has the ID another link already "
                             "serves, its link waits\n";
    const std::string lines = log.text();
    EXPECT_TRUE(contains_once(lines, held));

    repeaters.locked([](auto &slots) { slots[0] = repeater_entry{}; });
    tick(g, 0, 21 * S); // link 0 lets the ID go
    EXPECT_EQ(tick(g, 1, 21 * S), text("RPTL") + ID);
}

// The station (receiving on 431.1 MHz, sending on 438.5 MHz) as a DMRGateway
// or MMDVMHost in its place would announce it.
TEST_F(MasterLink, TheConfigurationNamesTheStationAsItIs) {
    std::strcpy(Location_Latitude, "50.1234");
    std::strcpy(Location_Longitude, "8.12345");
    std::strcpy(Location_Homepage, "http://x");
    std::strcpy(Location_Description, " Hytera RD985 Berg");
    Location_Height = 42;
    master_link m(peer, 0, repeaters, "passw0rd", "");
    tick(m, 0);
    answer(m, ack(SALT), 50);
    const bytes rptc = answer(m, ack(ID), 100);
    EXPECT_EQ(rptc,
              text("RPTC") + ID +
                  text(std::string("DB0ABC  ") + "431100000" + "438500000" + " 5" + " 1" +
                       "50.1234 " + "8.12345  " + "042" + "Testort" + std::string(13, ' ') +
                       " Hytera RD985 Berg " + "3" + "http://x" + std::string(116, ' ') +
                       "ferrule 7.12.20" + std::string(25, ' ') + "MMDVM" + std::string(35, ' ')));
}

// What the gateway mode sends of the same station: no description or height.
const std::string DMRC_TEXT = "DB0ABC  "
                              "431100000"
                              "438500000"
                              "05"
                              "01"
                              "3" +
                              std::string("ferrule 7.12.20") + std::string(25, ' ') + "MMDVM" +
                              std::string(35, ' ');

// The gateway mode's link on the same repeater table and peer.
struct GatewayLink : master_fixture {
    peer_table peers;
    gateway_link g{peer, 0, peers, repeaters};

    bytes tick(std::int64_t ms) { return sent(g.tick(at(ms))); }
    link_output from_gateway(const std::string &d, std::int64_t ms) {
        return g.receive(text(d), peer, at(ms));
    }
};

TEST_F(GatewayLink, SendsTheConfigurationEveryTenSecondsAndRecordsThePeerForVoice) {
    std::strcpy(Location_Description, "Berg");
    Location_Height = 42;
    const bytes dmrc = tick(0);
    ASSERT_EQ(dmrc.size(), link_msg::DMRC_LENGTH);
    EXPECT_EQ(dmrc, text("DMRC") + ID + text(DMRC_TEXT));
    const peer_entry e = peers.snapshot(0);
    EXPECT_STREQ(e.MMDVM_INDEX, ":127.0.0.1-:62031");
    EXPECT_EQ(e.MMDVM_ID, 2620101U);
    EXPECT_TRUE(e.MMDVM_ID_exact);

    EXPECT_TRUE(tick(9999).empty());
    EXPECT_EQ(tick(10 * S), dmrc);
    EXPECT_TRUE(tick(15 * S).empty());
    EXPECT_EQ(tick(20 * S), dmrc);
    EXPECT_EQ(g.status().last_ping_ms, 20 * S);
    EXPECT_TRUE(contains(log.text(), "gateway link to 127.0.0.1:62031: repeater 2620101 announced, "
                                     "configuration (DMRC) every 10 s\n"));
}

TEST_F(GatewayLink, NumbersTooWideForTheirFieldsKeepTheLayout) {
    std::strcpy(Location_Watt, "100");
    std::strcpy(Location_CC, "99");
    repeaters.locked([](auto &slots) {
        std::strcpy(slots[0].Hytera_RPT_Callsign, "DB0ABCDEFG");
        std::strcpy(slots[0].Hytera_RPT_TX_Frequency, "1296000000");
        std::strcpy(slots[0].Hytera_RPT_RX_Frequency, "");
    });
    const bytes dmrc = tick(0);
    ASSERT_EQ(dmrc.size(), link_msg::DMRC_LENGTH);
    EXPECT_EQ(std::string(dmrc.begin() + 8, dmrc.begin() + 54), "DB0ABCDE"
                                                                "000000000"
                                                                "999999999"
                                                                "99"
                                                                "99"
                                                                "3"
                                                                "ferrule 7.12.20");
}

TEST_F(GatewayLink, NothingBeforeTheRepeaterIsIdentifiedAndANewIdIsAnnouncedAtOnce) {
    repeaters.reset();
    EXPECT_TRUE(tick(0).empty());
    EXPECT_FALSE(peers.snapshot(0).used());
    set_repeater("2620101");
    EXPECT_EQ(tick(1 * S).size(), link_msg::DMRC_LENGTH);

    set_repeater("2620102");
    const bytes next = tick(2 * S);
    ASSERT_EQ(next.size(), link_msg::DMRC_LENGTH);
    EXPECT_EQ(bytes(next.begin() + 4, next.begin() + 8), bytes({0x00, 0x27, 0xFA, 0xC6}));
    EXPECT_EQ(peers.snapshot(0).MMDVM_ID, 2620102U) << "voice follows the new ID";

    repeaters.reset();
    EXPECT_TRUE(tick(12 * S).empty());
    EXPECT_EQ(g.status().state, link_state::waiting);
    EXPECT_TRUE(peers.snapshot(0).used()) << "voice of other repeaters still has a peer";
}

TEST_F(GatewayLink, AMinuteWithoutDmrpIsLoggedOnceAndItsReturnToo) {
    tick(0);
    from_gateway("DMRP", 100);
    EXPECT_EQ(g.status().state, link_state::up);
    tick(60 * S + 99);
    EXPECT_EQ(g.status().state, link_state::up);
    tick(60 * S + 100);
    EXPECT_EQ(g.status().state, link_state::silent);
    for (std::int64_t t = 61 * S; t < 200 * S; t += S) {
        tick(t);
    }
    from_gateway("DMRP", 200 * S);
    EXPECT_EQ(g.status().state, link_state::up);
    EXPECT_EQ(g.status().last_pong_ms, 200 * S);
    const std::string lines = log.text();
    const std::string silent =
        "gateway link to 127.0.0.1:62031: no DMRP from the gateway for 60 s, "
        "voice still sent\n";
    EXPECT_TRUE(contains_once(lines, silent));
    EXPECT_TRUE(contains(lines, silent +
                                    "gateway link to 127.0.0.1:62031: the gateway answers again "
                                    "(DMRP)\n"));
}

TEST_F(GatewayLink, BeaconRequestsAreLoggedOnceAMinuteAndVoiceIsHandedOn) {
    tick(0);
    for (std::int64_t t = 0; t < 120 * S; t += 10 * S) {
        from_gateway("DMRB", t);
    }
    EXPECT_EQ(count_of(log.text(), "(DMRB)"), 2U);
    EXPECT_TRUE(from_gateway("DMRD" + std::string(51, '\0'), 0).hand_on_dmrd);
    EXPECT_FALSE(
        g.receive(text("DMRD" + std::string(51, '\0')), endpoint("127.0.0.1", 62099), at(0))
            .hand_on_dmrd)
        << "only the configured port is the peer";
}

// The newest DMRGateway releases read their configuration from their own file
// and take a DMRC for an unknown packet: with DMRC off nothing but voice goes out.
TEST_F(GatewayLink, WithoutDmrcTheAnnouncementSendsNothingAndVoiceStillHasItsPeer) {
    gateway_link quiet{peer, 0, peers, repeaters, false};
    for (std::int64_t ms = 0; ms <= 30 * S; ms += S) {
        EXPECT_EQ(quiet.tick(at(ms)).length, 0u) << ms;
    }
    EXPECT_EQ(peers.snapshot(0).MMDVM_ID, 2620101u);
    quiet.receive(text("DMRP"), peer, at(31 * S));
    EXPECT_EQ(quiet.status().state, link_state::up);
    EXPECT_TRUE(contains(log.text(), "repeater 2620101 announced, no configuration (DMRC) sent"));
}

} // namespace
