#pragma once
// Repeater-side supervisor: opens the control, voice and RDAC sockets, starts
// one receiver thread per socket and ticks the online supervision once a second.

#include <atomic>

// Socket descriptors, -1 until created. Each is received on by exactly one
// thread; sending from other threads is safe on a UDP socket.
extern std::atomic<int> Local_Hytera_RPT_srv_sock;
extern std::atomic<int> Local_Hytera_RPT_audio_srv_sock;
extern std::atomic<int> Local_Hytera_RPT_rdac_srv_sock;

// Each returns 0 when the socket was created, 1 when creating it failed.
int Local_Hytera_RPT_srv_open();
int Local_Hytera_RPT_audio_srv_open();
int Local_Hytera_RPT_rdac_srv_open();

void *Hytera_main(void *);

// Receiver thread bodies and the once-a-second supervision step.
void *Hytera_RPT_rdac(void *);
void *localHytera_RPT_handler(void *);

// The voice port's receiver thread body. The voice bridge installs its own
// before start-up; until then the port is only drained, so a repeater side
// built without the bridge (its own tests) still runs.
using thread_body = void *(*)(void *);
extern std::atomic<thread_body> Hytera_RPT_voice_thread;
void *voice_port_drain(void *);
void InsertHytera_RPTOnlineTimer();

// A receive that fails (socket not created, interrupted) must not make a
// receiver thread spin: it waits this long before receiving again.
inline constexpr unsigned RECEIVE_FAILURE_BACKOFF_US = 100000;
void receive_failure_backoff();
