#pragma once
// Two repeaters behind the daemon in the master mode: the bridge rig's
// repeater on 127.0.0.2 and a second simulated repeater on 127.0.0.4, with
// DMR IDs of their own, and the simulated peer as a master with a password.
// The second starts once the first is logged in, so the first holds repeater
// index 0 and the second index 1.

#include "testing/bridge_rig.h"
#include "voice/dmrd_frame.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

class master_pair {
  public:
    static constexpr std::uint32_t FIRST = 2620101;
    static constexpr std::uint32_t SECOND = 2620112;
    static constexpr const char *PASSWORD = "passw0rd";
    static constexpr const char *SECOND_CALLSIGN = "DB0TWO";
    static constexpr const char *OPTIONS = "TS2=91;";

    // The extra arguments carry the peer's and each repeater's calls and pace.
    master_pair(const std::vector<std::string> &peer_extra,
                const std::vector<std::string> &first_extra, std::vector<std::string> second_extra,
                int lifetime_seconds)
        : rig(bridge_rig::with({"--mode", "master", "--password", PASSWORD}, peer_extra),
              bridge_rig::with({"--id", std::to_string(FIRST)}, first_extra), lifetime_seconds,
              std::string("DMRGateway_mode=master\nDMRGateway_password=") + PASSWORD +
                  "\nDMRGateway_options=" + OPTIONS + "\n"),
          second_extra_(std::move(second_extra)), lifetime_(lifetime_seconds) {}

    // Starts the second repeater once the first is logged in; true when both are.
    bool start_second(std::chrono::milliseconds timeout) {
        if (!rig.daemon.wait_for_output(logged_in(0, FIRST), timeout)) {
            return false;
        }
        second.emplace(
            FERRULE_SIM_REPEATER, rig.dir.path(),
            bridge_rig::with(
                {"--local", "127.0.0.4", "--control-port", std::to_string(rig.ports.control),
                 "--voice-port", std::to_string(rig.ports.voice), "--rdac-port",
                 std::to_string(rig.ports.rdac), "--id", std::to_string(SECOND), "--callsign",
                 SECOND_CALLSIGN, "--firmware", bridge_rig_defaults::FIRMWARE, "--duration",
                 std::to_string(lifetime_), "--quiet", "--frames", "--calls-on-signal"},
                second_extra_),
            "repeater2.txt");
        return rig.daemon.wait_for_output(logged_in(1, SECOND), timeout);
    }
    void release_repeater_calls() const {
        rig.release_repeater_calls();
        second->signal(SIGUSR2);
    }

    // The daemon's line for a link that logged in.
    std::string logged_in(int index, std::uint32_t id) const {
        return std::string("master link ") + (index == 0 ? "" : std::to_string(index) + " ") +
               "to 127.0.0.1:" + std::to_string(rig.ports.peer) + ": repeater " +
               std::to_string(id) + " logged in\n";
    }
    std::string outputs() const {
        return rig.daemon.output() + rig.peer.output() + (second ? second->output() : "");
    }

    // The DMRD frames among `all` that carry repeater ID `id` (bytes 11-14).
    static std::vector<sim::frame_line> frames_of(const std::vector<sim::frame_line> &all,
                                                  std::uint32_t id) {
        std::vector<sim::frame_line> mine;
        for (const sim::frame_line &f : all) {
            if (f.bytes.size() == dmrd_frame::LENGTH &&
                dmrd_frame::read_be(
                    std::span<const std::uint8_t>(f.bytes).first<dmrd_frame::LENGTH>(),
                    dmrd_frame::REPEATER_ID, 4) == id) {
                mine.push_back(f);
            }
        }
        return mine;
    }

    bridge_rig rig;
    std::optional<ferrule_test::ChildProcess> second;

  private:
    std::vector<std::string> second_extra_;
    int lifetime_;
};
