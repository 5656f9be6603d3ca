// SPDX-License-Identifier: BSD-2-Clause
#include "message_names.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

// In byte order, so that the order of names is the order of their numbers.
static const char name_characters[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

void format_message_name(std::uint64_t number, char *name)
{
    memcpy(name, name_prefix.data(), name_prefix.size());
    for (int i = 5; i >= 0; i--, number /= 62)
        name[name_prefix.size() + std::size_t(i)] = name_characters[number % 62];
    name[name_prefix.size() + 6] = '\0';
}

static int character_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : c >= 'a' && c <= 'z' ? c - 'a' + 36 : -1;
}

// The number that the six characters at the start of `digits` spell, or -1.
static std::int64_t name_digits_number(std::string_view digits)
{
    if (digits.size() < 6)
        return -1;
    std::int64_t number = 0;
    for (std::size_t i = 0; i < 6; i++) {
        int value = character_value(digits[i]);
        if (value < 0)
            return -1;
        number = number * 62 + value;
    }
    return number;
}

// The number of a name made of name_prefix (after one dot, if `name` is hidden), six characters
// and anything after them; -1 for any other name.
static std::int64_t message_name_number(std::string_view name)
{
    if (name.starts_with('.'))
        name.remove_prefix(1);
    if (!name.starts_with(name_prefix))
        return -1;
    return name_digits_number(name.substr(name_prefix.size()));
}

// Calls `look(name)` for each name in the directory `dir_fd`. Returns false where it cannot be read.
template <typename look_at_name>
static bool for_each_name(int dir_fd, look_at_name look)
{
    // Reading needs a descriptor opened for it; `dir_fd` may be an O_PATH or O_SEARCH one.
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *directory = fd >= 0 ? fdopendir(fd) : nullptr;
    if (directory == nullptr) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    errno = 0;
    while (const struct dirent *entry = readdir(directory))
        look(std::string_view(entry->d_name));
    bool read = errno == 0;
    closedir(directory);
    return read;
}

bool read_directory_names(int dir_fd, directory_names &found)
{
    found.greatest = -1;
    found.suffixed.clear();
    bool read = for_each_name(dir_fd, [&](std::string_view name) {
        std::int64_t number = message_name_number(name);
        if (number < 0)
            return;
        found.greatest = std::max(found.greatest, number);
        std::uint64_t at = std::uint64_t(number);
        if (!name.starts_with('.') && name.size() > name_prefix.size() + 6 && at >= found.wanted_from &&
            at <= found.wanted_to)
            found.suffixed.emplace_back(at, std::string(name));
    });
    std::sort(found.suffixed.begin(), found.suffixed.end());
    return read;
}

std::uint64_t lowest_free_name(int dir_fd)
{
    std::vector<std::uint64_t> taken;
    if (!for_each_name(dir_fd, [&](std::string_view name) {
            std::int64_t number = message_name_number(name);
            if (number >= 0)
                taken.push_back(std::uint64_t(number));
        }))
        return name_count;
    std::sort(taken.begin(), taken.end());
    std::uint64_t lowest = 0;
    for (std::uint64_t number : taken)
        if (number == lowest)
            lowest++;
        else if (number > lowest)
            break;
    return lowest;
}

// The journal: a few lines of text, its runs and the names they passed over.
static constexpr std::size_t most_journal_entries = 64;
static constexpr std::size_t largest_journal = 4096;

// The journal of the current run, open while it may grow.
static int journal_fd = -1;
static int journal_dir_fd = -1;
static off_t journal_length = 0;
static std::size_t journal_entries = 0;
static char journal_path[64];
static bool journal_named = false;

static void name_journal(const struct stat &mailbox, char *name, std::size_t size, const char *ending = "")
{
    snprintf(name, size, ".quelvaron-journal-%" PRIuMAX "-%" PRIuMAX "%s", std::uintmax_t(mailbox.st_dev),
             std::uintmax_t(mailbox.st_ino), ending);
}

bool read_journal(int dir_fd, const struct stat &mailbox, journal &found)
{
    char name[64];
    name_journal(mailbox, name, sizeof name);
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[largest_journal + 1];
    struct stat status;
    ssize_t length = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= off_t(largest_journal)
                         ? pread(fd, text, largest_journal, 0)
                         : -1;
    close(fd);
    if (length <= 0)
        return false;
    text[length] = '\0';
    found = {};
    std::uintmax_t device = 0, inode = 0;
    std::intmax_t size = -1;
    int used = 0;
    if (sscanf(text, "quelvaron journal 1\nmailbox %ju %ju %jd\n%n", &device, &inode, &size, &used) != 3 || used == 0)
        return false;
    found.device = dev_t(device);
    found.inode = ino_t(inode);
    found.size = off_t(size);
    for (const char *line = text + used; *line != '\0';) {
        const char *end = strchr(line, '\n');
        if (end == nullptr)
            return false;
        int line_length = int(end - line), read = -1;
        std::size_t message = 0;
        char digits[7] = {};
        if (sscanf(line, "run %zu %6[0-9A-Za-z]%n", &message, digits, &read) == 2 && read == line_length &&
            strlen(digits) == 6 && (found.runs.empty() || message > found.runs.back().first_message))
            found.runs.push_back({message, std::uint64_t(name_digits_number(digits)), {}});
        else if (sscanf(line, "skip %6[0-9A-Za-z]%n", digits, &read) == 1 && read == line_length &&
                 strlen(digits) == 6 && !found.runs.empty())
            found.runs.back().passed_over.push_back(std::uint64_t(name_digits_number(digits)));
        else
            return false;
        line = end + 1;
    }
    return !found.runs.empty() && found.device == mailbox.st_dev && found.inode == mailbox.st_ino &&
           found.size >= 0 && found.size <= mailbox.st_size;
}

std::int64_t journal_name(const journal &found, std::size_t index)
{
    auto run = std::upper_bound(found.runs.begin(), found.runs.end(), index,
                                [](std::size_t i, const journal_run &r) { return i < r.first_message; });
    if (run == found.runs.begin())
        return -1;
    --run;
    // The names a run passed over stand in increasing order, as the run met them.
    std::uint64_t name = run->first_name + (index - run->first_message);
    for (std::uint64_t passed : run->passed_over)
        name += passed <= name;
    return name < name_count ? std::int64_t(name) : -1;
}

// Appends `line` to the journal open on journal_fd. Returns 0, or -1 with errno set.
static int append_to_journal(const char *line)
{
    std::size_t length = strlen(line);
    if (pwrite(journal_fd, line, length, journal_length) != ssize_t(length)) {
        if (errno == 0)
            errno = ENOSPC;
        return -1;
    }
    journal_length += off_t(length);
    journal_entries++;
    return 0;
}

static int append_run(const journal_run &run)
{
    char name[16], line[64];
    format_message_name(run.first_name, name);
    snprintf(line, sizeof line, "run %zu %s\n", run.first_message, name + name_prefix.size());
    if (append_to_journal(line) != 0)
        return -1;
    for (std::uint64_t passed : run.passed_over) {
        format_message_name(passed, name);
        snprintf(line, sizeof line, "skip %s\n", name + name_prefix.size());
        if (append_to_journal(line) != 0)
            return -1;
    }
    return 0;
}

int start_journal(int dir_fd, const struct stat &mailbox, const journal &kept, const journal_run &run)
{
    char fresh[80];
    name_journal(mailbox, journal_path, sizeof journal_path);
    name_journal(mailbox, fresh, sizeof fresh, ".new");
    // Written whole under another name, then moved over the old one, so that a crash meanwhile
    // leaves the old journal whole.
    unlinkat(dir_fd, fresh, 0);
    journal_fd = openat(dir_fd, fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (journal_fd < 0)
        return -1;
    journal_dir_fd = dir_fd;
    journal_length = 0;
    journal_entries = 0;
    char header[128];
    snprintf(header, sizeof header, "quelvaron journal 1\nmailbox %ju %ju %jd\n", std::uintmax_t(mailbox.st_dev),
             std::uintmax_t(mailbox.st_ino), std::intmax_t(mailbox.st_size));
    bool written = append_to_journal(header) == 0;
    for (const journal_run &earlier : kept.runs)
        written = written && append_run(earlier) == 0;
    if (written && append_run(run) == 0 && renameat(dir_fd, fresh, dir_fd, journal_path) == 0) {
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

void pass_over_name(std::uint64_t number)
{
    if (journal_fd < 0)
        return;
    char name[16], line[32];
    format_message_name(number, name);
    snprintf(line, sizeof line, "skip %s\n", name + name_prefix.size());
    if (journal_entries >= most_journal_entries || append_to_journal(line) != 0)
        abandon_journal();
}

void abandon_journal()
{
    if (journal_fd < 0)
        return;
    int emptied = ftruncate(journal_fd, 0);
    (void)emptied;
    close_journal();
}

void remove_journal()
{
    if (journal_named)
        unlinkat(journal_dir_fd, journal_path, 0);
    journal_named = false;
    close_journal();
}

void close_journal()
{
    if (journal_fd >= 0)
        close(journal_fd);
    journal_fd = -1;
}

const char *journal_file_name()
{
    return journal_named ? journal_path : nullptr;
}
