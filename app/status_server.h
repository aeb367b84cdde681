#pragma once
// The status page: an HTTP server on a thread of its own (libmicrohttpd's
// polling thread) serving the page, /status.json and /metrics. Each request
// takes a fresh copy of the tables, each under its own lock, and renders and
// writes from the copy: a slow or stalled client never holds a lock the voice
// and link threads take.

#include <cstdint>

struct MHD_Daemon;

// At most this many clients at once; more wait, unanswered, until one leaves.
// A client that sends or reads nothing for the time-out is dropped, so idle
// clients cannot keep the page from everyone for long.
inline constexpr unsigned STATUS_CONNECTIONS = 8;
inline constexpr unsigned STATUS_TIMEOUT_SECONDS = 10;

class status_server {
  public:
    status_server() = default;
    ~status_server() { stop(); }
    status_server(const status_server &) = delete;
    status_server &operator=(const status_server &) = delete;

    // Listens on the IPv4 address and port; port 0 takes any free one (see
    // port()). False, with errno telling why, when it cannot listen.
    bool start(const char *address, std::uint16_t port);
    void stop();
    std::uint16_t port() const { return port_; }
    // When start() was called, on the status_clock_ms clock.
    std::int64_t started_ms() const { return started_ms_; }

  private:
    MHD_Daemon *daemon_ = nullptr;
    std::uint16_t port_ = 0;
    std::int64_t started_ms_ = 0;
};

// The daemon's status page from Status_address and Status_port, with a log
// line saying where it listens or why it does not. Never stopped: it ends
// with the process, as the other threads do.
void status_page_start();
