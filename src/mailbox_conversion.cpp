// SPDX-License-Identifier: BSD-2-Clause
#include "mailbox_conversion.h"

#include "mailbox_lock.h"
#include "mailbox_map.h"
#include "message_file.h"
#include "message_names.h"
#include "owner_identity.h"
#include "platform.h"
#include "signal_cleanup.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int silent_mode = 0;

std::size_t find_or_end(std::string_view text, std::string_view pattern)
{
    if (pattern.size() < 2) {
        std::size_t position = text.find(pattern);
        return position == std::string_view::npos ? text.size() : position;
    }
    // The separator's "F" is far rarer in mail than its newline, which ends every line: memchr
    // finds each, and the whole pattern is compared from the byte before it.
    const char *data = text.data(), *end = data + text.size();
    for (const char *at = data + 1; at < end; at++) {
        at = static_cast<const char *>(memchr(at, pattern[1], std::size_t(end - at)));
        if (at == nullptr)
            break;
        if (std::size_t(end - at) + 1 >= pattern.size() && memcmp(at - 1, pattern.data(), pattern.size()) == 0)
            return std::size_t(at - 1 - data);
    }
    return text.size();
}

std::string_view message_at(std::string_view text, std::size_t start)
{
    // The search starts one byte in, so a separator at the very start of the file is not seen
    // and its newline opens the first message.
    return text.substr(start, 1 + find_or_end(text.substr(start + 1), message_separator));
}

// The messages of `text`, cut once: the position at which each starts, in `starts`. Stops and
// returns false past `most` messages, more files than the file system has room for, so that a
// mailbox of tiny messages cannot make the list grow without end.
static bool cut_messages(std::string_view text, std::uint64_t most, std::vector<std::size_t> &starts)
{
    for (std::size_t start = 0; start < text.size(); start += message_at(text, start).size() + 1) {
        if (starts.size() >= most)
            return false;
        starts.push_back(start);
    }
    return true;
}

// Message `index` of `text` as cut into `starts`: up to the newline before the next one.
static std::string_view message_of(std::string_view text, const std::vector<std::size_t> &starts, std::size_t index)
{
    std::size_t end = index + 1 < starts.size() ? starts[index + 1] - 1 : text.size();
    return text.substr(starts[index], end - starts[index]);
}

// Before the first file of the messages from `first` on (those still to write) is made in the
// directory `dir_fd`, with `room` as it has: reports ENOSPC and returns 1 unless a file for each
// message, its name in the directory and the journal fit in the file system as a user without
// root's reserve may fill it, so that no run leaves files that it could not finish (what others
// write meanwhile can still fill it: the writes then fail); then writes the journal, `run` after
// the runs `kept` (unless `run` is null), and makes room to record every file for a signal's undo,
// which removes the journal too where the run resumed none. Returns 0, or 1 after reporting.
static int prepare_message_files(std::string_view text, const std::vector<std::size_t> &starts, std::size_t first,
                                 int dir_fd, const file_system_room &room, const struct stat &mailbox,
                                 const journal &kept, const journal_run *run)
{
    std::uint64_t files = 1, blocks = 1; // the journal's
    for (std::size_t i = first; i < starts.size(); i++, files++)
        blocks += (message_of(text, starts, i).size() + room.block_size - 1) / room.block_size;
    blocks += (files * directory_entry_room + room.block_size - 1) / room.block_size;
    if (files > room.inodes || blocks > room.blocks) {
        report_creation_failure(ENOSPC);
        return 1;
    }
    if (run != nullptr && start_journal(dir_fd, mailbox, kept, *run) != 0) {
        report_creation_failure(errno);
        return 1;
    }
    if (undo_on_signal(dir_fd, files, kept.runs.empty() ? journal_file_name() : nullptr) != 0) {
        perror("Cannot allocate buffer");
        return 1;
    }
    return 0;
}

// Writes the messages from `first` on to files of their own in the directory `dir_fd`, in mailbox
// order, giving the mailbox's pages back behind them. Returns the number written, or -1 after
// reporting the message that could not be written.
static int write_messages(std::string_view text, const std::vector<std::size_t> &starts, std::size_t first,
                          int dir_fd, bool sync_data)
{
    int count = 0;
    for (std::size_t i = first; i < starts.size(); i++, count++) {
        if (write_message_file(message_of(text, starts, i), dir_fd, sync_data, mailbox_holds) != 0) {
            if (!mailbox_cut_short()) // that is a failed read, already reported
                perror("Error processing mail, terminating");
            return -1;
        }
        release_mailbox_pages(starts[i]);
    }
    return count;
}

// Whether the file `name` in `dir_fd` holds exactly `message`, or `longer` (the message and the
// newline after it, as a run that met the end of the mailbox there wrote it): 1, 0 where no file
// has that name, -1 where one holds other bytes. Opened without following a link or blocking on a
// FIFO; synced too with `sync_data`, as skipping it leaves its durability to this run.
static int holds_message(int dir_fd, const char *name, std::string_view message, std::string_view longer,
                         bool sync_data)
{
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    struct stat status;
    bool same = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    std::string_view expected = same && std::size_t(status.st_size) == longer.size() ? longer : message;
    same = same && std::size_t(status.st_size) == expected.size();
    char chunk[65536];
    for (std::size_t at = 0; same && at < expected.size();) {
        ssize_t got = pread(fd, chunk, std::min(sizeof chunk, expected.size() - at), off_t(at));
        same = got > 0 && memcmp(chunk, expected.data() + at, std::size_t(got)) == 0;
        at += got > 0 ? std::size_t(got) : 0;
    }
    same = same && (!sync_data || fsync(fd) == 0);
    close(fd);
    return same ? 1 : -1;
}

// Where the interrupted run that left `found` put message `index`, which is `message` (or
// `longer`) now: 1 when a file of its name, as written or with a reader's suffix, holds it; 0 when
// there is none; -1 when one holds other bytes.
static int find_message_file(int dir_fd, const journal &found, const directory_names &names, std::size_t index,
                             std::string_view message, std::string_view longer, bool sync_data)
{
    std::int64_t number = journal_name(found, index);
    if (number < 0)
        return -1;
    char name[16];
    format_message_name(std::uint64_t(number), name);
    int held = holds_message(dir_fd, name, message, longer, sync_data);
    auto suffixed = std::lower_bound(names.suffixed.begin(), names.suffixed.end(), std::make_pair(std::uint64_t(number), std::string()));
    for (; held == 0 && suffixed != names.suffixed.end() && suffixed->first == std::uint64_t(number); ++suffixed)
        held = holds_message(dir_fd, suffixed->second.c_str(), message, longer, sync_data);
    return held;
}

// The messages that an interrupted run of this mailbox delivered into `dir_fd`, found by its
// journal: message i is delivered when its file holds its bytes, and so is every one before the
// last delivered (a reader removed or moved it). Sets `first_name` to the name the first message
// of the rest takes, and fills `kept` with the runs whose files the new journal must still name.
// Returns how many were delivered.
static std::size_t find_delivered_messages(std::string_view text, const std::vector<std::size_t> &starts, int dir_fd,
                                           const struct stat &mailbox, bool sync_data, journal &kept,
                                           std::uint64_t &first_name)
{
    journal found;
    bool resuming = read_journal(dir_fd, mailbox, found);
    // Its messages: those that start in the mailbox's first found.size bytes.
    std::size_t interrupted =
        resuming ? std::size_t(std::lower_bound(starts.begin(), starts.end(), std::size_t(found.size)) - starts.begin())
                 : 0;
    directory_names names;
    names.wanted_from = name_count;
    for (const journal_run &run : found.runs) { // the names its files may have
        names.wanted_from = std::min(names.wanted_from, run.first_name);
        names.wanted_to = std::max(names.wanted_to, run.first_name + interrupted + run.passed_over.size());
    }
    first_name = name_count;
    if (!read_directory_names(dir_fd, names))
        return 0;
    std::size_t delivered = 0;
    for (std::size_t index = 0; index < interrupted; index++) {
        std::string_view message = message_of(text, starts, index);
        std::string_view longer = text.substr(starts[index], message.size() + 1);
        int held = find_message_file(dir_fd, found, names, index, message, longer, sync_data);
        if (held < 0)
            break;
        if (held > 0)
            delivered = index + 1;
    }
    // Where it wrote under hidden names first, the file it was writing when it was killed, or the
    // last one's hidden name when it was killed between linking the file in and removing that name
    // (no other run makes a hidden file under a name taken).
    for (std::size_t index = delivered > 0 ? delivered - 1 : 0; resuming && index <= delivered && index < interrupted;
         index++) {
        std::int64_t number = journal_name(found, index);
        char hidden[17] = ".";
        if (number >= 0) {
            format_message_name(std::uint64_t(number), hidden + 1);
            unlinkat(dir_fd, hidden, 0);
        }
    }
    for (const journal_run &run : found.runs)
        if (delivered > 0 && run.first_message < delivered)
            kept.runs.push_back(run);
    first_name = std::uint64_t(names.greatest + 1);
    if (first_name + (starts.size() - delivered) > name_count)
        first_name = lowest_free_name(dir_fd);
    return delivered;
}

// Writes the messages of `text` into the directory `dir_fd`, after those that an interrupted run
// delivered there; `mailbox` is the mailbox's status. Returns the number of messages of the
// mailbox, or -1 after reporting the failure.
static int write_mailbox(std::string_view text, int dir_fd, const struct stat &mailbox, bool truncate_input)
{
    file_system_room room;
    if (free_room(dir_fd, room) != 0)
        return -1;
    std::vector<std::size_t> starts;
    if (!cut_messages(text, std::min(room.inodes, room.blocks), starts)) {
        report_creation_failure(ENOSPC);
        return -1;
    }
    if (!mailbox_holds(text)) // cut short meanwhile
        return -1;
    bool sync_data = truncate_input && !syncs_whole_file_system;
    journal kept;
    std::uint64_t first_name = name_count;
    std::size_t delivered = find_delivered_messages(text, starts, dir_fd, mailbox, sync_data, kept, first_name);
    journal_run run = {delivered, first_name, {}};
    name_message_files_from(first_name);
    if (prepare_message_files(text, starts, delivered, dir_fd, room, mailbox, kept,
                              first_name < name_count ? &run : nullptr) != 0)
        return -1;
    if (delivered > 0 && !silent_mode)
        printf("Resuming interrupted conversion, %zu messages already written\n", delivered);
    int written = write_messages(text, starts, delivered, dir_fd, sync_data);
    return written < 0 ? -1 : written + int(delivered);
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
    else {
        // Emptied first: a journal left by a kill in between matches nothing.
        remove_journal();
        if (!silent_mode)
            puts("Input Mailbox truncated.");
    }
    close_journal();
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
    mailbox_bytes bytes;
    if (load_mailbox(fd, size, bytes) != 0)
        return -1;
    resolved_path directory;
    int count = -1;
    if (open_message_directory(output_dir, directory) == 0) {
        int failure = check_mailbox_owner(in_shared_folder, status.st_uid, directory.status.st_uid);
        if (failure == 0)
            failure = write_as_owner(directory.status);
        if (failure != 0)
            report_creation_failure(failure);
        else
            count = write_mailbox(std::string_view(bytes.data, bytes.size), directory.fd, status, truncate_input);
    }
    // Syncing, emptying and the dot-file are root's again.
    if (stop_writing_as_owner() != 0)
        count = -1;
    release_mailbox(bytes);
    // Nothing may be emptied that is not safely on disk elsewhere.
    if (count >= 0 && truncate_input && sync_message_files(directory.fd) != 0)
        count = -1;
    // The directory stays open for a signal's undo until the outcome is final: the files of a copy
    // once all are written, those kept by a reported failure, or with -t once emptying was tried.
    if (count < 0 || !truncate_input) {
        // A copy that wrote every message is done: the next run copies again.
        if (count >= 0)
            remove_journal();
        close_journal();
        keep_published_files();
    } else {
        empty_mailbox(fd, status);
    }
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
