// Message files: each message of a mailbox goes into a new file of its own in the output directory.
#pragma once

#include <cstddef>
#include <string_view>

// Size of the buffer that holds a message file's path, terminating zero included.
inline constexpr std::size_t message_path_size = 65536;

// True where sync_message_files() makes every file of the output directory durable in one call;
// elsewhere each file must be synced as it is written (write_message_file's `sync_data`).
#ifdef __linux__
inline constexpr bool syncs_whole_file_system = true;
#else
inline constexpr bool syncs_whole_file_system = false;
#endif

// Creates a new, empty file "<dir>/quelvaronXXXXXX" (mkstemp makes the X unique), open for reading
// and writing, and leaves its path in `path`. Returns the descriptor, or -1 with errno set
// (ENAMETOOLONG when the path does not fit in 65534 characters). Reports nothing.
int create_message_file(const char *dir, char (&path)[message_path_size]);

// Writes `message` whole into a new file in `dir`, then gives the file mode 0666 whatever the umask;
// with `sync_data` the data also reaches stable storage before the file is closed. Returns 0 on
// success. On failure it reports through perror, removes the incomplete file, and returns 1 with
// errno as the failed call left it. A signal that ends the process meanwhile removes the file too.
int write_message_file(std::string_view message, const char *dir, bool sync_data);

// Puts the message files written into `dir` and their directory entries on stable storage: the
// whole file system where syncs_whole_file_system, and the directory itself. Returns 0, or reports
// through perror and returns 1.
int sync_message_files(const char *dir);
