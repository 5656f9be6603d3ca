// SPDX-License-Identifier: BSD-2-Clause
// The journal: which names the messages of a mailbox took in the output directory, so that the
// run after one that was stopped, killed or failed finds what it published and delivers it once.
// It is tied to the mailbox's bytes (a digest of the first SIZE of them), not just to its inode.
#pragma once

#include "message_names.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// Messages from `first_message` on take consecutive names from `first_name`, up to the next
// segment's first message; hidden files of the run that wrote them carry `tag`.
struct journal_segment {
    std::size_t first_message = 0;
    std::uint64_t first_name = 0;
    char tag[run_tag_length + 1] = {};
};

struct journal {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;           // the mailbox's size at the load
    std::uint64_t digest = 0; // mailbox_digest() of its first `size` bytes
    struct timespec born = {}; // its birth time, where the system keeps one, else zero
    std::vector<journal_segment> segments; // by first_message, increasing
};

// A digest of `bytes` for telling one mailbox's content from another's: not for an adversary,
// since whoever could forge one owns the mail it covers.
std::uint64_t mailbox_digest(std::string_view bytes);

// Parses the text of a journal ("quelvaron journal 2"). A segment at the same first message as the
// one before replaces it. Returns false for anything else: another version, a torn or a
// malformed journal, or one without a segment.
bool parse_journal(std::string_view text, journal &found);

// Reads the journal of the mailbox with `mailbox`'s device and inode in the directory `dir_fd`
// into `found`. Returns true when one is there for this mailbox and no larger than it is now; the
// caller compares the birth time and the digest. False for none, another file, one that is not
// a journal (a FIFO under its name does not block), or one of another version.
bool read_journal(int dir_fd, const struct stat &mailbox, journal &found);

// The name number of message `index` under `found`: exactly as the runs gave names. -1 where the
// journal names none for it.
std::int64_t journal_name(const journal &found, std::size_t index);

// Writes the journal `header` (its segments are those kept from earlier runs) followed by
// `segment` in the directory `dir_fd`, replacing the file there: written whole under another name
// (O_EXCL | O_NOFOLLOW, mode 0600) and then moved. The journal stays open for
// add_journal_segment(). Returns 0, or -1 with errno set.
int start_journal(int dir_fd, const journal &header, const journal_segment &segment);

// Adds `segment` to the open journal, before the first file under it is published. Where it
// cannot (full, or a failed write), the journal stops serving (stop_journal()). Returns 0, or -1
// when it stopped.
int add_journal_segment(const journal_segment &segment);

// Has the open journal stop serving because of `failure`: reports "Unable to write journal"
// through perror, empties it so that it matches nothing (removes it where it cannot be emptied),
// and closes it. The next run then writes every message again: duplicates, never a loss.
void stop_journal(int failure);

// Empties the open journal without a word: what it names may not be on stable storage, so the
// next run must write those messages again. Removes it where it cannot be emptied.
void empty_journal();

// The descriptor of the open journal (for syncfs through it, which reaches this run's writeback
// errors), or -1.
int journal_descriptor();

// Removes the journal of the current run, if any (a copy that wrote every message). Reports
// nothing.
void remove_journal();

// Moves the journal of the current run, if any, aside, where no run reads it, before the mailbox
// is emptied. Returns 0, or -1 with errno set. It stays open (journal_descriptor()).
int withdraw_journal();

// Puts the journal withdrawn back, as the mailbox could not be emptied after all.
void reinstate_journal();

// Closes the journal, which stays for the next run unless removed; one withdrawn goes.
void close_journal();
