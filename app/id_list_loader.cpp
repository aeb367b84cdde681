#include "app/id_list_loader.h"

#include "core/log.h"
#include "core/settings.h"
#include "ids/id_list.h"

#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {
constexpr int CHECK_SECONDS = 60;

// Once per failure, not once a minute: the line stands until the file is back.
void log_unreadable(const char *path, int error, id_list_watch &watch) {
    if (watch.seen && !watch.readable) {
        return;
    }
    // strerror's buffer is shared between threads; this text is not.
    ferrule_log("DMR ID list %s cannot be read (%s): %s\n", path,
                std::generic_category().message(error).c_str(),
                watch.loaded ? "the list read before stays in use"
                             : "calls are shown without names");
    watch.seen = true;
    watch.readable = false;
}
} // namespace

void id_list_check(const char *path, id_list_watch &watch, std::time_t now) {
    struct stat st {};
    if (::stat(path, &st) != 0) {
        log_unreadable(path, errno, watch);
        return;
    }
    if (watch.readable && st.st_mtime == watch.modified && st.st_size == watch.size) {
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    id_read_counts counts;
    std::unique_ptr<const id_table> table = id_table_read(path, counts);
    if (table == nullptr) {
        log_unreadable(path, errno, watch);
        return;
    }
    watch = {true, true, true, st.st_mtime, st.st_size};
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    dmr_ids.publish(std::move(table), {path, counts.entries, counts.skipped_lines, now});
    ferrule_log("DMR ID list %s loaded: %zu entries, %zu lines skipped, in %.2f s\n", path,
                counts.entries, counts.skipped_lines, seconds);
}

void *id_list_loader(void *) {
    dmr_ids.set_file(DMRIds_file);
    id_list_watch watch;
    while (keep_running.load() != 0) {
        id_list_check(DMRIds_file, watch, std::time(nullptr));
        for (int i = 0; i < CHECK_SECONDS && keep_running.load() != 0; ++i) {
            sleep(1);
        }
    }
    return nullptr;
}
