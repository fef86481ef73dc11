// A Naver that has retired its endpoints, end to end: every address answers the
// real 410 page. The replies say "조회 실패" and come back with isError true;
// none calls Samsung Electronics possibly delisted. An unknown code on a live
// endpoint (the quote list without it) is "not found" and no error.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { connect, startFixtureServer, textOf, metaOf, readSharedSample } from "./lib.mjs";

const gone = readSharedSample("naver/finance_item_sise_day_http410.html");
let srv;
let c;

before(async () => {
  srv = await startFixtureServer({
    "/polling.finance.naver.com/api/realtime/domestic/stock/123450": {
      body: '{"pollingInterval":7000,"datas":[],"time":"20260916102000"}',
    },
    "*": { status: 410, body: gone ?? "<html>gone</html>", contentType: "text/html; charset=utf-8" },
  });
  c = await connect({ TESSARO_NAVER_BASE_URL: srv.url, TESSARO_NOW: "2026-09-16T10:30:00+09:00" });
});

after(async () => {
  await c?.close();
  await srv?.close();
});

for (const [name, args] of [
  ["get_price", { code: "005930" }],
  ["get_chart", { code: "005930" }],
  ["get_flow", { code: "005930" }],
  ["get_multi_chart_stats", { codes: ["005930"] }],
  ["get_flow_batch", { codes: ["005930", "000660"] }],
  ["screen_chart", { market: "KOSPI", universe_top: 20, preset: "정배열" }],
]) {
  test(`${name}: a retired endpoint is a failed lookup, not a missing stock`, { skip: gone ? false : "shared sample absent" }, async () => {
    const r = await c.client.callTool({ name, arguments: args });
    const text = textOf(r);
    assert.equal(r.isError, true, text);
    assert.match(text, /조회 실패/);
    assert.doesNotMatch(text, /상장폐지|찾을 수 없습니다/);
    const meta = metaOf(text);
    if (meta) assert.notEqual(meta.data_completeness, "complete");
  });
}

test("an unknown code on a live endpoint is not found, and not an error", async () => {
  const r = await c.client.callTool({ name: "get_price", arguments: { code: "123450" } });
  const text = textOf(r);
  assert.equal(r.isError, false, text);
  assert.match(text, /종목코드 123450에 해당하는 종목을 찾을 수 없습니다/);
  assert.equal(metaOf(text).data_completeness, "none");
});
