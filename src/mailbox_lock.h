// SPDX-License-Identifier: BSD-2-Clause
// The mailbox's locks: flock, a fcntl write lock over the whole file, and the dot-file
// MAILBOX.lock, the three ways the programs that share a mailbox lock it.
#pragma once

#include <sys/types.h>

// Locks the mailbox open on `fd`, named `mailbox_name` in the directory `dir_fd` (the last
// component of its path as given; the dot-file "<mailbox_name>.lock" goes beside it): flock first,
// waiting for as long as another holder keeps it, then the fcntl lock and the dot-file without
// waiting; when one of those is busy it lets go of all, waits a short random time and starts over.
// A dot-file left unchanged for 5 minutes, or naming a gone process, is broken; when root runs the
// tool, only if it is root's or `mailbox_owner`'s, else "Lock file owned by another user". Where the directory refuses dot-files the kernel locks do
// alone, and where the file system has no fcntl locks, flock does. Returns 0 with the locks held
// and the dot-file refreshed every 30 seconds, or 1 after reporting "Unable to lock input file"
// through perror. The dot-file is removed by a signal that ends the process, or by
// release_mailbox_lock(); the kernel locks go when `fd` is closed.
int lock_mailbox(int fd, int dir_fd, const char *mailbox_name, uid_t mailbox_owner);

// Stops the refresh and removes the dot-file held, if any; reports "Unable to remove lock file"
// through perror when that fails.
void release_mailbox_lock();
