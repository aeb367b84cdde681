// Added latency of one voice frame through the running daemon on loopback, in
// each direction, beside a plain UDP relay carrying copies of the same frames
// between the same simulators at the same pace in the same seconds. The
// simulators stamp every frame with the machine's monotonic clock just before
// sending and just after receiving.
//
//   latency_bench [--superframes N] [--burst-ms N] [--poll-status HZ]
//                 [--id-list ENTRIES] [--alias] [--jitter-ms N] [--mqtt]
//
// Prints median and 99th percentile per path, the ratio to the relay, and the
// daemon's resident memory before and after the calls. With --poll-status a
// client reads the status page's /status.json HZ times a second throughout
// the calls, as a dashboard left open would, and its answer times are printed
// too. --id-list has the daemon load a generated DMR ID list of that many
// entries first; --alias has both calls carry a talker alias and a position
// in clean AMBE+2 bursts, so that every burst's decoding does its full work.
// With --jitter-ms the daemon holds network calls that long in its playout
// buffer (DMRGateway_jitter_ms), which then plays them at the air's pace: give
// --burst-ms 60, and the delay it adds over the relay is printed.
// With --mqtt the daemon publishes to Debian's broker (mosquitto) on a free
// loopback port, with a subscriber reading every message throughout.

#include "testing/bridge_rig.h"
#include "testing/http_client.h"
#include "testing/id_list_text.h"
#include "testing/mqtt_broker.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ferrule_test;
using namespace std::chrono_literals;

namespace {

struct figures {
    double median_us = 0;
    double p99_us = 0;
    std::size_t count = 0;
};

figures summarise(std::vector<long long> ns) {
    figures f;
    f.count = ns.size();
    if (ns.empty()) {
        return f;
    }
    std::sort(ns.begin(), ns.end());
    f.median_us = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
    f.p99_us = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
    return f;
}

// Latencies of frames matched by position; `out` and `in` must be the same
// frames in the same order (checked by the caller through the counts).
std::vector<long long> latencies(const std::vector<sim::frame_line> &out,
                                 const std::vector<sim::frame_line> &in) {
    std::vector<long long> ns;
    for (std::size_t i = 0; i < std::min(out.size(), in.size()); ++i) {
        ns.push_back(in[i].stamp - out[i].stamp);
    }
    return ns;
}

// The baseline: a plain UDP relay, the least any gateway can do, in a
// process of its own as the daemon is. The simulators send it a copy of each
// call frame half a period after the frame itself and receive what it passes
// on (their --mirror-to and --mirror-port), so the relay carries frames of the
// same size at the same pace in the same seconds, between the very same
// processes doing the same work around each frame; whatever else the machine
// does meets both alike.
class relay_process {
  public:
    relay_process()
        : in_port_(static_cast<std::uint16_t>(free_udp_port())),
          out_port_(static_cast<std::uint16_t>(free_udp_port())) {
        const int fd = bound_udp_socket("127.0.0.1", in_port_, 0);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the benchmark
            relay(fd, endpoint("127.0.0.1", out_port_));
        }
        close(fd);
    }
    relay_process(const relay_process &) = delete;
    relay_process &operator=(const relay_process &) = delete;
    ~relay_process() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // Where the sender sends its copies, and where the relay passes them on.
    std::string in_port() const { return std::to_string(in_port_); }
    std::string out_port() const { return std::to_string(out_port_); }

  private:
    [[noreturn]] static void relay(int fd, const sockaddr_in &to) {
        std::uint8_t buffer[512];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, -1) <= 0) {
                continue;
            }
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                sendto(fd, buffer, static_cast<std::size_t>(n), 0,
                       reinterpret_cast<const sockaddr *>(&to), sizeof to);
            }
        }
    }

    std::uint16_t in_port_, out_port_;
    pid_t pid_ = -1;
};

void report(const char *path, const figures &gateway, const figures &relay) {
    std::printf("%-22s frames %5zu  median %7.1f us  p99 %7.1f us\n", path, gateway.count,
                gateway.median_us, gateway.p99_us);
    std::printf("%-22s frames %5zu  median %7.1f us  p99 %7.1f us\n", "  plain UDP relay",
                relay.count, relay.median_us, relay.p99_us);
    if (relay.median_us > 0 && relay.p99_us > 0) {
        std::printf("%-22s median x%.2f  p99 x%.2f\n", "  ratio",
                    gateway.median_us / relay.median_us, gateway.p99_us / relay.p99_us);
    }
}

// Reads /status.json `hz` times a second until stopped; answer times in ns,
// and how many requests got no answer.
class status_poller {
  public:
    status_poller(int port, int hz) {
        if (hz <= 0) {
            return;
        }
        thread_ = std::thread([this, port, hz] {
            const auto period = std::chrono::microseconds(1000000 / hz);
            auto next = std::chrono::steady_clock::now();
            while (running_.load()) {
                const long long start = sim::now_ns();
                const http_reply r = http_get(port, "/status.json");
                if (r.status == 200) {
                    answers_.push_back(sim::now_ns() - start);
                } else {
                    ++failures_;
                }
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }
    // Stops the poller; its figures are final afterwards.
    void stop() {
        running_.store(false);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    ~status_poller() { stop(); }
    status_poller(const status_poller &) = delete;
    status_poller &operator=(const status_poller &) = delete;
    const std::vector<long long> &answers() const { return answers_; }
    std::size_t failures() const { return failures_; }

  private:
    std::atomic<bool> running_{true};
    std::vector<long long> answers_;
    std::size_t failures_ = 0;
    std::thread thread_;
};

} // namespace

int main(int argc, char **argv) {
    int superframes = 500; // 3002 frames a direction
    int burst_ms = 5;
    int poll_hz = 0;
    int jitter_ms = 0;
    std::size_t id_entries = 0;
    std::vector<std::string> alias;
    bool mqtt = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--alias") == 0) {
            alias = {"--talker-alias", "DL1ABC Hans", "--position", "52.52,13.405"};
        }
        mqtt = mqtt || std::strcmp(argv[i], "--mqtt") == 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--superframes") == 0) {
            superframes = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--burst-ms") == 0) {
            burst_ms = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--jitter-ms") == 0) {
            jitter_ms = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--poll-status") == 0) {
            poll_hz = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--id-list") == 0) {
            id_entries = static_cast<std::size_t>(std::atol(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--alias") == 0 || std::strcmp(argv[i], "--mqtt") == 0) {
            --i; // takes no value
        }
    }
    const std::size_t frames_per_call = static_cast<std::size_t>(superframes) * 6 + 2;

    const std::string pace = std::to_string(burst_ms);
    const std::string count = std::to_string(superframes);
    const relay_process to_network, to_repeater;
    ScratchDir lists;
    std::string config =
        id_entries == 0
            ? ""
            : "DMRIds_file=" + lists.write("DMRIds.dat", generated_id_list(id_entries)).string() +
                  "\n";
    if (mqtt && !mqtt_tools_installed()) {
        std::fprintf(stderr, "--mqtt needs mosquitto and mosquitto_sub installed\n");
        return 1;
    }
    const int broker_port = mqtt ? free_tcp_port() : 0;
    std::unique_ptr<mqtt_broker> broker;
    std::unique_ptr<ChildProcess> subscriber;
    if (mqtt) {
        broker = std::make_unique<mqtt_broker>(lists, broker_port, "broker.txt");
        subscriber = std::make_unique<ChildProcess>(FERRULE_MOSQUITTO_SUB, lists.path(),
                                                    mqtt_subscriber_args(broker_port, {"lb/#"}),
                                                    "messages.txt");
        config +=
            "MQTT_address=127.0.0.1\nMQTT_name=lb\nMQTT_port=" + std::to_string(broker_port) + "\n";
    }
    bridge_rig rig(
        bridge_rig::with({"--headers", "1", "--terminators", "1", "--burst-ms", pace, "--call",
                          "ts=1,src=2621234,dst=262,superframes=" + count, "--mirror-to",
                          to_repeater.in_port(), "--mirror-port", to_network.out_port()},
                         alias),
        bridge_rig::with({"--burst-ms", pace, "--call",
                          "ts=2,src=2627777,dst=9,superframes=" + count, "--mirror-to",
                          to_network.in_port(), "--mirror-port", to_repeater.out_port()},
                         alias),
        600,
        config + (jitter_ms > 0 ? "DMRGateway_jitter_ms=" + std::to_string(jitter_ms) + "\n"
                                : std::string()));
    const ChildProcess &daemon = rig.daemon;
    if (!rig.wait_for_login(30s)) {
        std::fprintf(stderr, "the daemon did not log in:\n%s", daemon.output().c_str());
        return 1;
    }
    if (id_entries > 0 && !daemon.wait_for_output(" entries, ", 30s)) {
        std::fprintf(stderr, "the daemon did not load the ID list:\n%s", daemon.output().c_str());
        return 1;
    }
    const long rss_before = figures_of(daemon.pid()).rss_kib;
    const auto timeout = std::chrono::seconds(30 + frames_per_call * burst_ms / 500);

    status_poller poller(rig.ports.status, poll_hz);
    // Each call is waited out before its frames are looked for: reading the
    // outputs while frames flow would take a processor from the daemon.
    const auto call_length = std::chrono::milliseconds(frames_per_call * burst_ms);
    rig.release_repeater_calls();
    std::this_thread::sleep_for(call_length);
    if (!bridge_rig::wait_for_frames(rig.peer, "in", frames_per_call, timeout)) {
        std::fprintf(stderr, "not every repeater frame reached the peer\n");
        return 1;
    }
    rig.release_peer_calls();
    std::this_thread::sleep_for(call_length);
    if (!bridge_rig::wait_for_frames(rig.repeater, "in", frames_per_call, timeout)) {
        std::fprintf(stderr, "not every network frame reached the repeater\n");
        return 1;
    }
    poller.stop();
    const long rss_after = figures_of(daemon.pid()).rss_kib;

    const auto hytera_out = sim::frame_lines(rig.repeater.output(), "out");
    const auto dmrd_in = sim::frame_lines(rig.peer.output(), "in");
    const auto dmrd_out = sim::frame_lines(rig.peer.output(), "out");
    const auto hytera_in = sim::frame_lines(rig.repeater.output(), "in");

    // A relay passes frames on unchanged and in order, so each copy is the
    // next one sent with its bytes; a copy the sender had to skip (its next
    // frame was already due) is passed over rather than shifting every later
    // pair.
    const auto copy_latencies = [](const ChildProcess &from, const ChildProcess &to) {
        const auto sent = sim::frame_lines(from.output(), "mirror-out");
        std::vector<long long> ns;
        std::size_t next = 0;
        for (const sim::frame_line &f : sim::frame_lines(to.output(), "mirror-in")) {
            for (std::size_t i = next; i < std::min(sent.size(), next + 16); ++i) {
                if (sent[i].bytes == f.bytes) {
                    ns.push_back(f.stamp - sent[i].stamp);
                    next = i + 1;
                    break;
                }
            }
        }
        return ns;
    };
    report("repeater -> network", summarise(latencies(hytera_out, dmrd_in)),
           summarise(copy_latencies(rig.repeater, rig.peer)));
    const figures down = summarise(latencies(dmrd_out, hytera_in));
    const figures down_relay = summarise(copy_latencies(rig.peer, rig.repeater));
    report("network -> repeater", down, down_relay);
    if (jitter_ms > 0) {
        std::printf("%-22s median %7.1f ms  p99 %7.1f ms  (configured %d ms)\n",
                    "  playout buffer adds", (down.median_us - down_relay.median_us) / 1000.0,
                    (down.p99_us - down_relay.p99_us) / 1000.0, jitter_ms);
    }
    if (poll_hz > 0) {
        const figures polls = summarise(poller.answers());
        std::printf("%-22s %5zu answers, %zu failed, %d a second  median %7.1f us  p99 %7.1f us\n",
                    "status page polls", polls.count, poller.failures(), poll_hz, polls.median_us,
                    polls.p99_us);
    }
    std::printf("daemon resident memory: %ld KiB after login, %ld KiB after both calls\n",
                rss_before, rss_after);
    if (mqtt) {
        const std::string got = subscriber->output();
        std::printf("MQTT subscriber: %zu messages, %zu call objects, %zu log lines\n",
                    count_of(got, "\n"), count_of(got, "lb/json "), count_of(got, "lb/log "));
    }
    rig.daemon.signal(SIGINT);
    rig.daemon.wait_exit(5s);
    return 0;
}
