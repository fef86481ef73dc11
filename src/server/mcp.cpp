#include "server/mcp.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "core/errors.hpp"
#include "server/registry.hpp"

namespace tessaro::server {

namespace {

const char* kSupported[] = {"2025-06-18", "2025-03-26", "2024-11-05"};

json error_response(const json& id, int code, const std::string& message) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

json result_response(const json& id, json result) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

json type_schema(const std::string& t) {
  if (t == "str") return {{"type", "string"}};
  if (t == "int") return {{"type", "integer"}};
  if (t == "float") return {{"type", "number"}};
  if (t == "bool") return {{"type", "boolean"}};
  if (t == "list[str]") return {{"type", "array"}, {"items", {{"type", "string"}}}};
  if (t == "list[dict]")
    return {{"type", "array"}, {"items", {{"type", "object"}, {"additionalProperties", true}}}};
  if (t == "dict") return {{"type", "object"}, {"additionalProperties", true}};
  return json::object();
}

std::string title_of(const std::string& name) {
  std::string t;
  bool up = true;
  for (char c : name) {
    if (c == '_') {
      t.push_back(' ');
      up = true;
    } else {
      t.push_back(up ? char(std::toupper((unsigned char)c)) : c);
      up = false;
    }
  }
  return t;
}

json input_schema(const ToolEntry& entry) {
  json props = json::object();
  json required = json::array();
  for (const auto& p : entry.params) {
    json s;
    if (p.required) {
      s = type_schema(p.type);
      s["title"] = title_of(p.name);
      required.push_back(p.name);
    } else if (p.default_value.is_null()) {
      s = json{{"anyOf", json::array({type_schema(p.type), json{{"type", "null"}}})}, {"default", nullptr},
               {"title", title_of(p.name)}};
    } else {
      s = type_schema(p.type);
      s["default"] = p.default_value;
      s["title"] = title_of(p.name);
    }
    props[p.name] = std::move(s);
  }
  json schema = {{"type", "object"}, {"properties", props}};
  if (!required.empty()) schema["required"] = required;
  return schema;
}

json call_result(const std::string& text, bool is_error) {
  return json{{"content", json::array({json{{"type", "text"}, {"text", text}}})}, {"isError", is_error}};
}

json handle_tools_call(const json& id, const json& params) {
  if (!params.is_object() || !params.contains("name") || !params["name"].is_string())
    return error_response(id, -32602, "Invalid params: tools/call needs a tool name");
  std::string name = params["name"].get<std::string>();
  json args = params.contains("arguments") ? params["arguments"] : json::object();
  if (args.is_null()) args = json::object();
  try {
    return result_response(id, call_result(call_tool(name, args), false));
  } catch (const ArgumentError& e) {
    return result_response(id, call_result(e.what(), true));
  } catch (const std::exception& e) {
    // The wrappers catch tool failures; this is only reached by tessaro_status
    // misbehaving or a bug in the host layer itself.
    return result_response(id, call_result(std::string("⚠️ 도구 실행 실패: ") + exception_class_name(e), true));
  }
}

}  // namespace

bool protocol_supported(const std::string& v) {
  return std::any_of(std::begin(kSupported), std::end(kSupported), [&](const char* s) { return v == s; });
}

json tools_list() {
  json tools = json::array();
  const auto& writes = write_tools();
  for (const auto& entry : catalogue()) {
    bool writes_disk = std::find(writes.begin(), writes.end(), entry.name) != writes.end();
    tools.push_back(json{{"name", entry.name},
                         {"description", description_of(entry.name)},
                         {"inputSchema", input_schema(entry)},
                         {"annotations", {{"title", title_of(entry.name)}, {"readOnlyHint", !writes_disk}}}});
  }
  return tools;
}

json handle_message(const json& msg) {
  if (!msg.is_object()) return error_response(nullptr, -32600, "Invalid Request");
  bool has_id = msg.contains("id");
  json id = has_id ? msg["id"] : json(nullptr);
  if (!msg.contains("method") || !msg["method"].is_string()) {
    if (has_id && (msg.contains("result") || msg.contains("error"))) return nullptr;  // a reply to us
    return error_response(id, -32600, "Invalid Request");
  }
  std::string method = msg["method"].get<std::string>();
  json params = msg.contains("params") ? msg["params"] : json::object();
  if (!has_id) return nullptr;  // notifications: initialized, cancelled, ...

  if (method == "initialize") {
    std::string asked = params.is_object() && params.contains("protocolVersion") && params["protocolVersion"].is_string()
                            ? params["protocolVersion"].get<std::string>()
                            : "";
    std::string version = protocol_supported(asked) ? asked : LATEST_PROTOCOL;
    return result_response(id, json{{"protocolVersion", version},
                                    {"capabilities", {{"tools", {{"listChanged", false}}}}},
                                    {"serverInfo", {{"name", "tessaro-mcp"}, {"title", "Tessaro"}, {"version", TESSARO_VERSION}}},
                                    {"instructions", instructions()}});
  }
  if (method == "ping") return result_response(id, json::object());
  if (method == "tools/list") return result_response(id, json{{"tools", tools_list()}});
  if (method == "tools/call") return handle_tools_call(id, params);
  return error_response(id, -32601, "Method not found: " + method);
}

namespace {

class Server {
 public:
  Server(std::ostream& out, int workers) : out_(out) {
    for (int i = 0; i < workers; ++i) pool_.emplace_back([this] { work(); });
  }
  ~Server() {
    {
      std::lock_guard<std::mutex> lk(qm_);
      stop_ = true;
    }
    qcv_.notify_all();
    for (auto& t : pool_) t.join();
  }

  void on_line(const std::string& line) {
    if (line.find_first_not_of(" \t\r\n") == std::string::npos) return;
    json msg;
    try {
      msg = json::parse(line);
    } catch (const json::parse_error&) {
      write(error_response(nullptr, -32700, "Parse error"));
      return;
    }
    if (msg.is_array()) {
      // Batches are answered as a batch, in order, after all of them ran.
      if (msg.empty()) {
        write(error_response(nullptr, -32600, "Invalid Request"));
        return;
      }
      submit([this, msg] {
        json out = json::array();
        for (const auto& m : msg) {
          note_cancel(m);
          json r = handle_message(m);
          if (!r.is_null()) out.push_back(std::move(r));
        }
        if (!out.empty()) write(out);
      });
      return;
    }
    if (note_cancel(msg)) return;
    bool is_call = msg.is_object() && msg.contains("method") && msg["method"] == "tools/call" && msg.contains("id");
    if (!is_call) {
      json r = handle_message(msg);
      if (!r.is_null()) write(r);
      return;
    }
    std::string key = msg["id"].dump();
    {
      std::lock_guard<std::mutex> lk(cm_);
      in_flight_.insert(key);
    }
    submit([this, msg, key] {
      json r = handle_message(msg);
      bool cancelled;
      {
        std::lock_guard<std::mutex> lk(cm_);
        cancelled = cancelled_.erase(key) > 0;
        in_flight_.erase(key);
      }
      if (!cancelled) write(r);
    });
  }

 private:
  // notifications/cancelled: the cancelled call sends no result.
  bool note_cancel(const json& msg) {
    if (!msg.is_object() || msg.value("method", "") != "notifications/cancelled") return false;
    if (msg.contains("params") && msg["params"].is_object() && msg["params"].contains("requestId")) {
      std::string key = msg["params"]["requestId"].dump();
      std::lock_guard<std::mutex> lk(cm_);
      if (in_flight_.count(key)) cancelled_.insert(key);
    }
    return true;
  }

  void submit(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> lk(qm_);
      queue_.push_back(std::move(job));
    }
    qcv_.notify_one();
  }

  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lk(qm_);
        qcv_.wait(lk, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stop_ and drained
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      try {
        job();
      } catch (...) {
      }
    }
  }

  void write(const json& j) {
    std::string line = j.dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard<std::mutex> lk(om_);
    out_ << line << '\n';
    out_.flush();
  }

  std::ostream& out_;
  std::mutex om_, qm_, cm_;
  std::condition_variable qcv_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> pool_;
  std::set<std::string> in_flight_, cancelled_;
  bool stop_ = false;
};

}  // namespace

void serve(std::istream& in, std::ostream& out, int workers) {
  Server server(out, workers);
  std::string line;
  while (std::getline(in, line)) server.on_line(line);
  // Destructor drains the queue: calls already received still get their answer.
}

}  // namespace tessaro::server
