#include "mailbox_conversion.h"

#include "mailbox_lock.h"
#include "message_file.h"
#include "platform.h"
#include "signal_cleanup.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Reports ENOSPC and returns 1 unless a file for each message of `text` fits in the file system of
// the directory `dir_fd`, as a user without root's reserve may fill it; else returns 0. Nothing is
// written that could not be finished, and no run leaves files that the next one writes again.
static int check_messages_fit(std::string_view text, int dir_fd)
{
    file_system_room room;
    if (free_room(dir_fd, room) != 0)
        return 1;
    std::uint64_t files = 0, blocks = 0;
    for (std::size_t start = 0; start < text.size(); files++) {
        std::size_t size = message_at(text, start).size();
        blocks += (size + room.block_size - 1) / room.block_size;
        start += size + 1;
    }
    if (files <= room.inodes && blocks <= room.blocks)
        return 0;
    report_creation_failure(ENOSPC);
    return 1;
}

// Writes every message of `text` to its own file in the directory `dir_fd`, in mailbox order.
// Returns the number written, or -1 after reporting the message that could not be written.
static int write_messages(std::string_view text, int dir_fd, bool sync_data)
{
    int count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::string_view message = message_at(text, start);
        if (write_message_file(message, dir_fd, sync_data) != 0) {
            perror("Error processing mail, terminating");
            return -1;
        }
        count++;
        start += message.size() + 1;
    }
    return count;
}

// Empties the mailbox open on `fd`, unless it no longer has the size and modification time of
// `loaded`, the status it had when it was loaded: a program that ignores every lock wrote to it
// meanwhile, and what it wrote is in no file.
static void empty_mailbox(int fd, const struct stat &loaded)
{
    struct stat status;
    if (fstat(fd, &status) != 0) {
        perror("Unable to truncate input file");
        return;
    }
    struct timespec now = modification_time(status), then = modification_time(loaded);
    if (status.st_size != loaded.st_size || now.tv_sec != then.tv_sec || now.tv_nsec != then.tv_nsec) {
        fputs("Unable to truncate input file: File changed while it was converted\n", stderr);
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
        std::string_view text(block, static_cast<std::size_t>(size));
        resolved_path directory;
        count = open_message_directory(output_dir, directory) != 0 || check_messages_fit(text, directory.fd) != 0
                    ? -1
                    : write_messages(text, directory.fd, truncate_input && !syncs_whole_file_system);
        free(block);
        // Nothing may be emptied that is not safely on disk elsewhere.
        if (count >= 0 && truncate_input && sync_message_files(directory.fd) != 0)
            count = -1;
        release_path(directory);
        if (count < 0)
            return -1;
    }
    if (truncate_input)
        empty_mailbox(fd, status);
    return count;
}

// Refuses what root must not open on a user's behalf: anything but a regular file, and, for root,
// a file with another name elsewhere (a user's hard link to a file that is not his) or in a folder
// of a third user (who may have renamed another's file into it). Returns 0 or the failure.
static int check_mailbox(const resolved_path &path, const struct stat &status)
{
    if (S_ISDIR(status.st_mode))
        return EISDIR;
    if (!S_ISREG(status.st_mode))
        return not_a_regular_file;
    if (status.st_nlink > 1 && geteuid() == 0)
        return more_than_one_link;
    if (geteuid() == 0 && !only_root_or(path.directory_owners, status.st_uid))
        return foreign_directory;
    return check_link_owners(path, status.st_uid);
}

// Opens the mailbox that `path` resolved to for reading and writing. What is opened is checked
// again, as it may have been replaced since it was resolved; O_NONBLOCK keeps a FIFO put there
// meanwhile from blocking the open. Returns the descriptor and its status in `status`, or -1 with
// the failure in `failure`.
static int open_mailbox(const resolved_path &path, struct stat &status, int &failure)
{
    failure = check_mailbox(path, path.status);
    if (failure != 0)
        return -1;
    int fd = openat(path.dir_fd, path.name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        failure = errno;
        return -1;
    }
    if (descriptor_status(fd, status) != 0)
        failure = errno;
    else if (status.st_dev != path.status.st_dev || status.st_ino != path.status.st_ino)
        failure = EAGAIN; // replaced since it was examined: the next run sees what is there
    else if ((failure = check_mailbox(path, status)) == 0 && fcntl(fd, F_SETFL, 0) != 0) // blocking again
        failure = errno;
    if (failure == 0)
        return fd;
    close(fd);
    return -1;
}

int convert_mailbox(const char *input_path, const char *output_dir, bool truncate_input)
{
    install_signal_cleanup();

    resolved_path path;
    struct stat opened;
    int failure = resolve_path(input_path, path);
    int fd = failure == 0 ? open_mailbox(path, opened, failure) : -1;
    if (!silent_mode)
        printf("Processing %s to %s...\n", input_path, output_dir);
    if (fd < 0) {
        report_failure("Unable to open input file", failure);
        return 1;
    }
    off_t size = 0;
    int count = -1;
    if (lock_mailbox(fd, path.given_dir_fd, path.given_name.c_str(), opened.st_uid) == 0)
        count = convert_locked_mailbox(fd, output_dir, truncate_input, size);
    release_mailbox_lock();
    close(fd);
    release_path(path);
    if (count < 0)
        return 1;
    if (!silent_mode)
        printf("Processing %s to %s successful, %d messages (%lld bytes) processed.\n", input_path,
               output_dir, count, static_cast<long long>(size));
    return 0;
}
