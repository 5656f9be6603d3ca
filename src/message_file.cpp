#include "message_file.h"

#include "signal_cleanup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The file being written, which a signal's end removes (name nullptr when none).
static signal_removal message_file_in_progress = {AT_FDCWD, nullptr};

int open_message_directory(const char *dir, resolved_path &resolved)
{
    int failure = strlen(dir) + strlen("/quelvaronXXXXXX") > longest_message_path ? ENAMETOOLONG
                                                                                  : resolve_path(dir, resolved);
    if (failure == 0 && !S_ISDIR(resolved.status.st_mode))
        failure = ENOTDIR;
    if (failure == 0)
        return 0;
    report_failure("Unable to create output file", failure);
    report_failure("Error processing mail, terminating", failure);
    return 1;
}

// Writes all of `bytes`, however many requests it takes. Returns 0, or -1 with errno set.
static int write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return -1;
        if (written == 0) {
            errno = EIO;
            return -1;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// perror() may change errno itself, and the caller's own line must name the original failure.
static void report(const char *what)
{
    int failure = errno;
    perror(what);
    errno = failure;
}

// Reports `what`, then closes (when `fd` is still open) and removes a file whose message did not
// get in whole, so that no file in the directory ever holds part of a message. Keeps errno for the
// caller; returns 1.
static int discard_message_file(const char *what, int fd, int dir_fd, const char *name)
{
    report(what);
    int failure = errno;
    if (fd >= 0)
        close(fd);
    if (unlinkat(dir_fd, name, 0) != 0)
        perror("Unable to remove incomplete output file");
    message_file_in_progress.name = nullptr;
    errno = failure;
    return 1;
}

int write_message_file(std::string_view message, int dir_fd, bool sync_data)
{
    static char name[] = "quelvaronXXXXXX";
    static bool registered = remove_on_signal(&message_file_in_progress) == 0;
    (void)registered;
    // A signal while the file is made must wait until its name is known, or that file would be
    // left behind empty.
    defer_signals();
    int fd = mkstempat(dir_fd, name);
    if (fd >= 0) {
        message_file_in_progress.dir_fd = dir_fd;
        message_file_in_progress.name = name;
    }
    resume_signals();
    if (fd < 0) {
        report("Unable to create output file");
        return 1;
    }
    if (write_all(fd, message) != 0)
        return discard_message_file("Unable to write output file", fd, dir_fd, name);
    if (sync_data && fsync(fd) != 0)
        return discard_message_file("Unable to sync output file", fd, dir_fd, name);
    if (fchmod(fd, 0666) != 0)
        return discard_message_file("Unable to set mode of output file", fd, dir_fd, name);
    if (close(fd) != 0)
        return discard_message_file("Unable to close output file", -1, dir_fd, name);
    message_file_in_progress.name = nullptr;
    return 0;
}

int sync_message_files(int dir_fd)
{
    // fsync and syncfs need a descriptor opened for reading; `dir_fd` may be an O_PATH one.
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        perror("Unable to open output directory");
        return 1;
    }
#ifdef __linux__
    if (syncfs(fd) != 0) {
        perror("Unable to sync output directory");
        close(fd);
        return 1;
    }
#endif
    if (fsync(fd) != 0) {
        perror("Unable to sync output directory");
        close(fd);
        return 1;
    }
    close(fd);
    return 0;
}
