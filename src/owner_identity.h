// SPDX-License-Identifier: BSD-2-Clause
// Writing as the owner: when root writes into a directory that another user owns, it does so with
// his identity, as trusted delivery agents do, so that the kernel judges every file made by his
// permissions, charges it to his quota and keeps root's reserve for root.
#pragma once

#include <sys/stat.h>

// When root runs the tool and the output directory whose status is `directory` belongs to another
// user, takes that user's identity: the supplementary groups of his password entry's name and
// primary group (without an entry, the directory's group alone), then his primary group (without
// an entry, the directory's) as effective group, then him as effective user. Else does nothing.
// Root's group 0 is never taken for a user without an entry (EPERM). Returns 0, or, back as root,
// the error number of the step that failed. Reports nothing.
int write_as_owner(const struct stat &directory);

// Gives back root's own effective user, effective group and groups, if write_as_owner() took
// another identity. Returns 0, or reports "Unable to return to root's identity" through perror
// and returns 1.
int stop_writing_as_owner();
