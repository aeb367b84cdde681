#include "network/master_link.h"

#include "core/settings.h"
#include "hytera/online.h"
#include "network/master_links.h"
#include "testing/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using ferrule_test::CapturedLog;
using ferrule_test::endpoint;

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::int64_t S = 1000; // the link clock counts milliseconds

bytes text(const std::string &s) {
    return {s.begin(), s.end()};
}
bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes sent(const link_output &o) {
    return {o.bytes.begin(), o.bytes.begin() + static_cast<std::ptrdiff_t>(o.length)};
}

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
        std::strcpy(Location_Watt, "5");
        std::strcpy(Location_CC, "1");
        std::strcpy(Location_Name, "Testort");
        Location_Homepage[0] = 0;
        set_repeater("2620101");
    }
    void set_repeater(const char *id, std::size_t index = 0, const char *callsign = "DB0ABC") {
        repeaters.locked([&](auto &slots) {
            repeater_entry &e = slots[index];
            std::snprintf(e.Hytera_RPT_ip, sizeof e.Hytera_RPT_ip, "127.0.0.%zu", 2 * index + 2);
            std::strcpy(e.Hytera_RPT_DmrID, id);
            std::strcpy(e.Hytera_RPT_Callsign, callsign);
            std::strcpy(e.Hytera_RPT_TX_Frequency, "438500000");
            std::strcpy(e.Hytera_RPT_RX_Frequency, "431100000");
            e.Hytera_RPT_Timer = REPEATER_LIFE_SECONDS;
            e.Hytera_RPT_RDAC_OK = 1;
        });
    }
    link_clock at(std::int64_t ms) {
        now = ms;
        return {ms, "Mon Jan  1 00:00:00 2024\n"};
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
    EXPECT_EQ(std::string(rptc.begin() + 8, rptc.begin() + 38), "DB0ABC  438500000431100000 5 1");

    EXPECT_TRUE(answer(m, ack(ID), 150).empty()) << "no options: up at once";
    EXPECT_EQ(m.status().state, link_state::up);
    EXPECT_EQ(m.status().id, 2620101U);
    const peer_entry e = m.route();
    EXPECT_STREQ(e.MMDVM_INDEX, ":127.0.0.1-:62031");
    EXPECT_EQ(e.MMDVM_ID, 2620101U) << "voice goes out under the repeater's own ID";
    EXPECT_TRUE(e.MMDVM_ID_exact);
    const std::string lines = log.text();
    EXPECT_NE(lines.find("master link to 127.0.0.1:62031: logging in repeater 2620101 (RPTL)\n"
                         "master link to 127.0.0.1:62031: salt received, sending the key (RPTK)\n"
                         "master link to 127.0.0.1:62031: key accepted, sending the configuration "
                         "(RPTC)\n"
                         "master link to 127.0.0.1:62031: repeater 2620101 logged in\n"),
              std::string::npos)
        << lines;
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
    EXPECT_NE(log.text().find("master link to 127.0.0.1:62031: no pong for 60 s, link dropped, "
                              "logging in again\n"),
              std::string::npos);
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
    EXPECT_NE(log.text().find("master link to 127.0.0.1:62031: refused (MSTNAK) after the key "
                              "(check DMRGateway_password), next login in 10 s\n"),
              std::string::npos);
    EXPECT_NE(log.text().find("master link to 127.0.0.1:62031: the master closed the link (MSTCL), "
                              "next login in 10 s\n"),
              std::string::npos);
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
    EXPECT_NE(log.text().find("master link to 127.0.0.1:62031: no answer to the key within 10 s, "
                              "logging in again\n"),
              std::string::npos);
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
    EXPECT_NE(log.text().find("master link: datagram from 127.0.0.3:62031 dropped, it is not the "
                              "peer\n"),
              std::string::npos);
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

TEST_F(MasterLink, DmrdFromThePeerIsHandedOn) {
    master_link m(peer, 0, repeaters, "passw0rd", "");
    const link_output out = m.receive(text("DMRD") + bytes(51, 0), peer, at(0));
    EXPECT_TRUE(out.hand_on_dmrd);
    EXPECT_FALSE(m.receive(text("DMRD") + bytes(50, 0), peer, at(0)).hand_on_dmrd);
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
    EXPECT_NE(lines.find("master link to 127.0.0.1:62031: repeater 2620101 logged in\n"),
              std::string::npos);
    EXPECT_NE(lines.find("master link 1 to 127.0.0.1:62031: repeater 2620112 logged in\n"),
              std::string::npos);

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
    EXPECT_NE(log.text().find("master link to 127.0.0.1:62031: repeater 2620101 is gone, its "
                              "link closed (RPTCL)\n"),
              std::string::npos);
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
    EXPECT_EQ(lines.find(held), lines.rfind(held)) << "said once";
    EXPECT_NE(lines.find(held), std::string::npos);

    repeaters.locked([](auto &slots) { slots[0] = repeater_entry{}; });
    tick(g, 0, 21 * S); // link 0 lets the ID go
    EXPECT_EQ(tick(g, 1, 21 * S), text("RPTL") + ID);
}

} // namespace
