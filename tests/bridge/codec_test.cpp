#include "PelloxShared/Codec.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "PelloxShared/Envelope.h"
#include "PelloxShared/JSONDocument.h"
#include "PelloxShared/JSONValue.h"

namespace pellox {
namespace {

using namespace std::string_literals;
using Answers = std::map<std::string, std::string>;

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JSONText, NumbersKeepTheirKindAndForm) {
  struct Case {
    const char* in;
    const char* out;
    bool integer;
  } cases[] = {
      {"42", "42", true},
      {"-7", "-7", true},
      {"9223372036854775807", "9223372036854775807", true},
      {"-9223372036854775808", "-9223372036854775808", true},
      // Past the signed 64-bit range an integer becomes a double.
      {"9223372036854775808", "9.223372036854776e+18", false},
      {"18446744073709551616", "1.8446744073709552e+19", false},
      {"-9223372036854775809", "-9.223372036854776e+18", false},
      {"1.5", "1.5", false},
      {"0.1", "0.1", false},
      // A whole number written with a fraction or exponent stays a double.
      {"2.0", "2.0", false},
      {"1e3", "1000.0", false},
      {"-0.0", "-0.0", false},
  };
  for (const auto& c : cases) {
    const JSONValue value = readJSON(c.in);
    EXPECT_EQ(value.intValue() != nullptr, c.integer) << c.in;
    EXPECT_EQ(value.doubleValue() != nullptr, !c.integer) << c.in;
    EXPECT_EQ(writeJSON(value), c.out) << c.in;
  }
}

TEST(JSONText, WritesCompactSortedAndUnescapedSlashes) {
  const JSONValue value =
      readJSON(R"( { "z" : [ 1 , true , null ] , "B" : "a/b\u00e9\n\u0001" , "a" : {"y":{},"x":[]} } )");
  EXPECT_EQ(writeJSON(value), "{\"B\":\"a/b\xC3\xA9\\n\\u0001\",\"a\":{\"x\":[],\"y\":{}},\"z\":[1,true,null]}");
}

TEST(JSONText, RefusesWhatIsNotOneJSONValue) {
  const std::string refused[] = {
      "",
      "   ",
      "{",
      "{} {}",
      "[1,]",
      "{'a':1}",
      "NaN",
      "1e400",        // not representable
      "\"\xFF\"",     // not UTF-8
      "\"\\ud800\"",  // lone surrogate
      nested(513),
      nested(100000),  // must fail, not overflow the stack
      "{\"a\":" + nested(512) + "}",
      // A raw NUL byte is no part of JSON text, wherever it stands.
      "{\"version\":1}\0"s,
      "{\"version\":1}\0 x"s,
      "\0{}"s,
      "[1,\0 2]"s,
      "\"a\0b\""s,
      "\xEF\xBB{}",  // half a byte order mark
      "01",
      "1.",
      "-",
      ".5",
      "+1",
      "1e",
      "tru",
      "\"\\x\"",
      "\"\\u12G4\"",
      "\"\\udc00\"",
      "\"\\ud800\\u0041\"",
      "\"\xC0\xAF\"",          // overlong
      "\"\xED\xA0\x80\"",      // surrogate in UTF-8
      "\"\xF4\x90\x80\x80\"",  // past U+10FFFF
      "\"\xE2\x82\"",          // cut short
      "{\"a\" 1}",
      "{1:2}",
      "[1 2]",
      "{\"a\":1,}",
  };
  for (const auto& text : refused) {
    EXPECT_THROW(readJSON(text), DecodingError) << text.substr(0, 40);
    EXPECT_THROW(JSONDocument::read(text), DecodingError) << text.substr(0, 40);
  }
  EXPECT_NO_THROW(readJSON(nested(512)));
  EXPECT_NO_THROW(JSONDocument::read(nested(512)));
}

TEST(JSONText, RepeatedKeyKeepsTheLastValue) { EXPECT_EQ(writeJSON(readJSON(R"({"a":1,"a":2})")), R"({"a":2})"); }

TEST(JSONText, WriterRefusesWhatJSONCannotHold) {
  EXPECT_THROW(writeJSON(JSONValue(std::numeric_limits<double>::quiet_NaN())), EncodingError);
  EXPECT_THROW(writeJSON(JSONValue(std::numeric_limits<double>::infinity())), EncodingError);
  EXPECT_THROW(writeJSON(JSONValue(std::string("\xFF"))), EncodingError);
}

TEST(JSONValueModel, EqualityIsByCaseAndValue) {
  EXPECT_NE(JSONValue(1), JSONValue(1.0));
  EXPECT_EQ(JSONValue(0.0), JSONValue(-0.0));
  EXPECT_EQ(readJSON(R"({"a":1,"b":[true]})"), readJSON(R"({"b":[true],"a":1})"));
  EXPECT_NE(readJSON(R"({"a":1})"), readJSON(R"({"a":1,"b":null})"));
  const JSONValue object = readJSON(R"({"s":"x","n":null})");
  ASSERT_NE(object["s"], nullptr);
  EXPECT_EQ(*object["s"]->stringValue(), "x");
  EXPECT_TRUE(object["n"]->isNull());
  EXPECT_EQ(object["missing"], nullptr);
  EXPECT_EQ(JSONValue("x")["s"], nullptr);
}

TEST(RequestLine, ExactBytes) {
  const JSONValue payload = readJSON(R"({"tool_name":"Bash","hook_event_name":"PermissionRequest","session_id":"s1",)"
                                     R"("tool_input":{"command":"cat /etc/hosts","z":1,"a":[1.5,true,null]}})");
  const Envelope withPid{.source = "claude", .expectsResponse = true, .hookParentPid = 4242, .payload = payload};
  EXPECT_EQ(PelloxCodec::encodeLine(withPid),
            R"({"expectsResponse":true,"hookParentPid":4242,"payload":{"hook_event_name":"PermissionRequest",)"
            R"("session_id":"s1","tool_input":{"a":[1.5,true,null],"command":"cat /etc/hosts","z":1},)"
            R"("tool_name":"Bash"},"source":"claude","version":1})"
            "\n");

  const Envelope withoutPid{.source = "codex", .expectsResponse = false, .payload = JSONValue::Object{}};
  EXPECT_EQ(PelloxCodec::encodeLine(withoutPid),
            "{\"expectsResponse\":false,\"payload\":{},\"source\":\"codex\",\"version\":1}\n");
}

TEST(RequestLine, ReadsBackForTheListener) {
  const Envelope sent{.source = "codex", .expectsResponse = true, .hookParentPid = -1, .payload = readJSON("[1]")};
  auto line = PelloxCodec::encodeLine(sent);
  line.pop_back();
  EXPECT_EQ(PelloxCodec::decode<Envelope>(line), sent);

  const auto nullPid = PelloxCodec::decode<Envelope>(
      R"({"expectsResponse":false,"hookParentPid":null,"payload":null,"source":"x","version":7})");
  EXPECT_FALSE(nullPid.hookParentPid);
  EXPECT_TRUE(nullPid.payload.isNull());
  EXPECT_EQ(nullPid.version, 7);
  EXPECT_EQ(nullPid.provider(), AgentProvider::claude);

  const char* refused[] = {
      R"({"expectsResponse":false,"hookParentPid":2147483648,"payload":{},"source":"claude","version":1})",
      R"({"expectsResponse":false,"hookParentPid":1.0,"payload":{},"source":"claude","version":1})",
      R"({"expectsResponse":false,"source":"claude","version":1})",
      R"({"expectsResponse":"no","payload":{},"source":"claude","version":1})",
      R"({"expectsResponse":false,"payload":{},"source":"claude","version":1.9})",
  };
  for (const char* text : refused) EXPECT_THROW(PelloxCodec::decode<Envelope>(text), DecodingError) << text;
}

TEST(ReplyLine, DecoderAcceptsOnlyWellFormedReplies) {
  using B = PermissionDecision::Behavior;
  struct Case {
    const char* text;
    Response want;
  } accepted[] = {
      {R"({"version":1})", {}},
      {R"({"version":5,"decision":null,"answers":null,"extra":[1]})", {.version = 5}},
      {R"({"version":1,"decision":{"behavior":"allow","interrupt":false}})", {.decision = PermissionDecision::allow()}},
      {R"({"version":1,"decision":{"behavior":"deny","message":"no","interrupt":true}})",
       {.decision = PermissionDecision::deny("no", true)}},
      {R"({"version":1,"decision":{"behavior":"deny","message":null,"interrupt":false}})",
       {.decision = PermissionDecision{B::deny, std::nullopt, false}}},
      {R"({"version":1,"answers":{"Which?":"A","Why?":""}})", {.answers = Answers{{"Which?", "A"}, {"Why?", ""}}}},
      {R"({"version":1,"answers":{}})", {.answers = Answers{}}},
  };
  for (const auto& c : accepted) {
    EXPECT_EQ(PelloxCodec::decode<Response>(c.text), c.want) << c.text;
  }

  const char* refused[] = {
      R"({})",
      R"({"decision":{"behavior":"allow","interrupt":false}})",
      R"({"version":"1"})",
      R"({"version":1.0})",
      R"({"version":18446744073709551615})",
      R"({"version":1,"decision":{"behavior":"allow"}})",
      R"({"version":1,"decision":{"behavior":"Allow","interrupt":false}})",
      R"({"version":1,"decision":{"behavior":"ask","interrupt":false}})",
      R"({"version":1,"decision":{"behavior":"deny","interrupt":1}})",
      R"({"version":1,"decision":{"behavior":"deny","message":5,"interrupt":true}})",
      R"({"version":1,"decision":"allow"})",
      R"({"version":1,"answers":{"Which?":1}})",
      R"({"version":1,"answers":["A"]})",
      R"([{"version":1}])",
  };
  for (const char* text : refused) {
    EXPECT_THROW(PelloxCodec::decode<Response>(text), DecodingError) << text;
  }
}

TEST(ReplyLine, WrittenFormReadsBack) {
  const Response reply{.version = 1,
                       .decision = PermissionDecision::deny("rm -rf / is not allowed", false),
                       .answers = Answers{{"q", "a"}}};
  EXPECT_EQ(
      PelloxCodec::encode(reply),
      R"({"answers":{"q":"a"},"decision":{"behavior":"deny","interrupt":false,"message":"rm -rf / is not allowed"},"version":1})");
  EXPECT_EQ(PelloxCodec::decode<Response>(PelloxCodec::encode(reply)), reply);
}

TEST(HookPayloadView, GettersReadOnlyTheirOwnType) {
  const HookPayload overArray{readJSON(R"([{"session_id":"s","tool_name":"AskUserQuestion"}])")};
  EXPECT_EQ(overArray.sessionId(), "unknown");
  EXPECT_FALSE(overArray.eventName());
  EXPECT_FALSE(overArray.toolName());
  EXPECT_FALSE(overArray.toolInput());
  EXPECT_FALSE(overArray.isAskUserQuestion());
  EXPECT_FALSE(overArray.isCodexUserInputTool());

  const HookPayload event{
      readJSON(R"({"session_id":7,"hook_event_name":"permissionrequest","tool_name":"request_user_input",)"
               R"("tool_input":"ls","cwd":"/w","prompt":null})")};
  EXPECT_EQ(event.sessionId(), "unknown");
  EXPECT_EQ(event.eventName(), "permissionrequest");
  EXPECT_FALSE(event.event());
  EXPECT_TRUE(event.isCodexUserInputTool());
  EXPECT_EQ(event.toolInput(), JSONValue("ls"));
  EXPECT_EQ(event.cwd(), "/w");
  EXPECT_FALSE(event.prompt());
}

TEST(Names, EventsAndProvidersMatchExactly) {
  for (HookEvent event : allHookEvents) EXPECT_EQ(hookEventFromRawValue(rawValue(event)), event);
  EXPECT_EQ(rawValue(HookEvent::subagentStart), "SubagentStart");
  EXPECT_FALSE(hookEventFromRawValue("permissionRequest"));

  EXPECT_EQ(agentProviderFromSource("codex"), AgentProvider::codex);
  EXPECT_EQ(agentProviderFromSource("Codex"), AgentProvider::claude);
  EXPECT_EQ(agentProviderFromSource(std::nullopt), AgentProvider::claude);
  EXPECT_FALSE(agentProviderFromRawValue("Claude"));
  EXPECT_EQ(displayName(AgentProvider::codex), "Codex");
  EXPECT_EQ(PelloxCodec::encode(AgentProvider::codex), "\"codex\"");
  EXPECT_EQ(PelloxCodec::decode<AgentProvider>("\"claude\""), AgentProvider::claude);
  EXPECT_THROW(PelloxCodec::decode<AgentProvider>("\"gemini\""), DecodingError);
}

}  // namespace
}  // namespace pellox
