"use strict";
// Tessaro's chart view: draws the structured result of get_chart,
// get_intraday_chart and get_us_chart as the host hands it over (MCP Apps,
// JSON-RPC over postMessage), and calls the tools again through the host when a
// timeframe button is pressed. It fetches nothing itself.
(function () {
  var PROTOCOL_VERSION = "2026-01-26";
  var host = window.parent;
  var app = document.getElementById("app");
  var els = {
    title: document.getElementById("title"),
    subtitle: document.getElementById("subtitle"),
    asof: document.getElementById("asof"),
    frames: document.getElementById("frames"),
    status: document.getElementById("status"),
    chart: document.getElementById("chart"),
    legend: document.getElementById("legend"),
    notes: document.getElementById("notes"),
    tip: document.getElementById("tip")
  };
  var state = { input: null, result: null, doc: null, canCall: false, busy: false, rendered: 0 };

  // ---- words -------------------------------------------------------------
  var SESSION_LABEL = {
    regular: "정규장",
    regular_and_after: "정규장+애프터마켓",
    closing_price_after_close: "장후 시간외 종가",
    after_market: "애프터마켓",
    pre_market: "프리마켓",
    after_hours: "애프터아워",
    unknown: "세션 미상"
  };
  var STATE_LABEL = { final: "확정", forming: "진행 중", unknown: "마감 미확인" };
  // The instructions' own glosses of the basis values.
  var BASIS_GLOSS = {
    last_close: "끝난 세션의 확정값",
    realtime: "세션 중 실시간 스냅샷(종가 아님)",
    in_progress_bar: "마지막 봉이 아직 만들어지는 중",
    filing: "공시 기준",
    aggregate: "수집 구간"
  };
  var TIMEFRAME_LABEL = { day: "일봉", week: "주봉", month: "월봉", "1d": "일봉", "1wk": "주봉", "1mo": "월봉" };

  function sessionLabel(s) { return SESSION_LABEL[s] || (s ? s : SESSION_LABEL.unknown); }
  function isIntraday(doc) {
    return (doc.bars || []).some(function (b) { return typeof b.t === "string" && b.t.length > 10; });
  }
  function timeframeLabel(doc) {
    var tf = doc.timeframe || "";
    if (TIMEFRAME_LABEL[tf]) return TIMEFRAME_LABEL[tf];
    var m = /^(\d+)(m|h)$/.exec(tf);
    if (m) return (m[2] === "h" ? Number(m[1]) * 60 : Number(m[1])) + "분봉";
    return tf || "봉";
  }

  // ---- numbers -------------------------------------------------------------
  function isNum(v) { return typeof v === "number" && isFinite(v); }
  function decimalsOf(doc) {
    if (doc.market === "US") return 2;
    var frac = (doc.bars || []).some(function (b) {
      return ["open", "high", "low", "close"].some(function (k) { return isNum(b[k]) && Math.round(b[k]) !== b[k]; });
    });
    return frac ? 2 : 0;
  }
  function fmtNum(v, digits) {
    if (!isNum(v)) return "-";
    return v.toLocaleString("ko-KR", { minimumFractionDigits: digits, maximumFractionDigits: digits });
  }
  function priceText(v, doc, digits) {
    if (!isNum(v)) return "- (결측)";
    var unit = doc.units && doc.units.price;
    return fmtNum(v, digits) + (unit ? unit : "");
  }
  function volumeText(v, doc) {
    if (!isNum(v)) return "- (결측, 0 아님)";
    var unit = doc.units && doc.units.volume;
    return fmtNum(v, 0) + (unit ? unit : "");
  }
  function shortVolume(v) {
    if (!isNum(v)) return "";
    if (v >= 1e8) return fmtNum(v / 1e8, 1) + "억";
    if (v >= 1e4) return fmtNum(v / 1e4, 0) + "만";
    return fmtNum(v, 0);
  }

  // ---- the Apps protocol, view side -----------------------------------------
  var nextId = 1;
  var pending = {};
  function send(msg) { host.postMessage(msg, "*"); }
  function request(method, params) {
    return new Promise(function (resolve, reject) {
      var id = nextId++;
      pending[id] = { resolve: resolve, reject: reject };
      send({ jsonrpc: "2.0", id: id, method: method, params: params });
    });
  }
  function notify(method, params) { send({ jsonrpc: "2.0", method: method, params: params || {} }); }
  function answer(id, result) { send({ jsonrpc: "2.0", id: id, result: result }); }

  window.addEventListener("message", function (ev) {
    if (ev.source !== host) return;
    var m = ev.data;
    if (!m || typeof m !== "object" || m.jsonrpc !== "2.0") return;
    if (m.method === undefined && m.id !== undefined) {
      var p = pending[m.id];
      if (!p) return;
      delete pending[m.id];
      if (m.error) p.reject(m.error);
      else p.resolve(m.result);
      return;
    }
    if (typeof m.method !== "string") return;
    if (m.id !== undefined) onRequest(m);
    else onNotification(m.method, m.params || {});
  });

  function onRequest(m) {
    if (m.method === "ui/resource-teardown" || m.method === "ping") return answer(m.id, {});
    send({ jsonrpc: "2.0", id: m.id, error: { code: -32601, message: "Method not found: " + m.method } });
  }

  function onNotification(method, params) {
    if (method === "ui/notifications/tool-input") state.input = params.arguments || null;
    else if (method === "ui/notifications/tool-result") render(params);
    else if (method === "ui/notifications/tool-cancelled")
      showStatus("cancelled", "조회가 취소됐습니다", params.reason ? "사유: " + params.reason : "");
    else if (method === "ui/notifications/host-context-changed") applyContext(params);
  }

  function applyContext(ctx) {
    if (!ctx || typeof ctx !== "object") return;
    if (ctx.theme === "dark" || ctx.theme === "light") document.documentElement.setAttribute("data-theme", ctx.theme);
    var vars = ctx.styles && ctx.styles.variables;
    if (vars && typeof vars === "object")
      Object.keys(vars).forEach(function (k) {
        if (/^--[a-z0-9-]+$/.test(k) && typeof vars[k] === "string") document.documentElement.style.setProperty(k, vars[k]);
      });
  }

  // The drawing's own size (not the frame's), so the host can shrink the frame too.
  function reportSize() {
    var r = app.getBoundingClientRect();
    notify("ui/notifications/size-changed", { width: Math.ceil(r.width), height: Math.ceil(r.height) });
  }

  // ---- frame ---------------------------------------------------------------
  function clearNode(n) { while (n.firstChild) n.removeChild(n.firstChild); }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function showStatus(kind, head, body) {
    clearNode(els.status);
    els.status.className = "status " + kind;
    if (head) els.status.appendChild(el("span", "head", head));
    if (body) els.status.appendChild(document.createTextNode(body));
  }
  function textOf(result) {
    return ((result && result.content) || []).filter(function (c) { return c && c.type === "text"; })
      .map(function (c) { return c.text; }).join("\n");
  }
  // The reply's text without its meta block.
  function replyBody(text) {
    var i = text.indexOf("\n\nRESULT_META_JSON_START");
    return (i >= 0 ? text.slice(0, i) : text).trim();
  }

  function setHeader(doc) {
    els.title.textContent = (doc.symbol || "?") + " " + timeframeLabel(doc);
    var sub = [];
    if (doc.market) sub.push(doc.market === "KR" ? "국내" : doc.market === "US" ? "미국" : doc.market);
    if (doc.venue) sub.push(doc.venue);
    if (doc.timezone && isIntraday(doc)) sub.push(doc.timezone === "Asia/Seoul" ? "한국 시각" : doc.timezone === "America/New_York" ? "뉴욕 시각" : doc.timezone);
    els.subtitle.textContent = sub.join(" · ");
  }

  // data_as_of and the basis, as the reply's meta states them.
  function setAsOf(meta) {
    clearNode(els.asof);
    if (!meta || typeof meta !== "object") {
      els.asof.appendChild(el("span", "", "메타 정보 없음"));
      return;
    }
    var line1 = el("div", "asof-day");
    line1.appendChild(document.createTextNode("data_as_of "));
    line1.appendChild(el("b", "", meta.data_as_of || "-"));
    els.asof.appendChild(line1);
    var line2 = el("div", "asof-basis");
    line2.appendChild(document.createTextNode("data_basis "));
    line2.appendChild(el("b", "", meta.data_basis || "-"));
    if (BASIS_GLOSS[meta.data_basis]) line2.appendChild(document.createTextNode(" (" + BASIS_GLOSS[meta.data_basis] + ")"));
    els.asof.appendChild(line2);
    var extra = [];
    if (meta.price_session) extra.push("price_session " + meta.price_session + " (" + sessionLabel(meta.price_session) + ")");
    if (meta.data_completeness && meta.data_completeness !== "complete") extra.push("data_completeness " + meta.data_completeness);
    if (extra.length) els.asof.appendChild(el("div", "asof-extra", extra.join(" · ")));
  }

  function setNotes(doc) {
    clearNode(els.notes);
    (doc.notes || []).forEach(function (n) {
      var li = el("li", /애프터마켓/.test(n) && /정규장 종가/.test(n) ? "after-note" : "");
      // The reply's Markdown bold, shown as bold; every other character as written.
      n.split("**").forEach(function (part, i) {
        if (!part) return;
        li.appendChild(i % 2 ? el("b", "", part) : document.createTextNode(part));
      });
      els.notes.appendChild(li);
    });
  }

  // ---- timeframe buttons: the tools again, through the host ----------------
  function framesFor(doc) {
    var req = doc.request || {};
    var us = doc.market === "US";
    var symbol = doc.symbol || req.code || req.symbol || req.ticker;
    var keepPrepost = doc.tool === "get_us_chart" ? !!req.prepost : false;
    var daily = us
      ? [["1d", "일"], ["1wk", "주"], ["1mo", "월"]].map(function (x) {
          var period = { "1d": "6mo", "1wk": "2y", "1mo": "10y" }[x[0]];
          if (doc.tool === "get_us_chart" && x[0] === doc.timeframe && req.period) period = req.period;
          return { key: x[0], label: x[1], name: "get_us_chart", args: { ticker: req.ticker || symbol, period: period, interval: x[0] } };
        })
      : [["day", "일"], ["week", "주"], ["month", "월"]].map(function (x) {
          var args = { code: symbol, timeframe: x[0] };
          if (doc.tool === "get_chart" && isNum(req.count)) args.count = req.count;
          return { key: x[0], label: x[1], name: "get_chart", args: args };
        });
    // Minute bars stay with the intraday tool (and its source) once it is in use;
    // from the US daily chart they come from get_us_chart.
    var minutes;
    if (us && doc.tool !== "get_intraday_chart")
      minutes = [["1m", "1분", "5d"], ["5m", "5분", "5d"], ["1h", "60분", "1mo"]].map(function (x) {
        return { key: x[0], label: x[1], name: "get_us_chart",
                 args: { ticker: req.ticker || symbol, period: x[2], interval: x[0], prepost: keepPrepost } };
      });
    else
      minutes = [["1m", "1분"], ["5m", "5분"], ["60m", "60분"]].map(function (x) {
        var args = { symbol: symbol, market: us ? "US" : "KR", interval: x[0] };
        if (doc.tool === "get_intraday_chart") {
          ["date", "source", "venue"].forEach(function (k) { if (req[k]) args[k] = req[k]; });
          if (args.source === "auto") delete args.source;
        }
        return { key: x[0], label: x[1], name: "get_intraday_chart", args: args };
      });
    return { daily: daily, minutes: minutes };
  }

  function setFrames(doc) {
    clearNode(els.frames);
    if (!doc.symbol) return;
    var f = framesFor(doc);
    var add = function (fr) {
      var b = el("button", "frame", fr.label);
      b.type = "button";
      b.setAttribute("data-frame", fr.key);
      var current = doc.timeframe === "60m" && fr.key === "1h" ? true : fr.key === doc.timeframe;
      b.setAttribute("aria-pressed", current ? "true" : "false");
      if (!state.canCall) {
        b.disabled = true;
        b.title = "이 호스트는 화면에서 도구를 다시 부를 수 없습니다";
      }
      b.addEventListener("click", function () { callTool(fr.name, fr.args, b.textContent); });
      els.frames.appendChild(b);
    };
    f.daily.forEach(add);
    els.frames.appendChild(el("span", "sep"));
    f.minutes.forEach(add);
  }

  function callTool(name, args, label) {
    if (state.busy || !state.canCall) return;
    state.busy = true;
    Array.prototype.forEach.call(els.frames.querySelectorAll("button"), function (b) { b.disabled = true; });
    showStatus("loading", "", label + " 불러오는 중…");
    request("tools/call", { name: name, arguments: args }).then(function (result) {
      state.busy = false;
      render(result);
    }, function (err) {
      state.busy = false;
      clearChart();
      setFrames(state.doc || {});
      showStatus("failed", "조회 실패 — 데이터가 없다는 뜻이 아닙니다",
                 name + " 호출이 호스트에서 끝나지 못했습니다: " + ((err && err.message) || String(err)));
      finish("failed");
    });
  }

  // ---- rendering -----------------------------------------------------------
  function clearChart() {
    clearNode(els.chart);
    clearNode(els.legend);
    els.tip.hidden = true;
  }

  // data-rendered counts the results drawn (a redraw for a new width is not one).
  function finish(outcome) {
    if (!state.redrawing) state.rendered += 1;
    app.setAttribute("data-outcome", outcome);
    app.setAttribute("data-rendered", String(state.rendered));
    reportSize();
  }

  function render(result) {
    state.result = result;
    clearChart();
    clearNode(els.notes);
    var doc = result && result.structuredContent;
    var text = textOf(result);
    if (!doc || typeof doc !== "object" || !Array.isArray(doc.bars)) {
      state.doc = null;
      clearNode(els.frames);
      setAsOf(null);
      if (result && result.isError) showStatus("failed", "조회 실패 — 데이터가 없다는 뜻이 아닙니다", replyBody(text));
      else showStatus("nodoc", "이 결과에는 차트로 그릴 봉 데이터가 없습니다", replyBody(text));
      return finish(result && result.isError ? "failed" : "nodoc");
    }
    state.doc = doc;
    setHeader(doc);
    setAsOf(doc.meta);
    setFrames(doc);
    setNotes(doc);
    var outcome = doc.outcome;
    if (result.isError && outcome === "ok") outcome = "failed";
    var body = doc.message || replyBody(text);
    if (outcome === "failed") {
      showStatus("failed", "조회 실패 — 데이터가 없다는 뜻이 아닙니다", replyBody(text) || doc.error || body);
      return finish("failed");
    }
    if (outcome === "not_found") {
      showStatus("not-found", "종목을 찾을 수 없습니다", body);
      return finish(outcome);
    }
    if (outcome === "refused") {
      showStatus("refused", "요청을 처리하지 않았습니다 (인자 확인 필요)", body);
      return finish(outcome);
    }
    if (outcome !== "ok" || !doc.bars.length) {
      showStatus("no-data", "표시할 봉이 없습니다 — 원천이 봉을 주지 않았을 뿐, 거래 없음으로 확인된 것은 아닙니다", body);
      return finish("no_data");
    }
    var meta = doc.meta || {};
    if (meta.data_completeness && meta.data_completeness !== "complete") {
      var warns = (meta.warnings || []).join("\n");
      showStatus("partial", "일부만 조회됨 (data_completeness: " + meta.data_completeness + ")", warns);
    } else {
      showStatus("", "", "");
    }
    if (!draw(doc)) {
      showStatus("no-data", "가격이 읽힌 봉이 없습니다 — 값이 0이라는 뜻이 아닙니다", body);
      return finish("no_data");
    }
    finish("ok");
  }

  // Runs of consecutive bars of one session on one day.
  function sessionRuns(bars) {
    var runs = [];
    bars.forEach(function (b, i) {
      var day = b.t.slice(0, 10);
      var last = runs[runs.length - 1];
      if (last && last.session === b.session && last.day === day) last.to = i;
      else runs.push({ session: b.session || "unknown", day: day, from: i, to: i });
    });
    return runs;
  }

  function tooltipText(b, doc, digits) {
    var merged = b.session === "regular_and_after";
    var lines = [b.t + " · " + STATE_LABEL[b.state] + " · " + sessionLabel(b.session)];
    lines.push("시가 " + priceText(b.open, doc, digits) + " · 고가 " + priceText(b.high, doc, digits));
    // An unfinished bar has no close yet: its last trade, and until when it moves.
    var closeWord = b.state === "forming"
      ? (merged ? "마지막 체결(애프터마켓 포함, 20:00까지 바뀜) " : "마지막 체결(바뀔 수 있음) ")
      : merged ? "종가(20:00, 애프터마켓 포함) " : "종가 ";
    lines.push("저가 " + priceText(b.low, doc, digits) + " · " + closeWord + priceText(b.close, doc, digits));
    if (merged) {
      var at = "정규장 종가(" + (b.regular_close_time || "15:30") + ") ";
      if (isNum(b.regular_close)) lines.push(at + priceText(b.regular_close, doc, digits));
      else if (b.regular_close_status) lines.push(at + "확인 불가 (" + b.regular_close_status + ")");
    }
    lines.push("거래량 " + volumeText(b.volume, doc) + (merged ? " (애프터마켓 포함)" : ""));
    if (b.session_tail) lines.push("세션 꼬리 봉: 실제 " + b.minutes + "분");
    if (b.state === "forming") lines.push("아직 끝나지 않은 봉 — 값이 바뀔 수 있습니다");
    if (b.state === "unknown") lines.push("이 봉이 끝났는지 확인하지 못했습니다");
    return lines.join("\n");
  }

  function draw(doc) {
    var bars = doc.bars;
    var digits = decimalsOf(doc);
    var intraday = isIntraday(doc);
    var width = Math.max(360, els.chart.clientWidth || 640);
    var m = { top: 22, right: 64, bottom: 26, left: 34 };
    var priceH = 230, gap = 18, volH = 70;
    var innerW = width - m.left - m.right;
    var height = m.top + priceH + gap + volH + m.bottom;

    var band = d3.scale.ordinal().domain(d3.range(bars.length)).rangeBands([0, innerW], 0.25, 0.1);
    // A few bars are not drawn as wide slabs: bodies at most 36 px, centred in their slot.
    var bw = Math.min(band.rangeBand(), 36);
    var x = function (i) { return band(i) + (band.rangeBand() - bw) / 2; };
    var lows = [], highs = [];
    bars.forEach(function (b) {
      ["low", "open", "close", "regular_close"].forEach(function (k) { if (isNum(b[k])) lows.push(b[k]); });
      ["high", "open", "close", "regular_close"].forEach(function (k) { if (isNum(b[k])) highs.push(b[k]); });
    });
    if (!lows.length || !highs.length) return false;
    var lo = d3.min(lows), hi = d3.max(highs);
    if (lo === hi) { lo = lo * 0.99; hi = hi * 1.01; }
    var pad = (hi - lo) * 0.08;
    var y = d3.scale.linear().domain([lo - pad, hi + pad]).range([priceH, 0]).nice(5);
    var maxVol = d3.max(bars, function (b) { return isNum(b.volume) ? b.volume : 0; }) || 1;
    var yv = d3.scale.linear().domain([0, maxVol]).range([volH, 0]).nice(3);

    var svg = d3.select(els.chart).append("svg")
      .attr("viewBox", "0 0 " + width + " " + height)
      .attr("height", height)
      .attr("role", "img")
      .attr("aria-label", (doc.symbol || "") + " " + timeframeLabel(doc) + " 캔들차트");
    var g = svg.append("g").attr("transform", "translate(" + m.left + "," + m.top + ")");
    var pricePanel = g.append("g").attr("class", "price-panel");
    var volPanel = g.append("g").attr("class", "volume-panel").attr("transform", "translate(0," + (priceH + gap) + ")");

    // Sessions behind the bars (intraday), then the grid.
    if (intraday) {
      var runs = sessionRuns(bars);
      var bands = pricePanel.append("g").attr("class", "sessions");
      runs.forEach(function (r) {
        var x0 = x(r.from) - bw * 0.15, x1 = x(r.to) + bw * 1.15;
        bands.append("rect")
          .attr("class", "session-band session-" + r.session)
          .attr("data-session", r.session)
          .attr("x", x0).attr("y", 0).attr("width", Math.max(1, x1 - x0)).attr("height", priceH)
          .append("title").text(r.day + " " + sessionLabel(r.session) + " (" + bars[r.from].t.slice(11) + "~" + bars[r.to].t.slice(11) + ")");
        if (x1 - x0 > 34)
          bands.append("text").attr("class", "session-label").attr("x", x0 + 3).attr("y", 11).text(sessionLabel(r.session));
      });
      var days = [];
      bars.forEach(function (b, i) { if (i > 0 && b.t.slice(0, 10) !== bars[i - 1].t.slice(0, 10)) days.push(i); });
      days.forEach(function (i) {
        var xs = x(i) - bw * 0.2;
        pricePanel.append("line").attr("class", "day-sep").attr("x1", xs).attr("x2", xs).attr("y1", 0).attr("y2", priceH);
      });
    }
    var grid = pricePanel.append("g").attr("class", "grid");
    y.ticks(5).forEach(function (t) { grid.append("line").attr("x1", 0).attr("x2", innerW).attr("y1", y(t)).attr("y2", y(t)); });

    // Axes: price and volume on the right, time below.
    var priceAxis = d3.svg.axis().scale(y).orient("right").ticks(5).tickFormat(function (v) { return fmtNum(v, digits); });
    pricePanel.append("g").attr("class", "axis price-axis").attr("transform", "translate(" + innerW + ",0)").call(priceAxis);
    var unit = doc.units && doc.units.price;
    pricePanel.append("text").attr("class", "axis-label price-unit").attr("x", innerW + m.right - 2).attr("y", -8)
      .attr("text-anchor", "end").text(unit ? "가격(" + unit + ")" : "가격(원천 통화)");
    var volAxis = d3.svg.axis().scale(yv).orient("right").ticks(3).tickFormat(shortVolume);
    volPanel.append("g").attr("class", "axis volume-axis").attr("transform", "translate(" + innerW + ",0)").call(volAxis);
    volPanel.append("text").attr("class", "axis-label volume-unit").attr("x", 0).attr("y", -5)
      .text("거래량(" + ((doc.units && doc.units.volume) || "주") + ")");
    var every = Math.max(1, Math.ceil(bars.length / Math.max(2, Math.floor(innerW / 70))));
    var tickIdx = d3.range(bars.length).filter(function (i) { return i % every === 0; });
    var timeAxis = d3.svg.axis().scale(band).orient("bottom").tickValues(tickIdx).tickFormat(function (i) {
      var t = bars[i].t;
      if (!intraday) return t.slice(2, 10);
      var newDay = i === 0 || t.slice(0, 10) !== bars[i - 1].t.slice(0, 10);
      return newDay ? t.slice(5, 10) + " " + t.slice(11) : t.slice(11);
    });
    volPanel.append("g").attr("class", "axis time-axis").attr("transform", "translate(0," + volH + ")").call(timeAxis);

    // One group per bar: wick, body, marks, tooltip.
    var candles = pricePanel.append("g").attr("class", "candles");
    bars.forEach(function (b, i) {
      var dir = isNum(b.open) && isNum(b.close) ? (b.close > b.open ? "up" : b.close < b.open ? "down" : "flat") : "flat";
      var cx = x(i) + bw / 2;
      var tip = tooltipText(b, doc, digits);
      var whole = isNum(b.open) && isNum(b.high) && isNum(b.low) && isNum(b.close);
      if (!whole) {
        // A bar without prices is marked as missing, never drawn at zero.
        candles.append("text").attr("class", "missing-mark").attr("x", cx).attr("y", priceH - 4)
          .attr("text-anchor", "middle").attr("data-t", b.t).text("결측").append("title").text(tip);
        return;
      }
      var cls = "candle " + dir + " state-" + b.state + (b.state !== "final" ? " " + b.state : "") +
                (b.session === "regular_and_after" ? " after" : "") + " session-" + b.session;
      var c = candles.append("g").attr("class", cls)
        .attr("data-index", i).attr("data-t", b.t).attr("data-state", b.state).attr("data-session", b.session);
      c.append("title").text(tip);
      c.append("line").attr("class", "wick").attr("x1", cx).attr("x2", cx).attr("y1", y(b.high)).attr("y2", y(b.low));
      var top = y(Math.max(b.open, b.close)), bottom = y(Math.min(b.open, b.close));
      c.append("rect").attr("class", "body").attr("x", x(i)).attr("width", bw)
        .attr("y", top).attr("height", Math.max(1, bottom - top));
      if (b.session === "regular_and_after")
        c.append("circle").attr("class", "after-mark").attr("cx", cx).attr("cy", y(b.close)).attr("r", Math.min(3.5, Math.max(2, bw / 3)));
      if (isNum(b.regular_close))
        c.append("line").attr("class", "regular-close").attr("x1", x(i) - 2).attr("x2", x(i) + bw + 2)
          .attr("y1", y(b.regular_close)).attr("y2", y(b.regular_close));
      if (b.state === "forming")
        c.append("text").attr("class", "forming-label").attr("x", cx).attr("y", Math.max(10, y(b.high) - 6))
          .attr("text-anchor", i > bars.length - 3 ? "end" : "middle").text("진행 중");
      else if (b.state === "unknown")
        c.append("text").attr("class", "unknown-label").attr("x", cx).attr("y", Math.max(10, y(b.high) - 6))
          .attr("text-anchor", i > bars.length - 3 ? "end" : "middle").text("마감 미확인");
      c.append("rect").attr("class", "hit").attr("x", x(i) - bw * 0.125).attr("width", bw * 1.25).attr("y", 0).attr("height", priceH)
        .on("mousemove", function () { showTip(tip, d3.event); })
        .on("mouseleave", hideTip);
    });

    var vols = volPanel.append("g").attr("class", "volumes");
    bars.forEach(function (b, i) {
      if (!isNum(b.volume)) {
        vols.append("text").attr("class", "missing-mark").attr("x", x(i) + bw / 2).attr("y", volH - 2)
          .attr("text-anchor", "middle").text("결측");
        return;
      }
      var dir = isNum(b.open) && isNum(b.close) ? (b.close > b.open ? "up" : b.close < b.open ? "down" : "flat") : "flat";
      vols.append("rect").attr("class", "vol " + dir + (b.state !== "final" ? " " + b.state : ""))
        .attr("data-t", b.t).attr("x", x(i)).attr("width", bw)
        .attr("y", yv(b.volume)).attr("height", Math.max(0, volH - yv(b.volume)))
        .append("title").text(b.t + " 거래량 " + volumeText(b.volume, doc));
    });

    drawLegend(doc, intraday);
    return true;
  }

  function legendItem(keyClass, text, id) {
    var s = el("span", "legend-item");
    if (id) s.id = id;
    s.appendChild(el("span", "key " + keyClass));
    s.appendChild(document.createTextNode(text));
    els.legend.appendChild(s);
  }

  function drawLegend(doc, intraday) {
    var bars = doc.bars;
    var has = function (f) { return bars.some(f); };
    if (has(function (b) { return b.state === "forming"; })) legendItem("forming", "점선·속 빈 봉 = 진행 중(아직 끝나지 않은 봉)", "legend-forming");
    if (has(function (b) { return b.state === "unknown"; })) legendItem("forming", "점선 봉 = 마감 여부 미확인", "legend-unknown");
    if (has(function (b) { return b.session === "regular_and_after"; }))
      legendItem("after", "종가에 애프터마켓(16:00~20:00) 체결 포함 — 정규장 종가(15:30) 아님", "after-note");
    if (has(function (b) { return isNum(b.regular_close); })) legendItem("regular-close", "정규장 종가(15:30)", "legend-regular-close");
    if (intraday) {
      var seen = {};
      bars.forEach(function (b) {
        if (seen[b.session]) return;
        seen[b.session] = true;
        legendItem("band-" + b.session, sessionLabel(b.session));
      });
    }
  }

  function showTip(text, ev) {
    els.tip.textContent = text;
    els.tip.hidden = false;
    var w = els.tip.offsetWidth, h = els.tip.offsetHeight;
    var left = Math.min(window.innerWidth - w - 4, (ev ? ev.clientX : 0) + 12);
    var top = Math.max(4, (ev ? ev.clientY : 0) - h - 10);
    els.tip.style.left = Math.max(4, left) + "px";
    els.tip.style.top = top + "px";
  }
  function hideTip() { els.tip.hidden = true; }

  // ---- start ---------------------------------------------------------------
  if (!window.matchMedia || !window.matchMedia("(prefers-color-scheme: dark)").matches)
    document.documentElement.setAttribute("data-theme", "light");
  else document.documentElement.setAttribute("data-theme", "dark");

  request("ui/initialize", {
    appInfo: { name: "tessaro-chart", version: "1.0.0" },
    appCapabilities: { availableDisplayModes: ["inline"] },
    protocolVersion: PROTOCOL_VERSION
  }).then(function (res) {
    res = res || {};
    state.canCall = !!(res.hostCapabilities && res.hostCapabilities.serverTools);
    applyContext(res.hostContext || {});
    if (state.doc) setFrames(state.doc);
    notify("ui/notifications/initialized", {});
    reportSize();
  }, function (err) {
    showStatus("failed", "호스트와 연결하지 못했습니다", (err && err.message) || String(err));
  });
  // Redrawn when the frame's width changes (its height follows the drawing).
  var drawnWidth = els.chart.clientWidth;
  window.addEventListener("resize", function () {
    var w = els.chart.clientWidth;
    if (w === drawnWidth) return;
    drawnWidth = w;
    if (!state.doc || state.doc.outcome !== "ok" || !state.result) return;
    state.redrawing = true;
    try { render(state.result); } finally { state.redrawing = false; }
  });
})();
