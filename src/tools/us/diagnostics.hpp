#pragma once
// Bodies of the SEC-based diagnostics, exposed for tests (JSON text or a plain reply).
#include <optional>
#include <string>
#include <vector>

namespace tessaro::tools::us {

std::string financial_soundness(const std::string& symbol);
std::string us_liquidity(const std::string& ticker);
std::string us_multi_diagnosis(const std::vector<std::string>& tickers,
                               const std::optional<std::vector<std::string>>& include);

}  // namespace tessaro::tools::us
