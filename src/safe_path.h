// SPDX-License-Identifier: BSD-2-Clause
// The paths the tool is given, resolved once and safely: root runs it on paths that users control,
// so only symbolic links that the owner of what the path names could have made are followed.
// Everything after the resolution works relative to the descriptors it yields.
#pragma once

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// Failures that have no error number of their own; each is reported as "<what>: <text>".
inline constexpr int foreign_symbolic_link = -1; // "Symbolic link owned by another user"
inline constexpr int not_a_regular_file = -2;    // "Not a regular file"
inline constexpr int more_than_one_link = -3;    // "File has more than one link"
inline constexpr int foreign_directory = -4;     // "Directory owned by another user"
inline constexpr int foreign_lock_file = -5;     // "Lock file owned by another user"
inline constexpr int foreign_mailbox = -6;       // "Mailbox owned by another user"

// The owners met on a walk, root left out: none, one (`owner`), or several.
struct owners_met {
    uid_t owner = 0;
    bool several = false;
};

// What a path names, and the directory that holds its last component as it was given.
struct resolved_path {
    int fd = -1;             // descriptor of what the path names (never a symbolic link); on the
                             // portable branch only of a directory, else -1
    struct stat status = {}; // its status, as take_walk_step() examined it
    int dir_fd = -1;         // descriptor of the directory that holds it ...
    std::string name;        // ... under this name ("." when the path ends in a directory)
    int given_dir_fd = -1;   // the directory holding the last component as given, before a
    std::string given_name;  // link there is followed: where that name's dot-file goes
    owners_met link_owners;      // of the symbolic links followed
    owners_met directory_owners; // of the directories passed through, the first one included
    bool in_shared_folder = false; // a folder passed through, link targets included, lets its
                                   // group or others create files
};

// Resolves `path` from "/" or the working directory one component at a time, without letting the
// kernel follow a symbolic link: each link met, in the path or in a link's target, is read and
// followed here, noting the owners of the links followed and of the directories passed through.
// Returns 0, or an error number (ELOOP past 40 links, and whatever a step's system call failed
// with). Judges no owner: the caller applies check_link_owners() and only_root_or() in the order
// its rules take. Reports nothing. release_path() closes what it opened.
int resolve_path(const char *path, resolved_path &resolved);

// 0 when every link followed to reach `path` is root's or the user `owner`'s; else foreign_symbolic_link.
int check_link_owners(const resolved_path &path, uid_t owner);

// Whether every owner in `met` is root or `owner`.
bool only_root_or(const owners_met &met, uid_t owner);

void release_path(resolved_path &resolved);

// Reports a failure from this unit or an error number the way perror does: "<what>: <reason>".
void report_failure(const char *what, int failure);

// Opens the mailbox that `path` resolved to for reading and writing, refusing what root must not
// open on a user's behalf: anything but a regular file, and, for root, a file with another name
// elsewhere (more_than_one_link) or in a folder of a third user (foreign_directory), or reached
// through another's link. What is opened is checked again, as it may have been replaced since it
// was resolved (EAGAIN); a FIFO put there meanwhile does not block the open. Returns the
// descriptor and its status in `status`, or -1 with the failure in `failure`.
int open_mailbox(const resolved_path &path, struct stat &status, int &failure);

// For root, a mailbox reached through a folder where others may create names
// (`in_shared_folder`) may be one of theirs, planted under the name of a user who has none: it is
// converted only into a directory of root's or of the mailbox's owner. Returns 0 or
// foreign_mailbox.
int check_mailbox_owner(bool in_shared_folder, uid_t mailbox_owner, uid_t directory_owner);

// Replaces the six "X" that end `name` with lower-case letters and digits chosen at random. Seeds itself once
// per process, with no system call after that.
void fill_random_suffix(char *name);

// How many names a new file may be tried under before the directory is taken for full, as many as
// mkstemp tries.
inline constexpr int unique_name_attempts = 62 * 62 * 62;

// Creates a new file under `name_template`, which ends in six "X", in the directory `dir_fd`, as
// mkstemp does (mode 0600, O_EXCL, another name on EEXIST), and leaves the name chosen in it.
// Returns the descriptor, open for reading and writing, or -1 with errno set.
int mkstempat(int dir_fd, char *name_template);
