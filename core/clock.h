#pragma once
// The two clocks the daemon reads: wall time for the time stamps of log lines
// (asctime text, with its own line feed), and a monotonic count of seconds for
// everything that measures a duration. Reactions get both passed in; only the
// threads read them.

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>

// asctime text of `when`; empty when the time cannot be shown.
template <std::size_t N> void asctime_text(std::time_t when, char (&text)[N]) {
    static_assert(N >= 26, "asctime text needs 26 bytes");
    std::memset(text, 0, N);
    std::tm local{};
    if (localtime_r(&when, &local) != nullptr) {
        asctime_r(&local, text);
    }
}

inline std::int64_t steady_seconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

// The same clock in milliseconds, for the voice path's call watchdogs.
inline std::int64_t steady_milliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
