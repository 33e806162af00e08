// The live view in a real browser: Debian's Chromium, headless, driven by
// playwright-core (which never downloads a browser). Runs a paced synthetic
// replay at a short TR and checks, while it runs, that the volume counter, the
// FD plot and the map images change, that a reload resumes with every volume
// so far, and at the end that the page shows the summary; saves a screenshot.
//
//   node live_view_browser_test.mjs --korvanth <Korvanth> --plugin <library> --out <folder> --screenshot <png>
//
// Exit code 0: passed; 1: failed; 77: skipped (node_modules or Chromium
// missing), unless TARVEX_BROWSER_TEST_REQUIRED=1, when a missing piece fails.
import { mkdirSync, readFileSync, rmSync } from "node:fs";
import { dirname } from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { args, check, finish, launchBrowser, startKorvanth, watchForErrors } from "./harness.mjs";

const volumes = 80;  // 16 s at the TR: the checks while it runs have time to spare
const tr = 0.2;

// Korvanth, paced, serving on a free port; it prints the address it got.
rmSync(args.out, { recursive: true, force: true });
mkdirSync(dirname(args.screenshot), { recursive: true });
const browser = await launchBrowser();
let korvanth;
let failed = false;
try {
  korvanth = await startKorvanth(["--out", args.out, "--realtime", "--tr", String(tr), "--volumes", String(volumes),
    "--dims", "32", "32", "16", "--linger", "120"]);
  const url = korvanth.url;
  const page = await browser.newPage({ viewport: { width: 1440, height: 1000 } });
  const pageErrors = watchForErrors(page);
  await page.goto(url);

  // What the page shows now: counter, FD plot pixels, map images and their pixels.
  const look = () => page.evaluate(async () => {
    const map = document.getElementById("map-0");
    let mapPixels = "";
    if (map) await map.decode().catch(() => {});  // the image on show, once it is decoded
    if (map && map.complete && map.naturalWidth > 0) {
      const c = document.createElement("canvas");
      c.width = map.naturalWidth;
      c.height = map.naturalHeight;
      c.getContext("2d").drawImage(map, 0, 0);
      mapPixels = c.toDataURL();
    }
    return {
      counter: document.getElementById("volume").textContent,
      state: document.getElementById("state").dataset.state,
      fd: document.getElementById("plot-fd").toDataURL(),
      fdPoints: Number(document.getElementById("plot-fd").dataset.points),
      mapSrc: map ? map.src : "",
      mapPixels,
      volumes: window.korvanthLive.volumes.length,
    };
  });
  const waitFor = (fn, arg, timeout = 30000) => page.waitForFunction(fn, arg, { timeout, polling: 50 });

  // From volume 12 on: before the plug-in has more volumes than predictors its t-maps do not change.
  await waitFor(() => window.korvanthLive.volumes.length >= 12 && window.korvanthLive.mapsVolume >= 10);
  const first = await look();
  await waitFor((n) => window.korvanthLive.volumes.length >= n + 8 && window.korvanthLive.mapsVolume >= n + 4,
                first.volumes);
  const second = await look();
  check(first.state === "running" && second.state === "running", "the page says running while the run goes on");
  check(Number(second.counter) > Number(first.counter), `the volume counter moves (${first.counter} -> ${second.counter})`);
  check(second.fdPoints > first.fdPoints && second.fd !== first.fd,
        `the FD plot grows (${first.fdPoints} -> ${second.fdPoints} points) and its pixels change`);
  check(first.mapPixels && second.mapPixels && second.mapSrc !== first.mapSrc && second.mapPixels !== first.mapPixels,
        `the map images are fetched anew and show other maps (${first.mapSrc} -> ${second.mapSrc}, ` +
        `${first.mapPixels.length} and ${second.mapPixels.length} bytes of pixels)`);

  // A reload in the middle resumes with every volume so far, the same as the server's.
  const before = second.volumes;
  await page.reload();
  const state = await page.evaluate(() => fetch("api/state").then((r) => r.json()));
  check(state.state === "running", `the run still goes on at the reload (${state.volumes.length} volumes)`);
  await waitFor((n) => window.korvanthLive.volumes.length >= n, Math.max(before, state.volumes.length));
  const resumed = await page.evaluate(() => window.korvanthLive.volumes);
  check(resumed.every((v, i) => v.index === i), "after the reload the page holds volumes 0, 1, 2, ... without a gap");
  check(JSON.stringify(resumed.slice(0, state.volumes.length)) === JSON.stringify(state.volumes),
        `after the reload the page's first ${state.volumes.length} volumes are the server's, value for value`);

  // The end: the summary, the report's place, every volume; then the final maps.
  await waitFor(() => window.korvanthLive.end !== null, null, 60000);
  await waitFor(() => window.korvanthLive.mapsKey.endsWith("-end") && window.korvanthLive.mapsVolume >= 0 &&
                      [...document.querySelectorAll("#maps img")].every((i) => i.complete && i.naturalWidth > 0));
  const end = await page.evaluate(() => ({
    state: document.getElementById("state").dataset.state,
    summaryShown: !document.getElementById("summary").hidden,
    summary: document.getElementById("summary").innerText,
    report: (document.getElementById("report-link") || {}).textContent || "",
    counter: document.getElementById("volume").textContent,
    total: document.getElementById("volume-total").textContent,
    volumes: window.korvanthLive.volumes.length,
  }));
  check(end.state === "finished", "the page says finished");
  check(end.summaryShown && end.summary.includes("Run finished") && end.summary.includes("Mean FD"),
        "the final summary is shown");
  check(new RegExp(`Volumes\\s+${volumes}\\b`).test(end.summary), `the summary counts ${volumes} volumes`);
  check(end.counter === String(volumes) && end.total === String(volumes) && end.volumes === volumes,
        `the counter reads ${volumes} of ${volumes}`);
  check(end.report.endsWith("report.html"), "the summary names report.html");
  // The page shows the server's figures, and they are the report's (committed before the view lingers).
  for (let waited = 0; !korvanth.output.includes("Live view stays at"); waited += 50) {
    if (waited > 30000) throw new Error("Korvanth did not commit its results:\n" + korvanth.output);
    await sleep(50);
  }
  const report = readFileSync(end.report, "utf8");
  const reported = (id) => (report.match(new RegExp(`id="${id}">([^<]*)<`)) || [])[1];
  const shown = (label) => (end.summary.match(new RegExp(label + "\\s+([0-9.]+)")) || [])[1];
  for (const [label, id] of [["Mean FD", "mean-fd"], ["Frames with FD > 0.2 mm", "fd-above-0.2"],
                             ["Frames with FD > 0.5 mm", "fd-above-0.5"]])
    check(shown(label) !== undefined && shown(label) === reported(id),
          `the page's ${label} (${shown(label)}) is the report's (${reported(id)})`);
  await sleep(300);  // lets the last frame settle
  await page.screenshot({ path: args.screenshot, fullPage: true });
  console.log("screenshot: " + args.screenshot);
  check(pageErrors.length === 0, "no script or console errors on the page" + (pageErrors.length ? ": " + pageErrors.join("; ") : ""));
} catch (e) {
  failed = true;
  console.log("FAIL: " + (e && e.message ? e.message : e));
  if (korvanth) console.log("Korvanth's output:\n" + korvanth.output);
}
await finish(browser, korvanth, failed);
