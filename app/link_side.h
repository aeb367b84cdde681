#pragma once
// Link-side threads: the link thread receives from the network peer, the peer
// timer thread ages the peer table, and the supervision loop sends the
// keep-alives.

#include <netinet/in.h>

void *MMDVM_main(void *);
void *MMDVM_TIMER_SYSTEM(void *);
// Called by the supervision loop: a login request while state 0, else a
// keep-alive. Only the login mode uses it; the other modes keep their own time.
void SEND_HB_TO_MMDVM();

// Reads DMRGateway_mode once the configuration is read and before the link
// thread starts. An unknown mode is logged; false then, and the daemon must
// not start.
bool MMDVM_link_mode_configured();
// True in the master mode, where every repeater has a link of its own; set by
// MMDVM_link_mode_configured.
bool MMDVM_link_per_repeater();

// After the supervision loop ends: in the master mode, waits briefly for the
// link thread to finish and closes the login with RPTCL. Does nothing in the
// other modes.
void MMDVM_send_close_on_stop();

// A repeater left the repeater table: the login mode tells the peer with
// RPTCL. The other modes send nothing here; their link notices by itself
// when repeater index 0 is gone.
void MMDVM_repeater_gone(int id);
