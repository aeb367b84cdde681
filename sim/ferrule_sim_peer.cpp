// Simulated network peer: plays the far end of the link that ferrule talks to,
// in one of three roles (--mode):
//
//   login    the DMRGateway of before August 2020: answers RPTL with RPTACK
//            carrying a salt, RPTK and RPTC with RPTACK carrying the repeater
//            ID from the RPTL, and RPTPING with a pong; checks nothing.
//   gateway  a current DMRGateway: no login at all; sends DMRP every 10 s to
//            the link address (--link-port) and exchanges DMRD. With
//            --need-dmrc it stays mute until a DMRC configuration arrived.
//   master   a master that checks the login: a random salt in the RPTACK to
//            RPTL, RPTK must carry the RPTL's ID and SHA-256(salt || password);
//            any failure is answered with MSTNAK. Several repeaters may log
//            in, each from its own address and port with its own ID (a new
//            RPTL of an ID logged in elsewhere replaces that login). A
//            repeater silent for 15 s is dropped; DMRD counts only from a
//            logged-in ID at its own address; MSTCL goes to every logged-in
//            repeater when the peer stops. Network calls go to the repeater
//            --call-to names, else to the first that logged in.
//
// It prints every datagram it receives in readable form, one line each.
// Its messages are built here from the byte layouts alone, so that a fault in
// the daemon's own builders cannot hide behind the same fault on this side.
//
//   ferrule_sim_peer --port PORT [--address A] [--duration S]
//                    [--mode login|gateway|master] [--password P] [--need-dmrc]
//                    [--link-port N] [--link-address A] [--call-to ID]
//                    [--silent-after S] [--salt N] [--pong RPTPONG|MSTPONG]
//                    [--call CALL]... [--headers N] [--terminators N]
//                    [--burst-ms N] [--call-gap-ms N] [--repeat N] [--calls-on-signal]
//                    [--cut-first] [--frames]
//                    [--delay-ms N] [--loss P] [--reorder P] [--duplicate P] [--seed N]
//
// SIGUSR1 toggles answering; --silent-after stops answering S seconds after
// the start. Received datagrams are printed also while silent. SIGTERM and
// SIGINT end the run as the duration does.
//
// A network call (--call, as the simulated repeater takes it) is sent as DMRD
// frames once the link is up (logged in, or in gateway mode once the link
// address is known): the voice LC header --headers times (3), bursts A to F
// for each superframe, the terminator --terminators times (2), as a network
// does. --calls-on-signal holds the calls until SIGUSR2. --cut-first sends
// the first call without its terminators, as a network that lost them.
//
// The internet between a master and the daemon: --delay-ms delays each frame
// of a call by a random time up to N ms; --loss and --duplicate lose or send
// twice that share (in percent) of its voice bursts, --reorder holds that
// share of all its frames back by two burst times, so they arrive after the
// next; all drawn from --seed. At the end of each call the peer says what it
// did: "impaired call N: L lost (sequence numbers), D duplicated, R held back".

#include "sim_common.h"
#include "sim_voice.h"

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
#include <openssl/evp.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> silent_toggled{false};
std::atomic<bool> stop_requested{false};

void on_usr1(int) {
    silent_toggled.store(!silent_toggled.load());
}
void on_stop(int) {
    stop_requested.store(true);
}

enum class peer_mode { login, gateway, master };

struct options {
    const char *address = "127.0.0.1";
    int port = 62031;
    double duration = 60;
    double silent_after = -1;
    std::uint32_t salt = 0x00000001;
    const char *pong = "MSTPONG";
    std::vector<sim::call_plan> calls;
    sim::voice_extras voice;
    int headers = 3;
    int terminators = 2;
    int burst_ms = 60;
    int call_gap_ms = 500;
    bool calls_on_signal = false;
    bool cut_first = false;
    bool frames = false;
    int repeat = 1;
    peer_mode mode = peer_mode::login;
    std::string password;
    bool need_dmrc = false;
    const char *link_address = "127.0.0.1";
    int link_port = 0; // gateway mode: where DMRP and DMRD go before anything arrived
    bool salt_given = false;
    std::uint32_t call_to = 0;          // master mode: the repeater the calls go to; 0 the first
    int mirror_to = 0, mirror_port = 0; // the latency benchmark's relay, see sim::frame_mirror
    int delay_ms = 0;
    double loss = 0, reorder = 0, duplicate = 0; // percent
    unsigned seed = 1;
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
        if (a == "--need-dmrc") {
            o.need_dmrc = true;
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
            o.salt_given = true;
        } else if (a == "--mode") {
            const std::string m = v;
            if (m != "login" && m != "gateway" && m != "master") {
                return false;
            }
            o.mode = m == "login"     ? peer_mode::login
                     : m == "gateway" ? peer_mode::gateway
                                      : peer_mode::master;
        } else if (a == "--password") {
            o.password = v;
        } else if (a == "--link-port") {
            o.link_port = std::atoi(v);
        } else if (a == "--link-address") {
            o.link_address = v;
        } else if (a == "--call-to") {
            o.call_to = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
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
        } else if (a == "--delay-ms") {
            o.delay_ms = std::atoi(v);
        } else if (a == "--loss") {
            o.loss = std::atof(v);
        } else if (a == "--reorder") {
            o.reorder = std::atof(v);
        } else if (a == "--duplicate") {
            o.duplicate = std::atof(v);
        } else if (a == "--seed") {
            o.seed = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
        } else if (a == "--mirror-to") {
            o.mirror_to = std::atoi(v);
        } else if (a == "--mirror-port") {
            o.mirror_port = std::atoi(v);
        } else if (!sim::parse_voice_option(a, v, o.voice)) {
            return false;
        }
    }
    return o.port > 0 && o.port < 65536 && std::strlen(o.pong) == 7 && o.headers >= 0 &&
           o.terminators >= 0 && o.burst_ms >= 0 && o.call_gap_ms >= 0 && o.delay_ms >= 0;
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
    } else if (has_tag(d, n, "RPTO") && n >= 8) {
        std::printf("RPTO id=%u options=[%.*s]\n", be32(d + 4), static_cast<int>(n - 8),
                    reinterpret_cast<const char *>(d + 8));
    } else if (has_tag(d, n, "DMRC") && n == 119) {
        // "DMRC", ID, then "%-8.8s%09u%09u%02u%02u%c%-40.40s%-40.40s".
        std::printf("DMRC id=%u callsign=%s rx=%s tx=%s power=%s cc=%s slots=%s software=%s "
                    "package=%s\n",
                    be32(d + 4), field(d, 8, 8).c_str(), field(d, 16, 9).c_str(),
                    field(d, 25, 9).c_str(), field(d, 34, 2).c_str(), field(d, 36, 2).c_str(),
                    field(d, 38, 1).c_str(), field(d, 39, 40).c_str(), field(d, 79, 40).c_str());
    } else if ((has_tag(d, n, "DMRA") && n == 15) || (has_tag(d, n, "DMRG") && n == 14)) {
        // A talker alias block or a position: source ID (3 bytes), for the
        // alias the block number, then the 7 bytes of the LC.
        std::printf("%.4s id=%u", reinterpret_cast<const char *>(d),
                    static_cast<unsigned>(d[4] << 16 | d[5] << 8 | d[6]));
        if (n == 15) {
            std::printf(" block=%u", d[7]);
        }
        std::printf(" data=");
        print_hex(d + n - 7, 7);
        std::printf("\n");
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
    const std::vector<sim::lc_bytes> lcs =
        sim::embedded_lcs(o.voice, c.group, c.destination, c.source);
    int burst = -1;
    for (std::uint8_t kind : kinds) {
        const bool voice = kind != 0x21 && kind != 0x22;
        burst += voice ? 1 : 0;
        if (voice && burst == o.voice.drop_burst) {
            ++sequence; // left out: the next frame's number shows the gap
            continue;
        }
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
        if (voice && o.voice.on) {
            const auto b = sim::voice_burst(o.voice, lcs, burst);
            std::copy(b.begin(), b.end(), f.begin() + 20);
        }
        frames.push_back(f);
    }
    return frames;
}

// The frames of the calls on their way over a bad link: queued with the time
// each is due, sent when it is.
class bad_link {
  public:
    explicit bad_link(const options &o) : o_(o), draw_(o.seed) {}

    bool on() const { return o_.delay_ms > 0 || o_.loss > 0 || o_.reorder > 0 || o_.duplicate > 0; }

    void take(const dmrd &f, long long now_ns) {
        const std::uint8_t kind = f[15] & 0x3F;
        const bool burst = kind == 0x10 || (kind >= 0x01 && kind <= 0x05);
        if (burst && chance(o_.loss)) {
            lost_.push_back(f[4]);
            return;
        }
        queue(f, now_ns, chance(o_.reorder));
        if (burst && chance(o_.duplicate)) {
            ++duplicated_;
            queue(f, now_ns, false);
        }
    }

    // Nanoseconds until the next frame is due; -1 when none waits.
    long long wait_ns(long long now_ns) const {
        if (pending_.empty()) {
            return -1;
        }
        const auto next = std::min_element(pending_.begin(), pending_.end(), earlier);
        return std::max(0LL, next->due_ns - now_ns);
    }

    template <class Send> void send_due(long long now_ns, Send &&send) {
        std::stable_sort(pending_.begin(), pending_.end(), earlier);
        std::size_t n = 0;
        while (n < pending_.size() && pending_[n].due_ns <= now_ns) {
            send(pending_[n].frame);
            ++n;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    }

    void report(std::size_t call) {
        std::printf("impaired call %zu: %zu lost (", call, lost_.size());
        for (std::size_t i = 0; i < lost_.size(); ++i) {
            std::printf(i == 0 ? "%u" : " %u", static_cast<unsigned>(lost_[i]));
        }
        std::printf("), %u duplicated, %u held back\n", duplicated_, held_back_);
        lost_.clear();
        duplicated_ = held_back_ = 0;
    }

  private:
    struct pending {
        long long due_ns;
        dmrd frame;
    };
    static bool earlier(const pending &a, const pending &b) { return a.due_ns < b.due_ns; }

    bool chance(double percent) {
        return percent > 0 && std::uniform_real_distribution<double>(0, 100)(draw_) < percent;
    }

    void queue(const dmrd &f, long long now_ns, bool hold_back) {
        long long delay =
            o_.delay_ms > 0 ? std::uniform_int_distribution<long long>(0, o_.delay_ms)(draw_) : 0;
        if (hold_back) {
            ++held_back_;
            delay += 2LL * o_.burst_ms;
        }
        pending_.push_back({now_ns + delay * 1000000LL, f});
    }

    const options &o_;
    std::mt19937 draw_;
    std::vector<pending> pending_;
    std::vector<std::uint8_t> lost_;
    unsigned duplicated_ = 0, held_back_ = 0;
};

bool same_address(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

void put_id(unsigned char *at, std::uint32_t v) {
    at[0] = static_cast<unsigned char>(v >> 24);
    at[1] = static_cast<unsigned char>(v >> 16);
    at[2] = static_cast<unsigned char>(v >> 8);
    at[3] = static_cast<unsigned char>(v);
}

// SHA-256 of the salt, most significant byte first as the RPTACK carried it,
// followed by the password.
std::array<unsigned char, 32> login_key(std::uint32_t salt, const std::string &password) {
    std::vector<unsigned char> input(4);
    put_id(input.data(), salt);
    input.insert(input.end(), password.begin(), password.end());
    std::array<unsigned char, 32> key{};
    unsigned int length = 0;
    EVP_Digest(input.data(), input.size(), key.data(), &length, EVP_sha256(), nullptr);
    return key;
}

// The master's record of one repeater, found by the address and port it
// sends from.
struct master_session {
    enum { none, challenged, configuring, logged_in } state = none;
    std::uint32_t id = 0;
    std::uint32_t salt = 0;
    sockaddr_in from{};
    double heard_at = 0;
};

std::string endpoint_text(const sockaddr_in &a) {
    char who[16] = {};
    inet_ntop(AF_INET, &a.sin_addr, who, sizeof who);
    return std::string(who) + ":" + std::to_string(ntohs(a.sin_port));
}

// Every repeater the master knows, at most one session per address and port
// and one login per ID.
struct master_sessions {
    std::vector<master_session> all;

    master_session *at(const sockaddr_in &from) {
        for (master_session &m : all) {
            if (same_address(m.from, from)) {
                return &m;
            }
        }
        return nullptr;
    }
    master_session &open(const sockaddr_in &from) {
        if (master_session *m = at(from)) {
            return *m;
        }
        all.push_back({});
        all.back().from = from;
        return all.back();
    }
    // A new login of `id` ends its login from any other address.
    void forget_other_logins(std::uint32_t id, const sockaddr_in &from) {
        for (master_session &m : all) {
            if (m.state != master_session::none && m.id == id && !same_address(m.from, from)) {
                std::printf("master: id=%u logs in again from %s, its login from %s dropped\n", id,
                            endpoint_text(from).c_str(), endpoint_text(m.from).c_str());
                m.state = master_session::none;
            }
        }
    }
    const master_session *logged_in(std::uint32_t id) const {
        for (const master_session &m : all) {
            if (m.state == master_session::logged_in && (id == 0 || m.id == id)) {
                return &m;
            }
        }
        return nullptr;
    }
};

constexpr double MASTER_SILENCE_LIMIT = 15;
constexpr double GATEWAY_PING_INTERVAL = 10;

struct reply {
    unsigned char bytes[16];
    std::size_t length = 0;
    void tagged(const char *tag, std::uint32_t value) {
        const std::size_t n = std::strlen(tag);
        std::memcpy(bytes, tag, n);
        put_id(bytes + n, value);
        length = n + 4;
    }
};

// The master's answer to one datagram from `from`. DMRD is judged by the
// caller.
reply master_answer(const unsigned char *d, std::size_t n, const sockaddr_in &from,
                    const options &o, master_sessions &sessions, std::mt19937 &draw, double now) {
    reply r;
    if (has_tag(d, n, "RPTL") && n == 8) {
        const auto salt = o.salt_given ? o.salt : static_cast<std::uint32_t>(draw());
        sessions.forget_other_logins(be32(d + 4), from);
        sessions.open(from) = {master_session::challenged, be32(d + 4), salt, from, now};
        std::printf("master: login request from id=%u at %.3f s from %s\n", be32(d + 4), now,
                    endpoint_text(from).c_str());
        r.tagged("RPTACK", salt);
        return r;
    }
    master_session none;
    master_session *found = sessions.at(from);
    master_session &m = found != nullptr ? *found : none;
    if (has_tag(d, n, "RPTK") && n == 40) {
        const std::array<unsigned char, 32> want = login_key(m.salt, o.password);
        if (m.state == master_session::challenged && be32(d + 4) == m.id &&
            std::memcmp(d + 8, want.data(), want.size()) == 0) {
            m.state = master_session::configuring;
            m.heard_at = now;
            r.tagged("RPTACK", m.id);
        } else {
            std::printf("master: key refused for id=%u at %.3f s\n", be32(d + 4), now);
            m.state = master_session::none;
            r.tagged("MSTNAK", be32(d + 4));
        }
    } else if (has_tag(d, n, "RPTCL") && n == 9) {
        if (m.state == master_session::logged_in && be32(d + 5) == m.id) {
            std::printf("master: repeater %u closed its link\n", m.id);
            m.state = master_session::none;
        }
    } else if (has_tag(d, n, "RPTC") && n == 302) {
        if (m.state == master_session::configuring && be32(d + 4) == m.id) {
            m.state = master_session::logged_in;
            m.heard_at = now;
            std::printf("master: logged in id=%u from %s\n", m.id, endpoint_text(from).c_str());
            r.tagged("RPTACK", m.id);
        } else {
            r.tagged("MSTNAK", be32(d + 4));
        }
    } else if (has_tag(d, n, "RPTO") && n >= 8) {
        r.tagged(m.state == master_session::logged_in && be32(d + 4) == m.id ? "RPTACK" : "MSTNAK",
                 be32(d + 4));
    } else if (has_tag(d, n, "RPTPING") && n == 11) {
        if (m.state == master_session::logged_in && be32(d + 7) == m.id) {
            m.heard_at = now;
            r.tagged(o.pong, m.id);
        } else {
            r.tagged("MSTNAK", be32(d + 7));
        }
    }
    return r;
}

// The old DMRGateway's answers: everything acknowledged, nothing checked.
reply login_answer(const unsigned char *d, std::size_t n, const options &o,
                   std::uint32_t &repeater_id, bool &configured) {
    reply r;
    if (has_tag(d, n, "RPTL") && n == 8) {
        repeater_id = be32(d + 4);
        r.tagged("RPTACK", o.salt);
    } else if ((has_tag(d, n, "RPTK") && n == 40) || (has_tag(d, n, "RPTC") && n == 302)) {
        r.tagged("RPTACK", repeater_id);
        configured = has_tag(d, n, "RPTC");
    } else if (has_tag(d, n, "RPTPING") && n == 11) {
        // The pong names the repeater it answers, as the ping did.
        r.tagged(o.pong, be32(d + 7));
    }
    return r;
}

void send_reply(int fd, const reply &r, const sockaddr_in &to) {
    if (r.length == 0) {
        return;
    }
    sendto(fd, r.bytes, r.length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    const std::size_t tag = r.length - 4;
    std::printf("send %.*s %u\n", static_cast<int>(tag), reinterpret_cast<const char *>(r.bytes),
                be32(r.bytes + tag));
}

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s --port PORT [--address A] [--duration S] "
                     "[--mode login|gateway|master] [--password P] [--need-dmrc] "
                     "[--link-port N] [--link-address A] [--call-to ID] "
                     "[--silent-after S] [--salt N] [--pong RPTPONG|MSTPONG] [--call CALL]... "
                     "[--headers N] [--terminators N] [--burst-ms N] [--call-gap-ms N] "
                     "[--repeat N] [--calls-on-signal] [--cut-first] [--frames] "
                     "[--mirror-to PORT] [--mirror-port PORT] [--delay-ms N] [--loss P] "
                     "[--reorder P] [--duplicate P] [--seed N]\n%s",
                     argv[0], sim::VOICE_OPTIONS_HELP);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGUSR1, on_usr1);
    std::signal(SIGTERM, on_stop);
    std::signal(SIGINT, on_stop);
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
    sim::frame_mirror mirror;
    if (!mirror.open(o.mirror_to, o.mirror_port)) {
        std::fprintf(stderr, "cannot open the mirror: %s\n", std::strerror(errno));
        return 1;
    }

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(clock::now() - start).count(); };
    std::uint32_t repeater_id = 0;
    bool was_silent = false;
    // The gateway's link address: known once it has logged in, or in gateway
    // mode from --link-port or its first datagram.
    sockaddr_in gateway{};
    bool gateway_known = false;
    if (o.mode == peer_mode::gateway && o.link_port > 0) {
        gateway.sin_family = AF_INET;
        gateway.sin_port = htons(static_cast<std::uint16_t>(o.link_port));
        gateway_known = inet_pton(AF_INET, o.link_address, &gateway.sin_addr) == 1;
    }
    bool logged_in = false;
    bool dmrc_seen = false;
    double next_dmrp_at = 0;
    double next_frame_at = 0;
    master_sessions sessions;
    // Master mode: the calls follow the repeater they go to as it logs in,
    // drops out or logs in again.
    auto follow_call_target = [&] {
        const master_session *target = sessions.logged_in(o.call_to);
        if (target != nullptr && (!logged_in || !same_address(target->from, gateway))) {
            repeater_id = target->id;
            gateway = target->from;
            // The gateway takes a moment to record this peer after the RPTC.
            next_frame_at = elapsed() + 1.0;
        }
        logged_in = target != nullptr;
    };
    std::mt19937 draw(std::random_device{}());
    std::size_t call = 0, frame = 0;
    std::vector<dmrd> frames;
    unsigned long frames_sent = 0, frames_received = 0;
    sim::deferred_frame_line sent_line;
    bad_link internet(o);
    // Stamped as it leaves, so the printed time is when the daemon could see it.
    auto send_frame = [&](const dmrd &f) {
        const long long stamp = sim::now_ns();
        sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&gateway), sizeof gateway);
        ++frames_sent;
        if (o.frames) {
            sent_line.hold(stamp, f.data(), f.size());
        }
    };
    while (elapsed() < o.duration && !stop_requested.load()) {
        const bool silent_now =
            silent_toggled.load() != (o.silent_after >= 0 && elapsed() >= o.silent_after);
        if (o.mode == peer_mode::gateway) {
            // A current DMRGateway pings whether or not anyone answers; with
            // --need-dmrc it is mute until the repeater side configured it.
            const bool talking = gateway_known && (!o.need_dmrc || dmrc_seen);
            logged_in = talking;
            if (talking && !silent_now && elapsed() >= next_dmrp_at) {
                sendto(fd, "DMRP", 4, 0, reinterpret_cast<sockaddr *>(&gateway), sizeof gateway);
                std::printf("send DMRP\n");
                next_dmrp_at = elapsed() + GATEWAY_PING_INTERVAL;
            }
        }
        if (o.mode == peer_mode::master) {
            for (master_session &m : sessions.all) {
                if (m.state != master_session::none &&
                    elapsed() - m.heard_at > MASTER_SILENCE_LIMIT) {
                    std::printf("master: repeater %u silent for %.0f s, dropped\n", m.id,
                                MASTER_SILENCE_LIMIT);
                    m.state = master_session::none;
                }
            }
            follow_call_target();
        }
        if (internet.wait_ns(sim::now_ns()) == 0) {
            internet.send_due(sim::now_ns(), send_frame);
        }
        if (mirror.wait_ns(sim::now_ns()) == 0) {
            sent_line.flush();
            mirror.send_due(sim::now_ns());
        }
        if (logged_in && sim::calls_released.load() && call < o.calls.size() &&
            elapsed() >= next_frame_at) {
            if (frame == 0) {
                frames = call_frames(o.calls[call], o, repeater_id,
                                     0x10000000U + static_cast<std::uint32_t>(call),
                                     o.cut_first && call == 0);
                std::printf("call %zu start: %zu frames\n", call + 1, frames.size());
            }
            sent_line.flush();
            mirror.flush();
            const long long stamp = sim::now_ns();
            if (internet.on()) {
                internet.take(frames[frame], stamp);
                internet.send_due(sim::now_ns(), send_frame);
            } else {
                send_frame(frames[frame]);
            }
            mirror.hold(frames[frame].data(), frames[frame].size(), stamp,
                        o.burst_ms * 1000000LL / 2);
            // On a fixed schedule, as a network's frames are: a frame sent a
            // little late does not push every later one back.
            const double period = o.burst_ms / 1000.0;
            const double now_s = elapsed();
            next_frame_at = (next_frame_at + period < now_s ? now_s : next_frame_at) + period;
            if (++frame == frames.size()) {
                std::printf("call %zu end\n", call + 1);
                if (internet.on()) {
                    internet.report(call + 1);
                }
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
            mirror.flush();
        }
        // Waiting in whole milliseconds would leave the last fraction of one
        // to a busy loop, which takes the processor from the gateway at the
        // very moment it is sent a frame.
        const double wait_s = sending ? std::max(0.0, next_frame_at - elapsed()) : 0.1;
        long long wait_ns = static_cast<long long>(wait_s * 1e9);
        for (const long long other :
             {mirror.wait_ns(sim::now_ns()), internet.wait_ns(sim::now_ns())}) {
            wait_ns = other >= 0 ? std::min(wait_ns, other) : wait_ns;
        }
        const timespec wait{static_cast<time_t>(wait_ns / 1000000000LL),
                            static_cast<long>(wait_ns % 1000000000LL)};
        pollfd p[2] = {{fd, POLLIN, 0}, {mirror.listen_fd(), POLLIN, 0}};
        if (ppoll(p, mirror.listen_fd() >= 0 ? 2 : 1, &wait, nullptr) <= 0) {
            continue;
        }
        if ((p[1].revents & POLLIN) != 0) {
            mirror.receive();
        }
        if ((p[0].revents & POLLIN) == 0) {
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
        if (o.mode == peer_mode::gateway && gateway_known && !same_address(from, gateway)) {
            std::printf("packet from an invalid source dropped\n");
            continue;
        }
        const master_session *sender = sessions.at(from);
        if (o.mode == peer_mode::master && has_tag(d, size, "DMRD") &&
            (sender == nullptr || sender->state != master_session::logged_in || size < 15 ||
             be32(d + 11) != sender->id)) {
            std::printf("DMRD discarded: repeater id=%u not logged in\n",
                        size >= 15 ? be32(d + 11) : 0U);
            continue;
        }
        print_datagram(d, size, from, received_at, o.frames);
        if (has_tag(d, size, "DMRD")) {
            ++frames_received;
        }
        if (o.mode == peer_mode::gateway) {
            if (!gateway_known) {
                gateway = from;
                gateway_known = true;
            }
            if (has_tag(d, size, "DMRC") && size == 119) {
                repeater_id = be32(d + 4);
                dmrc_seen = true;
            }
            continue; // a gateway answers nothing
        }
        if (silent) {
            continue;
        }
        reply r;
        if (o.mode == peer_mode::master) {
            r = master_answer(d, size, from, o, sessions, draw, elapsed());
            follow_call_target();
        } else {
            bool configured = false;
            r = login_answer(d, size, o, repeater_id, configured);
            if (configured) {
                gateway = from;
                if (!logged_in) {
                    logged_in = true;
                    next_frame_at = elapsed() + 1.0;
                }
            }
        }
        send_reply(fd, r, from);
    }
    for (const master_session &m : sessions.all) {
        if (m.state == master_session::logged_in) {
            reply close;
            close.tagged("MSTCL", m.id);
            send_reply(fd, close, m.from);
        }
    }
    sent_line.flush();
    std::printf("summary: DMRD frames sent %lu, DMRD frames received %lu\n", frames_sent,
                frames_received);
    std::printf("peer done after %.0f s\n", elapsed());
    return 0;
}
