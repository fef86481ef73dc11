// Shared pieces of the end-to-end tests: a loopback fixture server and an MCP
// client (the official TypeScript SDK) driving the real binary over stdio or HTTP.
import http from "node:http";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";
import { spawn, spawnSync } from "node:child_process";
import { after } from "node:test";

// The MCP SDK client is installed beside its manifest in scripts/e2e-client.
const clientDeps = createRequire(new URL("../../scripts/e2e-client/package.json", import.meta.url));
const { Client } = await import(clientDeps.resolve("@modelcontextprotocol/sdk/client/index.js"));
const { StdioClientTransport } = await import(clientDeps.resolve("@modelcontextprotocol/sdk/client/stdio.js"));
const { StreamableHTTPClientTransport } = await import(clientDeps.resolve("@modelcontextprotocol/sdk/client/streamableHttp.js"));
// The SDK's second generation (modern era: 2026-07-28) and the MCP Inspector's CLI.
const v2 = await import(clientDeps.resolve("@modelcontextprotocol/client"));
const v2stdio = await import(clientDeps.resolve("@modelcontextprotocol/client/stdio"));
export const INSPECTOR_CLI = clientDeps.resolve("@modelcontextprotocol/inspector/clients/cli/build/index.js");

export const BINARY = process.env.TESSARO_BINARY ?? path.resolve("../../build/tessaro-mcp");
export const FIXTURES = process.env.TESSARO_FIXTURE_DIR ?? path.resolve("../fixtures");
export const SHARED_SAMPLES = path.resolve(FIXTURES, "../../../shared/reference/samples");

// No test reaches the internet. Every binary a test starts gets, under the test's
// own environment, each source's base URL at a closed loopback port (a test that
// forgets its fixture server gets a refused connection) and TESSARO_TEST_LOOPBACK_ONLY,
// with which the binary refuses any address beyond loopback and names it on stderr.
// ctest hands the same values to this process (CMakeLists.txt), and they win; the
// list below is for `node --test` run by hand (offline.test.mjs keeps it complete).
const CLOSED_URL = "http://127.0.0.1:1";
export const SOURCE_GROUPS = ["NAVER", "YAHOO", "SEC", "KIS", "KIWOOM", "TOSS"];
export const OFFLINE_ENV = {
  ...Object.fromEntries(SOURCE_GROUPS.map((g) => [`TESSARO_${g}_BASE_URL`, CLOSED_URL])),
  TESSARO_TEST_LOOPBACK_ONLY: "1",
  ...Object.fromEntries(Object.entries(process.env).filter(([k]) => /^TESSARO_(TEST_LOOPBACK_ONLY|[A-Z]+_BASE_URL)$/.test(k))),
};

// The environment of a binary a test starts: PATH, the offline defaults, then `env`.
export function binaryEnv(env = {}) {
  return { PATH: process.env.PATH, ...OFFLINE_ENV, ...env };
}

// What the binaries of this file refused to send beyond loopback (their stderr
// says so). Any left at the end fails the file, naming them; a test that provokes
// a refusal on purpose takes them.
const REFUSED = "tessaro: test run: request to a non-loopback address refused: ";
let refused = [];
function watchStderr() {   // a reader of one stderr stream, line by line
  let rest = "";
  return (chunk) => {
    const lines = (rest + chunk).split("\n");
    rest = lines.pop();
    for (const l of lines) if (l.startsWith(REFUSED)) refused.push(l.slice(REFUSED.length));
  };
}
export function takeRefused() {
  const out = refused;
  refused = [];
  return out;
}
after(() => {
  if (refused.length) throw new Error(`requests to a non-loopback address in this file:\n  ${refused.join("\n  ")}`);
});

// The binary started by a test: spawn/spawnSync with binaryEnv(options.env).
export function spawnBinary(args = [], options = {}) {
  const child = spawn(BINARY, args, { ...options, env: binaryEnv(options.env) });
  child.stderr?.on("data", watchStderr());
  return child;
}
export function spawnBinarySync(args = [], options = {}) {
  const r = spawnSync(BINARY, args, { ...options, env: binaryEnv(options.env) });
  watchStderr()(`${r.stderr ?? ""}\n`);
  return r;
}

export function readFixture(rel) {
  return fs.readFileSync(path.join(FIXTURES, rel));
}

// A shared sample read in place, or null when ../shared is absent.
export function readSharedSample(rel) {
  const p = path.join(SHARED_SAMPLES, rel);
  return fs.existsSync(p) ? fs.readFileSync(p) : null;
}

// routes: { "/host/path": { status, body, contentType, delayMs, drop, failTimes, failStatus } | (req, url) => route }
// Paths are matched without the query string. Unknown paths answer 404.
export async function startFixtureServer(routes = {}) {
  const hits = {};
  const sockets = new Set();
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, "http://127.0.0.1");
    hits[url.pathname] = (hits[url.pathname] ?? 0) + 1;
    let route = routes[url.pathname] ?? routes["*"];
    if (typeof route === "function") route = route(req, url);
    if (!route) {
      res.writeHead(404, { "content-type": "text/plain" });
      res.end("not found");
      return;
    }
    if (route.drop) return; // never answer: the client times out
    const answer = () => {
      if (route.failTimes > 0) {
        route.failTimes -= 1;
        res.writeHead(route.failStatus ?? 500, { "content-type": "application/json" });
        res.end('{"error":"injected"}');
        return;
      }
      res.writeHead(route.status ?? 200, { "content-type": route.contentType ?? "application/json; charset=utf-8", ...(route.headers ?? {}) });
      res.end(route.body ?? "");
    };
    if (route.delayMs) setTimeout(answer, route.delayMs);
    else answer();
  });
  server.on("connection", (s) => {
    sockets.add(s);
    s.on("close", () => sockets.delete(s));
  });
  await new Promise((r) => server.listen(0, "127.0.0.1", r));
  const { port } = server.address();
  return {
    url: `http://127.0.0.1:${port}`,
    hits,
    routes,
    close: async () => {
      for (const s of sockets) s.destroy();
      await new Promise((r) => server.close(r));
    },
  };
}

// Starts the binary with its own temporary home and the given environment.
export async function connect(env = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-e2e-"));
  const transport = new StdioClientTransport({
    command: BINARY,
    args: [],
    env: binaryEnv({ HOME: home, TESSARO_HOME: home, TZ: "Asia/Seoul", TESSARO_HTTP_TIMEOUT_S: "2", ...env }),
    stderr: "pipe",
  });
  transport.stderr?.on("data", watchStderr());
  const client = new Client({ name: "tessaro-e2e", version: "1.0.0" });
  await client.connect(transport);
  return {
    client,
    home,
    close: async () => {
      await client.close();
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// `tessaro-mcp serve --http` on a free loopback port with its own temporary home.
// Resolves once the server names its URL on stderr.
export async function startHttpServer(env = {}, args = []) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-e2e-http-"));
  const proc = spawnBinary(["serve", "--http", "--port", "0", ...args], {
    env: { HOME: home, TESSARO_HOME: home, TZ: "Asia/Seoul", TESSARO_HTTP_TIMEOUT_S: "2", ...env },
    stdio: ["ignore", "pipe", "pipe"],
  });
  let stderr = "";
  let stdout = "";
  proc.stdout.on("data", (d) => (stdout += d));
  const url = await new Promise((resolve, reject) => {
    proc.stderr.on("data", (d) => {
      stderr += d;
      const m = /http:\/\/127\.0\.0\.1:\d+\/mcp/.exec(stderr);
      if (m) resolve(m[0]);
    });
    proc.on("exit", (code) => reject(new Error(`server ended (${code}): ${stderr}`)));
  });
  return {
    url,
    stderr: () => stderr,
    stdout: () => stdout,
    stop: async () => {
      if (proc.exitCode === null) {
        const ended = new Promise((r) => proc.on("exit", r));
        proc.kill("SIGTERM");
        await ended;
      }
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// An SDK v2 client, version negotiation `mode` ({ pin: "2026-07-28" } or "auto"),
// over stdio (the binary with its own home and `env`) or over HTTP when `url` is given.
export async function connectV2({ mode, env = {}, url } = {}) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), "tessaro-e2e-v2-"));
  const transport = url
    ? new v2.StreamableHTTPClientTransport(new URL(url))
    : new v2stdio.StdioClientTransport({
        command: BINARY,
        args: [],
        env: { PATH: process.env.PATH, HOME: home, TESSARO_HOME: home, TZ: "Asia/Seoul", TESSARO_HTTP_TIMEOUT_S: "2", ...env },
        stderr: "pipe",
      });
  const client = new v2.Client({ name: "tessaro-e2e-v2", version: "1.0.0" }, { versionNegotiation: { mode } });
  await client.connect(transport);
  return {
    client,
    home,
    close: async () => {
      await client.close();
      fs.rmSync(home, { recursive: true, force: true });
    },
  };
}

// An SDK client over Streamable HTTP; `headers` go on every request.
export async function connectHttp(url, headers = {}) {
  const transport = new StreamableHTTPClientTransport(new URL(url), { requestInit: { headers } });
  const client = new Client({ name: "tessaro-e2e-http", version: "1.0.0" });
  await client.connect(transport);
  return { client, transport, close: async () => client.close() };
}

export function textOf(result) {
  return (result.content ?? []).filter((c) => c.type === "text").map((c) => c.text).join("\n");
}

// The meta object of a text reply, or null.
export function metaOf(text) {
  const m = /RESULT_META_JSON_START\n([\s\S]*?)\nRESULT_META_JSON_END/.exec(text);
  return m ? JSON.parse(m[1]) : null;
}

// `n` KOSPI stocks by market value, and weekday bars ending on 2026-12-04.
function capPage(url, n) {
  const page = Number(url.searchParams.get("page") ?? 1);
  const rows = page > 1 ? [] : Array.from({ length: n }, (_, i) => ({
    itemCode: String(300001 + i), stockName: `종목${i}`, stockEndType: "stock", closePrice: "10,000",
    marketValue: String(900000 - i), tradeStopType: { name: "TRADING" },
  }));
  return { body: JSON.stringify({ stocks: rows, totalCount: n, page, pageSize: 100 }) };
}

function barsXml(code, count) {
  const days = [];
  const d = new Date(Date.UTC(2026, 11, 4));
  while (days.length < count) {
    if (d.getUTCDay() !== 0 && d.getUTCDay() !== 6) days.unshift(d.toISOString().slice(0, 10).replaceAll("-", ""));
    d.setUTCDate(d.getUTCDate() - 1);
  }
  const items = days.map((ymd, i) => `<item data="${ymd}|${10000 + i}|${10050 + i}|${9950 + i}|${10000 + i}|100000" />`);
  return `<?xml version="1.0" encoding="EUC-KR" ?>\n<protocol>\n<chartdata symbol="${code}" name="x" count="${count}" timeframe="day" precision="0">\n` +
    items.join("\n") + "\n</chartdata>\n</protocol>\n";
}

// A loopback market of `n` stocks whose daily bars answer after `delayMs`; every
// chart request is logged with the time it arrived.
export async function slowMarket(n, delayMs) {
  const starts = [];
  const srv = await startFixtureServer({
    "/m.stock.naver.com/api/stocks/marketValue/KOSPI": (req, url) => capPage(url, n),
    "/fchart.stock.naver.com/sise.nhn": (req, url) => {
      starts.push(Date.now());
      return {
        delayMs,
        body: barsXml(url.searchParams.get("symbol"), Number(url.searchParams.get("count") ?? 120)),
        contentType: "text/xml; charset=EUC-KR",
      };
    },
  });
  return { srv, starts };
}

// A chart screen over that market.
export const SCREEN = { market: "KOSPI", universe_top: 50, exclude: "없음", market_cap_min: 0, above_ma: 5 };
