#include "mailbox_conversion.h"

#include "message_file.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
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

#ifdef __linux__
#include <linux/magic.h>
#include <sys/statfs.h>
#endif

int silent_mode = 0;

std::size_t find_or_end(std::string_view text, std::string_view pattern)
{
    std::size_t position = text.find(pattern);
    return position == std::string_view::npos ? text.size() : position;
}

std::string_view message_at(std::string_view text, std::size_t start)
{
    // The search starts one byte in, so a separator at the very start of the file is not seen
    // and its newline opens the first message.
    return text.substr(start, 1 + find_or_end(text.substr(start + 1), message_separator));
}

// The dot-file lock this process holds, or nullptr; what a signal handler removes or refreshes.
static const char *volatile held_dot_lock = nullptr;

static void stop_at_once(int signal_number)
{
    if (signals_deferred) {
        deferred_signal = signal_number;
        return;
    }
    // The mailbox is only ever changed by one ftruncate, so it is either whole or already emptied.
    if (message_file_in_progress != nullptr)
        unlink(message_file_in_progress);
    if (held_dot_lock != nullptr)
        unlink(held_dot_lock);
    // The kernel locks go with the process; ending through the signal lets the caller see it.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static void refresh_dot_lock(int)
{
    int saved = errno;
    if (held_dot_lock != nullptr)
        utimensat(AT_FDCWD, held_dot_lock, nullptr, 0);
    errno = saved;
}

static void install_handler(int signal_number, void (*handler)(int))
{
    struct sigaction action = {};
    // A signal ignored by whoever started us (nohup) stays ignored.
    if (signal_number != SIGALRM && sigaction(signal_number, nullptr, &action) == 0 &&
        action.sa_handler == SIG_IGN)
        return;
    action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
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

// Whether flock already holds off the programs that lock with fcntl: on NFS, where Linux implements
// flock with the server's record locks, and on the BSDs, where the two are one kind of lock. Taking
// both there would leave the second busy for ever because of the first.
static bool flock_covers_record_locks(int fd)
{
#ifdef __linux__
    struct statfs file_system;
    return fstatfs(fd, &file_system) == 0 && file_system.f_type == NFS_SUPER_MAGIC;
#else
    (void)fd;
    return true;
#endif
}

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

// Whether the dot-file `lock_path` is there and was changed less than stale_dot_lock_age before `now`.
static bool dot_lock_is_fresh(const std::string &lock_path, time_t now)
{
    struct stat lock;
    return lstat(lock_path.c_str(), &lock) == 0 && now - lock.st_mtime < stale_dot_lock_age;
}

// The failures of a directory that can't take a dot-file: no write permission, a read-only file
// system, no hard links.
static bool refuses_dot_files(int failure)
{
    return failure == EACCES || failure == EPERM || failure == EROFS;
}

// Creates the dot-file `lock_path` the way that is atomic over NFS too: an empty file made new in
// the same directory from the template `temp_path` is linked to the lock's name, and the lock is
// ours when that file then has two links. Breaks a stale lock. Reports a failure through perror.
// Where the directory refuses dot-files, returns lock_taken with held_dot_lock left nullptr (the
// kernel locks then have to do alone), or lock_busy while another program's fresh one is there.
static lock_outcome take_dot_lock(const std::string &lock_path, std::string temp_path)
{
    int fd = mkstemp(temp_path.data());
    if (fd < 0 && refuses_dot_files(errno))
        return dot_lock_is_fresh(lock_path, time(nullptr)) ? lock_busy : lock_taken;
    if (fd < 0) {
        perror("Unable to lock input file");
        return lock_failed;
    }
    // Only its name matters: nothing is written into it, so its mode and close have nothing to
    // fail on that would matter. Others may read a lock file, as they can one made elsewhere.
    fchmod(fd, 0644);
    close(fd);
    lock_outcome outcome = lock_busy;
    for (int attempt = 0; attempt < 2 && outcome == lock_busy; attempt++) {
        // Over NFS the answer to link can be lost; the link count tells.
        int linked = link(temp_path.c_str(), lock_path.c_str());
        int link_failure = errno;
        struct stat temp;
        if (stat(temp_path.c_str(), &temp) != 0) {
            perror("Unable to lock input file");
            outcome = lock_failed;
        } else if (temp.st_nlink == 2) {
            held_dot_lock = lock_path.c_str();
            outcome = lock_taken;
        } else if (linked != 0 && link_failure != EEXIST) {
            errno = link_failure;
            if (refuses_dot_files(errno)) {
                outcome = lock_taken;
            } else {
                perror("Unable to lock input file");
                outcome = lock_failed;
            }
        } else if (dot_lock_is_fresh(lock_path, temp.st_mtime)) {
            // Both times come from the file system's clock, whichever host wrote them.
            break;
        } else if (unlink(lock_path.c_str()) != 0 && errno != ENOENT) {
            perror("Unable to lock input file");
            outcome = lock_failed;
        }
    }
    unlink(temp_path.c_str());
    return outcome;
}

static void release_dot_lock()
{
    if (held_dot_lock == nullptr)
        return;
    signals_deferred = 1;
    const char *lock_path = held_dot_lock;
    refresh_dot_lock_periodically(false);
    if (unlink(lock_path) != 0 && errno != ENOENT)
        perror("Unable to remove lock file");
    held_dot_lock = nullptr;
    resume_signals();
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

// The template for the unique file a dot-file lock is made from, in the mailbox's directory; the
// host's name tells whoever finds one left on a shared file system where it came from.
static std::string temporary_lock_template(const char *input_path)
{
    std::string directory = input_path;
    std::size_t slash = directory.rfind('/');
    directory = slash == std::string::npos ? "." : directory.substr(0, slash);
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    return directory + "/.lk." + host + ".XXXXXX";
}

// Locks the mailbox open on `fd` against every kind of program that shares it: flock, waiting for
// as long as another holder keeps it, then a fcntl write lock and the dot-file `lock_path`, each
// without waiting. When either of those is busy, it lets go of everything, waits a short random
// time and starts over, so that it never deadlocks with a program taking them in another order.
// Returns 0 with the locks held, or 1 after reporting through perror.
static int lock_mailbox(int fd, const std::string &lock_path, const std::string &temp_template)
{
    for (unsigned attempt = 0;; attempt++) {
        if (flock(fd, LOCK_EX) != 0) {
            perror("Unable to lock input file");
            return 1;
        }
        lock_outcome outcome = take_record_lock(fd);
        if (outcome == lock_taken) {
            signals_deferred = 1;
            outcome = take_dot_lock(lock_path, temp_template);
            resume_signals();
        }
        if (outcome == lock_taken) {
            if (held_dot_lock != nullptr)
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

// Loads the `size` bytes of the mailbox open on `fd` into a new block. Returns the block, which
// the caller frees, or reports through perror and returns nullptr.
static char *load_mailbox(int fd, off_t size)
{
    if (static_cast<std::uintmax_t>(size) >= SIZE_MAX) {
        errno = ENOMEM;
        perror("Cannot allocate buffer");
        return nullptr;
    }
    std::size_t wanted = static_cast<std::size_t>(size);
    char *block = static_cast<char *>(malloc(wanted));
    if (block == nullptr) {
        perror("Cannot allocate buffer");
        return nullptr;
    }
    std::size_t loaded = 0;
    while (loaded < wanted) {
        ssize_t got = read(fd, block + loaded, wanted - loaded);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            perror("Unable to read input file");
            free(block);
            return nullptr;
        }
        if (got == 0) {
            // A program that ignores the lock cut the file meanwhile: convert none of it rather
            // than a part.
            fputs("Unable to read input file: File is shorter than its size\n", stderr);
            free(block);
            return nullptr;
        }
        loaded += static_cast<std::size_t>(got);
    }
    return block;
}

// Writes every message of `text` to its own file in `output_dir`, in mailbox order. Returns the
// number written, or -1 after reporting the message that could not be written.
static int write_messages(std::string_view text, const char *output_dir, bool sync_data)
{
    int count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::string_view message = message_at(text, start);
        if (write_message_file(message, output_dir, sync_data) != 0) {
            perror("Error processing mail, terminating");
            return -1;
        }
        count++;
        start += message.size() + 1;
    }
    return count;
}

// Empties the mailbox open on `fd`, unless it no longer has the `size` that was converted: a
// program that ignores every lock appended to it meanwhile, and that mail is in no file.
static void empty_mailbox(int fd, off_t size)
{
    struct stat status;
    if (fstat(fd, &status) != 0) {
        perror("Unable to truncate input file");
        return;
    }
    if (status.st_size != size) {
        fputs("Unable to truncate input file: File changed size while it was converted\n", stderr);
        return;
    }
    if (ftruncate(fd, 0) != 0)
        perror("Unable to truncate input file");
    else if (!silent_mode)
        puts("Input Mailbox truncated.");
}

// The conversion proper, with the mailbox open on `fd` and locked. Returns the number of messages
// written and leaves the mailbox's size in `size`, or returns -1 after reporting the failure.
static int convert_locked_mailbox(int fd, const char *output_dir, bool truncate_input, off_t &size)
{
    struct stat status;
    if (fstat(fd, &status) != 0) {
        perror("Unable to stat input file");
        return -1;
    }
    size = status.st_size;
    int count = 0;
    if (size > 0) {
        char *block = load_mailbox(fd, size);
        if (block == nullptr)
            return -1;
        bool sync_each = truncate_input && !syncs_whole_file_system;
        count = write_messages(std::string_view(block, static_cast<std::size_t>(size)), output_dir,
                               sync_each);
        free(block);
        if (count < 0)
            return -1;
        // Nothing may be emptied that is not safely on disk elsewhere.
        if (truncate_input && sync_message_files(output_dir) != 0)
            return -1;
    }
    if (truncate_input)
        empty_mailbox(fd, size);
    return count;
}

int convert_mailbox(const char *input_path, const char *output_dir, bool truncate_input)
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        install_handler(signal_number, stop_at_once);
    install_handler(SIGALRM, refresh_dot_lock);

    int fd = open(input_path, O_RDWR);
    int open_failure = errno;
    if (!silent_mode)
        printf("Processing %s to %s...\n", input_path, output_dir);
    if (fd < 0) {
        errno = open_failure;
        perror("Unable to open input file");
        return 1;
    }
    const std::string lock_path = std::string(input_path) + ".lock";
    off_t size = 0;
    int count = -1;
    if (lock_mailbox(fd, lock_path, temporary_lock_template(input_path)) == 0)
        count = convert_locked_mailbox(fd, output_dir, truncate_input, size);
    release_dot_lock();
    close(fd);
    if (count < 0)
        return 1;
    if (!silent_mode)
        printf("Processing %s to %s successful, %d messages (%lld bytes) processed.\n", input_path,
               output_dir, count, static_cast<long long>(size));
    return 0;
}
