#include "app/link_side.h"
#include "app/repeater_side.h"
#include "app/status_server.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/signal_report.h"
#include "core/supervision.h"
#include "core/thread.h"
#include "network/link.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

namespace {

void list_interfaces() {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        return;
    }
    for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        char text[16];
        const auto *in = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
            ferrule_log("%s IP Address %s\n", entry->ifa_name, text);
        }
    }
    freeifaddrs(list);
}

void print_usage() {
    ferrule_log("Usage: ferrule <configFile> \n");
    ferrule_log("Example: ferrule ferrule.cfg \n");
}

} // namespace

int main(int argc, char **argv) {
    list_interfaces();

    signal_report_prepare();
    struct sigaction action {};
    action.sa_handler = sigCatch;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);

    const char *config_file = "ferrule.cfg";
    if (argc < 2) {
        print_usage();
    } else if (std::strcmp(argv[1], "-d") == 0) {
        (void)daemon(1, 0);
        ferrule_log("ferrule started in daemon mode\n");
        if (argc > 2) {
            config_file = argv[2];
        } else {
            print_usage();
        }
    } else {
        config_file = argv[1];
    }
    // The reporter reads settings: it starts only once they are written.
    read_config(config_file);
    signal_report_start();

    // Stream ids need only differ from one run to the next, not be unguessable.
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp)
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    ferrule_log("\n\nMaster %s initialized...entering processing\n", FERRULE_VERSION);

    status_page_start();
    start_detached(Hytera_main);
    start_detached(MMDVM_main);

    SupervisionCounters counters;
    while (keep_running.load() != 0) {
        int calls = supervision_pass(counters, Hytera_RPT_MMDVM_LOGIN[0].load());
        for (int i = 0; i < calls; ++i) {
            SEND_HB_TO_MMDVM();
        }
        sleep(1);
    }
    signal_report_drain(1000);
    ferrule_log("EXIT MASTER\n");
    // The worker threads are never joined; returning from main ends them.
    return 0;
}
