// SPDX-License-Identifier: BSD-2-Clause
#include "message_names.h"

#include "safe_path.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// In byte order, so that the order of names is the order of their numbers.
static const char name_characters[] = "0123456789abcdefghijklmnopqrstuvwxyz";

void format_name_digits(std::uint64_t number, char *digits)
{
    for (std::size_t i = name_digits; i-- > 0; number /= 36)
        digits[i] = name_characters[number % 36];
    digits[name_digits] = '\0';
}

void format_message_name(std::uint64_t number, char *name)
{
    memcpy(name, name_prefix.data(), name_prefix.size());
    format_name_digits(number, name + name_prefix.size());
}

static int character_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        c = char(c - 'A' + 'a');
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : -1;
}

std::int64_t name_digits_number(std::string_view digits)
{
    if (digits.size() < name_digits)
        return -1;
    std::int64_t number = 0;
    for (std::size_t i = 0; i < name_digits; i++) {
        int value = character_value(digits[i]);
        if (value < 0)
            return -1;
        number = number * 36 + value;
    }
    return number;
}

void make_run_tag(char *tag)
{
    memset(tag, 'X', run_tag_length);
    tag[run_tag_length] = '\0';
    fill_random_suffix(tag);
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

// Whether `name` in `parent` is a directory, not a link, on `device` and owned by `owner`; fills
// `status`.
static bool directory_of(int parent, const char *name, dev_t device, uid_t owner, struct stat &status)
{
    return fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode) &&
           status.st_dev == device && status.st_uid == owner;
}

// Where DIR, whose status is `dir_status`, is `new` or `cur` in `parent`, opens the other of the two
// when it is a folder of the same maildir. Returns its descriptor, or -1.
static int open_sibling(int parent, const struct stat &dir_status)
{
    static const char *const folders[2] = {"new", "cur"};
    for (int i = 0; i < 2; i++) {
        struct stat status, sibling;
        if (!directory_of(parent, folders[i], dir_status.st_dev, dir_status.st_uid, status) ||
            status.st_ino != dir_status.st_ino ||
            !directory_of(parent, folders[1 - i], dir_status.st_dev, dir_status.st_uid, sibling))
            continue;
        int fd = openat(parent, folders[1 - i], O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat opened;
        if (fd >= 0 && fstat(fd, &opened) == 0 && opened.st_ino == sibling.st_ino && opened.st_dev == sibling.st_dev)
            return fd;
        if (fd >= 0)
            close(fd);
    }
    return -1;
}

void open_output_folders(int dir_fd, const struct stat &dir_status, output_folders &folders)
{
    folders = {};
    folders.dir_fd = dir_fd;
    // The maildir's root is found from DIR's own descriptor, so that a path swapped meanwhile
    // changes nothing.
    int parent = openat(dir_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent >= 0)
        folders.sibling_fd = open_sibling(parent, dir_status);
    if (folders.sibling_fd >= 0) {
        folders.lock_fd = parent;
    } else {
        if (parent >= 0)
            close(parent);
        folders.lock_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    // Taken after the mailbox's locks, by every run alike, so that no two runs wait on each other.
    while (folders.lock_fd >= 0 && flock(folders.lock_fd, LOCK_EX) != 0 && errno == EINTR)
        continue;
}

void close_output_folders(output_folders &folders)
{
    for (int *fd : {&folders.sibling_fd, &folders.lock_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
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
    // Only readdir's own errno tells a failed listing: `look` may leave one behind.
    bool read = true;
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(directory);
        if (entry == nullptr) {
            read = errno == 0;
            break;
        }
        look(std::string_view(entry->d_name));
    }
    closedir(directory);
    return read;
}

// Calls `look(folder, name)` for each name in the folders. Returns false where DIR cannot be read
// or a listing failed.
template <typename look_at_name>
static bool for_each_folder_name(const output_folders &folders, look_at_name look)
{
    bool read = for_each_name(folders.dir_fd, [&](std::string_view name) { look(0, name); });
    if (folders.sibling_fd >= 0)
        read = for_each_name(folders.sibling_fd, [&](std::string_view name) { look(1, name); }) && read;
    return read;
}

bool read_directory_names(const output_folders &folders, directory_names &found)
{
    found.greatest = -1;
    found.suffixed.clear();
    found.tagged_hidden.clear();
    bool read = for_each_folder_name(folders, [&](int folder, std::string_view name) {
        std::int64_t number = message_name_number(name);
        if (number < 0)
            return;
        found.greatest = std::max(found.greatest, number);
        std::uint64_t at = std::uint64_t(number);
        std::size_t plain = name_prefix.size() + name_digits;
        if (name.starts_with('.')) {
            std::string_view tag = name.substr(1 + plain);
            if (folder == 0 && std::find(found.wanted_tags.begin(), found.wanted_tags.end(), tag) != found.wanted_tags.end())
                found.tagged_hidden.emplace_back(name);
        } else if (name.size() > plain && at >= found.wanted_from && at <= found.wanted_to) {
            found.suffixed.push_back({at, folder, std::string(name)});
        }
    });
    std::sort(found.suffixed.begin(), found.suffixed.end(),
              [](const found_name &a, const found_name &b) { return a.number < b.number; });
    return read;
}

std::uint64_t free_names_start(const output_folders &folders, std::uint64_t count, std::uint64_t after)
{
    std::vector<std::uint64_t> taken;
    if (!for_each_folder_name(folders, [&](int, std::string_view name) {
            std::int64_t number = message_name_number(name);
            if (number >= 0)
                taken.push_back(std::uint64_t(number));
        }))
        return name_count;
    if (count > name_count)
        return name_count;
    std::sort(taken.begin(), taken.end());
    if (taken.empty() || taken.back() + 1 + count <= name_count)
        return taken.empty() ? 0 : taken.back() + 1;
    // The lowest gap of `count` free names from `from` on.
    auto gap_from = [&](std::uint64_t from) {
        std::uint64_t start = from;
        for (auto at = std::lower_bound(taken.begin(), taken.end(), from); at != taken.end() && *at < start + count; ++at)
            start = std::max(start, *at + 1);
        return start + count <= name_count ? start : name_count;
    };
    std::uint64_t start = gap_from(after);
    return start < name_count ? start : gap_from(0);
}

std::uint64_t random_names_start(std::uint64_t count)
{
    char digits[name_digits + 1];
    make_run_tag(digits);
    std::uint64_t room = count < name_count ? name_count - count + 1 : 1;
    return std::uint64_t(name_digits_number(digits)) % room;
}
