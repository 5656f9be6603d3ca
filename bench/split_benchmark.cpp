// SPDX-License-Identifier: BSD-2-Clause
// How fast the split finds the separators (find_or_end, keyed on the rarer "F"), against memchr per
// line, 16 bytes at a time with vectors, memmem, and the byte-by-byte comparison.
//   split_benchmark MAILBOX   (a file made by make_mailbox)
#include "mailbox_cut.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

static std::string mailbox;

// Compares the six separator bytes at each position in turn.
static std::size_t find_byte_by_byte(std::string_view text, std::string_view pattern)
{
    for (std::size_t i = 0; i + pattern.size() <= text.size(); i++)
        if (memcmp(text.data() + i, pattern.data(), pattern.size()) == 0)
            return i;
    return text.size();
}

static std::size_t find_with_memmem(std::string_view text, std::string_view pattern)
{
    const void *found = memmem(text.data(), text.size(), pattern.data(), pattern.size());
    return found ? std::size_t(static_cast<const char *>(found) - text.data()) : text.size();
}

// Looks for each newline with memchr, then at the five bytes after it: today's find.
static std::size_t find_per_line(std::string_view text, std::string_view pattern)
{
    std::size_t position = text.find(pattern);
    return position == std::string_view::npos ? text.size() : position;
}

// Sixteen bytes at a time with the compiler's portable vectors (SSE2 on x86-64, NEON on arm64):
// the pattern's first two bytes side by side, then the whole pattern where they stand.
typedef unsigned char sixteen_bytes __attribute__((vector_size(16)));

static std::size_t find_sixteen_at_a_time(std::string_view text, std::string_view pattern)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const unsigned char first = pattern[0], second = pattern[1];
    std::size_t at = 0;
    for (; at + 17 <= text.size(); at += 16) {
        sixteen_bytes here, next;
        memcpy(&here, bytes + at, 16);
        memcpy(&next, bytes + at + 1, 16);
        sixteen_bytes pairs = (here == first) & (next == second);
        std::uint64_t halves[2];
        memcpy(halves, &pairs, 16);
        if ((halves[0] | halves[1]) == 0)
            continue;
        for (std::size_t i = at; i < at + 16; i++)
            if (text.substr(i, pattern.size()) == pattern)
                return i;
    }
    std::size_t position = text.find(pattern, at);
    return position == std::string_view::npos ? text.size() : position;
}

template <std::size_t (*find)(std::string_view, std::string_view)>
static void split(benchmark::State &state)
{
    std::string_view text = mailbox;
    for (auto _ : state) {
        std::size_t messages = 0;
        for (std::size_t start = 0; start < text.size(); messages++)
            start += 2 + find(text.substr(start + 1), message_separator);
        benchmark::DoNotOptimize(messages);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

BENCHMARK(split<find_or_end>)->Name("split/find_or_end")->Unit(benchmark::kMillisecond);
BENCHMARK(split<find_per_line>)->Name("split/memchr_per_line")->Unit(benchmark::kMillisecond);
BENCHMARK(split<find_sixteen_at_a_time>)->Name("split/sixteen_at_a_time")->Unit(benchmark::kMillisecond);
BENCHMARK(split<find_with_memmem>)->Name("split/memmem")->Unit(benchmark::kMillisecond);
BENCHMARK(split<find_byte_by_byte>)->Name("split/byte_by_byte")->Unit(benchmark::kMillisecond);

int main(int argc, char *argv[])
{
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        fputs("usage: split_benchmark MAILBOX\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    mailbox = bytes.str();
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
