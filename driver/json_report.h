// The --json document: the context of the run, one entry per kernel, the composite score and the
// mean checksum. Its layout is kept stable; schema_version changes when it does not stay
// compatible.
#pragma once

#include "driver/command_line.h"
#include "driver/options.h"
#include "driver/session.h"
#include "driver/system_info.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kalvento {

inline constexpr int JSON_SCHEMA_VERSION = 1;

void write_json_report(std::FILE* out, const system_info& system, const std::string& timestamp,
                       const run_settings& settings, const extended_options& options,
                       const std::vector<std::string>& command_line,
                       const session_outcome& session);

// A checksum as the classic report prints it: 17 significant digits.
std::string checksum_text(double checksum);

} // namespace kalvento
