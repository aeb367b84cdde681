// The MQTT client's plain pieces: the call objects, when the status goes out
// again, and the log's lines without colours.
#include "core/log.h"
#include "status/status_render.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using json = nlohmann::json;

struct event_case {
    call_event_kind kind;
    call_direction direction;
    bool group;
    const char *expected; // the object, timestamp aside (it holds the one below)
};

const event_case event_cases[] = {
    {call_event_kind::start, call_direction::to_network, true,
     R"({"DMR": {"source": "rf", "action": "start", "slot": 2, "source_id": 2621234, "source_info": "DL1ABC",
         "destination_id": 262, "destination_type": "group", "repeater": 1, "repeater_id": 311234}})"},
    {call_event_kind::late_entry, call_direction::to_repeater, false,
     R"({"DMR": {"source": "network", "action": "late_entry", "slot": 2, "source_id": 2621234,
         "source_info": "DL1ABC", "destination_id": 262, "destination_type": "individual",
         "repeater": 1, "repeater_id": 311234}})"},
    {call_event_kind::end, call_direction::to_network, true,
     R"({"DMR": {"source": "rf", "action": "end", "slot": 2, "source_id": 2621234, "source_info": "DL1ABC",
         "destination_id": 262, "destination_type": "group", "duration": 3.25, "ber": 0.2,
         "repeater": 1, "repeater_id": 311234}})"},
    {call_event_kind::lost, call_direction::to_repeater, true,
     R"({"DMR": {"source": "network", "action": "lost", "slot": 2, "source_id": 2621234,
         "source_info": "DL1ABC", "destination_id": 262, "destination_type": "group", "duration": 3.25,
         "ber": 0.2, "loss": 1.0, "repeater": 1, "repeater_id": 311234}})"},
    {call_event_kind::text, call_direction::to_network, true,
     R"({"Text": {"mode": "DMR", "slot": 2, "value": "DL1ABC Hans", "repeater": 1,
         "repeater_id": 311234}})"},
    {call_event_kind::gps, call_direction::to_repeater, true,
     R"({"GPS": {"mode": "DMR", "slot": 2, "source_id": 2621234, "latitude": 52.5,
         "longitude": -13.25, "repeater": 1, "repeater_id": 311234}})"},
};

class CallObject : public testing::TestWithParam<event_case> {};

TEST_P(CallObject, HoldsMmdvmHostsFieldsAndTheRepeater) {
    const event_case &c = GetParam();
    call_event e;
    e.kind = c.kind;
    e.call.direction = c.direction;
    e.call.slot = 1;
    e.call.repeater = 1;
    e.call.source = 2621234;
    e.call.destination = 262;
    e.call.group = c.group;
    e.call.duration_ms = 3250;
    e.call.figures.bit_errors = 3; // of 1410: 0.21 %
    e.call.figures.bits_checked = 1410;
    e.call.figures.frames = 99;
    e.call.figures.lost_frames = 1;
    std::strcpy(e.call.figures.source_callsign, "DL1ABC");
    std::strcpy(e.call.figures.talker_alias, "DL1ABC Hans");
    e.call.figures.latitude = 52.5;
    e.call.figures.longitude = -13.25;
    e.wall_ms = 1796646896789; // 2026-12-07T12:34:56.789Z
    repeater_entry rpt{};
    std::strcpy(rpt.Hytera_RPT_DmrID, "311234");
    rpt.Hytera_RPT_RDAC_OK = 1;
    json o = json::parse(render_call_event(e, rpt));
    json &inner = o.begin().value();
    EXPECT_EQ(inner["timestamp"], "2026-12-07T12:34:56.789Z");
    inner.erase("timestamp");
    EXPECT_EQ(o, json::parse(c.expected));

    rpt.Hytera_RPT_RDAC_OK = 0; // not identified (any more): no ID to give
    EXPECT_EQ(json::parse(render_call_event(e, rpt)).begin().value()["repeater_id"], 0);
}

INSTANTIATE_TEST_SUITE_P(Events, CallObject, testing::ValuesIn(event_cases));

TEST(StatusChangeKey, ChangesWithRepeatersAndLinksNotWithTimers) {
    status_snapshot s;
    s.links.resize(1);
    const std::string idle = status_change_key(s);
    s.repeaters[2].Hytera_RPT_Timer = 35;
    std::strcpy(s.repeaters[2].Hytera_RPT_ip, "192.0.2.7");
    const std::string registered = status_change_key(s);
    s.repeaters[2].Hytera_RPT_RDAC_OK = 1;
    const std::string identified = status_change_key(s);
    s.links[0].status.state = link_state::up;
    const std::string up = status_change_key(s);
    s.links[0].status.refusals = 1;
    const std::string refused = status_change_key(s);
    const std::vector<std::string> keys = {idle, registered, identified, up, refused};
    for (std::size_t i = 1; i < keys.size(); ++i) {
        EXPECT_NE(keys[i], keys[i - 1]) << i;
    }
    s.repeaters[2].Hytera_RPT_Timer = 20; // time passing is no change
    s.uptime_seconds = 100;
    EXPECT_EQ(status_change_key(s), refused);
}

TEST(LogLineSplitter, DropsColoursAndBlankLinesAndJoinsPieces) {
    log_line_splitter split;
    std::vector<std::string> lines;
    const auto emit = [&lines](const char *text, std::size_t n) { lines.emplace_back(text, n); };
    for (const char *message : {"\033[0;33m", "Start Audio  Modul  V1.01\n", "\033[0m",
                                "\n\nMaster", " up\r\n", "\033[1;36mHytera_RPT Login\033[0m\n"}) {
        split.feed(message, emit);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"Start Audio  Modul  V1.01", "Master up",
                                               "Hytera_RPT Login"}));
    lines.clear();
    split.feed(std::string(1500, 'x').append("\n").c_str(), emit);
    ASSERT_EQ(lines.size(), 2U); // cut, nothing lost
    EXPECT_EQ(lines[0].size() + lines[1].size(), 1500U);
}

} // namespace
