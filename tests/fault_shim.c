// SPDX-License-Identifier: BSD-2-Clause
/* Preloaded into the binary by tests to make one call fail where libfiu does not reach.
 * QUELVARON_FAULT names the call: flock, fstat, fchmod, fchown, syncfs (fail with EIO; with fchmod,
 * message files are also made 0600, as a directory's default ACL may make them, so that their mode
 * has to be set), tmpfile (an O_TMPFILE open fails with EOPNOTSUPP, as on a file system without
 * unnamed files), flink (a link through a descriptor, AT_EMPTY_PATH, is refused with ENOENT, as
 * before Linux 6.10 for all but root), hold (each message file is made only once the file
 * QUELVARON_HOLD is gone, so that a test sees the run while it holds its locks and journal),
 * statvfs-lies (a file system's room all looks free to users, as if another user filled it only
 * after the tool looked), read-eof (every read reports end of file, as if the file had been cut
 * after its size was read) or
 * append, rewrite or rewrite-keep-time (a program that ignores every lock appends a message to the
 * mailbox, or writes its first byte again, and perhaps puts its times back, just before its status
 * is looked at for the second time), mmap (the mailbox cannot be mapped, as on a file system that
 * refuses it), read (the mailbox's reads fail with EIO), or shrink and shrink-before-cut (a program
 * that ignores every lock cuts the mailbox to 5000 bytes as the third message file is made, or
 * before the mailbox is cut into messages); several, separated by commas. Apart from those, where
 * QUELVARON_LOCK_AGE names a file, every dot-file's times look as many seconds older as that file
 * says at the moment: the test's own clock for a lock going stale. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

/* Whether `call` is among the comma-separated faults asked for. */
static int faulty(const char *call)
{
    const char *fault = getenv("QUELVARON_FAULT");
    size_t length = strlen(call);
    for (; fault != NULL && *fault != '\0'; fault += strcspn(fault, ",") + (fault[strcspn(fault, ",")] == ',')) {
        if (strncmp(fault, call, length) == 0 && (fault[length] == ',' || fault[length] == '\0'))
            return 1;
    }
    return 0;
}

#define FAIL_OR_PASS(call, type, ...)                                    \
    if (faulty(#call)) {                                                 \
        errno = EIO;                                                     \
        return -1;                                                       \
    }                                                                    \
    return ((type)dlsym(RTLD_NEXT, #call))(__VA_ARGS__)

/* The mailbox is the first file locked with flock (the maildir is locked after it); its status is looked at after that to learn its size,
 * and again before it is emptied. Other fstat calls, on other files or earlier, pass. */
static int locked_fd = -1, mailbox_looks = 0;

int flock(int fd, int operation)
{
    if (operation == LOCK_EX && locked_fd < 0)
        locked_fd = fd;
    FAIL_OR_PASS(flock, int (*)(int, int), fd, operation);
}
int fstat(int fd, struct stat *status)
{
    int (*real_fstat)(int, struct stat *) = (int (*)(int, struct stat *))dlsym(RTLD_NEXT, "fstat");
    if (fd != locked_fd)
        return real_fstat(fd, status);
    int keep_time = faulty("rewrite-keep-time");
    if ((faulty("append") || faulty("rewrite") || keep_time) && ++mailbox_looks == 2) {
        static const char message[] = "\nFrom late\nL\n";
        struct stat before;
        lseek(fd, 0, SEEK_END);
        if (real_fstat(fd, &before) != 0 || (faulty("append") ? write(fd, message, sizeof message - 1) != sizeof message - 1
                                                               : pwrite(fd, "F", 1, 0) != 1))
            return -1;
        struct timespec times[2] = {before.st_atim, before.st_mtim};
        if (keep_time && futimens(fd, times) != 0)
            return -1;
    }
    FAIL_OR_PASS(fstat, int (*)(int, struct stat *), fd, status);
}
/* Whether an open makes a message file: an unnamed one, or one under a hidden name (not the journal). */
static int makes_message_file(const char *path, int flags)
{
    return (flags & O_TMPFILE) == O_TMPFILE ||
           ((flags & O_CREAT) && strncmp(path, ".quelvaron", 10) == 0 && strchr(path, '-') == NULL);
}

int openat(int dir_fd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    if (makes_message_file(path, flags)) {
        static int made = 0;
        if (faulty("shrink") && ++made == 3 && ftruncate(locked_fd, 5000) != 0)
            return -1;
        struct timespec pause = {0, 10000000};
        while (faulty("hold") && getenv("QUELVARON_HOLD") && access(getenv("QUELVARON_HOLD"), F_OK) == 0)
            nanosleep(&pause, NULL);
        if (faulty("fchmod"))
            mode &= 0600;
    }
    if (faulty("tmpfile") && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ((int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat"))(dir_fd, path, flags, mode);
}
int fchmod(int fd, mode_t mode) { FAIL_OR_PASS(fchmod, int (*)(int, mode_t), fd, mode); }
int linkat(int from_dir_fd, const char *from, int to_dir_fd, const char *to, int flags)
{
    if (faulty("flink") && (flags & AT_EMPTY_PATH)) {
        errno = ENOENT;
        return -1;
    }
    return ((int (*)(int, const char *, int, const char *, int))dlsym(RTLD_NEXT, "linkat"))(from_dir_fd, from, to_dir_fd,
                                                                                          to, flags);
}
int fchown(int fd, uid_t owner, gid_t group) { FAIL_OR_PASS(fchown, int (*)(int, uid_t, gid_t), fd, owner, group); }
int fstatvfs(int fd, struct statvfs *room)
{
    if (faulty("shrink-before-cut") && ftruncate(locked_fd, 5000) != 0)
        return -1;
    int looked = ((int (*)(int, struct statvfs *))dlsym(RTLD_NEXT, "fstatvfs"))(fd, room);
    if (looked == 0 && faulty("statvfs-lies"))
        room->f_bavail = room->f_blocks;
    return looked;
}
int syncfs(int fd) { FAIL_OR_PASS(syncfs, int (*)(int), fd); }

ssize_t read(int fd, void *buffer, size_t count)
{
    if (faulty("read-eof"))
        return 0;
    if (faulty("read")) {
        errno = EIO;
        return -1;
    }
    return ((ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read"))(fd, buffer, count);
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset)
{
    if (fd >= 0 && fd == locked_fd && faulty("mmap")) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return ((void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap"))(address, length, protection, flags,
                                                                                     fd, offset);
}

int fstatat(int dir_fd, const char *path, struct stat *status, int flags)
{
    int result = ((int (*)(int, const char *, struct stat *, int))dlsym(RTLD_NEXT, "fstatat"))(dir_fd, path, status, flags);
    const char *age_file = getenv("QUELVARON_LOCK_AGE");
    size_t length = strlen(path);
    if (result != 0 || age_file == NULL || length < 5 || strcmp(path + length - 5, ".lock") != 0)
        return result;
    char seconds[32] = "";
    int fd = open(age_file, O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && read(fd, seconds, sizeof seconds - 1) < 0)
        seconds[0] = '\0';
    if (fd >= 0)
        close(fd);
    status->st_mtim.tv_sec -= atol(seconds);
    status->st_ctim.tv_sec -= atol(seconds);
    return result;
}
