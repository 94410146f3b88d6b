#include "reader/token_block.h"
#include "reader/values.h"

namespace qm::reader {

all::types::Reconciled count_block(MaybeElement usage, const BlockKeys& keys) {
  TokenUsageRaw block;
  block.input = count_or_zero(at(usage, keys.input));
  block.output = count_or_zero(at(usage, keys.output));
  block.cache_creation = count_or_zero(at(usage, keys.cache_creation));
  block.cache_read = count_or_zero(at(usage, keys.cache_read));
  const std::uint64_t extra = keys.extra.empty() ? 0 : count_or_zero(at(usage, keys.extra));
  return all::types::reconcile_token_total(block, extra, count_or_zero(at(usage, keys.total)));
}

}  // namespace qm::reader
