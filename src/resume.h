// SPDX-License-Identifier: BSD-2-Clause
// The resume: which messages of a mailbox a run that was stopped, killed or failed already
// delivered into the output directory, found through its journal, so that the next run writes
// only the rest. It rests on two invariants:
// - a run's files form a prefix of the mailbox's messages (message i is published only after
//   message i - 1), apart from what readers removed or moved between the maildir's folders;
// - the journal's name arithmetic (journal_name()) is exactly the allocator's (message_file.h):
//   names consecutive from each segment's start, and a segment written before any file under it.
#pragma once

#include "journal.h"
#include "message_names.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// Finds the messages of `text`, cut into `starts`, that an earlier run of this mailbox delivered
// into `folders`: under a journal in DIR whose digest and birth time match the mailbox's first
// bytes now, message i is delivered when a file of its name, in DIR or the maildir's other folder,
// as written or with a reader's suffix, holds exactly its bytes (synced too with `sync_data`), and
// so is every message before the last one delivered (a reader removed it). Removes the hidden
// files that the journal's runs left in DIR, and nothing else. Fills `header` for this run's
// journal: the mailbox `mailbox`, born `born`, and the segments of earlier runs still needed;
// sets `first_name` to where the rest's names start: past the greatest name there, else in the
// lowest gap that fits them, at random where the folders cannot be listed, and name_count where no
// gap is left. Returns how many were delivered.
std::size_t find_delivered_messages(std::string_view text, const std::vector<std::size_t> &starts,
                                    const output_folders &folders, const struct stat &mailbox,
                                    const struct timespec &born, bool sync_data, journal &header,
                                    std::uint64_t &first_name);
