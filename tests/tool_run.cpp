// SPDX-License-Identifier: BSD-2-Clause
#include "tool_run.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

static std::string capture_path(pid_t pid, const char *stream)
{
    const char *tmp = getenv("TMPDIR");
    return std::string(tmp ? tmp : "/tmp") + "/quelvaron-test-" + std::to_string(pid) + "." + stream;
}

std::string tool_binary()
{
    const char *binary = getenv("QUELVARON_BINARY");
    return binary != nullptr && *binary != '\0' ? binary : QUELVARON_BINARY;
}

// Whether the binary names a program interpreter (ld.so), the one that preloads libraries.
static bool binary_has_interpreter()
{
    const std::string elf = read_file(tool_binary());
    Elf64_Ehdr header;
    if (elf.size() < sizeof header || elf.compare(0, SELFMAG, ELFMAG) != 0)
        return false;
    memcpy(&header, elf.data(), sizeof header);
    for (std::size_t i = 0; i < header.e_phnum; i++) {
        Elf64_Phdr program;
        std::size_t at = header.e_phoff + i * header.e_phentsize;
        if (at + sizeof program > elf.size())
            return false;
        memcpy(&program, elf.data() + at, sizeof program);
        if (program.p_type == PT_INTERP)
            return true;
    }
    return false;
}

bool tool_can_run(const tool_options &options)
{
    bool preloads = std::any_of(options.environment.begin(), options.environment.end(),
                                [](const std::string &setting) { return setting.starts_with("LD_PRELOAD="); }) ||
                    (!options.wrapper.empty() && options.wrapper[0] == "fiu-run");
    if (preloads && !binary_has_interpreter())
        return false;
    return options.wrapper.empty() || command_available(options.wrapper[0]);
}

pid_t start_tool(const std::vector<std::string> &args, const std::string &directory,
                 const tool_options &options)
{
    std::vector<std::string> command = options.wrapper;
    command.push_back(tool_binary());
    command.insert(command.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid != 0)
        return pid;

    std::string out = capture_path(getpid(), "out"), err = capture_path(getpid(), "err");
    int pipe_fds[2], out_fd = -1, err_fd = -1;
    if (options.streams == standard_streams::captured) {
        out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    } else if (options.streams == standard_streams::gone_reader && pipe(pipe_fds) == 0) {
        close(pipe_fds[0]);
        out_fd = err_fd = pipe_fds[1];
    }
    signal(SIGPIPE, SIG_DFL);
    if (options.streams == standard_streams::closed)
        close(0), close(1), close(2);
    else if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
        _exit(125);
    if (chdir(directory.c_str()) != 0)
        _exit(125);
    umask(options.umask);
    if (options.file_size_limit >= 0) {
        rlimit limit = {rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.address_space_limit >= 0) {
        rlimit limit = {rlim_t(options.address_space_limit), rlim_t(options.address_space_limit)};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (options.data_limit >= 0) {
        rlimit limit = {rlim_t(options.data_limit), rlim_t(options.data_limit)};
        setrlimit(RLIMIT_DATA, &limit);
    }
    for (const std::string &setting : options.environment)
        putenv(strdup(setting.c_str()));
    std::vector<char *> argv;
    for (const std::string &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(126);
}

// The tests expect glibc's texts for errors; another C library words some of them its own way.
static std::string in_glibc_words(std::string err)
{
    static const char *const musl_and_glibc[][2] = {
        {"Filename too long", "File name too long"}, {"Out of memory", "Cannot allocate memory"},
        {"Symbolic link loop", "Too many levels of symbolic links"}, {"I/O error", "Input/output error"}};
    for (const auto &[theirs, glibc] : musl_and_glibc)
        for (std::size_t at; (at = err.find(std::string(": ") + theirs + "\n")) != std::string::npos;)
            err.replace(at + 2, strlen(theirs), glibc);
    return err;
}

bool row_can_run(const tool_options &options, const std::string &name, std::string &skipped)
{
    if (tool_can_run(options))
        return true;
    skipped += (skipped.empty() ? "" : "; ") + name;
    return false;
}

int time_scale()
{
    const char *scale = getenv("QUELVARON_TEST_TIME_SCALE");
    int value = scale != nullptr ? atoi(scale) : 1;
    return value > 0 ? value : 1;
}

bool still_running(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t end = status.rfind(") ");
    return end != std::string::npos && end + 2 < status.size() && status[end + 2] != 'Z';
}

tool_result finish_tool(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    tool_result result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(capture_path(pid, "out"));
    result.err = in_glibc_words(read_file(capture_path(pid, "err")));
    unlink(capture_path(pid, "out").c_str());
    unlink(capture_path(pid, "err").c_str());
    return result;
}

std::string as_seen(const tool_options &options, const std::string &lines)
{
    return options.streams == standard_streams::captured ? lines : "";
}

tool_result run_tool(const std::vector<std::string> &args, const std::string &directory,
                     const tool_options &options)
{
    return finish_tool(start_tool(args, directory, options));
}

std::string make_scratch_directory()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/quelvaron-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    return pattern;
}

void remove_scratch_directory(const std::string &path)
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> file_names(const std::string &directory)
{
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> sorted_contents(const std::string &directory)
{
    std::vector<std::string> contents;
    for (const std::string &name : file_names(directory))
        contents.push_back(read_file(directory + "/" + name));
    std::sort(contents.begin(), contents.end());
    return contents;
}

static bool is_journal(const std::string &name)
{
    return name.starts_with(".quelvaron-journal-");
}

std::vector<std::string> message_contents(const std::string &directory)
{
    std::vector<std::string> contents;
    for (const std::string &name : file_names(directory))
        if (!is_journal(name))
            contents.push_back(read_file(directory + "/" + name));
    std::sort(contents.begin(), contents.end());
    return contents;
}

std::string journal_of(const std::string &directory)
{
    for (const std::string &name : file_names(directory))
        if (is_journal(name))
            return read_file(directory + "/" + name);
    return "none";
}

std::vector<std::string> reference_split(const std::string &mailbox)
{
    std::vector<std::string> messages;
    if (mailbox.empty())
        return messages;
    std::string current(1, mailbox[0]);
    for (std::size_t i = 1; i < mailbox.size(); i++) {
        if (mailbox.compare(i, 6, "\nFrom ") == 0) {
            messages.push_back(current);
            current.clear();
            continue; // the newline belongs to no message
        }
        current += mailbox[i];
    }
    messages.push_back(current);
    return messages;
}

bool command_available(const std::string &name)
{
    bool found = system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
    if (!found && getenv("CI") != nullptr)
        ADD_FAILURE() << name << " is missing, and CI must run every test";
    return found;
}
