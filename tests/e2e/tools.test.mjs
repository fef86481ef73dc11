// The market-wide tools end to end: a chart screen and the market-cap pages over a
// loopback Naver, US quotes and SEC filings over a loopback Yahoo and SEC, and a
// scan workbook written to the home folder and filtered again with query_excel.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { connect, startFixtureServer, textOf, metaOf, readFixture } from "./lib.mjs";

// Five KOSPI stocks by market value: three rising, one falling, one whose chart is down.
const STOCKS = [
  ["100001", "상승하나", 30],
  ["100002", "상승둘", 20],
  ["100003", "하락셋", -20],
  ["100004", "상승넷", 25],
  ["100005", "빈차트", null],
];

// Weekday bars ending on 2026-12-04, the close moving by `step` a bar.
function barsXml(code, count, step) {
  const days = [];
  const d = new Date(Date.UTC(2026, 11, 4));
  while (days.length < count) {
    if (d.getUTCDay() !== 0 && d.getUTCDay() !== 6) days.unshift(d.toISOString().slice(0, 10).replaceAll("-", ""));
    d.setUTCDate(d.getUTCDate() - 1);
  }
  const items = days.map((ymd, i) => {
    const c = 10000 + step * i;
    return `<item data="${ymd}|${c}|${c + 50}|${c - 50}|${c}|100000" />`;
  });
  return `<?xml version="1.0" encoding="EUC-KR" ?>\n<protocol>\n<chartdata symbol="${code}" name="x" count="${count}" timeframe="day" precision="0">\n` +
    items.join("\n") + "\n</chartdata>\n</protocol>\n";
}

function capPage(url) {
  const page = Number(url.searchParams.get("page") ?? 1);
  const rows = page > 1 ? [] : STOCKS.map(([code, name], i) => ({
    itemCode: code, stockName: name, stockEndType: "stock", closePrice: "10,000",
    marketValue: String(900000 - i), tradeStopType: { name: "TRADING" },
  }));
  return { body: JSON.stringify({ stocks: rows, totalCount: STOCKS.length, page, pageSize: 100 }) };
}

// A sector's member page as Naver serves it (CP949): `n` stocks, falling change rates.
function sectorMembers(n) {
  let h = '<html><body><table class="type_1"><tr><td>그룹</td><td class="number">+1.00%</td>' +
    `<td class="number">${n}</td><td class="number">1</td><td class="number">0</td><td class="number">0</td></tr></table>` +
    '<table class="type_5"><thead><tr><th colspan="2">종목명</th><th>현재가</th><th>전일비</th><th>등락률</th><th>거래량</th></tr></thead><tbody>';
  for (let i = 0; i < n; i++) {
    const code = String(200000 + i);
    h += `<tr><td class="name"><div class="name_area"><a href="/item/main.naver?code=${code}">종목${i}</a></div></td>` +
      `<td class="number">12,500</td><td class="number">10</td><td class="number">+${(20 - i * 0.5).toFixed(2)}%</td>` +
      '<td class="number">1,234</td></tr>';
  }
  return execFileSync("iconv", ["-f", "UTF-8", "-t", "CP949"], { input: h + "</tbody></table></body></html>" });
}

// Berkshire class B after the close: the regular close is the price, the after-hours one is not.
const BRK = {
  symbol: "BRK-B", longName: "Berkshire Hathaway Inc.", fullExchangeName: "NYSE", currency: "USD",
  regularMarketPrice: 478.25, regularMarketChange: -2.5, regularMarketChangePercent: -0.52,
  regularMarketTime: 1764968400, marketState: "POST", postMarketPrice: 479.0, postMarketTime: 1764970000,
  regularMarketOpen: 480.1, regularMarketDayHigh: 481.0, regularMarketDayLow: 476.9, regularMarketVolume: 3200000,
};

let srv, c;
before(async () => {
  srv = await startFixtureServer({
    "/m.stock.naver.com/api/stocks/marketValue/KOSPI": (req, url) => capPage(url),
    "/fchart.stock.naver.com/sise.nhn": (req, url) => {
      const code = url.searchParams.get("symbol");
      const s = STOCKS.find((x) => x[0] === code);
      if (!s || s[2] === null) return { status: 500, body: "down" };
      return { body: barsXml(code, Number(url.searchParams.get("count")), s[2]), contentType: "text/xml; charset=EUC-KR" };
    },
    "/finance.naver.com/sise/sise_group.naver": { body: readFixture("naver/lists_sector_list.html"), contentType: "text/html" },
    "/finance.naver.com/sise/sise_group_detail.naver": { body: sectorMembers(25), contentType: "text/html" },
    "/fc.yahoo.com/": {
      status: 404, body: "<html>no</html>", contentType: "text/html",
      headers: { "set-cookie": "A3=d=AQAB; Domain=.yahoo.com; Path=/; Secure" },
    },
    "/query1.finance.yahoo.com/v1/test/getcrumb": { body: "abcDEF12345", contentType: "text/plain;charset=utf-8" },
    "/query1.finance.yahoo.com/v7/finance/quote": (req, url) => ({
      body: JSON.stringify({
        quoteResponse: { error: null, result: url.searchParams.get("symbols") === "BRK-B" ? [BRK] : [] },
      }),
    }),
    "/www.sec.gov/files/company_tickers.json": { body: readFixture("sec/h_company_tickers.json") },
    "/data.sec.gov/submissions/CIK0009999991.json": { body: readFixture("sec/h_submissions_CIK0009999991.json") },
  });
  c = await connect({
    TESSARO_NAVER_BASE_URL: srv.url, TESSARO_YAHOO_BASE_URL: srv.url, TESSARO_SEC_BASE_URL: srv.url,
    TESSARO_SEC_CONTACT: "ops@example.com", TESSARO_NOW: "2026-12-04T17:10:00+09:00",
  });
});
after(async () => {
  await c?.close();
  await srv?.close();
});

const call = async (name, args) => textOf(await c.client.callTool({ name, arguments: args }));

test("screen_chart screens the market-cap universe on daily bars and pages its report", async () => {
  const r = await call("screen_chart", { market: "KOSPI", preset: "정배열", exclude: "없음", market_cap_min: 0, count: 2 });
  assert.match(r, /^차트 조건검색 \(일봉\) — 정배열\n후보 5종목 → 계산 4 → 조건 통과 \*\*3종목\*\*\n기준 2026-12-04 · /);
  // Largest first; the falling stock never matches, the third match waits on page 2.
  assert.match(r, /\n1\|상승하나\|100001\|13,570\|/);
  assert.match(r, /\n2\|상승둘\|100002\|12,380\|/);
  assert.ok(!r.includes("100003") && !r.includes("100004"), r);
  assert.match(r, /→ 다음 쪽: page=2 \(남은 1종목\)/);
  const meta = metaOf(r);
  // The stock whose chart did not load is counted as a failure, so the screen is partial.
  assert.equal(meta.data_completeness, "partial");
  assert.ok(meta.warnings.includes("일봉 조회 실패 1종목 — 후보에서 제외했습니다."), meta.warnings.join("\n"));
  assert.equal(meta.screen_matched, 3);

  const p2 = await call("screen_chart", { market: "KOSPI", preset: "정배열", exclude: "없음", market_cap_min: 0, count: 2, page: 2 });
  assert.match(p2, /\n3\|상승넷\|100004\|/);

  assert.equal(await call("screen_chart", { preset: "없는것" }),
    "⚠️ 알 수 없는 프리셋입니다: 없는것 (사용 가능: 이평수렴, 정배열, 역배열, 변동성수축)");
  assert.equal(await call("screen_chart", { ma_set: "5,10,20,60,120,200" }), "⚠️ 이평은 최대 5개까지입니다: 5,10,20,60,120,200");
});

test("get_market_cap_ranking pages through the list and names the last page", async () => {
  const p1 = await call("get_market_cap_ranking", { market: "KOSPI", count: 2 });
  assert.match(p1, /^시가총액 상위 \(KOSPI\) — 전체 5개 중 1~2위 \(1\/3쪽\)\n/);
  assert.match(p1, /※ 다음 쪽: `page=2` \(count=2 그대로\) → 3위부터\./);
  assert.equal(metaOf(p1).coverage.next_page, 2);
  const p3 = await call("get_market_cap_ranking", { market: "KOSPI", count: 2, page: 3 });
  assert.match(p3, /\n5 \| 100005 \| 빈차트 \| 10,000 \| - \| 899,996\n/);   // no change rate given: "-", not 0
  assert.match(p3, /※ KOSPI 목록의 마지막 쪽입니다 \(전체 5개\)\./);
  assert.equal(await call("get_market_cap_ranking", { market: "KOSPI", count: 2, page: 4 }),
    "시가총액 순위 (KOSPI) — 전체 5개라 page=4(count=2)에는 종목이 없습니다. 마지막 쪽은 page=3 입니다.");
});

test("sector members page by page from one fetch of the list and of the members", async () => {
  const p1 = await call("get_sector_stocks", { sector_name: "반도체와반도체장비", count: 10 });
  assert.match(p1, /전체 25개 중 1~10번째 \(등락률 내림차순, 1\/3쪽\)/);
  assert.match(p1, /\n200000 \| 종목0 \| 12,500 \| \+20\.00% \| 1,234\n/);
  assert.match(p1, /다음 쪽: `page=2` \(count=10 그대로, 전체 3쪽\)/);
  const p3 = await call("get_sector_stocks", { sector_name: "반도체와반도체장비", count: 10, page: 3 });
  assert.match(p3, /전체 25개 중 21~25번째 \(등락률 내림차순, 3\/3쪽\)/);
  assert.match(p3, /\n200024 \| 종목24 \| 12,500 \| \+8\.00% \| 1,234\n/);
  // The assistant paging through the list does not make the site serve it again.
  assert.equal(srv.hits["/finance.naver.com/sise/sise_group.naver"], 1);
  assert.equal(srv.hits["/finance.naver.com/sise/sise_group_detail.naver"], 1);
});

test("US quote of a dotted ticker and SEC filings over the loopback servers", async () => {
  const q = await call("get_us_price", { ticker: "brk.b" });
  assert.match(q, /^\*\*Berkshire Hathaway Inc\.\*\* \(BRK-B\) — NYSE\n현재가: \$478\.25\n전일대비: -2\.50 \(-0\.52%\)\n/);
  assert.ok(!q.includes("479.00"), "the after-hours price is not the current price");
  assert.match(q, /52주 고저: - \/ -/);   // not delivered: a dash, never 0
  const m = metaOf(q);
  assert.equal(m.quote_session, "after_hours");
  assert.equal(m.price_basis, "regular_market");

  const f = await call("get_us_filings", { ticker: "exmp", limit: 2 });
  assert.match(f, /^\*\*EXMP\*\* SEC 공시 · 최근 구간 \(표시 1~2번째 2건 \/ 이 구간 6건\)\n/);
  assert.match(f, /\n2026-11-20 \| \*\*8-K\*\* \| 2026-11-19 \| `0009999991-26-000021` \|/);
  assert.match(f, /`offset=2` 로 이어서 조회하세요/);
  assert.equal(metaOf(f).coverage.next_offset, 2);
  assert.equal(srv.hits["/www.sec.gov/files/company_tickers.json"], 1);
});

test("a scan workbook is written under the home folder and filtered again by query_excel", async () => {
  const s = await call("scan_to_excel", { codes: ["100001", "100002", "100003"], fields: ["price", "chart"], include_financial: false, filename: "scan1" });
  assert.match(s, /^✓ 스냅샷 저장 완료 \(3개 종목\)\n/);
  const file = path.join(c.home, "snapshots", "scan1.xlsx");
  assert.ok(s.includes(`경로: ${file}\n`), s);
  assert.ok(fs.statSync(file).size > 0);
  assert.deepEqual(fs.readdirSync(path.dirname(file)).filter((n) => n !== "scan1.xlsx"), [], "no temporary file left behind");

  const q = await call("query_excel", { file_path: "scan1.xlsx", filters: { period_return_pct_min: 0 } });
  assert.match(q, /^쿼리 결과 \(2개 종목, 파일: scan1\.xlsx\):/);
  assert.match(q, /\| 100001 \|/);
  assert.match(q, /\| 100002 \|/);
  assert.ok(!q.includes("| 100003 |"), q);

  // A filter on a column the scan does not hold is named, not silently dropped.
  const miss = await call("query_excel", { file_path: "scan1.xlsx", filters: { per_max: 10 } });
  assert.match(miss, /⚠️ \*\*적용되지 않은 조건\*\*: per — 이 파일에 없는 컬럼입니다\./);

  assert.equal(await call("query_excel", { file_path: "nope.xlsx" }), "파일을 찾을 수 없습니다: nope.xlsx");
  const bad = await call("scan_to_excel", { codes: ["100001"], filename: "../x" });
  assert.match(bad, /^⚠️ 파일 이름으로 쓸 수 없습니다: \.\.\/x\n/);
  assert.ok(!fs.existsSync(path.join(c.home, "x.xlsx")));
});
