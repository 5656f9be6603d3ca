#include "mailbox_conversion.h"

#include "mailbox_lock.h"
#include "message_file.h"
#include "owner_identity.h"
#include "platform.h"
#include "signal_cleanup.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
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

// Before the first message file of `text` is made in the directory `dir_fd`: reports ENOSPC and
// returns 1 unless a file for each message, and its name in the directory, fits in the file system
// as a user without root's reserve may fill it, so that no run leaves files that it could not
// finish (what others write meanwhile can still fill it: the writes then fail); then makes room to
// record every file for a signal's undo. Returns 0, or 1 after reporting the failure.
static int prepare_message_files(std::string_view text, int dir_fd)
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
    blocks += (files * directory_entry_room + room.block_size - 1) / room.block_size;
    if (files > room.inodes || blocks > room.blocks) {
        report_creation_failure(ENOSPC);
        return 1;
    }
    if (undo_on_signal(dir_fd, files) != 0) {
        perror("Cannot allocate buffer");
        return 1;
    }
    return 0;
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

static bool same_time(struct timespec a, struct timespec b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the mailbox's status `now` differs in size, modification or status-change time from
// `loaded`: a program that ignores every lock wrote to it meanwhile (and may have put its
// modification time back, never its change of status), and what it wrote is in no file.
static bool mailbox_changed(const struct stat &now, const struct stat &loaded)
{
    return now.st_size != loaded.st_size || !same_time(modification_time(now), modification_time(loaded)) ||
           !same_time(change_time(now), change_time(loaded));
}

// Empties the mailbox open on `fd`, unless it changed since it was `loaded`, and makes the run's
// outcome final whatever came of it: a signal before then undoes the run, one after keeps every
// file, which may by then be the only copy of the mail.
static void empty_mailbox(int fd, const struct stat &loaded)
{
    defer_signals();
    struct stat status;
    if (fstat(fd, &status) != 0)
        perror("Unable to truncate input file");
    else if (mailbox_changed(status, loaded))
        fputs("Unable to truncate input file: File changed while it was converted\n", stderr);
    else if (ftruncate(fd, 0) != 0)
        perror("Unable to truncate input file");
    else if (!silent_mode)
        puts("Input Mailbox truncated.");
    keep_published_files();
    resume_signals();
}

// A mailbox in a folder where others may create names may be one of theirs, planted under the
// name of a user who has none: root converts it only into a directory of root's or of the
// mailbox's owner. Returns 0 or foreign_mailbox.
static int check_mailbox_owner(bool in_shared_folder, uid_t mailbox_owner, uid_t directory_owner)
{
    bool trusted = geteuid() != 0 || !in_shared_folder || directory_owner == 0 || mailbox_owner == 0 ||
                   mailbox_owner == directory_owner;
    return trusted ? 0 : foreign_mailbox;
}

// The conversion proper, with the mailbox open on `fd` and locked; `in_shared_folder` as
// resolve_path() found it. Returns the number of messages written and leaves the mailbox's size in
// `size`, or returns -1 after reporting the failure.
static int convert_locked_mailbox(int fd, bool in_shared_folder, const char *output_dir, bool truncate_input,
                                  off_t &size)
{
    struct stat status;
    if (fstat(fd, &status) != 0) {
        perror("Unable to stat input file");
        return -1;
    }
    size = status.st_size;
    if (size == 0) {
        if (truncate_input)
            empty_mailbox(fd, status);
        return 0;
    }
    char *block = load_mailbox(fd, size);
    if (block == nullptr)
        return -1;
    std::string_view text(block, static_cast<std::size_t>(size));
    resolved_path directory;
    int count = -1;
    if (open_message_directory(output_dir, directory) == 0) {
        int failure = check_mailbox_owner(in_shared_folder, status.st_uid, directory.status.st_uid);
        if (failure == 0)
            failure = write_as_owner(directory.status);
        if (failure != 0)
            report_creation_failure(failure);
        else if (prepare_message_files(text, directory.fd) == 0)
            count = write_messages(text, directory.fd, truncate_input && !syncs_whole_file_system);
    }
    // Syncing, emptying and the dot-file are root's again.
    if (stop_writing_as_owner() != 0)
        count = -1;
    free(block);
    // Nothing may be emptied that is not safely on disk elsewhere.
    if (count >= 0 && truncate_input && sync_message_files(directory.fd) != 0)
        count = -1;
    // The directory stays open for a signal's undo until the outcome is final: the files of a copy
    // once all are written, those kept by a reported failure, or with -t once emptying was tried.
    if (count < 0 || !truncate_input)
        keep_published_files();
    else
        empty_mailbox(fd, status);
    release_path(directory);
    return count;
}

// Refuses what root must not open on a user's behalf: anything but a regular file, and, for root,
// a file with another name elsewhere (a user's hard link to a file that is not his) or in a folder
// of a third user (who may have renamed another's file into it). Returns 0 or the failure.
static int check_mailbox(const resolved_path &path, const struct stat &status)
{
    if (int failure = check_link_owners(path, status.st_uid))
        return failure;
    if (S_ISDIR(status.st_mode))
        return EISDIR;
    if (!S_ISREG(status.st_mode))
        return not_a_regular_file;
    if (status.st_nlink > 1 && geteuid() == 0)
        return more_than_one_link;
    if (geteuid() == 0 && !only_root_or(path.directory_owners, status.st_uid))
        return foreign_directory;
    return 0;
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

// A string or a list that cannot grow ends the run as any failed allocation does, never by abort.
static void end_out_of_memory()
{
    errno = ENOMEM;
    perror("Cannot allocate buffer");
    fflush(stdout);
    end_after_failure();
}

int convert_mailbox(const char *input_path, const char *output_dir, bool truncate_input)
{
    install_signal_cleanup();
    std::set_new_handler(end_out_of_memory);

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
        count = convert_locked_mailbox(fd, path.in_shared_folder, output_dir, truncate_input, size);
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
