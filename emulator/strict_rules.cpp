// strict_rules.cpp: the rule names and the list of rules awaiting the component.
#include "emulator/strict_rules.h"

#include <array>
#include <vector>

namespace zamo::emu {
namespace {

constexpr std::array<std::string_view, kRuleCount> kNames = {
    "ecc", "reserved", "dao", "tao", "minblank", "bgformat", "spinup", "buffer", "streaming",
};

// The rules the component breaks today. Each stays relaxed by default (its
// burns would fail on a real drive the same way) until the component is
// fixed and the entry removed.
constexpr std::array<TRuleAwaitingComponent, 0> kRulesAwaitingComponent = {};

std::vector<std::string_view> SplitNames(std::string_view value) {
  std::vector<std::string_view> names;
  size_t begin = 0;
  for (;;) {
    const size_t end = value.find('/', begin);
    names.push_back(value.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
    if (end == std::string_view::npos) return names;
    begin = end + 1;
  }
}

// Sets the rules `value` names to `on`; "all" names every rule.
bool Apply(std::string_view value, bool on, TRuleSet* rules) {
  if (value == "all") {
    *rules = on ? TRuleSet::All() : TRuleSet::None();
    return true;
  }
  TRuleSet changed = *rules;
  for (std::string_view name : SplitNames(value)) {
    const std::optional<TRule> rule = RuleFromName(name);
    if (!rule) return false;
    changed.Set(*rule, on);
  }
  *rules = changed;
  return true;
}

}  // namespace

TRuleSet TRuleSet::All() {
  TRuleSet rules;
  rules.bits_.set();
  return rules;
}

TRuleSet TRuleSet::Default() {
  TRuleSet rules = All();
  for (const TRuleAwaitingComponent& awaiting : RulesAwaitingComponent()) rules.Set(awaiting.rule, false);
  return rules;
}

std::string_view RuleName(TRule rule) { return kNames[static_cast<size_t>(rule)]; }

std::optional<TRule> RuleFromName(std::string_view name) {
  for (size_t i = 0; i < kNames.size(); ++i)
    if (kNames[i] == name) return static_cast<TRule>(i);
  return std::nullopt;
}

std::string RuleNames() {
  std::string names;
  for (std::string_view name : kNames) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  return names;
}

std::span<const TRuleAwaitingComponent> RulesAwaitingComponent() { return kRulesAwaitingComponent; }

bool ApplyLenient(std::string_view value, TRuleSet* rules) {
  if (value == "1" || value == "yes" || value == "on" || value == "true") value = "all";
  if (value == "0" || value == "no" || value == "off" || value == "false") {
    *rules = TRuleSet::Default();
    return true;
  }
  return Apply(value, false, rules);
}

bool ApplyStrict(std::string_view value, TRuleSet* rules) { return Apply(value, true, rules); }

}  // namespace zamo::emu
