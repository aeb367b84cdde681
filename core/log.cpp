#include "core/log.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex log_mutex;
ferrule_log_sink log_sink = nullptr;
void *log_sink_user = nullptr;
} // namespace

void ferrule_vlog(const char *fmt, va_list ap) {
    // Formatted into a fixed buffer so the message reaches the sink in one piece;
    // longer messages are cut rather than allocated for.
    char buf[8192];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_sink != nullptr) {
        log_sink(buf, log_sink_user);
        return;
    }
    std::fputs(buf, stdout);
    std::fflush(stdout);
}

void ferrule_log(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ferrule_vlog(fmt, ap);
    va_end(ap);
}

void ferrule_log_set_sink(ferrule_log_sink sink, void *user) {
    std::lock_guard<std::mutex> lock(log_mutex);
    log_sink = sink;
    log_sink_user = user;
}
