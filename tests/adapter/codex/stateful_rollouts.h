#pragma once
// Seeded rollouts whose lines hang on the lines before them, for tests that compare readings
// of the same files.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "adapter/codex/rollout.h"
#include "date_utils.h"

namespace qm::codex::testing {

// A rollout in which what a line gives hangs on the lines before it: models that turn
// contexts set and lines that name their own, "codex-auto-review" over the release dates,
// counts given only as running totals (that also fall), repeats, zero reports, simpler
// usage lines with and without model or time, lines far longer than the others, carriage
// returns, no final line feed. A spawned one starts with history replayed within a second.
inline std::string stateful_rollout(unsigned seed, bool spawned) {
  std::mt19937 rng(seed);
  auto pick = [&](unsigned n) { return rng() % n; };
  std::string text;
  std::int64_t second = 1754000000 + pick(86400 * 200);
  auto when = [&] {
    if (pick(4)) second += 1 + pick(20000);
    return quoted(date_utils::format_timestamp_ms(second * 1000 + pick(1000)));
  };
  Usage total;
  auto grow = [&] {
    Usage last{1 + pick(500), pick(300), pick(50), pick(20), 0};
    last.total = last.input + last.output;
    total = Usage{total.input + last.input, total.cached + last.cached, total.output + last.output,
                  total.reasoning + last.reasoning, total.total + last.total};
    return last;
  };
  if (spawned) {
    text += R"({"timestamp":"2025-11-02T10:00:00.000Z","type":"session_meta","payload":{"source":{"subagent":{"thread_spawn":{"depth":1}}}}})"
            "\n";
    for (int i = 0; i < 3; ++i) {
      Usage last = grow();
      text += token_count(quoted(fmt::format("2025-11-02T10:00:00.{}00Z", i + 1)), last, total);
    }
    // The skipping has ended: a count of the replayed second is then an event of its own.
    text += token_count(quoted("2025-11-02T10:00:01.000Z"), grow(), total);
    text += token_count(quoted("2025-11-02T10:00:00.500Z"), grow(), total, R"(,"model":"o3")");
    text += token_count(quoted("2025-11-02T10:00:02.000Z"), grow(), total);
    text += token_count(quoted("2025-11-02T10:00:03.000Z"), grow(), total);
  }
  const char* models[] = {"gpt-5", "gpt-5-codex", "codex-auto-review", "  ", "o3"};
  for (int n = 0; n < 160; ++n) {
    std::string line;
    switch (pick(12)) {
      case 0: line = turn_context(models[pick(5)]); break;
      case 1: line = token_count(when(), grow(), total); break;
      case 2:
        grow();
        if (pick(5) == 0) total = Usage{total.input / 2, 0, total.output / 2, 0, total.total / 2};  // a new total
        line = token_count(when(), {}, total);
        break;
      case 3: line = token_count(when(), grow()); break;
      case 4:
        line = token_count(when(), pick(2) ? std::optional<Usage>(grow()) : std::nullopt, total,
                           fmt::format(R"(,"model":"{}")", models[pick(5)]));
        break;
      case 5:
        line = R"({"timestamp":"2025-10-01T09:00:00.000Z","type":"response_item","payload":{"output":")" +
               std::string(pick(3) ? pick(40) : 1500 + pick(3000), 'x') + "\"}}\n";
        break;
      case 6:
        line = fmt::format(R"({{"usage":{{"input_tokens":{}}}{}{}}})", 1 + pick(9),
                           pick(2) ? fmt::format(R"(,"model":"{}")", models[pick(5)]) : "",
                           pick(3) ? R"(,"timestamp":)" + when() : "") +
               "\n";
        break;
      case 7: line = token_count(when(), Usage{0, 0, 0, 0, 50}, total); break;
      case 8: line = R"({"timestamp":"2025-10-01T09:00:00.000Z","type":"turn_context","payload":{"cwd":"/w"}})" "\n"; break;
      case 9: line = token_count(when(), grow(), total); line.insert(line.size() - 1, "\r"); break;
      default:
        if (!text.empty()) line = text.substr(text.rfind('\n', text.size() - 2) + 1);  // a repeat
        break;
    }
    text += line;
  }
  if (pick(2)) text.pop_back();
  return text;
}

// Six stateful rollouts in `dir`, two of them spawned threads.
inline std::vector<std::filesystem::path> write_stateful_rollouts(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  for (unsigned seed = 0; seed < 6; ++seed) {
    files.push_back(dir / fmt::format("r{}.jsonl", seed));
    std::ofstream(files.back(), std::ios::binary) << stateful_rollout(seed, seed % 3 == 1);
  }
  return files;
}

}  // namespace qm::codex::testing
