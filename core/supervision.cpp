#include "core/supervision.h"

int supervision_pass(SupervisionCounters &counters, int link_login_state) {
    int calls = 0;
    if (counters.login > 5) {
        if (link_login_state == 0) {
            ++calls;
        }
        counters.login = 0;
    }
    if (counters.keepalive > 29) {
        if (link_login_state > 0) {
            ++calls;
        }
        counters.keepalive = 0;
    }
    ++counters.login;
    ++counters.keepalive;
    return calls;
}
