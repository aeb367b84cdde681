#include "network/peer_lookup.h"

#include "core/log.h"
#include "core/settings.h"

#include <arpa/inet.h>

bool peer_lookup::step(std::int64_t now_ms, bool again) {
    const bool due = !looked_ || ((!resolved_ || again) && now_ms - last_ms_ >= RETRY_MS);
    if (!due) {
        return false;
    }
    looked_ = true;
    last_ms_ = now_ms;
    in_addr found{};
    char reason[128] = {};
    if (!resolve_(host_, found, reason, sizeof reason)) {
        // A name that resolved before keeps its address until it resolves again.
        ferrule_log("DMRGateway_address %s does not resolve (%s), trying again in %lld s\n", host_,
                    reason, static_cast<long long>(RETRY_MS / 1000));
        return false;
    }
    const bool changed = !resolved_ || found.s_addr != address_.s_addr;
    resolved_ = true;
    address_ = found;
    if (changed) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &found, text, sizeof text);
        ferrule_log("DMRGateway_address %s resolves to %s\n", host_, text);
    }
    return changed;
}
