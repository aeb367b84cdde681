// A simulated Hytera repeater: plays a repeater against a running gateway over
// UDP so the gateway can be tried, and tested end to end, without hardware.
// Every datagram is built here from the byte layouts a repeater uses; nothing
// comes from the gateway's own code, so a test that uses this is not circular.

#include "repeater_packets.h"
#include "sim_common.h"
#include "sim_voice.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <span>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace repeater_packets;
using clock_type = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;
void on_stop(int) {
    stop_requested = 1;
}

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string hex(const std::uint8_t *p, std::size_t n, std::size_t limit = 40) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n && i < limit; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        s += b;
    }
    if (n > limit) {
        s += " ...";
    }
    return s;
}

using sim::call_plan;

struct options {
    std::string gateway = "127.0.0.1";
    std::string local = "127.0.0.2";
    std::uint16_t control_port = 62005;
    std::uint16_t voice_port = 62006;
    std::uint16_t rdac_port = 62007;
    repeater_packets::identity who;
    double duration = 0; // 0: until interrupted
    double keepalive = 10;
    int burst_ms = 60;
    int call_gap_ms = 500;
    bool quiet = false;
    bool frames = false;
    bool calls_on_signal = false;
    bool stranger = false;
    double flood_control = 0; // junk datagrams a second to the control port
    int repeat = 1;
    std::vector<call_plan> calls;
    sim::voice_extras voice;
    int mirror_to = 0, mirror_port = 0; // the latency benchmark's relay, see sim::frame_mirror
};

void usage() {
    std::puts("Usage: ferrule_sim_repeater [options]\n"
              "  --gateway ADDR        gateway address (127.0.0.1)\n"
              "  --local ADDR          this repeater's address (127.0.0.2)\n"
              "  --control-port N      gateway control port (62005)\n"
              "  --voice-port N        gateway voice port (62006)\n"
              "  --rdac-port N         gateway RDAC port; also bound locally (62007)\n"
              "  --id N --callsign S --tx HZ --rx HZ --firmware S --model S --serial S\n"
              "                        identity reported to the gateway\n"
              "  --keepalive SECONDS   control keep-alive interval (10)\n"
              "  --call CALL           send a call once identified, e.g.\n"
              "                        ts=2,type=group,src=2621234,dst=262,superframes=3\n"
              "                        (type=private for a private call; may be repeated)\n"
              "  --burst-ms N          time between bursts of a call (60)\n"
              "  --call-gap-ms N       time between calls (500)\n"
              "  --repeat N            send the calls N times over (1)\n"
              "  --calls-on-signal     hold the calls until SIGUSR2\n"
              "  --frames              print every voice frame sent and received in full\n"
              "                        (\"frame out|in NS HEX\", NS a monotonic clock)\n"
              "  --stranger            play a stranger instead: every second register on\n"
              "                        all three ports, send identity and radio data\n"
              "                        answers and a call, whatever the gateway says\n"
              "  --flood-control N     also send N junk datagrams a second to the control\n"
              "                        port (random lengths and bytes, and keep-alives)\n"
              "  --mirror-to PORT      send each call frame again, half a period later, to\n"
              "                        a relay on 127.0.0.1:PORT (\"frame mirror-out\")\n"
              "  --mirror-port PORT    receive what a relay sends to 127.0.0.1:PORT\n"
              "                        (\"frame mirror-in\")\n"
              "  --duration SECONDS    stop after this long (default: until SIGINT/SIGTERM)\n"
              "  --quiet               print only state changes and the summary");
    std::fputs(sim::VOICE_OPTIONS_HELP, stdout);
}

bool parse(int argc, char **argv, options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (a == "--frames") {
            o.frames = true;
            continue;
        }
        if (a == "--calls-on-signal") {
            o.calls_on_signal = true;
            continue;
        }
        if (a == "--stranger") {
            o.stranger = true;
            continue;
        }
        if (a == "--help" || i + 1 >= argc) {
            return false;
        }
        std::string v = argv[++i];
        auto port = [&] { return static_cast<std::uint16_t>(std::atoi(v.c_str())); };
        auto number = [&] {
            return static_cast<std::uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
        };
        if (a == "--gateway") {
            o.gateway = v;
        } else if (a == "--local") {
            o.local = v;
        } else if (a == "--control-port") {
            o.control_port = port();
        } else if (a == "--voice-port") {
            o.voice_port = port();
        } else if (a == "--rdac-port") {
            o.rdac_port = port();
        } else if (a == "--id") {
            o.who.id = number();
        } else if (a == "--callsign") {
            o.who.callsign = v;
        } else if (a == "--tx") {
            o.who.tx = number();
        } else if (a == "--rx") {
            o.who.rx = number();
        } else if (a == "--firmware") {
            o.who.firmware = v;
        } else if (a == "--model") {
            o.who.model = v;
        } else if (a == "--serial") {
            o.who.serial = v;
        } else if (a == "--keepalive") {
            o.keepalive = std::atof(v.c_str());
        } else if (a == "--duration") {
            o.duration = std::atof(v.c_str());
        } else if (a == "--burst-ms") {
            o.burst_ms = std::atoi(v.c_str());
        } else if (a == "--call-gap-ms") {
            o.call_gap_ms = std::atoi(v.c_str());
        } else if (a == "--flood-control") {
            o.flood_control = std::atof(v.c_str());
        } else if (a == "--repeat") {
            o.repeat = std::atoi(v.c_str());
        } else if (a == "--mirror-to") {
            o.mirror_to = std::atoi(v.c_str());
        } else if (a == "--mirror-port") {
            o.mirror_port = std::atoi(v.c_str());
        } else if (a == "--call") {
            call_plan c;
            if (!sim::parse_call(v, c)) {
                std::fprintf(stderr, "bad call: %s\n", v.c_str());
                return false;
            }
            o.calls.push_back(c);
        } else if (!sim::parse_voice_option(a, v, o.voice)) {
            return false;
        }
    }
    return true;
}

sockaddr_in address(const std::string &ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) {
        std::fprintf(stderr, "bad address: %s\n", ip.c_str());
        std::exit(2);
    }
    return a;
}

int bound_socket(const std::string &ip, std::uint16_t port, const char *what) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = address(ip, port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "cannot bind the %s socket to %s:%u: %s\n", what, ip.c_str(), port,
                     std::strerror(errno));
        std::exit(2);
    }
    return fd;
}

// ---- Voice ----------------------------------------------------------------

constexpr std::size_t FRAME = 72;
const std::uint16_t SLOT_TYPES[] = {0x7777, 0x8888, 0x9999, 0xAAAA, 0xBBBB, 0xCCCC};

void put_word(bytes &f, std::size_t at, std::uint16_t w) {
    f[at] = static_cast<std::uint8_t>(w >> 8);
    f[at + 1] = static_cast<std::uint8_t>(w);
}

// The burst as sent over the air, byte i in air order, stored with the bytes
// of each pair exchanged.
void put_burst(bytes &f, const std::uint8_t (&burst)[33]) {
    for (std::size_t k = 0; k < 17; ++k) {
        std::uint8_t even = burst[2 * k];
        std::uint8_t odd = 2 * k + 1 < 33 ? burst[2 * k + 1] : 0;
        f[26 + 2 * k] = odd;
        f[27 + 2 * k] = even;
    }
}

// `given`, when set, is the burst to send; otherwise a ramp from `fill`.
bytes voice_frame(const call_plan &c, std::uint16_t sequence, std::uint8_t kind,
                  std::uint16_t slot_type, bool setup_mark, std::uint8_t fill,
                  const std::uint8_t *given = nullptr) {
    bytes f(FRAME, 0);
    std::memcpy(f.data(), "ZZZZ", 4);
    f[4] = static_cast<std::uint8_t>(sequence);
    f[5] = static_cast<std::uint8_t>(sequence >> 8);
    f[8] = kind;
    f[10] = 0x05;
    f[11] = 0x01;
    f[12] = static_cast<std::uint8_t>(c.slot);
    put_word(f, 16, c.slot == 1 ? 0x1111 : 0x2222);
    put_word(f, 18, slot_type);
    put_word(f, 20, 0x1111);
    put_word(f, 22, setup_mark ? 0x1111 : 0x0000);
    f[24] = 0x10;
    std::uint8_t burst[33];
    for (std::size_t i = 0; i < 33; ++i) {
        burst[i] = given != nullptr ? given[i] : static_cast<std::uint8_t>(fill + i);
    }
    put_burst(f, burst);
    f[62] = c.group ? 1 : 0;
    put_le(f, 64, c.destination, 3);
    put_le(f, 68, c.source, 3);
    return f;
}

std::uint32_t le24(const std::uint8_t *p) {
    return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16;
}

const char *slot_type_name(std::uint8_t t) {
    switch (t) {
    case 0x11:
        return "voice LC header";
    case 0x22:
        return "terminator";
    case 0x33:
        return "CSBK";
    case 0x44:
        return "data header";
    case 0x55:
        return "rate 1/2 data";
    case 0x66:
        return "rate 3/4 data";
    case 0x77:
        return "voice A";
    case 0x88:
        return "voice B";
    case 0x99:
        return "voice C";
    case 0xAA:
        return "voice D";
    case 0xBB:
        return "voice E";
    case 0xCC:
        return "voice F";
    case 0xDD:
        return "idle";
    case 0xEE:
        return "call setup";
    default:
        return "unknown";
    }
}

// ---- The repeater ---------------------------------------------------------

class repeater {
  public:
    explicit repeater(const options &o)
        : o_(o), control_(bound_socket(o.local, 0, "control")),
          voice_(bound_socket(o.local, 0, "voice")),
          rdac_(bound_socket(o.local, o.rdac_port, "RDAC")),
          gw_control_(address(o.gateway, o.control_port)),
          gw_voice_(address(o.gateway, o.voice_port)), gw_rdac_(address(o.gateway, o.rdac_port)) {}

    int run() {
        if (!mirror_.open(o_.mirror_to, o_.mirror_port)) {
            std::fprintf(stderr, "cannot open the mirror: %s\n", std::strerror(errno));
            return 1;
        }
        const auto start = clock_type::now();
        say("sim repeater %s: gateway %s, control %u voice %u rdac %u, id %u call %s",
            o_.local.c_str(), o_.gateway.c_str(), o_.control_port, o_.voice_port, o_.rdac_port,
            o_.who.id, o_.who.callsign.c_str());
        while (stop_requested == 0) {
            auto now = clock_type::now();
            if (o_.duration > 0 && seconds_since(start, now) >= o_.duration) {
                break;
            }
            if (mirror_.wait_ns(sim::now_ns()) == 0) {
                sent_line_.flush();
                mirror_.send_due(sim::now_ns());
            }
            if (o_.stranger) {
                stranger_tick(now);
            } else {
                tick(now);
            }
            flood(start, now);
            // The flood keeps its pace in milliseconds; a call waits for its
            // next frame exactly.
            poll_once(o_.flood_control > 0 ? std::chrono::milliseconds(1) : wait_after(now));
        }
        sent_line_.flush();
        mirror_.flush();
        say("summary: voice frames sent %lu, network frames received %lu, network calls %lu, "
            "identified %s",
            frames_sent_, frames_received_, calls_received_, identified_ ? "yes" : "no");
        say("summary: datagrams received %lu (control %lu, voice %lu, rdac %lu), keep-alives "
            "sent %lu, answered %lu, junk sent %lu",
            received_[0] + received_[1] + received_[2], received_[0], received_[1], received_[2],
            keepalives_sent_, keepalive_replies_, junk_sent_);
        return 0;
    }

  private:
    static double seconds_since(clock_type::time_point a, clock_type::time_point b) {
        return std::chrono::duration<double>(b - a).count();
    }

    void send(int fd, const sockaddr_in &to, const bytes &d, const char *what,
              bool verbose = true) {
        (void)sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
        if (verbose && !o_.quiet) {
            say("-> %-7s %3zu bytes %s: %s", port_name(fd), d.size(), what,
                hex(d.data(), d.size(), 24).c_str());
        }
    }

    const char *port_name(int fd) const {
        return fd == control_ ? "control" : fd == voice_ ? "voice" : "rdac";
    }

    // Until the gateway has answered, everything is repeated once a second:
    // the gateway opens its ports only a few seconds after it starts.
    void tick(clock_type::time_point now) {
        if (seconds_since(last_announce_, now) >= 1.0) {
            last_announce_ = now;
            if (!announced_) {
                send(control_, gw_control_, service_request(0x10, 0x01),
                     "service request 10 (announce)");
                send(control_, gw_control_, service_request(0x11, 0x02),
                     "service request 11 (voice port?)");
                send(control_, gw_control_, service_request(0x12, 0x03),
                     "service request 12 (rdac port?)");
                last_keepalive_ = now;
            }
            if (!voice_registered_) {
                send(voice_, gw_voice_, {0x00}, "voice registration");
            }
            if (stage_ == 0) {
                send(rdac_, gw_rdac_, {0x00}, "rdac greeting");
            }
        }
        if (announced_ && seconds_since(last_keepalive_, now) >= o_.keepalive) {
            last_keepalive_ = now;
            send(control_, gw_control_, keep_alive(), "keep-alive");
            ++keepalives_sent_;
        }
        if (identified_ && voice_registered_ && sim::calls_released.load()) {
            run_calls(now);
        }
        if (!call_active()) {
            sent_line_.flush();
            mirror_.flush();
        }
    }

    bool call_active() const { return next_call_ < o_.calls.size(); }

    // A stranger does everything a repeater does at once, answers or not:
    // every second it registers on each port, reports an identity and sends
    // a short call.
    void stranger_tick(clock_type::time_point now) {
        if (seconds_since(last_announce_, now) < 1.0) {
            return;
        }
        last_announce_ = now;
        send(control_, gw_control_, service_request(0x10, 0x01), "service request 10");
        send(control_, gw_control_, service_request(0x11, 0x02), "service request 11");
        send(control_, gw_control_, service_request(0x12, 0x03), "service request 12");
        send(control_, gw_control_, keep_alive(), "keep-alive");
        send(voice_, gw_voice_, {0x00}, "voice registration");
        send(rdac_, gw_rdac_, {0x00}, "rdac greeting");
        send(rdac_, gw_rdac_, identity_answer(o_.who), "identity answer");
        send(rdac_, gw_rdac_, radio_data(o_.who), "radio data answer");
        const call_plan c = o_.calls.empty() ? call_plan{} : o_.calls.front();
        for (int i = 0; i < 8; ++i) {
            const bool header = i == 0, last = i == 7;
            const bytes f = voice_frame(c, sequence_++, last ? 0x03 : 0x01,
                                        header ? 0x1111
                                        : last ? 0x2222
                                               : SLOT_TYPES[i - 1],
                                        header, static_cast<std::uint8_t>(i));
            send(voice_, gw_voice_, f, "voice frame", false);
            ++frames_sent_;
        }
    }

    // Junk at an even pace: whatever is due since the start, at most a
    // hundredth of a second's worth at once.
    void flood(clock_type::time_point start, clock_type::time_point now) {
        if (o_.flood_control <= 0) {
            return;
        }
        const auto due = static_cast<unsigned long>(seconds_since(start, now) * o_.flood_control);
        const auto most = static_cast<unsigned long>(o_.flood_control / 100) + 1;
        for (unsigned long n = 0; junk_sent_ < due && n < most; ++n) {
            bytes d;
            if (junk_sent_ % 4 == 0) {
                d = keep_alive();
            } else {
                d.resize(next_random() % 300);
                for (std::uint8_t &b : d) {
                    b = static_cast<std::uint8_t>(next_random());
                }
            }
            send(control_, gw_control_, d, "junk", false);
            ++junk_sent_;
        }
    }

    std::uint32_t next_random() {
        // xorshift32: reproducible junk, no library state
        random_ ^= random_ << 13;
        random_ ^= random_ >> 17;
        random_ ^= random_ << 5;
        return random_;
    }

    void run_calls(clock_type::time_point now) {
        if (!call_active() || now < next_frame_at_) {
            return;
        }
        const call_plan &c = o_.calls[next_call_];
        const int bursts = c.superframes * 6;
        // Frame 0 is the voice LC header, then the bursts, then the terminator.
        bytes f;
        std::uint8_t fill =
            static_cast<std::uint8_t>(static_cast<std::size_t>(frame_in_call_) * 7 + next_call_);
        if (frame_in_call_ == 0) {
            say("call %zu start: TS%d %s %u -> %u, %d superframes", next_call_ + 1, c.slot,
                c.group ? "group" : "private", c.source, c.destination, c.superframes);
            f = voice_frame(c, sequence_, 0x01, 0x1111, true, fill);
        } else if (frame_in_call_ <= bursts) {
            const int n = frame_in_call_ - 1;
            const int b = n % 6;
            if (o_.voice.on) {
                const auto burst = sim::voice_burst(
                    o_.voice, sim::embedded_lcs(o_.voice, c.group, c.destination, c.source), n);
                f = voice_frame(c, sequence_, 0x01, SLOT_TYPES[b], false, fill, burst.data());
            } else {
                f = voice_frame(c, sequence_, 0x01, SLOT_TYPES[b], false, fill);
            }
        } else {
            f = voice_frame(c, sequence_, 0x03, 0x2222, false, fill);
        }
        sent_line_.flush();
        mirror_.flush();
        const long long stamp = sim::now_ns();
        // A burst left out still takes its place in time and numbering.
        const bool dropped = frame_in_call_ >= 1 && frame_in_call_ <= bursts &&
                             frame_in_call_ - 1 == o_.voice.drop_burst;
        if (!dropped) {
            send(voice_, gw_voice_, f, "voice frame", false);
            if (o_.frames) {
                sent_line_.hold(stamp, f.data(), f.size());
            }
            mirror_.hold(f.data(), f.size(), stamp, o_.burst_ms * 1000000LL / 2);
        }
        if (!o_.quiet) {
            say("-> voice   frame seq %u %s", sequence_, slot_type_name(f[18]));
        }
        ++frames_sent_;
        ++sequence_;
        ++frame_in_call_;
        if (frame_in_call_ > bursts + 1) {
            say("call %zu end: %d frames sent", next_call_ + 1, bursts + 2);
            frame_in_call_ = 0;
            ++next_call_;
            next_frame_at_ = now + std::chrono::milliseconds(o_.call_gap_ms);
        } else {
            // On a fixed schedule, as a repeater's slots are: a frame sent a
            // little late does not push every later one back. Only a call's
            // start or a frame more than a period late sets it anew.
            const auto period = std::chrono::milliseconds(o_.burst_ms);
            next_frame_at_ = (next_frame_at_ + period < now ? now : next_frame_at_) + period;
        }
    }

    // Until the next frame of a running call is due, else 50 ms. Waking every
    // millisecond instead would take the processor from the gateway it
    // measures.
    std::chrono::nanoseconds wait_after(clock_type::time_point now) const {
        const std::chrono::nanoseconds idle = std::chrono::milliseconds(50);
        const bool sending =
            call_active() && identified_ && voice_registered_ && sim::calls_released.load();
        const long long mirror_wait = mirror_.wait_ns(sim::now_ns());
        const std::chrono::nanoseconds limit =
            mirror_wait >= 0 ? std::min(idle, std::chrono::nanoseconds(mirror_wait)) : idle;
        if (!sending) {
            return limit;
        }
        return std::clamp<std::chrono::nanoseconds>(next_frame_at_ - now,
                                                    std::chrono::nanoseconds(0), limit);
    }

    void poll_once(std::chrono::nanoseconds timeout) {
        pollfd fds[4] = {{control_, POLLIN, 0},
                         {voice_, POLLIN, 0},
                         {rdac_, POLLIN, 0},
                         {mirror_.listen_fd(), POLLIN, 0}};
        const timespec wait{static_cast<time_t>(timeout.count() / 1000000000),
                            static_cast<long>(timeout.count() % 1000000000)};
        if (ppoll(fds, mirror_.listen_fd() >= 0 ? 4 : 3, &wait, nullptr) <= 0) {
            return;
        }
        if ((fds[3].revents & POLLIN) != 0) {
            mirror_.receive();
            fds[3].revents = 0;
        }
        std::uint8_t buf[512];
        for (const pollfd &p : std::span(fds).first(3)) {
            if ((p.revents & POLLIN) == 0) {
                continue;
            }
            ssize_t n = recv(p.fd, buf, sizeof buf, 0);
            received_at_ = sim::now_ns();
            if (n < 0) {
                continue;
            }
            ++received_[p.fd == control_ ? 0 : p.fd == voice_ ? 1 : 2];
            auto len = static_cast<std::size_t>(n);
            if (p.fd == control_) {
                on_control(buf, len);
            } else if (p.fd == voice_) {
                on_voice(buf, len);
            } else {
                on_rdac(buf, len);
            }
        }
    }

    void on_control(const std::uint8_t *d, std::size_t n) {
        if (n == 25 && std::memcmp(d, "P2PP", 4) == 0) {
            if (!o_.quiet) {
                say("<- control service acknowledgement code %02X sequence %02X", d[20], d[12]);
            }
            announced_ = true;
        } else if (n == 28 && std::memcmp(d, "P2PP", 4) == 0) {
            unsigned port = d[26] | d[27] << 8;
            say("<- control port assignment for service %02X: %u", d[20], port);
        } else if (n == 20 && std::memcmp(d, "ZZZZ", 4) == 0) {
            ++keepalive_replies_;
            if (!o_.quiet) {
                say("<- control keep-alive reply");
            }
        } else {
            say("<- control unexpected %zu bytes: %s", n, hex(d, n).c_str());
        }
    }

    void on_voice(const std::uint8_t *d, std::size_t n) {
        if (n == 1) {
            say("<- voice   registration answer %02X", d[0]);
            voice_registered_ = d[0] == 0x41;
            return;
        }
        if (n != FRAME) {
            say("<- voice   unexpected %zu bytes: %s", n, hex(d, n).c_str());
            return;
        }
        ++frames_received_;
        if (o_.frames) {
            sim::print_frame("in", received_at_, d, n);
        }
        const int slot = d[16] == 0x22 ? 2 : 1;
        const std::uint32_t dst = le24(d + 64), src = le24(d + 68);
        if (d[18] == 0xEE) {
            ++calls_received_;
            std::uint32_t sdst = static_cast<std::uint32_t>(d[32]) << 16 | d[34] << 8 | d[36];
            std::uint32_t ssrc = static_cast<std::uint32_t>(d[38]) << 16 | d[40] << 8 | d[42];
            say("<- voice   network call start TS%d %s %u -> %u (setup ids %u -> %u)", slot,
                d[62] == 1 ? "group" : "private", src, dst, ssrc, sdst);
        } else if (!o_.quiet || d[18] == 0x22) {
            say("<- voice   TS%d kind %02X seq %u/%u %s %u -> %u: %s", slot, d[8], d[4], d[5],
                slot_type_name(d[18]), src, dst, hex(d + 26, 34, 12).c_str());
        }
    }

    void on_rdac(const std::uint8_t *d, std::size_t n) {
        const unsigned sequence = n >= 8 ? (d[6] << 8 | d[7]) : 0;
        const unsigned type = n >= 4 ? d[3] : 0;
        if (!o_.quiet) {
            say("<- rdac    %3zu bytes type %02X seq %u: %s", n, type, sequence,
                hex(d, n, 24).c_str());
        }
        if (n == 1) {
            return; // the greeting's acknowledgement
        }
        const auto now = clock_type::now();
        if (n == 24 && (stage_ == 0 || (identified_ && seconds_since(identified_at_, now) > 2.0))) {
            // Request 1: answer with our two opening packets.
            stage_ = 1;
            identified_ = false;
            send(rdac_, gw_rdac_, rdac_packet(25, 0x00, 1), "answer 1");
            send(rdac_, gw_rdac_, rdac_packet(25, 0x00, 2), "answer 2");
        } else if (n == 25 && sequence == 2 && stage_ == 1) {
            stage_ = 2;
            send(rdac_, gw_rdac_, identity_answer(o_.who), "identity answer");
        } else if (n == 25 && sequence == 3 && stage_ == 2) {
            stage_ = 3;
            send(rdac_, gw_rdac_, rdac_packet(12, 0x10, 3), "acknowledgement 3");
        } else if (n == 25 && sequence == 4 && stage_ == 3) {
            stage_ = 4;
            send(rdac_, gw_rdac_, radio_data(o_.who), "radio data answer");
        } else if (n == 12 && type == 0x10 && sequence == 4 && stage_ == 4 && !identified_) {
            identified_ = true;
            identified_at_ = now;
            say("identified: the gateway acknowledged the radio data");
        }
    }

    const options &o_;
    int control_, voice_, rdac_;
    sockaddr_in gw_control_, gw_voice_, gw_rdac_;
    bool announced_ = false, voice_registered_ = false, identified_ = false;
    int stage_ = 0;
    clock_type::time_point last_announce_{}, last_keepalive_{}, identified_at_{}, next_frame_at_{};
    sim::deferred_frame_line sent_line_;
    sim::frame_mirror mirror_;
    std::size_t next_call_ = 0;
    int frame_in_call_ = 0;
    std::uint16_t sequence_ = 0;
    long long received_at_ = 0;
    unsigned long frames_sent_ = 0, frames_received_ = 0, calls_received_ = 0;
    unsigned long received_[3] = {}, keepalives_sent_ = 0, keepalive_replies_ = 0, junk_sent_ = 0;
    std::uint32_t random_ = 20261212;
};

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    o.calls = sim::repeated(o.calls, o.repeat);
    sim::arm_call_trigger(o.calls_on_signal);
    repeater r(o);
    return r.run();
}
