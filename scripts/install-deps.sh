#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are present.
set -euo pipefail
PKGS=(
  build-essential cmake pkg-config git ca-certificates tzdata
  nlohmann-json3-dev libcurl4-openssl-dev libxml2-dev libfmt-dev
  libhowardhinnant-date-dev libre2-dev libxlsxwriter-dev libzip-dev
  libpugixml-dev libpoppler-cpp-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nodejs ccache
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# Test-only: the MCP TypeScript SDK client used by the end-to-end tests.
if [ "${1:-}" = "--test" ]; then
  # An independent reader for the workbook tests.
  if ! command -v soffice >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libreoffice-calc-nogui >/dev/null
  fi
  command -v npm >/dev/null || { apt-get install -y -qq npm >/dev/null 2>&1 || true; }
  if [ ! -d scripts/e2e-client/node_modules/@modelcontextprotocol/sdk ]; then
    (cd scripts/e2e-client && npm install --no-audit --no-fund --silent)
  fi
fi
