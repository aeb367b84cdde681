#include "voice/hytera_frame.h"

#include <gtest/gtest.h>

namespace hf = hytera_frame;

// The frame layout itself is pinned by the conversions' worked examples; the
// firmware rule is the one piece of logic the format holds.
TEST(HyteraFrame, FirmwareFamilyAdjustsFrameKind) {
    const struct {
        const char *firmware;
        std::uint8_t kind;
        std::uint8_t expected;
    } cases[] = {
        {"A7.05.07", hf::KIND_DATA, 0x01},
        {"A7.05.07", hf::KIND_TERMINATOR, 0x03},
        {"A8.02.01", hf::KIND_TERMINATOR, 0x43},
        {"A8.02.01", hf::KIND_CALL_SETUP, 0x42},
        {"A8.02.01", hf::KIND_VOICE, 0x41},
        {"", hf::KIND_DATA, 0x41},
        {"A", hf::KIND_VOICE, 0x01},
        {"B7", hf::KIND_DATA, 0x41},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(hf::adjust_frame_kind(c.kind, c.firmware), c.expected)
            << c.firmware << " kind " << int(c.kind);
    }
}
