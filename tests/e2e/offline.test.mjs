// The end-to-end tests never reach the internet: every binary they start gets the
// offline environment of the harness, and the binary refuses what would leave
// loopback anyway, naming it.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { OFFLINE_ENV, SOURCE_GROUPS, spawnBinarySync, takeRefused } from "./lib.mjs";

const HERE = path.dirname(new URL(import.meta.url).pathname);
const SRC = path.resolve(HERE, "../../src/sources");

function filesUnder(dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((e) =>
    e.isDirectory() ? filesUnder(path.join(dir, e.name)) : [path.join(dir, e.name)]);
}

test("every source group the HTTP layer is asked for has a closed loopback default", () => {
  const groups = new Set();
  for (const f of filesUnder(SRC).filter((f) => /\.(cpp|hpp)$/.test(f)))
    for (const m of fs.readFileSync(f, "utf8").matchAll(/\bbase\("([A-Z]+)"/g)) groups.add(m[1]);
  assert.ok(groups.has("NAVER") && groups.has("SEC"), [...groups].join(","));
  for (const g of groups) {
    assert.ok(SOURCE_GROUPS.includes(g), `${g} is missing from SOURCE_GROUPS in lib.mjs (and CMakeLists.txt)`);
    assert.match(OFFLINE_ENV[`TESSARO_${g}_BASE_URL`], /^http:\/\/127\.0\.0\.1:\d+$/);
  }
  assert.equal(OFFLINE_ENV.TESSARO_TEST_LOOPBACK_ONLY, "1");
});

test("no test starts the binary without the harness's environment", () => {
  for (const f of fs.readdirSync(HERE).filter((f) => f.endsWith(".test.mjs"))) {
    const text = fs.readFileSync(path.join(HERE, f), "utf8");
    assert.doesNotMatch(text, /\b(spawn|spawnSync|execFile|execFileSync|fork)\(\s*BINARY\b|command:\s*BINARY\b/,
      `${f} starts the binary itself: use spawnBinary/spawnBinarySync/connect/startHttpServer from lib.mjs`);
  }
});

test("a request beyond loopback is refused and named; a forgotten fixture server is a refused connection", () => {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-e2e-offline-"));
  try {
    const args = ["call", "get_price", JSON.stringify({ code: "005930" })];
    const env = { HOME: home, TESSARO_HOME: home, TZ: "Asia/Seoul", TESSARO_HTTP_TIMEOUT_S: "2" };
    const out = spawnBinarySync(args, { env: { ...env, TESSARO_NAVER_BASE_URL: "https://example.invalid" } });
    assert.equal(out.status, 0, String(out.stderr));
    const got = takeRefused();
    assert.ok(got.length > 0 && got.every((u) => u.startsWith("https://example.invalid/")), got.join("\n"));
    assert.match(String(out.stderr), /non-loopback address refused: https:\/\/example\.invalid\//);
    assert.match(String(out.stdout), /⚠️|실패|오류/, String(out.stdout));

    const forgot = spawnBinarySync(args, { env });   // no base URL of its own: the closed port
    assert.equal(forgot.status, 0, String(forgot.stderr));
    assert.deepEqual(takeRefused(), []);
    assert.match(String(forgot.stdout), /⚠️|실패|오류/, String(forgot.stdout));
  } finally {
    fs.rmSync(home, { recursive: true, force: true });
  }
});
