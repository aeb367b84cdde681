#pragma once
// Debian's MQTT broker (mosquitto) on a free loopback port, for the MQTT test
// and the latency benchmark: no persistence, so a retained message seen after
// a restart was published again. Needs FERRULE_MOSQUITTO (empty when the
// broker is not installed) and FERRULE_MOSQUITTO_SUB.

#include "testing/daemon_process.h"
#include "testing/http_client.h"
#include "testing/test_support.h"

#include <string>
#include <vector>

namespace ferrule_test {

inline bool mqtt_tools_installed() {
    return !std::string(FERRULE_MOSQUITTO).empty() && !std::string(FERRULE_MOSQUITTO_SUB).empty();
}

class mqtt_broker {
  public:
    mqtt_broker(const ScratchDir &dir, int port, const std::string &output_name)
        : process_(FERRULE_MOSQUITTO, dir.path(),
                   {"-c", dir.write("broker.conf", "listener " + std::to_string(port) +
                                                       " 127.0.0.1\nallow_anonymous true\n"
                                                       "log_dest stdout\n")
                              .string()},
                   output_name) {
        using namespace std::chrono_literals;
        for (int i = 0; i < 100 && !accepts(port); ++i) {
            std::this_thread::sleep_for(50ms);
        }
    }
    int stop() {
        process_.signal(SIGTERM);
        return process_.wait_exit(std::chrono::seconds(5));
    }

  private:
    static bool accepts(int port) {
        const int fd = http_connect(port);
        return fd >= 0 && close(fd) == 0;
    }
    ChildProcess process_;
};

// mosquitto_sub's arguments: every message as "topic payload" on a line.
inline std::vector<std::string> mqtt_subscriber_args(int port,
                                                     const std::vector<std::string> &topics) {
    std::vector<std::string> args = {"-h", "127.0.0.1", "-p", std::to_string(port), "-v"};
    for (const std::string &t : topics) {
        args.insert(args.end(), {"-t", t});
    }
    return args;
}

} // namespace ferrule_test
