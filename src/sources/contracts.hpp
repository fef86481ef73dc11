#pragma once
// What each outside response must look like for our parsers to work: one
// declaration per endpoint, next to the parser that reads it. The parser's own
// "could not read" message and `tessaro-mcp doctor` both come from it, so a
// renamed or removed field is named the same way in both places.
//
// A JSON field is a dotted path; "[]" steps into the first element of an
// array ("datas[].closePrice"). A field below an empty array cannot be
// checked and is not reported. A text body (HTML, XML) declares markers: a
// piece of text that must appear in it (a table class, a tag), or any one of
// several pieces when the parser reads the page more than one way.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/json.hpp"

namespace tessaro::contracts {

enum class Kind {
  Any,       // present and not null
  Number,    // JSON number
  Numeric,   // number, or text holding a number ("1,234", "-0.5")
  String,
  Bool,
  Object,
  Array,
  Marker,    // text body: `needle` appears in it
};

struct Field {
  Field(std::string p, Kind k = Kind::Any, bool req = true, std::string n = "", std::vector<std::string> alt = {})
      : path(std::move(p)), kind(k), required(req), needle(std::move(n)), also(std::move(alt)) {}
  std::string path;      // JSON path, or the marker's name
  Kind kind = Kind::Any;
  bool required = true;  // optional fields are reported but do not fail a check
  std::string needle;    // Marker only
  std::vector<std::string> also;   // Marker only: other pieces that stand for it as well
};

struct Contract {
  std::string id;        // "naver.trend", "yahoo.chart" ...
  std::string label;     // shown in failure messages ("네이버 투자자별 매매동향")
  bool text = false;     // true: markers in a text body; false: JSON
  std::vector<Field> fields;
};

struct Verdict {
  bool unreadable = false;                 // JSON contract, body not JSON
  std::vector<std::string> missing;        // required, absent (or null)
  std::vector<std::string> retyped;        // required, present with another type: "path (number → string)"
  std::vector<std::string> optional_missing;
  bool ok() const { return !unreadable && missing.empty() && retyped.empty(); }
  // "missing: a, b; retyped: c (number → string)"; "" when ok.
  std::string summary() const;
};

// Declares a contract and makes it known to the doctor; returns the stored one.
const Contract& declare(Contract c);
// nullptr when no contract has that id.
const Contract* find(const std::string& id);
// Every declared contract, in id order.
std::vector<const Contract*> all();

Verdict check(const Contract& c, const json& body);
// Parses a JSON contract's body first (unreadable when it is not JSON).
Verdict check_text(const Contract& c, const std::string& body);

// The parser's failure message when a required field is missing or retyped,
// nullopt when the body fits: "네이버 투자자별 매매동향 응답 모양이 달라졌습니다 (없는 항목: ...)".
std::optional<std::string> problem(const Contract& c, const json& body);
std::optional<std::string> problem_text(const Contract& c, const std::string& body);

const char* kind_name(Kind k);

}  // namespace tessaro::contracts
