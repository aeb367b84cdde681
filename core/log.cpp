#include "core/log.h"

#include <arpa/inet.h>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>

namespace {
std::mutex log_mutex;
ferrule_log_sink log_sink = nullptr;
void *log_sink_user = nullptr;
thread_local const log_limit_scope *current_scope = nullptr;

void put(const char *text) {
    if (log_sink != nullptr) {
        log_sink(text, log_sink_user);
        return;
    }
    std::fputs(text, stdout);
}
} // namespace

log_limit_scope::log_limit_scope(log_limiter &limiter, std::uint32_t source, std::int64_t now_ms)
    : limiter_(limiter), source_(source), now_ms_(now_ms), outer_(current_scope) {
    current_scope = this;
}

log_limit_scope::~log_limit_scope() {
    current_scope = outer_;
}

bool log_limit_scope::admit(const char *fmt, char *note, std::size_t note_size) const {
    note[0] = 0;
    const rate_decision d = limiter_.admit(source_, reinterpret_cast<std::uintptr_t>(fmt), now_ms_);
    if (!d.pass || d.held == 0) {
        return d.pass;
    }
    const auto held = static_cast<unsigned long long>(d.held);
    if (d.shared) {
        std::snprintf(note, note_size, "(%llu more lines from many senders were held back)\n",
                      held);
        return true;
    }
    in_addr address{};
    address.s_addr = source_;
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    std::snprintf(note, note_size, "(%llu more lines like the next from %s were held back)\n", held,
                  dotted);
    return true;
}

void ferrule_vlog(const char *fmt, va_list ap) {
    // Refused before formatting: a flood costs a table look-up per line.
    char note[128];
    if (current_scope != nullptr && !current_scope->admit(fmt, note, sizeof note)) {
        return;
    }
    if (current_scope == nullptr) {
        note[0] = 0;
    }
    // Formatted into a fixed buffer so the message reaches the sink in one piece;
    // longer messages are cut rather than allocated for.
    char buf[8192];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> lock(log_mutex);
    if (note[0] != 0) {
        put(note);
    }
    put(buf);
    if (log_sink == nullptr) {
        std::fflush(stdout);
    }
}

void ferrule_log(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ferrule_vlog(fmt, ap);
    va_end(ap);
}

void ferrule_log_unlimited(const char *fmt, ...) {
    const log_limit_scope *const scope = current_scope;
    current_scope = nullptr;
    va_list ap;
    va_start(ap, fmt);
    ferrule_vlog(fmt, ap);
    va_end(ap);
    current_scope = scope;
}

void ferrule_log_set_sink(ferrule_log_sink sink, void *user) {
    std::lock_guard<std::mutex> lock(log_mutex);
    log_sink = sink;
    log_sink_user = user;
}
