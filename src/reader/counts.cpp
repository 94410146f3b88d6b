#include "reader/counts.h"

namespace qm::reader {

Counts Counts::of(const all::types::Reconciled& r) {
  return Counts{r.block.input, r.block.output, r.block.effective_cache_creation(), r.block.cache_read, r.extra};
}

TokenUsageRaw Counts::block() const {
  TokenUsageRaw b;
  b.input = input;
  b.output = output;
  b.cache_creation = cache_creation;
  b.cache_read = cache_read;
  return b;
}

}  // namespace qm::reader
