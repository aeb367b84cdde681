// Simulated network peer: plays the gateway end of the link that ferrule logs
// in to. It answers RPTL with RPTACK carrying a salt, RPTK and RPTC with
// RPTACK carrying the repeater ID from the RPTL, and RPTPING with a pong, and
// prints every datagram it receives in readable form, one line each.
//
// Its messages are built here from the byte layouts alone, so that a fault in
// the daemon's own builders cannot hide behind the same fault on this side.
//
//   ferrule_sim_peer --port PORT [--address A] [--duration S]
//                    [--silent-after S] [--salt N] [--pong RPTPONG|MSTPONG]
//                    [--call CALL]... [--headers N] [--terminators N]
//                    [--burst-ms N] [--call-gap-ms N] [--repeat N] [--calls-on-signal]
//                    [--cut-first] [--frames]
//
// SIGUSR1 toggles answering; --silent-after stops answering S seconds after
// the start. Received datagrams are printed also while silent.
//
// A network call (--call, as the simulated repeater takes it) is sent as DMRD
// frames once the login is complete: the voice LC header --headers times (3),
// bursts A to F for each superframe, the terminator --terminators times (2),
// as a network does. --calls-on-signal holds the calls until SIGUSR2.
// --cut-first sends the first call without its terminators, as a network
// that lost them.

#include "sim_common.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> silent_toggled{false};

void on_usr1(int) {
    silent_toggled.store(!silent_toggled.load());
}

struct options {
    const char *address = "127.0.0.1";
    int port = 62031;
    double duration = 60;
    double silent_after = -1;
    std::uint32_t salt = 0x00000001;
    const char *pong = "MSTPONG";
    std::vector<sim::call_plan> calls;
    int headers = 3;
    int terminators = 2;
    int burst_ms = 60;
    int call_gap_ms = 500;
    bool calls_on_signal = false;
    bool cut_first = false;
    bool frames = false;
    int repeat = 1;
};

bool parse(int argc, char **argv, options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--calls-on-signal") {
            o.calls_on_signal = true;
            continue;
        }
        if (a == "--frames") {
            o.frames = true;
            continue;
        }
        if (a == "--cut-first") {
            o.cut_first = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char *v = argv[++i];
        if (a == "--address") {
            o.address = v;
        } else if (a == "--port") {
            o.port = std::atoi(v);
        } else if (a == "--duration") {
            o.duration = std::atof(v);
        } else if (a == "--silent-after") {
            o.silent_after = std::atof(v);
        } else if (a == "--salt") {
            o.salt = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 0));
        } else if (a == "--pong") {
            o.pong = v;
        } else if (a == "--call") {
            sim::call_plan c;
            if (!sim::parse_call(v, c)) {
                return false;
            }
            o.calls.push_back(c);
        } else if (a == "--headers") {
            o.headers = std::atoi(v);
        } else if (a == "--terminators") {
            o.terminators = std::atoi(v);
        } else if (a == "--burst-ms") {
            o.burst_ms = std::atoi(v);
        } else if (a == "--call-gap-ms") {
            o.call_gap_ms = std::atoi(v);
        } else if (a == "--repeat") {
            o.repeat = std::atoi(v);
        } else {
            return false;
        }
    }
    return o.port > 0 && o.port < 65536 && std::strlen(o.pong) == 7 && o.headers >= 0 &&
           o.terminators >= 0 && o.burst_ms >= 0 && o.call_gap_ms >= 0;
}

std::uint32_t be32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

bool has_tag(const unsigned char *d, std::size_t n, const char *tag) {
    std::size_t t = std::strlen(tag);
    return n >= t && std::memcmp(d, tag, t) == 0;
}

// The text of an RPTC field, exactly as sent (padding kept, in brackets).
std::string field(const unsigned char *d, std::size_t offset, std::size_t width) {
    return "[" + std::string(reinterpret_cast<const char *>(d) + offset, width) + "]";
}

void print_hex(const unsigned char *d, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::printf("%02X", d[i]);
    }
}

void print_datagram(const unsigned char *d, std::size_t n, const sockaddr_in &from,
                    long long received_at, bool frames) {
    if (frames && has_tag(d, n, "DMRD")) {
        sim::print_frame("in", received_at, d, n);
        return;
    }
    char who[16] = {};
    inet_ntop(AF_INET, &from.sin_addr, who, sizeof who);
    std::printf("recv %s:%u len=%zu ", who, static_cast<unsigned>(ntohs(from.sin_port)), n);
    if (has_tag(d, n, "RPTL") && n == 8) {
        std::printf("RPTL id=%u\n", be32(d + 4));
    } else if (has_tag(d, n, "RPTK") && n == 40) {
        std::printf("RPTK ack=%u digest=", be32(d + 4));
        print_hex(d + 8, 32);
        std::printf("\n");
    } else if (has_tag(d, n, "RPTCL") && n == 9) {
        std::printf("RPTCL id=%u\n", be32(d + 5));
    } else if (has_tag(d, n, "RPTC") && n == 302) {
        std::printf("RPTC id=%u callsign=%s rx=%s tx=%s power=%s cc=%s lat=%s lon=%s height=%s "
                    "location=%s description=%s slots=%s url=%s software=%s package=%s\n",
                    be32(d + 4), field(d, 8, 8).c_str(), field(d, 16, 9).c_str(),
                    field(d, 25, 9).c_str(), field(d, 34, 2).c_str(), field(d, 36, 2).c_str(),
                    field(d, 38, 8).c_str(), field(d, 46, 9).c_str(), field(d, 55, 3).c_str(),
                    field(d, 58, 20).c_str(), field(d, 78, 19).c_str(), field(d, 97, 1).c_str(),
                    field(d, 98, 124).c_str(), field(d, 222, 40).c_str(),
                    field(d, 262, 40).c_str());
    } else if (has_tag(d, n, "RPTPING") && n == 11) {
        std::printf("RPTPING id=%u\n", be32(d + 7));
    } else if (has_tag(d, n, "DMRD")) {
        std::printf("DMRD ");
        print_hex(d, n);
        std::printf("\n");
    } else {
        std::printf("unknown ");
        print_hex(d, n);
        std::printf("\n");
    }
}

void ack(unsigned char (&out)[11], std::uint32_t value) {
    std::memcpy(out, "RPTACK", 6);
    out[6] = static_cast<unsigned char>(value >> 24);
    out[7] = static_cast<unsigned char>(value >> 16);
    out[8] = static_cast<unsigned char>(value >> 8);
    out[9] = static_cast<unsigned char>(value);
}

// A network call as the frames of a DMRD stream, built from the frame layout:
// "DMRD", sequence, source and destination (3 bytes each, most significant
// first), repeater ID, flags, stream ID, the 33-byte burst, BER and RSSI.
constexpr std::size_t DMRD_LENGTH = 55;
using dmrd = std::array<std::uint8_t, DMRD_LENGTH>;

void put_be(dmrd &f, std::size_t at, std::uint32_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        f[at + i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
    }
}

std::vector<dmrd> call_frames(const sim::call_plan &c, const options &o, std::uint32_t repeater,
                              std::uint32_t stream, bool cut) {
    // Flags: bit 7 TS2, bit 6 private call, then the frame type and data type:
    // 0x21 voice LC header, 0x22 terminator, 0x10 burst A, 0x01..0x05 B to F.
    std::uint8_t base = static_cast<std::uint8_t>((c.slot == 2 ? 0x80 : 0) | (c.group ? 0 : 0x40));
    std::vector<std::uint8_t> kinds;
    kinds.insert(kinds.end(), static_cast<std::size_t>(o.headers), 0x21);
    for (int s = 0; s < c.superframes; ++s) {
        for (std::uint8_t k : {0x10, 0x01, 0x02, 0x03, 0x04, 0x05}) {
            kinds.push_back(k);
        }
    }
    kinds.insert(kinds.end(), static_cast<std::size_t>(cut ? 0 : o.terminators), 0x22);
    std::vector<dmrd> frames;
    std::uint8_t sequence = 0;
    for (std::uint8_t kind : kinds) {
        dmrd f{};
        std::memcpy(f.data(), "DMRD", 4);
        f[4] = sequence++;
        put_be(f, 5, c.source, 3);
        put_be(f, 8, c.destination, 3);
        put_be(f, 11, repeater, 4);
        f[15] = static_cast<std::uint8_t>(base | kind);
        put_be(f, 16, stream, 4);
        for (std::size_t i = 0; i < 33; ++i) {
            f[20 + i] = static_cast<std::uint8_t>(frames.size() * 11 + i);
        }
        frames.push_back(f);
    }
    return frames;
}

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s --port PORT [--address A] [--duration S] "
                     "[--silent-after S] [--salt N] [--pong RPTPONG|MSTPONG] [--call CALL]... "
                     "[--headers N] [--terminators N] [--burst-ms N] [--call-gap-ms N] "
                     "[--repeat N] [--calls-on-signal] [--cut-first] [--frames]\n",
                     argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGUSR1, on_usr1);
    o.calls = sim::repeated(o.calls, o.repeat);
    sim::arm_call_trigger(o.calls_on_signal);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(o.port));
    if (fd < 0 || inet_pton(AF_INET, o.address, &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "cannot bind %s:%d: %s\n", o.address, o.port, std::strerror(errno));
        return 1;
    }
    std::printf("peer listening on %s:%d\n", o.address, o.port);

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(clock::now() - start).count(); };
    std::uint32_t repeater_id = 0;
    bool was_silent = false;
    // The gateway's link address, known once it has sent its RPTC.
    sockaddr_in gateway{};
    bool logged_in = false;
    double next_frame_at = 0;
    std::size_t call = 0, frame = 0;
    std::vector<dmrd> frames;
    unsigned long frames_sent = 0, frames_received = 0;
    sim::deferred_frame_line sent_line;
    while (elapsed() < o.duration) {
        if (logged_in && sim::calls_released.load() && call < o.calls.size() &&
            elapsed() >= next_frame_at) {
            if (frame == 0) {
                frames = call_frames(o.calls[call], o, repeater_id,
                                     0x10000000U + static_cast<std::uint32_t>(call),
                                     o.cut_first && call == 0);
                std::printf("call %zu start: %zu frames\n", call + 1, frames.size());
            }
            sent_line.flush();
            const long long stamp = sim::now_ns();
            sendto(fd, frames[frame].data(), frames[frame].size(), 0,
                   reinterpret_cast<sockaddr *>(&gateway), sizeof gateway);
            ++frames_sent;
            if (o.frames) {
                sent_line.hold(stamp, frames[frame].data(), frames[frame].size());
            }
            next_frame_at = elapsed() + o.burst_ms / 1000.0;
            if (++frame == frames.size()) {
                std::printf("call %zu end\n", call + 1);
                frame = 0;
                ++call;
                next_frame_at = elapsed() + o.call_gap_ms / 1000.0;
            }
        }
        // A short wait keeps the duration, the silence deadline and the
        // frame times honest.
        const bool sending = logged_in && sim::calls_released.load() && call < o.calls.size();
        if (!sending) {
            sent_line.flush();
        }
        // Waiting in whole milliseconds would leave the last fraction of one
        // to a busy loop, which takes the processor from the gateway at the
        // very moment it is sent a frame.
        const double wait_s = sending ? std::max(0.0, next_frame_at - elapsed()) : 0.1;
        const auto wait_ns = static_cast<long long>(wait_s * 1e9);
        const timespec wait{static_cast<time_t>(wait_ns / 1000000000LL),
                            static_cast<long>(wait_ns % 1000000000LL)};
        pollfd p{fd, POLLIN, 0};
        if (ppoll(&p, 1, &wait, nullptr) <= 0) {
            continue;
        }
        unsigned char d[1024];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, d, sizeof d, 0, reinterpret_cast<sockaddr *>(&from), &len);
        const long long received_at = sim::now_ns();
        bool silent = silent_toggled.load() != (o.silent_after >= 0 && elapsed() >= o.silent_after);
        if (silent != was_silent) {
            std::printf("%s\n", silent ? "silent: answering stopped" : "answering again");
            was_silent = silent;
        }
        if (n < 0) {
            continue;
        }
        const auto size = static_cast<std::size_t>(n);
        print_datagram(d, size, from, received_at, o.frames);
        if (has_tag(d, size, "DMRD")) {
            ++frames_received;
        }
        if (silent) {
            continue;
        }
        unsigned char reply[11];
        std::size_t reply_length = 10;
        if (has_tag(d, size, "RPTL") && size == 8) {
            repeater_id = be32(d + 4);
            ack(reply, o.salt);
        } else if ((has_tag(d, size, "RPTK") && size == 40) ||
                   (has_tag(d, size, "RPTC") && size == 302)) {
            ack(reply, repeater_id);
            if (has_tag(d, size, "RPTC")) {
                gateway = from;
                if (!logged_in) {
                    logged_in = true;
                    // The gateway takes a moment to record this peer after the RPTC.
                    next_frame_at = elapsed() + 1.0;
                }
            }
        } else if (has_tag(d, size, "RPTPING") && size == 11) {
            // The pong names the repeater it answers, as the ping did.
            std::memcpy(reply, o.pong, 7);
            std::memcpy(reply + 7, d + 7, 4);
            reply_length = 11;
        } else {
            reply_length = 0;
        }
        if (reply_length > 0) {
            sendto(fd, reply, reply_length, 0, reinterpret_cast<sockaddr *>(&from), len);
            std::printf("send %.*s %u\n", reply_length == 11 ? 7 : 6,
                        reinterpret_cast<const char *>(reply), be32(reply + reply_length - 4));
        }
    }
    sent_line.flush();
    std::printf("summary: DMRD frames sent %lu, DMRD frames received %lu\n", frames_sent,
                frames_received);
    std::printf("peer done after %.0f s\n", elapsed());
    return 0;
}
