// Indicator coverage (bars each requested indicator needs), the errors the engine
// folded into its result, and market capitalisation texts in 억원.
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/format.hpp"
#include "server/tool_helpers.hpp"
#include "analysis/indicators/indicators.hpp"

namespace tessaro::server {

namespace {

using Req = std::vector<std::pair<std::string, long long>>;

long long whole(const json& o, const char* key, long long def) {
  if (!o.is_object()) return def;
  auto it = o.find(key);
  if (it == o.end() || it->is_null()) return def;
  auto v = indicators::param_whole(*it);
  if (!v) throw std::invalid_argument(key);
  return *v;
}

std::vector<long long> ma_periods(const json& o) {
  std::vector<long long> out;
  auto it = o.is_object() ? o.find("periods") : o.end();
  if (!o.is_object() || it == o.end() || it->is_null()) return {5, 20, 60, 120, 240};
  for (const auto& x : indicators::param_items(*it)) {
    auto v = indicators::param_whole(x);
    if (!v) throw std::invalid_argument("periods");
    out.push_back(*v);
  }
  return out;
}

const std::map<std::string, std::function<Req(const json&)>>& min_bars() {
  static const std::map<std::string, std::function<Req(const json&)>> t = {
      {"ma",
       [](const json& o) {
         Req r;
         for (long long p : ma_periods(o)) r.emplace_back("ma" + std::to_string(p), p);
         return r;
       }},
      {"ma_phase", [](const json&) { return Req{{"ma5", 5}, {"ma20", 20}, {"ma60", 60}, {"ma120", 120}}; }},
      {"ma_slope", [](const json&) { return Req{{"ma20_slope", 30}, {"ma60_slope", 80}, {"ma120_slope", 140}}; }},
      {"ma_cross", [](const json&) { return Req{{"ma20_60_cross", 90}, {"ma60_120_cross", 180}}; }},
      {"rsi", [](const json& o) { return Req{{"rsi", whole(o, "period", 14) + 1}}; }},
      {"macd", [](const json& o) { return Req{{"macd", whole(o, "slow", 26) + whole(o, "signal", 9)}}; }},
      {"bollinger", [](const json& o) { return Req{{"bollinger", whole(o, "period", 20)}}; }},
      {"stochastic",
       [](const json& o) {
         return Req{{"stochastic", whole(o, "k_period", 12) + whole(o, "slow_k_period", 5) + whole(o, "d_period", 3)}};
       }},
      {"obv", [](const json& o) { return Req{{"obv", whole(o, "window", 20) + 1}}; }},
      {"volume", [](const json&) { return Req{{"volume_avg_20b", 20}, {"volume_rank_252b", 252}}; }},
      {"position", [](const json&) { return Req{{"position_52w", 252}}; }},
      {"candle", [](const json&) { return Req{{"candle", 2}}; }},
      {"support_resistance", [](const json& o) { return Req{{"support_resistance", whole(o, "window", 10) * 2 + 1}}; }},
      {"volume_profile", [](const json&) { return Req{{"volume_profile", 20}}; }},
      {"price_channel", [](const json& o) { return Req{{"price_channel", whole(o, "period", 20)}}; }},
  };
  return t;
}

bool truthy(const json& v) {
  if (v.is_null()) return false;
  if (v.is_object() || v.is_array() || v.is_string()) return !v.empty() && !(v.is_string() && v.get<std::string>().empty());
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return v.get<double>() != 0;
  return true;
}

}  // namespace

json indicator_coverage(const json& include, int available_bars, const json& params, const std::string& timeframe) {
  json req = json::object();
  if (include.is_array()) {
    for (const auto& n : include) {
      if (!n.is_string()) continue;
      std::string name = n.get<std::string>();
      auto rule = min_bars().find(name);
      if (rule == min_bars().end()) continue;
      json o = json::object();
      if (params.is_object()) {
        auto it = params.find(name);
        if (it != params.end() && truthy(*it)) o = *it;
      }
      try {
        for (auto& [key, bars] : rule->second(o)) req[key] = bars;
      } catch (const std::exception&) {
        // An unreadable override leaves that indicator's requirement out.
      }
    }
  }
  if (req.contains("position_52w")) {
    auto bpy = indicators::bars_per_year(timeframe);
    if (bpy) {
      req["position_52w"] = *bpy;
    } else {
      req.erase("position_52w");
      req["position_lookback"] = 2;
    }
  }
  json insufficient = json::array();
  for (auto& [key, bars] : req.items())
    if (bars.get<long long>() > available_bars) insufficient.push_back(key);
  return json{{"available_bars", available_bars}, {"required_bars", req}, {"insufficient", insufficient}};
}

json indicator_error_list(const json& result, const json& code) {
  json out = json::array();
  if (!result.is_object()) return out;
  for (auto& [name, value] : result.items()) {
    if (!value.is_object()) continue;
    auto it = value.find("error");
    if (it == value.end() || !truthy(*it)) continue;
    json e = json::object();
    if (!code.is_null()) e["code"] = code;
    e["indicator"] = name;
    e["error"] = *it;
    out.push_back(std::move(e));
  }
  return out;
}

std::string indicator_error_warning(const json& errors) {
  if (!errors.is_array() || errors.empty()) return "";
  std::vector<std::string> parts;
  for (const auto& e : errors) {
    const json& ind = e.value("indicator", json());
    const json& err = e.value("error", json());
    parts.push_back((ind.is_string() ? ind.get<std::string>() : ind.dump()) + "(" +
                    (err.is_string() ? err.get<std::string>() : err.dump()) + ")");
  }
  return "계산에 실패한 지표: " + fmt::join(parts, ", ") + " - 값이 없는 것이지 신호가 없는 것이 아닙니다.";
}

json indicator_error_coverage() {
  return json{{"truncated", false}, {"coverage_complete", false}, {"reason", "indicator_error"}};
}

json market_cap_eok(const json& value) {
  if (value.is_null()) return nullptr;
  std::string s;
  if (value.is_string()) s = value.get<std::string>();
  else if (value.is_number_float()) s = fmt::pyfloat(value.get<double>());
  else s = value.dump();
  s = fmt::replace_all(fmt::replace_all(s, ",", ""), " ", "");
  if (s.empty()) return nullptr;
  static const std::regex jo(R"((\d+(?:\.\d+)?)조)"), eok(R"((\d+(?:\.\d+)?)억)");
  double total = 0;
  std::smatch m;
  if (std::regex_search(s, m, jo)) total += std::stod(m[1].str()) * 10000.0;
  if (std::regex_search(s, m, eok)) total += std::stod(m[1].str());
  if (total > 0) return total;
  return nullptr;
}

}  // namespace tessaro::server
