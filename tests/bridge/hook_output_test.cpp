#include <gtest/gtest.h>

#include <string>

#include "PelloxShared/BridgeClient.h"
#include "PelloxShared/Codec.h"
#include "PelloxShared/Envelope.h"
#include "PelloxShared/JSONValue.h"

namespace pellox {
namespace {

TEST(NeedsResponse, OnlyDecisionsAndClaudeQuestions) {
  struct Case {
    const char* payload;
    AgentProvider provider;
    bool want;
  } cases[] = {
      {R"({"hook_event_name":"PermissionRequest"})", AgentProvider::claude, true},
      {R"({"hook_event_name":"PermissionRequest"})", AgentProvider::codex, true},
      {R"({"hook_event_name":"PreToolUse","tool_name":"AskUserQuestion"})", AgentProvider::claude, true},
      {R"({"hook_event_name":"PreToolUse","tool_name":"AskUserQuestion"})", AgentProvider::codex, false},
      {R"({"hook_event_name":"PreToolUse","tool_name":"Bash"})", AgentProvider::claude, false},
      {R"({"hook_event_name":"PreToolUse","tool_name":"request_user_input"})", AgentProvider::codex, false},
      {R"({"hook_event_name":"PreToolUse"})", AgentProvider::claude, false},
      {R"({"hook_event_name":"PostToolUse","tool_name":"AskUserQuestion"})", AgentProvider::claude, false},
      {R"({"hook_event_name":"SessionStart"})", AgentProvider::claude, false},
      {R"({"hook_event_name":"permissionrequest"})", AgentProvider::claude, false},
      {R"({"hook_event_name":["PermissionRequest"]})", AgentProvider::claude, false},
      {R"({"tool_name":"AskUserQuestion"})", AgentProvider::claude, false},
      {R"({})", AgentProvider::claude, false},
      {R"(["PermissionRequest"])", AgentProvider::claude, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Envelope::needsResponse(HookPayload{readJSON(c.payload)}, c.provider), c.want)
        << c.payload << " " << rawValue(c.provider);
  }
}

TEST(PermissionOutput, DecisionFormPerAgent) {
  const std::string head = R"({"hookSpecificOutput":{"decision":)";
  const std::string tail = R"(,"hookEventName":"PermissionRequest"}})";
  using B = PermissionDecision::Behavior;
  struct Case {
    const char* name;
    B behavior;
    const char* message;  // null: none
    bool interrupt;
    AgentProvider provider;
    const char* want;
  } cases[] = {
      {"allow never carries message or interrupt", B::allow, "fine", true, AgentProvider::claude,
       R"({"behavior":"allow"})"},
      {"deny with an empty message", B::deny, "", false, AgentProvider::claude, R"({"behavior":"deny"})"},
      {"claude deny with interrupt", B::deny, "Not in /etc", true, AgentProvider::claude,
       R"({"behavior":"deny","interrupt":true,"message":"Not in /etc"})"},
      {"codex deny never interrupts", B::deny, "no", true, AgentProvider::codex,
       R"({"behavior":"deny","message":"no"})"},
      {"deny without message or interrupt", B::deny, nullptr, false, AgentProvider::codex, R"({"behavior":"deny"})"},
  };
  for (const auto& c : cases) {
    PermissionDecision decision{c.behavior, std::nullopt, c.interrupt};
    if (c.message != nullptr) decision.message = c.message;
    const Response reply{.decision = decision, .answers = std::map<std::string, std::string>{{"q", "a"}}};
    EXPECT_EQ(HookOutput::permissionOutput(reply, c.provider), head + c.want + tail) << c.name;
  }
  EXPECT_FALSE(HookOutput::permissionOutput(Response{}, AgentProvider::claude));
}

TEST(QuestionOutput, AnswersReplaceTheToolInputs) {
  const Response reply{.decision = PermissionDecision::deny("ignored", true),
                       .answers = std::map<std::string, std::string>{{"Which colour?", "Blue"}, {"Path?", "/a/b"}}};
  const JSONValue toolInput = readJSON(R"({"questions":[{"question":"Which colour?"}],"answers":{"old":"x"},"b":1})");
  EXPECT_EQ(HookOutput::questionOutput(reply, toolInput),
            R"({"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow",)"
            R"("updatedInput":{"answers":{"Path?":"/a/b","Which colour?":"Blue"},"b":1,)"
            R"("questions":[{"question":"Which colour?"}]}}})");

  const Response empty{.answers = std::map<std::string, std::string>{}};
  EXPECT_FALSE(HookOutput::questionOutput(empty, toolInput));
  EXPECT_FALSE(HookOutput::questionOutput(Response{}, toolInput));
  EXPECT_FALSE(HookOutput::questionOutput(reply, std::nullopt));
  EXPECT_FALSE(HookOutput::questionOutput(reply, JSONValue("questions")));
  EXPECT_FALSE(HookOutput::questionOutput(reply, JSONValue(JSONValue::Array{})));
}

}  // namespace
}  // namespace pellox
