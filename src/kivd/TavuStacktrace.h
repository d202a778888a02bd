#pragma once

#include <cstddef>

// Crash reporting: on SIGSEGV, SIGBUS, SIGFPE, SIGILL or SIGABRT the crashing thread's
// backtrace is written to standard output as log lines, then the signal takes its default action.
namespace tavuStacktrace {

void install();

// Writes the log line head "YYYYMMDD HH:MM:SS.mmm [pid.tid] LEVEL " into buffer without
// allocating or taking locks (usable in a signal handler); returns its length, 0 if it does not fit.
std::size_t formatLineHead(char *buffer, std::size_t size, long epochSeconds, long microseconds,
                           long utcOffsetSeconds, int pid, unsigned long tid, const char *level);

} // namespace tavuStacktrace
