// Market division of one listed item (the regular close lookup is in minutes.cpp).
#include <regex>

#include "core/format.hpp"
#include "sources/contracts.hpp"
#include "sources/http.hpp"
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

std::optional<std::string> get_krx_sosok(const std::string& code) {
  // The division only decides extra labels: an unreachable or unreadable page
  // answers "unknown" instead of failing the caller.
  json j;
  try {
    j = fetch_json("m.stock.naver.com", http::Target("/api/stock/{}/basic", code), false, "https://m.stock.naver.com/");
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!j.is_object()) return std::nullopt;
  std::string end_type = fmt::lower(j.value("stockEndType", std::string()));
  if (end_type == "etf") return std::string("ETF");
  if (end_type == "etn") return std::string("ETN");
  if (j.contains("stockExchangeType") && j["stockExchangeType"].is_object()) {
    std::string c = j["stockExchangeType"].value("code", std::string());
    if (c == "KS") return std::string("KOSPI");
    if (c == "KQ") return std::string("KOSDAQ");
    std::string n = j["stockExchangeType"].value("nameEng", std::string());
    if (!n.empty()) return n;
  }
  return std::nullopt;
}

}  // namespace tessaro::naver
