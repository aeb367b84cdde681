// Writes the seed inputs of the datagram fuzz targets: valid datagrams of each
// kind, in the order a repeater or peer sends them, laid out as records
// (fuzz_support.h). Usage: make_fuzz_corpus DIR, normally fuzz/corpus; every
// seed file is rewritten, other files are left alone.
#include "hytera/repeater_table.h"
#include "network/link.h"
#include "sim/repeater_packets.h"
#include "testing/fuzz_support.h"
#include "testing/test_frames.h"
#include "voice/dmrd_frame.h"
#include "voice/hytera_frame.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;
using fuzz_input::put_record;
using namespace repeater_packets;

std::filesystem::path root;

struct record {
    std::uint8_t op;
    std::uint16_t port;
    bytes payload;
};
using records = std::vector<record>;

// One seed: the target's header bytes, then the records.
void seed(const std::string &target, const std::string &name, bytes in, const records &rs) {
    for (const record &r : rs) {
        put_record(in, r.op, r.port, r.payload);
    }
    const std::filesystem::path dir = root / target;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(in.data()), static_cast<std::streamsize>(in.size()));
}

records operator+(records a, const records &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes text(const char *tag, std::initializer_list<std::uint8_t> rest) {
    bytes d(tag, tag + std::strlen(tag));
    d.insert(d.end(), rest);
    return d;
}

// ---- Control and RDAC ports, one table ----

// Records with this bit in op go to the RDAC port, the others to the control port.
constexpr std::uint8_t RDAC = 0x80;

// One record per host 1 to the table's size and one more.
records every_host(std::uint8_t op, std::uint16_t port, const bytes &payload) {
    records rs;
    for (std::uint8_t host = 1; host <= REPEATER_SLOTS + 1; ++host) {
        rs.push_back({static_cast<std::uint8_t>(op | host), port, payload});
    }
    return rs;
}

void repeater_port_seeds() {
    const std::string t = "repeater_ports";
    seed(t, "control_announce_ports_keep_alive", {},
         {{5, 30001, service_request(0x10, 1)},
          {5, 30001, service_request(0x11, 2)},
          {5, 30001, service_request(0x12, 3)},
          {5, 30001, keep_alive()}});
    seed(t, "control_two_repeaters_and_any_address", {},
         {{5, 30001, keep_alive()},
          {6, 30002, service_request(0x10, 1)},
          {5, 40000, service_request(0x11, 2)},
          {0, 30003, service_request(0x12, 3)},
          {6, 30002, keep_alive()}});
    // One repeater more than the table holds.
    seed(t, "control_full_table", {},
         every_host(0, 30001, keep_alive()) +
             records{{REPEATER_SLOTS + 1, 30001, service_request(0x11, 1)}});

    // The whole identity query of one repeater, then a greeting once identified.
    seed(t, "rdac_identity_query", {},
         {{RDAC | 5, 40000, bytes{0x00}},
          {RDAC | 5, 40000, rdac_packet(12, 0xFD, 0)},
          {RDAC | 5, 40000, rdac_packet(25, 0x00, 1)},
          {RDAC | 5, 40000, rdac_packet(25, 0x00, 2)},
          {RDAC | 5, 40000, identity_answer()},
          {RDAC | 5, 40000, rdac_packet(12, 0x10, 3)},
          {RDAC | 5, 40000, radio_data()},
          {RDAC | 5, 40000, bytes{0x00}}});
    seed(t, "rdac_identity_answer_225", {},
         {{RDAC | 6, 40001, bytes{0x00}}, {RDAC | 6, 40001, identity_answer()}});
    seed(t, "rdac_radio_data_71", {},
         {{RDAC | 6, 40001, bytes{0x00}},
          {RDAC | 6, 40001, radio_data()},
          {RDAC | 7, 40002, radio_data()}});
    records acknowledgements;
    for (std::size_t length : {29u, 34u, 38u, 30u, 25u}) {
        acknowledgements.push_back({RDAC | 5, 40000, rdac_packet(length, 0x00, 7)});
    }
    seed(t, "rdac_acknowledgements", {},
         acknowledgements + records{{RDAC | 5, 40000, bytes(24, 0)}, {RDAC | 5, 40000, {}}});
    seed(t, "rdac_full_table", {},
         every_host(RDAC, 40000, bytes{0x00}) +
             records{{RDAC | (REPEATER_SLOTS + 1), 40000, radio_data()},
                     {RDAC | REPEATER_SLOTS, 40000, radio_data()}});
    // One repeater on both ports, as it starts up.
    seed(t, "both_ports_start_up", {},
         {{5, 30001, service_request(0x10, 1)},
          {RDAC | 5, 40000, bytes{0x00}},
          {5, 30001, service_request(0x12, 2)},
          {RDAC | 5, 40000, identity_answer()},
          {RDAC | 5, 40000, radio_data()},
          {5, 30001, keep_alive()}});
}

// ---- Link ----

bytes dmrd(std::uint8_t sequence, std::uint32_t source, std::uint32_t destination,
           std::uint8_t flags) {
    const df::Frame f = voice_test::dmrd(sequence, source, destination, flags);
    return {f.begin(), f.end()};
}

void link_seeds() {
    const bytes ack_1234 = text("RPTACK", {0x01, 0x02, 0x03, 0x04});
    seed("link", "login_pong_voice", {1},
         {{0, 0, text("RPTACK", {0x9A, 0x3C, 0x55, 0x01})},
          {0, 0, text("RPTACK", {0x00, 0x04, 0x00, 0x1F})},
          {0, 0, text("RPTACK", {0x00, 0x04, 0x00, 0x1F})},
          {0, 0, text("MSTPONG", {0x00, 0x04, 0x00, 0x1F})},
          {0, 0, dmrd(0, 2621234, 262, 0x80 | df::KIND_VOICE_LC_HEADER)},
          {0, 0, dmrd(1, 2621234, 262, 0x80 | df::KIND_VOICE_A)},
          {0, 0, text("RPTPONG", {0x00, 0x04, 0x00, 0x1F})}});
    // Refusals, strangers, and a peer that goes quiet until it times out.
    seed("link", "refusals_strangers_time_out", {0},
         {{0, 0, text("MSTNAK", {0x00, 0x00, 0x00, 0x01})},
          {0, 0, ack_1234},
          {2, 62031, ack_1234},
          {1, 62030, ack_1234},
          {0, 0, text("RPTNAK", {0x00, 0x00, 0x00, 0x01})},
          {0, 0, ack_1234},
          {3, 39, {}},
          {0, 0, text("RPTACK", {0x05, 0x06, 0x07, 0x08})}});
    // More strangers than the drop log remembers, then a minute later again.
    records flood;
    for (std::uint16_t port = 1; port <= source_drop_log::CAPACITY + 1; ++port) {
        flood.push_back({2, port, text("RPTACK", {0, 0, 0, 1})});
    }
    seed("link", "stranger_flood", {1},
         flood + records{{3, 63, {}},
                         {2, 1, text("RPTACK", {0, 0, 0, 1})},
                         {2, 100, text("RPTACK", {0, 0, 0, 1})}});
}

// ---- Voice from the repeater ----

bytes hytera(std::uint8_t slot_byte, std::uint8_t type, std::uint8_t sequence,
             std::uint8_t call_type, std::uint8_t kind, bool setup_mark) {
    hf::Frame f = voice_test::hytera(slot_byte, type, sequence, call_type, 2621234, 262);
    std::memcpy(f.data(), "ZZZZ", 4);
    f[hf::FRAME_KIND] = kind;
    if (setup_mark) {
        hf::write_word(f, hf::SETUP_MARK, hf::MARK_SET);
    }
    return {f.begin(), f.end()};
}

// A call as the repeater sends it: setup, header, a superframe of voice,
// terminator with the end-of-call kind.
records repeater_call(std::uint8_t slot_byte, std::uint8_t call_type) {
    std::uint8_t sequence = 0;
    records rs = {
        {0, 0, hytera(slot_byte, hf::TYPE_CALL_SETUP, sequence++, call_type, 0x02, true)},
        {0, 0, hytera(slot_byte, hf::TYPE_VOICE_LC_HEADER, sequence++, call_type, 0x01, true)}};
    for (std::uint8_t type : {hf::TYPE_VOICE_A, hf::TYPE_VOICE_B, hf::TYPE_VOICE_C,
                              hf::TYPE_VOICE_D, hf::TYPE_VOICE_E, hf::TYPE_VOICE_F}) {
        rs.push_back({0, 0, hytera(slot_byte, type, sequence++, call_type, 0x01, true)});
    }
    rs.push_back({0, 0, hytera(slot_byte, hf::TYPE_TERMINATOR, sequence, call_type, 0x03, true)});
    return rs;
}

void voice_in_seeds() {
    // Slots 0 and 1 share a key; slot 2 is another peer.
    const bytes peers{0x01, 0x09, 0x02, 0, 0, 0, 0, 0, 0, 0};
    seed("voice_in", "group_call_ts1", peers,
         records{{0, 0, bytes{0x00}}} + repeater_call(hf::SLOT_BYTE_TS1, hf::CALL_GROUP));
    // Slot 0 freed, and taken by a peer with a large ID.
    seed("voice_in", "private_then_group_ts2_peer_change", peers,
         repeater_call(hf::SLOT_BYTE_TS2, hf::CALL_PRIVATE) +
             records{{1, 0x0000, {}}, {1, 0x0019, {}}} +
             repeater_call(hf::SLOT_BYTE_TS2, hf::CALL_GROUP));
    seed("voice_in", "idle_allcall_csbk", peers,
         {{0, 0, hytera(hf::SLOT_BYTE_TS1, hf::TYPE_IDLE, 0, 1, 0x01, false)},
          {0, 0, hytera(hf::SLOT_BYTE_TS1, hf::TYPE_VOICE_A, 1, 2, 0x01, true)},
          {0, 0, hytera(hf::SLOT_BYTE_TS1, hf::TYPE_CSBK, 2, 1, 0x01, false)}});
}

// ---- Voice from the network ----

records network_call(std::uint8_t first_sequence, std::uint8_t flags, std::uint32_t source) {
    std::uint8_t sequence = first_sequence;
    records rs = {{0, 0, dmrd(sequence++, source, 262, flags | df::KIND_VOICE_LC_HEADER)}};
    for (std::uint8_t kind : {df::KIND_VOICE_A, df::KIND_VOICE_B, df::KIND_VOICE_C,
                              df::KIND_VOICE_D, df::KIND_VOICE_E, df::KIND_VOICE_F}) {
        rs.push_back({0, 0, dmrd(sequence++, source, 262, flags | kind)});
    }
    rs.push_back({0, 0, dmrd(sequence, source, 262, flags | df::KIND_TERMINATOR)});
    return rs;
}

bytes with_stream(bytes d, std::uint8_t first_byte) {
    d[df::STREAM_ID] = first_byte;
    return d;
}

void network_voice_seeds() {
    // Firmware A8, address 10.0.0.5, voice port 50000.
    const bytes target{2, 0, 0xC3, 0x50};
    seed("network_voice", "group_call_ts2", target, network_call(0, df::FLAG_TS2, 2621234));
    // The sequence wraps inside the call; a repeated header and a stray
    // terminator are filtered.
    seed("network_voice", "private_call_wrap_repeats", target,
         network_call(251, df::FLAG_PRIVATE, 3112345) +
             records{{0, 0, dmrd(3, 3112345, 262, df::KIND_VOICE_LC_HEADER)},
                     {0, 0, dmrd(4, 3112345, 262, df::KIND_VOICE_LC_HEADER)},
                     {0, 0, dmrd(5, 3112345, 262, df::KIND_TERMINATOR)},
                     {0, 0, dmrd(6, 3112345, 262, df::KIND_TERMINATOR)}});
    // A call cut after its bursts, a stranger's stream refused meanwhile on
    // the busy slot, and 2 s later (op 80) the next call of the same source
    // on another stream: the watchdog ends the first.
    seed("network_voice", "cut_call_busy_slot", target,
         {{0, 0, dmrd(0, 2621234, 262, df::KIND_VOICE_LC_HEADER)},
          {2, 0, dmrd(1, 2621234, 262, df::KIND_VOICE_A)},
          {2, 0, with_stream(dmrd(0, 3112345, 9, df::KIND_VOICE_LC_HEADER), 0x22)},
          {80, 0, with_stream(dmrd(0, 2621234, 262, df::KIND_VOICE_LC_HEADER), 0x11)}});
    // Data bursts, then the target changes to firmware A7 without an address.
    records data;
    for (std::uint8_t kind :
         {df::KIND_CSBK, df::KIND_CSBK, df::KIND_DATA_HEADER, df::KIND_RATE_12, df::KIND_RATE_34}) {
        data.push_back({0, 0, dmrd(0, 2621234, 9, kind)});
    }
    seed("network_voice", "data_and_target_change", target,
         data + records{{1, 0x0101, {}}, {0, 0, dmrd(0, 2621234, 9, df::KIND_CSBK)}});
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    root = argv[1];
    repeater_port_seeds();
    link_seeds();
    voice_in_seeds();
    network_voice_seeds();
    return 0;
}
