// SPDX-License-Identifier: BSD-2-Clause
// Message files: each message of a mailbox goes into a new file of its own in the output directory.
#pragma once

#include "message_names.h"
#include "safe_path.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// The longest path a message file may have: "<dir>/quelvaronXXXXXX" in at most this many characters.
inline constexpr std::size_t longest_message_path = 65534;

// Reports `failure` as the first message file not being made: "Unable to create output file", then
// "Error processing mail, terminating".
void report_creation_failure(int failure);

// Resolves the output directory `dir` with resolve_path() into `resolved`, whose `fd` the message
// files are then made in, and has a signal's end remove the hidden file being written, if any.
// Call it once per run. Returns 0, or reports the failure with report_creation_failure() and
// returns 1: ENAMETOOLONG when a message file's path would not fit in longest_message_path,
// ENOTDIR when `dir` names no directory, foreign_directory when root meets a folder on the way
// that is neither root's nor the directory owner's, and then foreign_symbolic_link for a link
// that is neither.
int open_message_directory(const char *dir, resolved_path &resolved);

// The room an unprivileged user may still take in a file system: blocks of `block_size` bytes, and
// inodes; UINT64_MAX where the file system reports no limit.
struct file_system_room {
    unsigned long block_size;
    std::uint64_t blocks;
    std::uint64_t inodes;
};

// What one message file's name may add to its directory, counted with its blocks: a name of 15
// bytes takes 24 in an ext4 or UFS entry, and a directory's blocks are half full after a split.
inline constexpr std::size_t directory_entry_room = 64;

// Fills `room` for the file system of the directory `dir_fd`. Returns 0, or reports the failure
// with report_creation_failure() and returns 1.
int free_room(int dir_fd, file_system_room &room);

// Has the message files written from now on, messages `first_message` to `messages` - 1 of the
// mailbox, take names in order from the name number `first` (message_names.h); a name taken by a
// file not of this run's starts a new segment of names, which the journal (journal.h) records
// before a file is published under it; name_count or more (no name left) gives names chosen at
// random. Hidden files carry `tag` (run_tag_length characters) after their name. Once per run:
// the run's first file also tells again whether modes must be set (write_message_file()).
void name_message_files_from(std::uint64_t first, std::size_t first_message, std::size_t messages,
                             const output_folders &folders, const char *tag);

// Writes `message` whole into a new file "quelvaronXXXXXX" (the next name, see
// name_message_files_from()) in the directory `dir_fd`, with mode 0666 whatever the umask or a
// default ACL: it is made with that mode, and given it with fchmod where the first file of the run
// came out otherwise (with a umask of 0 and no default ACL, no file needs the call); with the date
// of its "From " line as its modification time where read_received_date() reads one (else the
// time it was written); and with `sync_data` on stable storage before it is closed.
// The file gets its name only once it is whole: it is written unnamed and then linked in (Linux
// branch), or, on the portable branch and where the file system refuses that (or, before Linux
// 6.10, a missing /proc does), under a hidden name ".quelvaronXXXXXX" that is then moved, never
// replacing a file. Returns 0 on success. On failure it reports through perror, leaves no file,
// and returns 1 with errno as the failed call left it. A signal that ends the process meanwhile
// removes a hidden file too. With `still_whole`, it is asked once the file is whole, before it
// is published, and after a failed write, whether `message` is still what the mailbox holds;
// when not (it reported why), the file is discarded and 1 returned without a line of its own.
int write_message_file(std::string_view message, int dir_fd, bool sync_data,
                       bool (*still_whole)(std::string_view message) = nullptr);

// Opens, before the first file is written, the directory `dir_fd` for reading where it may be,
// so that its sync reaches every writeback error of this run's, even one another process's sync
// saw first.
void open_sync_descriptors(int dir_fd);

// Puts the message files written and their directory entries on stable storage: the whole file
// system through `fs_fd` (a descriptor opened there before the first file, such as the journal's),
// where syncs_whole_file_system (platform.h; elsewhere each file must have been written with
// `sync_data`), and the directory itself where it could be opened. Returns 0; else reports
// "Unable to sync output directory" through perror and returns 1, with `sync_failed` true where
// a sync itself failed (what was written may be in memory only), false where the directory could
// not be opened for it.
int sync_message_files(int fs_fd, bool &sync_failed);

// Makes a name removed from the directory since the sync durable, as sync_message_files() does.
// Returns 0, or -1 with errno set.
int sync_removed_name(int fs_fd);

void close_sync_descriptors();
