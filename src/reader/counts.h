#pragma once
// The counts of one usage as every toolkit reader keeps them.
#include <cstdint>
#include <optional>
#include <string>

#include "adapter/all/types.h"

namespace qm::reader {

// The counts of one usage, reconciled with its reported total: the block and the extra
// (reasoning) count.
struct Counts {
  std::uint64_t input = 0, output = 0, cache_creation = 0, cache_read = 0, reasoning = 0;

  static Counts of(const all::types::Reconciled& reconciled);
  TokenUsageRaw block() const;
  bool any() const { return input || output || cache_creation || cache_read || reasoning; }
  bool operator==(const Counts&) const = default;
};

// One usage as a whole-message parse gives it, texts and all: the slow form of a reader's
// usages that tests and fuzz targets hold its fast path against.
struct ParsedUsage {
  std::string timestamp_text;
  std::string session_id;
  std::string model;
  std::optional<std::string> message_id;
  std::int64_t timestamp = 0;
  Counts counts;

  bool operator==(const ParsedUsage&) const = default;
};

}  // namespace qm::reader
