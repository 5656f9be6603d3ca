// SPDX-License-Identifier: BSD-2-Clause
#include "mailbox_cut.h"

#include <cstring>

std::size_t find_or_end(std::string_view text, std::string_view pattern)
{
    if (pattern.size() < 2) {
        std::size_t position = text.find(pattern);
        return position == std::string_view::npos ? text.size() : position;
    }
    // The separator's "F" is far rarer in mail than its newline, which ends every line: memchr
    // finds each, and the whole pattern is compared from the byte before it.
    const char *data = text.data(), *end = data + text.size();
    for (const char *at = data + 1; at < end; at++) {
        at = static_cast<const char *>(memchr(at, pattern[1], std::size_t(end - at)));
        if (at == nullptr)
            break;
        if (std::size_t(end - at) + 1 >= pattern.size() && memcmp(at - 1, pattern.data(), pattern.size()) == 0)
            return std::size_t(at - 1 - data);
    }
    return text.size();
}

std::string_view message_at(std::string_view text, std::size_t start)
{
    // The search starts one byte in, so a separator at the very start of the file is not seen
    // and its newline opens the first message.
    return text.substr(start, 1 + find_or_end(text.substr(start + 1), message_separator));
}

bool cut_messages(std::string_view text, std::uint64_t most, std::vector<std::size_t> &starts)
{
    for (std::size_t start = 0; start < text.size(); start += message_at(text, start).size() + 1) {
        if (starts.size() >= most)
            return false;
        starts.push_back(start);
    }
    return true;
}

std::string_view message_of(std::string_view text, const std::vector<std::size_t> &starts, std::size_t index)
{
    std::size_t end = index + 1 < starts.size() ? starts[index + 1] - 1 : text.size();
    return text.substr(starts[index], end - starts[index]);
}
