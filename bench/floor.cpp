// SPDX-License-Identifier: BSD-2-Clause
// The floor: the least a converter with the tool's guarantees can do. It loads the mailbox with
// read (or maps it, with "mapped"), splits it with memmem, and for each message makes the calls the tool must make and nothing
// more, naming the files from a counter with no formatting: by default it publishes each file
// whole, written unnamed in the directory opened once (O_TMPFILE, write, fchmod, futimens, linkat
// through the descriptor or, before Linux 6.10, /proc/self/fd, close); with "portable" as the portable branch does, under a hidden name
// that is then moved without replacing (openat O_EXCL, write, fchmod, futimens, close, linkat,
// unlinkat); with "in-place" it writes each under its final name as it goes (openat O_EXCL, write,
// fchmod, futimens, close). With "0666" it sets the umask to 0 and makes each file with mode 0666
// in the first place, without the fchmod.
//   floor MAILBOX DIR [in-place|portable|mapped] [0666]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Counts in the last six characters of `name`, as digits and letters, so that every name is new.
static void next_name(char *name)
{
    for (char *digit = name + strlen(name) - 1;; digit--) {
        *digit = *digit == '9' ? 'A' : *digit == 'Z' ? 'a' : *digit == 'z' ? '0' : char(*digit + 1);
        if (*digit != '0')
            return;
    }
}

int main(int argc, char *argv[])
{
    bool in_place = false, portable = false, mapped = false, created_0666 = false;
    for (int i = 3; i < argc; i++) {
        if (strcmp(argv[i], "in-place") == 0)
            in_place = true;
        else if (strcmp(argv[i], "portable") == 0)
            portable = true;
        else if (strcmp(argv[i], "mapped") == 0)
            mapped = true;
        else if (strcmp(argv[i], "0666") == 0)
            created_0666 = true;
        else
            return 2;
    }
    if (argc < 3 || in_place + portable + mapped > 1)
        return 2;
    const mode_t mode = created_0666 ? 0666 : 0600;
    if (created_0666)
        umask(0);
    int fd = open(argv[1], O_RDONLY);
    int dir_fd = open(argv[2], (portable || in_place ? O_RDONLY : O_PATH) | O_DIRECTORY);
    struct stat status;
    if (fd < 0 || dir_fd < 0 || fstat(fd, &status) != 0)
        return 1;
    std::size_t size = std::size_t(status.st_size);
    char *block = mapped ? static_cast<char *>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0))
                         : static_cast<char *>(malloc(size ? size : 1));
    if (mapped && block == MAP_FAILED)
        return 1;
    for (std::size_t loaded = 0; !mapped && loaded < size;) {
        ssize_t got = read(fd, block + loaded, size - loaded);
        if (got <= 0)
            return 1;
        loaded += std::size_t(got);
    }
    if (!mapped)
        close(fd);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
    char name[] = "quelvaron000000", hidden[] = ".quelvaron000000", proc_path[32] = "";
    int proc_fd = -1;
    bool through_descriptor = true;
    for (std::size_t start = 0; start < size;) {
        const void *separator = memmem(block + start + 1, size - start - 1, "\nFrom ", 6);
        std::size_t end = separator ? std::size_t(static_cast<const char *>(separator) - block) : size;
        next_name(name);
        int out;
        if (in_place) {
            out = openat(dir_fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        } else if (portable) {
            next_name(hidden);
            out = openat(dir_fd, hidden, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        } else {
            out = openat(dir_fd, ".", O_TMPFILE | O_RDWR, mode);
        }
        if (out < 0 || write(out, block + start, end - start) != ssize_t(end - start) ||
            (!created_0666 && fchmod(out, 0666) != 0) ||
            futimens(out, times) != 0)
            return 1;
        if (portable) {
            close(out);
            if (linkat(dir_fd, hidden, dir_fd, name, 0) != 0 || unlinkat(dir_fd, hidden, 0) != 0)
                return 1;
        } else {
            // Through the descriptor where the kernel lets its opener (Linux 6.10 and later), else
            // through /proc; a closed file's number is the next one's, so its path is made once.
            if (!in_place && through_descriptor && linkat(out, "", dir_fd, name, AT_EMPTY_PATH) != 0)
                through_descriptor = false;
            if (!in_place && !through_descriptor && out != proc_fd) {
                snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", out);
                proc_fd = out;
            }
            if (!in_place && !through_descriptor && linkat(AT_FDCWD, proc_path, dir_fd, name, AT_SYMLINK_FOLLOW) != 0)
                return 1;
            close(out);
        }
        start = end + 1;
    }
    if (mapped)
        munmap(block, size);
    else
        free(block);
    return 0;
}
