// Toolsets as a host sees them: TESSARO_TOOLSETS narrows the tool list and the
// instructions, a tool that is off is refused with its toolset named, and an
// unknown toolset name stops the server with a message instead of a crash.
import { test } from "node:test";
import assert from "node:assert/strict";
import { connect, textOf, spawnBinarySync } from "./lib.mjs";

const ALWAYS_ON = ["get_market_clock", "tessaro_status", "search", "search_stock", "watchlist"];

test("TESSARO_TOOLSETS limits tools/list and refuses a tool that is off", async () => {
  const all = await connect();
  let everything;
  try {
    everything = (await all.client.listTools()).tools;
  } finally {
    await all.close();
  }
  assert.equal(everything.length, 73);

  const conn = await connect({ TESSARO_TOOLSETS: "us" });
  try {
    const { tools } = await conn.client.listTools();
    const names = tools.map((t) => t.name);
    for (const name of ALWAYS_ON) assert.ok(names.includes(name), name);
    assert.ok(names.includes("get_us_price"));
    assert.ok(!names.includes("get_price"));
    assert.ok(!names.includes("get_flow"));
    // Same order as the full catalogue.
    assert.deepEqual(names, everything.map((t) => t.name).filter((n) => names.includes(n)));
    assert.equal(names.filter((n) => n.includes("us") && n !== "tessaro_status").length, 24);

    const instructions = conn.client.getInstructions();
    assert.doesNotMatch(instructions, /`get_flow`/);
    assert.match(instructions, /`get_us_price` × N/);
    assert.match(instructions, /그대로 인용하라/);

    const r = await conn.client.callTool({ name: "get_price", arguments: { code: "005930" } });
    assert.equal(r.isError, true);
    assert.match(textOf(r), /^⚠️/);
    assert.match(textOf(r), /'kr_quotes'/);
    // Always-on tools still answer.
    const clock = await conn.client.callTool({ name: "get_market_clock", arguments: {} });
    assert.equal(clock.isError, false);
  } finally {
    await conn.close();
  }
});

test("the schema shows the fixed set a tool checks against", async () => {
  const conn = await connect({ TESSARO_TOOLSETS: "default" });
  try {
    const { tools } = await conn.client.listTools();
    assert.ok(tools.length <= 20);
    const chart = tools.find((t) => t.name === "get_chart");
    assert.deepEqual(chart.inputSchema.properties.timeframe.enum, ["day", "week", "month"]);
    const reports = tools.find((t) => t.name === "get_reports");
    assert.ok(reports.inputSchema.properties.kind.enum.includes("industry"));
    const r = await conn.client.callTool({ name: "get_reports", arguments: { kind: "weather" } });
    assert.match(textOf(r), /^⚠️ .*weather/);
  } finally {
    await conn.close();
  }
});

test("an unknown toolset name is refused on stderr, and `tools` shows the toolsets", () => {
  const bad = spawnBinarySync([], { env: { TESSARO_TOOLSETS: "us,bogus" }, input: "" });
  assert.equal(bad.status, 2);
  assert.equal(bad.stdout.length, 0);
  assert.match(bad.stderr.toString(), /bogus/);
  assert.match(bad.stderr.toString(), /kr_quotes/);

  const list = spawnBinarySync(["--toolsets", "us", "tools"]);
  assert.equal(list.status, 0);
  const out = list.stdout.toString();
  assert.match(out, /^\[us\] /m);
  assert.match(out, /^\[kr_quotes\] .*\(off\)$/m);
  assert.match(out, /^ {2}watchlist \(always on\)/m);
});
