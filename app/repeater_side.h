#pragma once
// Repeater-side threads: the supervisor waits 5 s, starts one receiver thread
// per socket (control, voice, RDAC; opened by main) and ticks the online
// supervision once a second.

#include <netinet/in.h>

void *Hytera_main(void *);
void *Hytera_RPT_rdac(void *);
void *localHytera_RPT_handler(void *);

// One pass of the online supervision over the daemon's table; a repeater that
// timed out is reported to the network peer with a close message.
void InsertHytera_RPTOnlineTimer();

// Registers or refreshes on the daemon's table and sends what that queues.
void InsertHytera_RPT(int portKind, sockaddr_in sourceAddress, const char *addressText);
