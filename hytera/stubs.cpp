// Receiver bodies that only drain their socket until their services exist.
#include "hytera/service.h"

#include "core/settings.h"

#include <sys/socket.h>

namespace {
void *drain(std::atomic<int> &socket_fd) {
    unsigned char buf[1024];
    while (keep_running.load() != 0) {
        if (recv(socket_fd.load(), buf, sizeof buf, 0) < 0) {
            receive_failure_backoff();
        }
    }
    return nullptr;
}
} // namespace

void *Hytera_RPT_rdac(void *) {
    return drain(Local_Hytera_RPT_rdac_srv_sock);
}
void *audio_hytera_rpt(void *) {
    return drain(Local_Hytera_RPT_audio_srv_sock);
}
void *localHytera_RPT_handler(void *) {
    return drain(Local_Hytera_RPT_srv_sock);
}
void InsertHytera_RPTOnlineTimer() {}
