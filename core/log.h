#pragma once
// The log is read live through pipes and journals: every call writes one
// complete message to standard output and flushes it before returning, and
// concurrent callers never interleave inside a message.

#include <cstdarg>

__attribute__((format(printf, 1, 2))) void ferrule_log(const char *fmt, ...);
void ferrule_vlog(const char *fmt, va_list ap);

// Tests capture the log instead of standard output. Passing nullptr restores
// standard output. The sink receives each formatted message whole.
using ferrule_log_sink = void (*)(const char *text, void *user);
void ferrule_log_set_sink(ferrule_log_sink sink, void *user);
