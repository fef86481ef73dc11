#pragma once
// The home directory and safe file writes.
#include <filesystem>
#include <optional>
#include <string>

namespace tessaro {

// TESSARO_HOME, read at each call; default ~/.tessaro. Created on demand.
std::filesystem::path home_dir();

// Write to a temp file in the same folder, fsync, then rename over `path`.
// Parent folders are created. mode, when given, is applied to the file (e.g. 0600).
void write_file_atomic(const std::filesystem::path& path, const std::string& content,
                       std::optional<int> mode = std::nullopt);

// Append one line (a '\n' is added) under an exclusive file lock, so that two
// writers finishing at once never interleave.
void append_line_locked(const std::filesystem::path& path, const std::string& line);

// Whole file, or nullopt when it does not exist / cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& path);

// Getenv with a default ("" counts as unset).
std::string env_or(const char* name, const std::string& dflt);

}  // namespace tessaro
