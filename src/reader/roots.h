#pragma once
// Where a reader looks: directory lists from a variable, defaults below the home directory,
// and candidate lists cleared of paths met before.
#include <expected>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::reader {

namespace fs = std::filesystem;

// The entries of a comma-separated list variable (trimmed, empty ones skipped), or none when
// the variable is unset or not valid UTF-8. A set variable with no entry gives an empty list.
std::optional<std::vector<fs::path>> env_list(const char* variable);

// The existing directories of a list variable that is set and not blank (each once, as
// existing_dirs keeps them); none when it is unset, blank or not valid UTF-8.
std::optional<std::vector<fs::path>> listed_dirs(const char* variable);

// A variable holding one path: its trimmed value when set, valid UTF-8 and not blank.
std::optional<fs::path> env_path(const char* variable);

// The home directory joined with `relative`, or "home directory is not set".
std::expected<fs::path, std::string> below_home(std::string_view relative);

// $XDG_DATA_HOME when it is set and absolute, else ~/.local/share; none without a home.
std::optional<fs::path> xdg_data_home();
// $XDG_CONFIG_HOME when it is set and absolute, else ~/.config; none without a home.
std::optional<fs::path> xdg_config_home();

// The candidates that are existing directories, each kept once, as written and in the given
// order: a directory named again, by a path equal component by component or by one that
// leads to it through a symbolic link, is dropped.
std::vector<fs::path> existing_dirs(const std::vector<fs::path>& candidates);

// The candidates made canonical (unchanged when that fails) that are regular files, each
// kept once: a file reached through a symbolic link or a second spelling counts once.
std::vector<fs::path> canonical_files(const std::vector<fs::path>& candidates);

// What the home directory's absence means for a reader: its failure, or no default root.
enum class NoHome { Fails, Empty };

// The roots of a reader: the list variable's entries when it is set, else the home directory
// joined with `default_below_home` (or nothing, or the home error, without a home).
// Not filtered: pass the result through existing_dirs or canonical_files.
std::expected<std::vector<fs::path>, std::string> candidate_roots(const char* variable, std::string_view default_below_home,
                                                                  NoHome no_home);
// The same with several defaults below the home directory, in this order.
std::expected<std::vector<fs::path>, std::string> candidate_roots(const char* variable,
                                                                  std::initializer_list<std::string_view> defaults_below_home,
                                                                  NoHome no_home);

// candidate_roots through existing_dirs.
std::expected<std::vector<fs::path>, std::string> directory_roots(const char* variable, std::string_view default_below_home,
                                                                  NoHome no_home);

}  // namespace qm::reader
