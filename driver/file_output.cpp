#include "driver/file_output.h"

#include "support/failure.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kalvento {

namespace {

std::string directory_of(const std::string& path)
{
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

[[noreturn]] void fail_to_write(const std::string& path, int error)
{
    fail("cannot write '%s': %s", path.c_str(), std::strerror(error));
}

} // namespace

void check_file_writable(const std::string& path)
{
    if (path.empty() || path.back() == '/')
        fail("cannot write '%s': not a file name", path.c_str());
    if (access(directory_of(path).c_str(), W_OK | X_OK) != 0)
        fail_to_write(path, errno);
}

void write_whole_file(const std::string& path, const std::function<void(std::FILE*)>& write)
{
    std::string pattern = directory_of(path) + "/.kalvento-XXXXXX";
    std::vector<char> temporary(pattern.begin(), pattern.end());
    temporary.push_back('\0');
    int fd = mkstemp(temporary.data());
    if (fd < 0)
        fail_to_write(path, errno);
    // mkstemp makes the file private; give it the mode any new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE* out = fdopen(fd, "w");
    if (!out) {
        int error = errno;
        close(fd);
        unlink(temporary.data());
        fail_to_write(path, error);
    }
    write(out);
    int error = 0;
    if (std::fflush(out) != 0 || std::ferror(out) || fsync(fd) != 0)
        error = errno ? errno : EIO;
    if (std::fclose(out) != 0 && !error)
        error = errno;
    if (!error && std::rename(temporary.data(), path.c_str()) != 0)
        error = errno;
    if (error) {
        unlink(temporary.data());
        fail_to_write(path, error);
    }
}

} // namespace kalvento
