#include "core/errors.hpp"

#include <new>
#include <typeinfo>

#include <nlohmann/json.hpp>

#include "core/call_context.hpp"

namespace tessaro {

NaverParseError::NaverParseError(const std::string& what) : Error(what) {
  fail_last_lookup("NaverParseError");
}

std::string exception_class_name(const std::exception& e) {
  if (auto* ours = dynamic_cast<const Error*>(&e)) return ours->class_name();
  if (dynamic_cast<const nlohmann::json::type_error*>(&e)) return "TypeError";
  if (dynamic_cast<const nlohmann::json::out_of_range*>(&e)) return "KeyError";
  if (dynamic_cast<const nlohmann::json::parse_error*>(&e)) return "JSONDecodeError";
  if (dynamic_cast<const nlohmann::json::exception*>(&e)) return "ValueError";
  if (dynamic_cast<const std::invalid_argument*>(&e)) return "ValueError";
  if (dynamic_cast<const std::domain_error*>(&e)) return "ValueError";
  if (dynamic_cast<const std::out_of_range*>(&e)) return "IndexError";
  if (dynamic_cast<const std::length_error*>(&e)) return "ValueError";
  if (dynamic_cast<const std::overflow_error*>(&e)) return "OverflowError";
  if (dynamic_cast<const std::range_error*>(&e)) return "ValueError";
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "MemoryError";
  if (dynamic_cast<const std::bad_cast*>(&e)) return "TypeError";
  return "RuntimeError";
}

}  // namespace tessaro
