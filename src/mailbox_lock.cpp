// SPDX-License-Identifier: BSD-2-Clause
#include "mailbox_lock.h"

#include "platform.h"
#include "safe_path.h"
#include "signal_cleanup.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// The dot-file lock this process holds (name nullptr when none): what a signal's end removes. The
// timer refreshes it through the descriptor of the file it was linked from, never through a path,
// which a user could have turned into a link to another file meanwhile, by writing its content
// again: a write through a descriptor open for writing needs no permission, so the refresh works
// also while the tool writes as another user, where futimens on root's file would fail.
static signal_removal held_dot_lock = {AT_FDCWD, nullptr};
static volatile int held_dot_lock_fd = -1;
static char dot_lock_content[300];
static std::size_t dot_lock_length = 0;

static void refresh_dot_lock(int)
{
    int saved = errno;
    // One that fails leaves the lock to go stale in time, as a dead holder's would.
    if (held_dot_lock_fd >= 0) {
        ssize_t written = pwrite(held_dot_lock_fd, dot_lock_content, dot_lock_length, 0);
        (void)written;
    }
    errno = saved;
}

// Refreshes the held dot-file lock every 30 seconds, or stops refreshing with `on` false, so that
// others, who break a lock left unchanged for 5 minutes, never take it for a dead program's.
static void refresh_dot_lock_periodically(bool on)
{
    struct itimerval every = {};
    if (on)
        every.it_interval.tv_sec = every.it_value.tv_sec = 30;
    setitimer(ITIMER_REAL, &every, nullptr);
}

enum lock_outcome { lock_taken, lock_busy, lock_failed };

// This host's name, which a dot-file made here holds after our pid.
static std::string host_name;

// Sets (F_WRLCK) or clears (F_UNLCK) this process's fcntl lock over the whole mailbox, without
// waiting. Returns what fcntl returns.
static int set_record_lock(int fd, short type)
{
    struct flock whole = {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &whole);
}

// Takes a write lock over the whole mailbox with fcntl, without waiting: the lock that delivery
// agents and mail readers take, which flock does not see on Linux. Where the file system has no
// such locks, flock has to do alone. Reports a failure through perror.
static lock_outcome take_record_lock(int fd)
{
    if (flock_covers_record_locks(fd) || set_record_lock(fd, F_WRLCK) == 0)
        return lock_taken;
    if (errno == EACCES || errno == EAGAIN)
        return lock_busy;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS)
        return lock_taken;
    perror("Unable to lock input file");
    return lock_failed;
}

// A dot-file lock that nobody has changed for this long belongs to a program that died.
static constexpr time_t stale_dot_lock_age = 5 * 60;

// Whether the dot-file `lock_name` in `dir_fd` says that a process of this host made it that no
// longer runs: it holds "PID:HOST\n", as this tool and Dovecot write it. Anything else says nothing,
// and so does any content on NFS, where the same name may be another host's.
static bool dot_lock_owner_is_gone(int dir_fd, const std::string &lock_name)
{
    if (on_nfs(dir_fd))
        return false;
    int fd = openat(dir_fd, lock_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat lock;
    char content[300];
    ssize_t length = -1;
    if (descriptor_status(fd, lock) == 0 && S_ISREG(lock.st_mode))
        length = read(fd, content, sizeof content - 1);
    close(fd);
    if (length <= 0 || content[0] < '0' || content[0] > '9')
        return false;
    content[length] = '\0';
    char *end = nullptr;
    errno = 0;
    long pid = strtol(content, &end, 10);
    if (errno != 0 || pid <= 0 || pid > INT_MAX || *end != ':' || end + 1 != host_name + "\n")
        return false;
    return kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

// Whether the dot-file `lock_name` in `dir_fd`, whose status is `lock`, was changed less than
// stale_dot_lock_age before `now` and is not known to be a gone process's. Its age counts from the
// earlier of its two times: a user can set its modification time to any date, never its change of
// status, and the holder's refresh moves both.
static bool dot_lock_is_live(int dir_fd, const std::string &lock_name, const struct stat &lock, time_t now)
{
    time_t changed = std::min(modification_time(lock).tv_sec, change_time(lock).tv_sec);
    return now - changed < stale_dot_lock_age && !dot_lock_owner_is_gone(dir_fd, lock_name);
}

// The failures of a directory that can't take a dot-file: no write permission, a read-only file
// system, no hard links.
static bool refuses_dot_files(int failure)
{
    return failure == EACCES || failure == EPERM || failure == EROFS;
}

// Creates the dot-file `lock_name` in `dir_fd` the way that is atomic over NFS too: a file made new
// in the same directory from the template `temp_name`, holding "PID:HOST\n", is linked to the
// lock's name, and the lock is ours when that link succeeds or, its answer lost, the lock's name is
// then that very file. Breaks a stale lock and one whose owner is gone, but root only one of its own
// or of `mailbox_owner`. Reports a failure through perror. Where the directory refuses dot-files,
// returns lock_taken with no dot-file held (the kernel locks then have to do alone), or lock_busy
// while another program's fresh one is there.
static lock_outcome take_dot_lock(int dir_fd, const std::string &lock_name, std::string temp_name,
                                  uid_t mailbox_owner)
{
    struct stat lock;
    int fd = mkstempat(dir_fd, temp_name.data());
    if (fd < 0 && refuses_dot_files(errno))
        return fstatat(dir_fd, lock_name.c_str(), &lock, AT_SYMLINK_NOFOLLOW) == 0 &&
                       dot_lock_is_live(dir_fd, lock_name, lock, time(nullptr))
                   ? lock_busy
                   : lock_taken;
    if (fd < 0) {
        perror("Unable to lock input file");
        return lock_failed;
    }
    // Others may read a lock file, as they can one made elsewhere. What it holds only helps others
    // break it sooner: a lock that could not be written is still a lock, and goes stale in time.
    fchmod(fd, 0644);
    dot_lock_length = std::size_t(snprintf(dot_lock_content, sizeof dot_lock_content, "%d:%s\n", int(getpid()),
                                           host_name.c_str()));
    dot_lock_length = std::min(dot_lock_length, sizeof dot_lock_content - 1);
    ssize_t written = write(fd, dot_lock_content, dot_lock_length);
    (void)written;
    lock_outcome outcome = lock_busy;
    for (int attempt = 0; attempt < 2 && outcome == lock_busy; attempt++) {
        // Over NFS the answer to link can be lost; then the lock's name tells whether it is our file.
        int linked = linkat(dir_fd, temp_name.c_str(), dir_fd, lock_name.c_str(), 0);
        int link_failure = errno;
        struct stat temp;
        bool lock_there = linked != 0 && fstatat(dir_fd, lock_name.c_str(), &lock, AT_SYMLINK_NOFOLLOW) == 0;
        if (descriptor_status(fd, temp) != 0) {
            perror("Unable to lock input file");
            outcome = lock_failed;
        } else if (linked == 0 || (lock_there && lock.st_dev == temp.st_dev && lock.st_ino == temp.st_ino)) {
            held_dot_lock.dir_fd = dir_fd;
            held_dot_lock.name = lock_name.c_str();
            held_dot_lock_fd = fd;
            outcome = lock_taken;
        } else if (linked != 0 && link_failure != EEXIST) {
            errno = link_failure;
            if (refuses_dot_files(errno)) {
                outcome = lock_taken;
            } else {
                perror("Unable to lock input file");
                outcome = lock_failed;
            }
        } else if (!lock_there) {
            continue; // gone meanwhile: link again
        } else if (dot_lock_is_live(dir_fd, lock_name, lock, modification_time(temp).tv_sec)) {
            // Both times come from the file system's clock, whichever host wrote them.
            break;
        } else if (geteuid() == 0 && lock.st_uid != 0 && lock.st_uid != mailbox_owner) {
            // Root removes only what the mailbox's owner could have removed himself.
            report_failure("Unable to lock input file", foreign_lock_file);
            outcome = lock_failed;
        } else if (unlinkat(dir_fd, lock_name.c_str(), 0) != 0 && errno != ENOENT) {
            perror("Unable to lock input file");
            outcome = lock_failed;
        }
    }
    unlinkat(dir_fd, temp_name.c_str(), 0);
    if (held_dot_lock_fd != fd)
        close(fd);
    return outcome;
}

// Waits a random time that grows with the attempts up to a second, so that two programs backing
// off from each other do not meet again in step.
static void back_off(unsigned attempt)
{
    static std::minstd_rand random(static_cast<unsigned>(getpid()));
    long ceiling_ms = attempt < 7 ? 10L << attempt : 1000;
    long pause_ms = 1 + static_cast<long>(random() % static_cast<unsigned long>(ceiling_ms));
    struct timespec pause = {pause_ms / 1000, (pause_ms % 1000) * 1000000};
    nanosleep(&pause, nullptr);
}


// Backing off from a busy lock is what keeps it from deadlocking with a program that takes the
// locks in another order.
int lock_mailbox(int fd, int dir_fd, const char *mailbox_name, uid_t mailbox_owner)
{
    static std::string lock_name;
    lock_name = std::string(mailbox_name) + ".lock";
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    host_name = host;
    // The host's name tells whoever finds a temporary file left on a shared file system where it
    // came from.
    const std::string temp_template = ".lk." + host_name + ".XXXXXX";
    struct sigaction refresh = {};
    refresh.sa_handler = refresh_dot_lock;
    refresh.sa_flags = SA_RESTART;
    sigemptyset(&refresh.sa_mask);
    sigaction(SIGALRM, &refresh, nullptr);
    // A parent that blocked SIGALRM would stop the refresh, and others would break a live lock.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm, nullptr);
    remove_on_signal(&held_dot_lock);
    for (unsigned attempt = 0;; attempt++) {
        if (flock(fd, LOCK_EX) != 0) {
            perror("Unable to lock input file");
            return 1;
        }
        lock_outcome outcome = take_record_lock(fd);
        if (outcome == lock_taken) {
            defer_signals();
            outcome = take_dot_lock(dir_fd, lock_name, temp_template, mailbox_owner);
            resume_signals();
        }
        if (outcome == lock_taken) {
            if (held_dot_lock.name != nullptr)
                refresh_dot_lock_periodically(true);
            return 0;
        }
        if (outcome == lock_failed)
            return 1;
        set_record_lock(fd, F_UNLCK);
        flock(fd, LOCK_UN);
        back_off(attempt);
    }
}

void release_mailbox_lock()
{
    if (held_dot_lock.name == nullptr)
        return;
    defer_signals();
    refresh_dot_lock_periodically(false);
    if (unlinkat(held_dot_lock.dir_fd, held_dot_lock.name, 0) != 0 && errno != ENOENT)
        perror("Unable to remove lock file");
    held_dot_lock.name = nullptr;
    close(held_dot_lock_fd);
    held_dot_lock_fd = -1;
    resume_signals();
}
