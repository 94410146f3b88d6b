#pragma once
// A query over a "sessions" table, whose WHERE clause comes last, run a span of rowids at a
// time (a table's rows come in rowid order).
#include <cstdint>
#include <string>
#include <string_view>

#include "reader/row_workers.h"

namespace qm::reader {

inline constexpr std::string_view kSessionRowidBounds =
    "SELECT (SELECT min(rowid) FROM sessions), (SELECT max(rowid) FROM sessions)";

// `Query` narrowed to the rowids from ?1 to ?2, made once; `Width` rowids a span.
template <const std::string_view& Query, std::uint64_t Width>
RowidSpans session_spans() {
  static const std::string ranged = std::string(Query) + "    AND rowid BETWEEN ?1 AND ?2\nORDER BY rowid\n";
  return {kSessionRowidBounds, ranged, Width};
}

}  // namespace qm::reader
