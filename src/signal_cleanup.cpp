// SPDX-License-Identifier: BSD-2-Clause
#include "signal_cleanup.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

static signal_removal *removals[4];
static volatile sig_atomic_t removal_count = 0;
static volatile sig_atomic_t deferral_depth = 0;
static volatile sig_atomic_t deferred_signal = 0;

// The files published this run, in `published_dir_fd`; the handler reads only the first
// `published_count`, each stored whole before the count that covers it.
struct published_name {
    char name[published_name_size];
};
static published_name *published = nullptr;
static std::size_t published_room = 0;
static volatile std::size_t published_count = 0;
static volatile int published_dir_fd = -1;
static const char *volatile undone_journal = nullptr;
static volatile sig_atomic_t outcome_final = 0;

// The signals that stop the tool, and for each the line its end writes, made whole beforehand so
// that the handler only writes: [0] once the run is undone, [1] once its outcome was final.
static const int stopping_signals[] = {SIGINT, SIGTERM, SIGHUP};
static char interrupted_lines[std::size(stopping_signals)][2][128];
static std::size_t interrupted_lengths[std::size(stopping_signals)][2];

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
    bool undone = !outcome_final;
    if (undone) {
        std::size_t count = published_count;
        std::atomic_signal_fence(std::memory_order_acquire);
        // Newest first, so that a SIGKILL meanwhile leaves the oldest, which the journal still names.
        for (std::size_t i = count; i-- > 0;)
            unlinkat(published_dir_fd, published[i].name, 0); // one a reader renamed stays
        if (undone_journal != nullptr)
            unlinkat(published_dir_fd, undone_journal, 0);
    }
    remove_entries();
    for (std::size_t i = 0; i < std::size(stopping_signals); i++) {
        if (stopping_signals[i] == signal_number) {
            ssize_t written = write(STDERR_FILENO, interrupted_lines[i][!undone], interrupted_lengths[i][!undone]);
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
        const char *reason = strsignal(stopping_signals[i]);
        for (int kept = 0; kept < 2; kept++) {
            int length = snprintf(interrupted_lines[i][kept], sizeof interrupted_lines[i][kept], "%s: %s\n",
                                  kept ? "Conversion interrupted, files kept" : "Conversion interrupted and undone",
                                  reason);
            interrupted_lengths[i][kept] = std::min(std::size_t(length), sizeof interrupted_lines[i][kept] - 1);
        }
    }
    for (int signal_number : stopping_signals) {
        struct sigaction action = {};
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = stop_at_once;
        action.sa_flags = SA_RESTART;
        // A second signal must not cut the undo of a large run short.
        sigemptyset(&action.sa_mask);
        for (int other : stopping_signals)
            sigaddset(&action.sa_mask, other);
        sigaction(signal_number, &action, nullptr);
    }
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

int undo_on_signal(int dir_fd, std::size_t count, const char *journal)
{
    auto *names = static_cast<published_name *>(calloc(count ? count : 1, sizeof(published_name)));
    if (names == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    defer_signals();
    free(published);
    published = names;
    published_room = count;
    published_count = 0;
    published_dir_fd = dir_fd;
    undone_journal = journal;
    outcome_final = 0;
    resume_signals();
    return 0;
}

void record_published_file(const char *name)
{
    std::size_t count = published_count;
    if (count == published_room)
        return;
    strncpy(published[count].name, name, published_name_size - 1);
    std::atomic_signal_fence(std::memory_order_release);
    published_count = count + 1;
}

void keep_published_files()
{
    defer_signals();
    outcome_final = 1;
    free(published);
    published = nullptr;
    published_room = 0;
    published_count = 0;
    resume_signals();
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
