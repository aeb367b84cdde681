#pragma once
// Link-side threads: the link thread receives from the network peer, the peer
// timer thread ages the peer table, and the supervision loop sends the
// keep-alives.

#include <netinet/in.h>

void *MMDVM_main(void *);
void *MMDVM_TIMER_SYSTEM(void *);
// Called by the supervision loop: a login request while state 0, else a keep-alive.
void SEND_HB_TO_MMDVM();
