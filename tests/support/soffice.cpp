#include "support/soffice.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>

namespace tessaro::testing {

namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string& s) {   // for /bin/sh, single quotes
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command; its exit status and what it wrote on stdout and stderr.
int run(const std::string& cmd, std::string& said) {
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
  int st = ::pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

}  // namespace

SofficeResult soffice_convert(const fs::path& input, const std::string& filter, const std::string& extension,
                              const fs::path& outdir, const std::string& home) {
  SofficeResult r;
  if (std::system("command -v soffice >/dev/null 2>&1") != 0) {
    r.installed = false;
    r.problem = kSofficeMissing;
    return r;
  }
  fs::create_directories(outdir);
  // LC_ALL wins over every other locale variable the test may have (or lack).
  std::string cmd = "cd " + quoted(outdir.string()) + " && HOME=" + quoted(home) +
                    " LC_ALL=C.UTF-8 LANG=C.UTF-8 soffice --headless --norestore --convert-to " + quoted(filter) +
                    " " + quoted(input.string()) + " --outdir " + quoted(outdir.string());
  std::string said;
  int status = run(cmd, said);
  std::error_code ec;
  for (auto& e : fs::directory_iterator(outdir, ec))
    if (e.path().extension() == extension && e.path().filename().string().rfind(input.stem().string(), 0) == 0) {
      r.output = e.path();
      break;
    }
  if (r.output.empty())
    r.problem = "soffice (in locale C.UTF-8) exited with " + std::to_string(status) + " and wrote no " + extension +
                " for " + input.string() + "; it said: " + (said.empty() ? "nothing" : said);
  return r;
}

SofficeResult soffice_sheet_csv(const fs::path& xlsx, const std::string& home, int sheet, bool as_shown) {
  // Separator ",", quote '"', UTF-8, from line 1, cells as text or as shown, one sheet.
  std::string filter = std::string("csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,") +
                       (as_shown ? "true" : "false") + ",false,false," + std::to_string(sheet);
  fs::path out = fs::path(home) / ((as_shown ? "shown" : "csv") + std::to_string(sheet));
  SofficeResult r = soffice_convert(xlsx, filter, ".csv", out, home);
  if (!r.output.empty()) {
    std::ifstream in(r.output);
    r.text.assign(std::istreambuf_iterator<char>(in), {});
  }
  return r;
}

}  // namespace tessaro::testing
