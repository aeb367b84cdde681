#pragma once
// The link socket is opened by the network side but also sent on by the
// repeater side (close messages for timed-out repeaters); it lives here so
// neither side has to link the other for it.

#include <atomic>

// -1 until the link socket is created.
extern std::atomic<int> MMDVM_clientsock;
