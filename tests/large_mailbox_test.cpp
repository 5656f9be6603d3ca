// SPDX-License-Identifier: BSD-2-Clause
// A mailbox larger than any single read or write moves on Linux (about 2 GiB), or than the memory
// the tool may take.
#include "tool_run.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// Mapped, never copied: the mailbox needs neither that much memory nor that much address space
// for data (RLIMIT_DATA counts private writable memory, not a read-only shared mapping).
TEST(LargeMailbox, AMailboxLargerThanTheMemoryAtHandIsWrittenWhole)
{
    struct {
        long long size, data_limit;
    } rows[] = {{3000000000LL, -1}, {200000000LL, 64LL << 20}};
    const std::string head = "From big@example.org\nSubject: large\n\n", tail = "the end\n";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.size);
#ifdef QUELVARON_SANITIZED
        if (row.data_limit >= 0) // the sanitizers cannot reserve their shadow memory under it
            continue;
#endif
        std::string dir = make_scratch_directory();
        struct statvfs disk;
        ASSERT_EQ(statvfs(dir.c_str(), &disk), 0);
        if ((long long)disk.f_bavail * (long long)disk.f_frsize < row.size + (1LL << 30)) {
            remove_scratch_directory(dir);
            GTEST_SKIP() << "needs " << row.size / 1000000000 + 1 << " GB free on " << dir;
        }
        // Sparse: only the head and the tail take room; the message the tool writes is real.
        int fd = open((dir + "/mbox").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), (ssize_t)head.size());
        ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), row.size - (long long)tail.size()), (ssize_t)tail.size());
        close(fd);
        mkdir((dir + "/out").c_str(), 0700);

        tool_result result = run_tool({"mbox", "out"}, dir, {.data_limit = row.data_limit});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "Processing mbox to out...\nProcessing mbox to out successful, 1 messages (" +
                                  std::to_string(row.size) + " bytes) processed.\n");
        strings names = file_names(dir + "/out");
        ASSERT_EQ(names.size(), 1u);
        std::string written = dir + "/out/" + names[0];
        struct stat status;
        ASSERT_EQ(stat(written.c_str(), &status), 0);
        EXPECT_EQ(status.st_size, row.size);
        // One message is the whole file: every byte, across the 2 GiB a single write stops at.
        EXPECT_EQ(system(("cmp -s " + dir + "/mbox " + written).c_str()), 0) << "the file differs from the mailbox";
        remove_scratch_directory(dir);
    }
}
