#include "server/arg_rules.hpp"

#include <algorithm>
#include <map>

#include "core/format.hpp"

namespace tessaro::server {

namespace {

std::string fold_text(const std::string& s, Fold f) {
  switch (f) {
    case Fold::None:
      return s;
    case Fold::Trim:
      return fmt::trim(s);
    case Fold::Lower:
      return fmt::lower(fmt::trim(s));
    case Fold::Upper:
      return fmt::upper(fmt::trim(s));
  }
  return s;
}

using Key = std::pair<std::string, std::string>;

struct Rules {
  std::map<Key, const Choices*> choices;
  std::vector<Key> order;
  std::map<Key, const Range*> ranges;
  std::map<Key, std::function<std::string()>> patterns;
};

Rules& rules() {
  static Rules r;
  return r;
}

}  // namespace

Choices::Choices(std::vector<std::string> values, Fold fold, std::vector<std::string> extra)
    : source_([v = std::move(values)] { return v; }), fold_(fold), extra_(std::move(extra)) {}

Choices::Choices(Source source, Fold fold, std::vector<std::string> extra)
    : source_(std::move(source)), fold_(fold), extra_(std::move(extra)) {}

std::vector<std::string> Choices::values() const { return source_(); }

std::vector<std::string> Choices::accepted() const {
  std::vector<std::string> out = extra_;
  for (auto& v : source_())
    if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
  return out;
}

std::string Choices::read(const std::string& given) const { return fold_text(given, fold_); }

bool Choices::accepts(const std::string& given) const {
  auto all = accepted();
  return std::find(all.begin(), all.end(), read(given)) != all.end();
}

json Choices::spellings() const {
  std::vector<std::string> out;
  auto add = [&](const std::string& s) {
    if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
  };
  auto all = accepted();
  for (const auto& v : all) add(v);
  if (fold_ == Fold::Lower)
    for (const auto& v : all) add(fmt::upper(v));
  if (fold_ == Fold::Upper)
    for (const auto& v : all) add(fmt::lower(v));
  json j = json::array();
  for (auto& s : out) j.push_back(s);
  return j;
}

ArgumentChoices::ArgumentChoices(const char* tool, const char* arg, const Choices& choices) {
  Key k{tool, arg};
  if (!rules().choices.count(k)) rules().order.push_back(k);
  rules().choices[k] = &choices;
}

long long Range::clamp(long long v) const {
  if (minimum && v < *minimum) v = *minimum;
  if (maximum && v > *maximum) v = *maximum;
  return v;
}

ArgumentRange::ArgumentRange(const char* tool, const char* arg, const Range& range) {
  rules().ranges[Key{tool, arg}] = &range;
}

ArgumentPattern::ArgumentPattern(const char* tool, const char* arg, std::function<std::string()> pattern) {
  rules().patterns[Key{tool, arg}] = std::move(pattern);
}

std::optional<std::string> argument_pattern(const std::string& tool, const std::string& arg) {
  auto it = rules().patterns.find(Key{tool, arg});
  if (it == rules().patterns.end()) return std::nullopt;
  return it->second();
}

const Choices* argument_choices(const std::string& tool, const std::string& arg) {
  auto it = rules().choices.find(Key{tool, arg});
  return it == rules().choices.end() ? nullptr : it->second;
}

const Range* argument_range(const std::string& tool, const std::string& arg) {
  auto it = rules().ranges.find(Key{tool, arg});
  return it == rules().ranges.end() ? nullptr : it->second;
}

std::vector<std::pair<std::string, std::string>> arguments_with_choices() { return rules().order; }

void add_argument_rules(const std::string& tool, const std::string& arg, const std::string& type, json& schema) {
  if (const Choices* c = argument_choices(tool, arg)) {
    if (type == "list[str]") schema["items"]["enum"] = c->spellings();
    else schema["enum"] = c->spellings();
  }
  if (const Range* r = argument_range(tool, arg)) {
    if (r->minimum) schema["minimum"] = *r->minimum;
    if (r->maximum) schema["maximum"] = *r->maximum;
  }
  if (auto p = argument_pattern(tool, arg)) schema["pattern"] = *p;
}

}  // namespace tessaro::server
