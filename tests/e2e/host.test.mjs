// The host as an MCP client sees it: catalogue, protocol, clock, error replies.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { connect, startFixtureServer, textOf, metaOf, readFixture, spawnBinary } from "./lib.mjs";

const CATALOGUE = [
  "get_market_clock", "tessaro_status", "search", "search_stock", "watchlist", "get_chart", "get_price", "get_flow",
  "get_event_reaction", "get_event_reactions", "get_flow_batch", "screen_by_flow", "screen_chart", "get_financial",
  "get_financial_batch", "get_index", "list_themes", "get_theme_stocks", "list_sectors", "get_sector_stocks",
  "get_sector_valuation", "get_volume_ranking", "get_change_ranking", "get_market_cap_ranking", "get_multi_stocks",
  "get_multi_chart_stats", "get_indicators", "get_indicators_bulk", "export_to_excel", "scan_to_excel",
  "save_analysis_to_excel", "query_excel", "get_metrics_summary", "get_etf_list", "get_etf_info", "get_us_price",
  "get_us_info", "get_us_chart", "get_us_financials", "get_us_earnings", "get_us_event_reaction", "get_us_analyst",
  "get_us_dividends", "get_us_options", "get_us_insider", "get_us_holders", "get_us_short", "get_us_filings",
  "get_us_filing_detail", "get_us_news", "get_consensus", "get_reports", "get_report_content", "get_news",
  "get_move_context", "get_disclosure", "get_us_search", "get_us_market", "get_us_screener",
  "get_us_financial_statement", "get_us_sector", "get_us_etf_info", "get_us_multi_price", "get_financial_soundness",
  "get_us_liquidity", "get_us_multi_diagnosis", "export_us_to_excel", "get_intraday_chart", "get_intraday_indicators",
  "get_detailed_investor_flow", "get_supply_pressure", "get_ipo_schedule", "get_investor_deposit",
];

let conn;
before(async () => {
  conn = await connect({ TESSARO_NOW: "2026-09-16T10:15:00+09:00" });
});
after(async () => conn?.close());

test("lists exactly the 73 tools in catalogue order, with defaults", async () => {
  const { tools } = await conn.client.listTools();
  assert.deepEqual(tools.map((t) => t.name), CATALOGUE);
  const chart = tools.find((t) => t.name === "get_chart");
  assert.deepEqual(chart.inputSchema.required, ["code"]);
  assert.equal(chart.inputSchema.properties.timeframe.default, "day");
  assert.equal(chart.inputSchema.properties.count.default, 120);
  const screen = tools.find((t) => t.name === "screen_chart");
  assert.equal(Object.keys(screen.inputSchema.properties).length, 43);
  assert.equal(screen.inputSchema.properties.exclude.default, "기본");
  const writes = tools.filter((t) => t.annotations?.readOnlyHint === false).map((t) => t.name);
  assert.deepEqual(writes.sort(), ["export_to_excel", "export_us_to_excel", "save_analysis_to_excel", "scan_to_excel", "watchlist"]);
  const info = conn.client.getServerVersion();
  assert.equal(info.name, "tessaro-mcp");
  assert.equal(info.title, "Tessaro");
  assert.match(conn.client.getInstructions(), /^Tessaro — 한국 주식\(네이버 증권\)·미국 주식 데이터 도구\./);
});

test("get_market_clock answers from the frozen clock", async () => {
  const text = textOf(await conn.client.callTool({ name: "get_market_clock", arguments: {} }));
  assert.doesNotMatch(text, /^⚠️/);
  assert.match(text, /2026-09-16/);
  assert.doesNotMatch(text, /RESULT_META_JSON_START/);
});

test("bad arguments come back as a readable error, and the server keeps serving", async () => {
  const r = await conn.client.callTool({ name: "get_chart", arguments: { code: ["x"] } });
  assert.equal(r.isError, true);
  assert.match(textOf(r), /code/);
  // An unknown tool is a protocol error naming the tool, in Korean.
  await assert.rejects(conn.client.callTool({ name: "no_such_tool", arguments: {} }),
    (e) => e.code === -32602 && /no_such_tool/.test(e.message) && /[가-힣]/.test(e.message));
  const huge = await conn.client.callTool({ name: "get_metrics_summary", arguments: { days: 1e300 } });
  assert.equal(typeof textOf(huge), "string");
  await conn.client.ping();
});

test("a slow call does not block ping or another call", async () => {
  const slow = await startFixtureServer({ "*": { delayMs: 1500, body: "{}" } });
  const c = await connect({ TESSARO_NAVER_BASE_URL: slow.url, TESSARO_HTTP_TIMEOUT_S: "5" });
  try {
    const t0 = Date.now();
    const pending = c.client.callTool({ name: "get_price", arguments: { code: "005930" } });
    await c.client.ping();
    await c.client.callTool({ name: "get_market_clock", arguments: {} });
    assert.ok(Date.now() - t0 < 1200, "ping and the clock answered while get_price waited");
    await pending;
  } finally {
    await c.close();
    await slow.close();
  }
});

// Every failure kind reaches the user as the wrapper's text, never a protocol error.
test("network failures become the wrapper's replies", async () => {
  const dead = await startFixtureServer({ "*": { drop: true } });
  const garbled = await startFixtureServer({ "*": { body: "<html>점검 중</html>", contentType: "text/html" } });
  const failing = await startFixtureServer({ "*": { status: 503, body: "down" } });
  const cases = [
    [dead.url, /^⚠️ 네이버 증권 응답이 지연되고 있습니다\. 잠시 후 다시 시도해 주세요\.\n\(원인: ReadTimeout/],
    ["http://127.0.0.1:9", /^⚠️ 네이버 증권에 연결할 수 없습니다\. 인터넷 연결을 확인해 주세요\.\n\(원인: ConnectError/],
    [failing.url, /^⚠️ 네트워크 오류가 발생했습니다: HTTPStatusError\n\(원인: HTTPStatusError/],
    [garbled.url, /^⚠️ 네이버 증권 페이지를 읽지 못했어요 \(데이터가 없는 것이 아니라 \*\*파싱 실패\*\*예요\)\./],
  ];
  try {
    for (const [base, re] of cases) {
      const c = await connect({ TESSARO_NAVER_BASE_URL: base, TESSARO_HTTP_TIMEOUT_S: "1" });
      try {
        // get_price words its own failed lookups now; the index lets them reach the wrapper.
        const r = await c.client.callTool({ name: "get_index", arguments: {} });
        assert.equal(r.isError, true);
        assert.match(textOf(r), re);
      } finally {
        await c.close();
      }
    }
  } finally {
    await dead.close();
    await garbled.close();
    await failing.close();
  }
});

// A quote in the after-market and a daily chart, served by the loopback fixture server.
test("get_price and get_chart against the fixture server", async () => {
  const minute = '<?xml version="1.0" encoding="EUC-KR" ?><protocol><chartdata symbol="000660" timeframe="minute">' +
    '<item data="202609161530|null|null|null|291500|20" /><item data="202609161700|null|null|null|290000|30" /></chartdata></protocol>';
  const srv = await startFixtureServer({
    "/polling.finance.naver.com/api/realtime/domestic/stock/000660": { body: readFixture("naver/polling_after_market_000660.json") },
    "/polling.finance.naver.com/api/realtime/domestic/stock/035720": { body: readFixture("naver/polling_preopen_035720.json") },
    "/m.stock.naver.com/api/stock/005930/basic": { body: readFixture("naver/mstock_basic_005930.json") },
    "/fchart.stock.naver.com/sise.nhn": (req, url) =>
      url.searchParams.get("timeframe") === "minute"
        ? { body: minute, contentType: "text/xml" }
        : { body: readFixture("naver/fchart_day_005930.xml"), contentType: "text/xml; charset=EUC-KR" },
  });
  const c = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_NOW: "2026-09-16T17:10:00+09:00" });
  try {
    const r = await c.client.callTool({ name: "get_price", arguments: { code: "000660" } });
    assert.equal(r.isError, false);
    const text = textOf(r);
    assert.match(text, /^종목: SK하이닉스 \(000660\)\n현재가 \(KRX 애프터마켓\): 290,000원\n기준가 대비: -3,000원 \(기준가 293,000원\)\n/);
    assert.match(text, /정규장 종가 \(15:30\): 291,500원 \(기준가 대비 -1,500원, -0\.51%\)/);
    assert.match(text, /─ NXT\(대체거래소, 애프터마켓\) ─/);
    const meta = metaOf(text);
    assert.equal(meta.price_session, "after_market");
    assert.equal(meta.regular_close_check[0].status, "ok");

    // A quote with unreadable cells: shown as missing, never as 0.
    const miss = textOf(await c.client.callTool({ name: "get_price", arguments: { code: "035720" } }));
    assert.match(miss, /\n시가: 데이터 없음\n고가: 데이터 없음\n/);
    assert.equal(metaOf(miss).data_completeness, "partial");

    const ch = textOf(await c.client.callTool({ name: "get_chart", arguments: { code: "005930", count: 10 } }));
    assert.match(ch, /^종목 005930 일봉 OHLCV \(4개 봉\)\n\n날짜\|시가\|고가\|저가\|종가\|거래량\n/);
    assert.match(ch, /비정상 봉 2개 제외 \(2026-09-14, 2026-09-16\)/);
    assert.equal(metaOf(ch).data_completeness, "partial");
  } finally {
    await c.close();
    await srv.close();
  }
});

test("stdout carries only JSON-RPC, even for garbage input", async () => {
  const child = spawnBinary([], { env: { TESSARO_HOME: conn.home }, stdio: ["pipe", "pipe", "pipe"] });
  let out = "";
  child.stdout.on("data", (d) => (out += d));
  child.stdin.write("this is not json\n");
  child.stdin.write('{"jsonrpc":"2.0","id":1,"method":"nope"}\n');
  child.stdin.write('{"jsonrpc":"2.0","id":2,"method":"ping"}\n');
  child.stdin.end();
  await new Promise((r) => child.on("close", r));
  const lines = out.trim().split("\n").map((l) => JSON.parse(l));
  assert.equal(lines.length, 3);
  assert.equal(lines[0].error.code, -32700);
  assert.equal(lines[1].error.code, -32601);
  assert.deepEqual(lines[2].result, {});
});
