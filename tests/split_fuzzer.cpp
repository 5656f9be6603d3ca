// SPDX-License-Identifier: BSD-2-Clause
// libFuzzer target for the cut the conversion makes: whatever the mailbox, its messages are never empty, every one
// after the first opens with "From ", and joined with newlines they give back the mailbox.
#include "mailbox_cut.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view mailbox(reinterpret_cast<const char *>(data), size);
    std::vector<std::size_t> starts;
    if (!cut_messages(mailbox, UINT64_MAX, starts))
        abort();
    std::string joined;
    for (std::size_t i = 0; i < starts.size(); i++) {
        std::string_view message = message_of(mailbox, starts, i);
        if (message.empty() || (i > 0 && !message.starts_with("From ")))
            abort();
        if (i > 0)
            joined += '\n';
        joined += message;
    }
    if (joined != mailbox)
        abort();
    return 0;
}
