#include "core/sockets.h"

std::atomic<int> MMDVM_clientsock{-1};
