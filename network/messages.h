#pragma once
// Control messages of the link to the network peer. Integers on the wire are
// 32 bits, most significant byte first; text fields have a fixed width, are
// padded with spaces and carry no terminator. Builders write into caller-owned
// fixed-size buffers; nothing here allocates.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace link_msg {

inline constexpr std::size_t RPTL_LENGTH = 8;
inline constexpr std::size_t RPTK_LENGTH = 40;
inline constexpr std::size_t RPTC_LENGTH = 302;
inline constexpr std::size_t RPTPING_LENGTH = 11;
inline constexpr std::size_t RPTCL_LENGTH = 9;
inline constexpr std::size_t DIGEST_LENGTH = 32;
// The repeater side of a DMRGateway: "DMRC", repeater ID, 111 characters of
// configuration text.
inline constexpr std::size_t DMRC_LENGTH = 119;
// "RPTO", repeater ID, then the options text without terminator.
inline constexpr std::size_t OPTIONS_MAX = 255;
inline constexpr std::size_t RPTO_MAX_LENGTH = 8 + OPTIONS_MAX;
// RPTACK, RPTNAK and MSTNAK carry the acknowledge value at bytes 6-9.
inline constexpr std::size_t ACK_OFFSET = 6;
inline constexpr std::size_t ACK_MESSAGE_MIN = 10;
inline constexpr std::size_t DMRD_MIN = 55;

// Offsets and widths of the RPTC fields.
struct rptc_field {
    std::size_t offset;
    std::size_t width;
};
inline constexpr rptc_field RPTC_ID{4, 4};
inline constexpr rptc_field RPTC_CALLSIGN{8, 8};
inline constexpr rptc_field RPTC_RX_FREQ{16, 9};
inline constexpr rptc_field RPTC_TX_FREQ{25, 9};
inline constexpr rptc_field RPTC_POWER{34, 2};
inline constexpr rptc_field RPTC_COLOUR{36, 2};
inline constexpr rptc_field RPTC_LATITUDE{38, 8};
inline constexpr rptc_field RPTC_LONGITUDE{46, 9};
inline constexpr rptc_field RPTC_HEIGHT{55, 3};
inline constexpr rptc_field RPTC_LOCATION{58, 20};
inline constexpr rptc_field RPTC_DESCRIPTION{78, 19};
inline constexpr rptc_field RPTC_SLOTS{97, 1};
inline constexpr rptc_field RPTC_URL{98, 124};
inline constexpr rptc_field RPTC_SOFTWARE{222, 40};
inline constexpr rptc_field RPTC_PACKAGE{262, 40};

// Sent unchanged at every login; the peers we log in to do not check it.
extern const std::array<std::uint8_t, DIGEST_LENGTH> LOGIN_DIGEST;

// MSTCL, DMRP and DMRB matter only to the gateway and master modes; the login
// mode drops them like any unknown datagram.
enum class tag : std::uint8_t {
    none,
    RPTNAK,
    MSTNAK,
    RPTACK,
    RPTPONG,
    MSTPONG,
    DMRD,
    MSTCL,
    DMRP,
    DMRB
};
const char *tag_name(tag t);

// Recognises a datagram by its leading bytes. A datagram too short to hold
// what its tag promises (the tag itself, the acknowledge value, a whole DMRD
// frame) is `none`, so no reader ever looks past the received length.
tag classify(std::span<const std::uint8_t> datagram);

// The acknowledge value of an RPTACK, RPTNAK or MSTNAK that classify accepted.
std::array<std::uint8_t, 4> ack_bytes(std::span<const std::uint8_t> datagram);
// The same four bytes as the signed number the log prints.
std::int32_t ack_value(std::span<const std::uint8_t, 4> ack);

// The repeater ID from a repeater table DMR ID text: its leading decimal
// integer (blanks and a sign allowed before it, as "%d" reads it). A text that
// does not begin with a number gives 0; values beyond 32 bits saturate.
std::int32_t repeater_id(const char *dmr_id_text);

void put_u32(std::uint8_t *at, std::uint32_t value);
std::uint32_t get_u32(const std::uint8_t *at);

void build_rptl(std::int32_t id, std::span<std::uint8_t, RPTL_LENGTH> out);
void build_rptping(std::int32_t id, std::span<std::uint8_t, RPTPING_LENGTH> out);
void build_rptcl(std::int32_t id, std::span<std::uint8_t, RPTCL_LENGTH> out);
void build_rptk(std::span<const std::uint8_t, 4> ack, std::span<std::uint8_t, RPTK_LENGTH> out);
// The key a password-checking master expects: the repeater's own ID and the
// digest of its salt and the password.
void build_rptk(std::int32_t id, std::span<const std::uint8_t, DIGEST_LENGTH> digest,
                std::span<std::uint8_t, RPTK_LENGTH> out);
// Returns the length: 8 plus the options text, cut at OPTIONS_MAX.
std::size_t build_rpto(std::int32_t id, const char *options,
                       std::span<std::uint8_t, RPTO_MAX_LENGTH> out);

// What goes into an RPTC besides the acknowledge value. The pointers are
// NUL-terminated texts; longer texts are cut to their field's width.
struct rptc_source {
    const char *callsign;
    const char *rx_frequency_hz; // into the RX field
    const char *tx_frequency_hz; // into the TX field
    const char *power;
    const char *colour_code;
    const char *latitude;
    const char *longitude;
    const char *location;
    const char *url;
};
// What the station says of itself beyond its place. The defaults are what
// the login mode has always sent.
struct station_identity {
    const char *description = "Multi-Mode Repeater";
    int height_m = 0; // sent as three digits, brought into 0-999
    const char *software_id = "20171220";
};

void build_rptc(std::span<const std::uint8_t, 4> ack, const rptc_source &source,
                std::span<std::uint8_t, RPTC_LENGTH> out, const station_identity &identity = {});

// The configuration a DMRGateway takes from its repeater side, formatted
// "%-8.8s%09u%09u%02u%02u%c%-40.40s%-40.40s" from the same sources as the
// RPTC, in the same order: call sign, RX and TX frequency in Hz, power, colour
// code, slots "3", software and package texts. Numbers that do not fit their
// field are sent as the largest value that does, so the layout never shifts.
// Of the identity only the software ID goes in.
void build_dmrc(std::int32_t id, const rptc_source &source,
                std::span<std::uint8_t, DMRC_LENGTH> out, const station_identity &identity = {});

} // namespace link_msg
