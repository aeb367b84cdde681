#include "hytera/service.h"

#include "core/sockets.h"
#include "hytera/outbox.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/thread.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<int> Local_Hytera_RPT_srv_sock{-1};
std::atomic<int> Local_Hytera_RPT_audio_srv_sock{-1};
std::atomic<int> Local_Hytera_RPT_rdac_srv_sock{-1};

namespace {

int open_bound_socket(std::atomic<int> &descriptor, int port, const char *failure_message) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    descriptor.store(fd);
    if (fd == -1) {
        ferrule_log(failure_message, errno);
        return 1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    // An unparsable address was already rejected by the configuration reader's
    // word rule only as far as emptiness goes; fall back to all addresses.
    if (inet_pton(AF_INET, Hytera_RPT_local_address, &local.sin_addr) != 1) {
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    // A failed bind (port in use) leaves the socket unbound; the service then
    // simply receives nothing on its port.
    (void)bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    return 0;
}

} // namespace

int Local_Hytera_RPT_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_srv_sock, Hytera_RPT_PORT,
                             "Failed to create server Local_Hytera_RPT_srv_sock, errno=%d\n");
}

int Local_Hytera_RPT_audio_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_audio_srv_sock, Hytera_RPT_AUDIO_PORT,
                             "Failed to create server socket2, errno=%d\n");
}

int Local_Hytera_RPT_rdac_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_rdac_srv_sock, Hytera_RPT_RDAC_PORT,
                             "Failed to create server Local_Hytera_RPT_rdac_srv_sock, errno=%d\n");
}

void send_outbox(const outbox &box) {
    for (std::size_t i = 0; i < box.count; ++i) {
        const outgoing_datagram &d = box.items[i];
        int fd = -1;
        switch (d.via) {
        case socket_kind::control:
            fd = Local_Hytera_RPT_srv_sock.load();
            break;
        case socket_kind::voice:
            fd = Local_Hytera_RPT_audio_srv_sock.load();
            break;
        case socket_kind::rdac:
            fd = Local_Hytera_RPT_rdac_srv_sock.load();
            break;
        case socket_kind::link:
            fd = MMDVM_clientsock.load();
            break;
        }
        if (fd >= 0) {
            (void)sendto(fd, d.bytes.data(), d.length, 0, reinterpret_cast<const sockaddr *>(&d.to),
                         sizeof d.to);
        }
    }
}

std::atomic<thread_body> Hytera_RPT_voice_thread{voice_port_drain};

void *voice_port_drain(void *) {
    std::array<unsigned char, 224> buffer{};
    while (keep_running.load() != 0) {
        if (recv(Local_Hytera_RPT_audio_srv_sock.load(), buffer.data(), buffer.size(), 0) < 0) {
            receive_failure_backoff();
        }
    }
    return nullptr;
}

void receive_failure_backoff() {
    usleep(RECEIVE_FAILURE_BACKOFF_US);
}

void *Hytera_main(void *) {
    sleep(5);
    if (Local_Hytera_RPT_srv_open() != 0) {
        ferrule_log("* Local_Hytera_RPT_srv_open() failed\n");
    }
    if (Local_Hytera_RPT_audio_srv_open() != 0) {
        ferrule_log("Local_Hytera_RPT_audio_srv_open() failed\n");
    }
    if (Local_Hytera_RPT_rdac_srv_open() != 0) {
        ferrule_log("Local_Hytera_RPT_rdac_srv_open() failed\n");
    }
    start_detached(Hytera_RPT_rdac);
    start_detached(Hytera_RPT_voice_thread.load());
    start_detached(localHytera_RPT_handler);
    while (keep_running.load() != 0) {
        sleep(1);
        InsertHytera_RPTOnlineTimer();
    }
    ferrule_log("EXIT ferrule\n");
    return nullptr;
}
