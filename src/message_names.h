// SPDX-License-Identifier: BSD-2-Clause
// The names of message files, in mailbox order, and the journal that remembers which names a run
// gave, so that the next run finds what a killed or failed one published and delivers it once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// A message file's name is "quelvaron" and six characters of 0-9, A-Z, a-z: the number they
// spell in base 62, below name_count, so that byte order is number order.
inline constexpr std::uint64_t name_count = 62ULL * 62 * 62 * 62 * 62 * 62;
inline constexpr std::string_view name_prefix = "quelvaron";

// Writes the name of `number` ("quelvaronXXXXXX", zero-terminated, 16 bytes) into `name`.
void format_message_name(std::uint64_t number, char *name);

// What a read of the output directory found: the greatest message name there (-1 for none), and,
// for the numbers from `wanted_from` to `wanted_to` as asked, the names that carry a reader's
// suffix after their six characters ("quelvaronXXXXXX:2,S").
struct directory_names {
    std::int64_t greatest = -1;
    std::uint64_t wanted_from = 0, wanted_to = 0;
    std::vector<std::pair<std::uint64_t, std::string>> suffixed; // sorted by number
};

// Reads the directory `dir_fd` once into `found`. Returns false where it may not be read (its
// owner may write it but not list it), or the listing failed.
bool read_directory_names(int dir_fd, directory_names &found);

// The lowest number that no name in the directory `dir_fd` has, or name_count when the directory
// cannot be read or none is left. Reads the directory again: only for a directory whose greatest
// name leaves no room above it.
std::uint64_t lowest_free_name(int dir_fd);

// A run's journal: which mailbox it converts, and the names its messages took. Messages from
// `first_message` on take consecutive names from `first_name`, passing over those in `passed_over`.
struct journal_run {
    std::size_t first_message;
    std::uint64_t first_name;
    std::vector<std::uint64_t> passed_over;
};
struct journal {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0; // the mailbox's size at the load
    std::vector<journal_run> runs;
};

// Reads the journal of the mailbox with `mailbox`'s device and inode in the directory `dir_fd`
// into `found`. Returns true when one was there for this mailbox, no larger than it is now; false
// for none, another file, or one that is not a journal (a FIFO under its name does not block).
bool read_journal(int dir_fd, const struct stat &mailbox, journal &found);

// The name number of message `index` under `found`, or -1 when the journal names none for it.
std::int64_t journal_name(const journal &found, std::size_t index);

// Writes `run` as the journal of the mailbox `mailbox` in the directory `dir_fd`, after the runs of
// `kept` (an earlier run's, or none), replacing the file there: it is made with O_EXCL |
// O_NOFOLLOW. The journal stays open for pass_over_name(). Returns 0, or -1 with errno set.
int start_journal(int dir_fd, const struct stat &mailbox, const journal &kept, const journal_run &run);

// Adds `number` to the names the current run passed over. When the journal has no room left for
// it, empties it, so that it matches nothing: a crash then delivers everything again. Reports
// nothing; a journal that cannot be written just stops serving.
void pass_over_name(std::uint64_t number);

// Empties the journal of the current run, which no longer says which names its messages took
// (they are no longer in order), so that it matches nothing.
void abandon_journal();

// Removes the journal of the current run, if any (from the deferred section that makes the run's
// outcome final), and closes it. Reports nothing: a journal left matches nothing or serves again.
void remove_journal();

// Closes the journal, which stays for the next run.
void close_journal();

// The journal's name while this run has one (for a signal's undo, which removes it last), else
// nullptr.
const char *journal_file_name();
