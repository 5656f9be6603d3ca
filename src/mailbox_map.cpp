// SPDX-License-Identifier: BSD-2-Clause
#include "mailbox_map.h"

#include "platform.h"
#include "signal_cleanup.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The mapping a SIGBUS may fall in, and what it found.
static int mapped_fd = -1;
static const char *volatile mapped_data = nullptr;
static volatile std::size_t mapped_size = 0;
static std::size_t page_size = 4096;
static volatile sig_atomic_t lost_page = 0;
static bool reported_short = false;
static std::size_t released = 0;

// How much of the mailbox is handed back to the kernel at a time.
static constexpr std::size_t release_step = 16 << 20;

// A page of the mapping past the file's end since a program cut it: zeros in its place, so that
// the cut or the date read on; no file made from them is published.
static void zero_lost_page(int signal_number, siginfo_t *info, void *)
{
    // One sent with kill (or sigqueue, tgkill) marks no page: carry on as if it never came.
    if (info->si_code <= 0)
        return;
    int saved_errno = errno;
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped_data);
    if (address >= start && address < start + mapped_size) {
        void *page = reinterpret_cast<void *>(address & ~std::uintptr_t(page_size - 1));
        if (mmap(page, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            lost_page = 1;
            errno = saved_errno;
            return;
        }
    }
    // Not ours: the default action, once the faulting access runs again.
    signal(signal_number, SIG_DFL);
    errno = saved_errno;
}

// Reads the `size` bytes of the mailbox open on `fd` into memory allocated for them.
static int read_mailbox(int fd, std::size_t size, mailbox_bytes &bytes)
{
    char *block = static_cast<char *>(malloc(size));
    if (block == nullptr) {
        perror("Cannot allocate buffer");
        return 1;
    }
    for (std::size_t loaded = 0; loaded < size;) {
        ssize_t got = read(fd, block + loaded, size - loaded);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got < 0)
                perror("Unable to read input file");
            else // a program that ignores the lock cut the file meanwhile: convert none of it
                fputs("Unable to read input file: File is shorter than its size\n", stderr);
            free(block);
            return 1;
        }
        loaded += std::size_t(got);
    }
    bytes = {block, size, false};
    return 0;
}

int load_mailbox(int fd, off_t size, mailbox_bytes &bytes)
{
    if (static_cast<std::uintmax_t>(size) >= SIZE_MAX) {
        errno = ENOMEM;
        perror("Cannot allocate buffer");
        return 1;
    }
    std::size_t length = std::size_t(size);
    void *mapping = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED)
        return read_mailbox(fd, length, bytes);
    long page = sysconf(_SC_PAGESIZE);
    page_size = page > 0 ? std::size_t(page) : 4096;
    mapped_fd = fd;
    mapped_data = static_cast<const char *>(mapping);
    mapped_size = length;
    released = 0;
    struct sigaction action = {};
    action.sa_sigaction = zero_lost_page;
    action.sa_flags = SA_SIGINFO;
    // A stop meanwhile would end the process with the page half replaced.
    sigemptyset(&action.sa_mask);
    add_stopping_signals(action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
    madvise(mapping, length, MADV_SEQUENTIAL);
    bytes = {static_cast<const char *>(mapping), length, true};
    return 0;
}

bool mailbox_holds(std::string_view message)
{
    if (mapped_data == nullptr || message.empty())
        return true;
    // A file cut short reads as zeros up to the end of the page where it now ends, and raises
    // SIGBUS past it: the newline that follows every message but the last is still there only if
    // the message is. An fstat for each message would cost 8 % of the run.
    std::size_t end = std::size_t(message.data() - mapped_data) + message.size();
    bool whole = false;
    struct stat status;
    if (end < mapped_size)
        whole = static_cast<const volatile char *>(mapped_data)[end] == '\n' && lost_page == 0;
    else
        whole = lost_page == 0 && fstat(mapped_fd, &status) == 0 && std::size_t(status.st_size) >= end;
    if (whole)
        return true;
    if (!reported_short)
        fputs("Unable to read input file: File is shorter than its size\n", stderr);
    reported_short = true;
    return false;
}

bool mailbox_cut_short()
{
    return lost_page != 0 || reported_short;
}

void release_mailbox_pages(std::size_t done)
{
    if (mapped_data == nullptr || done < released + release_step)
        return;
    std::size_t to = done & ~(page_size - 1);
    drop_read_pages(mapped_fd, mapped_data, off_t(released), to - released);
    released = to;
}

void release_mailbox(mailbox_bytes &bytes)
{
    if (bytes.mapped) {
        signal(SIGBUS, SIG_DFL);
        munmap(const_cast<char *>(bytes.data), bytes.size);
        mapped_data = nullptr;
        mapped_size = 0;
    } else {
        free(const_cast<char *>(bytes.data));
    }
    bytes = {};
}
