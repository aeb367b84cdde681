#pragma once
// What the two simulators share: the call plan they are told to send, the
// trigger that starts it, and the frame lines a test or benchmark reads.

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace sim {

struct call_plan {
    int slot = 1; // 1 or 2
    bool group = true;
    std::uint32_t source = 2621234;
    std::uint32_t destination = 262;
    int superframes = 3;
};

// "ts=2,type=group,src=2621234,dst=262,superframes=3"; type=private for a
// private call. Missing keys keep their defaults.
inline bool parse_call(const std::string &text, call_plan &c) {
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find(',', at);
        std::string item = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        std::size_t eq = item.find('=');
        if (eq == std::string::npos) {
            return false;
        }
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "ts") {
            c.slot = std::atoi(value.c_str());
        } else if (key == "type") {
            c.group = value != "private";
        } else if (key == "src") {
            c.source = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "dst") {
            c.destination = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "superframes") {
            c.superframes = std::atoi(value.c_str());
        } else {
            return false;
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    return (c.slot == 1 || c.slot == 2) && c.superframes >= 0;
}

// --repeat N: the calls given, N times over.
inline std::vector<call_plan> repeated(const std::vector<call_plan> &calls, int times) {
    std::vector<call_plan> all;
    for (int i = 0; i < times; ++i) {
        all.insert(all.end(), calls.begin(), calls.end());
    }
    return all;
}

// With --calls-on-signal the calls wait for SIGUSR2, so a test can start them
// once the gateway is ready (logged in) rather than after a guessed delay.
inline std::atomic<bool> calls_released{false};
inline void release_calls(int) {
    calls_released.store(true);
}
inline void arm_call_trigger(bool on_signal) {
    calls_released.store(!on_signal);
    std::signal(SIGUSR2, release_calls);
}

// Monotonic nanoseconds; the clock is the same in every process of the
// machine, so a benchmark can subtract a sender's stamp from a receiver's.
inline long long now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// "frame out|in NS HEX": one line per voice frame sent or received, `stamp`
// taken just before the send or just after the receive.
inline void print_frame(const char *direction, long long stamp, const std::uint8_t *d,
                        std::size_t n) {
    char hex[2 * 512 + 1];
    std::size_t count = n < 512 ? n : 512;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(hex + 2 * i, 3, "%02X", d[i]);
    }
    hex[2 * count] = 0;
    std::printf("frame %s %lld %s\n", direction, stamp, hex);
    std::fflush(stdout);
}

// How many "frame out|in" lines the output holds, without decoding them: a
// waiting test or benchmark asks this often, while the daemon it measures
// needs the processor.
inline std::size_t count_frame_lines(const std::string &output, const std::string &direction) {
    const std::string line_start = "\nframe " + direction + " ";
    std::size_t count = output.rfind(line_start.substr(1), 0) == 0 ? 1 : 0;
    for (std::size_t at = output.find(line_start); at != std::string::npos;
         at = output.find(line_start, at + 1)) {
        ++count;
    }
    return count;
}

// A sender's "frame out" line, printed just before its next frame is sent or
// once it has nothing to send: formatted and written right after the send, it
// would take a processor from the gateway in the very microseconds it measures.
class deferred_frame_line {
  public:
    explicit deferred_frame_line(const char *direction = "out") : direction_(direction) {}
    void hold(long long stamp, const std::uint8_t *d, std::size_t n) {
        flush();
        stamp_ = stamp;
        length_ = n < bytes_.size() ? n : bytes_.size();
        std::copy(d, d + length_, bytes_.begin());
        held_ = true;
    }
    void flush() {
        if (held_) {
            print_frame(direction_, stamp_, bytes_.data(), length_);
            held_ = false;
        }
    }

  private:
    const char *direction_;
    std::array<std::uint8_t, 512> bytes_{};
    std::size_t length_ = 0;
    long long stamp_ = 0;
    bool held_ = false;
};

// --mirror-to PORT and --mirror-port PORT, for the latency benchmark's
// baseline: every call frame is sent a second time, half a period after the
// first, from a socket of its own to a plain relay on 127.0.0.1:PORT, and what
// a relay delivers to the mirror port is received beside the gateway's
// frames. So the relay and the gateway are measured between the very same
// sending and receiving processes, doing the same work around each frame.
// Lines: "frame mirror-out NS HEX" and "frame mirror-in NS HEX".
class frame_mirror {
  public:
    frame_mirror() = default;
    frame_mirror(const frame_mirror &) = delete;
    frame_mirror &operator=(const frame_mirror &) = delete;
    ~frame_mirror() {
        for (const int fd : {send_fd_, listen_fd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // Either port may be 0 (not used); false when a socket cannot be had.
    bool open(int to_port, int listen_port) {
        if (to_port > 0) {
            to_ = loopback(to_port);
            send_fd_ = socket(AF_INET, SOCK_DGRAM, 0);
            if (send_fd_ < 0) {
                return false;
            }
        }
        if (listen_port > 0) {
            const sockaddr_in local = loopback(listen_port);
            listen_fd_ = socket(AF_INET, SOCK_DGRAM, 0);
            return listen_fd_ >= 0 &&
                   bind(listen_fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
        }
        return true;
    }
    int listen_fd() const { return listen_fd_; }

    // A copy of the frame just sent, to go `delay_ns` after `sent_at`.
    void hold(const std::uint8_t *d, std::size_t n, long long sent_at, long long delay_ns) {
        if (send_fd_ < 0) {
            return;
        }
        length_ = n < frame_.size() ? n : frame_.size();
        std::copy(d, d + length_, frame_.begin());
        due_ns_ = sent_at + delay_ns;
    }
    // Nanoseconds until the held copy is due: 0 when it is, -1 when none is held.
    long long wait_ns(long long now) const {
        return due_ns_ == 0 ? -1 : std::max(0LL, due_ns_ - now);
    }
    // Sends the held copy when due; its line is printed before the next send.
    void send_due(long long now) {
        if (due_ns_ == 0 || now < due_ns_) {
            return;
        }
        line_.flush();
        due_ns_ = 0;
        const long long stamp = now_ns();
        (void)sendto(send_fd_, frame_.data(), length_, 0, reinterpret_cast<const sockaddr *>(&to_),
                     sizeof to_);
        line_.hold(stamp, frame_.data(), length_);
    }
    void flush() { line_.flush(); }
    void receive() const {
        std::uint8_t d[512];
        const ssize_t n = recv(listen_fd_, d, sizeof d, 0);
        const long long stamp = now_ns();
        if (n > 0) {
            print_frame("mirror-in", stamp, d, static_cast<std::size_t>(n));
        }
    }

  private:
    static sockaddr_in loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }

    int send_fd_ = -1, listen_fd_ = -1;
    sockaddr_in to_{};
    std::array<std::uint8_t, 512> frame_{};
    std::size_t length_ = 0;
    long long due_ns_ = 0;
    deferred_frame_line line_{"mirror-out"};
};

// The frames of the "frame out|in" lines of a simulator's output, in order.
struct frame_line {
    long long stamp;
    std::vector<std::uint8_t> bytes;
};
inline std::vector<frame_line> frame_lines(const std::string &output,
                                           const std::string &direction) {
    std::vector<frame_line> result;
    std::istringstream lines(output);
    std::string line;
    const std::string prefix = "frame " + direction + " ";
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) != 0) {
            continue;
        }
        const std::size_t space = line.find(' ', prefix.size());
        if (space == std::string::npos) {
            continue;
        }
        frame_line f{std::atoll(line.c_str() + prefix.size()), {}};
        for (std::size_t i = space + 1; i + 1 < line.size(); i += 2) {
            f.bytes.push_back(
                static_cast<std::uint8_t>(std::strtoul(line.substr(i, 2).c_str(), nullptr, 16)));
        }
        result.push_back(std::move(f));
    }
    return result;
}

} // namespace sim
