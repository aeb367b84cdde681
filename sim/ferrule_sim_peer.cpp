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
//
// SIGUSR1 toggles answering; --silent-after stops answering S seconds after
// the start. Received datagrams are printed also while silent.

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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
};

bool parse(int argc, char **argv, options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
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
        } else {
            return false;
        }
    }
    return o.port > 0 && o.port < 65536 && std::strlen(o.pong) == 7;
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

void print_datagram(const unsigned char *d, std::size_t n, const sockaddr_in &from) {
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

} // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s --port PORT [--address A] [--duration S] "
                     "[--silent-after S] [--salt N] [--pong RPTPONG|MSTPONG]\n",
                     argv[0]);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGUSR1, on_usr1);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(o.port));
    if (fd < 0 || inet_pton(AF_INET, o.address, &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "cannot bind %s:%d: %s\n", o.address, o.port, std::strerror(errno));
        return 1;
    }
    // A short receive timeout keeps the duration and the silence deadline honest.
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::printf("peer listening on %s:%d\n", o.address, o.port);

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(clock::now() - start).count(); };
    std::uint32_t repeater_id = 0;
    bool was_silent = false;
    while (elapsed() < o.duration) {
        unsigned char d[1024];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, d, sizeof d, 0, reinterpret_cast<sockaddr *>(&from), &len);
        bool silent = silent_toggled.load() != (o.silent_after >= 0 && elapsed() >= o.silent_after);
        if (silent != was_silent) {
            std::printf("%s\n", silent ? "silent: answering stopped" : "answering again");
            was_silent = silent;
        }
        if (n < 0) {
            continue;
        }
        const auto size = static_cast<std::size_t>(n);
        print_datagram(d, size, from);
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
    std::printf("peer done after %.0f s\n", elapsed());
    return 0;
}
