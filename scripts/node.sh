#!/usr/bin/env bash
# The Node.js every Node-based test runs on (the end-to-end tests, the conformance
# suite, the npm installs of scripts/install-deps.sh --test): the Node 22 that
# `scripts/install-deps.sh --test` brings from npm beside the conformance suite
# (scripts/conformance, npm package `node`), else `node` from PATH. Either must be
# Node >= 20; otherwise this stops with a message naming the version it found.
#   scripts/node.sh ARGS...    run that node with ARGS
#   scripts/node.sh --which    print its path
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
min=20

node="$here/conformance/node_modules/.bin/node"
[ -x "$node" ] || node="$(command -v node 2>/dev/null || true)"
if [ -z "$node" ]; then
  echo "node.sh: no Node.js found; the tests need Node >= $min (run scripts/install-deps.sh --test)" >&2
  exit 1
fi
version="$("$node" --version 2>/dev/null)"
major="${version#v}"
major="${major%%.*}"
if ! [[ "$major" =~ ^[0-9]+$ ]] || [ "$major" -lt "$min" ]; then
  echo "node.sh: Node.js ${version:-of unknown version} found ($node); the tests need Node >= $min (run scripts/install-deps.sh --test, which installs Node 22 under scripts/conformance)" >&2
  exit 1
fi
if [ "${1:-}" = "--which" ]; then
  echo "$node"
  exit 0
fi
exec "$node" "$@"
