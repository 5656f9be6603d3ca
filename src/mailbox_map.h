// SPDX-License-Identifier: BSD-2-Clause
// The mailbox's bytes: mapped, never copied, so that a mailbox of any size costs a few MiB of
// memory; and what a program that ignores the locks can do to them by cutting the file short.
#pragma once

#include <cstddef>
#include <string_view>
#include <sys/types.h>

struct mailbox_bytes {
    const char *data = nullptr;
    std::size_t size = 0;
    bool mapped = false; // else read into memory allocated for it
};

// Maps the `size` bytes of the mailbox open on `fd` (read-only, shared), advises the kernel that
// they are read in order, and has a SIGBUS from a page the file no longer has put zeros there and
// mark the mailbox as cut short (mailbox_holds() then says so); a SIGBUS sent with kill is
// ignored. Where the file system refuses the mapping, reads the bytes whole into memory. Returns 0, or reports "Cannot allocate buffer" or
// "Unable to read input file" through perror and returns 1.
int load_mailbox(int fd, off_t size, mailbox_bytes &bytes);

// Whether the mapped mailbox still holds `message`, a view into its bytes, as it was when the
// message's bytes were taken: no page was lost, and the newline after it is still there (for the
// last message, an fstat shows the file still reaches its end). Reports "Unable to read input
// file: File is shorter than its size" when not. Always true for bytes read into memory.
bool mailbox_holds(std::string_view message);

// Whether a lost page or mailbox_holds() found the mailbox cut short.
bool mailbox_cut_short();

// Lets the kernel drop the mailbox's pages before the position `done`, whose messages are written,
// a few MiB at a time, so that a mailbox larger than memory passes through without pushing out
// others' pages.
void release_mailbox_pages(std::size_t done);

// Unmaps or frees the bytes.
void release_mailbox(mailbox_bytes &bytes);
