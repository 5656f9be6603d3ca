// Ending on a signal: SIGINT, SIGTERM and SIGHUP remove the files that must not outlive the
// process, then end it through the same signal, so that the caller sees which.
#pragma once

#include <csignal>

// A file that a signal's end removes: `name` relative to `dir_fd` (AT_FDCWD for a path), or none
// while `name` is nullptr. Its owner sets and clears it; the handler only reads it.
struct signal_removal {
    volatile int dir_fd;
    const char *volatile name;
};

// Installs the handlers, leaving a signal that was ignored at start (nohup) ignored, and ignores
// SIGXFSZ, so that a write past a file-size limit fails with EFBIG.
void install_signal_cleanup();

// Adds `entry`, which must live as long as the process, to the files removed on a signal. Up to
// four entries; a fifth is not added and returns -1, else 0.
int remove_on_signal(signal_removal *entry);

// While deferred, a signal that arrives is only recorded: call it before changing what an entry
// names (making a file, then naming it). resume_signals() ends the deferral and raises the signal
// that arrived meanwhile, if any. Each costs two stores and no system call.
void defer_signals();
void resume_signals();
