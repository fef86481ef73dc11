#!/usr/bin/env bash
# The official MCP conformance suite (@modelcontextprotocol/conformance, installed
# by scripts/install-deps.sh --test into scripts/conformance with its own Node 22)
# against `tessaro-mcp serve --http` on a loopback port. Runs the server scenarios
# that apply to a server of tools and one resource (README: "Conformance"); each must pass.
#   tests/conformance/run_conformance.sh SOURCE_DIR BINARY
# Exit 77 (skipped) when the suite is not installed.
set -uo pipefail
src="$(cd "${1:?source dir}" && pwd)"
binary="${2:?tessaro-mcp binary}"
suite="$src/scripts/conformance/node_modules"
cli="$suite/@modelcontextprotocol/conformance/dist/index.js"
if [ ! -x "$suite/.bin/node" ] || [ ! -f "$cli" ]; then
  echo "SKIP: the conformance suite is not installed (run scripts/install-deps.sh --test)"
  exit 77
fi
node=$(bash "$src/scripts/node.sh" --which 2>&1) || { echo "FAIL: $node"; exit 1; }

SCENARIOS=(server-initialize ping tools-list resources-list logging-set-level dns-rebinding-protection server-sse-multiple-streams)

work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The server picks a free port and names it on stderr.
env -u TESSARO_HTTP_TOKEN HOME="$work" TESSARO_HOME="$work" TZ=Asia/Seoul \
  "$binary" serve --http --port 0 2>"$work/server.err" &
server_pid=$!
url=""
for _ in $(seq 1 100); do
  url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/mcp' "$work/server.err" | head -1)
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "FAIL: the server did not start"
  cat "$work/server.err"
  exit 1
fi

fails=0
for sc in "${SCENARIOS[@]}"; do
  if (cd "$work" && "$node" "$cli" server --url "$url" --scenario "$sc" -o "$work/results") >"$work/out" 2>&1; then
    echo "ok: $sc"
  else
    echo "FAIL: $sc"
    cat "$work/out"
    fails=1
  fi
done
if ! kill -0 "$server_pid" 2>/dev/null; then
  echo "FAIL: the server ended during the run"
  cat "$work/server.err"
  fails=1
fi
exit $fails
