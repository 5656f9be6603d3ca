// SPDX-License-Identifier: BSD-2-Clause
#include "signal_cleanup.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <unistd.h>

static signal_removal *removals[4];
static volatile sig_atomic_t removal_count = 0;
static volatile sig_atomic_t deferral_depth = 0;
static volatile sig_atomic_t deferred_signal = 0;

// The signals that stop the tool, and for each the line its end writes, made whole beforehand so
// that the handler only writes.
static const int stopping_signals[] = {SIGINT, SIGTERM, SIGHUP};
static char interrupted_lines[std::size(stopping_signals)][128];
static std::size_t interrupted_lengths[std::size(stopping_signals)];

// Root writing as a user takes back its effective user id: the dot-file is root's. With a real
// and saved user id of 0, setuid sets the effective one alone.
static void regain_root()
{
    if (getuid() == 0 && geteuid() != 0) {
        int regained = setuid(0);
        (void)regained;
    }
}

static void remove_entries()
{
    for (sig_atomic_t i = 0; i < removal_count; i++) {
        if (removals[i]->name != nullptr)
            unlinkat(removals[i]->dir_fd, removals[i]->name, 0);
    }
}

static void stop_at_once(int signal_number)
{
    if (deferral_depth > 0) {
        deferred_signal = signal_number;
        return;
    }
    regain_root();
    // Published files stay: a reader may have shown them already, and the journal names them for
    // the next run, which resumes after them.
    remove_entries();
    for (std::size_t i = 0; i < std::size(stopping_signals); i++) {
        if (stopping_signals[i] == signal_number) {
            ssize_t written = write(STDERR_FILENO, interrupted_lines[i], interrupted_lengths[i]);
            (void)written;
        }
    }
    // The kernel locks go with the process; ending through the signal lets the caller see it. The
    // handler blocks the signal, which therefore ends the process once it is let through.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    sigset_t this_signal;
    sigemptyset(&this_signal);
    sigaddset(&this_signal, signal_number);
    sigprocmask(SIG_UNBLOCK, &this_signal, nullptr);
}

void install_signal_cleanup()
{
    // A file-size limit then fails the write that passes it, which is reported, instead of killing
    // the process with a part of a message written; a reader of our output that went away makes
    // only our lines fail, not the conversion.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    for (std::size_t i = 0; i < std::size(stopping_signals); i++) {
        int length = snprintf(interrupted_lines[i], sizeof interrupted_lines[i],
                              "Conversion interrupted, files kept: %s\n", strsignal(stopping_signals[i]));
        interrupted_lengths[i] = std::min(std::size_t(length), sizeof interrupted_lines[i] - 1);
    }
    for (int signal_number : stopping_signals) {
        struct sigaction action = {};
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = stop_at_once;
        action.sa_flags = SA_RESTART;
        // A second signal must not cut the first one's clean-up short.
        sigemptyset(&action.sa_mask);
        add_stopping_signals(action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
}

void add_stopping_signals(sigset_t &set)
{
    for (int signal_number : stopping_signals)
        sigaddset(&set, signal_number);
}

void end_after_failure()
{
    regain_root();
    remove_entries();
    _exit(1);
}

int remove_on_signal(signal_removal *entry)
{
    if (removal_count == sizeof removals / sizeof removals[0])
        return -1;
    removals[removal_count] = entry;
    removal_count = removal_count + 1;
    return 0;
}

void defer_signals()
{
    deferral_depth = deferral_depth + 1;
}

void resume_signals()
{
    deferral_depth = deferral_depth - 1;
    if (deferral_depth == 0 && deferred_signal != 0)
        raise(deferred_signal);
}
