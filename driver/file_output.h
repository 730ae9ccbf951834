// Files written beside the report: whole or not at all.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace kalvento {

// Ends the run with a run_failure when a file cannot be created at `path` (its directory is
// missing or not writable), so that a long run does not end without its file.
void check_file_writable(const std::string& path);

// Writes a temporary file in the directory of `path` with `write`, then renames it to `path`: the
// file appears complete or not at all. A failure ends the run with a run_failure and leaves any
// earlier file at `path` as it was.
void write_whole_file(const std::string& path, const std::function<void(std::FILE*)>& write);

} // namespace kalvento
