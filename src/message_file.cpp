#include "message_file.h"

#include "signal_cleanup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The file being written, which a signal's end removes (name nullptr when none).
static signal_removal message_file_in_progress = {AT_FDCWD, nullptr};

int create_message_file(const char *dir, char (&path)[message_path_size])
{
    // A cut name would no longer end in the six X that mkstemp needs, or would name another place.
    int length = snprintf(path, message_path_size - 1, "%s/quelvaronXXXXXX", dir);
    if (length < 0 || static_cast<std::size_t>(length) >= message_path_size - 1) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return mkstemp(path);
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
static int discard_message_file(const char *what, int fd, const char *path)
{
    report(what);
    int failure = errno;
    if (fd >= 0)
        close(fd);
    if (unlink(path) != 0)
        perror("Unable to remove incomplete output file");
    message_file_in_progress.name = nullptr;
    errno = failure;
    return 1;
}

int write_message_file(std::string_view message, const char *dir, bool sync_data)
{
    char path[message_path_size];
    // A signal while mkstemp runs must wait until the new file's name is known, or that file
    // would be left behind empty.
    static bool registered = remove_on_signal(&message_file_in_progress) == 0;
    (void)registered;
    defer_signals();
    int fd = create_message_file(dir, path);
    if (fd >= 0)
        message_file_in_progress.name = path;
    resume_signals();
    if (fd < 0) {
        report("Unable to create output file");
        return 1;
    }
    if (write_all(fd, message) != 0)
        return discard_message_file("Unable to write output file", fd, path);
    if (sync_data && fsync(fd) != 0)
        return discard_message_file("Unable to sync output file", fd, path);
    if (fchmod(fd, 0666) != 0)
        return discard_message_file("Unable to set mode of output file", fd, path);
    if (close(fd) != 0)
        return discard_message_file("Unable to close output file", -1, path);
    message_file_in_progress.name = nullptr;
    return 0;
}

int sync_message_files(const char *dir)
{
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
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
