// Mail that arrives while conversions run, and converters that race each other.
#include "tool_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static std::string numbered_message(int id)
{
    return "From writer@example.org\nX-Id: " + std::to_string(id) + "\n\nbody of " + std::to_string(id) + "\n\n";
}

// Appends the messages first..last-1 one at a time, as a delivery agent does: open, lock, append.
static void deliver(const std::string &mailbox, int first, int last, int pause_us)
{
    for (int id = first; id < last; id++) {
        int fd = open(mailbox.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            _exit(2);
        std::string message = numbered_message(id);
        if (write(fd, message.data(), message.size()) != (ssize_t)message.size())
            _exit(3);
        close(fd);
        usleep(pause_us);
    }
}

// How many files of `directory` hold each message id; fails on a file that is not one whole message.
static std::map<int, int> delivered_ids(const std::string &directory)
{
    std::map<int, int> seen;
    for (const std::string &content : sorted_contents(directory)) {
        std::size_t at = content.find("X-Id: ");
        int id = at == std::string::npos ? -1 : std::stoi(content.substr(at + 6));
        std::string whole = numbered_message(id);
        EXPECT_TRUE(content == whole || content + "\n" == whole) << testing::PrintToString(content);
        seen[id]++;
    }
    return seen;
}

static void expect_each_once(const std::map<int, int> &seen, int count)
{
    EXPECT_EQ(seen.size(), (std::size_t)count);
    for (const auto &[id, times] : seen)
        EXPECT_EQ(times, 1) << "message " << id;
    EXPECT_TRUE(seen.empty() || (seen.begin()->first == 0 && seen.rbegin()->first == count - 1));
}

class Concurrency : public testing::Test {
protected:
    void SetUp() override
    {
        dir = make_scratch_directory();
        mkdir((dir + "/out").c_str(), 0700);
    }
    void TearDown() override { remove_scratch_directory(dir); }
    std::string dir;
};

TEST_F(Concurrency, MailArrivingDuringConversionsIsWrittenExactlyOnce)
{
    const int count = 3000;
    pid_t writer = fork();
    if (writer == 0) {
        deliver(dir + "/mbox", 0, count, 200);
        _exit(0);
    }
    int runs = 0, status = 0;
    // Two converters at a time, again and again, until the writer is done; then one to finish.
    for (bool writing = true; writing; runs++) {
        writing = waitpid(writer, &status, WNOHANG) == 0;
        pid_t first = start_tool({"mbox", "out", "-t", "-s"}, dir);
        pid_t second = start_tool({"mbox", "out", "-t", "-s"}, dir);
        for (pid_t converter : {first, second}) {
            tool_result result = finish_tool(converter);
            ASSERT_EQ(result.status, 0) << result.err;
            ASSERT_EQ(result.out + result.err, "");
        }
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer failed";
    EXPECT_EQ(read_file(dir + "/mbox"), "");
    expect_each_once(delivered_ids(dir + "/out"), count);
    RecordProperty("conversion_rounds", runs);
}

TEST_F(Concurrency, ASecondConverterWaitsAndTheTwoWriteEachMessageOnce)
{
    const int count = 20000;
    deliver(dir + "/mbox", 0, count, 0);
    pid_t first = start_tool({"mbox", "out", "-t"}, dir);
    pid_t second = start_tool({"mbox", "out", "-t"}, dir);
    tool_result results[] = {finish_tool(first), finish_tool(second)};
    int converted = 0;
    for (const tool_result &result : results) {
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        converted += result.out.find(" 0 messages (0 bytes)") == std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(converted, 1) << "exactly one converter finds the messages, the other an empty mailbox";
    EXPECT_EQ(read_file(dir + "/mbox"), "");
    expect_each_once(delivered_ids(dir + "/out"), count);
}
