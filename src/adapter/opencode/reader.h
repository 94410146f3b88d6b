#pragma once
// The OpenCode reader: one record per message with tokens, from each data directory's
// database and older store, at its recorded cost when that is above 0, else priced from a
// price table of its own.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/all/load_options.h"
#include "adapter/opencode/message.h"
#include "json/dom_fwd.h"
#include "pricing/table.h"

namespace qm::opencode::report {

// Loads its own price table (not under the display cost mode): the shared one is not used.
AgentLoadResult load_opencode_usage(const all::loader::LoadOptions& options, const pricing::PricingTable& shared);
// The same with the table that `load_table` gives; it is called once per run, only when
// there is a data directory and the cost mode is not display.
AgentLoadResult load_opencode_usage(const all::loader::LoadOptions& options,
                                    const std::function<pricing::PricingTable()>& load_table);

// What a message gives: views into the message (or the given id), valid while it is.
struct Message {
  std::string_view model;     // "modelID" as written, trimmed
  std::string_view provider;  // "providerID", trimmed
  message::Tokens tokens;
  std::int64_t time_ms = 0;
  std::optional<std::string_view> id;
  std::optional<double> recorded_cost;
};
// None when the message has no tokens to count, no model or provider, or no time of creation.
std::optional<Message> parse_message(json::element data, std::optional<std::string_view> id);

// The names a model is priced under: the model (aliases resolved), its normalised version
// form, then each of those behind the provider.
std::vector<std::string> normalize_model(std::string_view model, std::string_view provider);

}  // namespace qm::opencode::report
