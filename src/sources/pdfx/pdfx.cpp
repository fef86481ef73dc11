#include "sources/pdfx/pdfx.hpp"

#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-global.h>
#include <poppler/cpp/poppler-page.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "sources/http.hpp"

namespace tessaro::pdfx {

namespace {

// Poppler reports damaged objects on its own channel; nothing may reach stdout.
void quiet(const std::string&, void*) {}
std::once_flag g_quiet_once;

json result(const std::string& status, const std::string& detail, int pages = 0, const std::string& text = "") {
  return {{"status", status},
          {"text", text},
          {"pages", pages},
          {"chars", static_cast<long long>(fmt::cp_len(text))},
          {"detail", detail}};
}

// Decodes one UTF-8 code point at s[i]; advances i. Invalid bytes give U+FFFD.
char32_t next_cp(const std::string& s, size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

bool is_word_char(char32_t cp) {
  if (cp < 0x80) return (cp >= '0' && cp <= '9') || (cp >= 'A' && cp <= 'Z') || (cp >= 'a' && cp <= 'z');
  if (cp >= 0xAC00 && cp <= 0xD7A3) return true;   // Hangul syllables
  if (cp >= 0x3130 && cp <= 0x318F) return true;   // Hangul jamo (compatibility)
  if (cp >= 0x4E00 && cp <= 0x9FFF) return true;   // CJK ideographs
  if (cp >= 0x00C0 && cp <= 0x024F) return true;   // Latin letters with marks
  return false;
}

bool is_garbage(char32_t cp) {
  if (cp == 0xFFFD) return true;
  if (cp >= 0xE000 && cp <= 0xF8FF) return true;   // private use: glyphs without a Unicode map
  if (cp < 0x20 && cp != '\n' && cp != '\t' && cp != '\r' && cp != '\f') return true;
  return false;
}

// Page texts joined, line ends normalised, trailing blanks and runs of empty
// lines removed.
std::string tidy(const std::string& raw) {
  std::string s = fmt::replace_all(raw, "\r\n", "\n");
  s = fmt::replace_all(std::move(s), "\r", "\n");
  s = fmt::replace_all(std::move(s), "\f", "\n");
  std::string out;
  std::string line;
  int blank_run = 0;
  auto flush = [&](bool last) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty()) {
      ++blank_run;
      if (blank_run <= 1 && !out.empty() && !last) out += "\n";
    } else {
      blank_run = 0;
      out += line;
      if (!last) out += "\n";
    }
    line.clear();
  };
  for (char c : s) {
    if (c == '\n') flush(false);
    else line.push_back(c);
  }
  flush(true);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  size_t start = 0;
  while (start < out.size() && (out[start] == '\n' || out[start] == ' ')) ++start;
  return out.substr(start);
}

std::string mb(size_t bytes) { return fmt::fixed(static_cast<double>(bytes) / (1024.0 * 1024.0), 1) + "MB"; }

// Naver-served files follow the test base URL like every other Naver request.
std::string routed(const std::string& url) {
  auto scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  auto slash = url.find('/', scheme + 3);
  std::string host = url.substr(scheme + 3, slash == std::string::npos ? std::string::npos : slash - scheme - 3);
  std::string rest = slash == std::string::npos ? "/" : url.substr(slash);
  std::string h = fmt::lower(host);
  bool naver = fmt::ends_with(h, ".pstatic.net") || fmt::ends_with(h, ".naver.com") || h == "naver.com";
  if (!naver) return url;
  return http::base("NAVER", host) + rest;
}

}  // namespace

json extract(const std::string& bytes) {
  std::call_once(g_quiet_once, [] { poppler::set_debug_error_function(quiet, nullptr); });
  if (bytes.empty()) return result("failed", "빈 파일");
  if (bytes.substr(0, 1024).find("%PDF") == std::string::npos)
    return result("failed", "PDF 파일이 아닌 응답 (" + std::to_string(bytes.size()) + "바이트)");
  std::unique_ptr<poppler::document> doc(
      poppler::document::load_from_raw_data(bytes.data(), static_cast<int>(bytes.size())));
  if (!doc) return result("failed", "PDF 구조를 열지 못했습니다 (손상된 파일)");
  if (doc->is_locked()) return result("failed", "암호가 걸린 PDF");
  int pages = doc->pages();
  if (pages <= 0) return result("failed", "쪽이 없는 PDF");

  std::string all;
  for (int i = 0; i < pages; ++i) {
    std::unique_ptr<poppler::page> p(doc->create_page(i));
    if (!p) continue;
    poppler::byte_array b = p->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
    if (!all.empty()) all += "\n\n";
    all.append(b.begin(), b.end());
  }
  std::string text = tidy(all);

  size_t word = 0, garbage = 0, visible = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t cp = next_cp(text, i);
    if (cp == ' ' || cp == '\n' || cp == '\t') continue;
    ++visible;
    if (is_word_char(cp)) ++word;
    else if (is_garbage(cp)) ++garbage;
  }
  // A page of a text report carries hundreds of letters; a handful over the
  // whole file means the pages are pictures (or the letters are outlines).
  size_t min_words = std::max<size_t>(40, static_cast<size_t>(pages) * 15);
  if (word < min_words)
    return result("image_pdf",
                  std::to_string(pages) + "쪽에서 읽을 수 있는 글자 " + std::to_string(word) + "자 (이미지 또는 외곽선 글꼴)",
                  pages);
  if (visible > 0 && garbage * 10 > visible * 3)
    return result("failed",
                  "글자 코드를 해석하지 못했습니다 (해석 불가 " + std::to_string(garbage) + "자 / " +
                      std::to_string(visible) + "자)",
                  pages);
  return result("ok", "", pages, text);
}

json fetch_and_extract(const std::string& url, size_t max_bytes, double timeout_s) {
  if (url.empty()) return result("failed", "PDF 주소가 없습니다");
  http::Request req;
  try {
    req.url = http::Url::given(routed(url));   // a link the report page carried
  } catch (const std::invalid_argument&) {
    return result("failed", "PDF 주소가 올바르지 않습니다");
  }
  req.headers = {{"User-Agent",
                  "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                  "Chrome/120.0.0.0 Safari/537.36"},
                 {"Accept", "application/pdf, */*"},
                 {"Referer", "https://m.stock.naver.com/"}};
  req.timeout_s = timeout_s;
  req.retries = 1;
  http::Response r;
  try {
    r = http::fetch(req);
  } catch (const Error& e) {
    return result("failed", std::string(e.class_name()) + ": " + e.what());
  } catch (const std::exception& e) {
    return result("failed", exception_class_name(e) + ": " + e.what());
  }
  std::string declared = r.header("content-length");
  auto declared_n = fmt::parse_int(declared);
  if ((declared_n && *declared_n > 0 && static_cast<size_t>(*declared_n) > max_bytes) || r.body.size() > max_bytes) {
    size_t n = declared_n && *declared_n > 0 ? static_cast<size_t>(*declared_n) : r.body.size();
    return result("too_large", "파일 크기 " + mb(n) + " > 상한 " + mb(max_bytes));
  }
  return extract(r.body);
}

}  // namespace tessaro::pdfx
