#pragma once
// The log is read live through pipes and journals: every call writes one
// complete message to standard output and flushes it before returning, and
// concurrent callers never interleave inside a message.

#include "core/rate_limit.h"

#include <cstdarg>
#include <cstdint>

__attribute__((format(printf, 1, 2))) void ferrule_log(const char *fmt, ...);
void ferrule_vlog(const char *fmt, va_list ap);

// The lines of normal operation: a registered repeater's login and identity,
// a call's start, end, alias and position. They go out whatever limiter
// scope is open, so a full site never loses them; only what strangers and bad
// input cause is limited.
__attribute__((format(printf, 1, 2))) void ferrule_log_unlimited(const char *fmt, ...);

// Tests capture the log instead of standard output. Passing nullptr restores
// standard output. The sink receives each formatted message whole.
using ferrule_log_sink = void (*)(const char *text, void *user);
void ferrule_log_set_sink(ferrule_log_sink sink, void *user);

// Lines that received datagrams cause are limited per sender and per kind of
// line (its format string): a burst of 10, then one a second. The count of
// lines held back goes out, as a line of its own, just before the next line of
// that kind. A receiver thread owns one limiter and opens a scope around its
// reaction to each datagram; lines logged outside a scope are never limited.
inline constexpr std::uint32_t LOG_BURST = 10;
inline constexpr std::int64_t LOG_PERIOD_MS = 1000;
struct log_limiter : rate_limiter<64> {
    log_limiter() : rate_limiter(LOG_BURST, LOG_PERIOD_MS) {}
};

class log_limit_scope {
  public:
    // `source` is the sender's IPv4 address in network byte order; `now_ms`
    // any clock in milliseconds, the same for every scope on `limiter`.
    log_limit_scope(log_limiter &limiter, std::uint32_t source, std::int64_t now_ms);
    ~log_limit_scope();
    log_limit_scope(const log_limit_scope &) = delete;
    log_limit_scope &operator=(const log_limit_scope &) = delete;

    // Whether a line of format `fmt` goes out; writes the held-back note, if
    // one is due, into `note`.
    bool admit(const char *fmt, char *note, std::size_t note_size) const;

  private:
    log_limiter &limiter_;
    std::uint32_t source_;
    std::int64_t now_ms_;
    const log_limit_scope *outer_;
};
