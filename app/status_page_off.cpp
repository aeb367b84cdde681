// A build without the status page (FERRULE_STATUS_PAGE=OFF): the settings are
// read as ever, and a configured page is reported as missing.
#include "app/status_server.h"

#include "core/log.h"
#include "core/settings.h"

void status_page_start() {
    if (Status_port != 0) {
        ferrule_log("Status page off: this build has none (FERRULE_STATUS_PAGE=OFF)\n");
    }
}
