// SPDX-License-Identifier: BSD-2-Clause
#include "journal.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::uint64_t mailbox_digest(std::string_view bytes)
{
    // Four independent lanes of multiply and shift, so that the processor overlaps them: a few
    // bytes a cycle, a small share of a run that writes every byte anyway.
    constexpr std::uint64_t k = 0x9e3779b97f4a7c15;
    std::uint64_t lanes[4] = {k, k ^ 1, k ^ 2, k ^ 3};
    auto mix = [](std::uint64_t lane, std::uint64_t word) {
        lane = (lane ^ word) * k;
        return lane ^ (lane >> 29);
    };
    const char *at = bytes.data(), *end = at + bytes.size();
    for (; end - at >= 32; at += 32) {
        for (int i = 0; i < 4; i++) {
            std::uint64_t word;
            memcpy(&word, at + 8 * i, 8);
            lanes[i] = mix(lanes[i], word);
        }
    }
    std::uint64_t digest = bytes.size();
    for (; at < end; at++)
        digest = mix(digest, std::uint8_t(*at));
    for (std::uint64_t lane : lanes)
        digest = mix(digest, lane);
    return digest;
}

bool parse_journal(std::string_view text, journal &found)
{
    std::string bytes(text); // zero-terminated for sscanf
    found = {};
    std::uintmax_t device = 0, inode = 0, digest = 0;
    std::intmax_t size = -1, born_seconds = 0;
    long born_nanoseconds = 0;
    int used = 0;
    if (sscanf(bytes.c_str(), "quelvaron journal 2\nmailbox %ju %ju %jd %jx %jd %ld\n%n", &device, &inode, &size,
               &digest, &born_seconds, &born_nanoseconds, &used) != 6 || used == 0 || size < 0)
        return false;
    found.device = dev_t(device);
    found.inode = ino_t(inode);
    found.size = off_t(size);
    found.digest = std::uint64_t(digest);
    found.born = {time_t(born_seconds), born_nanoseconds};
    for (const char *line = bytes.c_str() + used; *line != '\0';) {
        const char *end = strchr(line, '\n');
        if (end == nullptr)
            return false; // torn
        int line_length = int(end - line), read = -1;
        journal_segment segment;
        char digits[name_digits + 1] = {};
        if (sscanf(line, "run %zu %6[0-9a-z] %6[0-9a-z]%n", &segment.first_message, digits, segment.tag, &read) != 3 ||
            read != line_length || strlen(digits) != name_digits || strlen(segment.tag) != run_tag_length)
            return false;
        segment.first_name = std::uint64_t(name_digits_number(digits));
        if (!found.segments.empty() && segment.first_message == found.segments.back().first_message)
            found.segments.back() = segment;
        else if (found.segments.empty() || segment.first_message > found.segments.back().first_message)
            found.segments.push_back(segment);
        else
            return false;
        line = end + 1;
    }
    return !found.segments.empty();
}

// The journal: a few lines of text, at most this long.
static constexpr std::size_t largest_journal = 16384;

// The journal of the mailbox with `device` and `inode`, and, with `ending`, its other names.
static void name_journal(dev_t device, ino_t inode, char *name, std::size_t size, const char *ending = "")
{
    snprintf(name, size, ".quelvaron-journal-%" PRIuMAX "-%" PRIuMAX "%s", std::uintmax_t(device),
             std::uintmax_t(inode), ending);
}

bool read_journal(int dir_fd, const struct stat &mailbox, journal &found)
{
    char name[64];
    name_journal(mailbox.st_dev, mailbox.st_ino, name, sizeof name);
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[largest_journal];
    struct stat status;
    ssize_t length = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= off_t(largest_journal)
                         ? pread(fd, text, largest_journal, 0)
                         : -1;
    close(fd);
    return length > 0 && parse_journal(std::string_view(text, std::size_t(length)), found) &&
           found.device == mailbox.st_dev && found.inode == mailbox.st_ino && found.size <= mailbox.st_size;
}

std::int64_t journal_name(const journal &found, std::size_t index)
{
    auto segment = std::upper_bound(found.segments.begin(), found.segments.end(), index,
                                    [](std::size_t i, const journal_segment &s) { return i < s.first_message; });
    if (segment == found.segments.begin())
        return -1;
    --segment;
    std::uint64_t name = segment->first_name + (index - segment->first_message);
    return name < name_count ? std::int64_t(name) : -1;
}

// The journal of the current run, open while it may grow.
static int journal_fd = -1;
static int journal_dir_fd = -1;
static off_t journal_length = 0;
static char journal_path[64];
static char withdrawn_path[80]; // where a withdrawn journal waits for the mailbox's emptying
static bool journal_named = false;

// Appends `line` to the journal open on journal_fd. Returns 0, or -1 with errno set.
static int append_to_journal(const char *line)
{
    std::size_t length = strlen(line);
    if (std::size_t(journal_length) + length > largest_journal) {
        errno = EFBIG;
        return -1;
    }
    ssize_t written = pwrite(journal_fd, line, length, journal_length);
    if (written != ssize_t(length)) {
        if (written >= 0)
            errno = ENOSPC;
        return -1;
    }
    journal_length += off_t(length);
    return 0;
}

static int append_segment(const journal_segment &segment)
{
    char digits[name_digits + 1], line[80];
    format_name_digits(segment.first_name, digits);
    snprintf(line, sizeof line, "run %zu %s %s\n", segment.first_message, digits, segment.tag);
    return append_to_journal(line);
}

int start_journal(int dir_fd, const journal &header, const journal_segment &segment)
{
    char fresh[80];
    name_journal(header.device, header.inode, journal_path, sizeof journal_path);
    name_journal(header.device, header.inode, fresh, sizeof fresh, ".new");
    // One a run killed while it emptied the mailbox withdrew: it serves nothing.
    name_journal(header.device, header.inode, withdrawn_path, sizeof withdrawn_path, ".gone");
    unlinkat(dir_fd, withdrawn_path, 0);
    // Written whole under another name, then moved over the old one, so that a crash meanwhile
    // leaves the old journal whole.
    unlinkat(dir_fd, fresh, 0);
    journal_fd = openat(dir_fd, fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (journal_fd < 0)
        return -1;
    journal_dir_fd = dir_fd;
    journal_length = 0;
    char line[160];
    snprintf(line, sizeof line, "quelvaron journal 2\nmailbox %ju %ju %jd %016jx %jd %ld\n",
             std::uintmax_t(header.device), std::uintmax_t(header.inode), std::intmax_t(header.size),
             std::uintmax_t(header.digest), std::intmax_t(header.born.tv_sec), long(header.born.tv_nsec));
    bool written = append_to_journal(line) == 0;
    for (const journal_segment &earlier : header.segments)
        written = written && append_segment(earlier) == 0;
    if (written && append_segment(segment) == 0 && renameat(dir_fd, fresh, dir_fd, journal_path) == 0) {
        journal_named = true;
        return 0;
    }
    int failure = errno;
    unlinkat(dir_fd, fresh, 0);
    close(journal_fd);
    journal_fd = -1;
    errno = failure;
    return -1;
}

int add_journal_segment(const journal_segment &segment)
{
    if (journal_fd < 0)
        return -1;
    if (append_segment(segment) == 0)
        return 0;
    stop_journal(errno);
    return -1;
}

void empty_journal()
{
    if (journal_fd < 0)
        return;
    if (ftruncate(journal_fd, 0) != 0 && journal_named)
        unlinkat(journal_dir_fd, journal_path, 0);
    journal_named = false;
    close_journal();
}

void stop_journal(int failure)
{
    if (journal_fd < 0)
        return;
    errno = failure;
    perror("Unable to write journal");
    empty_journal();
}

int journal_descriptor()
{
    return journal_fd;
}

void remove_journal()
{
    if (journal_named)
        unlinkat(journal_dir_fd, journal_path, 0);
    journal_named = false;
}

static bool journal_withdrawn = false;

int withdraw_journal()
{
    if (!journal_named)
        return 0;
    if (renameat(journal_dir_fd, journal_path, journal_dir_fd, withdrawn_path) != 0)
        return -1;
    journal_named = false;
    journal_withdrawn = true;
    return 0;
}

void reinstate_journal()
{
    if (journal_withdrawn && renameat(journal_dir_fd, withdrawn_path, journal_dir_fd, journal_path) == 0) {
        journal_withdrawn = false;
        journal_named = true;
    }
}

void close_journal()
{
    if (journal_withdrawn)
        unlinkat(journal_dir_fd, withdrawn_path, 0);
    journal_withdrawn = false;
    if (journal_fd >= 0)
        close(journal_fd);
    journal_fd = -1;
    journal_named = false;
}
