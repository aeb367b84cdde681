#pragma once
// The signal report. The handler itself only records the signal number (a
// write to a pipe, which is safe in signal context); a reporter thread then
// appends the report to "error.txt", prints the note and, for the stop
// signals, clears the run flag. A hang-up is only logged: there is nothing to
// reload, and a closed terminal must not stop a gateway that runs unattended.

#include <cstddef>
#include <ctime>

inline constexpr const char *SIGNAL_REPORT_FILE = "error.txt";

// Description of a signal number, ending in a line feed; never null.
const char *signal_description(int signum);

// Formats one report into buf (always NUL-terminated); returns its length.
std::size_t format_signal_report(char *buf, std::size_t size, std::time_t when, int signum,
                                 const char *function_marker);

// The signals that stop the daemon in order: interrupt, quit and terminate
// (what kill, systemctl stop and docker stop send).
bool signal_stops(int signum);

// Appends the report to path, prints the stdout note and clears the run flag
// for a stop signal. Returns false when the report file could not be opened
// (said on stdout).
bool report_signal(const char *path, int signum, std::time_t when);

// What the reporter thread does with a recorded signal: a hang-up gets one log
// line and nothing else; every other signal is reported.
void handle_recorded_signal(const char *path, int signum, std::time_t when);

// The handler, installed by install_signal_handlers.
void sigCatch(int signum);

// Installs sigCatch for the stop signals and the hang-up; calls
// signal_report_prepare first.
void install_signal_handlers();

// Creates the pipe the handler writes to; call before installing sigCatch.
void signal_report_prepare();

// Starts the reporter thread. Call it after detaching as a daemon: the fork
// inside daemon() keeps only the calling thread. Signals recorded before it
// starts wait in the pipe.
void signal_report_start();

// Waits (at most timeout_ms) until every signal recorded so far has been
// reported, so that the process does not end in the middle of a report.
void signal_report_drain(int timeout_ms);
