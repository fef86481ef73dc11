#pragma once
// Fixed sets and documented ranges of tool arguments. A tool file declares them
// beside the check that uses them and registers them for the tool's input schema,
// so the schema and the check read one list and an assistant can check a call
// before it makes it:
//
//   const server::Choices kModes{{"summary", "full"}};
//   const server::ArgumentChoices reg_mode{"get_report_content", "mode", kModes};
//   ...
//   if (!kModes.accepts(mode)) return "⚠️ ...";
//
// A schema enum must never turn away a value the check takes: when the check
// trims and folds case, the enum lists every value in both cases.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace tessaro::server {

// How a check reads the text before comparing it with the set.
enum class Fold {
  None,    // as given
  Trim,    // trimmed
  Lower,   // trimmed, lower-cased
  Upper,   // trimmed, upper-cased
};

class Choices {
 public:
  using Source = std::function<std::vector<std::string>()>;
  // `values` in the form the check compares (already folded); `extra` are further
  // accepted texts kept apart from the set proper (e.g. "auto", or "" for "the
  // default").
  Choices(std::vector<std::string> values, Fold fold = Fold::None, std::vector<std::string> extra = {});
  // A set that depends on the running process (e.g. which brokers are public).
  Choices(Source source, Fold fold = Fold::None, std::vector<std::string> extra = {});

  std::vector<std::string> values() const;   // the set proper
  std::vector<std::string> accepted() const; // extra, then the set
  std::string read(const std::string& given) const;   // as the check compares it
  bool accepts(const std::string& given) const;
  // The enum of the schema: every accepted text, and with folding its other case.
  json spellings() const;
  Fold fold() const { return fold_; }

 private:
  Source source_;
  Fold fold_;
  std::vector<std::string> extra_;
};

struct ArgumentChoices {
  ArgumentChoices(const char* tool, const char* arg, const Choices& choices);
};

// A documented numeric range and the clamp the tool applies to what it receives.
// A value outside it is taken and brought inside, not refused: the schema says so
// in the argument's description and declares no minimum/maximum, which would make
// a client refuse a call the tool answers. Only a range whose outside values the
// tool turns away (`refused`) is declared as the schema's minimum/maximum.
struct Range {
  std::optional<long long> minimum, maximum;
  bool refused = false;
  long long clamp(long long v) const;
  // "…보다 크면 …으로 맞춰 씁니다." for a clamping range, "" for a refusing one.
  std::string clamp_note() const;
};

struct ArgumentRange {
  ArgumentRange(const char* tool, const char* arg, const Range& range);
};

// The documented shape of an identifier argument. A tool declares it beside its
// body; the registry checks every non-empty value (each item of a list) before
// the body runs, so a value that cannot be what the argument names is answered
// with a "⚠️" sentence and nothing is sent anywhere.
enum class Shape {
  KrCode,        // six letters or digits ("005930", "0088M0")
  UsTicker,      // a Yahoo symbol: letters, digits and . - ^ = ("AAPL", "BRK.B", "SAP.F", "^GSPC")
  KrCodeOrUsTicker,
  Accession,     // an SEC accession number: 18 digits, dashes allowed ("0000320193-24-000123")
  FilingDocument,// a file name of a filing folder ("ex10-1.htm"; "xslF345X05/doc4.xml")
};
struct ArgumentShape {
  ArgumentShape(const char* tool, const char* arg, Shape shape);
};
bool fits_shape(Shape shape, const std::string& value);
// The refusal for the first argument of `tool` in `args` that does not fit its
// shape; nullopt when every one fits.
std::optional<std::string> shape_refusal(const std::string& tool, const json& args);
// A text argument whose closed set is a list (a comma list of kinds): the schema
// gets a pattern of every text the check takes, made when the schema is built.
struct ArgumentPattern {
  ArgumentPattern(const char* tool, const char* arg, std::function<std::string()> pattern);
};
std::optional<std::string> argument_pattern(const std::string& tool, const std::string& arg);

const Choices* argument_choices(const std::string& tool, const std::string& arg);
const Range* argument_range(const std::string& tool, const std::string& arg);
// Every (tool, argument) that has a fixed set, in registration order.
std::vector<std::pair<std::string, std::string>> arguments_with_choices();

// Adds enum (on the items of a list) and the range (minimum/maximum when it
// refuses, a clamping sentence in the description when it clamps) to the schema
// of one argument of declared type `type`.
void add_argument_rules(const std::string& tool, const std::string& arg, const std::string& type, json& schema);

}  // namespace tessaro::server
