#pragma once
// The thread that keeps the DMR ID list current: it reads the file at start
// and again whenever its modification time changes, checked once a minute.
// Calls go on while it reads; the voice path sees the old list until the new
// one replaces it whole.

#include <ctime>
#include <sys/types.h>

struct id_list_watch {
    bool seen = false;     // the file was read (or failed) at least once
    bool readable = false; // at the last check
    bool loaded = false;   // a list was published
    std::time_t modified = 0;
    off_t size = 0;
};

// One check of `path` at wall time `now`: reads and publishes the file into
// dmr_ids when it is new or changed, logging one line for each load or
// failure (a file that stays missing is logged once).
void id_list_check(const char *path, id_list_watch &watch, std::time_t now);

// Body of the loader thread; started only when DMRIds_file is set.
void *id_list_loader(void *);
