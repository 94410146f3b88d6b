// The Claude token service's reply: what it grants is granted a second later a second later,
// and its refresh token and scopes go out in the next token request and read back the same.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

#include "adapter/claude/oauth_refresh.h"
#include "json/strict.h"
#include "reader/values.h"
#include "support.h"

namespace {

namespace oauth = qm::claude::oauth_refresh;
constexpr std::int64_t kNow = 1'750'000'000'000;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const auto renewal = oauth::read_token_reply(body, kNow, "refresh-0");
  if (!renewal) return 0;
  FUZZ_CHECK(!renewal->access_token.empty() && !renewal->refresh_token.empty());

  const auto later = oauth::read_token_reply(body, kNow + 1000, "refresh-0");
  if (renewal->expires_at <= INT64_MAX - 1000) {
    FUZZ_CHECK(later && later->expires_at == renewal->expires_at + 1000);
    if (renewal->refresh_expires_at && *renewal->refresh_expires_at <= INT64_MAX - 1000)
      FUZZ_CHECK(later->refresh_expires_at == *renewal->refresh_expires_at + 1000);
  }

  qm::claude::credentials::ClaudeCredentials next;
  next.refresh_token = renewal->refresh_token;
  if (renewal->scopes) {
    next.scopes = *renewal->scopes;
    for (const auto& scope : next.scopes)
      FUZZ_CHECK(!scope.empty() && std::none_of(scope.begin(), scope.end(), is_space));
  }
  // The request's refresh token and scope, handed back in a reply, give the same again.
  static qm::json::StrictParser parser;
  const auto request = parser.parse_copy(oauth::refresh_request_body(next));
  FUZZ_CHECK(request.has_value());
  const auto refresh = qm::reader::string(qm::reader::at(request, "refresh_token"));
  FUZZ_CHECK(refresh == renewal->refresh_token);
  const auto scope = qm::reader::at(request, "scope");
  FUZZ_CHECK(scope.has_value() == !next.scopes.empty());
  if (!scope) return 0;
  const std::string reply = R"({"access_token":"a","expires_in":1,"scope":)" + simdjson::to_string(*scope) + "}";
  const auto echoed = oauth::read_token_reply(reply, kNow, "refresh-0");
  FUZZ_CHECK(echoed && echoed->scopes == next.scopes);
  return 0;
}
