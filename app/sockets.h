#pragma once
// The daemon's four UDP sockets and the one way its receiver threads read
// them. Each socket is received on by exactly one thread; sending from other
// threads is safe on a UDP socket.

#include "core/settings.h"
#include "hytera/outbox.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <sys/socket.h>

// Socket descriptors, -1 until created.
extern std::atomic<int> Local_Hytera_RPT_srv_sock;
extern std::atomic<int> Local_Hytera_RPT_audio_srv_sock;
extern std::atomic<int> Local_Hytera_RPT_rdac_srv_sock;
extern std::atomic<int> MMDVM_clientsock;

// Each returns 0 when the socket was created, 1 when creating it failed.
int Local_Hytera_RPT_srv_open();
int Local_Hytera_RPT_audio_srv_open();
int Local_Hytera_RPT_rdac_srv_open();
int MMDVM_clientopen();

// Send errors are ignored: UDP gives no delivery promise anyway.
void send_datagram(int fd, std::span<const std::uint8_t> bytes, const sockaddr_in &to);
// Sends every datagram of a repeater-side reaction on its socket.
void send_outbox(const outbox &box);

// A receive that fails (socket not created, interrupted) must not make a
// receiver thread spin: it waits this long before receiving again.
inline constexpr unsigned RECEIVE_FAILURE_BACKOFF_US = 100000;
void receive_failure_backoff();
// Waits `microseconds` before a receive; 0 does not wait.
void pause_before_receive(unsigned microseconds);

// Lets a blocked receive on `fd` return after `milliseconds` with nothing, so
// the receiving thread can run its timers.
void set_receive_timeout(int fd, unsigned milliseconds);
// How often the voice and link threads run their call watchdogs at least.
inline constexpr unsigned VOICE_TICK_MS = 100;

struct no_tick {
    void operator()() const {}
};

// The receiver threads' loop: receives on `fd` into `buffer` until the run
// flag is cleared and hands every IPv4 datagram, with its sender, to `react`.
// `pause_us` is waited before each receive. `tick` runs after every receive,
// also one that timed out (see set_receive_timeout), on this same thread.
template <class React, class Tick = no_tick>
void receive_loop(const std::atomic<int> &fd, std::span<std::uint8_t> buffer, React &&react,
                  unsigned pause_us = 0, Tick &&tick = Tick{}) {
    while (keep_running.load() != 0) {
        pause_before_receive(pause_us);
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const int descriptor = fd.load();
        const ssize_t n = descriptor < 0
                              ? -1
                              : recvfrom(descriptor, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr *>(&from), &from_length);
        if (n < 0) {
            if (descriptor < 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                receive_failure_backoff();
            }
        } else if (from.sin_family == AF_INET) {
            react(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)), from);
        }
        tick();
    }
}
