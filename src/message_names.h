// SPDX-License-Identifier: BSD-2-Clause
// The names of message files, in mailbox order, across a maildir: its `new` and `cur` folders are
// read as one, and one run at a time gives names in it, under a lock on the maildir.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// A message file's name is "quelvaron" and six characters of 0-9, a-z: the number they spell in
// base 36, below name_count, so that byte order is number order, and no two names differ only in
// case (case-insensitive file systems). Capitals, from earlier versions, count as lower case.
inline constexpr std::uint64_t name_count = 36ULL * 36 * 36 * 36 * 36 * 36;
inline constexpr std::string_view name_prefix = "quelvaron";
inline constexpr std::size_t name_digits = 6;

// A run's tag: six characters of 0-9, a-z, chosen at random, which its hidden files carry after
// their name's six characters (".quelvaronXXXXXXtttttt"), and its journal records.
inline constexpr std::size_t run_tag_length = 6;

// The longest name a message file has while it is written or published, its zero included.
inline constexpr std::size_t message_name_size = 1 + name_prefix.size() + name_digits + run_tag_length + 1;

// Writes the name of `number` ("quelvaronXXXXXX", zero-terminated) into `name`, which holds at
// least message_name_size bytes.
void format_message_name(std::uint64_t number, char *name);

// Writes the six characters of `number` into `digits`, zero-terminated (7 bytes).
void format_name_digits(std::uint64_t number, char *digits);

// The number that the first six characters of `digits` spell, or -1 where they are not six of
// 0-9, a-z, A-Z.
std::int64_t name_digits_number(std::string_view digits);

// Fills `tag` (run_tag_length characters and a zero) with a new run's tag.
void make_run_tag(char *tag);

// The folders a run names files across: DIR, where files are written, and, where DIR is the `new`
// or `cur` of a maildir, the other of the two. Descriptors are opened for reading.
struct output_folders {
    int dir_fd = -1;     // DIR as resolved (may be an O_PATH or O_SEARCH descriptor)
    int sibling_fd = -1; // the maildir's other folder, or -1
    int lock_fd = -1;    // what is locked: the maildir's root, or DIR; -1 where neither may be read
};

// Fills `folders` for the directory `dir_fd` whose status is `dir_status`, and takes an exclusive
// flock on the maildir's root (its parent, where DIR is its `new` or `cur` and the other is a
// directory, not a link, on the same device and of the same owner), else on DIR, waiting while
// another run holds it. Where the folder cannot be opened for reading, no lock is taken. Call it
// as the directory's owner. Reports nothing.
void open_output_folders(int dir_fd, const struct stat &dir_status, output_folders &folders);

// Closes what open_output_folders() opened, which releases the lock, but not dir_fd.
void close_output_folders(output_folders &folders);

// A message file's name met in a folder: its number, which folder (0 DIR, 1 the sibling), and the
// name as it stands.
struct found_name {
    std::uint64_t number;
    int folder;
    std::string name;
};

// What a read of the folders found: the greatest message name there (-1 for none), hidden ones and
// reader-suffixed ones included; for the numbers from `wanted_from` to `wanted_to`, the names that
// carry a reader's suffix after their six characters ("quelvaronXXXXXX:2,S"); and the hidden
// files in DIR that carry one of `wanted_tags`.
struct directory_names {
    std::int64_t greatest = -1;
    std::uint64_t wanted_from = 0, wanted_to = 0;
    std::vector<std::string> wanted_tags;
    std::vector<found_name> suffixed; // sorted by number
    std::vector<std::string> tagged_hidden;
};

// Reads the folders once into `found`. Returns false where DIR may not be listed (its owner may
// write it but not read it) or a listing failed.
bool read_directory_names(const output_folders &folders, directory_names &found);

// The first of `count` consecutive names that no file in the folders has: past the greatest name
// where room is left above it, else the lowest such gap from `after` on, else from 0. Reads the
// folders again. Returns name_count where they cannot be listed or no gap is left.
std::uint64_t free_names_start(const output_folders &folders, std::uint64_t count, std::uint64_t after);

// A start chosen at random that leaves room for `count` names (for a folder that cannot be listed).
std::uint64_t random_names_start(std::uint64_t count);
