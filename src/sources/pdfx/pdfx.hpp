#pragma once
// Text of a PDF (broker reports): download with a size cap, extract with
// poppler, and tell an image-only or unreadable file apart from a text one.
// The result is always a record, never an exception:
//   {status: "ok" | "image_pdf" | "too_large" | "failed", text, pages, chars, detail}
// `chars` counts Unicode code points of `text`; `text` is empty unless status is "ok".
#include <cstddef>
#include <string>

#include "core/json.hpp"

namespace tessaro::pdfx {

inline constexpr size_t MAX_BYTES = 30u * 1024u * 1024u;

// Extract from bytes already in memory.
json extract(const std::string& bytes);

// GET the file (browser headers; Naver hosts follow TESSARO_NAVER_BASE_URL like
// every Naver request) and extract it. Transport and status failures become
// status "failed" with the cause in `detail`.
json fetch_and_extract(const std::string& url, size_t max_bytes = MAX_BYTES, double timeout_s = 30.0);

}  // namespace tessaro::pdfx
