// How fast the split finds the separators, against the byte-by-byte comparison it replaces.
//   split_benchmark MAILBOX   (a file made by make_mailbox)
#include "mailbox_conversion.h"

#include <benchmark/benchmark.h>
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
