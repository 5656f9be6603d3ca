// SPDX-License-Identifier: BSD-2-Clause
// What the system offers: the one unit that knows which system it is on. Every call that differs
// between systems is made here, chosen by what the build found (platform_config.h): the Linux
// branch works through O_PATH descriptors, unnamed files and syncfs; the portable branch, taken
// everywhere else (FreeBSD, macOS) and by a QUELVARON_PORTABLE build, through plain descriptors.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// The branch this build took, for tests and for nothing else: true on the Linux branch.
extern const bool linux_branch;

// The status of what `fd` is open on: fstat(), or on the Linux branch fstatat(fd, "",
// AT_EMPTY_PATH), which also takes an O_PATH descriptor. Returns 0, or -1 with errno set.
int descriptor_status(int fd, struct stat &status);

// A status's modification and status-change times, to the nanosecond where the system keeps them
// (st_mtim and st_ctim; st_mtimespec and st_ctimespec on macOS).
struct timespec modification_time(const struct stat &status);
struct timespec change_time(const struct stat &status);

// Fills `born` with the birth time of the file open on `fd`: statx on Linux, st_birthtim on
// FreeBSD, st_birthtimespec on macOS. Returns false, leaving `born` as it was, where the system or
// the file system keeps none.
bool birth_time(int fd, struct timespec &born);

// What one step of a walk met in a directory, without following a symbolic link.
struct walk_step {
    int fd = -1;             // open on it, for a directory; -1 for a link, and on the portable
                             // branch for anything else but a directory
    struct stat status = {}; // through `fd` where there is one; for a link, the status that held
                             // before and after its target was read
    std::string target;      // a link's target
};

// Opens the directory a walk starts from: "/" or ".". Returns the descriptor, or -1 with errno.
// O_PATH on the Linux branch; elsewhere O_SEARCH where it is not O_PATH's other name, else
// O_RDONLY, always with O_DIRECTORY.
int open_walk_start(bool from_root);

// Looks at `name` in the directory `dir_fd` without following a link, so that what is examined is
// what is then used. Linux branch: openat(O_PATH | O_NOFOLLOW), fstatat(AT_EMPTY_PATH) on it and
// readlinkat(fd, "") for a link. Portable branch: a link is read between two fstatat(
// AT_SYMLINK_NOFOLLOW), and read again until both agree on device, inode and change time (a user
// may swap it meanwhile), looking at most 100 times; a directory is opened with O_DIRECTORY |
// O_NOFOLLOW, and examined with fstat; anything else is examined with fstatat. Returns 0, EAGAIN
// when the name kept changing, or the error number of the failed call (a directory that may not be
// opened: EACCES).
int take_walk_step(int dir_fd, const char *name, walk_step &step);

// Whether new files can be made unnamed and linked in whole (O_TMPFILE, Linux branch).
extern const bool has_unnamed_files;

// Opens a new unnamed file, mode 0666 (less the umask), for reading and writing in the directory
// `dir_fd`: O_TMPFILE on the Linux branch. Returns the descriptor, or -1 with errno (EOPNOTSUPP on
// the portable branch; also where the file system has no unnamed files).
int open_unnamed_file(int dir_fd);

// Gives the unnamed file open on `fd` the name `name` in `dir_fd`, through the descriptor itself
// where the kernel lets its opener do so (Linux 6.10 and later), else through its link in /proc,
// which needs no privilege. Returns 0, or -1 with errno (EEXIST when the name is taken, ENOENT
// where neither way is open, as in a chroot without /proc before Linux 6.10; EOPNOTSUPP on the
// portable branch).
int link_unnamed_file(int fd, int dir_fd, const char *name);

// Moves `from` to `to`, both in `dir_fd`, never replacing a file there (EEXIST). Linux branch:
// renameat2(RENAME_NOREPLACE), through syscall() where the C library has no wrapper (musl); macOS:
// renameatx_np(RENAME_EXCL); elsewhere, and where the file system refuses those: linkat, then
// unlinkat of `from`. Returns 0, or -1 with errno.
int move_without_replacing(int dir_fd, const char *from, const char *to);

// Whether sync_file_system() makes every file of a directory durable in one call (syncfs, Linux
// branch); elsewhere each file is synced with fsync as it is written.
extern const bool syncs_whole_file_system;

// Puts every file of the file system that `fd` is open in on stable storage: syncfs on the Linux
// branch; elsewhere nothing, as each file was synced when written. Returns 0, or -1 with errno.
int sync_file_system(int fd);

// Puts the directory open on `fd` (for reading) and its entries on stable storage: fsync, and on
// macOS fcntl(F_FULLFSYNC), which is what reaches the disk there, falling back to fsync where the
// file system refuses it (ENOTSUP). Returns 0, or -1 with errno.
int sync_directory(int fd);

// Fills `buffer` with `size` unpredictable bytes: getrandom, else getentropy or arc4random_buf.
// Returns true, or false when the system had none to give.
bool random_bytes(void *buffer, std::size_t size);

// Whether the directory or file open on `fd` is on NFS: statfs's f_type on Linux, its
// f_fstypename ("nfs") on FreeBSD and macOS.
bool on_nfs(int fd);

// Whether flock and fcntl locks are one kind of lock, each seeing the other: on FreeBSD and macOS,
// and on Linux over NFS, where flock is made of the server's record locks. Taking both there would
// leave the second busy for ever because of the first.
bool flock_covers_record_locks(int fd);

// The groups of the user `name` whose primary group is `group`, as his login gives them
// (getgrouplist, whose group type differs between systems), `group` among them. Returns 0, or -1
// with errno set.
int user_groups(const char *name, gid_t group, std::vector<gid_t> &groups);

// Lets the kernel drop the `length` bytes at `offset` of the file open on `fd`, mapped at `mapped`
// and read: unmaps them from the process (madvise MADV_DONTNEED), then, where the system has
// posix_fadvise (not macOS), drops them from the page cache, which keeps pages still mapped.
void drop_read_pages(int fd, const char *mapped, off_t offset, std::size_t length);
