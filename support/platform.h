// What the driver needs from the operating system beyond the C and C++ libraries (threads aside,
// see thread_platform.h): standard streams, terminals, files, the size of memory and huge pages.
// Every platform-specific line of it lives in platform.cpp; elsewhere the code is the same
// everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kalvento {

// Standard input, output and error carry bytes as they are: where the C library would translate
// line ends (Windows), the report's lines would otherwise end in "\r\n", and a report read from
// standard input would not arrive byte for byte.
void use_binary_standard_streams() noexcept;

bool is_terminal(std::FILE* stream) noexcept;

// Columns of the terminal behind `stream`, or 0 when it is none or the platform cannot tell.
std::size_t terminal_columns(std::FILE* stream) noexcept;

// Physical memory of the machine in bytes, or 0 when the platform cannot tell.
std::uint64_t physical_memory_bytes() noexcept;

// The size of the huge pages that advise_huge_pages asks for.
inline constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{1} << 21;

// Asks for huge pages behind the whole HUGE_PAGE_BYTES pages inside [block, block + bytes), where
// the system backs memory with small pages unless asked (Linux with transparent huge pages set to
// "madvise"): a kernel striding through a large array then misses the TLB far less. Only whole
// pages inside the block, so that no page beyond what the block's user touches becomes resident.
// Elsewhere, or when the system declines, nothing changes.
void advise_huge_pages(void* block, std::size_t bytes) noexcept;

// Where the directory part of a path ends: the last of these characters.
#if defined(_WIN32)
inline constexpr char PATH_SEPARATORS[] = "/\\";
#else
inline constexpr char PATH_SEPARATORS[] = "/";
#endif

// A descriptor reading the file's bytes as they are, or -1 with errno set.
int open_for_reading(const std::string& path) noexcept;

// 0 when a file can be created in `directory`, else the errno value that says why not.
int directory_writable(const std::string& directory) noexcept;

// Creates a new file from `pattern`, whose trailing XXXXXX become a unique name, opened for
// writing bytes as they are and with the permissions any new file gets. Null, with errno set,
// when it cannot be created.
std::FILE* create_unique_file(std::string& pattern) noexcept;

// Flushes the stream, and the system's buffers to the device: 0, or an errno value.
int flush_to_device(std::FILE* stream) noexcept;

// Renames `from` to `to`, replacing a file at `to` (std::rename does not on every platform):
// 0, or an errno value.
int replace_file(const std::string& from, const std::string& to) noexcept;

} // namespace kalvento
