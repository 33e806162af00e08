// What the browser tests share: their arguments, Debian's Chromium through
// playwright-core (which never downloads a browser), Korvanth as a child
// process serving on a free port, checks that print what they saw, and the
// exit codes: 0 passed, 1 failed, 77 skipped (node_modules or Chromium
// missing), unless TARVEX_BROWSER_TEST_REQUIRED=1 makes a missing piece fail.
import { spawn } from "node:child_process";
import { existsSync } from "node:fs";
import { setTimeout as sleep } from "node:timers/promises";

export const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
const required = process.env.TARVEX_BROWSER_TEST_REQUIRED === "1";

export function skip(reason) {
  console.log((required ? "FAIL (required): " : "SKIP: ") + reason);
  process.exit(required ? 1 : 77);
}
export function check(condition, message) {
  if (!condition) throw new Error(message);
  console.log("ok: " + message);
}

export async function launchBrowser() {
  let chromium;
  try {
    ({ chromium } = await import("playwright-core"));
  } catch {
    skip("playwright-core is not installed in test/browser/node_modules (bash scripts/setup.sh installs it)");
  }
  if (!existsSync(chromiumPath)) skip(`no Chromium at ${chromiumPath} (bash scripts/setup.sh installs Debian's chromium)`);
  return chromium.launch({
    executablePath: chromiumPath,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
}

// A program run to its end; rejects with its output when it fails.
export function run(program, programArgs) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, programArgs, { stdio: ["ignore", "pipe", "pipe"] });
    let output = "";
    child.stdout.on("data", (d) => { output += d; });
    child.stderr.on("data", (d) => { output += d; });
    child.on("exit", (code) => (code === 0 ? resolve(output) : reject(new Error(`${program} ended with ${code}:\n${output}`))));
  });
}

// Korvanth with `korvanthArgs`, serving on a free port: resolves once it said where.
export async function startKorvanth(korvanthArgs) {
  const child = spawn(args.korvanth, ["--plugin", args.plugin, "--serve", "127.0.0.1:0", ...korvanthArgs],
    { stdio: ["ignore", "pipe", "pipe"] });
  const korvanth = { child, output: "", url: null };
  child.stdout.on("data", (d) => { korvanth.output += d; });
  child.stderr.on("data", (d) => { korvanth.output += d; });
  korvanth.exited = new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
  for (let waited = 0; !korvanth.url; waited += 50) {
    if (waited > 30000) throw new Error("Korvanth did not say where the live view is:\n" + korvanth.output);
    korvanth.url = (korvanth.output.match(/Live view: (http:\/\/\S+)/) || [])[1];
    await sleep(50);
  }
  return korvanth;
}

// Ctrl-C ends the lingering live view, and Korvanth must exit cleanly; then
// the test's exit code.
export async function finish(browser, korvanth, failed) {
  if (browser) await browser.close();
  if (korvanth) {
    korvanth.child.kill("SIGINT");
    const { code, signal } = await Promise.race([korvanth.exited,
      sleep(20000).then(() => ({ code: null, signal: "timeout" }))]);
    if (code !== 0) {
      failed = true;
      console.log(`FAIL: Korvanth ended with code ${code} (${signal}) after Ctrl-C\n` + korvanth.output);
      if (signal === "timeout") korvanth.child.kill("SIGKILL");
    } else {
      console.log("ok: Korvanth ends on Ctrl-C with exit code 0");
    }
  }
  process.exit(failed ? 1 : 0);
}

// Errors on the page and its console, collected.
export function watchForErrors(page) {
  const errors = [];
  page.on("pageerror", (e) => errors.push(String(e)));
  page.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
  return errors;
}
