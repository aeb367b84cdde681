#pragma once
// The MQTT client: every log line, each call's start and end and the status
// document go to a broker (MQTT_address), where dashboards, displays and home
// automation read them. The log and the voice path only copy into a fixed
// ring: nothing there waits, allocates or takes a lock for it. A thread of
// the client's own drains the ring, renders and publishes, and runs
// libmosquitto's network loop, reconnecting with back-off. While no broker is
// connected messages are dropped and counted, never kept for later.
//
// Topics under MQTT_name: json (call objects), log (log lines), status (the
// /status.json document, retained), state (online/offline, retained; offline
// is also the will).

#include <cstdint>

// Starts the client when MQTT_address is set, with one log line either way
// it goes; nothing happens otherwise.
void mqtt_start();
// Publishes `offline` and disconnects cleanly; returns within about a second.
void mqtt_stop();
// Messages dropped so far; -1 while the client is off.
std::int64_t mqtt_dropped_total();
