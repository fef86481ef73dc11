// The host under real clients: null arguments, a protocol fuzz over every tool,
// calls that must not wait behind slow ones, cancellation and progress.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { connect, startFixtureServer, textOf, readFixture, spawnBinary, slowMarket, SCREEN } from "./lib.mjs";

const HANGUL = /[\uAC00-\uD7A3]/;

test("null for a defaulted argument is the same as leaving it out", async () => {
  const srv = await startFixtureServer({
    "/fchart.stock.naver.com/sise.nhn": { body: readFixture("naver/fchart_day_005930.xml"), contentType: "text/xml; charset=EUC-KR" },
    "/m.stock.naver.com/api/stock/005930/trend": { body: readFixture("naver/trend_005930.json") },
  });
  const c = await connect({
    TESSARO_NAVER_BASE_URL: srv.url, TESSARO_SEC_BASE_URL: srv.url, TESSARO_YAHOO_BASE_URL: srv.url,
    TESSARO_SEC_CONTACT: "ops@example.com", TESSARO_NOW: "2026-09-16T17:10:00+09:00",
  });
  try {
    const cases = [
      ["get_chart", { code: "005930" }, { timeframe: null, count: null }],
      ["get_flow", { code: "005930" }, { days: null }],
      ["get_indicators", { code: "005930" }, { days: null, include: null, timeframe: null, params: null }],
      ["watchlist", {}, { action: null, query: null }],
      ["get_us_filings", { ticker: "ZZZZ" }, { limit: null, forms: null, page: null, offset: null }],
    ];
    for (const [name, required, nulls] of cases) {
      const plain = await c.client.callTool({ name, arguments: required });
      const withNull = await c.client.callTool({ name, arguments: { ...required, ...nulls } });
      assert.equal(textOf(withNull), textOf(plain), name);
      assert.equal(withNull.isError, plain.isError, name);
    }
    // The default really applied: 120 bars asked for, not 0.
    const chart = textOf(await c.client.callTool({ name: "get_chart", arguments: { code: "005930", count: null } }));
    assert.match(chart, /^종목 005930 일봉 OHLCV/);
    // A required argument given as null is refused in Korean.
    const r = await c.client.callTool({ name: "get_chart", arguments: { code: null } });
    assert.equal(r.isError, true);
    assert.match(textOf(r), /^⚠️ get_chart: .*code/);
  } finally {
    await c.close();
    await srv.close();
  }
});

// ---- fuzz ---------------------------------------------------------------------

function typeOf(schema) {
  if (schema.anyOf) return schema.anyOf.find((s) => s.type !== "null")?.type ?? "string";
  return schema.type ?? "string";
}

function validValue(type) {
  return { string: "005930", integer: 5, number: 1.5, boolean: true, array: ["005930"], object: {} }[type] ?? "x";
}

function wrongValue(type) {
  return { string: 12345, integer: "열두개", number: "많이", boolean: "maybe", array: "005930", object: [1, 2] }[type] ?? {};
}

const DEEP = "[".repeat(100000) + "]".repeat(100000);
const NESTED_OK = "[".repeat(200) + "]".repeat(200);

// The mutations of one argument, as JSON texts of its value.
function mutations(type) {
  return [
    JSON.stringify(wrongValue(type)),
    "null",
    type === "integer" ? "18446744073709551615" : "1e308",
    JSON.stringify("가".repeat(100000)),
    '"ab\\ud83d"',
    DEEP,
    NESTED_OK,
  ];
}

test("protocol fuzz: every tool, every argument, one server process", async () => {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-fuzz-"));
  const dead = "http://127.0.0.1:9";
  const child = spawnBinary([], {
    env: {
      HOME: home, TESSARO_HOME: home, TZ: "Asia/Seoul", TESSARO_HTTP_TIMEOUT_S: "1",
      TESSARO_NOW: "2026-09-16T10:15:00+09:00",
      TESSARO_NAVER_BASE_URL: dead, TESSARO_YAHOO_BASE_URL: dead, TESSARO_SEC_BASE_URL: dead,
      TESSARO_KIS_BASE_URL: dead, TESSARO_KIWOOM_BASE_URL: dead, TESSARO_TOSS_BASE_URL: dead,
    },
    stdio: ["pipe", "pipe", "pipe"],
  });
  child.stderr.resume();
  const exited = new Promise((r) => child.on("exit", (code, signal) => r({ code, signal })));
  const answers = new Map();     // id -> list of messages
  const badLines = [];
  const notifications = [];
  const waiters = new Map();
  let buf = "";
  child.stdout.on("data", (d) => {
    buf += d;
    let nl;
    while ((nl = buf.indexOf("\n")) >= 0) {
      const line = buf.slice(0, nl);
      buf = buf.slice(nl + 1);
      let msg;
      try {
        msg = JSON.parse(line);
      } catch {
        badLines.push(line.slice(0, 200));
        continue;
      }
      if (msg.method) notifications.push(msg.method);
      if (msg.id === undefined || msg.id === null) continue;
      if (!answers.has(msg.id)) answers.set(msg.id, []);
      answers.get(msg.id).push(msg);
      waiters.get(msg.id)?.(msg);
      waiters.delete(msg.id);
    }
  });
  let nextId = 1;
  const send = (text) => child.stdin.write(text + "\n");
  const request = (build) => {
    const id = nextId++;
    const p = new Promise((r) => waiters.set(id, r));
    send(build(id));
    return { id, p };
  };
  const callText = (id, name, argsText) =>
    `{"jsonrpc":"2.0","id":${id},"method":"tools/call","params":{"name":${JSON.stringify(name)},"arguments":${argsText}}}`;

  const t0 = Date.now();
  await request((id) => JSON.stringify({ jsonrpc: "2.0", id, method: "initialize",
    params: { protocolVersion: "2025-06-18", capabilities: {}, clientInfo: { name: "fuzz", version: "1" } } })).p;
  send('{"jsonrpc":"2.0","method":"notifications/initialized"}');
  const { tools } = (await request((id) => JSON.stringify({ jsonrpc: "2.0", id, method: "tools/list" })).p).result;
  assert.equal(tools.length, 73);

  // Every call is the tool's required arguments with one mutation.
  const jobs = [];   // [kind, text builder, tool]
  // A tool that declares an outputSchema answers with a document; a reply of
  // such a tool in words ("차트 데이터를 가져올 수 없습니다") is an error reply.
  const documentTools = new Set(tools.filter((t) => t.outputSchema).map((t) => t.name));
  for (const tool of tools) {
    const props = tool.inputSchema.properties ?? {};
    const required = tool.inputSchema.required ?? [];
    const base = Object.fromEntries(required.map((k) => [k, validValue(typeOf(props[k]))]));
    const baseText = JSON.stringify(base);
    const withArg = (k, valueText) => {
      const rest = JSON.stringify({ ...base, [k]: undefined });
      return rest === "{}" ? `{${JSON.stringify(k)}:${valueText}}` : `{${JSON.stringify(k)}:${valueText},${rest.slice(1)}`;
    };
    jobs.push(["call", (id) => callText(id, tool.name, baseText), tool.name]);
    jobs.push(["call", (id) => callText(id, tool.name, withArg("unknown_key_zz", "1")), tool.name]);
    jobs.push(["call", (id) => callText(id, tool.name, '"not an object"'), tool.name]);
    for (const [k, schema] of Object.entries(props))
      for (const m of mutations(typeOf(schema))) jobs.push(["call", (id) => callText(id, tool.name, withArg(k, m)), tool.name]);
  }
  jobs.push(["call", (id) => callText(id, "get_price\\ud83d", "{}")]);
  jobs.push(["other", (id) => `{"jsonrpc":"2.0","id":${id},"method":"ping","params":{"x":${DEEP}}}`]);
  jobs.push(["other", (id) => `{"jsonrpc":"2.0","id":${id},"method":"tools/list","params":{"cursor":"zz"}}`]);

  // A bounded number in flight, so the run stays short and deterministic.
  const inFlight = new Set();
  const replies = [];
  for (const [kind, build, tool] of jobs) {
    if (inFlight.size >= 24) await Promise.race(inFlight);
    const { id, p } = request(build);
    const done = p.then((msg) => {
      inFlight.delete(done);
      replies.push([kind, id, msg, tool]);
    });
    inFlight.add(done);
  }
  // Garbage and notifications in between answer nothing or an id-less error.
  send("this is not json");
  send(`{"jsonrpc":"2.0","method":"notifications/cancelled","params":${DEEP}}`);
  send("");
  await Promise.all(inFlight);
  const last = await request((id) => JSON.stringify({ jsonrpc: "2.0", id, method: "ping" })).p;
  assert.deepEqual(last.result, {});
  child.stdin.end();
  const { code, signal } = await exited;
  fs.rmSync(home, { recursive: true, force: true });

  assert.equal(signal, null, "no crash");
  assert.equal(code, 0);
  assert.deepEqual(badLines, [], "stdout carries only JSON-RPC lines");
  assert.deepEqual(notifications, [], "no progress without a progress token");
  assert.equal(answers.size, nextId - 1, "every request answered");
  for (const [id, list] of answers) assert.equal(list.length, 1, `id ${id} answered ${list.length} times`);
  assert.equal(replies.length, jobs.length);
  let refusals = 0;
  for (const [kind, id, msg, tool] of replies) {
    if (msg.error) {
      assert.ok(HANGUL.test(msg.error.message) && msg.error.message.includes("⚠️"), JSON.stringify(msg).slice(0, 300));
      continue;
    }
    assert.equal(kind, "call");
    const text = msg.result.content.map((c) => c.text).join("\n");
    assert.equal(typeof msg.result.isError, "boolean");
    if (msg.result.isError) {
      refusals++;
      // An error reply opens with the warning sign or names its failed lookup with one;
      // a JSON reply that obtained nothing says so in its _meta.
      let jsonNone = false;
      if (text.startsWith("{")) {
        try {
          jsonNone = JSON.parse(text)._meta?.data_completeness === "none";
        } catch {}
      }
      assert.ok((text.includes("⚠️") && HANGUL.test(text)) || jsonNone || documentTools.has(tool), `id ${id}: ${text.slice(0, 200)}`);
      // The chart tools hand their outcome (failed, refused) to the view as a document.
      if (!["get_chart", "get_intraday_chart", "get_us_chart"].includes(tool))
        assert.equal(msg.result.structuredContent, undefined, `id ${id}`);
    }
  }
  assert.ok(refusals > 200, `refusals: ${refusals}`);
  assert.ok(Date.now() - t0 < 50000);
});

// ---- concurrency ------------------------------------------------------------------

test("a call that needs no network answers at once while 40 calls wait on a slow source", async () => {
  const slow = await startFixtureServer({ "*": { delayMs: 5000, body: "{}" } });
  const c = await connect({ TESSARO_NAVER_BASE_URL: slow.url, TESSARO_HTTP_TIMEOUT_S: "8" });
  try {
    const pending = Array.from({ length: 40 }, () =>
      c.client.callTool({ name: "get_price", arguments: { code: "005930" } }).catch(() => null));
    await new Promise((r) => setTimeout(r, 300));
    const t0 = Date.now();
    const clock = await c.client.callTool({ name: "get_market_clock", arguments: {} });
    const took = Date.now() - t0;
    assert.equal(clock.isError, false);
    assert.ok(took < 1000, `get_market_clock took ${took} ms`);
    void pending;
  } finally {
    await c.close();
    await slow.close();
  }
});

test("a cancelled screen stops asking the source", async () => {
  const { srv, starts } = await slowMarket(50, 1000);
  const c = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_HTTP_TIMEOUT_S: "5", TESSARO_NOW: "2026-12-04T17:10:00+09:00" });
  try {
    const ac = new AbortController();
    const screen = c.client.callTool({ name: "screen_chart", arguments: SCREEN }, undefined, { signal: ac.signal });
    const outcome = screen.then(() => "answered", () => "aborted");
    await new Promise((r) => setTimeout(r, 1500));
    assert.ok(starts.length > 0, "the screen had started");
    ac.abort("user cancelled");
    const cancelAt = Date.now();
    assert.equal(await outcome, "aborted");
    await new Promise((r) => setTimeout(r, 3000));
    const late = starts.filter((t) => t > cancelAt + 1000);
    assert.deepEqual(late, [], `requests started after the cancel: ${late.map((t) => t - cancelAt)}`);
    assert.ok(starts.length < 50, `only ${starts.length} of 50 charts asked for`);
    await c.client.ping();   // still serving
  } finally {
    await c.close();
    await srv.close();
  }
});

test("a screen with a progress token reports growing progress", async () => {
  const { srv } = await slowMarket(50, 250);
  const c = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_HTTP_TIMEOUT_S: "5", TESSARO_NOW: "2026-12-04T17:10:00+09:00" });
  try {
    const seen = [];
    const r = await c.client.callTool({ name: "screen_chart", arguments: SCREEN }, undefined, {
      onprogress: (p) => seen.push(p),
    });
    assert.equal(r.isError, false);
    assert.doesNotMatch(textOf(r), /^⚠️/);
    assert.ok(seen.length >= 2, `progress notifications: ${JSON.stringify(seen)}`);
    for (let i = 1; i < seen.length; i++) assert.ok(seen[i].progress > seen[i - 1].progress, JSON.stringify(seen));
    for (const p of seen) {
      assert.ok(p.total >= p.progress);
      assert.match(p.message, HANGUL);
    }
    const plain = await c.client.callTool({ name: "get_market_clock", arguments: {} });
    assert.equal(plain.isError, false);
  } finally {
    await c.close();
    await srv.close();
  }
});
