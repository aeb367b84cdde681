#pragma once
// Link to the network peer.

#include <atomic>

// Link login state per repeater entry; entry 0 is the link's own state:
// 0 not logged in, 1 key sent, 2 configuration sent.
extern std::atomic<int> Hytera_RPT_MMDVM_LOGIN[50];

void *MMDVM_main(void *);
// Called by the supervision loop: a login request while state 0, else a keep-alive.
void SEND_HB_TO_MMDVM();
