// The test's MCP Apps host: renders the view's HTML in a sandboxed frame and talks
// to it through the official host bridge of @modelcontextprotocol/ext-apps. Bundled
// into the host page by the test (esbuild), so the page itself loads nothing.
// Tool calls the view makes go to window.hostCallTool, which the test binds to
// the real binary.
import { AppBridge, PostMessageTransport } from "@modelcontextprotocol/ext-apps/app-bridge";

let bridge = null;
let context = null;

async function mount({ html, toolName, args, result, theme }) {
  const iframe = document.createElement("iframe");
  iframe.setAttribute("sandbox", "allow-scripts");
  iframe.setAttribute("title", "tessaro chart view");
  iframe.width = "820";
  iframe.height = "560";
  iframe.srcdoc = html;
  document.body.appendChild(iframe);
  context = {
    theme,
    displayMode: "inline",
    availableDisplayModes: ["inline"],
    locale: "ko-KR",
    timeZone: "Asia/Seoul",
    platform: "web",
    containerDimensions: { width: 820, maxHeight: 900 },
    toolInfo: { tool: { name: toolName, inputSchema: { type: "object" } } },
  };
  bridge = new AppBridge(null, { name: "tessaro-test-host", version: "1.0.0" }, { serverTools: {}, logging: {} },
    { hostContext: context });
  bridge.oncalltool = async (params) => window.hostCallTool(params);
  bridge.onsizechange = ({ height }) => {
    if (height) iframe.height = String(Math.min(900, height + 4));
  };
  const initialized = new Promise((resolve) => (bridge.oninitialized = resolve));
  await bridge.connect(new PostMessageTransport(iframe.contentWindow, iframe.contentWindow));
  await initialized;
  await bridge.sendToolInput({ arguments: args });
  await bridge.sendToolResult(result);
}

async function setTheme(theme) {
  context = { ...context, theme };
  await bridge.sendHostContextChange({ theme });
}

window.tessaroHost = { mount, setTheme };
