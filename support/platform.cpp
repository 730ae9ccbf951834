#include "support/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#if defined(__linux__)
#include <cstdint>
#include <sys/mman.h>
#endif

namespace kalvento {

bool is_terminal(std::FILE* stream) noexcept
{
#if defined(_WIN32)
    int fd = _fileno(stream);
    return fd >= 0 && _isatty(fd);
#else
    int fd = fileno(stream);
    return fd >= 0 && isatty(fd);
#endif
}

#if defined(_WIN32)

void use_binary_standard_streams() noexcept
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::size_t terminal_columns(std::FILE* stream) noexcept
{
    if (!is_terminal(stream))
        return 0;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console, &info))
        return 0;
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<std::size_t>(columns) : 0;
}

std::uint64_t physical_memory_bytes() noexcept
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

int open_for_reading(const std::string& path) noexcept
{
    return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int directory_writable(const std::string& directory) noexcept
{
    constexpr int WRITABLE = 2;
    return _access(directory.c_str(), WRITABLE) == 0 ? 0 : errno;
}

std::FILE* create_unique_file(std::string& pattern) noexcept
{
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return nullptr;
    pattern = name.data();
    _setmode(fd, _O_BINARY);
    std::FILE* stream = _fdopen(fd, "wb");
    if (!stream) {
        int error = errno;
        _close(fd);
        _unlink(name.data());
        errno = error;
    }
    return stream;
}

int flush_to_device(std::FILE* stream) noexcept
{
    errno = 0;
    if (std::fflush(stream) != 0 || std::ferror(stream) || _commit(_fileno(stream)) != 0)
        return errno ? errno : EIO;
    return 0;
}

int replace_file(const std::string& from, const std::string& to) noexcept
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

#else

void use_binary_standard_streams() noexcept {}

std::size_t terminal_columns(std::FILE* stream) noexcept
{
    winsize size{};
    if (!is_terminal(stream) || ioctl(fileno(stream), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

std::uint64_t physical_memory_bytes() noexcept
{
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGE_SIZE)
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0)
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
#endif
    return 0;
}

int open_for_reading(const std::string& path) noexcept
{
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

int directory_writable(const std::string& directory) noexcept
{
    return access(directory.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

std::FILE* create_unique_file(std::string& pattern) noexcept
{
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return nullptr;
    pattern = name.data();
    // mkstemp makes the file private; give it the mode any new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE* stream = fdopen(fd, "w");
    if (!stream) {
        int error = errno;
        close(fd);
        unlink(name.data());
        errno = error;
    }
    return stream;
}

int flush_to_device(std::FILE* stream) noexcept
{
    errno = 0;
    if (std::fflush(stream) != 0 || std::ferror(stream) || fsync(fileno(stream)) != 0)
        return errno ? errno : EIO;
    return 0;
}

int replace_file(const std::string& from, const std::string& to) noexcept
{
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

#endif

void advise_huge_pages(void* block, std::size_t bytes) noexcept
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    auto first = reinterpret_cast<std::uintptr_t>(block);
    std::uintptr_t begin = (first + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    std::uintptr_t end = (first + bytes) & ~(HUGE_PAGE_BYTES - 1);
    // A refusal (no transparent huge pages in this kernel) leaves the small pages.
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

} // namespace kalvento
