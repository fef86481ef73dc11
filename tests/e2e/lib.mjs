// Shared pieces of the end-to-end tests: a loopback fixture server and an MCP
// client (the official TypeScript SDK) driving the real binary over stdio.
import http from "node:http";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";

// The MCP SDK client is installed beside its manifest in scripts/e2e-client.
const clientDeps = createRequire(new URL("../../scripts/e2e-client/package.json", import.meta.url));
const { Client } = await import(clientDeps.resolve("@modelcontextprotocol/sdk/client/index.js"));
const { StdioClientTransport } = await import(clientDeps.resolve("@modelcontextprotocol/sdk/client/stdio.js"));

export const BINARY = process.env.TESSARO_BINARY ?? path.resolve("../../build/tessaro-mcp");
export const FIXTURES = process.env.TESSARO_FIXTURE_DIR ?? path.resolve("../fixtures");
export const SHARED_SAMPLES = path.resolve(FIXTURES, "../../../shared/reference/samples");

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
    env: { PATH: process.env.PATH, HOME: home, TESSARO_HOME: home, TZ: "Asia/Seoul", TESSARO_HTTP_TIMEOUT_S: "2", ...env },
    stderr: "pipe",
  });
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

export function textOf(result) {
  return (result.content ?? []).filter((c) => c.type === "text").map((c) => c.text).join("\n");
}

// The meta object of a text reply, or null.
export function metaOf(text) {
  const m = /RESULT_META_JSON_START\n([\s\S]*?)\nRESULT_META_JSON_END/.exec(text);
  return m ? JSON.parse(m[1]) : null;
}
