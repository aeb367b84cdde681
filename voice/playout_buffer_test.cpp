// The playout buffer with a hand-set clock, driven as the link thread drives
// it: frames pushed as they arrive, the buffer polled every 5 ms, what it
// gives out converted for the repeater, the watchdog ticked.
#include "voice/playout_buffer.h"

#include "dmr/silence.h"
#include "testing/test_frames.h"
#include "voice/dmrd_to_hytera.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace df = dmrd_frame;
namespace hf = hytera_frame;

namespace {

constexpr std::int64_t HOLD = 360;
constexpr std::int64_t POLL = 5;

// A call of `superframes` superframes on `slot`: header, bursts A-F, terminator,
// numbered from `first`, each frame sent 60 ms after the one before. Every
// burst's bytes are its position's, so a silence burst's middle shows where
// it came from.
std::vector<df::Frame> call(std::uint32_t stream, std::size_t slot, int superframes,
                            std::uint8_t first = 250) {
    const std::uint8_t ts = slot == 1 ? df::FLAG_TS2 : 0;
    std::vector<df::Frame> frames;
    auto add = [&](std::uint8_t kind) {
        df::Frame f = voice_test::dmrd(static_cast<std::uint8_t>(first + frames.size()), 2345678, 9,
                                       ts | kind);
        df::write_be(f, df::STREAM_ID, 4, stream);
        frames.push_back(f);
    };
    add(df::KIND_VOICE_LC_HEADER);
    for (int s = 0; s < superframes; ++s) {
        for (std::uint8_t p = 0; p < 6; ++p) {
            add(p == 0 ? df::KIND_VOICE_A : p);
            frames.back()[df::BURST + 13] = static_cast<std::uint8_t>(0x40 + p);
        }
    }
    add(df::KIND_TERMINATOR);
    return frames;
}

char token(const df::Frame &f) {
    const std::uint8_t kind = f[df::FLAGS] & df::KIND_MASK;
    if (kind == df::KIND_VOICE_LC_HEADER) {
        return 'H';
    }
    if (kind == df::KIND_TERMINATOR) {
        return 'T';
    }
    const char letter = static_cast<char>('A' + (kind == df::KIND_VOICE_A ? 0 : kind));
    const bool silent = f[df::BURST] == dmr_silence::AMBE_SILENCE[0];
    return silent ? static_cast<char>(letter - 'A' + 'a') : letter;
}

struct arrival {
    std::int64_t at_ms;
    df::Frame frame;
};

struct played {
    std::string tokens[2];
    std::vector<std::int64_t> times[2];
    std::vector<df::Frame> frames[2];
    call_figures last[2]{}; // the figures given with the slot's last frame
    std::vector<std::int64_t> watchdog_ends;
};

played run(std::vector<arrival> arrivals, std::int64_t until_ms) {
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const arrival &a, const arrival &b) { return a.at_ms < b.at_ms; });
    playout_buffer buffer;
    repeater_call_state state{};
    const hytera_target target{"", "127.0.0.1", 50000};
    played out;
    std::size_t next = 0;
    for (std::int64_t now = 0; now <= until_ms; now += POLL) {
        for (; next < arrivals.size() && arrivals[next].at_ms <= now; ++next) {
            EXPECT_TRUE(buffer.push(arrivals[next].frame, arrivals[next].at_ms, HOLD));
        }
        df::Frame f{};
        call_figures figures{};
        hytera_batch batch{};
        while (buffer.pop(now, f, figures)) {
            const std::size_t slot = (f[df::FLAGS] & df::FLAG_TS2) != 0 ? 1 : 0;
            out.tokens[slot] += token(f);
            out.times[slot].push_back(now);
            out.frames[slot].push_back(f);
            out.last[slot] = figures;
            dmrd_playout_to_hytera(f, figures, target, state, now, batch);
        }
        if (dmrd_tick(state, target, now, batch) > 0) {
            out.watchdog_ends.push_back(now);
        }
    }
    return out;
}

// Each frame sent 60 ms after the one before, from `start`.
std::vector<arrival> paced(const std::vector<df::Frame> &frames, std::int64_t start = 0) {
    std::vector<arrival> a;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        a.push_back({start + static_cast<std::int64_t>(i) * 60, frames[i]});
    }
    return a;
}

struct figures_row {
    std::uint32_t frames, lost, late, duplicates, silence;
};

struct buffer_case {
    const char *name;
    std::vector<arrival> arrivals;
    std::string ts1, ts2; // what each slot plays, in order
    figures_row figures;  // of the last call on TS1
    std::size_t watchdog_ends;
};

std::vector<arrival> without(std::vector<arrival> a, std::size_t index) {
    a.erase(a.begin() + static_cast<std::ptrdiff_t>(index));
    return a;
}

std::vector<arrival> moved(std::vector<arrival> a, std::size_t index, std::int64_t at_ms) {
    a[index].at_ms = at_ms;
    return a;
}

std::vector<arrival> twice(std::vector<arrival> a, std::size_t index, std::int64_t at_ms) {
    a.push_back({at_ms, a[index].frame});
    return a;
}

std::vector<arrival> joined(std::vector<arrival> a, const std::vector<arrival> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<df::Frame> ONE = call(0x1111, 0, 2);
const std::vector<df::Frame> OTHER = call(0x2222, 0, 1, 7);
const std::vector<df::Frame> ON_TS2 = call(0x3333, 1, 2, 100);
const std::string WHOLE = "HABCDEFABCDEFT";

std::vector<buffer_case> cases() {
    std::vector<buffer_case> rows = {
        {"in order", paced(ONE), WHOLE, "", {12, 0, 0, 0, 0}, 0},
        {"reordered", moved(moved(paced(ONE), 3, 250), 2, 60), WHOLE, "", {12, 0, 0, 0, 0}, 0},
        {"duplicated, while held and after playing",
         twice(twice(paced(ONE), 4, 250), 5, 1000),
         WHOLE,
         "",
         {12, 0, 0, 2, 0},
         0},
        {"late: after its turn has gone",
         moved(paced(ONE), 5, 700),
         "HABCDeFABCDEFT",
         "",
         {12, 0, 1, 0, 1},
         0},
        {"terminator lost: the watchdog ends the call",
         without(paced(ONE), 13),
         "HABCDEFABCDEF",
         "",
         {12, 0, 0, 0, 0},
         1},
        {"two calls back to back on one slot",
         joined(paced(ONE), paced(OTHER, 13 * 60 + 30)),
         WHOLE + "HABCDEFT",
         "",
         {6, 0, 0, 0, 0},
         0},
        {"both slots at once",
         joined(paced(ONE), paced(ON_TS2, 20)),
         WHOLE,
         WHOLE,
         {12, 0, 0, 0, 0},
         0},
    };
    // Each burst A-F of the second superframe lost in turn.
    for (std::size_t p = 0; p < 6; ++p) {
        std::string expect = WHOLE;
        expect[7 + p] = static_cast<char>('a' + p);
        rows.push_back(
            {"one burst lost", without(paced(ONE), 7 + p), expect, "", {11, 1, 0, 0, 1}, 0});
    }
    return rows;
}

TEST(PlayoutBuffer, Calls) {
    for (const buffer_case &c : cases()) {
        SCOPED_TRACE(c.name);
        const played p = run(c.arrivals, 5000);
        EXPECT_EQ(p.tokens[0], c.ts1);
        EXPECT_EQ(p.tokens[1], c.ts2);
        const call_figures &f = p.last[0];
        EXPECT_EQ(f.frames, c.figures.frames);
        EXPECT_EQ(f.lost_frames, c.figures.lost);
        EXPECT_EQ(f.late_frames, c.figures.late);
        EXPECT_EQ(f.duplicate_frames, c.figures.duplicates);
        EXPECT_EQ(f.silence_frames, c.figures.silence);
        EXPECT_EQ(p.watchdog_ends.size(), c.watchdog_ends);
        for (std::size_t slot = 0; slot < 2; ++slot) {
            const std::vector<std::int64_t> &t = p.times[slot];
            // The first frame's hold, then the pace of the air; a call that
            // waited starts after the one before, never with it.
            if (!t.empty()) {
                EXPECT_EQ(t[0], (slot == 0 ? 0 : 20) + HOLD);
            }
            for (std::size_t i = 1; i < t.size(); ++i) {
                EXPECT_GE(t[i] - t[i - 1], 60 - POLL) << slot << " " << i;
                if (i != WHOLE.size()) {
                    EXPECT_LE(t[i] - t[i - 1], 60 + POLL) << slot << " " << i;
                }
            }
            // Silence carries what its place carried in the superframe before.
            for (std::size_t i = 0; i < p.frames[slot].size(); ++i) {
                const df::Frame &g = p.frames[slot][i];
                if (i >= 7 && std::islower(p.tokens[slot][i]) != 0) {
                    const auto burst = std::span<const std::uint8_t, df::LENGTH>(g)
                                           .subspan<df::BURST, df::BURST_LENGTH>();
                    const auto source = std::span<const std::uint8_t, df::LENGTH>(ONE[i - 6])
                                            .subspan<df::BURST, df::BURST_LENGTH>();
                    EXPECT_EQ(dmr_silence::middle_of(burst), dmr_silence::middle_of(source));
                    EXPECT_EQ(g[df::SEQUENCE], ONE[i][df::SEQUENCE]);
                }
            }
        }
    }
}

} // namespace
