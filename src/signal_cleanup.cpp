#include "signal_cleanup.h"

#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

static signal_removal *removals[4];
static volatile sig_atomic_t removal_count = 0;
static volatile sig_atomic_t signals_deferred = 0;
static volatile sig_atomic_t deferred_signal = 0;

static void stop_at_once(int signal_number)
{
    if (signals_deferred) {
        deferred_signal = signal_number;
        return;
    }
    for (sig_atomic_t i = 0; i < removal_count; i++) {
        if (removals[i]->name != nullptr)
            unlinkat(removals[i]->dir_fd, removals[i]->name, 0);
    }
    // The kernel locks go with the process; ending through the signal lets the caller see it.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void install_signal_cleanup()
{
    // A file-size limit then fails the write that passes it, which is reported, instead of killing
    // the process with a part of a message written.
    signal(SIGXFSZ, SIG_IGN);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = stop_at_once;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
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
    signals_deferred = 1;
}

void resume_signals()
{
    signals_deferred = 0;
    if (deferred_signal != 0)
        raise(deferred_signal);
}
