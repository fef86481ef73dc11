// Evidence routing, batching and caching over the broker providers.
#include "sources/market_data/evidence_service.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "core/result_meta.hpp"

namespace tessaro::market_data {

namespace {

const char* kNoPrimary =
    "연결된 주 사용 증권사가 없어 상세 수급 자료를 받을 수 없습니다. `tessaro-mcp broker connect kis` (또는 kiwoom)로 "
    "증권사를 연결하세요.";

bool contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// The broker one request goes to, or why there is none.
struct Choice {
  std::string error_code;   // "" when usable
  std::string message;
  std::string provider, profile;
  std::shared_ptr<Provider> p;
  ConnectionState state;
};

Choice choose(const ProviderRuntime& rt, const std::vector<std::string>& pub, const std::string& source) {
  Choice c;
  c.state = load_state_v2();
  std::string id;
  if (source == "auto") {
    const auto& pp = c.state.primary_provider;
    if (!pp || !is_broker_id(*pp) || !contains(pub, *pp)) {
      c.error_code = EV_PROVIDER_NOT_CONFIGURED;
      c.message = kNoPrimary;
      return c;
    }
    id = *pp;
  } else {
    id = source;
    if (!is_broker_id(id) || !contains(pub, id)) {
      c.provider = id;
      c.error_code = ST_UNSUPPORTED;
      c.message = id + " 는 상세 수급 자료를 제공하지 않습니다.";
      return c;
    }
  }
  c.provider = id;
  if (auto it = c.state.providers.find(id); it != c.state.providers.end()) c.profile = it->second.profile;
  c.p = provider(id);
  if (!c.p) {
    c.error_code = ST_UNSUPPORTED;
    c.message = id + " 제공자를 사용할 수 없습니다.";
    return c;
  }
  std::string issue = rt.credential_issue(id);
  if (!issue.empty()) {
    c.error_code = EV_PROVIDER_NOT_CONFIGURED;
    c.message = issue;
  }
  return c;
}

// The connection the request started on is still the one in the state file.
bool same_connection(const Choice& c, const std::string& source) {
  ConnectionState now = load_state_v2();
  if (source == "auto" &&
      (now.primary_provider != c.state.primary_provider || now.routing_generation != c.state.routing_generation))
    return false;
  auto a = c.state.providers.find(c.provider);
  auto b = now.providers.find(c.provider);
  if (a == c.state.providers.end() || b == now.providers.end()) return a == c.state.providers.end() && b == now.providers.end();
  return a->second.profile == b->second.profile && a->second.app_key == b->second.app_key &&
         a->second.connected_at == b->second.connected_at;
}

// Another connected public broker whose declared capabilities satisfy `wants`.
template <class Pred>
json alternative_for(const ProviderRuntime& rt, const std::vector<std::string>& pub, const Choice& c, Pred wants) {
  for (const auto& id : pub) {
    if (id == c.provider || !is_broker_id(id)) continue;
    auto it = c.state.providers.find(id);
    if (it == c.state.providers.end() || !rt.credential_issue(id).empty()) continue;
    auto p = provider(id);
    if (!p) continue;
    json caps = p->evidence_capabilities(it->second.profile);
    if (caps.is_object() && wants(caps)) return id;
  }
  return nullptr;
}

std::string cap_of(const json& caps, const std::string& kind) {
  if (!caps.is_object() || !caps.contains("pressure") || !caps["pressure"].is_object()) return "";
  const json& v = caps["pressure"].value(kind, json());
  return v.is_string() ? v.get<std::string>() : "";
}

struct Failure {
  std::string status, message;
};

// Runs a broker call; provider errors keep their status, transport and parse errors
// become "provider_unavailable".
template <class Fn>
std::optional<Failure> guarded(const std::string& id, Fn fn) {
  try {
    fn();
    return std::nullopt;
  } catch (const ProviderError& e) {
    std::string st = rmeta::is_provider_status(e.status()) ? e.status() : std::string(ST_UNAVAILABLE);
    return Failure{st, e.what()};
  } catch (const std::exception& e) {
    return Failure{ST_UNAVAILABLE, id + " 응답 처리 실패 (" + exception_class_name(e) + ": " + e.what() + ")"};
  }
}

// A worker that failed outside guarded().
Failure failure_from(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return Failure{ST_UNAVAILABLE, exception_class_name(e) + ": " + e.what()};
  } catch (...) {
    return Failure{ST_UNAVAILABLE, "알 수 없는 오류"};
  }
}

// A cache that cannot be written only costs a later fetch.
void store_quietly(const EvidenceCache& cache, const Choice& c, const std::string& family, const std::string& code,
                   const std::string& what, const json& record, mt::Instant now) {
  try {
    cache.store(c.provider, c.profile, family, code, what, record, now);
  } catch (const std::exception&) {
  }
}

std::string day_of(const json& row) {
  auto d = row.is_object() ? rmeta::normalize_day(row.value("date", json())) : std::nullopt;
  return d.value_or("");
}

// Newest first, at most `days` rows.
void newest_rows(json& rec, int days) {
  if (!rec.contains("rows") || !rec["rows"].is_array()) {
    rec["rows"] = json::array();
    return;
  }
  std::vector<json> rows(rec["rows"].begin(), rec["rows"].end());
  std::stable_sort(rows.begin(), rows.end(), [](const json& a, const json& b) { return day_of(a) > day_of(b); });
  if ((int)rows.size() > days) rows.resize(days);
  rec["rows"] = json(rows);
}

json base_result(const Choice& c) {
  return {{"ok", false},
          {"error_code", nullptr},
          {"warnings", json::array()},
          {"alternative_provider", nullptr},
          {"market", "KR"},
          {"provider", c.provider.empty() ? json(nullptr) : json(c.provider)},
          {"profile", c.profile.empty() ? json(nullptr) : json(c.profile)}};
}

json failures_of(const std::vector<std::string>& codes, const std::string& reason) {
  json out = json::array();
  for (const auto& code : codes) out.push_back({{"code", code}, {"reason", reason}});
  return out;
}

void add_warning(json& result, const std::string& w) {
  if (w.empty()) return;
  for (const auto& x : result["warnings"])
    if (x == w) return;
  result["warnings"].push_back(w);
}

json failed_block(const std::string& kind, const std::string& provider, const std::string& status,
                  const std::string& reason, const std::string& message) {
  return {{"kind", kind},
          {"status", status},
          {"provider", provider},
          {"market", "KR"},
          {"granularity", nullptr},
          {"measure_units", json::object()},
          {"data_as_of", nullptr},
          {"data_completeness", "none"},
          {"unavailable_reason", reason},
          {"coverage", json::object()},
          {"warnings", message.empty() ? json::array() : json::array({message})},
          {"rows", json::array()},
          {"items", json::array()},
          {"raw_fields", json::array()}};
}

}  // namespace

EvidenceService::EvidenceService(const ProviderRuntime& rt, std::vector<std::string> public_providers,
                                 std::optional<EvidenceCache> cache, size_t concurrency)
    : rt_(rt), public_(std::move(public_providers)), cache_(std::move(cache)), concurrency_(std::max<size_t>(1, concurrency)) {}

json EvidenceService::investor_flow(const std::string& code, int days, const std::string& measure,
                                    const std::string& source) const {
  return flow_impl({code}, days, measure, source, false);
}

json EvidenceService::investor_flow_batch(const std::vector<std::string>& codes, int days,
                                          const std::string& measure, const std::string& source) const {
  return flow_impl(codes, days, measure, source, true);
}

json EvidenceService::flow_impl(const std::vector<std::string>& codes, int days, const std::string& measure,
                                const std::string& source, bool batch) const {
  Choice c = choose(rt_, public_, source);
  json result = base_result(c);
  result["measure"] = measure;
  result["unit"] = unit_of(measure).empty() ? json(nullptr) : json(unit_of(measure));
  result["data_availability"] = {{"unavailable", json::array()}};
  result["records"] = json::array();
  if (batch) result["entities"] = json::array();
  result["entity_failures"] = json::array();

  std::string early = c.error_code;
  std::string early_msg = c.message;
  if (early.empty() && !contains(evidence_measures(), measure)) {
    early = EV_UNKNOWN_CAPABILITY;
    early_msg = "지원하지 않는 measure입니다: " + measure;
  }
  if (early.empty() && (int)codes.size() > EVIDENCE_MAX_CODES) {
    early = EV_UNKNOWN_CAPABILITY;
    early_msg = "한 번에 조회할 수 있는 종목은 최대 " + std::to_string(EVIDENCE_MAX_CODES) + "개입니다.";
  }
  if (early.empty()) {
    json caps = c.p->evidence_capabilities(c.profile);
    std::string flow_cap = caps.is_object() ? caps.value("investor_flow", std::string()) : std::string();
    if (flow_cap == "unsupported" || flow_cap == "unverified") {
      early = flow_cap == "unsupported" ? EV_UNSUPPORTED : EV_UNVERIFIED;
      early_msg = c.provider + " 는 투자자별 상세 매매동향을 " +
                  std::string(flow_cap == "unsupported" ? "제공하지 않습니다." : "아직 검증하지 않았습니다.");
    }
  }
  if (!early.empty()) {
    result["error_code"] = early;
    add_warning(result, early_msg);
    result["entity_failures"] = failures_of(codes, early);
    if (early == EV_UNSUPPORTED || early == EV_UNVERIFIED || early == EV_PROVIDER_NOT_CONFIGURED)
      result["alternative_provider"] = alternative_for(rt_, public_, c, [](const json& caps) {
        return caps.value("investor_flow", std::string()) == "available";
      });
    return result;
  }

  const mt::Instant now = mt::now();
  const ProviderContext ctx = rt_.context_for(c.provider);
  const std::vector<std::string> want_days = cache_ ? EvidenceCache::expected_days(days, now) : std::vector<std::string>{};

  struct Slot {
    json record;
    std::optional<Failure> failure;
  };
  std::vector<Slot> slots(codes.size());
  auto errors = parallel_for(codes.size(), concurrency_, [&](size_t i) {
    const std::string& code = codes[i];
    if (cache_) {
      if (auto hit = cache_->load(c.provider, c.profile, "flow", code, measure, want_days)) {
        slots[i].record = *hit;
        return;
      }
    }
    json rec;
    slots[i].failure = guarded(c.provider, [&] { rec = c.p->investor_flow(code, days, measure, ctx); });
    if (slots[i].failure) return;
    if (!rec.is_object()) {
      slots[i].failure = Failure{ST_UNAVAILABLE, c.provider + " 응답에 " + code + " 자료가 없습니다."};
      return;
    }
    if (!rec.contains("symbol") || rec["symbol"].is_null()) rec["symbol"] = code;
    rec["provider"] = c.provider;
    if (!rec.contains("profile") || rec["profile"].is_null()) rec["profile"] = c.profile;
    rec["market"] = "KR";
    rec["measure"] = measure;
    if (!rec.contains("unit") || rec["unit"].is_null()) rec["unit"] = unit_of(measure);
    newest_rows(rec, days);
    if (cache_) store_quietly(*cache_, c, "flow", code, measure, rec, now);
    slots[i].record = std::move(rec);
  });
  for (size_t i = 0; i < errors.size(); ++i)
    if (errors[i]) slots[i].failure = failure_from(errors[i]);

  if (!same_connection(c, source))
    for (auto& s : slots)
      if (!s.failure) s.failure = Failure{EV_PROVIDER_CHANGED, "조회 중에 증권사 연결이 바뀌어 결과를 버렸습니다."};

  std::vector<std::string> unavailable;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (slots[i].failure) {
      result["entity_failures"].push_back({{"code", codes[i]}, {"reason", slots[i].failure->status}});
      add_warning(result, slots[i].failure->message);
      continue;
    }
    const json& rec = slots[i].record;
    if (rec.contains("unavailable") && rec["unavailable"].is_array())
      for (const auto& u : rec["unavailable"])
        if (u.is_string() && !contains(unavailable, u.get<std::string>())) unavailable.push_back(u.get<std::string>());
    if (batch) result["entities"].push_back({{"code", codes[i]}, {"returned_rows", rec["rows"].size()}});
    result["records"].push_back(rec);
  }
  // Known categories in their usual order, then anything else the broker named.
  json un = json::array();
  for (const auto& cat : investor_categories())
    if (contains(unavailable, cat)) un.push_back(cat);
  for (const auto& u : unavailable)
    if (!contains(investor_categories(), u)) un.push_back(u);
  result["data_availability"]["unavailable"] = un;

  bool any = !result["records"].empty();
  result["ok"] = any;
  if (!any) {
    if (batch && codes.size() > 1)
      result["error_code"] = EV_ALL_FAILED;
    else
      result["error_code"] = slots.empty() ? json(EV_UNKNOWN_CAPABILITY) : json(slots[0].failure->status);
  }
  if (!unavailable.empty()) {
    result["alternative_provider"] = alternative_for(rt_, public_, c, [&](const json& caps) {
      if (caps.value("investor_flow", std::string()) != "available") return false;
      if (!caps.contains("flow_categories") || !caps["flow_categories"].is_array()) return false;
      for (const auto& cat : caps["flow_categories"])
        if (cat.is_string() && contains(unavailable, cat.get<std::string>())) return true;
      return false;
    });
  } else if (!any) {
    bool unsupported = false;
    for (const auto& s : slots)
      if (s.failure && s.failure->status == ST_UNSUPPORTED) unsupported = true;
    if (unsupported)
      result["alternative_provider"] = alternative_for(rt_, public_, c, [](const json& caps) {
        return caps.value("investor_flow", std::string()) == "available";
      });
  }
  return result;
}

json EvidenceService::supply_pressure_batch(const std::vector<std::string>& codes,
                                            const std::vector<std::string>& kinds_in, int days,
                                            const std::string& source) const {
  std::vector<std::string> kinds = kinds_in.empty() ? pressure_kinds() : kinds_in;
  Choice c = choose(rt_, public_, source);
  json result = base_result(c);
  result["data_availability"] = {{"unavailable", json::array()}};
  result["requested_kinds"] = kinds;
  result["entities"] = json::array();
  result["entity_failures"] = json::array();
  result["fallback_blocks"] = json::object();

  std::string early = c.error_code, early_msg = c.message;
  if (early.empty() && (int)codes.size() > EVIDENCE_MAX_CODES) {
    early = EV_UNKNOWN_CAPABILITY;
    early_msg = "한 번에 조회할 수 있는 종목은 최대 " + std::to_string(EVIDENCE_MAX_CODES) + "개입니다.";
  }
  if (!early.empty()) {
    result["error_code"] = early;
    add_warning(result, early_msg);
    result["entity_failures"] = failures_of(codes, early);
    result["data_availability"]["unavailable"] = kinds;
    return result;
  }

  // Kinds decided without a call: unknown ones and those the broker declares it lacks.
  json caps = c.p->evidence_capabilities(c.profile);
  std::vector<std::string> asked, lacking;
  for (const auto& k : kinds) {
    if (!contains(pressure_kinds(), k)) {
      result["fallback_blocks"][k] =
          failed_block(k, c.provider, ST_NOT_FOUND, EV_UNKNOWN_CAPABILITY, "알 수 없는 수급 압력 종류입니다: " + k);
      continue;
    }
    std::string cap = cap_of(caps, k);
    if (cap == "unsupported" || cap == "unverified") {
      result["fallback_blocks"][k] =
          failed_block(k, c.provider, ST_UNSUPPORTED, cap == "unsupported" ? EV_UNSUPPORTED : EV_UNVERIFIED,
                       c.provider + " 는 " + k +
                           (cap == "unsupported" ? " 자료를 제공하지 않습니다." : " 자료를 아직 검증하지 않았습니다."));
      lacking.push_back(k);
      continue;
    }
    asked.push_back(k);
  }

  const mt::Instant now = mt::now();
  const ProviderContext ctx = rt_.context_for(c.provider);
  const std::vector<std::string> want_days = cache_ ? EvidenceCache::expected_days(days, now) : std::vector<std::string>{};

  struct Slot {
    json block;
    std::optional<Failure> failure;
  };
  const size_t nk = asked.size();
  std::vector<Slot> slots(codes.size() * nk);
  auto errors = parallel_for(slots.size(), concurrency_, [&](size_t i) {
    const std::string& code = codes[i / nk];
    const std::string& kind = asked[i % nk];
    if (cache_) {
      if (auto hit = cache_->load(c.provider, c.profile, "pressure", code, kind, want_days)) {
        slots[i].block = *hit;
        return;
      }
    }
    json b;
    slots[i].failure = guarded(c.provider, [&] { b = c.p->supply_pressure(code, kind, days, ctx); });
    if (slots[i].failure) return;
    if (!b.is_object()) {
      slots[i].failure = Failure{ST_UNAVAILABLE, c.provider + " 응답에 " + code + " " + kind + " 자료가 없습니다."};
      return;
    }
    b["kind"] = kind;
    b["provider"] = c.provider;
    b["market"] = "KR";
    if (!b.contains("status") || !b["status"].is_string()) b["status"] = ST_OK;
    if (!b.contains("rows") || !b["rows"].is_array()) b["rows"] = json::array();
    bool daily = b.value("granularity", json()) == json("daily");
    if (daily) newest_rows(b, days);
    if (cache_ && daily && b["status"] == ST_OK) store_quietly(*cache_, c, "pressure", code, kind, b, now);
    slots[i].block = std::move(b);
  });
  for (size_t i = 0; i < errors.size(); ++i)
    if (errors[i]) slots[i].failure = failure_from(errors[i]);
  bool changed = !same_connection(c, source);

  std::vector<std::string> served, unsupported_kinds = lacking;
  for (size_t e = 0; e < codes.size(); ++e) {
    const std::string& code = codes[e];
    if (changed) {
      result["entity_failures"].push_back({{"code", code}, {"reason", EV_PROVIDER_CHANGED}});
      add_warning(result, "조회 중에 증권사 연결이 바뀌어 결과를 버렸습니다.");
      continue;
    }
    json items = json::object();
    std::map<std::string, int> fail_counts;
    std::string top_reason;
    int top = 0, hard_failures = 0;
    for (size_t k = 0; k < nk; ++k) {
      Slot& s = slots[e * nk + k];
      const std::string& kind = asked[k];
      if (s.failure) {
        bool unsupported = s.failure->status == ST_UNSUPPORTED;
        items[kind] = failed_block(kind, c.provider, s.failure->status,
                                   unsupported ? std::string(EV_UNSUPPORTED) : s.failure->status, s.failure->message);
        if (unsupported) {
          if (!contains(unsupported_kinds, kind)) unsupported_kinds.push_back(kind);
          continue;
        }
        ++hard_failures;
        int n = ++fail_counts[s.failure->status];
        if (n > top) top = n, top_reason = s.failure->status;
        continue;
      }
      if (s.block["status"] == ST_OK && !contains(served, kind)) served.push_back(kind);
      if (s.block["status"] == ST_UNSUPPORTED && !contains(unsupported_kinds, kind)) unsupported_kinds.push_back(kind);
      items[kind] = s.block;
    }
    if (nk > 0 && hard_failures == (int)nk) {
      result["entity_failures"].push_back({{"code", code}, {"reason", top_reason}});
      for (const auto& s : std::vector<Slot>(slots.begin() + e * nk, slots.begin() + (e + 1) * nk))
        if (s.failure) add_warning(result, s.failure->message);
      continue;
    }
    result["entities"].push_back({{"code", code}, {"items", items}});
  }
  json un = json::array();
  for (const auto& k : kinds)
    if (!contains(served, k)) un.push_back(k);
  result["data_availability"]["unavailable"] = un;
  // ok: at least one block was received.
  bool any = !served.empty();
  result["ok"] = any;
  if (!any) {
    if (changed || (codes.size() > 1 && result["entities"].empty())) {
      result["error_code"] = EV_ALL_FAILED;
    } else if (result["entities"].empty() && !result["entity_failures"].empty()) {
      result["error_code"] = result["entity_failures"][0]["reason"];
    } else {
      // Stocks answered but no kind was served: the most frequent block status.
      std::map<std::string, int> counts;
      std::string best = ST_UNSUPPORTED;
      int top = 0;
      auto count = [&](const json& b) {
        std::string st = b.value("status", std::string(ST_UNAVAILABLE));
        if (int n = ++counts[st]; n > top) top = n, best = st;
      };
      for (const auto& ent : result["entities"])
        for (const auto& k : kinds) {
          if (ent["items"].contains(k))
            count(ent["items"][k]);
          else if (result["fallback_blocks"].contains(k))
            count(result["fallback_blocks"][k]);
        }
      result["error_code"] = best;
    }
  }
  if (!unsupported_kinds.empty())
    result["alternative_provider"] = alternative_for(rt_, public_, c, [&](const json& other) {
      for (const auto& k : unsupported_kinds)
        if (cap_of(other, k) == "available") return true;
      return false;
    });
  return result;
}

}  // namespace tessaro::market_data
