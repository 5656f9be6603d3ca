// SPDX-License-Identifier: BSD-2-Clause
#include "resume.h"

#include "mailbox_cut.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Whether the file `name` in `dir_fd` holds exactly `message`, or `longer` (the message and the
// newline after it, as a run that met the end of the mailbox there wrote it): 1, 0 where no file
// has that name, -1 where one holds other bytes or is no regular file. Looked at without following
// a link, and opened without blocking; synced too with `sync_data`, as skipping it leaves its
// durability to this run.
static int holds_message(int dir_fd, const char *name, std::string_view message, std::string_view longer,
                         bool sync_data)
{
    struct stat status;
    if (fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISREG(status.st_mode) || (std::size_t(status.st_size) != message.size() &&
                                     std::size_t(status.st_size) != longer.size()))
        return -1;
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : -1;
    bool same = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    std::string_view expected = same && std::size_t(status.st_size) == longer.size() ? longer : message;
    same = same && std::size_t(status.st_size) == expected.size();
    char chunk[65536];
    for (std::size_t at = 0; same && at < expected.size();) {
        ssize_t got = pread(fd, chunk, std::min(sizeof chunk, expected.size() - at), off_t(at));
        same = got > 0 && memcmp(chunk, expected.data() + at, std::size_t(got)) == 0;
        at += got > 0 ? std::size_t(got) : 0;
    }
    same = same && (!sync_data || fsync(fd) == 0);
    close(fd);
    return same ? 1 : -1;
}

// Where the earlier run put message `index`, which is `message` (or `longer`) now: 1 when one of
// its candidates (its name as written in either folder, or with a reader's suffix) holds it; else
// -1 when one holds other bytes, 0 when there is none. One that holds other bytes does not end
// the search among the others.
static int find_message_file(const output_folders &folders, const directory_names &names, std::uint64_t number,
                             std::string_view message, std::string_view longer, bool sync_data)
{
    char name[message_name_size];
    format_message_name(number, name);
    int found = 0;
    for (int fd : {folders.dir_fd, folders.sibling_fd}) {
        int held = fd >= 0 ? holds_message(fd, name, message, longer, sync_data) : 0;
        if (held > 0)
            return 1;
        found = std::min(found, held);
    }
    auto suffixed = std::lower_bound(names.suffixed.begin(), names.suffixed.end(), number,
                                     [](const found_name &f, std::uint64_t n) { return f.number < n; });
    for (; suffixed != names.suffixed.end() && suffixed->number == number; ++suffixed) {
        int fd = suffixed->folder == 0 ? folders.dir_fd : folders.sibling_fd;
        int held = holds_message(fd, suffixed->name.c_str(), message, longer, sync_data);
        if (held > 0)
            return 1;
        found = std::min(found, held);
    }
    return found;
}

std::size_t find_delivered_messages(std::string_view text, const std::vector<std::size_t> &starts,
                                    const output_folders &folders, const struct stat &mailbox,
                                    const struct timespec &born, bool sync_data, journal &header,
                                    std::uint64_t &first_name)
{
    journal found;
    bool resuming = read_journal(folders.dir_fd, mailbox, found) && found.born.tv_sec == born.tv_sec &&
                    found.born.tv_nsec == born.tv_nsec;
    // The mailbox's first bytes must be those the journal's run converted: a mailbox rewritten in
    // place, or emptied and filled again, resumes nothing.
    std::uint64_t digest = mailbox_digest(text);
    if (resuming && std::size_t(found.size) != text.size())
        resuming = mailbox_digest(text.substr(0, std::size_t(found.size))) == found.digest;
    else
        resuming = resuming && digest == found.digest;
    header = {};
    header.device = mailbox.st_dev;
    header.inode = mailbox.st_ino;
    header.size = mailbox.st_size;
    header.digest = digest;
    header.born = born;
    // Its messages: those that start in the mailbox's first found.size bytes.
    std::size_t interrupted =
        resuming ? std::size_t(std::lower_bound(starts.begin(), starts.end(), std::size_t(found.size)) - starts.begin())
                 : 0;
    directory_names names;
    names.wanted_from = name_count;
    for (std::size_t i = 0; resuming && i < found.segments.size(); i++) {
        const journal_segment &segment = found.segments[i];
        std::size_t last = i + 1 < found.segments.size() ? found.segments[i + 1].first_message : interrupted;
        names.wanted_from = std::min(names.wanted_from, segment.first_name);
        names.wanted_to = std::max(names.wanted_to, segment.first_name + (last - std::min(last, segment.first_message)));
        names.wanted_tags.emplace_back(segment.tag);
    }
    bool listed = read_directory_names(folders, names);
    // The hidden files its runs were writing when they were stopped: no other run makes a name
    // with their tags.
    for (const std::string &hidden : names.tagged_hidden)
        unlinkat(folders.dir_fd, hidden.c_str(), 0);
    std::size_t delivered = 0;
    for (std::size_t index = 0; index < interrupted; index++) {
        std::int64_t number = journal_name(found, index);
        std::string_view message = message_of(text, starts, index);
        std::string_view longer = text.substr(starts[index], message.size() + 1);
        int held = number < 0 ? -1 : find_message_file(folders, names, std::uint64_t(number), message, longer, sync_data);
        if (held < 0)
            break;
        if (held > 0)
            delivered = index + 1;
    }
    for (const journal_segment &segment : found.segments)
        if (delivered > 0 && segment.first_message < delivered)
            header.segments.push_back(segment);
    std::uint64_t rest = starts.size() - delivered;
    if (!listed)
        first_name = random_names_start(rest);
    else if (std::uint64_t(names.greatest + 1) + rest <= name_count)
        first_name = std::uint64_t(names.greatest + 1);
    else
        first_name = free_names_start(folders, rest, 0);
    return delivered;
}
