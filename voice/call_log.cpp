#include "voice/call_log.h"

#include "core/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

const char *opening(call_direction direction) {
    return direction == call_direction::to_repeater ? "Network call to the repeater"
                                                    : "Repeater call to the network";
}

unsigned slot_number(std::size_t slot) {
    return static_cast<unsigned>(slot + 1);
}

// Nothing for index 0, so a single repeater's lines stay as they were.
struct repeater_note {
    char text[40] = {};
    explicit repeater_note(std::size_t repeater) {
        if (repeater > 0) {
            std::snprintf(text, sizeof text, ", repeater index %zu", repeater);
        }
    }
};

// What the playout buffer did to a network call, when it did anything.
struct playout_note {
    char text[80] = {};
    playout_note(call_direction direction, const call_figures &f) {
        if (direction == call_direction::to_repeater &&
            f.late_frames + f.duplicate_frames + f.silence_frames > 0) {
            std::snprintf(text, sizeof text, "; %u late, %u duplicated, %u filled with silence",
                          f.late_frames, f.duplicate_frames, f.silence_frames);
        }
    }
};

call_info info_of(call_direction direction, std::size_t slot, const slot_call &call,
                  std::size_t repeater) {
    call_info info;
    info.direction = direction;
    info.slot = static_cast<std::uint8_t>(slot);
    info.repeater = static_cast<std::uint8_t>(repeater);
    info.source = call.source;
    info.destination = call.destination;
    info.group = !call.is_private;
    info.stream_id = call.stream_id;
    info.started_ms = call.started_ms;
    info.figures = call.figures;
    return info;
}

std::atomic<call_event_hook> event_hook{nullptr};

void tell(call_event_kind kind, const call_info &call) {
    const call_event_hook hook = event_hook.load(std::memory_order_acquire);
    if (hook == nullptr) {
        return;
    }
    call_event e;
    e.kind = kind;
    e.call = call;
    e.wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
    hook(e);
}

// What the call's figures add to its end line: who, by list and alias,
// where, and how well it got through.
struct figures_note {
    char text[256] = {};
    explicit figures_note(const call_figures &f) {
        char who[64] = {};
        if (f.source_callsign[0] != 0 && f.source_name[0] != 0) {
            std::snprintf(who, sizeof who, "; from %s (%s)", f.source_callsign, f.source_name);
        } else if (f.source_callsign[0] != 0) {
            std::snprintf(who, sizeof who, "; from %s", f.source_callsign);
        }
        char alias[64] = {};
        if (f.talker_alias[0] != 0) {
            std::snprintf(alias, sizeof alias, "; talker alias \"%s\"", f.talker_alias);
        }
        char where[64] = {};
        if (f.has_position) {
            std::snprintf(where, sizeof where, "; position %.5f, %.5f", f.latitude, f.longitude);
        }
        std::snprintf(text, sizeof text,
                      "%s%s%s; %u frames, %u lost (%.1f%%), BER %.1f%% (%u of %u bits)", who, alias,
                      where, f.frames, f.lost_frames, loss_percent(f), ber_percent(f), f.bit_errors,
                      f.bits_checked);
    }
};

} // namespace

void set_call_event_hook(call_event_hook hook) {
    event_hook.store(hook, std::memory_order_release);
}

void call_alias_heard(call_direction direction, std::size_t slot, const slot_call &call,
                      std::size_t repeater) {
    ferrule_log_unlimited("%s: talker alias of %u on TS%u is \"%s\"%s\n", opening(direction),
                          call.source, slot_number(slot), call.figures.talker_alias,
                          repeater_note(repeater).text);
    tell(call_event_kind::text, info_of(direction, slot, call, repeater));
}

void call_position_heard(call_direction direction, std::size_t slot, const slot_call &call,
                         std::size_t repeater) {
    ferrule_log_unlimited("%s: position of %u on TS%u is %.5f, %.5f%s\n", opening(direction),
                          call.source, slot_number(slot), call.figures.latitude,
                          call.figures.longitude, repeater_note(repeater).text);
    tell(call_event_kind::gps, info_of(direction, slot, call, repeater));
}

void call_started(call_direction direction, std::size_t slot, const slot_call &call,
                  std::size_t repeater, bool late_entry) {
    const call_info info = voice_calls.start(info_of(direction, slot, call, repeater));
    tell(late_entry ? call_event_kind::late_entry : call_event_kind::start, info);
    ferrule_log_unlimited("%s started: TS%u, %s call %u -> %u, stream %08X%s\n", opening(direction),
                          slot_number(slot), call.is_private ? "private" : "group", call.source,
                          call.destination, call.stream_id, repeater_note(repeater).text);
}

void call_ended(call_direction direction, std::size_t slot, const slot_call &call, call_end how,
                std::int64_t now_ms, std::size_t repeater) {
    const call_info ended = voice_calls.end(direction, static_cast<std::uint8_t>(slot), how, now_ms,
                                            static_cast<std::uint8_t>(repeater), &call.figures);
    if (ended.how != call_end::running) {
        tell(how == call_end::watchdog ? call_event_kind::lost : call_event_kind::end, ended);
    }
    const char *why = how == call_end::watchdog
                          ? "by the watchdog (no frame for 1.5 s), terminator sent"
                          : "by its terminator";
    ferrule_log_unlimited("%s ended %s: TS%u, %u -> %u, stream %08X, %.1f s%s%s%s\n",
                          opening(direction), why, slot_number(slot), call.source, call.destination,
                          call.stream_id, static_cast<double>(now_ms - call.started_ms) / 1000.0,
                          repeater_note(repeater).text, figures_note(call.figures).text,
                          playout_note(direction, call.figures).text);
}

void call_refused(std::size_t slot, const slot_call &refused, const slot_call &holder,
                  std::int64_t now_ms, std::size_t repeater) {
    call_info info = info_of(call_direction::to_repeater, slot, refused, repeater);
    info.started_ms = now_ms;
    info.how = call_end::busy;
    voice_calls.heard(info);
    ferrule_log_unlimited(
        "Network call dropped, TS%u busy: %u -> %u, stream %08X; TS%u carries %u -> %u%s\n",
        slot_number(slot), refused.source, refused.destination, refused.stream_id,
        slot_number(slot), holder.source, holder.destination, repeater_note(repeater).text);
}
