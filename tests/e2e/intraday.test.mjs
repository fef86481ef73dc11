// A connected broker end to end: `broker connect` on the command line, then minute
// bars through the MCP client from a loopback server that speaks KIS's shapes.
import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { connect, startFixtureServer, textOf, metaOf, spawnBinary } from "./lib.mjs";

const KIS = "/openapi.koreainvestment.com:9443";

// 2026-12-04: continuous trading 09:00-15:19, the closing auction printed at 15:30.
function minutesOfDay() {
  const out = [];
  for (let m = 9 * 60; m < 15 * 60 + 20; m++) out.push(m);
  out.push(15 * 60 + 30);
  return out;
}
// The command line runs asynchronously: the fixture server lives in this process.
function run(args, input, env) {
  return new Promise((resolve) => {
    const p = spawnBinary(args, { env });
    let stdout = "", stderr = "";
    p.stdout.on("data", (d) => (stdout += d));
    p.stderr.on("data", (d) => (stderr += d));
    p.on("close", (status) => resolve({ status, stdout, stderr }));
    p.stdin.end(input);
  });
}

const hhmmss = (m) => `${String(Math.floor(m / 60)).padStart(2, "0")}${String(m % 60).padStart(2, "0")}00`;

// Investor flow by detailed category, newest day first; 은행 left empty on every day.
function investorDaily() {
  const rows = ["20261204", "20261203", "20261202"].map((d, i) => ({
    stck_bsop_date: d, stck_clpr: String(70000 + i), acml_vol: "1000000",
    frgn_ntby_qty: String(1000 - i), prsn_ntby_qty: "-1500", orgn_ntby_qty: "500", scrt_ntby_qty: "200",
    ivtr_ntby_qty: "100", pe_fund_ntby_vol: "50", bank_ntby_qty: "", insu_ntby_qty: "50", mrbn_ntby_qty: "0",
    fund_ntby_qty: "100", etc_ntby_qty: "0", etc_corp_ntby_vol: "0", etc_orgt_ntby_vol: "0",
  }));
  return { body: JSON.stringify({ rt_cd: "0", msg_cd: "MCA00000", msg1: "정상처리 되었습니다.", output1: {}, output2: rows }) };
}

function dailyMinutePage(url) {
  const cursor = url.searchParams.get("FID_INPUT_HOUR_1") ?? "153000";
  const rows = minutesOfDay()
    .filter((m) => hhmmss(m) <= cursor)
    .reverse()
    .slice(0, 120)
    .map((m) => ({
      stck_bsop_date: url.searchParams.get("FID_INPUT_DATE_1"),
      stck_cntg_hour: hhmmss(m),
      stck_prpr: String(70000 + (m % 10) * 10),
      stck_oprc: String(70000),
      stck_hgpr: String(70100 + (m % 10) * 10),
      stck_lwpr: String(69900),
      cntg_vol: m === 15 * 60 + 30 ? "250000" : "1000",
      acml_tr_pbmn: "0",
    }));
  return { body: JSON.stringify({ rt_cd: "0", msg_cd: "MCA00000", msg1: "정상처리 되었습니다.", output1: {}, output2: rows }) };
}

test("a broker connected on the command line serves minute bars, cached once the day is over", async () => {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-broker-"));
  const srv = await startFixtureServer({
    [`${KIS}/oauth2/tokenP`]: {
      body: JSON.stringify({ access_token: "tok-e2e", token_type: "Bearer", expires_in: 86400, access_token_token_expired: "2099-12-31 00:00:00" }),
    },
    [`${KIS}/uapi/domestic-stock/v1/quotations/inquire-time-dailychartprice`]: (req, url) => dailyMinutePage(url),
    [`${KIS}/uapi/domestic-stock/v1/quotations/investor-trade-by-stock-daily`]: () => investorDaily(),
  });
  const env = { TESSARO_HOME: home, HOME: home, TESSARO_KIS_BASE_URL: srv.url };
  try {
    const cli = await run(["broker", "connect", "kis"], "APPKEY-e2e-1234\nSECRET-e2e-9876\n", { PATH: process.env.PATH, ...env });
    assert.equal(cli.status, 0, cli.stderr);
    assert.ok(!cli.stdout.includes("SECRET-e2e") && !cli.stderr.includes("SECRET-e2e"));
    const state = path.join(home, "brokers", "connections.json");
    assert.equal(fs.statSync(state).mode & 0o777, 0o600);

    // Saturday: the latest trading day is Friday 2026-12-04 and it is finished.
    const c = await connect({ ...env, TESSARO_NOW: "2026-12-05T10:00:00+09:00" });
    try {
      const args = { symbol: "005930", interval: "60m", row_limit: 7 };
      const first = textOf(await c.client.callTool({ name: "get_intraday_chart", arguments: args }));
      assert.match(first, /^\*\*005930\*\* KR 60m 분봉 OHLCV \(7 bars, KRX, regular session\)\n\n날짜\|시가\|고가\|저가\|종가\|거래량\n/);
      assert.match(first, /\n2026-12-04 09:00\|70000\|/);
      assert.match(first, /\n2026-12-04 15:00\|70000\|70190\|69900\|70000\|270000\n/);
      assert.match(first, /※ 세션 꼬리 봉 1개 포함 \(예: 15:00~15:31, 31분\)/);
      const m1 = metaOf(first);
      assert.equal(m1.provider, "kis");
      assert.equal(m1.provider_status, "ok");
      assert.equal(m1.cache_hit, false);
      assert.equal(m1.data_basis, "last_close");
      assert.equal(m1.data_completeness, "complete");
      const fetched = srv.hits[`${KIS}/uapi/domestic-stock/v1/quotations/inquire-time-dailychartprice`];
      assert.ok(fetched >= 4, `expected paging over the day, saw ${fetched} pages`);
      assert.equal(srv.hits[`${KIS}/oauth2/tokenP`], 1);

      const second = textOf(await c.client.callTool({ name: "get_intraday_chart", arguments: args }));
      assert.equal(metaOf(second).cache_hit, true);
      assert.equal(srv.hits[`${KIS}/uapi/domestic-stock/v1/quotations/inquire-time-dailychartprice`], fetched);
      assert.ok(!second.includes("SECRET-e2e") && !second.includes("tok-e2e"));

      // Indicators on the same broker bars, reaching back over earlier trading days for 30 of them.
      const ind = JSON.parse(textOf(await c.client.callTool({ name: "get_intraday_indicators", arguments: { symbol: "005930", interval: "60m", bars: 10 } })));
      assert.equal(ind.bars, 30);   // 10 is below the floor of 30
      assert.equal(ind._meta.coverage.days_fetched, 5);
      assert.equal(ind.indicators.ma.date, "2026-12-04 15:00");
      assert.equal(ind.indicators.ma.ma60, null);   // not enough bars: no value, not 0
      assert.deepEqual(ind._meta.indicator_coverage.insufficient, ["ma60", "ma120", "ma240", "volume_rank_252b"]);
      assert.ok(ind._meta.warnings.includes("봉이 모자라 계산되지 않은 지표: ma60, ma120, ma240, volume_rank_252b (30봉 기준). 값이 없는 것이지 신호가 없는 것이 아닙니다."));
      assert.equal(ind._meta.data_completeness, "partial");
      assert.equal(ind.indicators.volume.trade_value_est_krw, 70000 * 270000);
      // Kiwoom was never connected: naming it is refused, not served by KIS.
      const kw = textOf(await c.client.callTool({ name: "get_intraday_chart", arguments: { ...args, source: "kiwoom" } }));
      assert.equal(metaOf(kw).provider_status, "not_configured");
      assert.equal(metaOf(kw).data_completeness, "none");

      // Detailed investor flow from the same broker: a category the broker left empty has no value (not 0).
      const flow = JSON.parse(textOf(await c.client.callTool({ name: "get_detailed_investor_flow", arguments: { code: "005930", days: 3 } })));
      assert.equal(flow.ok, true);
      assert.equal(flow.provider, "kis");
      assert.equal(flow.unit, "shares");
      const rows = flow.records[0].rows;
      assert.deepEqual(rows.map((r) => r.date), ["2026-12-04", "2026-12-03", "2026-12-02"]);
      assert.equal(rows[0].values.foreign, 1000);
      assert.equal(rows[0].values.institution_total, 500);
      assert.ok(!("bank" in rows[0].values), JSON.stringify(rows[0].values));
      assert.equal(flow._meta.data_as_of, "2026-12-04");
      assert.equal(flow._meta.provider_status, "ok");

      // CFD is offered by no broker: reported as not received, never as a zero balance.
      const cfd = JSON.parse(textOf(await c.client.callTool({ name: "get_supply_pressure", arguments: { code: "005930", kind: "cfd" } })));
      const block = cfd.entities[0].blocks[0];
      assert.equal(block.kind, "cfd");
      assert.equal(block.status, "unsupported");
      assert.equal(block.unavailable_reason, "unsupported_by_selected_provider");
      assert.deepEqual(block.rows, []);
      assert.equal(cfd._meta.data_completeness, "none");
    } finally {
      await c.close();
    }
  } finally {
    await srv.close();
    fs.rmSync(home, { recursive: true, force: true });
  }
});
