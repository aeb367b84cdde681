#include "network/link.h"

std::atomic<int> Hytera_RPT_MMDVM_LOGIN[50];

void *MMDVM_main(void *) {
    return nullptr;
}
void SEND_HB_TO_MMDVM() {}
