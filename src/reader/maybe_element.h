#pragma once
// A value that may be missing, as the JSON value readers (reader/values.h) take it; by name
// only, for headers that pass one along.
#include <optional>

#include "json/dom_fwd.h"

namespace qm::reader {

using json::element;
using MaybeElement = std::optional<element>;

}  // namespace qm::reader
