#include "hytera/guard.h"

#include "core/log.h"
#include "core/settings.h"

#include <arpa/inet.h>
#include <cstdio>

repeater_guard Hytera_RPT_guard{Hytera_RPT_allow};

bool repeater_guard::admits(const sockaddr_in &from, const char *port, std::time_t now) {
    if (allow_.contains(from.sin_addr.s_addr)) {
        return true;
    }
    rate_decision d;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        d = refusal_lines_.admit(from.sin_addr.s_addr, 0, static_cast<std::int64_t>(now) * 1000);
    }
    if (!d.pass) {
        return false;
    }
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof dotted);
    char since[96] = "";
    if (d.held > 0) {
        std::snprintf(since, sizeof since, " (%llu more refused from %s since the last line)",
                      static_cast<unsigned long long>(d.held), d.shared ? "many senders" : dotted);
    }
    ferrule_log("Datagram from %s:%u on the %s port refused: address not in Hytera_RPT_allow%s\n",
                dotted, static_cast<unsigned>(ntohs(from.sin_port)), port, since);
    return false;
}
