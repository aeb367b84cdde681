#pragma once
// The daemon between the simulated peer and the simulated repeater on
// loopback, both holding their calls until released, both printing every
// voice frame: what the end-to-end test, the soak and the latency benchmark
// stand on. Needs FERRULE_BINARY, FERRULE_SIM_PEER and FERRULE_SIM_REPEATER.

#include "sim/sim_common.h"
#include "testing/daemon_process.h"
#include "testing/test_support.h"

#include <string>
#include <vector>

namespace bridge_rig_defaults {
inline constexpr std::uint32_t REPEATER_ID = 311234;
inline constexpr const char *FIRMWARE = "A8.05.07.001";
inline constexpr const char *CALLSIGN = "DB0TST";
} // namespace bridge_rig_defaults

class bridge_rig {
  public:
    // The extra arguments carry each side's calls and pace; `config_extra`
    // holds configuration lines added to the loopback configuration.
    bridge_rig(const std::vector<std::string> &peer_extra,
               const std::vector<std::string> &repeater_extra, int lifetime_seconds,
               const std::string &config_extra = "")
        : daemon(start_daemon(config_extra)),
          peer(FERRULE_SIM_PEER, dir.path(),
               with({"--port", std::to_string(ports.peer), "--duration",
                     std::to_string(lifetime_seconds), "--frames", "--calls-on-signal"},
                    peer_extra),
               "peer.txt"),
          repeater(FERRULE_SIM_REPEATER, dir.path(),
                   with({"--control-port", std::to_string(ports.control), "--voice-port",
                         std::to_string(ports.voice), "--rdac-port", std::to_string(ports.rdac),
                         "--id", std::to_string(bridge_rig_defaults::REPEATER_ID), "--firmware",
                         bridge_rig_defaults::FIRMWARE, "--callsign", bridge_rig_defaults::CALLSIGN,
                         "--duration", std::to_string(lifetime_seconds), "--quiet", "--frames",
                         "--calls-on-signal"},
                        repeater_extra),
                   "repeater.txt") {}

    bool wait_for_login(std::chrono::milliseconds timeout) const {
        return daemon.wait_for_output(".....recv RPTACK 2:", timeout);
    }
    void release_peer_calls() const { peer.signal(SIGUSR2); }
    // Stops the daemon as an operator does; its exit status, -1 if it hangs.
    int stop() {
        daemon.signal(SIGINT);
        return daemon.wait_exit(std::chrono::seconds(5));
    }
    void release_repeater_calls() const { repeater.signal(SIGUSR2); }

    // Waits until `p` printed at least `count` frames in `direction`.
    static bool wait_for_frames(const ferrule_test::ChildProcess &p, const std::string &direction,
                                std::size_t count, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (sim::count_frame_lines(p.output(), direction) >= count) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    ferrule_test::ScratchDir dir;
    ferrule_test::DaemonPorts ports;
    ferrule_test::ChildProcess daemon;
    ferrule_test::ChildProcess peer;
    ferrule_test::ChildProcess repeater;

    static std::vector<std::string> with(std::vector<std::string> base,
                                         const std::vector<std::string> &extra) {
        base.insert(base.end(), extra.begin(), extra.end());
        return base;
    }

  private:
    ferrule_test::ChildProcess start_daemon(const std::string &config_extra) const {
        dir.write("f.cfg", ferrule_test::loopback_config(ports) + config_extra);
        return ferrule_test::ChildProcess(FERRULE_BINARY, dir.path(), {"f.cfg"}, "daemon.txt");
    }
};
