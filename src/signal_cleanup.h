// SPDX-License-Identifier: BSD-2-Clause
// Ending on a signal: SIGINT, SIGTERM and SIGHUP stop the run cleanly. Every file it published
// stays, and so does its journal, which names them, so that the next run resumes where this one
// stopped; only the files that must not outlive the process go (the dot-file, a hidden file being
// written). The tool says "Conversion interrupted, files kept: <signal>" on standard error,
// whatever silent_mode says, and ends through the same signal, so that the caller sees which.
#pragma once

#include <csignal>

// A file that a signal's end removes: `name` relative to `dir_fd` (AT_FDCWD for a path), or none
// while `name` is nullptr. Its owner sets and clears it; the handler only reads it.
struct signal_removal {
    volatile int dir_fd;
    const char *volatile name;
};

// Installs the handlers, leaving a signal that was ignored at start (nohup) ignored, and ignores
// SIGXFSZ, so that a write past a file-size limit fails with EFBIG, and SIGPIPE, so that a line
// written to a reader that went away fails with EPIPE. A handler that ends the process first
// takes back root's effective user id where root runs the tool as another user.
void install_signal_cleanup();

// The signals that stop the run, for a handler of another unit to hold off while it runs.
void add_stopping_signals(sigset_t &set);

// Ends the process at once with status 1, after a failure reported by the caller that the run
// cannot go on from (memory that cannot be had): removes the entries of remove_on_signal(), never
// a published file. Takes back root's effective user id as a signal's end does.
[[noreturn]] void end_after_failure();

// Adds `entry`, which must live as long as the process, to the files removed on a signal. Up to
// four entries; a fifth is not added and returns -1, else 0.
int remove_on_signal(signal_removal *entry);

// While deferred, a signal that arrives is only recorded: call it before changing what an entry
// names (making a file, then naming it), or around steps that must not be parted (emptying the
// mailbox after its journal is gone). resume_signals() ends the deferral and raises the signal
// that arrived meanwhile, if any. Deferrals nest; the signal is raised when the outermost ends.
// Each costs two stores and no system call.
void defer_signals();
void resume_signals();
