#include "app/sockets.h"

#include "core/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <sys/time.h>
#include <unistd.h>

std::atomic<int> Local_Hytera_RPT_srv_sock{-1};
std::atomic<int> Local_Hytera_RPT_audio_srv_sock{-1};
std::atomic<int> Local_Hytera_RPT_rdac_srv_sock{-1};
std::atomic<int> MMDVM_clientsock{-1};

namespace {

int open_bound_socket(std::atomic<int> &descriptor, const char *address, int port,
                      const char *failure_message) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1) {
        ferrule_log(failure_message, errno);
        return 1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    // An unparsable address was rejected by the configuration reader's word
    // rule only as far as emptiness goes; fall back to all addresses.
    if (inet_pton(AF_INET, address, &local.sin_addr) != 1) {
        local.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    // A failed bind leaves the socket unbound; the service then receives
    // nothing on its port (the link socket is bound by its first send).
    (void)bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    descriptor.store(fd);
    return 0;
}

} // namespace

int Local_Hytera_RPT_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_srv_sock, Hytera_RPT_local_address, Hytera_RPT_PORT,
                             "Failed to create server Local_Hytera_RPT_srv_sock, errno=%d\n");
}

int Local_Hytera_RPT_audio_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_audio_srv_sock, Hytera_RPT_local_address,
                             Hytera_RPT_AUDIO_PORT, "Failed to create server socket2, errno=%d\n");
}

int Local_Hytera_RPT_rdac_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_rdac_srv_sock, Hytera_RPT_local_address,
                             Hytera_RPT_RDAC_PORT,
                             "Failed to create server Local_Hytera_RPT_rdac_srv_sock, errno=%d\n");
}

int MMDVM_clientopen() {
    return open_bound_socket(MMDVM_clientsock, DMRGateway_local_address, DMRGateway_local_port,
                             "Failed to create server socket2, errno=%d\n");
}

void send_datagram(int fd, std::span<const std::uint8_t> bytes, const sockaddr_in &to) {
    if (fd >= 0) {
        (void)sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                     sizeof to);
    }
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
        }
        send_datagram(fd, d.payload(), d.to);
    }
}

void set_receive_timeout(int fd, unsigned milliseconds) {
    const timeval timeout{static_cast<time_t>(milliseconds / 1000),
                          static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
    if (fd >= 0) {
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
}

void receive_failure_backoff() {
    usleep(RECEIVE_FAILURE_BACKOFF_US);
}

void pause_before_receive(unsigned microseconds) {
    if (microseconds > 0) {
        usleep(microseconds);
    }
}
