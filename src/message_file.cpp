// SPDX-License-Identifier: BSD-2-Clause
#include "message_file.h"

#include "journal.h"
#include "message_names.h"
#include "platform.h"
#include "received_date.h"
#include "signal_cleanup.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// The hidden file being written, which a signal's end removes (name nullptr when none).
static signal_removal message_file_in_progress = {AT_FDCWD, nullptr};

void report_creation_failure(int failure)
{
    report_failure("Unable to create output file", failure);
    report_failure("Error processing mail, terminating", failure);
}

int open_message_directory(const char *dir, resolved_path &resolved)
{
    int failure = strlen(dir) + strlen("/quelvaronXXXXXX") > longest_message_path ? ENAMETOOLONG
                                                                                  : resolve_path(dir, resolved);
    if (failure == 0 && !S_ISDIR(resolved.status.st_mode))
        failure = ENOTDIR;
    // A folder of another user's on the way could hold anything, root's links included.
    if (failure == 0 && geteuid() == 0 && !only_root_or(resolved.directory_owners, resolved.status.st_uid))
        failure = foreign_directory;
    if (failure == 0)
        failure = check_link_owners(resolved, resolved.status.st_uid);
    if (failure != 0) {
        report_creation_failure(failure);
        return 1;
    }
    remove_on_signal(&message_file_in_progress);
    return 0;
}

int free_room(int dir_fd, file_system_room &room)
{
    struct statvfs file_system;
    if (fstatvfs(dir_fd, &file_system) != 0) {
        report_creation_failure(errno);
        return 1;
    }
    room.block_size = file_system.f_frsize ? file_system.f_frsize : file_system.f_bsize;
    room.blocks = file_system.f_blocks ? file_system.f_bavail : UINT64_MAX;
    room.inodes = file_system.f_files ? file_system.f_favail : UINT64_MAX;
    return 0;
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

// What fill_message_file() returns where the message's bytes are no longer the mailbox's, which
// the check that found it has reported.
static const char source_lost[] = "";

// Reports `what` (unless source_lost), then closes (when `fd` is still open) and removes (when it has a `name`) a file
// whose message did not get in whole, so that no file in the directory ever holds part of a
// message. Keeps errno for the caller; returns 1.
static int discard_message_file(const char *what, int fd, int dir_fd, const char *name)
{
    if (what != source_lost)
        report(what);
    int failure = errno;
    if (fd >= 0)
        close(fd);
    if (name != nullptr && unlinkat(dir_fd, name, 0) != 0)
        perror("Unable to remove incomplete output file");
    message_file_in_progress.name = nullptr;
    errno = failure;
    return 1;
}

// Whether this run's files must be given their mode after they are made: the first file tells,
// as the umask and the directory's default ACL, which narrow a new file's mode, are the same for
// all of them (0: not known yet).
static int modes_to_set = 0;

// Whether the new file open on `fd`, made with mode 0666, must be given that mode: where the
// umask or a default ACL narrowed it.
static bool mode_needs_setting(int fd)
{
    if (modes_to_set == 0) {
        struct stat status;
        modes_to_set = fstat(fd, &status) == 0 && (status.st_mode & 07777) == 0666 ? -1 : 1;
    }
    return modes_to_set > 0;
}

// Writes `message` whole into the file open on `fd`, sees that it has mode 0666 and, where its
// "From " line has a date, that date as its modification time, syncs it with `sync_data`, and asks
// `still_whole` (if any) whether the message is still the mailbox's. Returns nullptr, or the line
// that reports the failure, with errno set, or source_lost.
static const char *fill_message_file(int fd, std::string_view message, bool sync_data,
                                     bool (*still_whole)(std::string_view))
{
    if (write_all(fd, message) != 0)
        return still_whole != nullptr && !still_whole(message) ? source_lost : "Unable to write output file";
    if (mode_needs_setting(fd) && fchmod(fd, 0666) != 0)
        return "Unable to set mode of output file";
    time_t received;
    if (read_received_date(message, received)) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {received, 0}};
        if (futimens(fd, times) != 0)
            return "Unable to set time of output file";
    }
    if (sync_data && fsync(fd) != 0)
        return "Unable to sync output file";
    if (still_whole != nullptr && !still_whole(message))
        return source_lost;
    return nullptr;
}

// The name each message file is published under, and behind a dot, with the run's tag after it,
// while it is written: only this run's journal names that hidden file.
static char message_name[message_name_size];
static char hidden_name[message_name_size];

// The allocator: while names go in order, message `message_index` takes `next_name`; the journal
// has the segment each name comes from before the first file under it is published.
static bool names_in_order = false;
static std::uint64_t next_name = 0;
static std::size_t message_index = 0, message_total = 0;
static const output_folders *naming_folders = nullptr;
static char run_tag[run_tag_length + 1];

void name_message_files_from(std::uint64_t first, std::size_t first_message, std::size_t messages,
                             const output_folders &folders, const char *tag)
{
    names_in_order = first < name_count;
    next_name = first;
    message_index = first_message;
    message_total = messages;
    naming_folders = &folders;
    memcpy(run_tag, tag, sizeof run_tag);
    modes_to_set = 0;
}

// Puts the name the next message file tries in message_name: the next in order, or where names
// do not go in order six characters chosen at random.
static void choose_message_name()
{
    if (names_in_order) {
        format_message_name(next_name, message_name);
    } else {
        memcpy(message_name, name_prefix.data(), name_prefix.size());
        memcpy(message_name + name_prefix.size(), "XXXXXX", name_digits + 1);
        fill_random_suffix(message_name);
    }
}

// The name in message_name is taken by a file not of this run's: the rest of the messages go in a
// new segment past every name there (or at a random start where the folders cannot be listed),
// so that the collision costs one journal line, not one per name.
static void start_new_segment()
{
    if (!names_in_order)
        return;
    std::uint64_t rest = message_total - message_index;
    std::uint64_t start = free_names_start(*naming_folders, rest, next_name + 1);
    if (start >= name_count)
        start = random_names_start(rest);
    journal_segment segment;
    segment.first_message = message_index;
    segment.first_name = start;
    memcpy(segment.tag, run_tag, sizeof run_tag);
    next_name = start;
    if (add_journal_segment(segment) != 0)
        names_in_order = false; // it stopped serving: a name is then as good as another
}

// The name in message_name was published: the next message takes the next name.
static void move_to_next_name()
{
    message_index++;
    if (names_in_order && ++next_name >= name_count) {
        names_in_order = false;
        stop_journal(ENOSPC);
    }
}

// Publishes a whole message file under the next free name in `dir_fd`: the unnamed file open on
// `fd`, or, when `fd` is -1, the hidden file hidden_name there, moved without replacing a file,
// on the first try only (a hidden file is named after the name it takes). Returns 0, or -1 with
// errno set (EEXIST where the hidden file's name was taken).
static int publish_message_file(int fd, int dir_fd)
{
    int published = -1;
    for (int attempt = 0; attempt < unique_name_attempts; attempt++) {
        if (fd >= 0)
            choose_message_name();
        published = fd >= 0 ? link_unnamed_file(fd, dir_fd, message_name)
                            : move_without_replacing(dir_fd, hidden_name, message_name);
        if (published == 0 || errno != EEXIST || fd < 0)
            break;
        start_new_segment();
    }
    if (published == 0)
        move_to_next_name();
    return published;
}

// Where unnamed files cannot be made or named: the message is written under a hidden name, which
// maildir readers pass over, and then moved to its own. A signal's end removes the hidden file.
static int write_hidden_message_file(std::string_view message, int dir_fd, bool sync_data,
                                     bool (*still_whole)(std::string_view))
{
    for (int attempt = 0; attempt < unique_name_attempts; attempt++) {
        choose_message_name();
        snprintf(hidden_name, sizeof hidden_name, ".%s%s", message_name, run_tag);
        // A signal while the file is made must wait until its name is known, or that file would be
        // left behind empty.
        defer_signals();
        int fd = openat(dir_fd, hidden_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            message_file_in_progress.dir_fd = dir_fd;
            message_file_in_progress.name = hidden_name;
        }
        resume_signals();
        if (fd < 0 && errno == EEXIST) {
            start_new_segment();
            continue;
        }
        if (fd < 0) {
            report("Unable to create output file");
            return 1;
        }
        if (const char *failed = fill_message_file(fd, message, sync_data, still_whole))
            return discard_message_file(failed, fd, dir_fd, hidden_name);
        if (close(fd) != 0)
            return discard_message_file("Unable to close output file", -1, dir_fd, hidden_name);
        if (publish_message_file(-1, dir_fd) == 0) {
            message_file_in_progress.name = nullptr;
            return 0;
        }
        if (errno != EEXIST)
            return discard_message_file("Unable to create output file", -1, dir_fd, hidden_name);
        // Another run took the name meanwhile: this message goes under a name of a new segment.
        unlinkat(dir_fd, hidden_name, 0);
        message_file_in_progress.name = nullptr;
        start_new_segment();
    }
    errno = EEXIST;
    report("Unable to create output file");
    return 1;
}

// The failures of an O_TMPFILE open on a file system or kernel that has no unnamed files.
static bool refuses_unnamed_files(int failure)
{
    return failure == EOPNOTSUPP || failure == EISDIR || failure == EINVAL;
}

int write_message_file(std::string_view message, int dir_fd, bool sync_data, bool (*still_whole)(std::string_view))
{
    static bool unnamed_files_work = has_unnamed_files;
    if (!unnamed_files_work)
        return write_hidden_message_file(message, dir_fd, sync_data, still_whole);
    // Unnamed until it is whole: a reader never meets part of a message, and a crash leaves none.
    int fd = open_unnamed_file(dir_fd);
    if (fd < 0 && !refuses_unnamed_files(errno)) {
        report("Unable to create output file");
        return 1;
    }
    if (fd >= 0) {
        if (const char *failed = fill_message_file(fd, message, sync_data, still_whole))
            return discard_message_file(failed, fd, dir_fd, nullptr);
        if (publish_message_file(fd, dir_fd) == 0) {
            if (close(fd) != 0)
                return discard_message_file("Unable to close output file", -1, dir_fd, message_name);
            return 0;
        }
        // Before Linux 6.10, without /proc (a chroot), an unnamed file cannot be named.
        if (errno != ENOENT)
            return discard_message_file("Unable to create output file", fd, dir_fd, nullptr);
        close(fd);
    }
    unnamed_files_work = false;
    return write_hidden_message_file(message, dir_fd, sync_data, still_whole);
}

// The directory, open for reading since before the first file was written, or -1.
static int sync_dir_fd = -1;
static int sync_open_failure = 0;

void open_sync_descriptors(int dir_fd)
{
    // Syncing needs a descriptor opened for reading; `dir_fd` may be an O_PATH or O_SEARCH one.
    sync_dir_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    sync_open_failure = sync_dir_fd < 0 ? errno : 0;
}

int sync_message_files(int fs_fd, bool &sync_failed)
{
    int whole_fd = fs_fd >= 0 ? fs_fd : sync_dir_fd;
    int failure = 0;
    sync_failed = false;
    if (syncs_whole_file_system ? whole_fd < 0 : sync_dir_fd < 0) {
        failure = sync_open_failure; // nothing reaches the directory's entries
    } else if (syncs_whole_file_system && sync_file_system(whole_fd) != 0) {
        failure = errno;
        sync_failed = true;
    } else if (sync_dir_fd >= 0 && sync_directory(sync_dir_fd) != 0) {
        failure = errno;
        sync_failed = true;
    }
    if (failure == 0)
        return 0;
    errno = failure;
    perror("Unable to sync output directory");
    return 1;
}

int sync_removed_name(int fs_fd)
{
    if (sync_dir_fd >= 0)
        return sync_directory(sync_dir_fd);
    if (syncs_whole_file_system && fs_fd >= 0)
        return sync_file_system(fs_fd);
    errno = EACCES;
    return -1;
}

void close_sync_descriptors()
{
    if (sync_dir_fd >= 0)
        close(sync_dir_fd);
    sync_dir_fd = -1;
}
