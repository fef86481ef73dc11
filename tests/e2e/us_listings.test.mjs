// US tools end to end on each listing's own exchange: a Tokyo and a New York quote
// in one batch during Asian hours, and hourly bars with their times and sessions.
// Bodies written from the documented v7 quote and v8 chart formats.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { connect, startFixtureServer, textOf, metaOf } from "./lib.mjs";

const t = (iso) => Math.floor(Date.parse(iso) / 1000);

const QUOTES = {
  "7203.T": {
    symbol: "7203.T", longName: "Toyota Motor Corp.", currency: "JPY", exchangeTimezoneName: "Asia/Tokyo",
    regularMarketPrice: 2800, regularMarketChange: 12, regularMarketChangePercent: 0.43,
    regularMarketTime: t("2025-02-18T13:55:00+09:00"), regularMarketVolume: 30000, marketState: "REGULAR",
  },
  AAPL: {
    symbol: "AAPL", longName: "Apple Inc.", currency: "USD", exchangeTimezoneName: "America/New_York",
    regularMarketPrice: 244.6, regularMarketChange: 1.5, regularMarketChangePercent: 0.61,
    regularMarketTime: t("2025-02-14T16:00:00-05:00"), regularMarketVolume: 45230000, marketState: "CLOSED",
  },
};

// Friday 2025-02-14: a pre-market bar Yahoo sent unasked, then the regular hours.
function hourlyChart() {
  const stamps = ["08:00", "09:30", "10:30", "15:30", "16:00"].map((hm) => t(`2025-02-14T${hm}:00-05:00`));
  const p = stamps.map((_, i) => 100 + i);
  return JSON.stringify({
    chart: {
      error: null,
      result: [{
        meta: { symbol: "AAPL", currency: "USD", exchangeTimezoneName: "America/New_York" },
        timestamp: stamps,
        indicators: { quote: [{ open: p, high: p, low: p, close: p, volume: p.map(() => 500) }] },
      }],
    },
  });
}

let srv, c;
before(async () => {
  srv = await startFixtureServer({
    "/fc.yahoo.com/": {
      status: 404, body: "<html>no</html>", contentType: "text/html",
      headers: { "set-cookie": "A3=d=AQAB; Domain=.yahoo.com; Path=/; Secure" },
    },
    "/query1.finance.yahoo.com/v1/test/getcrumb": { body: "abcDEF12345", contentType: "text/plain;charset=utf-8" },
    "/query1.finance.yahoo.com/v7/finance/quote": (req, url) => ({
      body: JSON.stringify({
        quoteResponse: {
          error: null,
          result: (url.searchParams.get("symbols") ?? "").split(",").map((s) => QUOTES[s]).filter(Boolean),
        },
      }),
    }),
    "/query2.finance.yahoo.com/v8/finance/chart/AAPL": { body: hourlyChart() },
  });
  c = await connect({ TESSARO_YAHOO_BASE_URL: srv.url, TESSARO_NOW: "2025-02-18T14:00:00+09:00" });
});
after(async () => {
  await c?.close();
  await srv?.close();
});

const call = async (name, args) => textOf(await c.client.callTool({ name, arguments: args }));

test("a Tokyo quote during Asian hours does not make New York's last close stale", async () => {
  const r = await call("get_us_multi_price", { tickers: ["7203.T", "AAPL"] });
  assert.match(r, /\*\*7203\.T\*\* \| Toyota Motor Corp\. \| JPY 2,800\.00 \| \+12\.00 \| \+0\.43% \| 30,000 \| - \| 2025-02-18\n/);
  assert.match(r, /\*\*AAPL\*\* \| Apple Inc\. \| \$244\.60 \| \+1\.50 \| \+0\.61% \| 45\.2M \| - \| 2025-02-14\n/);
  assert.ok(!r.includes("거래정지·상장폐지"), r);
  const m = metaOf(r);
  assert.deepEqual(m.coverage.stale_entities, []);
  assert.equal(m.per_entity_session["7203.T"], "unconfirmed");

  const one = await call("get_us_price", { ticker: "7203.T" });
  const pm = metaOf(one);
  assert.equal(pm.data_as_of, "2025-02-18");
  assert.equal(pm.session, "unconfirmed");
  assert.ok(!one.includes("최근 거래일(2025-02-14)"), one);
});

test("hourly bars print their New York time and each its session", async () => {
  const r = await call("get_us_chart", { ticker: "AAPL", period: "5d", interval: "60m" });
  assert.match(r, /\n2025-02-14 08:00\|100\.00\|100\.00\|100\.00\|100\.00\|500\|프리마켓\n/);
  assert.match(r, /\n2025-02-14 09:30\|101\.00\|101\.00\|101\.00\|101\.00\|500\|정규장\n/);
  assert.match(r, /\n2025-02-14 16:00\|104\.00\|104\.00\|104\.00\|104\.00\|500\|애프터아워\n/);
  assert.match(r, /※ 시각은 뉴욕 시각\(America\/New_York\)/);
});
