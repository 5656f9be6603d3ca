// SPDX-License-Identifier: BSD-2-Clause
#include "safe_path.h"

#include "platform.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

// As many as the kernel follows in one path.
static constexpr int most_symbolic_links = 40;

struct component {
    std::string name;
    bool given_last; // the last component of the path as it was given
};

// Puts the components of `path` in front of `pending`, in order. "." and empty components are
// left out, except that a path ending in a directory ("/", "dir/", "dir/.") ends in ".", so that
// a link before it is followed and a file before it fails as the kernel fails it (ENOTDIR).
static void push_components(std::deque<component> &pending, std::string_view path, bool given)
{
    std::deque<component> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back({std::string(part), false});
        start = end + 1;
    }
    if (parts.empty() || path.back() == '/' || path.ends_with("/."))
        parts.push_back({".", false});
    parts.back().given_last = given;
    pending.insert(pending.begin(), parts.begin(), parts.end());
}

// Notes the owner of a link or a directory met: root's are trusted by everyone.
static void note_owner(owners_met &met, uid_t owner)
{
    if (owner == 0)
        return;
    if (met.owner != 0 && met.owner != owner)
        met.several = true;
    met.owner = owner;
}

// Opens the directory a walk starts from, notes its owner and leaves its mode in `mode`. Returns 0
// or the failure.
static int start_walk(resolved_path &resolved, bool from_root, int &current, mode_t &mode)
{
    current = open_walk_start(from_root);
    struct stat status;
    if (current < 0 || descriptor_status(current, status) != 0)
        return errno;
    note_owner(resolved.directory_owners, status.st_uid);
    mode = status.st_mode;
    return 0;
}

// Whether a folder of mode `mode` lets users besides its owner create names in it.
static bool shared_folder(mode_t mode)
{
    return (mode & (S_IWGRP | S_IWOTH)) != 0;
}

int resolve_path(const char *path, resolved_path &resolved)
{
    if (*path == '\0')
        return ENOENT;
    std::deque<component> pending;
    push_components(pending, path, true);
    int current = -1, links = 0;
    mode_t current_mode = 0;
    int failure = start_walk(resolved, path[0] == '/', current, current_mode);
    while (failure == 0 && !pending.empty()) {
        component next = std::move(pending.front());
        pending.pop_front();
        walk_step step;
        failure = take_walk_step(current, next.name.c_str(), step);
        if (failure != 0)
            break;
        if (next.given_last) {
            resolved.given_dir_fd = fcntl(current, F_DUPFD_CLOEXEC, 0);
            resolved.given_name = next.name;
        }
        // Any folder passed through where others may create names may hold one of theirs: a
        // folder they made there leads wherever they like.
        resolved.in_shared_folder |= shared_folder(current_mode);
        if (!S_ISLNK(step.status.st_mode) && pending.empty()) {
            resolved.fd = step.fd;
            resolved.status = step.status;
            resolved.dir_fd = current;
            resolved.name = next.name;
            return 0;
        }
        if (!S_ISLNK(step.status.st_mode)) {
            if (!S_ISDIR(step.status.st_mode)) {
                if (step.fd >= 0)
                    close(step.fd);
                failure = ENOTDIR;
                break;
            }
            note_owner(resolved.directory_owners, step.status.st_uid);
            close(current);
            current = step.fd;
            current_mode = step.status.st_mode;
            continue;
        }
        note_owner(resolved.link_owners, step.status.st_uid);
        if (++links > most_symbolic_links) {
            failure = ELOOP;
            break;
        }
        if (step.target.starts_with('/')) {
            close(current);
            failure = start_walk(resolved, true, current, current_mode);
        }
        push_components(pending, step.target, false);
    }
    if (current >= 0)
        close(current);
    return failure != 0 ? failure : ENOENT;
}

bool only_root_or(const owners_met &met, uid_t owner)
{
    return !met.several && (met.owner == 0 || met.owner == owner);
}

int check_link_owners(const resolved_path &path, uid_t owner)
{
    return only_root_or(path.link_owners, owner) ? 0 : foreign_symbolic_link;
}

void release_path(resolved_path &resolved)
{
    for (int *fd : {&resolved.fd, &resolved.dir_fd, &resolved.given_dir_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void report_failure(const char *what, int failure)
{
    if (failure > 0) {
        errno = failure;
        perror(what);
        return;
    }
    const char *reason = failure == foreign_symbolic_link ? "Symbolic link owned by another user"
                         : failure == not_a_regular_file  ? "Not a regular file"
                         : failure == more_than_one_link  ? "File has more than one link"
                         : failure == foreign_directory   ? "Directory owned by another user"
                         : failure == foreign_mailbox     ? "Mailbox owned by another user"
                                                          : "Lock file owned by another user";
    fprintf(stderr, "%s: %s\n", what, reason);
}

void fill_random_suffix(char *name)
{
    // Lower case only: on a case-insensitive file system "a" and "A" are one name.
    static const char characters[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static std::uint64_t state = 0;
    if (state == 0 && !random_bytes(&state, sizeof state))
        state = std::uint64_t(time(nullptr)) << 32 ^ std::uint64_t(getpid()) ^ std::uint64_t(clock());
    // splitmix64: every call a new 64-bit value, of which six base-36 digits take 32 bits.
    std::uint64_t value = (state += 0x9e3779b97f4a7c15);
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9;
    value = (value ^ (value >> 27)) * 0x94d049bb133111eb;
    value ^= value >> 31;
    char *suffix = name + strlen(name) - 6;
    for (int i = 0; i < 6; i++, value /= 36)
        suffix[i] = characters[value % 36];
}

int mkstempat(int dir_fd, char *name_template)
{
    for (int attempt = 0; attempt < unique_name_attempts; attempt++) {
        fill_random_suffix(name_template);
        int fd = openat(dir_fd, name_template, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
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
int open_mailbox(const resolved_path &path, struct stat &status, int &failure)
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

// A mailbox in a folder where others may create names may be one of theirs, planted under the
// name of a user who has none: root converts it only into a directory of root's or of the
// mailbox's owner. Returns 0 or foreign_mailbox.
int check_mailbox_owner(bool in_shared_folder, uid_t mailbox_owner, uid_t directory_owner)
{
    bool trusted = geteuid() != 0 || !in_shared_folder || directory_owner == 0 || mailbox_owner == 0 ||
                   mailbox_owner == directory_owner;
    return trusted ? 0 : foreign_mailbox;
}
