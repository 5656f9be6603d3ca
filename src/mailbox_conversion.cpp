// SPDX-License-Identifier: BSD-2-Clause
#include "mailbox_conversion.h"

#include "journal.h"
#include "mailbox_cut.h"
#include "mailbox_lock.h"
#include "mailbox_map.h"
#include "message_file.h"
#include "message_names.h"
#include "owner_identity.h"
#include "platform.h"
#include "resume.h"
#include "signal_cleanup.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int silent_mode = 0;

// Before the first file of the messages from `first` on (those still to write) is made in the
// directory `dir_fd`, with `room` as it has: reports ENOSPC and returns 1 unless a file for each
// message, its name in the directory and the journal fit in the file system as a user without
// root's reserve may fill it, so that no run leaves files that it could not finish (what others
// write meanwhile can still fill it: the writes then fail); then writes the journal: `header` and
// `segment`, where the segment has names. Returns 0, or 1 after reporting.
static int prepare_message_files(std::string_view text, const std::vector<std::size_t> &starts, std::size_t first,
                                 int dir_fd, const file_system_room &room, const journal &header,
                                 const journal_segment &segment)
{
    std::uint64_t files = 1, blocks = 1; // the journal's
    for (std::size_t i = first; i < starts.size(); i++, files++)
        blocks += (message_of(text, starts, i).size() + room.block_size - 1) / room.block_size;
    blocks += (files * directory_entry_room + room.block_size - 1) / room.block_size;
    if (files > room.inodes || blocks > room.blocks) {
        report_creation_failure(ENOSPC);
        return 1;
    }
    if (segment.first_name >= name_count) { // no room left among the names there
        errno = ENOSPC;
        perror("Unable to write journal");
    } else if (start_journal(dir_fd, header, segment) != 0) {
        report_creation_failure(errno);
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

// Writes the messages of `text` into `folders`, after those that an earlier run delivered there;
// `mailbox` is the mailbox's status and `born` its birth time. Returns the number of messages of
// the mailbox, or -1 after reporting the failure.
static int write_mailbox(std::string_view text, const output_folders &folders, const struct stat &mailbox,
                         const struct timespec &born, bool truncate_input)
{
    file_system_room room;
    if (free_room(folders.dir_fd, room) != 0)
        return -1;
    std::vector<std::size_t> starts;
    if (!cut_messages(text, std::min(room.inodes, room.blocks), starts)) {
        report_creation_failure(ENOSPC);
        return -1;
    }
    if (!mailbox_holds(text)) // cut short meanwhile
        return -1;
    bool sync_data = truncate_input && !syncs_whole_file_system;
    journal header;
    journal_segment segment;
    segment.first_message =
        find_delivered_messages(text, starts, folders, mailbox, born, sync_data, header, segment.first_name);
    make_run_tag(segment.tag);
    open_sync_descriptors(folders.dir_fd);
    if (prepare_message_files(text, starts, segment.first_message, folders.dir_fd, room, header, segment) != 0)
        return -1;
    name_message_files_from(segment.first_name, segment.first_message, starts.size(), folders, segment.tag);
    if (segment.first_message > 0 && !silent_mode)
        printf("Resuming interrupted conversion, %zu messages already written\n", segment.first_message);
    int written = write_messages(text, starts, segment.first_message, folders.dir_fd, sync_data);
    return written < 0 ? -1 : written + int(segment.first_message);
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

// Empties the mailbox open on `fd`, unless it changed since it was `loaded`. The journal goes
// first, durably: a kill or a power cut between the two then leaves both the mailbox and the
// files, duplicates at worst, never a journal that vouches for mail no longer in the mailbox (it
// comes back where the emptying fails). A signal meanwhile waits until it is over.
static void empty_mailbox(int fd, const struct stat &loaded)
{
    defer_signals();
    struct stat status;
    int journal_fd = journal_descriptor();
    if (fstat(fd, &status) != 0)
        perror("Unable to truncate input file");
    else if (mailbox_changed(status, loaded))
        fputs("Unable to truncate input file: File changed while it was converted\n", stderr);
    else if (journal_fd >= 0 && (withdraw_journal() != 0 || sync_removed_name(journal_fd) != 0)) {
        perror("Unable to truncate input file");
        reinstate_journal();
    } else if (ftruncate(fd, 0) != 0) {
        perror("Unable to truncate input file");
        reinstate_journal();
    } else if (!silent_mode) {
        puts("Input Mailbox truncated.");
    }
    close_journal();
    resume_signals();
}

// Puts what this run wrote on stable storage. A failed sync empties the journal before a signal
// may end the run: what it names may be in memory only, so the next run writes it again. Returns
// 0, or 1 after reporting.
static int make_files_durable()
{
    defer_signals();
    bool sync_failed = false;
    int failed = sync_message_files(journal_descriptor(), sync_failed);
    if (failed != 0 && sync_failed)
        empty_journal();
    resume_signals();
    return failed;
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
    struct timespec born = {};
    birth_time(fd, born);
    resolved_path directory;
    output_folders folders;
    int count = -1;
    if (open_message_directory(output_dir, directory) == 0) {
        int failure = check_mailbox_owner(in_shared_folder, status.st_uid, directory.status.st_uid);
        if (failure == 0)
            failure = write_as_owner(directory.status);
        if (failure != 0) {
            report_creation_failure(failure);
        } else {
            open_output_folders(directory.fd, directory.status, folders);
            count = write_mailbox(std::string_view(bytes.data, bytes.size), folders, status, born, truncate_input);
        }
    }
    // Syncing, emptying and the dot-file are root's again.
    if (stop_writing_as_owner() != 0)
        count = -1;
    release_mailbox(bytes);
    // Nothing may be emptied that is not safely on disk elsewhere.
    if (count >= 0 && truncate_input && make_files_durable() != 0)
        count = -1;
    if (count >= 0 && truncate_input) {
        empty_mailbox(fd, status);
    } else {
        // A copy that wrote every message is done: the next run copies again. A failed run's
        // journal stays for the next.
        if (count >= 0)
            remove_journal();
        close_journal();
    }
    close_sync_descriptors();
    close_output_folders(folders);
    release_path(directory);
    return count;
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
    // Every file the run makes states its mode in full: message files 0666 without a call of
    // their own, the journal 0600, the dot-file 0644.
    umask(0);

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
