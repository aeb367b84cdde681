#pragma once
// The status page's two machine-readable views of a snapshot: JSON for the
// page and anyone scripting against it, and the Prometheus text format for
// graphing. Plain functions of the snapshot; no clock, no table is read.

#include "status/status_snapshot.h"
#include "voice/call_log.h"

#include <string>

std::string render_status_json(const status_snapshot &s);
std::string render_metrics(const status_snapshot &s);

// Words for the link's login state, as the page and the JSON show them.
const char *link_state_words(int login_state);

// The MQTT client's objects, in MMDVMHost's schema so that what reads
// MMDVMHost reads ferrule: {"DMR": {...}} for a call's start, late entry,
// end or loss, {"Text": {...}} for its talker alias, and ferrule's own
// {"GPS": {...}} for its position; each with the repeater's index and DMR ID
// (from `repeater`, the call's table entry; 0 until it is identified).
std::string render_call_event(const call_event &e, const repeater_entry &repeater);
// Unix milliseconds as "2026-12-07T12:34:56.789Z".
std::string mqtt_timestamp(std::int64_t wall_ms);
// What changes when a repeater registers, is identified or goes, or a link
// comes up, goes down or is refused: the status goes out again when it differs.
std::string status_change_key(const status_snapshot &s);
