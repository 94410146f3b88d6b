// The GitHub Copilot CLI reader over small OpenTelemetry export files.
#include "adapter/copilot/reader.h"

#include <gtest/gtest.h>

#include "kit/env.h"
#include "kit/reader.h"
#include "reader/files.h"

namespace qm::copilot {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table({{"gpt-4o", {.input = 1e-6, .output = 4e-6, .cache_creation = 2e-6, .cache_read = 1e-7}}});
}

// A call that stays, with its model's name.
struct Got {
  RecordKind kind;
  std::string model;
  std::int64_t time;
  reader::Counts counts;
  bool operator==(const Got&) const = default;
};

std::vector<Got> calls_of(ExportItems& items) {
  settle(items);
  std::vector<Got> out;
  for (const Call& c : items.calls) out.push_back(Got{c.kind, items.models[c.model], c.time_ms, c.counts});
  return out;
}

// The lines of `text` folded in parts that begin at the given lines.
std::vector<Got> parse(const std::string& text, std::int64_t file_time = 7, std::vector<std::size_t> cuts = {}) {
  json::StrictParser parser;
  std::vector<std::string> lines;
  reader::for_each_line(text, [&](std::string_view line) { lines.emplace_back(line); });
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(lines.size());
  ExportItems whole;
  for (std::size_t p = 0; p + 1 < cuts.size(); ++p) {
    ExportItems part;
    ExportFold fold(part, file_time);
    for (std::size_t i = cuts[p]; i < cuts[p + 1]; ++i) fold.line(reader::Text(lines[i]).view(), parser);
    append_part(whole, std::move(part));
  }
  return calls_of(whole);
}

// One model call told three times (span, inference event, agent turn) and an agent
// invocation whose model and session come from a later record of its trace.
const std::string kExport =
    R"({"type":"span","name":"chat gpt-4o","traceId":"t1","spanId":"s1","endTime":[1746093600,500000000],"attributes":{"gen_ai.operation.name":"chat","gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":1000,"gen_ai.usage.cache_read.input_tokens":800,"gen_ai.usage.output_tokens":50,"gen_ai.usage.reasoning.output_tokens":"20","gen_ai.usage.cache_creation.input_tokens":5,"gen_ai.conversation.id":"conv","session.id":"sess","gen_ai.response.id":"r1"}}
{"type":"log","traceId":"t1","spanId":"s2","body":"GenAI inference: gpt-4o","timestamp":1746093601,"attributes":{"gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":999}}
{"type":"log","traceId":"t9","timestamp":1746093602,"attributes":{"event.name":"copilot_chat.agent.turn","gen_ai.response.id":"r1","gen_ai.request.model":"gpt-4o","gen_ai.usage.output_tokens":3}}
no attributes here: {"type":"span"}
{"name":"invoke_agent helper","spanId":"s9","traceId":"t2","startTime":[1746093700,0],"attributes":{"gen_ai.usage.input_tokens":10,"gen_ai.usage.total_tokens":25}}
{"type":"log","traceId":"t2","attributes":{"gen_ai.response.model":"gpt-4o","gen_ai.request.model":"other","copilot_chat.session_id":"late"}}
)";

TEST(CopilotReader, TheMostSpecificRecordOfEachCallBecomesARow) {
  auto records = parse(kExport);
  ASSERT_EQ(records.size(), 2u);
  const auto& chat = records[0];
  EXPECT_EQ(chat.kind, RecordKind::ChatSpan);
  EXPECT_EQ(chat.time, 1746093600500);
  EXPECT_EQ(chat.counts.input, 200u);  // the reported input holds the 800 cached tokens
  EXPECT_EQ(chat.counts.cache_read, 800u);
  EXPECT_EQ(chat.counts.cache_creation, 5u);
  EXPECT_EQ(chat.counts.output, 50u);
  EXPECT_EQ(chat.counts.reasoning, 20u);
  const auto& agent = records[1];
  EXPECT_EQ(agent.kind, RecordKind::AgentInvocation);
  EXPECT_EQ(agent.model, "gpt-4o");  // the response model of a later record of the trace
  EXPECT_EQ(agent.counts.output, 15u);  // the total's shortfall, with no output to join
  EXPECT_EQ(agent.time, 1746093700000);
  // Read in parts cut anywhere, then put together: the same calls.
  for (std::size_t cut = 1; cut < 6; ++cut) EXPECT_EQ(parse(kExport, 7, {cut}), records) << cut;
  EXPECT_EQ(parse(kExport, 7, {1, 2, 3, 4, 5}), records);

  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("COPILOT_OTEL_FILE_EXPORTER_PATH");
  kit::write_file(home / ".copilot/otel/2025/a.jsonl", kExport);
  auto table = prices();
  auto got = load_copilot_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(got->detected);
  ASSERT_EQ(got->rows.size(), 1u);
  const UsageRow& row = got->rows[0];
  EXPECT_EQ(row.label, "2025-05-01");
  EXPECT_EQ(row.agent_id, "copilot");
  EXPECT_EQ(row.input, 210u);
  EXPECT_EQ(row.output, 65u);
  EXPECT_EQ(row.total, 210u + 65u + 5u + 800u + 20u);
  // The reasoning tokens are priced as output.
  EXPECT_DOUBLE_EQ(row.cost, 210 * 1e-6 + (65 + 20) * 4e-6 + 5 * 2e-6 + 800 * 1e-7);
}

// Lines that name neither token counts nor a model are not parsed; names spelt with escapes
// are the same names, and a file read in chunks gives what its text gives.
// A repeated key keeps its first value, whatever it holds; keys come in any order, and a nested
// object's members of the same names are not the record's.
TEST(CopilotReader, RepeatedKeysKeepTheirFirstValueInAnyOrder) {
  const std::string text =
      R"({"attributes":{"gen_ai.usage.output_tokens":7,"gen_ai.request.model":"gpt-4o","gen_ai.usage.output_tokens":9,"gen_ai.operation.name":"chat","nested":{"gen_ai.usage.input_tokens":100}},"name":"chat x","type":"span","type":"log","endTime":[1746093600,0],"endTime":[1,0],"traceId":"t5","attributes":{"gen_ai.usage.output_tokens":1000}})"
      "\n"
      R"({"type":"span","name":"chat y","traceId":"t6","endTime":[1746093601,0],"attributes":{"gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":"x","gen_ai.usage.input_tokens":50,"gen_ai.usage.output_tokens":4}})"
      "\n";
  const auto records = parse(text);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (Got{RecordKind::ChatSpan, "gpt-4o", 1746093600000, reader::Counts{0, 7, 0, 0, 0}}));
  EXPECT_EQ(records[1], (Got{RecordKind::ChatSpan, "gpt-4o", 1746093601000, reader::Counts{0, 4, 0, 0, 0}}));
}

TEST(CopilotReader, NamesSpeltWithEscapesCountAndChunksChangeNothing) {
  const std::string text =
      R"({"type":"span","name":"chat m","traceId":"t","attributes":{"gen_ai\u002eusage.input_tokens":5,"gen_ai.r\u0065quest.model":"gpt-4o"}})" "\n"
      R"({"type":"span","name":"chat m","traceId":"u","attributes":{"gen_ai.usage.input_tokens":7}})" "\r\n"
      R"({"type":"span","name":"execute_tool x","traceId":"u","attributes":{"gen_ai\u002Eresponse\u002emodel":"gpt-4o"}})" "\n"
      R"({"type":"span","name":"execute_tool y","traceId":"u","attributes":{"gen_ai.tool.name":"\u00e9\u001b"}})";
  auto got = parse(text);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].counts.input, 5u);
  EXPECT_EQ(got[0].model, "gpt-4o");
  EXPECT_EQ(got[1].counts.input, 7u);
  EXPECT_EQ(got[1].model, "gpt-4o");  // from the tool span of its trace
  EXPECT_FALSE(may_matter(R"({"attributes":{"gen_ai.tool.name":"\u00e9\u001b","gen_ai.operation.name":"x"}})"));

  kit::TempDir t;
  for (const std::string& file : {text, kExport}) {
    kit::write_file(t / "a.jsonl", file);
    for (std::size_t chunk : {1, 7, 1 << 18}) {
      ExportReader reader(chunk);
      auto items = reader.read(t / "a.jsonl", 7);
      ASSERT_TRUE(items) << items.error();
      EXPECT_EQ(calls_of(*items), parse(file)) << chunk;
    }
  }
}

TEST(CopilotReader, PrecedenceHoldsWithinOneFileOnly) {
  const std::string span =
      R"({"type":"span","name":"chat m","traceId":"t","spanId":"a","attributes":{"gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":1}})";
  const std::string event =
      R"({"type":"log","traceId":"t","spanId":"b","attributes":{"event.name":"gen_ai.client.inference.operation.details","gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":2}})";
  const std::string turn =  // neither trace nor response id shared: kept beside the span
      R"({"type":"log","traceId":"u","body":"copilot_chat.agent.turn done","attributes":{"turn.index":"3","gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":4}})";
  auto one = parse(span + "\n" + event + "\n" + turn + "\n");
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].counts.input, 1u);
  EXPECT_EQ(one[1].kind, RecordKind::AgentTurn);
  EXPECT_EQ(one[1].counts.input, 4u);
  EXPECT_EQ(parse(span + "\n" + event + "\n" + turn + "\n", 7, {1}), one);  // one file read in parts

  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("COPILOT_OTEL_FILE_EXPORTER_PATH");
  kit::write_file(home / ".copilot/otel/a.jsonl", span);
  kit::write_file(home / ".copilot/otel/b.jsonl", event);
  auto table = prices();
  auto got = load_copilot_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].input, 3u);
}

TEST(CopilotReader, LinesAndRecordsThatGiveNothing) {
  const std::string model = R"("gen_ai.request.model":"gpt-4o")";
  const std::string tokens = R"("gen_ai.usage.input_tokens":5)";
  const std::string cases[] = {
      // A log is no span, whatever it holds: not a chat span though named and marked as one.
      R"({"type":"log","spanId":"s","name":"chat x","attributes":{"gen_ai.operation.name":"chat",)" + model + "," + tokens + "}}",
      R"({"name":"chat x","attributes":{)" + model + "," + tokens + "}}",  // a name alone makes no span
      R"({"type":"span","name":"chat x","attributes":[)" + tokens + "]}",
      R"({"type":"span","name":"chat x","attributes":{)" + model + R"(,"gen_ai.usage.input_tokens":-5}})",
      R"({"type":"span","name":"chat x","attributes":{)" + tokens + "}}",  // no model in its trace
      R"({"type":"span","name":"invoke_agentx","attributes":{)" + model + "," + tokens + "}}",
      R"(["attributes"])",
      R"({"attributes":{)" + model + "," + tokens + "}",  // not JSON
  };
  for (const auto& line : cases) EXPECT_TRUE(parse(line + "\n").empty()) << line;
}

TEST(CopilotReader, TimesOfRecords) {
  struct Case {
    std::string time;  // members of the record
    std::int64_t ms;
  } cases[] = {
      {R"("timestamp":1746093600)", 1746093600000},
      {R"("timestamp":1746093600123)", 1746093600123},
      {R"("timestamp":"1746093600123456")", 1746093600123},
      {R"("timestamp":1746093600123456789)", 1746093600123},
      {R"("hrTime":["1746093600",2000000],"timestamp":1)", 1746093600002},
      {R"("time":[18446744073709551615,0],"observedTimestamp":5)", 5000},  // overflows: the next rule
      {R"("timeUnixNano":1746093600999999999)", 1746093600999},
      {R"("timeUnixNano":0)", 7},  // the file's time
      {R"("timestamp":"2025-05-01T00:00:00Z")", 7},
  };
  for (const auto& c : cases) {
    auto records = parse(R"({"type":"log","body":"GenAI inference: x",)" + c.time +
                         R"(,"attributes":{"gen_ai.request.model":"m","gen_ai.usage.input_tokens":1}})" "\n");
    ASSERT_EQ(records.size(), 1u) << c.time;
    EXPECT_EQ(records[0].time, c.ms) << c.time;
  }
}

TEST(CopilotReader, ExporterFileCountsOnceHoweverItIsReached) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string());
  auto table = prices();
  const std::string line =
      R"({"type":"span","name":"chat m","traceId":"t","spanId":"a","timestamp":1746093600,"attributes":{"gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":1}})" "\n";
  auto input = [&] { return kit::input_tokens(load_copilot_usage(kit::reader_options(), table)); };
  // The variable alone, without the walked directory.
  kit::write_file(home / "elsewhere/export.jsonl", line);
  env.set("COPILOT_OTEL_FILE_EXPORTER_PATH", "  " + (home / "elsewhere/export.jsonl").string() + " ");
  EXPECT_EQ(input(), 1u);
  // The exporter writes into the walked directory, named through another spelling or a link.
  kit::write_file(home / ".copilot/otel/export.jsonl", line);
  fs::create_symlink(home / ".copilot/otel/export.jsonl", home / "link.jsonl");
  for (const auto& named : {home / ".copilot/otel/export.jsonl", home / ".copilot/./otel/../otel/export.jsonl",
                            home / "link.jsonl"}) {
    env.set("COPILOT_OTEL_FILE_EXPORTER_PATH", named.string());
    EXPECT_EQ(input(), 1u) << named;
  }
  // A directory named by the variable, or a blank value, adds nothing.
  for (const auto& value : {(home / "elsewhere").string(), std::string("  ")}) {
    env.set("COPILOT_OTEL_FILE_EXPORTER_PATH", value);
    EXPECT_EQ(input(), 1u) << value;
  }
  kit::expect_agent_reported(home.path(), "copilot");  // its row of the agent table
  // A line that is not UTF-8 is passed over like any other the reader cannot use.
  kit::write_file(home / ".copilot/otel/bad.jsonl", "{\"attributes\":\"\xff\"}\n");
  EXPECT_EQ(input(), 1u);
  EXPECT_TRUE(load_copilot_usage(kit::reader_options(), table)->unread.empty());

  env.unset("COPILOT_OTEL_FILE_EXPORTER_PATH");
  kit::unset_home(env);
  auto none = load_copilot_usage(kit::reader_options(), table);
  ASSERT_TRUE(none) << none.error();
  EXPECT_FALSE(none->detected);
}

TEST(CopilotReader, OnlyTheModelsOwnNameIsPricedUnderEachCostMode) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("COPILOT_OTEL_FILE_EXPORTER_PATH");
  kit::write_file(home / ".copilot/otel/a.jsonl",
                  R"({"type":"span","name":"chat x","traceId":"t","spanId":"a","timestamp":1746093600,"attributes":{"gen_ai.request.model":"gpt-4o","gen_ai.usage.input_tokens":1000}}
{"type":"span","name":"chat x","traceId":"t","spanId":"b","timestamp":1746093600,"attributes":{"gen_ai.request.model":"nowhere","gen_ai.usage.input_tokens":1}}
)");
  auto table = prices();
  kit::expect_computed_cost_modes([&](CostMode mode) { return load_copilot_usage(kit::reader_options(mode), table); }, 1000 * 1e-6);
}

// A file cut anywhere, read by several workers, gives what one worker reading it whole
// gives: traces whose model, or more specific record, comes parts later; ids met on both sides
// of a cut; and the precedence still kept within each file.
TEST(CopilotReader, FilesReadInPartsGiveWhatTheyGiveWhole) {
  auto record = [](std::string_view head, std::string_view trace, std::string_view attributes, int second) {
    return "{" + std::string(head) + R"(,"traceId":")" + std::string(trace) + R"(","endTime":[)" +
           std::to_string(1746093600 + second * 7200) + R"(,5000000],"attributes":{)" + std::string(attributes) + "}}\n";
  };
  const std::string chat = R"("type":"span","name":"chat m")", event = R"("type":"log","body":"GenAI inference: m")",
                    turn = R"("type":"log","body":"copilot_chat.agent.turn")", agent = R"("type":"span","name":"invoke_agent a")",
                    tool = R"("type":"span","name":"execute_tool t")";
  auto tokens = [](int n) { return R"("gen_ai.usage.input_tokens":)" + std::to_string(n) + R"(,"gen_ai.usage.output_tokens":3)"; };
  const std::string model = R"("gen_ai.request.model":"gpt-4o")";
  std::string a = record(agent, "t1", tokens(10), 0) +                                         // its model comes last
                  record(event, "t9", tokens(11) + "," + model + R"(,"gen_ai.response.id":"r9")", 1) +  // a chat span has r9 later
                  record(tool, "t4", R"("gen_ai.response.model":"nowhere")", 2) +             // t4's model, named first
                  record(chat, "t2", tokens(12) + "," + model + R"(,"gen_ai.response.id":"r1")", 3);
  for (int i = 0; i < 6; ++i) a += record(tool, "t" + std::to_string(20 + i), R"("gen_ai.tool.name":"read")", i);
  a += record(event, "t2", tokens(13) + "," + model, 4) +                                     // under t2's chat span
       record(turn, "t3", tokens(14) + "," + model + R"(,"gen_ai.response.id":"r1")", 5) +   // shares r1 with it
       record(chat, "t4", tokens(15), 6) +                                                    // takes t4's model
       record(chat, "t5", tokens(16), 7) +                                                    // t5 names no model
       record(chat, "t9", tokens(17) + "," + model + R"(,"gen_ai.response.id":"r9")", 8) +
       record(tool, "t1", R"("gen_ai.response.model":"gpt-4o","gen_ai.request.model":"other")", 9) +
       record(tool, "t1", R"("gen_ai.request.model":"other")", 10);  // t1 named gpt-4o first
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).unset("COPILOT_OTEL_FILE_EXPORTER_PATH");
  kit::write_file(home / ".copilot/otel/a.jsonl", a);
  kit::write_file(home / ".copilot/otel/b.jsonl", record(event, "t2", tokens(19) + "," + model, 1));  // another file's t2
  auto table = prices();
  kit::expect_parts_read_as_whole([&](const all::loader::LoadOptions& options, const parallel::PartSizes& sizes) {
    return load_copilot_usage(options, table, sizes);
  });
  EXPECT_EQ(kit::input_tokens(load_copilot_usage(kit::reader_options(), table)), 10u + 12 + 15 + 17 + 19);
}

}  // namespace
}  // namespace qm::copilot
