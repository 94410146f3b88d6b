// The Droid reader over small settings files and transcripts.
#include "adapter/droid/reader.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <thread>

#include "adapter/droid/model.h"
#include "adapter/droid/transcript.h"
#include "json/parser.h"
#include "kit/env.h"
#include "kit/reader.h"

namespace qm::droid {
namespace {

namespace fs = std::filesystem;

pricing::PricingTable prices() {
  return kit::price_table({{"claude-sonnet-4-5", {}},  // priced at 0: the next name is tried
                           {"anthropic/claude-sonnet-4-5", {.input = 1e-6, .output = 2e-6}}});
}

std::string settings(const std::string& usage, const std::string& rest) {
  return R"({"tokenUsage":)" + usage + rest + "}";
}

TEST(DroidModels, NamesProvidersAndPriceNames) {
  std::pair<std::string, std::string> names[] = {
      {"custom:Claude Sonnet 4.5 [1M]", "claude-sonnet-4-5"},
      {"  GPT-5.1  ", "gpt-5-1"},
      {"[only brackets]", ""},
      {"a]b [x[y]z] c..--d-", "ab-c-d"},
      {"Ünïcode\u3000Model", "ünïcode-model"},
      {"custom:custom:x", "custom:x"},
      {"ΟΔΟΣ Σ.Α", "οδος-σ-α"},  // a sigma that ends a word takes the final form
      {"İSTANBUL", "i\u0307stanbul"},   // the dotted capital I keeps its dot
  };
  for (const auto& [in, out] : names) EXPECT_EQ(normalize_model_name(in), out) << in;

  std::pair<std::string, std::string> providers[] = {
      {"Google-AI", "google"}, {"x-ai", "xai"}, {"Claude", "anthropic"}, {"Mistral", "mistral"}, {"Open-Router", "open_router"}};
  for (const auto& [in, out] : providers) EXPECT_EQ(normalize_provider(in), out) << in;

  std::pair<std::string, std::string> inferred[] = {
      {"opus-4", "anthropic"}, {"my-gpt-x", "openai"}, {"o3-mini", "openai"}, {"ollama", "unknown"},
      {"gemini-2", "google"},  {"grok-4", "xai"},      {"o", "unknown"}};
  for (const auto& [in, out] : inferred) EXPECT_EQ(infer_provider(in), out) << in;
  EXPECT_EQ(unknown_model_for_provider("google"), "gemini-unknown");
  EXPECT_EQ(unknown_model_for_provider("mistral"), "unknown");

  using Names = std::vector<std::string>;
  EXPECT_EQ(resolve_model("m", "mistral"), (Names{"m", "mistral/m", "openrouter/mistral/m"}));
  EXPECT_EQ(resolve_model("m", "xai"), (Names{"m", "xai/m", "openrouter/x-ai/m"}));
  EXPECT_EQ(resolve_model("m", "google"), (Names{"m", "google/m", "vertex_ai/m", "openrouter/google/m"}));
  EXPECT_EQ(resolve_model("unknown", "unknown"), (Names{"unknown"}));
}

TEST(DroidModels, TheTranscriptsFirstFiveHundredLines) {
  EXPECT_EQ(transcript_model("x\nModel: [none]\nsay \"Model: GPT-5.1 [high]\"\r\nModel: later\n"), "gpt-5-1");
  EXPECT_EQ(transcript_model("Model: \"quoted\"\nModel:  \\\n"), std::nullopt);
  std::string late(500, '\n');
  EXPECT_EQ(transcript_model(late + "Model: m\n"), std::nullopt);
  EXPECT_EQ(transcript_model(late.substr(1) + "Model: m\n"), "m");
  EXPECT_EQ(transcript_model(late.substr(1) + "Model: m"), "m");  // a last line without a line feed
  EXPECT_EQ(transcript_model("Model: m\r"), "m");
  // A byte that is not UTF-8 costs its line only, wherever it lies in the line.
  EXPECT_EQ(transcript_model("Model: a \"\xff\"\nModel: b\n"), "b");
  EXPECT_EQ(transcript_model("Model: a\n\xff\n"), "a");
  EXPECT_EQ(transcript_model("Model: caf\xc3\n"), std::nullopt);  // cut inside a character
  EXPECT_EQ(transcript_model("Model: " + std::string(70'000, 'x') + "\nModel: b\n"), "b");  // no name is that long
}

TEST(DroidModels, ATranscriptInPiecesCutAnywhereGivesWhatTheWholeGives) {
  std::string late(499, '\n');
  const std::string texts[] = {
      "x\nModel: [none]\nsay \"Model: GPT-5.1 [high]\"\r\nModel: later\n",
      "Model: caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 [x]\n",
      "Model: caf\xc3\xa9 \xe2\x82 \nModel: b\n",
      "Model: a\r\r\nModel: b",
      "ModModel:el: x\n",
      "a Model: \x80x\nModel:\t y \\z\n",
      late + "Model: m",
      late + "\nModel: m",
  };
  for (const auto& text : texts) {
    const auto whole = transcript_model(text);
    for (std::size_t size : {1, 2, 3, 5, 7}) {
      TranscriptScan scan;
      for (std::size_t at = 0; at < text.size(); at += size)
        if (!scan.feed(std::string_view(text).substr(at, size))) break;
      EXPECT_EQ(scan.finish(), whole) << text << " in pieces of " << size;
    }
  }
  EXPECT_EQ(transcript_model(texts[1]), "café-€-😀");
  EXPECT_EQ(transcript_model(texts[2]), "b");
  EXPECT_EQ(transcript_model(texts[3]), "a");
  EXPECT_EQ(transcript_model(texts[4]), "el:-x");
  EXPECT_EQ(transcript_model(texts[5]), "y");
}

// A settings file without a model, whose transcript is `make_transcript(path)`'s.
std::string model_with_transcript(const std::function<void(const fs::path&)>& make_transcript) {
  kit::TempDir t;
  kit::write_file(t / "s.settings.json", settings(R"({"inputTokens":1})", R"(,"providerLock":"anthropic")"));
  make_transcript(t / "s.jsonl");
  json::StrictParser parser;
  auto s = read_settings(t / "s.settings.json", parser);
  return s && *s ? (*s)->model : "no session";
}

TEST(DroidReader, TranscriptsAreReadLineByLineAndOnlyWhenRegularFiles) {
  // One bad byte far below the lines looked at keeps the model of line 1.
  std::string text = "Model: claude-sonnet-4-5 [1M]\n";
  for (int line = 2; line < 1002; ++line) text += "{\"n\":" + std::to_string(line) + "}\n";
  text += "{\"n\":\"\xff\"}\n{}\n";
  EXPECT_EQ(model_with_transcript([&](const fs::path& p) { kit::write_file(p, text); }), "claude-sonnet-4-5");
  // Neither a device that never ends nor a directory is read; the provider's placeholder.
  EXPECT_EQ(model_with_transcript([](const fs::path& p) { fs::create_symlink("/dev/zero", p); }), "claude-unknown");
  EXPECT_EQ(model_with_transcript([](const fs::path& p) { fs::create_directory(p); }), "claude-unknown");
  // A link to a regular file is followed.
  EXPECT_EQ(model_with_transcript([](const fs::path& p) {
              kit::write_file(p.string() + ".real", "Model: GPT-5\n");
              fs::create_symlink(p.string() + ".real", p);
            }),
            "gpt-5");
}

TEST(DroidReader, ATranscriptThatIsAFifoIsNotWaitedOn) {
  kit::TempDir t;
  ASSERT_EQ(::mkfifo((t / "s.jsonl").c_str(), 0600), 0);
  kit::write_file(t / "s.settings.json", settings(R"({"inputTokens":1})", R"(,"providerLock":"anthropic")"));
  // A writer that answers any reader that waits on the FIFO: waiting, the model would be its.
  std::atomic<bool> done = false;
  std::thread writer([&] {
    while (!done) {
      int fd = ::open((t / "s.jsonl").c_str(), O_WRONLY | O_NONBLOCK);  // fails while nobody reads
      if (fd >= 0) {
        (void)!::write(fd, "Model: gpt-5\n", 13);
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  json::StrictParser parser;
  auto s = read_settings(t / "s.settings.json", parser);
  done = true;
  writer.join();
  ASSERT_TRUE(s && *s);
  EXPECT_EQ((*s)->model, "claude-unknown");
}

TEST(DroidReader, TheNewestSettingsOfASessionWin) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("DROID_SESSIONS_DIR", (t / "a").string() + "," + (t / "b").string());
  const std::string lock = R"(,"model":"custom:Claude Sonnet 4.5 [1M]","providerLock":"anthropic","providerLockTimestamp":)";
  kit::write_file(t / "b/abc.settings.json",
                  settings(R"({"inputTokens":10,"outputTokens":20,"totalTokens":100})", lock + "\"2025-02-01T11:00:00Z\""));
  kit::write_file(t / "a/p/abc.settings.json", settings(R"({"inputTokens":999})", lock + "\"2025-02-01T10:00:00Z\""));
  kit::write_file(t / "a/p/abc.jsonl", "not read: the settings name the model");
  kit::write_file(t / "a/p/other.json", settings(R"({"inputTokens":5})", ""));  // not a settings file

  auto table = prices();
  for (CostMode mode : {CostMode::Auto, CostMode::Display}) {  // the cost is computed in every mode
    auto got = load_droid_usage(kit::reader_options(mode), table);
    ASSERT_TRUE(got) << got.error();
    ASSERT_EQ(got->rows.size(), 1u);
    const UsageRow& row = got->rows[0];
    EXPECT_EQ(row.agent_id, "droid");
    EXPECT_EQ(row.input, 10u);
    EXPECT_EQ(row.total, 100u);  // 70 reasoning tokens, priced as output
    ASSERT_EQ(row.model_usages.size(), 1u);
    EXPECT_EQ(row.model_usages[0].model, "claude-sonnet-4-5");
    EXPECT_EQ(row.model_usages[0].reasoning, 70u);
    EXPECT_DOUBLE_EQ(row.cost, 10 * 1e-6 + 90 * 2e-6);
    EXPECT_FALSE(row.model_usages[0].unpriced);
  }
}

TEST(DroidReader, SessionsCountNewestFirst) {
  kit::TempDir t;
  kit::EnvGuard env;
  env.set("DROID_SESSIONS_DIR", t.path().string());
  // Two unpriced models of one day: equal costs keep the order in which the records came.
  kit::write_file(t / "a.settings.json",
                  settings(R"({"inputTokens":1})", R"(,"model":"older","providerLockTimestamp":"2025-02-01T09:00:00Z")"));
  kit::write_file(t / "b.settings.json",
                  settings(R"({"inputTokens":1})", R"(,"model":"newer","providerLockTimestamp":"2025-02-01T10:00:00Z")"));
  auto table = prices();
  auto got = load_droid_usage(kit::reader_options(), table);
  ASSERT_TRUE(got) << got.error();
  ASSERT_EQ(got->rows.size(), 1u);
  EXPECT_EQ(got->rows[0].models, (std::vector<std::string>{"newer", "older"}));
}

TEST(DroidReader, OneSettingsFile) {
  kit::TempDir t;
  json::StrictParser parser;
  auto read = [&](const std::string& name, const std::string& text) {
    kit::write_file(t / name, text);
    return read_settings(t / name, parser);
  };
  // No lock time: the file's modification time; no model: the transcript's, beside it.
  kit::write_file(t / "s1.jsonl", "{}\n{\"text\":\"Model: GPT-5.1 [high]\"}\n");
  kit::write_file(t / "s1.settings.json", settings(R"({"inputTokens":1})", ""));
  timespec times[2] = {{0, UTIME_OMIT}, {1'738'400'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (t / "s1.settings.json").c_str(), times, 0), 0);
  auto s1 = read_settings(t / "s1.settings.json", parser);
  ASSERT_TRUE(s1 && *s1);
  EXPECT_EQ((*s1)->session_id, "s1");
  EXPECT_EQ((*s1)->timestamp, 1'738'400'000'000);
  EXPECT_EQ((*s1)->model, "gpt-5-1");
  EXPECT_EQ((*s1)->provider, "openai");  // inferred from the model

  auto s2 = read("s2.settings.json", settings(R"({"inputTokens":1})", R"(,"model":"[x]","providerLock":"Google-AI")"));
  EXPECT_EQ((*s2)->model, "gemini-unknown");
  auto s3 = read("s3.settings.json", settings(R"({"inputTokens":1})", ""));  // no transcript either
  EXPECT_EQ((*s3)->model, "unknown");
  EXPECT_EQ((*s3)->provider, "unknown");

  for (auto text : {"[1]", R"({"tokenUsage":[]})", R"({"tokenUsage":{"inputTokens":0,"outputTokens":-4}})", "{}"})
    EXPECT_EQ(read("p.settings.json", text), std::nullopt) << text;
  EXPECT_EQ(read_settings(t / "gone.settings.json", parser), std::nullopt);  // vanished since the walk
  auto bad = read("bad.settings.json", "{\"tokenUsage\":");
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().starts_with("not valid JSON: ")) << bad.error();
  EXPECT_EQ(read("u.settings.json", "{\"m\":\"\xff\"}").error(), "not valid UTF-8");
}

TEST(DroidReader, AModificationTimeBeyondTheRangeSaturates) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  kit::EnvGuard env;
  env.set("TMPDIR", "/dev/shm");  // tmpfs keeps times that ext4 would clamp
  kit::TempDir t;
  kit::write_file(t / "s.settings.json", settings(R"({"inputTokens":1})", R"(,"model":"m")"));
  timespec times[2] = {{0, UTIME_OMIT}, {9'300'000'000'000'000, 0}};  // beyond 2^63 milliseconds
  ASSERT_EQ(::utimensat(AT_FDCWD, (t / "s.settings.json").c_str(), times, 0), 0);
  struct stat st;
  ASSERT_EQ(::stat((t / "s.settings.json").c_str(), &st), 0);
  if (st.st_mtim.tv_sec != times[1].tv_sec) GTEST_SKIP() << "the file system clamps the time";
  json::StrictParser parser;
  auto s = read_settings(t / "s.settings.json", parser);
  ASSERT_TRUE(s && *s);
  EXPECT_EQ((*s)->timestamp, std::numeric_limits<std::int64_t>::max());
}

TEST(DroidReader, SessionsDirectories) {
  kit::TempDir home;
  kit::EnvGuard env;
  env.set("HOME", home.path().string()).set("DROID_SESSIONS_DIR", " , ");  // names nothing
  kit::write_file(home / ".factory/sessions/p/s.settings.json",
                  settings(R"({"inputTokens":1})", R"(,"model":"m","providerLockTimestamp":"2025-02-01T10:00:00Z")"));
  auto table = prices();
  auto none = load_droid_usage(kit::reader_options(), table);
  ASSERT_TRUE(none) << none.error();
  EXPECT_FALSE(none->detected);
  env.unset("DROID_SESSIONS_DIR");
  EXPECT_TRUE(load_droid_usage(kit::reader_options(), table)->detected);
  kit::expect_agent_reported(home.path(), "droid");
  // A settings file that is not JSON costs its own session only, and is said.
  kit::write_file(home / ".factory/sessions/p/t.settings.json", "nope");
  auto one_bad = load_droid_usage(kit::reader_options(), table);
  ASSERT_TRUE(one_bad) << one_bad.error();
  EXPECT_EQ(kit::input_tokens(one_bad), 1u);
  EXPECT_EQ(one_bad->unread.count, 1u);
  EXPECT_EQ(one_bad->unread.first_path, (home / ".factory/sessions/p/t.settings.json").string());
  EXPECT_TRUE(one_bad->unread.first_reason.starts_with("not valid JSON: ")) << one_bad->unread.first_reason;
  kit::unset_home(env);
  EXPECT_EQ(load_droid_usage(kit::reader_options(), table).error(), "home directory is not set");
}

}  // namespace
}  // namespace qm::droid
