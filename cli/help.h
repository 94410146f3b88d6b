#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::cli::help {

std::string format_option_table(const std::vector<std::pair<std::string_view, std::string_view>>& rows,
                                std::size_t min_width);
// The page for the arguments after the program name.
std::string build_help(const std::vector<std::string>& args);
[[noreturn]] void print_help(const std::vector<std::string>& args);

}  // namespace qm::cli::help
