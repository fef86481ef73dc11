// The current MCP revision (2026-07-28, no initialize) beside the legacy ones,
// driven by clients nobody here wrote: the SDK's second generation pinned to
// 2026-07-28 and in auto mode, over stdio and over HTTP, and the MCP Inspector's
// CLI in both eras. Catalogue, a call, a wrong argument, progress and
// cancellation of a long screen, structuredContent checked by the client against
// the tool's outputSchema, and the watchlist resource.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { execFile } from "node:child_process";
import {
  connect, connectV2, startHttpServer, slowMarket, textOf, SCREEN, BINARY, INSPECTOR_CLI,
} from "./lib.mjs";

const MODERN = "2026-07-28";
const PIN = { pin: MODERN };
const CLOCK = "2026-12-04T17:10:00+09:00";

// Over stdio and over HTTP, the same checks.
const transports = [
  ["stdio", async (env) => ({ env, url: undefined, stop: async () => {} })],
  ["http", async (env) => {
    const http = await startHttpServer(env);
    return { env: {}, url: http.url, stop: () => http.stop() };
  }],
];

for (const [kind, serve] of transports) {
  test(`SDK v2 pinned to ${MODERN} over ${kind}: catalogue, call, wrong argument, structured result, watchlist`, async () => {
    const { srv } = await slowMarket(3, 0);
    const where = await serve({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_NOW: CLOCK });
    const c = await connectV2({ mode: PIN, env: where.env, url: where.url });
    try {
      assert.equal(c.client.getNegotiatedProtocolVersion(), MODERN);
      assert.equal(c.client.getServerVersion().name, "tessaro-mcp");
      const listed = await c.client.listTools();
      assert.equal(listed.tools.length, 73);
      assert.equal(listed.tools[0].name, "get_market_clock");
      assert.equal(listed.tools.at(-1).name, "get_investor_deposit");
      assert.ok(listed.ttlMs > 0 && listed.cacheScope === "public", JSON.stringify({ ttl: listed.ttlMs, scope: listed.cacheScope }));
      // Every argument says what it is.
      const undescribed = listed.tools.flatMap((t) =>
        Object.entries(t.inputSchema.properties ?? {}).filter(([, s]) => !s.description).map(([n]) => `${t.name}.${n}`));
      assert.deepEqual(undescribed, []);

      const clock = await c.client.callTool({ name: "get_market_clock", arguments: {} });
      assert.equal(clock.isError, false);
      assert.match(textOf(clock), /2026-12-04/);

      const bad = await c.client.callTool({ name: "get_chart", arguments: { code: "005930", count: "many" } });
      assert.equal(bad.isError, true);
      assert.match(textOf(bad), /^⚠️ get_chart: 인자 'count'/);

      // The client checks structuredContent against the outputSchema it listed; the
      // document is the text's own.
      const ind = await c.client.callTool({ name: "get_indicators", arguments: { code: "300001", days: 120 } });
      assert.equal(ind.isError, false, textOf(ind));
      assert.deepEqual(ind.structuredContent, JSON.parse(textOf(ind)));
      assert.equal(ind.structuredContent.code, "300001");

      const res = await c.client.listResources();
      assert.deepEqual(res.resources.map((r) => r.uri), ["tessaro://watchlist", "ui://tessaro/chart"]);
      const read = await c.client.readResource({ uri: "tessaro://watchlist" });
      assert.deepEqual(JSON.parse(read.contents[0].text), { count: 0, items: [] });
      assert.equal(read.cacheScope, "private");
    } finally {
      await c.close();
      await where.stop();
      await srv.close();
    }
  });

  test(`SDK v2 over ${kind}: a long screen reports progress and stops when cancelled`, { timeout: 90000 }, async () => {
    const { srv, starts } = await slowMarket(50, 400);
    const where = await serve({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_HTTP_TIMEOUT_S: "5", TESSARO_NOW: CLOCK, TESSARO_BARS_CACHE: "off" });
    const c = await connectV2({ mode: PIN, env: where.env, url: where.url });
    try {
      const seen = [];
      const ac = new AbortController();
      const call = c.client.callTool({ name: "screen_chart", arguments: SCREEN }, {
        signal: ac.signal,
        timeout: 60000,
        onprogress: (p) => {
          seen.push(p);
          if (seen.length === 2) ac.abort("user cancelled");
        },
      }).then(() => "answered", () => "aborted");
      assert.equal(await call, "aborted");
      assert.ok(seen.length >= 2 && seen[1].progress > seen[0].progress, JSON.stringify(seen));
      // The screen stops asking: a whole one fetches 50 charts.
      const asked = starts.length;
      await new Promise((r) => setTimeout(r, 1500));
      assert.ok(starts.length < 50, `${starts.length} charts asked for`);
      assert.ok(starts.length - asked <= 20, `${starts.length - asked} charts asked for after the cancel`);
      // The server still serves.
      const again = await c.client.callTool({ name: "get_market_clock", arguments: {} });
      assert.equal(again.isError, false);
    } finally {
      await c.close();
      await where.stop();
      await srv.close();
    }
  });

  test(`SDK v2 in auto mode over ${kind} stays modern`, async () => {
    const where = await serve({ TESSARO_NOW: CLOCK });
    const c = await connectV2({ mode: "auto", env: where.env, url: where.url });
    try {
      assert.equal(c.client.getNegotiatedProtocolVersion(), MODERN);
      assert.equal((await c.client.listTools()).tools.length, 73);
    } finally {
      await c.close();
      await where.stop();
    }
  });
}

test("SDK v1 (legacy era) is offered 2025-11-25 and gets tool titles, no modern fields", async () => {
  const c = await connect({ TESSARO_NOW: CLOCK });
  try {
    const listed = await c.client.listTools();
    assert.equal(listed.tools[0].title, "Get Market Clock");
    assert.equal(listed.ttlMs, undefined);
    const clock = await c.client.callTool({ name: "get_market_clock", arguments: {} });
    assert.equal(clock.resultType, undefined);
    const read = await c.client.readResource({ uri: "tessaro://watchlist" });
    assert.deepEqual(JSON.parse(read.contents[0].text), { count: 0, items: [] });
  } finally {
    await c.close();
  }
});

// The Inspector's CLI, one method per run; its JSON answer on stdout.
function inspector(era, target, args, env = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-e2e-inspector-"));
  const envArgs = Object.entries({ TESSARO_HOME: home, TZ: "Asia/Seoul", TESSARO_NOW: CLOCK, ...env }).flatMap(([k, v]) => ["-e", `${k}=${v}`]);
  return new Promise((resolve) => {
    execFile(process.execPath, [INSPECTOR_CLI, "--protocol-era", era, ...(target.startsWith("http") ? [] : envArgs), target, ...args],
      { env: { PATH: process.env.PATH, HOME: home, MCP_CATALOG_PATH: path.join(home, "catalog.json") }, timeout: 60000 },
      (err, stdout, stderr) => {
        fs.rmSync(home, { recursive: true, force: true });
        resolve({ code: err ? err.code ?? 1 : 0, stdout, stderr });
      });
  });
}

test("the Inspector CLI in both eras, over stdio and HTTP: list, call, a wrong argument, the watchlist", { timeout: 180000 }, async () => {
  const http = await startHttpServer({ TESSARO_NOW: CLOCK });
  try {
    for (const era of ["modern", "legacy"]) {
      for (const target of [BINARY, http.url]) {
        const where = `${era} ${target.startsWith("http") ? "http" : "stdio"}`;
        const list = await inspector(era, target, ["--method", "tools/list"]);
        assert.equal(list.code, 0, `${where}: ${list.stderr}`);
        assert.equal(JSON.parse(list.stdout).tools.length, 73, where);

        const call = await inspector(era, target, ["--method", "tools/call", "--tool-name", "get_market_clock"]);
        assert.equal(call.code, 0, `${where}: ${call.stderr}`);
        const reply = JSON.parse(call.stdout);
        assert.match(reply.content[0].text, /2026-12-04/, where);
        // Only the modern era names the server in every result.
        assert.equal(reply._meta?.["io.modelcontextprotocol/serverInfo"]?.name, era === "modern" ? "tessaro-mcp" : undefined, where);

        const wrong = await inspector(era, target, ["--method", "tools/call", "--tool-name", "get_chart", "--tool-arg", "count=many", "code=005930"]);
        assert.match(wrong.stdout + wrong.stderr, /isError|인자 'count'/, where);

        const read = await inspector(era, target, ["--method", "resources/read", "--uri", "tessaro://watchlist"]);
        assert.equal(read.code, 0, `${where}: ${read.stderr}`);
        assert.deepEqual(JSON.parse(JSON.parse(read.stdout).contents[0].text), { count: 0, items: [] }, where);
      }
    }
  } finally {
    await http.stop();
  }
});
