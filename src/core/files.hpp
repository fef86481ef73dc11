#pragma once
// The home directory and safe file writes.
#include <filesystem>
#include <optional>
#include <string>

namespace tessaro {

// TESSARO_HOME, read at each call; default ~/.tessaro. Created on demand.
std::filesystem::path home_dir();

// Write to a temp file in the same folder, fsync, then rename over `path`.
// Parent folders are created. mode, when given, is the file's mode (e.g. 0600)
// from the moment the temp file exists, before any byte is written.
void write_file_atomic(const std::filesystem::path& path, const std::string& content,
                       std::optional<int> mode = std::nullopt);

// Moves the finished file `tmp` to the first free name of `dir`/stem+ext,
// stem_2+ext, stem_3+ext ... without ever replacing an existing file (the name
// is claimed by link(2), or rename with RENAME_NOREPLACE where links are not
// supported), so concurrent writers each get their own file. Returns the path
// claimed; `tmp` is gone afterwards. Throws Error when no name could be claimed.
std::filesystem::path publish_unique(const std::filesystem::path& tmp, const std::filesystem::path& dir,
                                     const std::string& stem, const std::string& ext);

// ---- file names made from text ---------------------------------------------------
// The one maker of file names from free text (a title, a code, a name the user
// gave): `stem` with control and direction-control characters (U+200E/F,
// U+202A..E, U+2066..9, U+061C), path separators and leading dots and blanks
// removed, a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9) prefixed
// with "_", and cut on a code-point boundary so that stem + `suffix` plus room for
// a "_NN" uniqueness mark fit in a file name of FILE_NAME_MAX_BYTES bytes;
// `fallback` when nothing is left.
inline constexpr size_t FILE_NAME_MAX_BYTES = 255;
inline constexpr size_t FILE_NAME_UNIQUE_ROOM = 8;
std::string file_name_from_text(const std::string& stem, const std::string& suffix, const std::string& fallback);
// A reserved device name, alone or before an extension ("NUL", "con.xlsx").
bool reserved_file_name(const std::string& name);
// Whether the text holds a control or direction-control character.
bool has_control_or_direction_mark(const std::string& text);

// Whether `path`, with symlinks and ".." resolved, lies inside `dir` (not `dir` itself).
bool path_inside(const std::filesystem::path& path, const std::filesystem::path& dir);

// Temp files this program writes before renaming them into place:
// "<name>.tmp.<pid>.<n>" (write_file_atomic) and ".tmp-<pid>-<n>..." (workbooks).
bool is_temp_file_name(const std::string& name);
// Removes temp files under `dir` (up to `depth` folder levels down) left by
// processes that are gone, or older than a day. Never throws; returns the count.
size_t remove_stale_temp_files(const std::filesystem::path& dir, int depth = 3);

// Append one line (a '\n' is added) under an exclusive file lock, so that two
// writers finishing at once never interleave.
void append_line_locked(const std::filesystem::path& path, const std::string& line);

// Whole file, or nullopt when it does not exist / cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& path);

// Getenv with a default ("" counts as unset).
std::string env_or(const char* name, const std::string& dflt);

}  // namespace tessaro
