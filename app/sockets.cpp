#include "app/sockets.h"

#include "core/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/time.h>
#include <system_error>
#include <unistd.h>

std::atomic<int> Local_Hytera_RPT_srv_sock{-1};
std::atomic<int> Local_Hytera_RPT_audio_srv_sock{-1};
std::atomic<int> Local_Hytera_RPT_rdac_srv_sock{-1};
std::atomic<int> MMDVM_clientsock{-1};
std::array<link_socket, LINK_SLOTS> MMDVM_link_socks;

namespace {

// A socket that cannot be bound would leave its service deaf while the daemon
// looks healthy, so a failed bind is said and the socket not kept.
int open_bound_socket(std::atomic<int> &descriptor, const char *what, const char *address, int port,
                      const char *failure_message, const char *consequence = "ferrule stops") {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd == -1) {
        ferrule_log(failure_message, errno);
        return 1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    // The configuration reader has already refused anything but a dotted address.
    const int failed = inet_pton(AF_INET, address, &local.sin_addr) != 1 ? EINVAL
                       : bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0
                           ? errno
                           : 0;
    if (failed == 0) {
        descriptor.store(fd);
        return 0;
    }
    close(fd);
    ferrule_log("Cannot bind the %s socket to %s:%d: %s; %s\n", what, address, port,
                std::generic_category().message(failed).c_str(), consequence);
    return 1;
}

} // namespace

int Local_Hytera_RPT_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_srv_sock, "repeater control",
                             Hytera_RPT_local_address, Hytera_RPT_PORT,
                             "Failed to create server Local_Hytera_RPT_srv_sock, errno=%d\n");
}

int Local_Hytera_RPT_audio_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_audio_srv_sock, "repeater voice",
                             Hytera_RPT_local_address, Hytera_RPT_AUDIO_PORT,
                             "Failed to create server socket2, errno=%d\n");
}

int Local_Hytera_RPT_rdac_srv_open() {
    return open_bound_socket(Local_Hytera_RPT_rdac_srv_sock, "repeater RDAC",
                             Hytera_RPT_local_address, Hytera_RPT_RDAC_PORT,
                             "Failed to create server Local_Hytera_RPT_rdac_srv_sock, errno=%d\n");
}

int MMDVM_clientopen() {
    return open_bound_socket(MMDVM_clientsock, "network link", DMRGateway_local_address,
                             DMRGateway_local_port, "Failed to create server socket2, errno=%d\n");
}

int MMDVM_link_socket(std::size_t index) {
    if (index == 0) {
        return MMDVM_clientsock.load();
    }
    return index < MMDVM_link_socks.size() ? MMDVM_link_socks[index].fd.load() : -1;
}

int MMDVM_link_open(std::size_t index) {
    if (index == 0 || index >= MMDVM_link_socks.size()) {
        return MMDVM_link_socket(index) >= 0 ? 0 : 1;
    }
    if (MMDVM_link_socks[index].fd.load() >= 0) {
        return 0;
    }
    char what[48];
    std::snprintf(what, sizeof what, "network link %zu", index);
    const int port = DMRGateway_local_port + static_cast<int>(index);
    if (port > 65535) {
        ferrule_log("The %s socket has no port: %d is beyond 65535; its repeater stays off the "
                    "network\n",
                    what, port);
        return 1;
    }
    return open_bound_socket(MMDVM_link_socks[index].fd, what, DMRGateway_local_address, port,
                             "Failed to create the network link socket, errno=%d\n",
                             "its repeater stays off the network until it can");
}

bool open_all_sockets() {
    return Local_Hytera_RPT_srv_open() == 0 && Local_Hytera_RPT_audio_srv_open() == 0 &&
           Local_Hytera_RPT_rdac_srv_open() == 0 && MMDVM_clientopen() == 0;
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
