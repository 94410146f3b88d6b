// The HTML report: its data document, the page, where the files go, the run that opens it,
// and the page drawn by a real browser.
#include "adapter/all/summary/report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "adapter/all/rows.h"
#include "kit/env.h"
#include "kit/http_server.h"
#include "kit/run.h"
#include "output.h"
#include "subprocess.h"

namespace qm::all::summary {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::part;
using testing::sample_rows;

constexpr std::int64_t kNow = 1767616496789;  // 2026-01-05T12:34:56.789Z

json data_of(const std::vector<UsageRow>& rows, std::optional<json> subscription = std::nullopt) {
  auto totals = build_summary_totals(rows);
  return report_data({rows, totals, kNow, std::move(subscription)});
}

TEST(ReportData, AgentsModelsAndDaysAscendingWhateverTheOrder) {
  auto rows = sample_rows();
  std::reverse(rows.begin(), rows.end());  // as --order desc hands them over
  auto doc = data_of(rows);
  EXPECT_EQ(doc["generatedAt"], "2026-01-05T12:34:56.789Z");
  EXPECT_EQ(doc["period"].dump(), R"({"from":"2026-01-05","to":"2026-01-06"})");
  EXPECT_EQ(doc["totals"].dump(), R"({"totalCost":16.75,"totalTokens":1790999})");
  EXPECT_EQ(doc["agents"].dump(),
            R"([{"agent":"Claude","color":"#d96bf5","cost":12.5,"tokens":1500999},)"
            R"({"agent":"Codex","color":"#34d399","cost":3,"tokens":250000},)"
            R"({"agent":"Cursor","color":"#f97316","cost":1.25,"tokens":40000}])");
  EXPECT_EQ(doc["models"][0].dump(),
            R"({"color":"#7c83ff","cost":10,"model":"claude-sonnet-4-5","short":"sonnet-4-5","tokens":750000})");
  ASSERT_EQ(doc["models"].size(), 6u);  // sonnet, gpt-5-codex, haiku, Auto, autopilot, modèle-été
  EXPECT_EQ(doc["history"].dump(),
            R"({"days":[)"
            R"({"ac":[12.5,3,0],"at":[1500000,250000,0],"d":"2026-01-05",)"
            R"("mc":[10,3,2.5,0,0,0],"mt":[750000,250000,750000,0,0,0]},)"
            R"({"ac":[0,0,1.25],"at":[999,0,40000],"d":"2026-01-06",)"
            R"("mc":[0,0,0,0.75,0.5,0],"mt":[0,0,0,20000,20000,999]}],"otherColor":"#52525b"})");
  EXPECT_FALSE(doc.contains("subscription"));

  json value = {{"agents", json::array()}, {"period", nullptr}};
  EXPECT_EQ(data_of(rows, value)["subscription"], value);
}

TEST(ReportData, TokenSumsStopAtTheLargestCount) {
  // A day whose parts name one agent twice and whose model shares name one model twice.
  UsageRow row = part("all", "2026-01-05", 2.0, UINT64_MAX, {{"m", 1.0}});
  row.parts = std::vector<UsageRow>{part("claude", "2026-01-05", 1.0, UINT64_MAX, {{"m", 1.0}}),
                                    part("claude", "2026-01-05", 1.0, UINT64_MAX, {{"m", 1.0}})};
  row.model_usages.push_back(row.model_usages[0]);
  auto day = data_of({row})["history"]["days"][0];
  EXPECT_EQ(day["at"], json::array({UINT64_MAX}));
  EXPECT_EQ(day["mt"], json::array({UINT64_MAX}));
}

TEST(ReportData, EmptyRunAndModelsBeyondThePalette) {
  EXPECT_EQ(data_of({}).dump(),
            R"({"agents":[],"generatedAt":"2026-01-05T12:34:56.789Z","history":{"days":[],"otherColor":"#52525b"},)"
            R"("models":[],"period":null,"totals":{"totalCost":0,"totalTokens":0}})");

  std::vector<std::pair<std::string, double>> models;
  for (int i = 0; i < 10; ++i) models.emplace_back("m" + std::to_string(i), 10 - i);
  auto doc = data_of(loader::merge_rows_by_label({part("amp", "2026-02-01", 55, 100, models)}));
  EXPECT_EQ(doc["agents"][0]["color"], "#fb7185");
  EXPECT_EQ(doc["models"][7]["color"], "#fb7185");
  EXPECT_EQ(doc["models"][8]["color"], "#52525b");  // from the ninth on: the "other" colour
  EXPECT_EQ(doc["models"][9]["color"], "#52525b");
}

std::size_t count(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ReportPage, DataCannotCloseItsScriptElement) {
  auto hostile = data_of(loader::merge_rows_by_label(
      {part("amp", "2026-02-01", 1, 10, {{"</script><script>alert(1)</script>", 1}, {"<!-- __REPORT_DATA__", 0}})}));
  auto page = render_report_page(hostile);
  auto plain = render_report_page(data_of({}));
  EXPECT_EQ(count(page, "</script>"), count(plain, "</script>"));
  EXPECT_EQ(count(page, "<!--"), 0u);

  const std::string open = R"(<script id="report-data" type="application/json">)";
  auto start = page.find(open);
  ASSERT_NE(start, std::string::npos);
  start += open.size();
  auto embedded = page.substr(start, page.find("</script>", start) - start);
  EXPECT_EQ(embedded.find('\n'), std::string::npos);  // compact
  EXPECT_EQ(json::parse(embedded), hostile);
  EXPECT_EQ(count(plain, "__REPORT_DATA__"), 0u);
}

TEST(ReportFiles, NamedByTheSecondAndReplacedNeverFollowed) {
  kit::TempDir dir;
  auto data = data_of(sample_rows());
  kit::write_file(dir / "elsewhere", "untouched");
  fs::create_symlink(dir / "elsewhere", dir / "cost-report-20260105-123456.html");

  auto files = write_report(dir.path(), data, kNow);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(files->json, dir / "cost-report-20260105-123456.json");
  EXPECT_EQ(files->html, dir / "cost-report-20260105-123456.html");
  EXPECT_EQ(kit::read_file(files->json), output::pretty(data));  // pretty, no final line feed
  EXPECT_EQ(kit::read_file(dir / "elsewhere"), "untouched");
  EXPECT_FALSE(fs::is_symlink(files->html));
  EXPECT_EQ(kit::read_file(files->html), render_report_page(data));

  // A second report in the same second takes the names over.
  ASSERT_TRUE(write_report(dir.path(), data_of({}), kNow + 100));
  EXPECT_EQ(json::parse(kit::read_file(files->json)), data_of({}));

  // No page without its data file.
  fs::remove(files->json);
  fs::remove(files->html);
  fs::create_directory(files->json);
  kit::write_file(files->json / "x", "");
  auto failed = write_report(dir.path(), data, kNow);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), files->json.string() + ": Is a directory");
  EXPECT_FALSE(fs::exists(files->html));
}

TEST(ReportDirectory, CacheDirectoryOrAPrivateTemporaryOne) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("HOME", (t / "home").string()).unset("XDG_CACHE_HOME").unset("USERPROFILE").unset("HOMEDRIVE");
  env.unset("QUILLIMARE_CACHE_DIR");
  EXPECT_EQ(report_directory(), t / "home/.cache/quillimare/reports");
  EXPECT_TRUE(fs::is_directory(t / "home/.cache/quillimare/reports"));
  env.set("XDG_CACHE_HOME", (t / "xdg").string());
  EXPECT_EQ(report_directory(), t / "xdg/quillimare/reports");

  env.unset("XDG_CACHE_HOME").unset("HOME").set("TMPDIR", (t / "tmp").string());
  const fs::path shared = t / "tmp/quillimare-reports";
  auto mode = [&] {
    struct stat st;
    return ::lstat(shared.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u;
  };
  EXPECT_EQ(report_directory(), shared);
  EXPECT_EQ(mode(), 0700u);
  fs::permissions(shared, fs::perms(0755));
  EXPECT_EQ(report_directory(), shared);
  EXPECT_EQ(mode(), 0700u);  // ours, so closed again

  fs::remove(shared);
  fs::create_directory(t / "other");
  fs::create_directory_symlink(t / "other", shared);
  auto linked = report_directory();
  ASSERT_FALSE(linked);
  EXPECT_EQ(linked.error(), shared.string() + ": not a private directory of this user");

  fs::remove(shared);
  kit::write_file(shared, "");
  auto file = report_directory();
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), shared.string() + ": not a private directory of this user");

  if (::geteuid() == 0) {
    fs::remove(shared);
    fs::create_directory(shared);
    ASSERT_EQ(::chown(shared.c_str(), 65534, 65534), 0);
    auto foreign = report_directory();
    ASSERT_FALSE(foreign);
    EXPECT_EQ(foreign.error(), shared.string() + ": not a private directory of this user");
  }
}

// The reports live in the cache directory the Claude usage cache uses, wherever it is set.
TEST(ReportDirectory, FollowsTheCacheDirectory) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("HOME", (t / "home").string()).set("XDG_CACHE_HOME", (t / "xdg").string());
  env.set("QUILLIMARE_CACHE_DIR", (t / "own").string());
  EXPECT_EQ(report_directory(), t / "own/reports");
  EXPECT_TRUE(fs::is_directory(t / "own/reports"));
  EXPECT_FALSE(fs::exists(t / "xdg"));

  // Set, it stands in for a missing home too.
  env.unset("HOME").unset("USERPROFILE").unset("HOMEDRIVE").unset("XDG_CACHE_HOME").set("TMPDIR", (t / "tmp").string());
  EXPECT_EQ(report_directory(), t / "own/reports");
  EXPECT_FALSE(fs::exists(t / "tmp/quillimare-reports"));

  kit::write_file(t / "file", "");
  env.set("QUILLIMARE_CACHE_DIR", (t / "file/cache").string());
  auto under_file = report_directory();
  ASSERT_FALSE(under_file);
  EXPECT_EQ(under_file.error(), (t / "file/cache/reports").string() + ": Not a directory");
}

// A Claude reply line as Claude Code logs it.
std::string claude_line(int n, const std::string& model, const std::string& day, int input, int output) {
  return fmt::format(
      R"({{"isSidechain":false,"sessionId":"s","version":"2.1.9","type":"assistant","message":{{"model":"{}",)"
      R"("id":"msg_{}","usage":{{"input_tokens":{},"cache_creation_input_tokens":0,"cache_read_input_tokens":0,)"
      R"("output_tokens":{}}}}},"requestId":"req_{}","timestamp":"{}T10:00:00.000Z"}})"
      "\n",
      model, n, input, output, n, day);
}

// A home whose path has a space, with Claude logs, and a browser opener on PATH that
// records its arguments and where its standard streams lead. The program does not wait for
// the opener, so neither can its output: `opener_record` waits for the record.
struct ReportRun {
  kit::TempDir root;
  fs::path home = root / "my home";
  fs::path bin = root / "bin";
  kit::RunOptions opts;

  explicit ReportRun(int days = 3) {
    static const char* kModels[] = {"claude-sonnet-4-5-20250929", "claude-opus-4-1-20250805", "claude-haiku-4-5-20251001",
                                    "claude-3-5-haiku-20241022",  "claude-sonnet-4-20250514", "claude-opus-4-20250514",
                                    "claude-3-7-sonnet-20250219", "claude-3-opus-20240229",   "claude-3-haiku-20240307",
                                    "claude-3-5-sonnet-20241022"};
    std::string log;
    int n = 0;
    for (int d = 1; d <= days; ++d)
      for (int m = 0; m < 10; m += 1 + d % 3)
        log += claude_line(++n, kModels[m], fmt::format("2025-03-{:02}", d), 1000 * (d % 5 + 1), 400 * (10 - m));
    kit::write_file(home / ".claude/projects/p/s.jsonl", log);
    kit::write_file(bin / "xdg-open", fmt::format("#!/bin/sh\ncd '{}' || exit 1\n"
                                                  "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
                                                  "printf '%s\\n' \"$@\" \"$fds\" > record.tmp && mv record.tmp opened\n",
                                                  root.path().string()));
    fs::permissions(bin / "xdg-open", fs::perms(0755));
    opts.env = kit::base_env(home.string());
    opts.env["PATH"] = bin.string() + ":" + opts.env["PATH"];
  }

  kit::RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), {QM_BINARY, "summary", "--offline"});
    return kit::run(args, opts);
  }
  fs::path reports() const { return home / ".cache/quillimare/reports"; }
  // The opener's arguments, then the targets of its descriptors 0, 1 and 2, one a line.
  std::string opener_record() const {
    for (int i = 0; i < 3000 && !fs::exists(root / "opened"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return kit::read_file(root / "opened");
  }
};

TEST(ReportRun, WritesOpensAndPrintsThePage) {
  ReportRun r;
  auto out = r.run({"--html", "--chart"});
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.err, "");
  auto at = out.out.rfind("\nReport: file://");
  ASSERT_NE(at, std::string::npos) << out.out;
  std::string page = out.out.substr(at + 16, out.out.size() - at - 17);
  EXPECT_TRUE(out.out.ends_with(".html\n"));
  EXPECT_EQ(fs::path(page).parent_path(), r.reports());  // the plain path, spaces and all
  EXPECT_LT(out.out.find("daily cost by model · last 3d"), at);  // the chart comes first
  // The opener holds none of our streams: `quillimare --html 2>&1 | cat` ends with us.
  EXPECT_EQ(r.opener_record(), page + "\n/dev/null\n/dev/null\n/dev/null\n");
  auto data = json::parse(kit::read_file(fs::path(page).replace_extension(".json")));
  EXPECT_EQ(data["history"]["days"].size(), 3u);
  EXPECT_EQ(data["agents"][0]["agent"], "Claude");
}

TEST(ReportRun, JsonOutputWritesNoReport) {
  ReportRun r;
  auto json_run = r.run({"--json", "--html", "--chart"});
  ASSERT_EQ(json_run.status, 0) << json_run.err;
  EXPECT_TRUE(json::accept(json_run.out));  // the document alone: no chart, no report line
  EXPECT_FALSE(fs::exists(r.reports()));
  EXPECT_FALSE(fs::exists(r.root / "opened"));
}

TEST(ReportRun, AReportNotWrittenFailsTheRunNamingThePath) {
  ReportRun r;
  kit::write_file(r.home / ".cache", "a file where the cache directory should be");
  auto failed = r.run({"--html"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err, "Error: CliError(\"Failed to write HTML report " + r.reports().string() +
                            ": Not a directory\")\n");
  EXPECT_NE(failed.out.find("claude-sonnet-4-5"), std::string::npos);  // the screen came first
  EXPECT_EQ(failed.out.find("Report: "), std::string::npos);
  EXPECT_FALSE(fs::exists(r.root / "opened"));
}

bool have_chromium() {
  auto chromium = subprocess::run_captured("chromium", {"--version"}, "", std::chrono::seconds(60));
  return chromium && chromium->status == 0;
}

// A report page in headless Chromium, its Chart.js script served by a loopback server at the
// address the page names (the script is whatever `chart_js` holds).
struct Browser {
  static constexpr const char* kScriptPath = "/npm/chart.js@4.4.6/dist/chart.umd.js";
  kit::HttpServer cdn{kit::HttpServer::Scheme::Https};
  kit::TempDir profile;

  explicit Browser(std::string chart_js) {
    cdn.on(kScriptPath, kit::ScriptedResponse{200, {{"Content-Type", "application/javascript"}}, std::move(chart_js)});
  }

  std::expected<subprocess::Captured, std::string> run(const std::string& action, const std::string& page) {
    return subprocess::run_captured(
        "chromium",
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile.path().string(), "--ignore-certificate-errors",
         // The page's script host goes to the loopback server; every other host fails at once.
         fmt::format("--host-resolver-rules=MAP cdn.jsdelivr.net 127.0.0.1:{},MAP * ~NOTFOUND", cdn.port()),
         "--window-size=1280,1400", "--virtual-time-budget=5000", action, page},
        "", std::chrono::seconds(120));
  }
};

// Headless Chromium loads a generated report, with Chart.js served from the local copy that
// scripts/test installs, at the address the page names. The screenshot is left in the
// working directory (build/tests/report-screenshot.png) for a person to look at.
TEST(ReportBrowser, ThePageDrawsItsChart) {
  const fs::path chart_js = fs::path(QM_SOURCE_DIR) / "tests/.npm/node_modules/chart.js/dist/chart.umd.js";
  if (!have_chromium() || !fs::exists(chart_js)) GTEST_SKIP() << "chromium or " << chart_js << " missing: scripts/test installs both";

  ReportRun r(12);
  auto out = r.run({"--html"});
  ASSERT_EQ(out.status, 0) << out.err;
  const std::string record = r.opener_record();
  const std::string page = record.substr(0, record.find('\n'));
  auto data = json::parse(kit::read_file(fs::path(page).replace_extension(".json")));

  Browser browser(kit::read_file(chart_js));
  auto chrome = [&](const std::string& action) { return browser.run(action, page); };

  auto dom = chrome("--dump-dom");
  ASSERT_TRUE(dom) << dom.error();
  ASSERT_EQ(dom->status, 0) << dom->err;
  EXPECT_NE(dom->out.find(R"(<html lang="en" data-chart="drawn">)"), std::string::npos) << dom->out;
  EXPECT_NE(dom->out.find("box-sizing: border-box"), std::string::npos);  // Chart.js sized the canvas
  const std::string total = fmt::format("${:.2f}", data["totals"]["totalCost"].get<double>());
  EXPECT_NE(dom->out.find(R"(<div id="heroTotal" class="num">)" + total + "</div>"), std::string::npos);
  EXPECT_NE(dom->out.find(R"(<span class="name" title="claude-sonnet-4-5-20250929">sonnet-4-5</span>)"),
            std::string::npos);
  EXPECT_NE(dom->out.find(">2025-03-01 → 2025-03-12<"), std::string::npos);
  ASSERT_FALSE(browser.cdn.requests().empty());
  EXPECT_EQ(browser.cdn.requests()[0].path(), Browser::kScriptPath);

  const fs::path shot = fs::current_path() / "report-screenshot.png";
  fs::remove(shot);
  auto png = chrome("--screenshot=" + shot.string());
  ASSERT_TRUE(png) << png.error();
  ASSERT_EQ(png->status, 0) << png->err;
  EXPECT_EQ(kit::read_file(shot).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

// The chart's series, as the page hands them to a stand-in for Chart.js that writes their
// labels into the document.
TEST(ReportBrowser, OneSeriesPerAgentEvenWithNothingInTheWindow) {
  if (!have_chromium()) GTEST_SKIP() << "chromium missing: scripts/test installs it";
  auto rows = loader::merge_rows_by_label({
      part("claude", "2026-02-01", 2.0, 100, {{"claude-sonnet-4-5", 2.0}}),
      part("kimi", "2026-02-01", 0.0, 50, {{"kimi-k2", 0.0}}),
      part("claude", "2026-02-02", 1.0, 100, {{"claude-sonnet-4-5", 1.0}}),
  });
  kit::TempDir dir;
  const fs::path page = dir / "report.html";
  kit::write_file(page, render_report_page(data_of(rows)));

  Browser browser(R"(window.Chart = function (canvas, config) {
  document.documentElement.dataset.series = config.data.datasets.map(function (s) { return s.label; }).join('|');
};
Chart.defaults = { font: {} };)");
  auto dom = browser.run("--dump-dom", page.string());
  ASSERT_TRUE(dom) << dom.error();
  ASSERT_EQ(dom->status, 0) << dom->err;
  // Kimi spent nothing in the window, yet keeps its series (and its place in the legend).
  EXPECT_NE(dom->out.find(R"(data-series="Claude|Kimi")"), std::string::npos) << dom->out.substr(0, 300);
}

}  // namespace
}  // namespace qm::all::summary
