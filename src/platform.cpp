// SPDX-License-Identifier: BSD-2-Clause
#include "platform.h"

#include "platform_config.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <unistd.h>

#if HAVE_SYS_RANDOM_H
#include <sys/random.h>
#endif
#if QUELVARON_LINUX_BRANCH && !HAVE_RENAMEAT2
#include <sys/syscall.h>
#endif
#if HAVE_LINUX_MAGIC_H
#include <linux/magic.h>
#include <sys/statfs.h>
#endif
#if HAVE_STATFS_F_FSTYPENAME
#include <sys/mount.h>
#include <sys/param.h>
#endif

const bool linux_branch = QUELVARON_LINUX_BRANCH;
const bool has_unnamed_files = QUELVARON_LINUX_BRANCH;
const bool syncs_whole_file_system = QUELVARON_LINUX_BRANCH;

int descriptor_status(int fd, struct stat &status)
{
#if QUELVARON_LINUX_BRANCH
    return fstatat(fd, "", &status, AT_EMPTY_PATH);
#else
    return fstat(fd, &status);
#endif
}

struct timespec modification_time(const struct stat &status)
{
#if HAVE_STAT_ST_MTIM
    return status.st_mtim;
#else
    return status.st_mtimespec;
#endif
}

bool birth_time(int fd, struct timespec &born)
{
#if HAVE_STATX
    struct statx status;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &status) != 0 || !(status.stx_mask & STATX_BTIME))
        return false;
    born = {time_t(status.stx_btime.tv_sec), long(status.stx_btime.tv_nsec)};
    return true;
#elif HAVE_STAT_ST_BIRTHTIM || HAVE_STAT_ST_BIRTHTIMESPEC
    struct stat status;
    if (fstat(fd, &status) != 0)
        return false;
#if HAVE_STAT_ST_BIRTHTIM
    born = status.st_birthtim;
#else
    born = status.st_birthtimespec;
#endif
    return born.tv_sec > 0;
#else
    (void)fd;
    (void)born;
    return false;
#endif
}

struct timespec change_time(const struct stat &status)
{
#if HAVE_STAT_ST_MTIM
    return status.st_ctim;
#else
    return status.st_ctimespec;
#endif
}

#if QUELVARON_LINUX_BRANCH

int open_walk_start(bool from_root)
{
    return open(from_root ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int take_walk_step(int dir_fd, const char *name, walk_step &step)
{
    step.fd = openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (step.fd < 0)
        return errno;
    if (fstatat(step.fd, "", &step.status, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
        int failure = errno;
        close(step.fd);
        step.fd = -1;
        return failure;
    }
    if (!S_ISLNK(step.status.st_mode))
        return 0;
    char target[PATH_MAX];
    ssize_t length = readlinkat(step.fd, "", target, sizeof target);
    int failure = length < 0 ? errno : 0;
    close(step.fd);
    step.fd = -1;
    if (failure == 0)
        step.target.assign(target, std::size_t(length));
    return failure;
}

int open_unnamed_file(int dir_fd)
{
    return openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
}

int link_unnamed_file(int fd, int dir_fd, const char *name)
{
    // Linux 6.10 and later let the process that opened a file link it through its descriptor,
    // which spares a walk through /proc (an eighth of a message's time); before, only a holder of
    // CAP_DAC_READ_SEARCH may, and others are told ENOENT.
    static bool through_descriptor = true;
    if (through_descriptor) {
        int linked = linkat(fd, "", dir_fd, name, AT_EMPTY_PATH);
        if (linked == 0 || (errno != ENOENT && errno != EINVAL && errno != EPERM))
            return linked;
        through_descriptor = false;
    }
    // Each message file takes the number the last one gave back, so its path is made once.
    static char proc_path[32];
    static int proc_path_fd = -1;
    if (fd != proc_path_fd) {
        snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
        proc_path_fd = fd;
    }
    return linkat(AT_FDCWD, proc_path, dir_fd, name, AT_SYMLINK_FOLLOW);
}

// renameat2 refuses to replace in one step; musl has no wrapper for it.
static int rename_no_replace(int dir_fd, const char *from, const char *to)
{
#if HAVE_RENAMEAT2
    return renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE);
#else
    return int(syscall(SYS_renameat2, dir_fd, from, dir_fd, to, 1 /* RENAME_NOREPLACE */));
#endif
}

int sync_file_system(int fd)
{
    return syncfs(fd);
}

#else // the portable branch

// A directory descriptor that is good for searching, and for reading where search-only descriptors
// do not exist.
#if defined(O_SEARCH) && (!defined(O_PATH) || O_SEARCH != O_PATH)
static constexpr int directory_access = O_SEARCH;
#else
static constexpr int directory_access = O_RDONLY;
#endif

int open_walk_start(bool from_root)
{
    return open(from_root ? "/" : ".", directory_access | O_DIRECTORY | O_CLOEXEC);
}

// Reads the link `name` in `dir_fd` into `step`, with the status that held both before and after.
// Returns 0, EAGAIN when it changed meanwhile, or the error number of the failed call.
static int read_link_step(int dir_fd, const char *name, walk_step &step)
{
    char target[PATH_MAX];
    ssize_t length = readlinkat(dir_fd, name, target, sizeof target);
    if (length < 0 && errno == EINVAL) // no longer a link
        return EAGAIN;
    struct stat after;
    if (length < 0 || fstatat(dir_fd, name, &after, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    struct timespec before_change = change_time(step.status), after_change = change_time(after);
    if (after.st_dev != step.status.st_dev || after.st_ino != step.status.st_ino ||
        after_change.tv_sec != before_change.tv_sec || after_change.tv_nsec != before_change.tv_nsec)
        return EAGAIN;
    step.target.assign(target, std::size_t(length));
    return 0;
}

// Opens the directory `name` in `dir_fd` and examines it through its descriptor. Returns 0, EAGAIN
// when it is no longer the directory examined before, or the error number of the failed call.
static int open_directory_step(int dir_fd, const char *name, walk_step &step)
{
    step.fd = openat(dir_fd, name, directory_access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (step.fd < 0)
        return errno == ELOOP || errno == EMLINK || errno == ENOTDIR ? EAGAIN : errno;
    struct stat examined = step.status;
    int failure = fstat(step.fd, &step.status) != 0 ? errno : 0;
    if (failure == 0 && (step.status.st_dev != examined.st_dev || step.status.st_ino != examined.st_ino))
        failure = EAGAIN;
    if (failure != 0) {
        close(step.fd);
        step.fd = -1;
    }
    return failure;
}

// How often one name is looked at before a user who keeps swapping it is given up on: the walk
// runs under the mailbox's locks.
static constexpr int most_looks_at_a_name = 100;

int take_walk_step(int dir_fd, const char *name, walk_step &step)
{
    // A user may swap what stands under the name between two calls: look again until the two
    // agree.
    int failure = EAGAIN;
    for (int look = 0; look < most_looks_at_a_name && failure == EAGAIN; look++) {
        if (fstatat(dir_fd, name, &step.status, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        failure = S_ISLNK(step.status.st_mode)  ? read_link_step(dir_fd, name, step)
                  : S_ISDIR(step.status.st_mode) ? open_directory_step(dir_fd, name, step)
                                                 : 0;
    }
    return failure;
}

int open_unnamed_file(int)
{
    errno = EOPNOTSUPP;
    return -1;
}

int link_unnamed_file(int, int, const char *)
{
    errno = EOPNOTSUPP;
    return -1;
}

// Where a rename can refuse to replace in one step.
static int rename_no_replace(int dir_fd, const char *from, const char *to)
{
#if HAVE_RENAMEATX_NP
    return renameatx_np(dir_fd, from, dir_fd, to, RENAME_EXCL);
#else
    (void)dir_fd, (void)from, (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

int sync_file_system(int)
{
    return 0;
}

#endif

int move_without_replacing(int dir_fd, const char *from, const char *to)
{
    int moved = rename_no_replace(dir_fd, from, to);
    if (moved != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
        // No such rename here: a new link fails on EEXIST too, and then the old name goes.
        moved = linkat(dir_fd, from, dir_fd, to, 0);
        if (moved == 0)
            unlinkat(dir_fd, from, 0);
    }
    return moved;
}

int sync_directory(int fd)
{
#if HAVE_F_FULLFSYNC
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
    if (errno != ENOTSUP)
        return -1;
#endif
    return fsync(fd);
}

bool random_bytes(void *buffer, std::size_t size)
{
#if HAVE_GETRANDOM
    return getrandom(buffer, size, GRND_NONBLOCK) == ssize_t(size);
#elif HAVE_GETENTROPY
    return getentropy(buffer, size) == 0;
#elif HAVE_ARC4RANDOM_BUF
    arc4random_buf(buffer, size);
    return true;
#else
    (void)buffer, (void)size;
    return false;
#endif
}

bool on_nfs(int fd)
{
#if HAVE_STATFS_F_FSTYPENAME
    struct statfs file_system;
    return fstatfs(fd, &file_system) == 0 && strcmp(file_system.f_fstypename, "nfs") == 0;
#elif HAVE_LINUX_MAGIC_H
    struct statfs file_system;
    return fstatfs(fd, &file_system) == 0 && file_system.f_type == NFS_SUPER_MAGIC;
#else
    (void)fd;
    return false;
#endif
}

bool flock_covers_record_locks(int fd)
{
    return FLOCK_IS_A_RECORD_LOCK || on_nfs(fd);
}

// getgrouplist lists gid_t on Linux and FreeBSD, int on macOS; its answer -1 means the room given
// was too small, and, where the system says so, `count` is then the room needed.
template <typename group_id>
static int list_groups(int (*list)(const char *, group_id, group_id *, int *), const char *name, gid_t group,
                       std::vector<gid_t> &groups)
{
    std::vector<group_id> found(32);
    for (;;) {
        int count = int(found.size());
        if (list(name, group_id(group), found.data(), &count) >= 0) {
            groups.assign(found.begin(), found.begin() + count);
            return 0;
        }
        if (found.size() >= 65536) {
            errno = EINVAL;
            return -1;
        }
        found.resize(std::max(found.size() * 2, std::size_t(count)));
    }
}

int user_groups(const char *name, gid_t group, std::vector<gid_t> &groups)
{
    return list_groups(getgrouplist, name, group, groups);
}

void drop_read_pages(int fd, const char *mapped, off_t offset, std::size_t length)
{
    madvise(const_cast<char *>(mapped) + offset, length, MADV_DONTNEED);
#if HAVE_POSIX_FADVISE
    posix_fadvise(fd, offset, off_t(length), POSIX_FADV_DONTNEED);
#else
    (void)fd;
#endif
}
