// XBRL facts: the latest reported value of a concept.
#include <optional>

#include "core/call_context.hpp"
#include "core/format.hpp"

#include "sources/contracts.hpp"
#include "sources/sec/client.hpp"
#include "sources/sec/sec.hpp"

namespace tessaro::sec {

// One concept of one company: its facts grouped by unit ("USD", "shares" ...).
static const contracts::Contract& kConceptShape = contracts::declare(
    {"sec.companyconcept", "SEC companyconcept", false,
     {{"units", contracts::Kind::Object},
      {"tag", contracts::Kind::String, false},
      {"entityName", contracts::Kind::String, false}}});

json latest_fact(const json& concept_body) {
  if (!concept_body.is_object() || !concept_body.contains("units") || !concept_body["units"].is_object())
    return nullptr;
  json best;
  std::string best_unit;
  for (auto& [unit, facts] : concept_body["units"].items()) {
    if (!facts.is_array()) continue;
    for (const auto& f : facts) {
      if (!f.is_object() || !f.contains("val") || !f["val"].is_number()) continue;   // missing stays missing
      std::string end = f.value("end", std::string());
      if (end.empty()) continue;
      std::string filed = f.value("filed", std::string());
      if (best.is_null()) {
        best = f;
        best_unit = unit;
        continue;
      }
      std::string bend = best.value("end", std::string()), bfiled = best.value("filed", std::string());
      if (end > bend || (end == bend && filed > bfiled)) {
        best = f;
        best_unit = unit;
      }
    }
  }
  if (best.is_null()) return nullptr;
  json out = {{"value", best["val"]}, {"end", best["end"]}};
  if (best.contains("start")) out["start"] = best["start"];
  out["unit"] = best_unit;
  out["filed"] = best.value("filed", json());
  out["form"] = best.value("form", json());
  out["accn"] = best.value("accn", json());
  out["fy"] = best.value("fy", json());
  out["fp"] = best.value("fp", json());
  if (best.contains("frame")) out["frame"] = best["frame"];
  return out;
}

std::string ConceptLookup::failure_text() const {
  std::vector<std::string> parts;
  for (const auto& [tag, why] : failed_tags) parts.push_back(tag + ": " + why);
  return fmt::join(parts, "; ");
}

ConceptLookup concept_lookup(const std::string& cik, const std::vector<std::string>& tags, const std::string& taxonomy) {
  std::string c = detail::pad_cik(cik);
  if (c.empty()) throw SecFetchError("CIK 형식이 아닙니다: " + cik);
  ConceptLookup out;
  for (const auto& tag : tags) {
    const std::string source = "sec.concept:" + tag;
    json body;
    try {
      body = detail::request_json(
          detail::data(http::Target("/api/xbrl/companyconcept/CIK{}/{}/{}.json", c, taxonomy, tag)));
    } catch (const SecNotFound&) {
      record_lookup(source, LookupStatus::not_found, "404");   // this company never tagged the concept
      continue;
    } catch (const SecFetchError& e) {
      out.failed_tags.push_back({tag, e.what()});
      record_lookup(source, LookupStatus::failed, e.what());
      continue;
    }
    // A body without its units is a changed answer, not a concept never tagged.
    if (auto bad = contracts::problem(kConceptShape, body)) {
      out.failed_tags.push_back({tag, *bad});
      record_lookup(source, LookupStatus::failed, *bad);
      continue;
    }
    json f = latest_fact(body);
    if (f.is_null()) {
      record_lookup(source, LookupStatus::not_found, "no fact");
      continue;
    }
    record_lookup(source, LookupStatus::found);
    f["tag"] = tag;
    f["taxonomy"] = taxonomy;
    if (out.fact.is_null() || f["end"].get<std::string>() > out.fact["end"].get<std::string>()) out.fact = f;
  }
  return out;
}

json get_concept_latest(const std::string& cik, const std::vector<std::string>& tags, const std::string& taxonomy) {
  ConceptLookup r = concept_lookup(cik, tags, taxonomy);
  if (!r.complete()) {
    std::string what = r.failure_text();
    if (!r.fact.is_null()) what += " (다른 태그 " + r.fact.value("tag", std::string()) + " 는 응답했지만 최신값인지 확인 불가)";
    throw SecFetchError(what);
  }
  return r.fact;
}

}  // namespace tessaro::sec
