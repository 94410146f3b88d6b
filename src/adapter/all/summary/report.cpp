#include "adapter/all/summary/report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <unordered_map>

#include "adapter/all/registry.h"
#include "cache_dir.h"
#include "output.h"
#include "private_file.h"
#include "subprocess.h"
#include "util.h"

namespace qm::embedded {
extern const std::string_view report_page;
}

namespace qm::all::summary {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kOtherColor = "#52525b";
constexpr std::string_view kModelColors[] = {"#7c83ff", "#2dd4bf", "#f59e0b", "#f472b6",
                                             "#60a5fa", "#a3e635", "#c084fc", "#fb7185"};

std::unordered_map<std::string_view, std::size_t> positions(const auto& list, auto key) {
  std::unordered_map<std::string_view, std::size_t> index;
  for (std::size_t i = 0; i < list.size(); ++i) index.emplace(key(list[i]), i);
  return index;
}

// The agents' rows inside a merged row; an unmerged row stands for its own agent.
template <typename F>
void for_each_part(const UsageRow& row, F f) {
  if (row.parts) {
    for (const auto& p : *row.parts) f(p);
  } else if (row.agent_id != "all") {
    f(row);
  }
}

json day_object(const UsageRow& row, const SummaryTotals& totals,
                const std::unordered_map<std::string_view, std::size_t>& agent_at,
                const std::unordered_map<std::string_view, std::size_t>& model_at) {
  std::vector<double> ac(totals.agents.size(), 0.0), mc(totals.models.size(), 0.0);
  std::vector<std::uint64_t> at(totals.agents.size(), 0), mt(totals.models.size(), 0);
  // The totals were built from the same rows, so every agent and model has its position.
  for_each_part(row, [&](const UsageRow& p) {
    if (auto it = agent_at.find(p.agent_id); it != agent_at.end()) {
      ac[it->second] += p.cost;
      at[it->second] = util::saturating_add(at[it->second], p.total);
    }
  });
  for (const auto& m : row.model_usages) {
    if (auto it = model_at.find(m.model); it != model_at.end()) {
      mc[it->second] += m.cost;
      mt[it->second] = util::saturating_add(mt[it->second], model_tokens(m));
    }
  }
  auto numbers = [](const std::vector<double>& v) {
    json a = json::array();
    for (double x : v) a.push_back(output::json_number(x));
    return a;
  };
  return {{"ac", numbers(ac)}, {"at", at}, {"d", row.label}, {"mc", numbers(mc)}, {"mt", mt}};
}

// "cost-report-20260105-101112" from "2026-01-05T10:11:12.345Z".
std::string report_stem(std::int64_t now_ms) {
  std::string t = date_utils::format_timestamp_ms(now_ms), stamp;
  for (char ch : t.substr(0, 19)) {
    if (ch == 'T') stamp += '-';
    else if (ch != '-' && ch != ':') stamp += ch;
  }
  return "cost-report-" + stamp;
}

fs::path temp_root() {
  auto tmp = util::env("TMPDIR");
  return tmp && !tmp->empty() ? fs::path(*tmp) : fs::path("/tmp");
}

// A directory in a place others can write to: ours only when we made it, or it is a real
// directory (not a link) owned by this user; then it is closed to everyone else.
std::expected<fs::path, std::string> private_directory(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir.parent_path(), ec);
  if (ec) return std::unexpected(dir.parent_path().string() + ": " + ec.message());
  auto failed = [&](const std::string& reason) { return std::unexpected(dir.string() + ": " + reason); };
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return failed(util::os_error(errno));
  const std::string refused = "not a private directory of this user";
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failed(errno == ELOOP || errno == ENOTDIR ? refused : util::os_error(errno));
  struct stat st;
  bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
  if (ours && (st.st_mode & 077) != 0) ours = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  if (!ours) return failed(refused);
  return dir;
}

void open_in_browser(const fs::path& page) {
#if defined(__APPLE__)
  constexpr const char* kOpener = "open";
#else
  constexpr const char* kOpener = "xdg-open";
#endif
  // Not waited for, and holding none of our standard streams, so a pipe reading our output
  // or errors ends with us rather than with the browser. A failure to start is ignored.
  (void)subprocess::start(kOpener, {page.string()}, subprocess::Stream::Null, subprocess::Stream::Null,
                          subprocess::Stream::Null);
}

}  // namespace

json report_data(const ReportInput& in) {
  const auto& t = in.totals;
  auto agent_at = positions(t.agents, [](const AgentTotal& a) -> std::string_view { return a.name; });
  auto model_at = positions(t.models, [](const ModelTotal& m) -> std::string_view { return m.name; });

  json agents = json::array();
  for (const auto& a : t.agents)
    agents.push_back({{"agent", registry::agent_display_name(a.name)},
                      {"color", registry::agent_page_color(a.name)},
                      {"cost", output::json_number(a.cost)},
                      {"tokens", a.tokens}});
  json models = json::array();
  for (std::size_t i = 0; i < t.models.size(); ++i) {
    const auto& m = t.models[i];
    models.push_back({{"color", i < std::size(kModelColors) ? kModelColors[i] : kOtherColor},
                      {"cost", output::json_number(m.cost)},
                      {"model", m.name},
                      {"short", model_display_name(m.name)},
                      {"tokens", m.tokens}});
  }

  // Ascending whatever --order says: the page measures its ranges from the last day.
  std::vector<const UsageRow*> rows;
  for (const auto& r : in.rows) rows.push_back(&r);
  std::stable_sort(rows.begin(), rows.end(), [](const UsageRow* a, const UsageRow* b) { return a->label < b->label; });
  json days = json::array();
  for (const UsageRow* r : rows) days.push_back(day_object(*r, t, agent_at, model_at));

  json doc = {{"agents", std::move(agents)},
              {"generatedAt", date_utils::format_timestamp_ms(in.now_ms)},
              {"history", {{"days", std::move(days)}, {"otherColor", kOtherColor}}},
              {"models", std::move(models)},
              {"period", t.period ? json{{"from", t.period->from}, {"to", t.period->to}} : json(nullptr)},
              {"totals", {{"totalCost", output::json_number(t.total_cost)}, {"totalTokens", t.total_tokens}}}};
  if (in.subscription) doc["subscription"] = *in.subscription;
  return doc;
}

std::string render_report_page(const json& data) {
  std::string embedded;
  for (char ch : output::compact(data)) {
    if (ch == '<') embedded += "\\u003c";
    else embedded += ch;
  }
  constexpr std::string_view kSlot = "__REPORT_DATA__";
  std::string_view page = embedded::report_page;
  std::string out;
  out.reserve(page.size() + embedded.size());
  for (std::size_t at; (at = page.find(kSlot)) != std::string_view::npos; page.remove_prefix(at + kSlot.size()))
    out.append(page.substr(0, at)).append(embedded);
  return out.append(page);
}

std::expected<fs::path, std::string> report_directory() {
  if (auto cache = cache_dir::cache_dir()) {
    fs::path dir = *cache / "reports";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return std::unexpected(dir.string() + ": " + ec.message());
    return dir;
  }
  return private_directory(temp_root() / "quillimare-reports");
}

std::expected<ReportFiles, std::string> write_report(const fs::path& directory, const json& data,
                                                     std::int64_t now_ms) {
  std::string stem = report_stem(now_ms);
  ReportFiles files{directory / (stem + ".json"), directory / (stem + ".html")};
  if (auto r = private_file::replace(files.json, output::pretty(data)); !r)
    return std::unexpected(files.json.string() + ": " + r.error());
  if (auto r = private_file::replace(files.html, render_report_page(data)); !r)
    return std::unexpected(files.html.string() + ": " + r.error());
  return files;
}

std::expected<void, std::string> html_report(const ReportInput& input) {
  auto data = report_data(input);
  auto dir = report_directory();
  auto files = dir ? write_report(*dir, data, input.now_ms) : std::unexpected(dir.error());
  if (!files) return std::unexpected("Failed to write HTML report " + files.error());
  open_in_browser(files->html);
  return output::print("\nReport: file://" + files->html.string() + "\n");
}

}  // namespace qm::all::summary
