#include "safe_path.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <string_view>
#include <sys/random.h>
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

// Notes the owner of a link followed: root's links are trusted by everyone.
static void note_link_owner(resolved_path &resolved, uid_t owner)
{
    if (owner == 0)
        return;
    if (resolved.link_owner != 0 && resolved.link_owner != owner)
        resolved.foreign_links = true;
    resolved.link_owner = owner;
}

int resolve_path(const char *path, resolved_path &resolved)
{
    if (*path == '\0')
        return ENOENT;
    std::deque<component> pending;
    push_components(pending, path, true);
    int current = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (current < 0)
        return errno;
    int links = 0;
    while (!pending.empty()) {
        component step = std::move(pending.front());
        pending.pop_front();
        int next = openat(current, step.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat status;
        if (next < 0 || fstatat(next, "", &status, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            int failure = errno;
            if (next >= 0)
                close(next);
            close(current);
            return failure;
        }
        if (step.given_last) {
            resolved.given_dir_fd = fcntl(current, F_DUPFD_CLOEXEC, 0);
            resolved.given_name = step.name;
        }
        if (!S_ISLNK(status.st_mode) && pending.empty()) {
            resolved.fd = next;
            resolved.status = status;
            resolved.dir_fd = current;
            resolved.name = step.name;
            return check_link_owners(resolved, status.st_uid);
        }
        if (!S_ISLNK(status.st_mode)) {
            close(current);
            current = next;
            continue;
        }
        note_link_owner(resolved, status.st_uid);
        char target[PATH_MAX];
        ssize_t length = readlinkat(next, "", target, sizeof target);
        int failure = length < 0 ? errno : ++links > most_symbolic_links ? ELOOP : 0;
        close(next);
        if (failure == 0 && target[0] == '/') {
            close(current);
            current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
            failure = current < 0 ? errno : 0;
        }
        if (failure != 0) {
            if (current >= 0)
                close(current);
            return failure;
        }
        push_components(pending, std::string_view(target, std::size_t(length)), false);
    }
    close(current);
    return ENOENT;
}

int check_link_owners(const resolved_path &path, uid_t owner)
{
    if (path.foreign_links || (path.link_owner != 0 && path.link_owner != owner))
        return foreign_symbolic_link;
    return 0;
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
                                                          : "File has more than one link";
    fprintf(stderr, "%s: %s\n", what, reason);
}

void fill_random_suffix(char *name)
{
    static const char characters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::uint64_t state = 0;
    if (state == 0 && getrandom(&state, sizeof state, GRND_NONBLOCK) != sizeof state)
        state = std::uint64_t(time(nullptr)) << 32 ^ std::uint64_t(getpid()) ^ std::uint64_t(clock());
    // splitmix64: every call a new 64-bit value, of which six base-62 digits take 36 bits.
    std::uint64_t value = (state += 0x9e3779b97f4a7c15);
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9;
    value = (value ^ (value >> 27)) * 0x94d049bb133111eb;
    value ^= value >> 31;
    char *suffix = name + strlen(name) - 6;
    for (int i = 0; i < 6; i++, value /= 62)
        suffix[i] = characters[value % 62];
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
