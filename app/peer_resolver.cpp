#include "app/peer_resolver.h"

#include "core/clock.h"
#include "core/settings.h"
#include "core/text.h"
#include "core/thread.h"
#include "network/link.h"
#include "network/peer_lookup.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<bool> peer_lookup_wanted{false};

namespace {

// The thread's wake-up pace: the lookup itself keeps the 10 s.
constexpr unsigned LOOK_STEP_US = 200000;

void *peer_resolver_main(void *) {
    peer_lookup lookup(DMRGateway_address, resolve_ipv4);
    while (keep_running.load() != 0) {
        if (lookup.step(steady_milliseconds(), peer_lookup_wanted.load())) {
            link_peer_resolved(lookup.address());
        }
        usleep(LOOK_STEP_US);
    }
    return nullptr;
}

} // namespace

bool resolve_ipv4(const char *host, in_addr &address, char *reason, std::size_t reason_size) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int error = getaddrinfo(host, nullptr, &hints, &found);
    if (error != 0 || found == nullptr) {
        copy_text(reason, reason_size, error != 0 ? gai_strerror(error) : "no IPv4 address",
                  reason_size - 1);
        return false;
    }
    address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

void peer_resolver_start() {
    if (link_peer_is_name()) {
        start_detached(peer_resolver_main);
    }
}
