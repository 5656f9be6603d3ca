// SPDX-License-Identifier: BSD-2-Clause
// Ending on a signal: SIGINT, SIGTERM and SIGHUP undo the run until its outcome is final, remove
// the files that must not outlive the process, say so on standard error ("Conversion interrupted
// and undone: <signal>", or "Conversion interrupted, files kept: <signal>" once the outcome was
// final, whatever silent_mode says), then end it through the same signal, so that the caller sees
// which.
#pragma once

#include <csignal>
#include <cstddef>

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

// Ends the process at once with status 1, after a failure reported by the caller that the run
// cannot go on from (memory that cannot be had): removes the entries of remove_on_signal(), never
// a published file, as any failure keeps those. Takes back root's effective user id as a signal's
// end does.
[[noreturn]] void end_after_failure();

// Adds `entry`, which must live as long as the process, to the files removed on a signal. Up to
// four entries; a fifth is not added and returns -1, else 0.
int remove_on_signal(signal_removal *entry);

// The longest name, its zero included, that record_published_file() keeps.
inline constexpr std::size_t published_name_size = 16;

// Until keep_published_files() is called, a signal removes every file recorded as published in
// the directory `dir_fd`, newest first, and then the file `journal` there (unless nullptr), so
// that an interrupted run leaves the directory as it found it and the next run delivers each
// message once; a file renamed or removed meanwhile is passed over. Makes room for `count` names.
// Returns 0, or -1 with errno ENOMEM.
int undo_on_signal(int dir_fd, std::size_t count, const char *journal);

// Records `name` (shorter than published_name_size), just published in the directory given to
// undo_on_signal(). Call it in the same deferred section as the call that published it, so that
// no file goes unrecorded. Stores only; a name past the room made is not recorded.
void record_published_file(const char *name);

// Makes the run's outcome final: a signal then removes only the entries of remove_on_signal(),
// never a published file. Frees the names recorded.
void keep_published_files();

// While deferred, a signal that arrives is only recorded: call it before changing what an entry
// names (making a file, then naming it) or publishing a file. resume_signals() ends the deferral
// and raises the signal that arrived meanwhile, if any. Deferrals nest; the signal is raised when
// the outermost ends. Each costs two stores and no system call.
void defer_signals();
void resume_signals();
