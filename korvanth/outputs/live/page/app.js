// The live view's page: follows /events and draws the run as it goes. Plain
// JavaScript and canvas; nothing is fetched from anywhere but this server.
"use strict";

// Everything the page knows, also for scripts and tests (window.korvanthLive).
const live = {
  // What the server served the page with: fd_thresholds_mm (the lower first), target_minutes, map_count.
  settings: JSON.parse(document.getElementById("settings").textContent),
  run: null,        // the run event: title, dims, tr_s, expected_volumes, fd_thresholds_mm, target_minutes
  volumes: [],      // volume events, by index
  log: [],
  end: null,
  session: null,    // following a session: session.json as the server keeps it
  connected: false,
  lastVolumeSeenAt: 0,  // performance.now() when the newest volume event arrived live
  mapsKey: "",          // the volume (and "-end") the map images were last asked for
  mapsVolume: -1,       // the volume the map images on show are from
};
window.korvanthLive = live;

const colours = {
  axes: ["#c2413b", "#3f8f55", "#3867a8"],
  fd: "#3d3f8f",
  thresholds: ["#d49a00", "#c2413b"],
  dvars: "#2a7f86",
  global: "#5b6b8c",
  latency: "#3867a8",
  readAhead: "#a8b0bc",
  step: "#2a7f86",
  lag: "#8c564b",
  tr: "#c2413b",
  grid: "#e9ecf0",
  axis: "#9aa3af",
  text: "#4a5565",
};
const $ = (id) => document.getElementById(id);

// ---- numbers and times

function clock(seconds) {
  if (!isFinite(seconds)) return "\u2013";
  const s = Math.max(0, Math.round(seconds));
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = s % 60;
  const mm = h > 0 ? String(m).padStart(2, "0") : String(m);
  return (h > 0 ? h + ":" : "") + mm + ":" + String(r).padStart(2, "0");
}
function fixed(value, decimals) {
  return value === null || value === undefined || !isFinite(value) ? "\u2013" : value.toFixed(decimals);
}
function percent(part, whole) { return whole > 0 ? Math.round((100 * part) / whole) + " %" : "\u2013"; }
function thresholds() { return live.settings.fd_thresholds_mm; }
function tr() { return live.run ? live.run.tr_s : NaN; }

// ---- plots on canvas

// Steps of 1, 2 or 5 times a power of ten, about `target` of them over [lo, hi].
function niceTicks(lo, hi, target) {
  if (!(hi > lo)) hi = lo + 1;
  const raw = (hi - lo) / target;
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 5, 10].map((k) => k * power).find((s) => s >= raw);
  const ticks = [];
  for (let t = Math.ceil(lo / step) * step; t <= hi + step * 1e-9; t += step) ticks.push(Math.abs(t) < step * 1e-9 ? 0 : t);
  return { ticks, step };
}
function tickLabel(value, step) {
  const decimals = Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
  return value.toFixed(decimals);
}

// Draws lines over volumes 1..xMax: `series` [{values, colour, label}],
// `lines` [{y, colour, label}] dashed and always in range.
function drawPlot(canvas, { series, lines = [], yFromZero = false, xMax, note = "" }) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
  }
  const g = canvas.getContext("2d");
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  g.font = "12px system-ui, 'DejaVu Sans', sans-serif";

  const left = 52, right = 14, top = series.length > 1 ? 24 : 12, bottom = 26;
  const plotW = width - left - right, plotH = height - top - bottom;
  let lo = Infinity, hi = -Infinity;
  for (const s of series) for (const v of s.values) if (v !== null && isFinite(v)) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
  for (const l of lines) { lo = Math.min(lo, l.y); hi = Math.max(hi, l.y); }
  if (!isFinite(lo)) { lo = 0; hi = 1; }
  if (yFromZero) lo = Math.min(lo, 0);
  if (hi - lo < 1e-9) { const pad = Math.abs(hi) > 0 ? Math.abs(hi) * 0.05 : 0.5; lo -= pad; hi += pad; }
  const margin = (hi - lo) * 0.06;
  hi += margin;
  if (!yFromZero || lo < 0) lo -= margin;
  const n = Math.max(2, xMax);
  const X = (i) => left + (plotW * i) / (n - 1);  // i from 0
  const Y = (v) => top + plotH - ((v - lo) / (hi - lo)) * plotH;

  // Grid and axes.
  const { ticks, step } = niceTicks(lo, hi, 4);
  g.strokeStyle = colours.grid;
  g.lineWidth = 1;
  g.fillStyle = colours.text;
  g.textAlign = "right";
  g.textBaseline = "middle";
  for (const t of ticks) {
    const y = Math.round(Y(t)) + 0.5;
    g.beginPath(); g.moveTo(left, y); g.lineTo(left + plotW, y); g.stroke();
    g.fillText(tickLabel(t, step), left - 6, y);
  }
  const xt = niceTicks(1, n, 8);
  g.textAlign = "center";
  g.textBaseline = "top";
  for (const t of xt.ticks) {
    if (t < 1 || t > n) continue;
    const x = Math.round(X(t - 1)) + 0.5;
    g.strokeStyle = colours.grid;
    g.beginPath(); g.moveTo(x, top); g.lineTo(x, top + plotH); g.stroke();
    g.fillText(String(t), x, top + plotH + 6);
  }
  g.strokeStyle = colours.axis;
  g.beginPath(); g.moveTo(left + 0.5, top); g.lineTo(left + 0.5, top + plotH + 0.5); g.lineTo(left + plotW, top + plotH + 0.5); g.stroke();

  // Reference lines, dashed, labelled at the right.
  g.setLineDash([6, 4]);
  g.lineWidth = 1.4;
  g.textAlign = "right";
  g.textBaseline = "bottom";
  for (const l of lines) {
    const y = Y(l.y);
    g.strokeStyle = l.colour;
    g.beginPath(); g.moveTo(left, y); g.lineTo(left + plotW, y); g.stroke();
    g.fillStyle = l.colour;
    g.fillText(l.label, left + plotW - 2, y - 2);
  }
  g.setLineDash([]);

  // The series; a gap where a value is missing.
  g.lineWidth = 1.6;
  g.lineJoin = "round";
  for (const s of series) {
    g.strokeStyle = s.colour;
    g.beginPath();
    let drawing = false;
    s.values.forEach((v, i) => {
      if (v === null || !isFinite(v)) { drawing = false; return; }
      if (drawing) g.lineTo(X(i), Y(v)); else g.moveTo(X(i), Y(v));
      drawing = true;
    });
    g.stroke();
    if (s.values.length <= 120 || s.dots) {
      g.fillStyle = s.colour;
      s.values.forEach((v, i) => {
        if (v === null || !isFinite(v)) return;
        const r = s.dots ? s.dots(v) : 1.6;
        if (r > 0) { g.beginPath(); g.arc(X(i), Y(v), r, 0, 2 * Math.PI); g.fill(); }
      });
    }
  }

  // Legend at the top left, note at the top right.
  g.textBaseline = "middle";
  g.textAlign = "left";
  if (series.length > 1) {
    let x = left + 4;
    for (const s of series) {
      g.fillStyle = s.colour;
      g.fillRect(x, 9, 16, 3);
      g.fillStyle = colours.text;
      g.fillText(s.label, x + 21, 11);
      x += 30 + g.measureText(s.label).width;
    }
  }
  if (note) {
    g.textAlign = "right";
    g.fillStyle = colours.text;
    g.fillText(note, left + plotW, series.length > 1 ? 11 : top + 10);
  }
  canvas.dataset.points = String(series.length ? series[0].values.length : 0);
}

// ---- what the page shows

// The server's figures of the run so far (the newest volume event carries
// them; the page works none of them out itself).
function newest() { return live.volumes.length ? live.volumes[live.volumes.length - 1] : null; }
function targetSeconds() { return live.settings.target_minutes * 60; }
function lowMotion() {
  const last = newest();
  if (last && last.low_motion) return last.low_motion;
  return thresholds().map((t) => ({ threshold_mm: t, volumes: 0, seconds: 0, missing_s: targetSeconds(), to_scan_s: null }));
}

function renderTiles() {
  const count = live.volumes.length;
  const expected = live.run ? live.run.expected_volumes : null;
  $("volume").textContent = count ? String(count) : "\u2013";
  $("volume-total").textContent = expected ? String(expected) : "?";
  $("volume-progress").style.width = expected ? Math.min(100, (100 * count) / expected) + "%" : "0";
  $("tr").textContent = live.run ? fixed(live.run.tr_s, live.run.tr_s < 1 ? 2 : 1) + " s" : "\u2013";
  const last = newest();
  $("fd-last").textContent = count > 1 ? fixed(last.fd, 3) : "\u2013";
  $("fd-mean").textContent = last ? fixed(last.fd_mean, 3) : "\u2013";
  $("fd-max").textContent = last ? fixed(last.fd_max, 3) : "\u2013";
  $("target").textContent = clock(targetSeconds());

  const rows = lowMotion().map((m, k) => {
    const still = m.missing_s === 0 ? '<span class="reached">target reached</span>'
      : clock(m.missing_s) + ' <span class="muted">' +
        (m.to_scan_s !== null ? "&asymp; " + clock(m.to_scan_s) + " of scanning" : "none collected so far") + "</span>";
    const t = m.threshold_mm;
    return `<tr data-threshold="${t}"><td><span class="swatch" style="background:${colours.thresholds[k]}"></span>FD &le; ${t} mm</td>` +
      `<td>${m.volumes} of ${count}</td><td>${percent(m.volumes, count)}</td><td>${clock(m.seconds)}</td><td>${still}</td></tr>`;
  });
  $("threshold-rows").innerHTML = rows.join("");
}

function renderElapsed() {
  let seconds = 0;
  if (live.end) seconds = live.end.elapsed_s;
  else if (live.volumes.length) {
    const last = live.volumes[live.volumes.length - 1];
    seconds = last.arrival_s + (live.lastVolumeSeenAt ? (performance.now() - live.lastVolumeSeenAt) / 1000 : 0);
  }
  $("elapsed").textContent = clock(seconds);
}

function renderPlots() {
  const v = live.volumes;
  const xMax = Math.max(v.length, (live.run && live.run.expected_volumes) || 0, 10);
  const [t1, t2] = thresholds();
  drawPlot($("plot-fd"), {
    series: [{ label: "FD", values: v.map((x) => x.fd), colour: colours.fd,
               dots: (value) => (value > t2 ? 3.2 : value > t1 ? 2.6 : v.length <= 120 ? 1.6 : 0) }],
    lines: [{ y: t1, label: t1 + " mm", colour: colours.thresholds[0] }, { y: t2, label: t2 + " mm", colour: colours.thresholds[1] }],
    yFromZero: true, xMax,
  });
  const axes = ["x", "y", "z"];
  drawPlot($("plot-translations"), {
    series: axes.map((a, k) => ({ label: a, values: v.map((x) => x.motion[k]), colour: colours.axes[k] })), xMax,
  });
  drawPlot($("plot-rotations"), {
    series: axes.map((a, k) => ({ label: a, values: v.map((x) => x.motion[k + 3]), colour: colours.axes[k] })), xMax,
  });
  drawPlot($("plot-dvars"), { series: [{ label: "DVARS", values: v.map((x) => x.dvars), colour: colours.dvars }], yFromZero: true, xMax });
  drawPlot($("plot-global"), { series: [{ label: "global mean", values: v.map((x) => x.global_mean), colour: colours.global }], xMax });
  // A live run: arrival to maps, the volumes read ahead apart (their wait
  // was the look-ahead's); the plug-in's step beside it.
  const arrival = v.map((x) => (x.arrival_ms !== null && !x.read_ahead ? x.arrival_ms : null));
  const ahead = v.map((x) => (x.arrival_ms !== null && x.read_ahead ? x.arrival_ms : null));
  const step = v.map((x) => x.latency_ms);
  const series = [];
  if (arrival.some((x) => x !== null)) series.push({ label: "arrival to maps", values: arrival, colour: colours.latency });
  if (ahead.some((x) => x !== null)) series.push({ label: "read ahead", values: ahead, colour: colours.readAhead });
  series.push({ label: "plug-in step", values: step, colour: series.length ? colours.step : colours.latency });
  const trMs = tr() * 1000;
  const largest = Math.max(0, ...series.flatMap((s) => s.values).filter((x) => x !== null));
  // The TR line only where the latencies stay readable beside it.
  const trShown = isFinite(trMs) && !(largest * 4 < trMs);
  drawPlot($("plot-latency"), {
    series,
    lines: trShown ? [{ y: trMs, label: "TR " + Math.round(trMs) + " ms", colour: colours.tr }] : [],
    note: !trShown && isFinite(trMs) && v.length ? "TR = " + Math.round(trMs) + " ms, far above; largest " + fixed(largest, 1) + " ms" : "",
    yFromZero: true, xMax,
  });
  renderTimeline(v, xMax, trMs);
}

// The export lag (a DICOM run's volumes against their acquisition times),
// a volume more than a TR late marked; said plainly where there is none.
function renderTimeline(v, xMax, trMs) {
  // Times that stop telling the volumes apart leave the series no timeline.
  const repeated = v.find((x) => x.repeats_time);
  const lag = v.map((x) => (x.lag_ms === undefined || repeated ? null : x.lag_ms));
  const late = v.filter((x) => x.late);
  const live = v.some((x) => x.arrival_ms !== null && x.arrival_ms !== undefined);
  const timed = lag.some((x) => x !== null);
  $("timeline-note").textContent = !v.length ? "" : !live ? "not a live run: no arrival timeline"
    : repeated ? "none: the acquisition times do not tell the volumes apart (volume " + (repeated.index + 1) + ")"
    : !timed ? "none: the input records no acquisition times"
    : late.length ? "more than a TR late: volume " + late.map((x) => x.index + 1).join(", ") : "no volume more than a TR late";
  $("timeline-note").classList.toggle("warn", late.length > 0);
  drawPlot($("plot-timeline"), {
    series: [{ label: "export lag", values: lag, colour: colours.lag },
             { label: "late", values: v.map((x) => (x.late ? x.lag_ms : null)), colour: colours.tr, dots: () => 4 }],
    lines: timed && isFinite(trMs) ? [{ y: trMs, label: "1 TR", colour: colours.tr }] : [],
    xMax,
  });
}

// How many volumes' motion is flagged unreliable, and why the latest one is.
function renderMotionFlags() {
  const flagged = live.volumes.filter((x) => x.motion_reliable === false);
  const explained = flagged.filter((x) => x.motion_warning);
  const box = $("motion-flags");
  box.hidden = !flagged.length;
  box.textContent = flagged.length ? "Motion flagged unreliable for " + flagged.length + " volume" +
    (flagged.length > 1 ? "s" : "") + (explained.length ? "; latest: " + explained[explained.length - 1].motion_warning : "") : "";
}

// Host log markup: <b>, <i> and <br> are shown, everything else as text.
function logLine(text) {
  const line = document.createElement("div");
  let parent = line;
  for (const part of text.split(/(<\/?b>|<\/?i>|<br>)/)) {
    if (part === "<br>") parent.appendChild(document.createElement("br"));
    else if (part === "<b>" || part === "<i>") { const e = document.createElement(part[1]); parent.appendChild(e); parent = e; }
    else if (part === "</b>" || part === "</i>") { if (parent !== line) parent = parent.parentNode; }
    else if (part) parent.appendChild(document.createTextNode(part));
  }
  return line;
}

function renderSummary() {
  const end = live.end;
  if (!end) return;
  const last = newest();
  const [t1, t2] = thresholds();
  const above = last && last.fd_above ? last.fd_above : [0, 0];
  const low = lowMotion()[0];
  const figures = [
    ["Volumes", String(end.volumes)],
    ["Duration", clock(end.elapsed_s)],
    ["Mean FD", last && last.fd_mean !== null ? fixed(last.fd_mean, 3) + " mm" : "\u2013"],
    ["Frames with FD > " + t1 + " mm", String(above[0])],
    ["Frames with FD > " + t2 + " mm", String(above[1]), above[1] > 0],
    ["Low-motion time (FD \u2264 " + t1 + " mm)", clock(low.seconds) + " of " + clock(targetSeconds())],
    ["Median DVARS", fixed(end.dvars_median, 1)],
    ["Median step latency", fixed(end.latency_median_ms, 1) + " ms"],
    ["Largest step latency", fixed(end.latency_max_ms, 1) + " ms"],
    ["Median arrival to maps", end.arrival_volumes ? fixed(end.arrival_median_ms, 1) + " ms over " + end.arrival_volumes + " volumes" : "\u2013"],
    ["Volumes read ahead (not the host's wait)", String(end.read_ahead_volumes || 0)],
    ["Export lag: median, jitter", end.timed_volumes ? fixed(end.lag_median_ms, 1) + " ms, " + fixed(end.jitter_ms, 1) + " ms" : "\u2013"],
    ["Volumes more than a TR late", (end.late_volumes || []).join(", ") || "none", (end.late_volumes || []).length > 0],
    ["Steps slower than the TR", String(end.slow_steps), end.slow_steps > 0],
    ["Refused plug-in steps", String(end.refused_steps), end.refused_steps > 0],
    ["Stored values changed to fit 16 bits", String(end.changed_values), end.changed_values > 0],
  ];
  const list = $("summary-figures");
  list.textContent = "";
  for (const [label, value, bad] of figures) {
    const box = document.createElement("div");
    const dt = document.createElement("dt"); dt.textContent = label;
    const dd = document.createElement("dd"); dd.textContent = value;
    if (bad) dd.className = "bad";
    box.append(dt, dd);
    list.appendChild(box);
  }
  $("summary-title").textContent = end.partial ? "Run ended early" + (end.reason ? ": " + end.reason : "") : "Run finished";
  $("summary").classList.toggle("partial", end.partial);
  const report = $("report");
  report.textContent = "";
  const finished = finishedRun();
  if (finished) {
    report.append("QC report: ");
    report.append(runLink(finished, "report.html", "report-link"), " \u00b7 ", runLink(finished, "timing.csv"));
  } else if (end.report && !live.session) {
    report.append("QC report: ");
    const a = document.createElement("a");
    a.href = "file://" + (end.report.startsWith("/") ? "" : "/") + end.report.replace(/\\/g, "/");
    a.textContent = end.report;
    a.id = "report-link";
    report.append(a, " (a file on the machine that ran Korvanth; open it from there)");
  }
  $("summary").hidden = false;
}

// ---- the session: its runs so far and its low-motion time

// The run the page shows, once the session has committed its results.
function finishedRun() {
  const series = live.session ? live.session.series : [];
  const last = series.length ? series[series.length - 1] : null;
  return live.end && last && last.folder && last.state !== "running" ? last : null;
}

function runLink(entry, file, id) {
  const a = document.createElement("a");
  a.href = "runs/" + encodeURIComponent(entry.folder) + "/" + file;
  a.textContent = file;
  a.target = "_blank";
  if (id) a.id = id;
  return a;
}

function cell(row, content) {
  const td = document.createElement("td");
  if (content instanceof Node) td.append(content); else td.textContent = content;
  row.appendChild(td);
  return td;
}

function renderSession() {
  const session = live.session;
  $("session").hidden = !session;
  if (!session) return;
  const totals = session.low_motion.map((m) => {
    const needed = m.still_needed_s === 0 ? "target reached"
      : clock(m.still_needed_s) + " still needed" +
        (m.predicted_scanning_s === null ? "" : ", \u2248 " + clock(m.predicted_scanning_s) + " of scanning");
    return `FD \u2264 ${m.fd_threshold_mm} mm: ${clock(m.low_motion_s)} of ${clock(session.target_minutes * 60)} (${needed})`;
  });
  $("session-totals").textContent = totals.join(" \u00b7 ");
  const rows = $("session-rows");
  rows.textContent = "";
  for (const entry of session.series) {
    const row = document.createElement("tr");
    row.dataset.state = entry.state;
    cell(row, entry.series_number >= 0 ? String(entry.series_number) : "\u2013");
    cell(row, entry.description || "\u2013");
    cell(row, entry.state + (entry.reason ? ": " + entry.reason : "")).className = "state-" + entry.state;
    const ran = entry.state !== "skipped" && entry.state !== "running";
    cell(row, ran ? String(entry.volumes) : "\u2013");
    cell(row, ran ? fixed(entry.mean_fd_mm, 3) + " mm" : "\u2013");
    cell(row, ran ? clock(entry.low_motion_s[0]) : "\u2013");
    const links = document.createElement("span");
    if (ran && entry.folder) links.append(runLink(entry, "report.html"), " \u00b7 ", runLink(entry, "timing.csv"));
    cell(row, links);
    rows.appendChild(row);
  }
}

function renderState() {
  const state = !live.connected && !live.end ? "disconnected"
    : live.end ? (live.end.partial ? "partial" : "finished") : live.run ? "running" : "waiting";
  const badge = $("state");
  badge.className = "state " + state;
  badge.dataset.state = state;
  badge.textContent = state === "disconnected" ? "reconnecting\u2026" : state;
}

// Asks for the maps anew when a newer volume (or the end) is known, at most
// every 400 ms, and swaps each image only once the new one has loaded, so that
// the montages never flicker.
let mapsLoading = 0, mapsAskedAt = -Infinity;
function refreshMaps() {
  const newest = live.volumes.length - 1;
  const key = newest + (live.end ? "-end" : "");
  if (newest < 0 || mapsLoading > 0 || key === live.mapsKey || performance.now() - mapsAskedAt < 400) return;
  mapsAskedAt = performance.now();
  live.mapsKey = key;
  const box = $("maps");
  for (let k = 0; k < live.settings.map_count; ++k) {
    let img = $("map-" + k);
    if (!img) {
      img = document.createElement("img");
      img.id = "map-" + k;
      img.alt = "map " + (k + 1);
      box.appendChild(img);
    }
    const next = new Image();
    mapsLoading++;
    next.onload = () => {
      img.src = next.src;
      mapsLoading--;
      live.mapsVolume = newest;
      $("maps-note").textContent = "as of volume " + (newest + 1);
    };
    // A montage that failed (the server busy, or a new run's maps not drawn
    // yet) is asked for again at the next refresh.
    next.onerror = () => { mapsLoading--; live.mapsKey = ""; };
    next.src = "maps/" + k + ".png?v=" + key;
  }
}

let frameAsked = false;
function render() {
  if (frameAsked) return;
  frameAsked = true;
  requestAnimationFrame(() => {
    frameAsked = false;
    if (live.run) {
      const r = live.run;
      $("series").textContent = r.title + " \u00b7 " + r.dims.join(" \u00d7 ") + " voxels \u00b7 TR " + r.tr_s + " s" +
        (r.expected_volumes ? " \u00b7 " + r.expected_volumes + " volumes" : " \u00b7 live");
    }
    renderState();
    renderTiles();
    renderElapsed();
    renderPlots();
    renderMotionFlags();
    renderSummary();
    renderSession();
  });
}

// ---- the event stream; the browser resumes it after Last-Event-ID on its own

function connect() {
  const events = new EventSource("events");
  events.onopen = () => { live.connected = true; render(); };
  events.onerror = () => { live.connected = false; render(); };
  events.addEventListener("run", (e) => {
    // A session's next run: the page starts over with it.
    live.run = JSON.parse(e.data);
    live.volumes = [];
    live.end = null;
    live.mapsKey = "";
    live.mapsVolume = -1;
    render();
  });
  events.addEventListener("session", (e) => { live.session = JSON.parse(e.data); render(); });
  events.addEventListener("volume", (e) => {
    const v = JSON.parse(e.data);
    if (v.index !== live.volumes.length) return;  // already known (a resumed stream never repeats, but be safe)
    live.volumes.push(v);
    live.lastVolumeSeenAt = performance.now();
    render();
    refreshMaps();
  });
  events.addEventListener("log", (e) => {
    const line = JSON.parse(e.data).line;
    live.log.push(line);
    const box = $("log");
    const atBottom = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
    box.appendChild(logLine(line));
    if (atBottom) box.scrollTop = box.scrollHeight;
  });
  events.addEventListener("end", (e) => {
    live.end = JSON.parse(e.data);
    if (!live.session) events.close();  // the server ends the stream; nothing more will come
    render();
    refreshMaps();
  });
}

setInterval(() => { if (!live.end && live.volumes.length) renderElapsed(); }, 500);
setInterval(refreshMaps, 250);
window.addEventListener("resize", render);
connect();
render();
