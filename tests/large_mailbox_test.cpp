// A mailbox larger than any single read or write moves on Linux (about 2 GiB).
#include "tool_run.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

static long long available_memory()
{
    std::ifstream meminfo("/proc/meminfo");
    long long kib = 0;
    for (std::string line; std::getline(meminfo, line);)
        if (sscanf(line.c_str(), "MemAvailable: %lld kB", &kib) == 1)
            return kib * 1024;
    return 0;
}

TEST(LargeMailbox, AThreeGigabyteMessageIsLoadedAndWrittenWhole)
{
    const long long size = 3000000000LL;
    const std::string head = "From big@example.org\nSubject: large\n\n", tail = "the end\n";
    std::string dir = make_scratch_directory();
    struct statvfs disk;
    ASSERT_EQ(statvfs(dir.c_str(), &disk), 0);
    if ((long long)disk.f_bavail * (long long)disk.f_frsize < size + (1LL << 30) ||
        available_memory() < size + (1LL << 30)) {
        remove_scratch_directory(dir);
        GTEST_SKIP() << "needs 4 GB free on " << dir << " and 4 GB of free memory";
    }
    // Sparse: only the head and the tail take room; the message the tool writes is real.
    int fd = open((dir + "/mbox").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), (ssize_t)head.size());
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), size - (long long)tail.size()), (ssize_t)tail.size());
    close(fd);
    mkdir((dir + "/out").c_str(), 0700);

    tool_result result = run_tool({"mbox", "out"}, dir);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "Processing mbox to out...\n"
                          "Processing mbox to out successful, 1 messages (3000000000 bytes) processed.\n");
    strings names = file_names(dir + "/out");
    ASSERT_EQ(names.size(), 1u);
    std::string written = dir + "/out/" + names[0];
    struct stat status;
    ASSERT_EQ(stat(written.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, size);
    // One message is the whole file: every byte, across the 2 GiB a single write stops at.
    EXPECT_EQ(system(("cmp -s " + dir + "/mbox " + written).c_str()), 0) << "the file differs from the mailbox";
    remove_scratch_directory(dir);
}
