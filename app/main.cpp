#include "app/command_line.h"
#include "app/id_list_loader.h"
#include "app/link_side.h"
#include "app/mqtt_client.h"
#include "app/peer_resolver.h"
#include "app/repeater_side.h"
#include "app/sockets.h"
#include "app/status_server.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/signal_report.h"
#include "core/supervision.h"
#include "core/thread.h"
#include "network/link.h"

#include <arpa/inet.h>
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
    const command_line::parsed args = command_line::parse(argc, argv);
    switch (args.what) {
    case command_line::action::help:
        ferrule_log("%s", command_line::help_text());
        return 0;
    case command_line::action::version:
        ferrule_log("%s\n", FERRULE_VERSION);
        return 0;
    case command_line::action::bad_option:
        ferrule_log("Unknown option %s\n%s", args.bad, command_line::help_text());
        return 1;
    case command_line::action::run:
        break;
    }

    list_interfaces();
    install_signal_handlers();
    if (args.usage_lines) {
        print_usage();
    }
    // Everything that can make the start fail happens before detaching, so
    // that the failure is seen and `ferrule -d` itself exits with status 1.
    read_config(args.config_file, !args.usage_lines);
    if (const char *fatal = config_fatal_error(); fatal != nullptr) {
        ferrule_log("%s", fatal);
        return 1;
    }
    if (!MMDVM_link_mode_configured()) {
        return 1;
    }
    if (!open_all_sockets()) {
        return 1;
    }
    if (args.detach) {
        (void)daemon(1, 0);
        ferrule_log("ferrule started in daemon mode\n");
    }
    // The reporter reads settings: it starts only once they are written, and
    // after daemon(), whose fork keeps only the calling thread.
    signal_report_start();

    // Stream ids need only differ from one run to the next, not be unguessable.
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp)
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    ferrule_log("\n\nMaster %s initialized...entering processing\n", FERRULE_VERSION);

    status_page_start();
    if (DMRIds_file[0] != 0) {
        start_detached(id_list_loader);
    }
    mqtt_start();
    start_detached(Hytera_main);
    peer_resolver_start();
    start_detached(MMDVM_main);

    SupervisionCounters counters;
    while (keep_running.load() != 0) {
        int calls = supervision_pass(counters, Hytera_RPT_MMDVM_LOGIN[0].load());
        for (int i = 0; i < calls; ++i) {
            SEND_HB_TO_MMDVM();
        }
        sleep(1);
    }
    MMDVM_send_close_on_stop();
    mqtt_stop();
    signal_report_drain(1000);
    ferrule_log("EXIT MASTER\n");
    // The worker threads are never joined; returning from main ends them.
    return 0;
}
