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

void write_seed(const std::string &target, const std::string &name, const bytes &input) {
    const std::filesystem::path dir = root / target;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(input.data()),
               static_cast<std::streamsize>(input.size()));
}

bytes text(const char *tag, std::initializer_list<std::uint8_t> rest) {
    bytes d(tag, tag + std::strlen(tag));
    d.insert(d.end(), rest);
    return d;
}

// ---- Control and RDAC ports, one table ----

// Records with this bit in op go to the RDAC port, the others to the control port.
constexpr std::uint8_t RDAC = 0x80;

void control_seeds() {
    bytes in;
    put_record(in, 5, 30001, service_request(0x10, 1));
    put_record(in, 5, 30001, service_request(0x11, 2));
    put_record(in, 5, 30001, service_request(0x12, 3));
    put_record(in, 5, 30001, keep_alive());
    write_seed("repeater_ports", "control_announce_ports_keep_alive", in);

    in.clear();
    put_record(in, 5, 30001, keep_alive());
    put_record(in, 6, 30002, service_request(0x10, 1));
    put_record(in, 5, 40000, service_request(0x11, 2));
    put_record(in, 0, 30003, service_request(0x12, 3));
    put_record(in, 6, 30002, keep_alive());
    write_seed("repeater_ports", "control_two_repeaters_and_any_address", in);

    // One repeater more than the table holds.
    in.clear();
    for (std::uint8_t host = 1; host <= REPEATER_SLOTS + 1; ++host) {
        put_record(in, host, 30001, keep_alive());
    }
    put_record(in, REPEATER_SLOTS + 1, 30001, service_request(0x11, 1));
    write_seed("repeater_ports", "control_full_table", in);
}

void rdac_seeds() {
    // The whole identity query of one repeater, then a greeting once identified.
    bytes in;
    put_record(in, RDAC | 5, 40000, bytes{0x00});
    put_record(in, RDAC | 5, 40000, rdac_packet(12, 0xFD, 0));
    put_record(in, RDAC | 5, 40000, rdac_packet(25, 0x00, 1));
    put_record(in, RDAC | 5, 40000, rdac_packet(25, 0x00, 2));
    put_record(in, RDAC | 5, 40000, identity_answer());
    put_record(in, RDAC | 5, 40000, rdac_packet(12, 0x10, 3));
    put_record(in, RDAC | 5, 40000, radio_data());
    put_record(in, RDAC | 5, 40000, bytes{0x00});
    write_seed("repeater_ports", "rdac_identity_query", in);

    in.clear();
    put_record(in, RDAC | 6, 40001, bytes{0x00});
    put_record(in, RDAC | 6, 40001, identity_answer());
    write_seed("repeater_ports", "rdac_identity_answer_225", in);

    in.clear();
    put_record(in, RDAC | 6, 40001, bytes{0x00});
    put_record(in, RDAC | 6, 40001, radio_data());
    put_record(in, RDAC | 7, 40002, radio_data());
    write_seed("repeater_ports", "rdac_radio_data_71", in);

    in.clear();
    for (std::size_t length : {29u, 34u, 38u, 30u, 25u}) {
        put_record(in, RDAC | 5, 40000, rdac_packet(length, 0x00, 7));
    }
    put_record(in, RDAC | 5, 40000, bytes(24, 0));
    put_record(in, RDAC | 5, 40000, bytes{});
    write_seed("repeater_ports", "rdac_acknowledgements", in);

    in.clear();
    for (std::uint8_t host = 1; host <= REPEATER_SLOTS + 1; ++host) {
        put_record(in, RDAC | host, 40000, bytes{0x00});
    }
    put_record(in, RDAC | (REPEATER_SLOTS + 1), 40000, radio_data());
    put_record(in, RDAC | REPEATER_SLOTS, 40000, radio_data());
    write_seed("repeater_ports", "rdac_full_table", in);

    // One repeater on both ports, as it starts up.
    in.clear();
    put_record(in, 5, 30001, service_request(0x10, 1));
    put_record(in, RDAC | 5, 40000, bytes{0x00});
    put_record(in, 5, 30001, service_request(0x12, 2));
    put_record(in, RDAC | 5, 40000, identity_answer());
    put_record(in, RDAC | 5, 40000, radio_data());
    put_record(in, 5, 30001, keep_alive());
    write_seed("repeater_ports", "both_ports_start_up", in);
}

// ---- Link ----

bytes dmrd(std::uint8_t sequence, std::uint32_t source, std::uint32_t destination,
           std::uint8_t flags) {
    const df::Frame f = voice_test::dmrd(sequence, source, destination, flags);
    return {f.begin(), f.end()};
}

void link_seeds() {
    bytes in{1};
    put_record(in, 0, 0, text("RPTACK", {0x9A, 0x3C, 0x55, 0x01}));
    put_record(in, 0, 0, text("RPTACK", {0x00, 0x04, 0x00, 0x1F}));
    put_record(in, 0, 0, text("RPTACK", {0x00, 0x04, 0x00, 0x1F}));
    put_record(in, 0, 0, text("MSTPONG", {0x00, 0x04, 0x00, 0x1F}));
    put_record(in, 0, 0, dmrd(0, 2621234, 262, 0x80 | df::KIND_VOICE_LC_HEADER));
    put_record(in, 0, 0, dmrd(1, 2621234, 262, 0x80 | df::KIND_VOICE_A));
    put_record(in, 0, 0, text("RPTPONG", {0x00, 0x04, 0x00, 0x1F}));
    write_seed("link", "login_pong_voice", in);

    // Refusals, strangers, and a peer that goes quiet until it times out.
    in = {0};
    put_record(in, 0, 0, text("MSTNAK", {0x00, 0x00, 0x00, 0x01}));
    put_record(in, 0, 0, text("RPTACK", {0x01, 0x02, 0x03, 0x04}));
    put_record(in, 2, 62031, text("RPTACK", {0x01, 0x02, 0x03, 0x04}));
    put_record(in, 1, 62030, text("RPTACK", {0x01, 0x02, 0x03, 0x04}));
    put_record(in, 0, 0, text("RPTNAK", {0x00, 0x00, 0x00, 0x01}));
    put_record(in, 0, 0, text("RPTACK", {0x01, 0x02, 0x03, 0x04}));
    put_record(in, 3, 39, {});
    put_record(in, 0, 0, text("RPTACK", {0x05, 0x06, 0x07, 0x08}));
    write_seed("link", "refusals_strangers_time_out", in);

    // More strangers than the drop log remembers, then a minute later again.
    in = {1};
    for (std::uint16_t port = 1; port <= source_drop_log::CAPACITY + 1; ++port) {
        put_record(in, 2, port, text("RPTACK", {0, 0, 0, 1}));
    }
    put_record(in, 3, 63, {});
    put_record(in, 2, 1, text("RPTACK", {0, 0, 0, 1}));
    put_record(in, 2, 100, text("RPTACK", {0, 0, 0, 1}));
    write_seed("link", "stranger_flood", in);
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
void put_repeater_call(bytes &in, std::uint8_t slot_byte, std::uint8_t call_type) {
    std::uint8_t sequence = 0;
    put_record(in, 0, 0, hytera(slot_byte, hf::TYPE_CALL_SETUP, sequence++, call_type, 0x02, true));
    put_record(in, 0, 0,
               hytera(slot_byte, hf::TYPE_VOICE_LC_HEADER, sequence++, call_type, 0x01, true));
    for (std::uint8_t type : {hf::TYPE_VOICE_A, hf::TYPE_VOICE_B, hf::TYPE_VOICE_C,
                              hf::TYPE_VOICE_D, hf::TYPE_VOICE_E, hf::TYPE_VOICE_F}) {
        put_record(in, 0, 0, hytera(slot_byte, type, sequence++, call_type, 0x01, true));
    }
    put_record(in, 0, 0, hytera(slot_byte, hf::TYPE_TERMINATOR, sequence++, call_type, 0x03, true));
}

void voice_in_seeds() {
    // Slots 0 and 1 share a key; slot 2 is another peer.
    const bytes peers{0x01, 0x09, 0x02, 0, 0, 0, 0, 0, 0, 0};
    bytes in = peers;
    put_record(in, 0, 0, bytes{0x00});
    put_repeater_call(in, hf::SLOT_BYTE_TS1, hf::CALL_GROUP);
    write_seed("voice_in", "group_call_ts1", in);

    in = peers;
    put_repeater_call(in, hf::SLOT_BYTE_TS2, hf::CALL_PRIVATE);
    put_record(in, 1, 0x0000, {}); // slot 0 freed
    put_record(in, 1, 0x0019, {}); // and taken by a peer with a large ID
    put_repeater_call(in, hf::SLOT_BYTE_TS2, hf::CALL_GROUP);
    write_seed("voice_in", "private_then_group_ts2_peer_change", in);

    in = peers;
    put_record(in, 0, 0, hytera(hf::SLOT_BYTE_TS1, hf::TYPE_IDLE, 0, 1, 0x01, false));
    put_record(in, 0, 0, hytera(hf::SLOT_BYTE_TS1, hf::TYPE_VOICE_A, 1, 2, 0x01, true));
    put_record(in, 0, 0, hytera(hf::SLOT_BYTE_TS1, hf::TYPE_CSBK, 2, 1, 0x01, false));
    write_seed("voice_in", "idle_allcall_csbk", in);
}

// ---- Voice from the network ----

void put_network_call(bytes &in, std::uint8_t first_sequence, std::uint8_t flags,
                      std::uint32_t source) {
    std::uint8_t sequence = first_sequence;
    put_record(in, 0, 0, dmrd(sequence++, source, 262, flags | df::KIND_VOICE_LC_HEADER));
    for (std::uint8_t kind : {df::KIND_VOICE_A, df::KIND_VOICE_B, df::KIND_VOICE_C,
                              df::KIND_VOICE_D, df::KIND_VOICE_E, df::KIND_VOICE_F}) {
        put_record(in, 0, 0, dmrd(sequence++, source, 262, flags | kind));
    }
    put_record(in, 0, 0, dmrd(sequence++, source, 262, flags | df::KIND_TERMINATOR));
}

void network_voice_seeds() {
    // Firmware A8, address 10.0.0.5, voice port 50000.
    const bytes target{2, 0, 0xC3, 0x50};
    bytes in = target;
    put_network_call(in, 0, df::FLAG_TS2, 2621234);
    write_seed("network_voice", "group_call_ts2", in);

    // The sequence wraps inside the call; a repeated header and a stray
    // terminator are filtered.
    in = target;
    put_network_call(in, 251, df::FLAG_PRIVATE, 3112345);
    put_record(in, 0, 0, dmrd(3, 3112345, 262, df::KIND_VOICE_LC_HEADER));
    put_record(in, 0, 0, dmrd(4, 3112345, 262, df::KIND_VOICE_LC_HEADER));
    put_record(in, 0, 0, dmrd(5, 3112345, 262, df::KIND_TERMINATOR));
    put_record(in, 0, 0, dmrd(6, 3112345, 262, df::KIND_TERMINATOR));
    write_seed("network_voice", "private_call_wrap_repeats", in);

    // A call cut after its bursts, a stranger's stream refused meanwhile on
    // the busy slot, and 2 s later (op 80) the next call of the same source
    // on another stream: the watchdog ends the first.
    in = target;
    put_record(in, 0, 0, dmrd(0, 2621234, 262, df::KIND_VOICE_LC_HEADER));
    put_record(in, 2, 0, dmrd(1, 2621234, 262, df::KIND_VOICE_A));
    bytes stranger = dmrd(0, 3112345, 9, df::KIND_VOICE_LC_HEADER);
    stranger[df::STREAM_ID] = 0x22;
    put_record(in, 2, 0, stranger);
    bytes next = dmrd(0, 2621234, 262, df::KIND_VOICE_LC_HEADER);
    next[df::STREAM_ID] = 0x11;
    put_record(in, 80, 0, next);
    write_seed("network_voice", "cut_call_busy_slot", in);

    // Data bursts, then the target changes to firmware A7 without an address.
    in = target;
    for (std::uint8_t kind :
         {df::KIND_CSBK, df::KIND_CSBK, df::KIND_DATA_HEADER, df::KIND_RATE_12, df::KIND_RATE_34}) {
        put_record(in, 0, 0, dmrd(0, 2621234, 9, kind));
    }
    put_record(in, 1, 0x0101, {});
    put_record(in, 0, 0, dmrd(0, 2621234, 9, df::KIND_CSBK));
    write_seed("network_voice", "data_and_target_change", in);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    root = argv[1];
    control_seeds();
    rdac_seeds();
    link_seeds();
    voice_in_seeds();
    network_voice_seeds();
    return 0;
}
