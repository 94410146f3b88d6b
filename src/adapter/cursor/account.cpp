#include "adapter/cursor/account.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "http/hosts.h"
#include "output.h"
#include "reader/roots.h"
#include "reader/sqlite.h"
#include "reader/values.h"
#include "util.h"

namespace qm::cursor::account {
namespace {

namespace fs = std::filesystem;
using reader::at;
using reader::MaybeElement;

constexpr std::string_view kStateFile = "Cursor/User/globalStorage/state.vscdb";

bool is_file(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

std::optional<std::string> trimmed_env(const char* variable) {
  auto value = util::env(variable);
  if (!value || !util::is_valid_utf8(*value)) return std::nullopt;
  return util::non_empty(std::string(util::trim(*value)));
}

std::optional<double> cents(MaybeElement v) {
  auto amount = reader::amount_or_decimal(v);
  if (!amount) return std::nullopt;
  return *amount / 100;
}

nlohmann::json figure(std::optional<double> value) { return value ? output::json_number(*value) : nullptr; }
nlohmann::json figure(std::optional<std::int64_t> value) { return value ? nlohmann::json(*value) : nullptr; }

std::optional<double> number_in(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

CursorGrant grant_of(MaybeElement g) {
  auto kind = reader::string(at(g, "grantType"));
  return CursorGrant{
      {"kind", kind ? nlohmann::json(std::string(*kind)) : nullptr},
      {"totalUSD", figure(cents(at(g, "totalCents")))},
      {"remainingUSD", figure(cents(at(g, "remainingCents")))},
      {"expiresAtMs", figure(positive_integer(at(g, "expiresAtMs")))},
  };
}

}  // namespace

std::optional<fs::path> state_database() {
  if (auto dir = reader::env_path("CURSOR_DATA_DIR")) {
    if (is_file(*dir)) return dir;
    for (const char* below : {"User/globalStorage/state.vscdb", "globalStorage/state.vscdb", "state.vscdb"})
      if (is_file(*dir / below)) return *dir / below;
    return std::nullopt;
  }
#if defined(__APPLE__)
  auto home = util::home_dir();
  if (!home) return std::nullopt;
  fs::path file = fs::path(*home) / "Library/Application Support" / kStateFile;
#else
  auto config = reader::xdg_config_home();
  if (!config) return std::nullopt;
  fs::path file = *config / kStateFile;
#endif
  if (!is_file(file)) return std::nullopt;
  return file;
}

CursorAuth read_cursor_auth() {
  CursorAuth auth;
  auth.access_token = trimmed_env("CURSOR_ACCESS_TOKEN");
  auto database = state_database();
  if (!database) return auth;
  if (!auth.access_token) auth.access_token = read_state_value(*database, "cursorAuth/accessToken");
  auth.membership_type = read_state_value(*database, "cursorAuth/stripeMembershipType");
  return auth;
}

std::optional<std::string> read_state_value(const fs::path& database, std::string_view key) {
  std::optional<std::string> stored;
  const auto read = reader::read_database(
      database, "Cursor state", false,
      [&](const reader::ReadPlan& plan) -> reader::Attempt {
        auto db = reader::Database::open(plan);
        if (!db) return std::unexpected(std::move(db.error()));
        auto stmt = db->prepare("SELECT value FROM ItemTable WHERE key = ?1");
        if (!stmt) return std::unexpected(std::move(stmt.error()));
        if (!stmt->bind_text(1, key))
          return std::unexpected(reader::ReadFailure{reader::ReadFailure::Stage::Prepare, 0, "the key cannot be bound"});
        switch (stmt->step()) {
          case reader::Statement::Step::Row: stored = std::string(stmt->row().text(0).value_or("")); return {};
          case reader::Statement::Step::Done: return {};
          case reader::Statement::Step::Failed: return std::unexpected(stmt->failure());
        }
        return {};
      },
      [&] { stored.reset(); });
  if (read.end != reader::DatabaseRead::End::Read || !stored) return std::nullopt;
  const std::string_view value = util::trim(*stored);
  if (value.empty()) return std::nullopt;
  if (!value.starts_with('"')) return std::string(value);
  // Stored as a JSON string: the decoded text, or nothing (never the quoted raw text).
  json::StrictParser parser;
  auto decoded = reader::text(parser.parse_copy(value));
  if (!decoded) return std::nullopt;
  return std::string(*decoded);
}

http::Client new_dashboard_agent() { return http::Client{.timeout = std::chrono::seconds(8), .body_cap = 4'000'000}; }

std::optional<std::string> dashboard_url(std::string_view method) {
  auto base = http::hosts::cursor_api_base();
  if (!base) return std::nullopt;
  return *base + "/aiserver.v1.DashboardService/" + std::string(method);
}

std::optional<json::element> post_dashboard_text(const http::Client& client, const std::string& url,
                                                 std::string_view access_token, std::string body,
                                                 json::StrictParser& parser) {
  auto response = http::post(client, url,
                             {{"Authorization", "Bearer " + std::string(access_token)},
                              {"Content-Type", "application/json"},
                              {"Accept", "application/json"},
                              {"Connect-Protocol-Version", "1"},
                              {"User-Agent", "quillimare/20.0.21"}},
                             std::move(body));
  if (!response || response->status != 200) return std::nullopt;
  return parser.parse_copy(response->body);
}

std::optional<json::element> post_dashboard_json(const http::Client& client, const std::string& url,
                                                 std::string_view access_token, const nlohmann::json& body,
                                                 json::StrictParser& parser) {
  return post_dashboard_text(client, url, access_token, output::compact(body), parser);
}

std::optional<json::element> call_dashboard_text(const http::Client& client, std::string_view method,
                                                 std::string_view access_token, std::string body,
                                                 json::StrictParser& parser) {
  auto url = dashboard_url(method);
  if (!url) return std::nullopt;
  return post_dashboard_text(client, *url, access_token, std::move(body), parser);
}

std::optional<json::element> call_dashboard(const http::Client& client, std::string_view method,
                                            std::string_view access_token, const nlohmann::json& body,
                                            json::StrictParser& parser) {
  return call_dashboard_text(client, method, access_token, output::compact(body), parser);
}

std::optional<CursorAccount> load_cursor_account(bool offline) {
  if (offline) return std::nullopt;
  auto auth = read_cursor_auth();
  if (!auth.access_token) return std::nullopt;
  const http::Client client = new_dashboard_agent();
  json::StrictParser period_parser, limits_parser;
  auto period = call_dashboard(client, "GetCurrentPeriodUsage", *auth.access_token,
                               nlohmann::json{{"includePooledUsage", true}}, period_parser);
  auto limits = call_dashboard(client, "GetUsageLimitStatusAndActiveGrants", *auth.access_token,
                               nlohmann::json::object(), limits_parser);
  if (!period && !limits) return std::nullopt;
  return account_from_replies(period, limits);
}

CursorAccount account_from_replies(std::optional<json::element> period, std::optional<json::element> limits) {
  const MaybeElement plan = at(period, "planUsage");
  const auto included_limit = cents(at(plan, "limit"));
  const auto included_remaining = cents(at(plan, "remaining"));
  auto included_percent = reader::amount_or_decimal(at(plan, "totalPercentUsed"));
  if (included_percent && *included_percent > 100) included_percent.reset();

  nlohmann::json grants = nlohmann::json::array();
  if (auto active = at(limits, "activeGrants"); active && active->is_array()) {
    const simdjson::dom::array list = active->get_array().value_unsafe();
    for (auto g : list) grants.push_back(grant_of(g));
  }

  // The active allowance: the grants while they have money left, else the plan's own.
  std::optional<double> active_remaining = included_remaining, active_limit = included_limit;
  std::optional<double> active_percent =
      included_percent ? included_percent : percent_used(included_remaining, included_limit);
  if (auto sums = sum_grants(grants); sums.remaining && *sums.remaining > 0) {
    active_remaining = sums.remaining;
    active_limit = sums.total;
    active_percent = percent_used(sums.remaining, sums.total);
  }

  return CursorAccount{
      {"activeLimitUSD", figure(active_limit)},
      {"activePercentUsed", figure(active_percent)},
      {"activeRemainingUSD", figure(active_remaining)},
      {"billingCycleEndMs", figure(positive_integer(at(period, "billingCycleEnd")))},
      {"billingCycleStartMs", figure(positive_integer(at(period, "billingCycleStart")))},
      {"bonusSpendUSD", figure(cents(at(plan, "bonusSpend")))},
      {"grants", std::move(grants)},
      {"includedLimitUSD", figure(included_limit)},
      {"includedPercentUsed", figure(included_percent)},
      {"includedRemainingUSD", figure(included_remaining)},
      {"includedSpendUSD", figure(cents(at(plan, "includedSpend")))},
      {"onDemandLimitUSD", figure(cents(at(limits, {"usageLimitPolicyStatus", "currentOnDemandLimitCents"})))},
      {"onDemandSpentUSD", figure(cents(at(period, {"spendLimitUsage", "totalSpend"})))},
      {"planSpendUSD", figure(cents(at(plan, "totalSpend")))},
  };
}

std::optional<std::int64_t> positive_integer(MaybeElement v) {
  auto i = reader::integer_or_decimal(v);
  if (!i || *i <= 0) return std::nullopt;
  return i;
}

std::optional<double> percent_used(std::optional<double> remaining, std::optional<double> limit) {
  if (!remaining || !limit || !(*limit > 0)) return std::nullopt;
  return std::clamp((*limit - *remaining) / *limit * 100, 0.0, 100.0);
}

GrantSums sum_grants(const nlohmann::json& grants) {
  GrantSums sums;
  if (!grants.is_array()) return sums;
  for (const auto& g : grants) {
    if (auto r = number_in(g, "remainingUSD")) sums.remaining = sums.remaining.value_or(0) + *r;
    if (auto t = number_in(g, "totalUSD")) sums.total = sums.total.value_or(0) + *t;
  }
  return sums;
}

bool is_active_promo_grant(const CursorGrant& grant) {
  if (!grant.is_object()) return false;
  auto kind = grant.find("kind");
  auto remaining = number_in(grant, "remainingUSD");
  return kind != grant.end() && *kind == "promo" && remaining && *remaining > 0;
}

std::optional<std::int64_t> grant_expires_at_ms(const CursorGrant& grant) {
  if (!grant.is_object()) return std::nullopt;
  auto it = grant.find("expiresAtMs");
  if (it == grant.end() || !it->is_number_integer()) return std::nullopt;
  auto ms = it->get<std::int64_t>();
  if (ms <= 0) return std::nullopt;
  return ms;
}

}  // namespace qm::cursor::account
