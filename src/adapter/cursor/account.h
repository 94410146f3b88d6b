#pragma once
// Cursor's sign-in (from its local state database) and its dashboard service: one call, and
// the account figures of the current billing period. Everything here fails soft: what cannot
// be had is none (or null in the account object), never an error.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "http/client.h"
#include "json/dom_fwd.h"
#include "reader/maybe_element.h"

namespace qm::cursor::account {

struct CursorAuth {
  std::optional<std::string> access_token;
  std::optional<std::string> membership_type;  // "cursorAuth/stripeMembershipType"
};

// The state database: the file CURSOR_DATA_DIR names, or the first of
// "User/globalStorage/state.vscdb", "globalStorage/state.vscdb" and "state.vscdb" below it
// (and nothing else when the variable is set); else Cursor's own place below the user's
// configuration directory.
std::optional<std::filesystem::path> state_database();

// The token from CURSOR_ACCESS_TOKEN, else from the state database; the membership type
// always from the database.
CursorAuth read_cursor_auth();

// One value of the database's ItemTable, trimmed; a value stored as a JSON string is decoded.
// None when the database, the table or the key is missing, or the value is blank.
std::optional<std::string> read_state_value(const std::filesystem::path& database, std::string_view key);

// A client for dashboard calls: 8 seconds per request, replies up to 4,000,000 bytes.
http::Client new_dashboard_agent();

// "<Cursor API host>/aiserver.v1.DashboardService/<method>"; none when the host setting is
// unusable.
std::optional<std::string> dashboard_url(std::string_view method);

// One POST of the body as compact JSON; the reply parsed by `parser` (valid until its next
// parse). None unless the status is 200 and the body is JSON.
std::optional<json::element> post_dashboard_json(const http::Client& client, const std::string& url,
                                                 std::string_view access_token, const nlohmann::json& body,
                                                 json::StrictParser& parser);
// post_dashboard_json to the URL of a method.
std::optional<json::element> call_dashboard(const http::Client& client, std::string_view method,
                                            std::string_view access_token, const nlohmann::json& body,
                                            json::StrictParser& parser);
// The same with the body already as compact JSON text.
std::optional<json::element> call_dashboard_text(const http::Client& client, std::string_view method,
                                                 std::string_view access_token, std::string body,
                                                 json::StrictParser& parser);

// The account figures (keys sorted, every key present, null when unknown; dollars, percents
// and epoch milliseconds), and its "grants": objects with "kind", "totalUSD", "remainingUSD"
// and "expiresAtMs".
using CursorAccount = nlohmann::json;
using CursorGrant = nlohmann::json;

// The account of the signed-in user, from GetCurrentPeriodUsage and
// GetUsageLimitStatusAndActiveGrants. None offline (nothing read or asked), without a token,
// or when neither call answers. This is what the summary document carries as "cursorAccount".
std::optional<CursorAccount> load_cursor_account(bool offline);

// The account object from the two replies (either may be missing).
CursorAccount account_from_replies(std::optional<json::element> period, std::optional<json::element> limits);

// A positive integer: a JSON integer, or a string wholly a signed decimal integer, above 0.
std::optional<std::int64_t> positive_integer(reader::MaybeElement v);

// The used part of an allowance in percent, within 0 to 100; none unless both are known and
// the limit is above 0.
std::optional<double> percent_used(std::optional<double> remaining, std::optional<double> limit);

// The grants' remaining and total dollars, each summed over the grants that know it (none
// when no grant does).
struct GrantSums {
  std::optional<double> remaining;
  std::optional<double> total;
};
GrantSums sum_grants(const nlohmann::json& grants);

// A "promo" grant with money left.
bool is_active_promo_grant(const CursorGrant& grant);
std::optional<std::int64_t> grant_expires_at_ms(const CursorGrant& grant);

}  // namespace qm::cursor::account
