// SPDX-License-Identifier: BSD-2-Clause
// The cut: where each message of a mailbox's bytes begins and ends. Messages are views into the
// mailbox's bytes, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// The bytes that open every message after the first; the newline belongs to no message.
inline constexpr std::string_view message_separator = "\nFrom ";

// Returns the first position in `text` at which `pattern` stands whole, or text.size() when it
// stands nowhere. Zero bytes are ordinary bytes.
std::size_t find_or_end(std::string_view text, std::string_view pattern);

// Returns the message that begins at `start` (0, or just after a separator's newline; start must
// be less than text.size()): its bytes up to the next message_separator found after `start`, or
// up to the end of `text`. Never empty.
std::string_view message_at(std::string_view text, std::size_t start);

// Cuts `text` once: the position at which each message starts, in `starts`. Stops and returns
// false past `most` messages (more files than the file system has room for), so that a mailbox
// of tiny messages cannot make the list grow without end.
bool cut_messages(std::string_view text, std::uint64_t most, std::vector<std::size_t> &starts);

// Message `index` of `text` as cut into `starts`: up to the newline before the next one.
std::string_view message_of(std::string_view text, const std::vector<std::size_t> &starts, std::size_t index);
