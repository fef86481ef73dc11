// Market division of one listed item (the regular close lookup is in minutes.cpp).
#include <regex>

#include "core/format.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
#include "sources/naver/lists_common.hpp"
#include "sources/naver/naver.hpp"

namespace tessaro::naver {

// The stock's basic record of m.stock (also checked by `tessaro-mcp doctor`).
[[maybe_unused]] static const contracts::Contract& kBasicShape = contracts::declare(
    {"naver.basic", "네이버 종목 기본 정보", false,
     {{"itemCode", contracts::Kind::String},
      {"stockEndType", contracts::Kind::String},
      {"stockName", contracts::Kind::String},
      {"closePrice", contracts::Kind::String},
      {"stockExchangeType", contracts::Kind::Object, false},
      {"stockExchangeType.code", contracts::Kind::String, false},
      {"marketStatus", contracts::Kind::String, false},
      {"localTradedAt", contracts::Kind::String, false}}});

namespace {

// A stock's market division does not change within a day; one read serves every
// caller for hours, and callers that arrive while it is read wait for it.
detail::TtlCache g_sosok(std::chrono::hours(6));

json load_sosok(const std::string& code) {
  json j = fetch_json("m.stock.naver.com", http::Target("/api/stock/{}/basic", code), false, "https://m.stock.naver.com/");
  if (!j.is_object()) return nullptr;
  std::string end_type = fmt::lower(j.value("stockEndType", std::string()));
  if (end_type == "etf") return "ETF";
  if (end_type == "etn") return "ETN";
  if (j.contains("stockExchangeType") && j["stockExchangeType"].is_object()) {
    std::string c = j["stockExchangeType"].value("code", std::string());
    if (c == "KS") return "KOSPI";
    if (c == "KQ") return "KOSDAQ";
    std::string n = j["stockExchangeType"].value("nameEng", std::string());
    if (!n.empty()) return n;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> get_krx_sosok(const std::string& code) {
  // The division only decides extra labels: an unreachable or unreadable page
  // answers "unknown" instead of failing the caller (and is asked again next time).
  json v;
  try {
    v = g_sosok.get(code, [&] { return load_sosok(code); });
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!v.is_string()) return std::nullopt;
  return v.get<std::string>();
}

}  // namespace tessaro::naver
