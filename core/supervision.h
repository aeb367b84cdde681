#pragma once
// One pass of the one-second supervision loop: the tests come before the
// increments, so with both counters at 0 the login test first fires on pass 7
// (then every 6 passes) and the keep-alive test on pass 31 (then every 30).

struct SupervisionCounters {
    int login = 0;
    int keepalive = 0;
};

// Returns how many times the keep-alive sender is to be called this pass.
int supervision_pass(SupervisionCounters &counters, int link_login_state);
