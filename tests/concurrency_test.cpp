// SPDX-License-Identifier: BSD-2-Clause
// Mail that arrives while conversions run, and converters that race each other.
#include "tool_run.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <ctime>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <pthread.h>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;

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
    for (const std::string &name : file_names(directory)) {
        if (name[0] == '.') // being written, or the journal, which readers pass over
            continue;
        std::string content = read_file(directory + "/" + name);
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

// Delivers the messages 0..count-1 with the real procmail, from `writers` processes at once.
// procmail takes a dot-file and a fcntl lock, and into an empty mailbox it writes the first byte
// of a message, waits a second and then writes the rest.
static void deliver_with_procmail(const std::string &mailbox, int count, int writers)
{
    for (int writer = 0; writer < writers; writer++) {
        if (fork() != 0)
            continue;
        for (int id = writer; id < count; id += writers) {
            FILE *procmail = popen(("procmail -m LOCKSLEEP=1 DEFAULT=" + mailbox + " /dev/null").c_str(), "w");
            if (procmail == nullptr || fputs(numbered_message(id).c_str(), procmail) < 0 || pclose(procmail) != 0)
                _exit(2);
        }
        _exit(0);
    }
    for (int status; wait(&status) > 0;)
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            _exit(2);
}

TEST_F(Concurrency, MailArrivingDuringConversionsIsWrittenExactlyOnce)
{
    struct {
        const char *name;
        int count;
        std::function<void()> deliver;
    } agents[] = {
        {"flock writer", 3000, [&] { deliver(dir + "/mbox", 0, 3000, 200); }},
        {"procmail", 300, [&] { deliver_with_procmail(dir + "/mbox", 300, 10); }},
    };
    for (const auto &agent : agents) {
        SCOPED_TRACE(agent.name);
        if (agent.name == std::string("procmail") && !command_available("procmail"))
            continue;
        write_file(dir + "/mbox", "");
        pid_t writer = fork();
        if (writer == 0) {
            agent.deliver();
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
        expect_each_once(delivered_ids(dir + "/out"), agent.count);
        EXPECT_EQ(file_names(dir), (strings{"mbox", "out"})) << "a lock file was left behind";
        RecordProperty(std::string(agent.name) + " conversion rounds", runs);
        remove_scratch_directory(dir + "/out");
        mkdir((dir + "/out").c_str(), 0700);
        unlink((dir + "/mbox").c_str());
    }
}

// A signal ends the tool at once, converting or waiting for a lock, and leaves no lock file. A
// catchable one keeps every file published, which a reader may have shown already, and the
// journal, with or without -t; the mailbox is emptied only where the signal came after the journal
// was withdrawn. After SIGKILL the files written stay, each whole. Either way the next run
// delivers each message exactly once, also after a reader flagged files (renaming them, into
// cur/ for a run into cur/) or moved every file from new/ to cur/ in between. A SIGKILL once the
// journal is withdrawn, before the mailbox is emptied, costs duplicates, never a loss; once it is
// emptied, mail that arrives then is all written, even one byte for byte an earlier message. A
// SIGBUS sent with kill changes nothing.
TEST_F(Concurrency, ASignalStopsTheToolAndLeavesNothingHalfDone)
{
    // Large enough for a kill inside the run, no larger: what it catches does not grow with it.
    const int count = 2000;
    std::string mailbox;
    for (int id = 0; id < count; id++)
        mailbox += numbered_message(id);
    const std::string lock = dir + "/mbox.lock", maildir = dir + "/out";
    struct {
        int signal_number;
        bool truncate;
        const char *folder = ""; // of the maildir "out" written into
        bool lock_held_by_another = false;
        bool after_emptying = false; // held in its ftruncate by strace
        bool into_users_directory = false; // root writing as the directory's owner
        bool reader_flags = false; // renames every third file it sees NAME:2,S
        bool reader_moves = false; // moves every file of new/ to cur/ before the rerun
        bool before_emptying = false; // held before its ftruncate, the journal withdrawn
    } cases[] = {{SIGTERM, true}, {SIGTERM, false}, {SIGHUP, true}, {SIGINT, false}, {SIGINT, true, "", true},
                 {SIGTERM, true, "", false, true}, {SIGKILL, true, "", false, true}, {SIGKILL, true}, {SIGKILL, false},
                 {SIGTERM, true, "", false, false, true}, {SIGTERM, true, "/cur", false, false, false, true},
                 {SIGKILL, true, "/new", false, false, false, false, true}, {SIGBUS, true},
                 {SIGKILL, true, "", false, false, false, false, false, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal_number)) + (c.truncate ? ", -t" : "") + " into out" + c.folder +
                     (c.after_emptying ? ", after emptying" : "") + (c.before_emptying ? ", before emptying" : "") +
                     (c.into_users_directory ? ", as the user" : "") +
                     (c.reader_flags ? ", a reader flags files" : "") + (c.reader_moves ? ", a reader moves files" : ""));
        const bool traced = c.after_emptying || c.before_emptying;
        if ((traced && !command_available("strace")) || (c.into_users_directory && geteuid() != 0))
            continue;
        const std::string out = maildir + c.folder;
        for (const char *folder : {"/new", "/cur"})
            if (c.folder[0] != '\0')
                mkdir((maildir + folder).c_str(), 0700);
        if (c.into_users_directory) {
            ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
        }
        write_file(dir + "/mbox", mailbox);
        if (c.lock_held_by_another)
            write_file(lock, "0\n");
        strings args = {"mbox", "out"s + c.folder};
        if (c.truncate)
            args.push_back("-t");
        tool_options options;
        if (traced)
            options.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=ftruncate", "-e",
                               c.after_emptying ? "inject=ftruncate:delay_exit=2000000" : "inject=ftruncate:delay_enter=2000000"};
        const std::string flagged = dir + "/flagged";
        pid_t reader = -1;
        if (c.reader_flags && (reader = fork()) == 0) { // as maildir readers, it passes over hidden names
            for (std::set<std::string> seen;;)
                for (const std::string &name : file_names(out))
                    if (name[0] != '.' && name.find(':') == std::string::npos && seen.insert(name).second && seen.size() % 3 == 0 &&
                        rename((out + "/" + name).c_str(), (out + "/" + name + ":2,S").c_str()) == 0) {
                        std::ofstream(flagged, std::ios::app) << name << ":2,S\n";
                    }
        }
        pid_t tool = start_tool(args, dir, options), target = tool;
        struct stat mailbox_status;
        std::size_t written = 0; // files seen before the signal
        if (c.lock_held_by_another) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        } else if (traced) {
            auto withdrawn = [&] { strings names = file_names(out); return std::any_of(names.begin(), names.end(),
                                       [](const std::string &name) { return name.ends_with(".gone"); }); };
            while (still_running(tool) &&
                   (c.after_emptying ? stat((dir + "/mbox").c_str(), &mailbox_status) == 0 && mailbox_status.st_size > 0
                                     : !withdrawn()))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::string task = "/proc/" + std::to_string(tool) + "/task/" + std::to_string(tool);
            std::istringstream(read_file(task + "/children")) >> target;
        } else {
            // In the middle: some files written, and the tool holding every lock.
            written = 200 + std::size_t(getpid() % 200);
            auto published = [&] { strings names = file_names(out); // not the journal or a hidden file
                                   return std::size_t(std::count_if(names.begin(), names.end(),
                                                                    [](const std::string &name) { return name[0] != '.'; })); };
            while (still_running(tool) && published() < written)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            int fd = open((dir + "/mbox").c_str(), O_RDONLY | O_CLOEXEC);
            struct flock probe = {.l_type = F_RDLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 0, .l_pid = 0};
            EXPECT_EQ(fcntl(fd, F_GETLK, &probe), 0);
            EXPECT_EQ(probe.l_pid, tool);
            close(fd);
            EXPECT_EQ(access(lock.c_str(), F_OK), 0) << "the tool converts without its dot-file lock";
        }
        kill(target, c.signal_number);
        tool_result result = finish_tool(tool);
        if (reader > 0) {
            kill(reader, SIGKILL);
            waitpid(reader, nullptr, 0);
        }
        const bool stopped = c.signal_number != SIGBUS;
        EXPECT_EQ(result.status, stopped ? 128 + c.signal_number : 0) << result.err;
        // strace may say that its tracee died while it delayed a call; only the tool's lines count.
        std::string err;
        std::istringstream err_lines(result.err);
        for (std::string line; std::getline(err_lines, line);)
            if (!line.starts_with("strace: "))
                err += line + "\n";
        EXPECT_EQ(err, c.signal_number == SIGKILL || !stopped
                                  ? ""
                                  : "Conversion interrupted, files kept: "s + strsignal(c.signal_number) + "\n");
        EXPECT_EQ(read_file(dir + "/mbox"), c.after_emptying || !stopped ? "" : mailbox);
        for (const std::string &name : file_names(out)) { // which readers pass over
            EXPECT_TRUE(name[0] != '.' || c.signal_number == SIGKILL || name.starts_with(".quelvaron-journal-"))
                << name << ": a hidden file outlived a catchable signal";
        }
        std::map<int, int> seen = delivered_ids(out);
        if (traced || !stopped)
            expect_each_once(seen, count);
        else // exactly what it published: the first messages, each once, at least those seen
            EXPECT_TRUE(seen.size() >= written && seen.size() < std::size_t(count) &&
                        (seen.empty() || (seen.begin()->first == 0 && seen.rbegin()->first == int(seen.size()) - 1)))
                << seen.size() << " messages, " << written << " files seen before the signal";
        for (const auto &[id, times] : seen)
            EXPECT_EQ(times, 1) << "message " << id;
        for (const std::string &name : file_names(out)) {
            struct stat status;
            EXPECT_TRUE(name[0] == '.' || (stat((out + "/" + name).c_str(), &status) == 0 && (status.st_mode & 07777) == 0666)) << name;
        }
        if (c.reader_moves)
            for (const std::string &name : file_names(maildir + "/new"))
                if (name[0] != '.')
                    rename((maildir + "/new/" + name).c_str(), (maildir + "/cur/" + name).c_str());
        if (c.lock_held_by_another)
            unlink(lock.c_str());
        if (c.after_emptying) {
            // A reader removes the first file; new mail arrives whose messages after the first are
            // byte for byte the old ones. No journal may take the new first message as delivered.
            strings names = file_names(out);
            unlink((out + "/" + *std::find_if(names.begin(), names.end(), [](const std::string &name) {
                       return name.starts_with("quelvaron"); })).c_str());
            write_file(dir + "/mbox", numbered_message(count) + mailbox.substr(numbered_message(0).size()));
            EXPECT_EQ(run_tool({"mbox", "out", "-t", "-s"}, dir).status, 0);
            std::map<int, int> all = delivered_ids(out);
            EXPECT_EQ(all[count], 1) << "the new message was lost";
            EXPECT_EQ(all.size(), (std::size_t)count); // the old first message's file was removed
        }
        if (!c.after_emptying && stopped) {
            // After SIGKILL its dot-file is left, naming a process that is gone: broken at once.
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(run_tool({"mbox", "out"s + c.folder, "-t", "-s"}, dir).status, 0);
            // Only a hang guard: breaking the lock takes no time, and a dead run's lock would hold
            // the rerun for 5 minutes.
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120 * time_scale()))
                << "it waited for the dead run's lock";
            EXPECT_EQ(read_file(dir + "/mbox"), "");
            std::map<int, int> all = delivered_ids(c.folder[0] != '\0' ? maildir + "/new" : maildir);
            for (const auto &[id, times] : c.folder[0] != '\0' ? delivered_ids(maildir + "/cur") : std::map<int, int>{})
                all[id] += times;
            if (c.before_emptying) { // the journal was gone: duplicates at worst, none lost
                EXPECT_EQ(all.size(), (std::size_t)count);
                for (const auto &[id, times] : all)
                    EXPECT_TRUE(times == 1 || times == 2) << "message " << id << ": " << times;
            } else {
                expect_each_once(all, count);
            }
            // What the reader flagged is still there: a client never sees it expunged.
            std::istringstream names(c.reader_flags ? read_file(flagged) : "");
            for (std::string name; std::getline(names, name);)
                EXPECT_EQ(access((out + "/" + name).c_str(), F_OK), 0) << name;
            for (const std::string &name : file_names(out)) // the killed run's hidden file, and the journal, go
                EXPECT_TRUE(name[0] != '.') << name;
        }
        unlink(flagged.c_str());
        EXPECT_EQ(file_names(dir), (strings{"mbox", "out"})) << "a lock file was left behind";
        remove_scratch_directory(maildir);
        mkdir(maildir.c_str(), 0700);
    }
}

// A run that stopped part-way (a message past the file-size limit) leaves a journal, and the next
// run writes only what it did not deliver, whatever a reader or a delivery agent did in between.
TEST_F(Concurrency, ARunAfterAFailedOneDeliversEachMessageOnce)
{
    const std::string out = dir + "/out";
    auto big = [](int id) { return "From writer@example.org\nX-Id: " + std::to_string(id) + "\n\n" + std::string(100000, 'x') + "\n\n"; };
    std::string mailbox;
    for (int id = 0; id < 10; id++)
        mailbox += id == 5 ? big(5) : numbered_message(id);
    auto files_of = [&](std::map<int, std::string> &names) { // each message's file, by the id it holds
        std::map<int, int> seen;
        for (const std::string &name : file_names(out)) {
            if (name[0] == '.') // the journal, or another run's hidden file
                continue;
            std::string content = read_file(out + "/" + name);
            int id = std::stoi(content.substr(content.find("X-Id: ") + 6));
            names[id] = out + "/" + name;
            seen[id]++;
        }
        return seen;
    };
    std::map<int, std::string> names;
    // Another run's file in progress under the name this mailbox's next message takes, with its
    // own tag: the rerun removes only hidden files that its own journal names.
    std::string planted;
    auto plant_at_next_name = [&] {
        std::string last = names[4].substr(names[4].rfind('/') + 1 + 9);
        std::uint64_t number = std::stoull(last, nullptr, 36) + 1;
        std::string digits(6, '0');
        for (int i = 5; i >= 0; i--, number /= 36)
            digits[std::size_t(i)] = "0123456789abcdefghijklmnopqrstuvwxyz"[number % 36];
        planted = out + "/.quelvaron" + digits + "others";
        write_file(planted, "another run's message");
    };
    auto journal = [&] { struct stat status; stat((dir + "/mbox").c_str(), &status);
                         return out + "/.quelvaron-journal-" + std::to_string(status.st_dev) + "-" + std::to_string(status.st_ino); };
    struct {
        const char *name;
        std::function<void()> between;
        bool resumed;
        std::map<int, int> added; // to the messages 0 to 4 that the failed run wrote, and 5 to 9 when resumed
    } rows[] = {
        {"nothing between", [] {}, true, {}},
        {"mail appended", [&] { deliver(dir + "/mbox", 10, 12, 0); }, true, {{10, 1}, {11, 1}}},
        {"a reader marked one read and removed another",
         [&] { rename(names[1].c_str(), (names[1] + ":2,S").c_str()); unlink(names[3].c_str()); }, true, {{3, -1}}},
        {"the mailbox emptied and filled again", [&] { write_file(dir + "/mbox", numbered_message(20) + big(21) + big(22)); },
         false, {{20, 1}, {21, 1}, {22, 1}}},
        // The mailbox's first bytes are no longer those of the journal: nothing is taken as
        // delivered, so the missing file costs nothing but duplicates.
        {"Status rewritten in place in message 1, its file removed, mail appended",
         [&] { std::string text = read_file(dir + "/mbox"); text.replace(text.find("body of 1"), 4, "BODY");
               write_file(dir + "/mbox", text); unlink(names[1].c_str()); deliver(dir + "/mbox", 10, 11, 0); },
         false, {{0, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}, {10, 1}}},
        {"another run's hidden file at the next name", plant_at_next_name, true, {}},
        {"a FIFO under the journal's name", [&] { unlink(journal().c_str()); mkfifo(journal().c_str(), 0600); }, false,
         {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        remove_scratch_directory(out);
        mkdir(out.c_str(), 0700);
        write_file(dir + "/mbox", mailbox);
        ASSERT_EQ(run_tool({"mbox", "out", "-t"}, dir, {.file_size_limit = 50000}).status, 1);
        files_of(names);
        EXPECT_NE(journal_of(out), "none");
        row.between();
        tool_result result = run_tool({"mbox", "out", "-t"}, dir);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out.find("Resuming interrupted conversion, 5 messages already written\n") != std::string::npos,
                  row.resumed) << result.out;
        std::map<int, int> expected = {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}};
        for (int id = 5; id < 10 && row.resumed; id++)
            expected[id] = 1;
        for (const auto &[id, times] : row.added)
            if ((expected[id] += times) == 0)
                expected.erase(id);
        EXPECT_EQ(files_of(names), expected);
        EXPECT_EQ(read_file(dir + "/mbox"), "");
        EXPECT_NE(access(journal().c_str(), F_OK), 0) << "the journal outlived the emptied mailbox";
        EXPECT_TRUE(planted.empty() || read_file(planted) == "another run's message") << "another run's file was removed";
        planted.clear();
    }
}

// A reader of the directory running as another user, as an IMAP server does, while root converts:
// every file it finds is one whole message that it may read. Like every maildir reader, it passes
// over names that begin with a dot, which the portable branch writes under.
TEST_F(Concurrency, AReaderMeetsOnlyWholeMessagesItMayRead)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to convert as root while another user reads";
    const std::string message = "From r\n\n" + std::string(200000, 'x');
    std::string mailbox = message;
    for (int i = 1; i < 300; i++)
        mailbox += "\n" + message;
    write_file(dir + "/mbox", mailbox);
    chmod(dir.c_str(), 0755);
    chmod((dir + "/out").c_str(), 0755);
    pid_t reader = fork();
    if (reader == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        for (std::set<std::string> seen;;)
            for (const std::string &name : file_names(dir + "/out"))
                if (name[0] != '.' && seen.insert(name).second && read_file(dir + "/out/" + name) != message)
                    _exit(access((dir + "/out/" + name).c_str(), R_OK) == 0 ? 2 : 1);
    }
    EXPECT_EQ(run_tool({"mbox", "out", "-s"}, dir).status, 0);
    int status = 0;
    EXPECT_EQ(waitpid(reader, &status, WNOHANG), 0) << "the reader met a part of a message (exit 2) or "
                                                       "a file it may not read (1): " << WEXITSTATUS(status);
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    EXPECT_EQ(file_names(dir + "/out").size(), 300u);
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

// Two runs at once into one maildir, each of its own mailbox: one into new/ and one into cur/, or
// both into one folder; one is SIGKILLed part-way and run again. Names are given one run at a
// time across both folders, so no name of one run is ever the other's, and every message of both
// ends exactly once.
TEST_F(Concurrency, TwoRunsIntoOneMaildirOneKilledDeliverEachMessageOnce)
{
    const int count = 3000;
    const std::string maildir = dir + "/out";
    for (const auto &[first, second] : {std::pair{"out/new", "out/cur"}, {"out/new", "out/new"}}) {
        SCOPED_TRACE(std::string(first) + " and " + second);
        for (const char *folder : {"/new", "/cur"})
            mkdir((maildir + folder).c_str(), 0700);
        deliver(dir + "/one", 0, count, 0);
        deliver(dir + "/two", count, 2 * count, 0);
        pid_t killed = start_tool({"one", first, "-t", "-s"}, dir), other = start_tool({"two", second, "-t", "-s"}, dir);
        auto files = [&] { return file_names(maildir + "/new").size() + file_names(maildir + "/cur").size(); };
        for (std::size_t written = 300 + std::size_t(getpid() % 300); still_running(killed) && files() < written;)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        kill(killed, SIGKILL);
        EXPECT_EQ(finish_tool(killed).status, 128 + SIGKILL);
        EXPECT_EQ(finish_tool(other).status, 0);
        tool_result rerun = run_tool({"one", first, "-t", "-s"}, dir);
        EXPECT_EQ(rerun.status, 0) << rerun.err;
        std::map<int, int> all = delivered_ids(maildir + "/new");
        for (const auto &[id, times] : delivered_ids(maildir + "/cur"))
            all[id] += times;
        expect_each_once(all, 2 * count);
        EXPECT_EQ(read_file(dir + "/one") + read_file(dir + "/two"), "");
        remove_scratch_directory(maildir);
        mkdir(maildir.c_str(), 0700);
    }
}

// A dot-file dated far in the future goes stale 5 minutes after it was made, as any other, on a
// clock the test moves (the shim makes the lock look that much older); and, over 30 s of real
// time, a parent that blocks SIGALRM does not stop the refresh of the tool's own.
class SlowLock : public Concurrency {};

TEST_F(SlowLock, NoDateMakesADotFileFreshForEverAndNoParentStopsTheRefresh)
{
    write_file(dir + "/mbox", "From a\nA\n");
    write_file(dir + "/mbox.lock", "garbage\n");
    struct timespec year_2100[2] = {{4102444800, 0}, {4102444800, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/mbox.lock").c_str(), year_2100, 0), 0);
    const std::string age = dir + "/age";
    write_file(age, "0");
    const tool_options aged = {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_LOCK_AGE=" + age}};
    if (!tool_can_run(aged))
        GTEST_SKIP() << "needs a binary that loads libraries";
    pid_t future = start_tool({"mbox", "out", "-t", "-s"}, dir, aged);
    for (const char *seconds : {"0", "290"}) {
        write_file(age, seconds);
        std::this_thread::sleep_for(std::chrono::seconds(3));
        EXPECT_EQ(waitpid(future, nullptr, WNOHANG), 0) << "a dot-file " << seconds << " s old was broken";
    }
    write_file(age, "310");
    const auto start = std::chrono::steady_clock::now();
    tool_result result = finish_tool(future);
    EXPECT_EQ(result.status, 0) << result.err;
    // A hang guard: it breaks the lock at its next look, a second or so.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30 * time_scale()))
        << "a future date kept it fresh";
    EXPECT_EQ(read_file(dir + "/mbox"), "");

    // This run holds its dot-file, its first message file waiting, until the test lets it go.
    const std::string slow = dir + "/slow";
    mkdir(slow.c_str(), 0700);
    mkdir((slow + "/out").c_str(), 0700);
    std::string mailbox;
    for (int id = 0; id < 40; id++)
        mailbox += numbered_message(id);
    write_file(slow + "/mbox", mailbox);
    if (geteuid() == 0) { // the refresh must go on while root writes as the directory's owner
        ASSERT_EQ(chown((slow + "/out").c_str(), 65534, 65534), 0);
    }
    sigset_t alarm, old;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &old);
    const time_t started = time(nullptr);
    write_file(slow + "/hold", "");
    pid_t refreshing = start_tool({"mbox", "out", "-t", "-s"}, slow,
                                  {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT=hold",
                                                   "QUELVARON_HOLD=" + slow + "/hold"}});
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // Watched until it is refreshed (30 s after it was taken), or the run ends, or a hang guard.
    time_t refreshed = 0;
    for (struct stat lock; refreshed == 0 && still_running(refreshing) && time(nullptr) < started + 120 * time_scale();) {
        if (stat((slow + "/mbox.lock").c_str(), &lock) == 0 && lock.st_mtime >= started + 29)
            refreshed = lock.st_mtime;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_NE(refreshed, 0) << "the dot-file was not refreshed after 30 s";
    unlink((slow + "/hold").c_str());
    EXPECT_EQ(finish_tool(refreshing).status, 0);
    expect_each_once(delivered_ids(slow + "/out"), 40);
}
