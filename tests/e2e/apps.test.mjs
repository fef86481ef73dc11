// The chart tools as an MCP Apps host sees them: the view in their tools/list
// `_meta`, the view resource, and structured results that the SDK client checks
// against each tool's outputSchema. The MCP Inspector's --app-info probe, when
// installed (scripts/install-deps.sh --test), must find the view on all three.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { spawnSync } from "node:child_process";
import { connect, startFixtureServer, readSharedSample, textOf, metaOf, BINARY } from "./lib.mjs";

const CHART_TOOLS = ["get_chart", "get_intraday_chart", "get_us_chart"];
const VIEW = "ui://tessaro/chart";

let c, srv;
before(async () => {
  const day = readSharedSample("naver/fchart_sise_day_005930.xml");
  srv = await startFixtureServer({
    "/fchart.stock.naver.com/sise.nhn": day
      ? { body: day, contentType: "text/xml; charset=EUC-KR" }
      : { status: 500, body: "no sample" },
    "/api.stock.naver.com/chart/domestic/item/005930/minute": { body: "[]" },
  });
  c = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_NOW: "2026-10-02T21:00:00+09:00" });
});
after(async () => {
  await c?.close();
  await srv?.close();
});

test("the three chart tools declare the view and an output schema; no other tool declares the view", async () => {
  const { tools } = await c.client.listTools();
  for (const t of tools) {
    const declares = CHART_TOOLS.includes(t.name);
    assert.equal(t._meta?.ui?.resourceUri === VIEW, declares, t.name);
    assert.equal(t._meta?.["ui/resourceUri"] === VIEW, declares, t.name);
    if (declares) assert.ok(t.outputSchema !== undefined, t.name);
  }
  const { resources } = await c.client.listResources();
  const view = resources.find((r) => r.uri === VIEW);
  assert.equal(view?.mimeType, "text/html;profile=mcp-app");
  const read = await c.client.readResource({ uri: VIEW });
  assert.equal(read.contents.length, 1);
  assert.equal(read.contents[0].mimeType, "text/html;profile=mcp-app");
  assert.deepEqual(read.contents[0]._meta.ui.csp, { connectDomains: [], resourceDomains: [] });
  assert.match(read.contents[0].text, /^<!doctype html>/);
});

// callTool validates structuredContent against the listed outputSchema.
test("a chart result carries its document, checked against the schema, beside the unchanged text", async (t) => {
  if (!readSharedSample("naver/fchart_sise_day_005930.xml")) return t.skip("shared sample absent");
  await c.client.listTools();
  const r = await c.client.callTool({ name: "get_chart", arguments: { code: "005930", count: 30 } });
  assert.equal(r.isError, false);
  const text = textOf(r);
  const doc = r.structuredContent;
  assert.equal(doc.outcome, "ok");
  assert.deepEqual(doc.meta, metaOf(text));
  const lines = text.split("\n");
  const from = lines.indexOf("날짜|시가|고가|저가|종가|거래량") + 2;
  const shown = lines.slice(from, lines.indexOf("", from)).map((l) => l.split("|")[0]);
  assert.deepEqual(doc.bars.map((b) => b.t), shown, "one bar of the document per row of the table");
  assert.ok(doc.bars.every((b) => b.state === "final"));

  // Refused, empty and failed calls carry a document too (the schema demands one).
  const refused = await c.client.callTool({ name: "get_intraday_chart", arguments: { symbol: "005930", market: "JP" } });
  assert.equal(refused.structuredContent.outcome, "refused", textOf(refused));
  assert.equal(refused.structuredContent.message, textOf(refused));
  const empty = await c.client.callTool({
    name: "get_intraday_chart", arguments: { symbol: "005930", market: "KR", date: "2026-10-02", source: "naver" },
  });
  assert.equal(empty.structuredContent.outcome, "no_data", textOf(empty));
  assert.deepEqual(empty.structuredContent.bars, []);
});

test("the MCP Inspector's --app-info finds the view on the three chart tools", (t) => {
  const root = path.resolve("../..");
  const node = path.join(root, "scripts/conformance/node_modules/.bin/node");
  const cli = path.join(root, "scripts/inspector/node_modules/@modelcontextprotocol/inspector/package.json");
  if (!fs.existsSync(node) || !fs.existsSync(cli)) return t.skip("MCP Inspector not installed (scripts/install-deps.sh --test)");
  const bin = path.join(path.dirname(cli), JSON.parse(fs.readFileSync(cli, "utf8")).bin?.["mcp-inspector"] ?? "cli/build/index.js");
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-inspector-"));
  try {
    const out = spawnSync(node, [bin, "--cli", "--app-info", "--method", "tools/list", BINARY], {
      env: { PATH: process.env.PATH, HOME: home, TESSARO_HOME: home, MCP_CATALOG_PATH: path.join(home, "mcp.json") },
      encoding: "utf8",
      timeout: 120000,
    });
    assert.equal(out.status, 0, out.stderr);
    const info = Object.fromEntries(out.stdout.trim().split("\n").map((l) => JSON.parse(l)).map((j) => [j.toolName, j]));
    assert.equal(Object.keys(info).length, 73);
    for (const name of CHART_TOOLS) {
      assert.equal(info[name].hasApp, true, name);
      assert.equal(info[name].resourceUri, VIEW);
      assert.equal(info[name].resourceMimeType, "text/html;profile=mcp-app");
    }
    assert.equal(info.get_price.hasApp, false);
  } finally {
    fs.rmSync(home, { recursive: true, force: true });
  }
});
