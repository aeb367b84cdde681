#pragma once
// The daemon's four UDP sockets and the one way its receiver threads read
// them. Each socket is received on by exactly one thread; sending from other
// threads is safe on a UDP socket.

#include "core/settings.h"
#include "hytera/outbox.h"
#include "network/link_state.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <span>
#include <sys/socket.h>

// Socket descriptors, -1 until created.
extern std::atomic<int> Local_Hytera_RPT_srv_sock;
extern std::atomic<int> Local_Hytera_RPT_audio_srv_sock;
extern std::atomic<int> Local_Hytera_RPT_rdac_srv_sock;
extern std::atomic<int> MMDVM_clientsock;
// The master mode's link sockets, one per repeater index from 1 on (index
// 0's is MMDVM_clientsock), bound to DMRGateway_local_port plus the index.
struct link_socket {
    std::atomic<int> fd{-1};
};
extern std::array<link_socket, LINK_SLOTS> MMDVM_link_socks;

// Each returns 0 when the socket was created and bound, 1 (said in the log)
// when it was not; then the descriptor stays -1.
int Local_Hytera_RPT_srv_open();
int Local_Hytera_RPT_audio_srv_open();
int Local_Hytera_RPT_rdac_srv_open();
int MMDVM_clientopen();

// Opens the four in that order, before any thread starts, so that a port in
// use or an address the machine does not have stops the daemon at once;
// false at the first that fails. Datagrams that arrive before a receiver
// thread runs wait in the socket's buffer.
bool open_all_sockets();

// The link socket of a repeater index, -1 while it is not open.
int MMDVM_link_socket(std::size_t index);
// Opens the link socket of repeater index 1 to 49 when it is not open yet.
// Only the master mode gives each repeater a link of its own, and only a
// repeater that is there needs one, so they are opened as repeaters are
// identified rather than at the start: a site with one repeater claims one
// port, and a port in use stops one repeater's link, not the daemon. 0 when
// the socket is open; 1, said in the log, when it cannot be.
int MMDVM_link_open(std::size_t index);

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
// How often the link thread looks at the playout buffer while it is on: its
// bursts must leave 60 ms apart within a few milliseconds.
inline constexpr unsigned PLAYOUT_TICK_MS = 2;

struct no_tick {
    void operator()() const {}
};

// The receiver threads' loop: receives on `fd` into `buffer` until the run
// flag is cleared and hands every IPv4 datagram, with its sender, to `react`.
// `pause_us` is waited before each receive. `tick` runs after every receive,
// also one that timed out (see set_receive_timeout), on this same thread.
// With `wait_ms` set, each receive waits at most that long, to the
// millisecond: a receive time-out counts in the kernel's ticks of up to 4 ms.
template <class React, class Tick = no_tick>
void receive_loop(const std::atomic<int> &fd, std::span<std::uint8_t> buffer, React &&react,
                  unsigned pause_us = 0, Tick &&tick = Tick{}, int wait_ms = -1) {
    while (keep_running.load() != 0) {
        pause_before_receive(pause_us);
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const int descriptor = fd.load();
        pollfd ready{descriptor, POLLIN, 0};
        if (descriptor >= 0 && wait_ms >= 0 && poll(&ready, 1, wait_ms) == 0) {
            tick();
            continue;
        }
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
