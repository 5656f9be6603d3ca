// The floor: the least a converter can do. It loads the mailbox and, for each message, makes the
// calls the tool must make and nothing more: by default it publishes each file whole, written
// unnamed in the directory opened once (O_TMPFILE, write, fchmod, linkat, close); with "portable"
// as the portable branch does, under a hidden name that is then moved without replacing (openat
// O_EXCL, write, fchmod, close, linkat, unlinkat); with "in-place" it writes each under its final
// name as it goes (mkstemp, write, fchmod, close).
//   floor MAILBOX DIR [in-place|portable]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 3 && !(argc == 4 && (strcmp(argv[3], "in-place") == 0 || strcmp(argv[3], "portable") == 0)))
        return 2;
    bool in_place = argc == 4 && argv[3][0] == 'i', portable = argc == 4 && argv[3][0] == 'p';
    int fd = open(argv[1], O_RDONLY);
    int dir_fd = open(argv[2], (portable ? O_RDONLY : O_PATH) | O_DIRECTORY);
    struct stat status;
    if (fd < 0 || dir_fd < 0 || fstat(fd, &status) != 0)
        return 1;
    std::size_t size = std::size_t(status.st_size);
    char *block = static_cast<char *>(malloc(size ? size : 1));
    for (std::size_t loaded = 0; loaded < size;) {
        ssize_t got = read(fd, block + loaded, size - loaded);
        if (got <= 0)
            return 1;
        loaded += std::size_t(got);
    }
    close(fd);
    std::string_view text(block, size);
    char path[4096];
    unsigned long number = 0;
    for (std::size_t start = 0; start < size;) {
        std::size_t end = text.find("\nFrom ", start + 1);
        if (end == std::string_view::npos)
            end = size;
        int out;
        char hidden[32], name[32];
        snprintf(name, sizeof name, "quelvaron%06lu", number++);
        if (in_place) {
            snprintf(path, sizeof path, "%s/quelvaronXXXXXX", argv[2]);
            out = mkstemp(path);
        } else if (portable) {
            snprintf(hidden, sizeof hidden, ".quelvaron%06lu", number);
            out = openat(dir_fd, hidden, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        } else {
            out = openat(dir_fd, ".", O_TMPFILE | O_RDWR, 0600);
        }
        if (out < 0 || write(out, block + start, end - start) != ssize_t(end - start))
            return 1;
        fchmod(out, 0666);
        if (portable) {
            close(out);
            if (linkat(dir_fd, hidden, dir_fd, name, 0) != 0 || unlinkat(dir_fd, hidden, 0) != 0)
                return 1;
            start = end + 1;
            continue;
        }
        if (!in_place) {
            char proc_path[32];
            snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", out);
            if (linkat(AT_FDCWD, proc_path, dir_fd, name, AT_SYMLINK_FOLLOW) != 0)
                return 1;
        }
        close(out);
        start = end + 1;
    }
    free(block);
    return 0;
}
