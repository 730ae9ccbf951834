#include "driver/file_output.h"

#include "support/failure.h"
#include "support/platform.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace kalvento {

namespace {

std::string directory_of(const std::string& path)
{
    std::size_t slash = path.find_last_of(PATH_SEPARATORS);
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
    if (path.empty() ||
        std::string_view(PATH_SEPARATORS).find(path.back()) != std::string_view::npos)
        fail("cannot write '%s': not a file name", path.c_str());
    if (int error = directory_writable(directory_of(path)))
        fail_to_write(path, error);
}

void write_whole_file(const std::string& path, const std::function<void(std::FILE*)>& write)
{
    std::string temporary = directory_of(path) + "/.kalvento-XXXXXX";
    std::FILE* out = create_unique_file(temporary);
    if (!out)
        fail_to_write(path, errno);
    write(out);
    int error = flush_to_device(out);
    if (std::fclose(out) != 0 && !error)
        error = errno;
    if (!error)
        error = replace_file(temporary, path);
    if (error) {
        std::remove(temporary.c_str());
        fail_to_write(path, error);
    }
}

} // namespace kalvento
