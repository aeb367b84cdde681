#pragma once
// Runs the built daemon as a child process for end-to-end tests: its own
// scratch working directory, standard output captured to a file, every wait
// bounded, and only the child it started is ever signalled.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "testing/test_support.h"

namespace ferrule_test {

// Any program of the project as a child: standard output into a file of the
// working directory, killed (by its PID only) when the object goes.
class ChildProcess {
  public:
    ChildProcess(const std::string &binary, const std::filesystem::path &workdir,
                 const std::vector<std::string> &args, const std::string &output_name)
        : output_(workdir / output_name) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(workdir.c_str()) != 0) {
                _exit(127);
            }
            FILE *out = std::freopen(output_.c_str(), "w", stdout);
            if (out == nullptr) {
                _exit(127);
            }
            std::vector<char *> argv;
            std::string program = binary;
            argv.push_back(program.data());
            std::vector<std::string> copy = args;
            for (std::string &a : copy) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }
    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const { return read_file(output_); }

    // Waits until the output contains text; false after the timeout.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout) const {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (output().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return output().find(text) != std::string::npos;
    }

    void signal(int signum) const { kill(pid_, signum); }

    // Exit status, or -1 when the child did not end within the timeout.
    int wait_exit(std::chrono::milliseconds timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

  private:
    std::filesystem::path output_;
    pid_t pid_ = -1;
    bool exited_ = false;
};

// Resident memory and thread count of a running process, -1 when unknown.
struct process_figures {
    long rss_kib = -1;
    long threads = -1;
};
inline process_figures figures_of(pid_t pid) {
    process_figures f;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            f.rss_kib = std::atol(line.c_str() + 6);
        } else if (line.rfind("Threads:", 0) == 0) {
            f.threads = std::atol(line.c_str() + 8);
        }
    }
    return f;
}

#ifdef FERRULE_BINARY
class DaemonProcess : public ChildProcess {
  public:
    DaemonProcess(const std::filesystem::path &workdir, const std::vector<std::string> &args)
        : ChildProcess(FERRULE_BINARY, workdir, args, "stdout.txt") {}
};
#endif

// A complete configuration on loopback with free ports.
struct DaemonPorts {
    int control = free_udp_port();
    int voice = free_udp_port();
    int rdac = free_udp_port();
    int link_local = free_udp_port_pair(); // and link_local + 1, for a second master link
    int peer = free_udp_port();
    int status = free_tcp_port(); // the status page (TCP)
};

inline std::string loopback_config(const DaemonPorts &p, const char *local = "127.0.0.1") {
    return "Location_Name=Testort\nLocation_CC=01\nLocation_Watt=05\n"
           "DMRGateway_address=127.0.0.1\nDMRGateway_local_address=127.0.0.1\n"
           "DMRGateway_port=" +
           std::to_string(p.peer) + "\nDMRGateway_local_port=" + std::to_string(p.link_local) +
           "\nHytera_RPT_PORT=" + std::to_string(p.control) +
           "\nHytera_RPT_AUDIO_PORT=" + std::to_string(p.voice) +
           "\nHytera_RPT_RDAC_PORT=" + std::to_string(p.rdac) +
           "\nHytera_RPT_local_address=" + local + "\nStatus_port=" + std::to_string(p.status) +
           "\n";
}

} // namespace ferrule_test
