#pragma once
// --tcp: the stand-in's monitors on TCP ports, one listening socket and at
// most one connection each, in one poll() loop with the pseudo-terminal's
// pacing.
#include <csignal>
#include <cstdio>

#include "options.h"

// Runs until `stop` is set (by a signal taken inside ppoll with `waitMask`)
// or, when `watchStdin`, standard input ends; prints the replies so far
// whenever `report` is set, and on the way out. Returns the exit status.
int serveTcp(const SimOptions& options, std::FILE* log, const sigset_t& waitMask, bool watchStdin,
             volatile std::sig_atomic_t& stop, volatile std::sig_atomic_t& report);
