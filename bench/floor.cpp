// The floor: the least a converter can do. It loads the mailbox and, for each message, makes the
// calls the tool must make (mkstemp, write, fchmod, close) and nothing more.
//   floor MAILBOX DIR
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    int fd = open(argv[1], O_RDONLY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
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
    for (std::size_t start = 0; start < size;) {
        std::size_t end = text.find("\nFrom ", start + 1);
        if (end == std::string_view::npos)
            end = size;
        snprintf(path, sizeof path, "%s/quelvaronXXXXXX", argv[2]);
        int out = mkstemp(path);
        if (out < 0 || write(out, block + start, end - start) != ssize_t(end - start))
            return 1;
        fchmod(out, 0666);
        close(out);
        start = end + 1;
    }
    free(block);
    return 0;
}
