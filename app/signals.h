#pragma once
// The process's signal handling. Fatal signals print a diagnostic dump (the
// registers of the interrupted thread, 128 stack words, the memory map) and
// end the process with the signal's own status, never with a clean exit
// code. SIGINT and SIGTERM request a stop; the handlers only store atomics
// and write with write(2).

// onFatalSignal for SIGSEGV, SIGILL, SIGABRT, SIGFPE, SIGBUS, SIGSYS, SIGXCPU,
// SIGXFSZ (on an alternate stack, so a stack overflow still dumps), and the
// stop handler for SIGTERM. false when an installation failed (reported).
bool installSignalHandlers();

// The stop handler for SIGTERM and SIGINT, and the reporting handler for
// SIGUSR1, SIGUSR2 and SIGPIPE. SIGFPE and SIGBUS stay fatal: returning from
// them would run the faulting instruction again for ever.
void installStopHandlers();

// Formats the fatal dump of `sig` into `fd` (also used by tests).
void writeFatalDump(int fd, int sig, int errnoValue, int code, const void* faultAddress,
                    const void* context);
