#pragma once
// The token block of a usage object whose members each hold a count (any other value counts
// 0), reconciled with the total that the object reports.
#include <string_view>

#include "adapter/all/types.h"
#include "reader/maybe_element.h"

namespace qm::reader {

struct BlockKeys {
  std::string_view input;
  std::string_view output;
  std::string_view cache_creation;
  std::string_view cache_read;
  std::string_view total;
  std::string_view extra = {};  // reasoning tokens, where the agent counts them apart; none: 0
};

all::types::Reconciled count_block(MaybeElement usage, const BlockKeys& keys);

}  // namespace qm::reader
