#pragma once
// Shared helpers for tests: a captured log, scratch directories and free
// loopback ports.

#include "core/log.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace ferrule_test {

class CapturedLog {
  public:
    CapturedLog() { ferrule_log_set_sink(&CapturedLog::append, this); }
    ~CapturedLog() { ferrule_log_set_sink(nullptr, nullptr); }
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

  private:
    static void append(const char *text, void *user) {
        auto *self = static_cast<CapturedLog *>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->text_ += text;
    }
    std::mutex mutex_;
    std::string text_;
};

class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/ferrule-test-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (made == nullptr) {
            throw std::runtime_error("cannot create a scratch directory in /tmp");
        }
        path_ = made;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path write(const std::string &name, const std::string &contents) const {
        std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << contents;
        return file;
    }

  private:
    std::filesystem::path path_;
};

// IPv4 socket address from dotted text and a host-order port.
inline sockaddr_in endpoint(const char *address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

// A UDP socket bound to address:port (port 0: any free one) whose receives
// give up after `timeout_ms`. Throws rather than hand out a socket bound
// elsewhere.
inline int bound_udp_socket(const char *address, std::uint16_t port, int timeout_ms = 200) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in a = endpoint(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error(std::string("cannot bind a UDP socket to ") + address);
    }
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// A UDP socket on address:port (port 0: one of the system's choice), closed
// with the object; `at` is where it is bound.
struct udp_socket {
    int fd;
    sockaddr_in at;
    explicit udp_socket(const char *address, std::uint16_t port = 0)
        : fd(bound_udp_socket(address, port)), at(endpoint(address, port)) {
        socklen_t n = sizeof at;
        getsockname(fd, reinterpret_cast<sockaddr *>(&at), &n);
    }
    ~udp_socket() { close(fd); }
    udp_socket(const udp_socket &) = delete;
    udp_socket &operator=(const udp_socket &) = delete;

    void send(std::string_view d, const sockaddr_in &to) const {
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    // The next datagram within `wait_ms` and its sender's port; empty when none.
    std::vector<std::uint8_t> receive(std::uint16_t &from_port, int wait_ms = 1000) const {
        pollfd p{fd, POLLIN, 0};
        std::vector<std::uint8_t> d(512);
        sockaddr_in from{};
        socklen_t n = sizeof from;
        const ssize_t got =
            poll(&p, 1, wait_ms) <= 0
                ? -1
                : recvfrom(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&from), &n);
        d.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        from_port = ntohs(from.sin_port);
        return d;
    }
};

// Test ports come from below the kernel's ephemeral range (32768 and up
// here): a port the kernel hands out by itself, say to a simulator's unbound
// sending socket, can then never take the port a daemon is about to bind. Only
// tests running side by side draw from this range, each at random.
inline constexpr int TEST_PORT_LOW = 20000;
inline constexpr int TEST_PORT_HIGH = 32000;

inline bool port_bindable(const char *address, int type, int port) {
    const int fd = socket(AF_INET, type, 0);
    const sockaddr_in a = endpoint(address, static_cast<std::uint16_t>(port));
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

// A port number claimed for this test process until it ends, so that two
// tests running side by side, or two draws of one test, never hand out the
// same port in the moment before its user binds it. The claim is a lock on a
// file named after the port: the kernel lets it go when the process ends,
// however it ends. Where no lock file can be made, the draw goes unclaimed.
inline bool claim_port(int port) {
    static const std::filesystem::path dir = [] {
        std::filesystem::path d = std::filesystem::temp_directory_path() / "ferrule-test-ports";
        std::error_code ec;
        std::filesystem::create_directories(d, ec);
        std::filesystem::permissions(d, std::filesystem::perms::all, ec);
        return d;
    }();
    const std::string file = (dir / std::to_string(port)).string();
    // Close-on-exec: the children started by tests never hold a claim.
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return true;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true; // the descriptor stays open: the claim lasts as long as the process
}

inline int random_free_port(const char *address, int type) {
    static thread_local std::mt19937 draw{std::random_device{}()};
    std::uniform_int_distribution<int> pick(TEST_PORT_LOW, TEST_PORT_HIGH - 1);
    for (int tries = 0; tries < 200; ++tries) {
        const int port = pick(draw);
        if (port_bindable(address, type, port) && claim_port(port)) {
            return port;
        }
    }
    throw std::runtime_error(std::string("no free test port on ") + address);
}

// A UDP port on the address that was free a moment ago.
inline int free_udp_port(const char *address = "127.0.0.1") {
    return random_free_port(address, SOCK_DGRAM);
}

// How often `what` occurs in `text`, overlaps counted.
inline std::size_t count_of(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// A UDP port on loopback that was free a moment ago together with the next
// one: the master mode's second repeater links from the port after the first.
inline int free_udp_port_pair(const char *address = "127.0.0.1") {
    for (int tries = 0; tries < 50; ++tries) {
        const int port = free_udp_port(address);
        if (port < 65535 && port_bindable(address, SOCK_DGRAM, port + 1) && claim_port(port + 1)) {
            return port;
        }
    }
    throw std::runtime_error(std::string("no two free UDP ports in a row on ") + address);
}

// A TCP port on the loopback address that was free a moment ago.
inline int free_tcp_port(const char *address = "127.0.0.1") {
    return random_free_port(address, SOCK_STREAM);
}

inline std::string read_file(const std::filesystem::path &file) {
    // In one piece: the tests that wait on a child's output read it often.
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace ferrule_test
