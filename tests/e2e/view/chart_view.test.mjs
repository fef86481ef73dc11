// The chart view in a real browser: headless Chromium loads a small host page that
// uses the official MCP Apps host bridge, reads ui://tessaro/chart from the real
// binary and hands it real tool results of calls fed from loopback servers with the
// captured chart answers under ../shared/reference/samples. Everything asserted is
// read from the view's DOM; a screenshot of each case goes to TESSARO_ARTIFACT_DIR.
//   node tests/e2e/view/chart_view.test.mjs      (exit 77: skipped, no Chromium)
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";

const CHROMIUM = process.env.TESSARO_CHROMIUM ?? "/usr/bin/chromium";
if (!fs.existsSync(CHROMIUM)) {
  console.log(`SKIP: no Chromium at ${CHROMIUM} (scripts/install-deps.sh --test installs the Debian package chromium)`);
  process.exit(77);
}
const deps = createRequire(new URL("../../../scripts/e2e-client/package.json", import.meta.url));
let chromium, esbuild;
try {
  ({ chromium } = deps("playwright-core"));
  esbuild = deps("esbuild");
  deps.resolve("@modelcontextprotocol/ext-apps/app-bridge");
} catch (e) {
  console.log(`SKIP: the browser test's npm packages are missing (scripts/install-deps.sh --test): ${e.message}`);
  process.exit(77);
}
const { connect, startFixtureServer, readSharedSample, textOf, metaOf } = await import("../lib.mjs");

const SAMPLES_NEEDED = [
  "naver/fchart_sise_day_005930_count3_at1934KST.xml",
  "naver/fchart_sise_day_005930.xml",
  "naver/api_stock_chart_domestic_item_minute_005930_20260929.json",
  "naver/api_stock_chart_domestic_item_minute_005930_20260928.json",
  "yahoo/v8_chart_AAPL_1m_2025-02-01_weekend_empty.json",
  "yahoo/v8_chart_AAPL_1d_2022-02-22.json",
];
const samples = Object.fromEntries(SAMPLES_NEEDED.map((p) => [p, readSharedSample(p)]));
const absent = SAMPLES_NEEDED.filter((p) => !samples[p]);
if (absent.length) {
  console.log(`SKIP: shared samples absent (${absent.join(", ")}); ../shared/reference/samples is needed`);
  process.exit(77);
}

const ARTIFACTS = process.env.TESSARO_ARTIFACT_DIR ?? path.resolve("../../build/test-artifacts/chart-view");
fs.mkdirSync(ARTIFACTS, { recursive: true });
const VIEW_URI = "ui://tessaro/chart";

// ---- loopback sources -------------------------------------------------------

const minuteRows = (p) => JSON.parse(samples[p].toString("utf8"));
const REAL_1530 = {
  "20260929": minuteRows("naver/api_stock_chart_domestic_item_minute_005930_20260929.json"),
  "20260928": minuteRows("naver/api_stock_chart_domestic_item_minute_005930_20260928.json"),
};
// Naver's minute chart for 005930 in its documented shape (localDateTime, prices,
// the volume of that minute): continuous trading 09:00-15:19 made up here, the
// 15:30 closing auction and the closing-price minutes after it taken from the real
// captures of that day. Rows stop at the frozen `now` (its minute still trading).
function naverMinutes(url, nowKst) {
  const start = url.searchParams.get("startDateTime");
  const end = url.searchParams.get("endDateTime");
  const day = start.slice(0, 8);
  const rows = [];
  const stamp = (m) => `${day}${String(Math.floor(m / 60)).padStart(2, "0")}${String(m % 60).padStart(2, "0")}00`;
  const from = Number(start.slice(8, 10)) * 60 + Number(start.slice(10, 12));
  const to = Number(end.slice(8, 10)) * 60 + Number(end.slice(10, 12));
  for (let m = Math.max(from, 9 * 60); m <= Math.min(to, 15 * 60 + 19); m++) {
    const p = 271000 + Math.round(1500 * Math.sin((m - 540) / 37)) + ((m * 7) % 5) * 100;
    rows.push({ localDateTime: stamp(m), currentPrice: p, openPrice: p - 100, highPrice: p + 200, lowPrice: p - 300,
                accumulatedTradingVolume: 20000 + ((m * 13) % 17) * 1000 });
  }
  for (const r of REAL_1530[day] ?? []) {
    const m = Number(r.localDateTime.slice(8, 10)) * 60 + Number(r.localDateTime.slice(10, 12));
    if (m >= from && m <= to) rows.push(r);
  }
  const nowStamp = nowKst.replace(/[-:T]/g, "").slice(0, 12);
  return { body: JSON.stringify(rows.filter((r) => r.localDateTime.slice(0, 12) <= nowStamp)) };
}

// Yahoo's chart answer for AAPL on 2026-12-04 with pre- and post-market 5-minute
// bars: the envelope and meta of the real capture, timestamps and values made up.
function yahooPrepost(nowIso) {
  const real = JSON.parse(samples["yahoo/v8_chart_AAPL_1m_2025-02-01_weekend_empty.json"].toString("utf8"));
  const res = real.chart.result[0];
  const open = Date.parse("2026-12-04T09:00:00Z"); // 04:00 New York (EST)
  const now = Date.parse(nowIso);
  const ts = [], o = [], h = [], l = [], c = [], v = [];
  for (let t = open; t < Date.parse("2026-12-05T01:00:00Z") && t <= now; t += 5 * 60 * 1000) {
    const i = ts.length;
    const p = 240 + 3 * Math.sin(i / 11) + (i % 4) * 0.1;
    ts.push(t / 1000);
    o.push(p - 0.2); h.push(p + 0.4); l.push(p - 0.5); c.push(p);
    const regular = t >= Date.parse("2026-12-04T14:30:00Z") && t < Date.parse("2026-12-04T21:00:00Z");
    v.push(regular ? 300000 + (i % 7) * 20000 : 8000 + (i % 5) * 1000);
  }
  res.meta.dataGranularity = "5m";
  res.meta.range = "1d";
  res.timestamp = ts;
  res.indicators = { quote: [{ open: o, high: h, low: l, close: c, volume: v }] };
  return { body: JSON.stringify(real) };
}

// Weekly bars of 005930 up to `lastDay`, built here from the real daily capture
// (fchart items "YYYYMMDD|open|high|low|close|volume"), each week dated by its last
// trading day as Naver's weekly series are.
function weeklyFromDaily(lastDay) {
  const xml = samples["naver/fchart_sise_day_005930.xml"].toString("latin1");
  const days = [...xml.matchAll(/<item data="(\d{8})\|(\d+)\|(\d+)\|(\d+)\|(\d+)\|(\d+)"/g)]
    .map((m) => ({ d: m[1], o: +m[2], h: +m[3], l: +m[4], c: +m[5], v: +m[6] }))
    .filter((x) => x.d <= lastDay);
  const weekOf = (d) => {
    const t = new Date(Date.UTC(+d.slice(0, 4), +d.slice(4, 6) - 1, +d.slice(6, 8)));
    t.setUTCDate(t.getUTCDate() - ((t.getUTCDay() + 6) % 7));
    return t.toISOString().slice(0, 10);
  };
  const weeks = [];
  for (const x of days) {
    const w = weeks.at(-1);
    if (w && w.week === weekOf(x.d)) Object.assign(w, { d: x.d, h: Math.max(w.h, x.h), l: Math.min(w.l, x.l), c: x.c, v: w.v + x.v });
    else weeks.push({ week: weekOf(x.d), ...x });
  }
  const items = weeks.map((w) => `<item data="${w.d}|${w.o}|${w.h}|${w.l}|${w.c}|${w.v}" />`).join("\n");
  return `<?xml version="1.0" encoding="EUC-KR" ?>\n<protocol>\n<chartdata symbol="005930" name="x" count="${weeks.length}" ` +
    `timeframe="week" precision="0" origintime="19900103">\n${items}\n</chartdata>\n</protocol>\n`;
}

const YAHOO_SESSION = {
  "/fc.yahoo.com/": {
    status: 404, body: "<html>no</html>", contentType: "text/html",
    headers: { "set-cookie": "A3=d=AQAB; Domain=.yahoo.com; Path=/; Secure" },
  },
  "/query1.finance.yahoo.com/v1/test/getcrumb": { body: "abcDEF12345", contentType: "text/plain;charset=utf-8" },
};

// ---- the browser and the host page ---------------------------------------------

let context, hostBundle, userDir;
const network = [];
const consoleErrors = [];

before(async () => {
  const built = await esbuild.build({
    entryPoints: [new URL("./host.mjs", import.meta.url).pathname],
    bundle: true, format: "iife", platform: "browser", write: false, logLevel: "silent",
    nodePaths: [new URL("../../../scripts/e2e-client/node_modules", import.meta.url).pathname],
  });
  hostBundle = built.outputFiles[0].text;
  userDir = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-chromium-"));
  context = await chromium.launchPersistentContext(userDir, {
    executablePath: CHROMIUM,
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
           "--disable-sync", "--no-first-run"],
    viewport: { width: 860, height: 640 },
  });
  // Nothing may leave the page: every request is noted and refused.
  await context.route("**/*", (route) => {
    network.push(route.request().url());
    return route.abort();
  });
  context.on("request", (r) => network.push(r.url()));
});

after(async () => {
  await context?.close();
  if (userDir) fs.rmSync(userDir, { recursive: true, force: true });
});

// Reads the view from the binary, calls `tool` with `args`, renders the result in
// the host page. Returns the page, the view's frame, the tool result and the calls
// the view made through the host.
async function show(name, conn, tool, args, { theme = "light" } = {}) {
  const res = await conn.client.readResource({ uri: VIEW_URI });
  const html = res.contents[0].text;
  const result = await conn.client.callTool({ name: tool, arguments: args });
  const page = await context.newPage();
  page.on("console", (m) => {
    if (m.type() === "error") consoleErrors.push(`${name}: ${m.text()}`);
  });
  const calls = [];
  await page.exposeFunction("hostCallTool", async (params) => {
    calls.push(params);
    return conn.client.callTool(params);
  });
  const before = network.length;
  await page.setContent(`<!doctype html><html><head><meta charset="utf-8"><title>host</title></head>` +
    `<body style="margin:8px;background:${theme === "dark" ? "#0d1117" : "#fff"}"><script>${hostBundle}</script></body></html>`);
  await page.evaluate((a) => window.tessaroHost.mount(a), { html, toolName: tool, args, result, theme });
  const frame = await waitFrame(page);
  await frame.waitForSelector('#app:not([data-rendered="0"])');
  return { page, frame, result, calls, requestsBefore: before };
}

async function waitFrame(page) {
  for (let i = 0; i < 100; i++) {
    const f = page.frames().find((x) => x !== page.mainFrame());
    if (f) return f;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error("the view's frame never appeared");
}

async function shot(page, name) {
  const file = path.join(ARTIFACTS, `${name}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
}

const texts = (frame, sel) => frame.$$eval(sel, (els) => els.map((e) => e.textContent));
const attrs = (frame, sel, a) => frame.$$eval(sel, (els, a) => els.map((e) => e.getAttribute(a)), a);

// ---- the cases -----------------------------------------------------------------

test("daily bars at 19:34 on an after-market day: forming bar, merged closes with the 15:30 close, switching to weekly through the host", async () => {
  const now = "2026-09-29T19:34:00+09:00";
  const srv = await startFixtureServer({
    "/fchart.stock.naver.com/sise.nhn": (req, url) =>
      url.searchParams.get("timeframe") === "week"
        ? { body: weeklyFromDaily("20260929"), contentType: "text/xml; charset=EUC-KR" }
        : { body: samples["naver/fchart_sise_day_005930_count3_at1934KST.xml"], contentType: "text/xml; charset=EUC-KR" },
    "/api.stock.naver.com/chart/domestic/item/005930/minute": (req, url) => naverMinutes(url, now),
  });
  const conn = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_NOW: now });
  try {
    const { page, frame, result, calls, requestsBefore } = await show("kr-daily-after-market", conn, "get_chart",
      { code: "005930", count: 3 });
    const doc = result.structuredContent;
    assert.equal(doc.bars.length, 3);
    assert.deepEqual(doc.meta, metaOf(textOf(result)), "the document's meta is the text's meta block");

    // One candle per bar, the last one forming and labelled.
    assert.deepEqual(await attrs(frame, "g.candle", "data-t"), ["2026-09-23", "2026-09-28", "2026-09-29"]);
    assert.deepEqual(await attrs(frame, "g.candle", "data-state"), ["final", "final", "forming"]);
    assert.deepEqual(await texts(frame, "g.candle.forming .forming-label"), ["진행 중"]);
    assert.equal((await frame.$$("g.candle.forming .body")).length, 1);
    // Every close here holds after-market trades: marked, and the 15:30 close beside it where it was found.
    assert.equal((await frame.$$("g.candle.after .after-mark")).length, 3);
    assert.match((await texts(frame, "#after-note"))[0], /애프터마켓\(16:00~20:00\) 체결 포함 — 정규장 종가\(15:30\) 아님/);
    assert.equal((await frame.$$("g.candle line.regular-close")).length, 2);
    const lastTip = (await texts(frame, 'g.candle[data-t="2026-09-29"] > title'))[0];
    assert.match(lastTip, /진행 중/);
    assert.match(lastTip, /마지막 체결\(애프터마켓 포함, 20:00까지 바뀜\) 273,500원/);
    assert.doesNotMatch(lastTip, /종가\(20:00/, "an unfinished bar has no 20:00 close yet");
    assert.match(lastTip, /정규장 종가\(15:30\) 272,500원/);
    assert.match(lastTip, /거래량 15,498,961주 \(애프터마켓 포함\)/);
    // Hovering a bar shows the same words in the view's tooltip.
    await frame.hover('g.candle[data-t="2026-09-28"] rect.hit');
    assert.equal(await frame.$eval("#tip", (e) => e.hidden), false);
    assert.equal((await texts(frame, "#tip"))[0], (await texts(frame, 'g.candle[data-t="2026-09-28"] > title'))[0]);
    assert.match((await texts(frame, "#tip"))[0], /^2026-09-28 · 확정 · 정규장\+애프터마켓\n/);
    // The reply's own after-market note, and its meta in the corner.
    assert.ok((await texts(frame, "#notes li.after-note")).some((t) => t.startsWith("※ 2026-09-14부터 네이버 일봉은 애프터마켓")));
    const corner = (await texts(frame, "#asof"))[0];
    assert.ok(corner.includes(`data_as_of ${doc.meta.data_as_of}`), corner);
    assert.ok(corner.includes(`data_basis ${doc.meta.data_basis}`), corner);
    assert.equal(doc.meta.data_basis, "in_progress_bar");
    assert.match(corner, /마지막 봉이 아직 만들어지는 중/);
    // Partial (an unfinished bar) is said in the frame.
    assert.match((await texts(frame, "#status.partial"))[0], /일부만 조회됨/);
    assert.deepEqual(await texts(frame, ".axis-label"), ["가격(원)", "거래량(주)"]);
    assert.equal((await texts(frame, "#title"))[0], "005930 일봉");
    await shot(page, "kr-daily-after-market");

    // The weekly button calls get_chart again through the host and redraws.
    await frame.click('button[data-frame="week"]');
    await frame.waitForSelector('#app[data-rendered="2"]');
    await frame.waitForFunction(() => document.getElementById("title").textContent === "005930 주봉");
    assert.deepEqual(calls, [{ name: "get_chart", arguments: { code: "005930", timeframe: "week", count: 3 } }]);
    assert.equal((await texts(frame, "#title"))[0], "005930 주봉");
    assert.ok((await frame.$$("g.candle")).length > 0);
    assert.equal(await frame.getAttribute('button[data-frame="week"]', "aria-pressed"), "true");
    await shot(page, "kr-weekly-after-switch");
    assert.equal(network.length, requestsBefore, `the page made requests: ${network.slice(requestsBefore)}`);
    await page.close();
  } finally {
    await conn.close();
    await srv.close();
  }
});

test("a finished daily series in the dark theme: one candle per bar, none forming", async () => {
  const now = "2026-10-02T20:30:00+09:00";
  const srv = await startFixtureServer({
    "/fchart.stock.naver.com/sise.nhn": { body: samples["naver/fchart_sise_day_005930.xml"], contentType: "text/xml; charset=EUC-KR" },
    "/api.stock.naver.com/chart/domestic/item/005930/minute": (req, url) => naverMinutes(url, now),
  });
  const conn = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_NOW: now });
  try {
    const { page, frame, result, requestsBefore } = await show("kr-daily-dark", conn, "get_chart", { code: "005930", count: 30 },
      { theme: "dark" });
    const n = Number(/\((\d+)개 봉\)/.exec(textOf(result))[1]);
    assert.equal((await frame.$$("g.candle")).length, n);
    assert.equal((await frame.$$("rect.vol")).length, n);
    assert.equal((await frame.$$("g.candle.forming")).length, 0);
    assert.equal((await frame.$$(".forming-label")).length, 0);
    assert.equal(await frame.getAttribute("html", "data-theme"), "dark");
    const bg = await frame.evaluate(() => getComputedStyle(document.body).backgroundColor);
    assert.equal(bg, "rgb(22, 24, 29)");
    // The host switches to light: the view follows without being reloaded.
    await page.evaluate(() => window.tessaroHost.setTheme("light"));
    await frame.waitForFunction(() => document.documentElement.getAttribute("data-theme") === "light");
    await shot(page, "kr-daily-light-after-theme-change");
    await page.evaluate(() => window.tessaroHost.setTheme("dark"));
    await frame.waitForFunction(() => document.documentElement.getAttribute("data-theme") === "dark");
    await shot(page, "kr-daily-dark");
    assert.equal(network.length, requestsBefore);
    await page.close();
  } finally {
    await conn.close();
    await srv.close();
  }
});

test("intraday bars during the regular session: sessions shaded, the current bar forming", async () => {
  const now = "2026-09-29T11:02:00+09:00";
  const srv = await startFixtureServer({
    "/api.stock.naver.com/chart/domestic/item/005930/minute": (req, url) => naverMinutes(url, now),
  });
  const conn = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_NOW: now });
  try {
    const args = { symbol: "005930", market: "KR", interval: "5m", row_limit: 60, completed_only: false, source: "naver" };
    const { page, frame, result, calls, requestsBefore } = await show("kr-intraday", conn, "get_intraday_chart", args);
    const doc = result.structuredContent;
    assert.equal(doc.outcome, "ok", textOf(result));
    assert.equal((await frame.$$("g.candle")).length, doc.bars.length);
    assert.equal(doc.bars.at(-1).state, "forming");
    assert.deepEqual(await attrs(frame, "g.candle.forming", "data-t"), [doc.bars.at(-1).t]);
    assert.deepEqual(await texts(frame, ".forming-label"), ["진행 중"]);
    const bands = await attrs(frame, "rect.session-band", "data-session");
    assert.ok(bands.length >= 2 && bands.every((s) => s === "regular"), `bands: ${bands}`);
    assert.ok((await texts(frame, ".session-label")).includes("정규장"));
    assert.ok((await frame.$$("line.day-sep")).length >= 1);
    assert.ok((await texts(frame, "#subtitle"))[0].includes("한국 시각"));
    await shot(page, "kr-intraday-regular-session");

    // The 1-minute button goes back to the same tool with the shorter interval.
    await frame.click('button[data-frame="1m"]');
    await frame.waitForSelector('#app[data-rendered="2"]');
    assert.deepEqual(calls, [{ name: "get_intraday_chart", arguments: { symbol: "005930", market: "KR", interval: "1m", source: "naver" } }]);
    assert.equal(network.length, requestsBefore);
    await page.close();
  } finally {
    await conn.close();
    await srv.close();
  }
});

test("US 5-minute bars with pre- and post-market: each session shaded apart", async () => {
  const now = "2026-12-04T18:32:00-05:00";
  const srv = await startFixtureServer({
    ...YAHOO_SESSION,
    "/query2.finance.yahoo.com/v8/finance/chart/AAPL": () => yahooPrepost(now),
  });
  const conn = await connect({ TESSARO_YAHOO_BASE_URL: srv.url, TESSARO_NOW: now });
  try {
    const { page, frame, result, requestsBefore } = await show("us-prepost", conn, "get_us_chart",
      { ticker: "AAPL", period: "1d", interval: "5m", prepost: true });
    const doc = result.structuredContent;
    assert.equal(doc.outcome, "ok", textOf(result));
    assert.equal((await frame.$$("g.candle")).length, doc.bars.length);
    assert.deepEqual(await attrs(frame, "rect.session-band", "data-session"), ["pre_market", "regular", "after_hours"]);
    assert.deepEqual((await texts(frame, ".session-label")), ["프리마켓", "정규장", "애프터아워"]);
    assert.deepEqual(await attrs(frame, "g.candle.forming", "data-t"), ["2026-12-04 18:30"]);
    assert.deepEqual(await texts(frame, ".axis-label"), ["가격(원천 통화)", "거래량(주)"]);
    assert.ok((await texts(frame, "#subtitle"))[0].includes("뉴욕 시각"));
    await shot(page, "us-prepost-sessions");
    assert.equal(network.length, requestsBefore);
    await page.close();
  } finally {
    await conn.close();
    await srv.close();
  }
});

test("a failed lookup, a day without bars and a finished US daily series are told apart in the frame", async () => {
  const srv = await startFixtureServer({
    ...YAHOO_SESSION,
    "/fchart.stock.naver.com/sise.nhn": { status: 500, body: "down", contentType: "text/plain" },
    "/api.stock.naver.com/chart/domestic/item/005930/minute": { body: "[]" },
    "/query2.finance.yahoo.com/v8/finance/chart/AAPL": { body: samples["yahoo/v8_chart_AAPL_1d_2022-02-22.json"] },
  });
  const conn = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_YAHOO_BASE_URL: srv.url,
                               TESSARO_NOW: "2026-12-05T12:00:00+09:00" });
  try {
    const failed = await show("kr-failed", conn, "get_chart", { code: "005930" });
    assert.equal(failed.result.isError, true);
    assert.equal(failed.result.structuredContent.outcome, "failed");
    assert.equal(await failed.frame.getAttribute("#app", "data-outcome"), "failed");
    assert.match((await texts(failed.frame, "#status.failed .head"))[0], /조회 실패 — 데이터가 없다는 뜻이 아닙니다/);
    assert.equal((await failed.frame.$$("#chart svg")).length, 0, "no axes for a failed lookup");
    await shot(failed.page, "kr-failed-lookup");
    await failed.page.close();

    // A Saturday: the source answered, with no bars. Said as such, no empty axis.
    const empty = await show("kr-intraday-no-bars", conn, "get_intraday_chart",
      { symbol: "005930", market: "KR", interval: "5m", date: "2026-12-04", source: "naver" });
    assert.equal(empty.result.structuredContent.outcome, "no_data", textOf(empty.result));
    assert.match((await texts(empty.frame, "#status.no-data .head"))[0], /표시할 봉이 없습니다 — 원천이 봉을 주지 않았을 뿐, 거래 없음으로 확인된 것은 아닙니다/);
    assert.ok((await texts(empty.frame, "#status"))[0].includes("분봉 데이터가 없습니다"));
    assert.equal((await empty.frame.$$("#chart svg")).length, 0);
    await shot(empty.page, "kr-intraday-no-bars");
    await empty.page.close();

    const us = await show("us-daily", conn, "get_us_chart", { ticker: "AAPL", period: "1mo", interval: "1d" });
    const doc = us.result.structuredContent;
    assert.equal(doc.outcome, "ok", textOf(us.result));
    assert.equal((await us.frame.$$("g.candle")).length, doc.bars.length);
    assert.ok(doc.bars.length > 0 && doc.bars.every((b) => b.session === "regular" && b.state === "final"));
    assert.equal((await us.frame.$$("rect.session-band")).length, 0, "daily bars are not shaded by session");
    assert.equal((await texts(us.frame, "#title"))[0], "AAPL 일봉");
    await shot(us.page, "us-daily");
    await us.page.close();
  } finally {
    await conn.close();
    await srv.close();
  }
  assert.deepEqual(network, [], "no request left any page");
  assert.deepEqual(consoleErrors.filter((e) => /Content Security Policy|Refused/.test(e)), []);
});
