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
  std::map<std::string, std::vector<std::pair<std::string, Shape>>> shapes;   // tool -> (arg, shape)
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

std::string Range::clamp_note() const {
  if (refused || (!minimum && !maximum)) return "";
  if (minimum && maximum)
    return std::to_string(*minimum) + "보다 작으면 " + std::to_string(*minimum) + ", " + std::to_string(*maximum) +
           "보다 크면 " + std::to_string(*maximum) + "으로 맞춰 씁니다(거부하지 않음).";
  if (maximum) return std::to_string(*maximum) + "보다 크면 " + std::to_string(*maximum) + "으로 맞춰 씁니다(거부하지 않음).";
  return std::to_string(*minimum) + "보다 작으면 " + std::to_string(*minimum) + "으로 맞춰 씁니다(거부하지 않음).";
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

ArgumentShape::ArgumentShape(const char* tool, const char* arg, Shape shape) {
  rules().shapes[tool].push_back({arg, shape});
}

namespace {

bool alnum(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool kr_code(const std::string& s) {
  return s.size() == 6 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return alnum(c); });
}

bool us_ticker(const std::string& s) {
  if (s.empty() || s.size() > 24) return false;
  if (!alnum((unsigned char)s[0]) && s[0] != '^') return false;
  if (s.back() == '.' || s.find("..") != std::string::npos) return false;
  return std::all_of(s.begin(), s.end(),
                     [](unsigned char c) { return alnum(c) || c == '.' || c == '-' || c == '^' || c == '='; });
}

bool accession(const std::string& s) {
  size_t digits = 0;
  for (unsigned char c : s) {
    if (c >= '0' && c <= '9') ++digits;
    else if (c != '-') return false;
  }
  return digits == 18 && s.front() != '-' && s.back() != '-';
}

bool plain_file_name(const std::string& s) {
  if (s.empty() || s.size() > 200 || s[0] == '.' || s.find("..") != std::string::npos) return false;
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return alnum(c) || c == '.' || c == '-' || c == '_'; });
}

bool filing_document(const std::string& s) {
  // A rendered view of a listed XML form sits one folder down ("xslF345X05/doc4.xml").
  auto slash = s.find('/');
  if (slash == std::string::npos) return plain_file_name(s);
  std::string dir = s.substr(0, slash);
  return dir.size() > 3 && dir.rfind("xsl", 0) == 0 &&
         std::all_of(dir.begin(), dir.end(), [](unsigned char c) { return alnum(c); }) &&
         plain_file_name(s.substr(slash + 1));
}

std::string refusal(Shape shape, const std::string& arg, const std::string& shown) {
  switch (shape) {
    case Shape::KrCode:
      return "⚠️ 종목코드 형식이 올바르지 않습니다: " + shown;
    case Shape::UsTicker:
      return "⚠️ 티커 형식이 올바르지 않습니다: " + shown +
             " (영문·숫자와 . - ^ = 만 씁니다. 예: AAPL, BRK.B, SAP.F)";
    case Shape::KrCodeOrUsTicker:
      return "⚠️ " + arg + " 형식이 올바르지 않습니다: " + shown +
             " (한국 종목은 6자리 종목코드, 미국 종목은 티커. 예: 005930, AAPL)";
    case Shape::Accession:
      return "⚠️ accession 번호 형식이 올바르지 않습니다: " + shown +
             " (숫자 18자리, 예: 0000320193-24-000123)";
    case Shape::FilingDocument:
      return "⚠️ document 는 그 공시의 문서 목록에 있는 파일명이어야 합니다: " + shown +
             " (목록: find/analyze 없이 호출)";
  }
  return "⚠️ " + arg + " 형식이 올바르지 않습니다: " + shown;
}

// What the refusal quotes back: the value as given, control bytes shown as "?"
// (a NUL or a line break would otherwise end up in the reply).
std::string shown_value(const std::string& v) {
  std::string o;
  for (unsigned char c : v) o.push_back(c < 0x20 || c == 0x7f ? '?' : char(c));
  return fmt::cp_len(o) > 80 ? fmt::cp_cut(o, 80) + "…" : o;
}

}  // namespace

bool fits_shape(Shape shape, const std::string& raw) {
  std::string v = fmt::trim(raw);
  switch (shape) {
    case Shape::KrCode:
      return kr_code(v);
    case Shape::UsTicker:
      return us_ticker(v);
    case Shape::KrCodeOrUsTicker:
      return kr_code(v) || us_ticker(v);
    case Shape::Accession:
      return accession(v);
    case Shape::FilingDocument:
      return filing_document(v);
  }
  return false;
}

std::optional<std::string> shape_refusal(const std::string& tool, const json& args) {
  auto it = rules().shapes.find(tool);
  if (it == rules().shapes.end() || !args.is_object()) return std::nullopt;
  for (const auto& [arg, shape] : it->second) {
    auto a = args.find(arg);
    if (a == args.end()) continue;
    std::vector<std::string> bad;
    auto check = [&](const json& v) {
      if (!v.is_string()) return;
      const std::string& s = v.get_ref<const std::string&>();
      // Raw bytes count: a trailing NUL or line break is no blank to trim away.
      bool control = std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 && c != ' '; });
      if (fmt::trim(s).empty() && !control) return;   // "not given": the body answers that
      if (control || !fits_shape(shape, s)) bad.push_back(shown_value(s));
    };
    if (a->is_array())
      for (const auto& v : *a) check(v);
    else
      check(*a);
    if (!bad.empty()) return refusal(shape, arg, fmt::join(bad, ", "));
  }
  return std::nullopt;
}

void add_argument_rules(const std::string& tool, const std::string& arg, const std::string& type, json& schema) {
  if (const Choices* c = argument_choices(tool, arg)) {
    if (type == "list[str]") schema["items"]["enum"] = c->spellings();
    else schema["enum"] = c->spellings();
  }
  if (const Range* r = argument_range(tool, arg)) {
    if (r->refused) {
      if (r->minimum) schema["minimum"] = *r->minimum;
      if (r->maximum) schema["maximum"] = *r->maximum;
    } else if (std::string note = r->clamp_note(); !note.empty()) {
      const json& d = schema.value("description", json());
      schema["description"] = d.is_string() && !d.get<std::string>().empty() ? d.get<std::string>() + " " + note : note;
    }
  }
  if (auto p = argument_pattern(tool, arg)) schema["pattern"] = *p;
}

}  // namespace tessaro::server
