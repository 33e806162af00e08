// A whole session in a real browser: korvanth-scanner plays two functional
// runs of different grids with a single-volume series between them, and
// Korvanth --session serves them. Checks that the session strip fills in run
// by run, that a reload in the middle of the second run shows the whole
// session and that run's volumes so far, that a finished run's report opens
// through the page's link, and saves a screenshot after the three series.
// Before the first run the page already counts against the server's FD
// thresholds, given unsorted on the command line.
//
//   node session_browser_test.mjs --korvanth <Korvanth> --scanner <korvanth-scanner> --plugin <library>
//        --out <folder> --screenshot <png>
import { mkdirSync, rmSync } from "node:fs";
import { dirname, join } from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { args, check, finish, launchBrowser, run, startKorvanth, watchForErrors } from "./harness.mjs";

rmSync(args.out, { recursive: true, force: true });
mkdirSync(join(args.out, "in"), { recursive: true });
mkdirSync(dirname(args.screenshot), { recursive: true });
const browser = await launchBrowser();
let korvanth;
let failed = false;
try {
  // The two runs' series, made by Korvanth's synthetic run.
  for (const [name, dims] of [["a", ["24", "24", "12"]], ["b", ["20", "22", "10"]]])
    await run(args.korvanth, ["--plugin", args.plugin, "--volumes", "40", "--dims", ...dims, "--out", join(args.out, name)]);
  korvanth = await startKorvanth(["--watch", join(args.out, "in"), "--session", "--session-idle", "4",
    "--idle-timeout", "3", "--out", join(args.out, "session"), "--linger", "120", "--fd-thresholds", "0.6", "0.2"]);
  const page = await browser.newPage({ viewport: { width: 1440, height: 1000 } });
  // A montage asked for while a new run has none yet is answered 503 and asked for again.
  const pageErrors = watchForErrors(page);
  await page.goto(korvanth.url);
  const waitFor = (fn, arg, timeout = 60000) => page.waitForFunction(fn, arg, { timeout, polling: 50 });
  await waitFor(() => document.querySelectorAll("#threshold-rows tr").length === 2, null, 3000);
  const waiting = await page.evaluate(() =>
    [...document.querySelectorAll("#threshold-rows tr")].map((r) => r.dataset.threshold).join());
  check(waiting === "0.2,0.6", `before the first run the page counts against the thresholds, the lower first (${waiting})`);
  const scanner = run(args.scanner, ["--from", join(args.out, "a", "bold.nii.gz"), "--from",
    join(args.out, "a", "bold.nii.gz"), "--from", join(args.out, "b", "bold.nii.gz"), "--volumes", "0", "1", "0",
    "--series", "5", "--tr", "0.15", "--pause", "1.5", "--to", join(args.out, "in")]);

  const strip = () => page.evaluate(() => [...document.querySelectorAll("#session-rows tr")].map((r) => r.dataset.state));
  await waitFor(() => (window.korvanthLive.session || { series: [] }).series.length === 1);
  check((await strip()).join() === "running", "the strip shows the first run as it runs");
  await waitFor(() => window.korvanthLive.session.series.length === 3 && window.korvanthLive.volumes.length >= 10);
  check((await strip()).join() === "complete,skipped,running",
        "the strip fills in run by run: the first complete, the single volume skipped, the second running");

  // A reload in the middle of the second run: the whole session, and that run's volumes so far.
  await page.reload();
  await waitFor(() => window.korvanthLive.session && window.korvanthLive.session.series.length === 3 &&
                      window.korvanthLive.volumes.length >= 10);
  const reloaded = await page.evaluate(() => ({
    strip: [...document.querySelectorAll("#session-rows tr")].map((r) => r.dataset.state).join(),
    dims: window.korvanthLive.run.dims.join("x"),
    indices: window.korvanthLive.volumes.every((v, i) => v.index === i),
  }));
  check(reloaded.strip.startsWith("complete,skipped,") && reloaded.dims === "20x22x10" && reloaded.indices,
        `after a reload the page shows the whole session (${reloaded.strip}) and the second run's volumes in order`);

  await scanner;
  await waitFor(() => window.korvanthLive.session.series.every((s) => s.state !== "running") && window.korvanthLive.end);
  await waitFor(() => [...document.querySelectorAll("#maps img")].every((i) => i.complete && i.naturalWidth > 0));
  const end = await page.evaluate(() => ({
    strip: [...document.querySelectorAll("#session-rows tr")].map((r) => r.dataset.state).join(),
    totals: document.getElementById("session-totals").textContent,
    links: [...document.querySelectorAll("#session-rows a")].map((a) => a.getAttribute("href")),
  }));
  check(end.strip === "complete,skipped,complete", "at the end the strip reads complete, skipped, complete");
  // NIfTI runs: the timeline card says there is none; the volumes read
  // ahead (3) are drawn apart from the host's latency and counted apart.
  const arrivals = await page.evaluate(() => ({
    note: document.getElementById("timeline-note").textContent,
    ahead: window.korvanthLive.volumes.filter((v) => v.read_ahead).length,
    counted: window.korvanthLive.end.read_ahead_volumes,
  }));
  check(arrivals.note.includes("no acquisition times") && arrivals.ahead === 3 && arrivals.counted === 3,
        `the timeline is said to be none and the 3 volumes read ahead are apart (${JSON.stringify(arrivals)})`);
  check(/FD \u2264 0\.2 mm: \d+:\d\d of 5:00/.test(end.totals), `the session's low-motion time is added up (${end.totals})`);
  check(end.links.includes("runs/005/report.html") && end.links.includes("runs/007/timing.csv"),
        "each finished run links its report and timings");
  await page.screenshot({ path: args.screenshot, fullPage: true });
  console.log("screenshot: " + args.screenshot);

  // The first run's report, opened through the page's link as the console's browser would.
  const [report] = await Promise.all([page.context().waitForEvent("page"),
    page.click('#session-rows a[href="runs/005/report.html"]')]);
  await report.waitForLoadState();
  const heading = await report.evaluate(() => document.body.innerText);
  check(heading.includes("Framewise displacement") && (await report.evaluate(() =>
    [...document.images].every((i) => i.complete && i.naturalWidth > 0))),
    "the first run's report opens through the link, its pictures served with it");
  // The session ends after --session-idle; the view then lingers until Ctrl-C.
  for (let waited = 0; !korvanth.output.includes("Live view stays at"); waited += 100) {
    if (waited > 30000) throw new Error("the session did not end after --session-idle");
    await sleep(100);
  }
  const errors = pageErrors.filter((e) => !e.includes("status of 503"));
  check(errors.length === 0, "no script or console errors on the page" + (errors.length ? ": " + errors.join("; ") : ""));
} catch (e) {
  failed = true;
  console.log("FAIL: " + (e && e.message ? e.message : e));
  if (korvanth) console.log("Korvanth's output:\n" + korvanth.output);
}
await finish(browser, korvanth, failed);
