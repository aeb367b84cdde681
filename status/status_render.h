#pragma once
// The status page's two machine-readable views of a snapshot: JSON for the
// page and anyone scripting against it, and the Prometheus text format for
// graphing. Plain functions of the snapshot; no clock, no table is read.

#include "status/status_snapshot.h"

#include <string>

std::string render_status_json(const status_snapshot &s);
std::string render_metrics(const status_snapshot &s);

// Words for the link's login state, as the page and the JSON show them.
const char *link_state_words(int login_state);
