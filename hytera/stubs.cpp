// The voice receiver only drains its socket until the voice bridge is wired.
#include "hytera/service.h"

#include "core/settings.h"

#include <sys/socket.h>

void *audio_hytera_rpt(void *) {
    unsigned char buf[1024];
    while (keep_running.load() != 0) {
        if (recv(Local_Hytera_RPT_audio_srv_sock.load(), buf, sizeof buf, 0) < 0) {
            receive_failure_backoff();
        }
    }
    return nullptr;
}
