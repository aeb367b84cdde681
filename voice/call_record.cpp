#include "voice/call_record.h"

call_record voice_calls;
frame_counters voice_frames;

namespace {

std::size_t active_index(std::uint8_t repeater, call_direction d, std::uint8_t slot) {
    const std::size_t r = repeater < VOICE_REPEATERS ? repeater : 0;
    return (r * 2 + static_cast<std::size_t>(d)) * 2 + (slot & 1U);
}

// The reactions know only the monotonic clock; the record adds the wall
// clock time for display.
void stamp_wall_clock(call_info &call) {
    if (call.started == 0) {
        call.started = std::time(nullptr);
    }
}

} // namespace

double loss_percent(const call_figures &f) {
    const double expected = static_cast<double>(f.frames) + f.lost_frames;
    return expected > 0 ? 100.0 * (static_cast<double>(f.lost_frames) + f.late_frames) / expected
                        : 0.0;
}

double ber_percent(const call_figures &f) {
    return f.bits_checked > 0 ? 100.0 * f.bit_errors / f.bits_checked : 0.0;
}

const char *call_direction_name(call_direction d) {
    return d == call_direction::to_network ? "repeater to network" : "network to repeater";
}

const char *call_end_name(call_end e) {
    switch (e) {
    case call_end::running:
        return "running";
    case call_end::terminator:
        return "terminator";
    case call_end::watchdog:
        return "watchdog";
    case call_end::busy:
        return "dropped, slot busy";
    }
    return "unknown";
}

const char *drop_reason_name(drop_reason r) {
    switch (r) {
    case drop_reason::not_registered:
        return "not_registered";
    case drop_reason::call_type:
        return "call_type";
    case drop_reason::busy_slot:
        return "busy_slot";
    case drop_reason::invalid:
        return "invalid";
    case drop_reason::no_destination:
        return "no_destination";
    case drop_reason::count_:
        break;
    }
    return "unknown";
}

void call_record::start(const call_info &call) {
    call_info c = call;
    stamp_wall_clock(c);
    std::lock_guard<std::mutex> guard(mutex_);
    call_info &slot = active_[active_index(call.repeater, call.direction, call.slot)];
    slot = c;
    slot.active = true;
    slot.how = call_end::running;
}

void call_record::update(call_direction direction, std::uint8_t slot, std::uint8_t repeater,
                         const call_figures &figures) {
    std::lock_guard<std::mutex> guard(mutex_);
    call_info &running = active_[active_index(repeater, direction, slot)];
    if (running.active) {
        running.figures = figures;
    }
}

void call_record::end(call_direction direction, std::uint8_t slot, call_end how,
                      std::int64_t now_ms, std::uint8_t repeater, const call_figures *figures) {
    std::lock_guard<std::mutex> guard(mutex_);
    call_info &running = active_[active_index(repeater, direction, slot)];
    if (!running.active) {
        return;
    }
    if (figures != nullptr) {
        running.figures = *figures;
    }
    running.active = false;
    running.how = how;
    running.duration_ms = now_ms - running.started_ms;
    push_last(running);
}

void call_record::heard(const call_info &call) {
    call_info c = call;
    stamp_wall_clock(c);
    c.active = false;
    std::lock_guard<std::mutex> guard(mutex_);
    push_last(c);
}

void call_record::push_last(const call_info &call) {
    for (std::size_t i = LAST_HEARD - 1; i > 0; --i) {
        last_[i] = last_[i - 1];
    }
    last_[0] = call;
    if (last_count_ < LAST_HEARD) {
        ++last_count_;
    }
}

call_record::view call_record::copy() const {
    std::lock_guard<std::mutex> guard(mutex_);
    view v;
    v.active = active_;
    v.last = last_;
    v.last_count = last_count_;
    return v;
}

void call_record::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    active_ = {};
    last_ = {};
    last_count_ = 0;
}
