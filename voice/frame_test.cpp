#include "voice/dmrd_frame.h"
#include "voice/hytera_frame.h"

#include <gtest/gtest.h>

namespace hf = hytera_frame;
namespace df = dmrd_frame;

TEST(HyteraFrame, ByteSwapExchangesEachPairAndIsItsOwnInverse) {
    std::array<std::uint8_t, hf::PAYLOAD_LENGTH> burst{};
    for (std::size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<std::uint8_t>(i);
    }
    std::array<std::uint8_t, hf::PAYLOAD_LENGTH> swapped{};
    hf::swap_byte_pairs(burst, swapped);
    EXPECT_EQ((std::array<std::uint8_t, 4>{1, 0, 3, 2}),
              (std::array<std::uint8_t, 4>{swapped[0], swapped[1], swapped[2], swapped[3]}));
    EXPECT_EQ(swapped[32], 33);
    EXPECT_EQ(swapped[33], 32);
    std::array<std::uint8_t, hf::PAYLOAD_LENGTH> back{};
    hf::swap_byte_pairs(swapped, back);
    EXPECT_EQ(back, burst);
}

TEST(HyteraFrame, FirmwareFamilyAdjustsFrameKind) {
    struct Case {
        const char *firmware;
        std::uint8_t kind;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {"A7.05.07", hf::KIND_DATA, 0x01},
        {"A7.05.07", hf::KIND_TERMINATOR, 0x03},
        {"A8.02.01", hf::KIND_DATA, 0x41},
        {"A8.02.01", hf::KIND_TERMINATOR, 0x43},
        {"A8.02.01", hf::KIND_CALL_SETUP, 0x42},
        {"A8.02.01", hf::KIND_VOICE, 0x41},
        {"", hf::KIND_DATA, 0x41},
        {"A", hf::KIND_VOICE, 0x01},
        {"B7", hf::KIND_DATA, 0x41},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hf::adjust_frame_kind(c.kind, c.firmware), c.expected)
            << c.firmware << " kind " << int(c.kind);
    }
}

TEST(HyteraFrame, IdsLittleEndianAndSetupIdsMostSignificantFirst) {
    hf::Frame f{};
    hf::write_id(f, hf::DESTINATION, 0x123456);
    hf::write_setup_id(f, hf::SETUP_DESTINATION, 0x123456);
    EXPECT_EQ(f[64], 0x56);
    EXPECT_EQ(f[65], 0x34);
    EXPECT_EQ(f[66], 0x12);
    EXPECT_EQ(f[67], 0);
    EXPECT_EQ(f[32], 0x12);
    EXPECT_EQ(f[34], 0x34);
    EXPECT_EQ(f[36], 0x56);
    EXPECT_EQ(f[33], 0);
    EXPECT_EQ(hf::read_id(f, hf::DESTINATION), 0x123456u);
}

TEST(DmrdFrame, SourceIdBigEndian) {
    df::Frame d{};
    df::write_be(d, df::SOURCE, df::ID_LENGTH, 2621234);
    EXPECT_EQ(d[5], 0x27);
    EXPECT_EQ(d[6], 0xFF);
    EXPECT_EQ(d[7], 0x32);
    EXPECT_EQ(df::read_be(d, df::SOURCE, df::ID_LENGTH), 2621234u);
}
