// The line page: figures, charts and tables of a period. One entry point, refresh(), reads
// every answer again and redraws only the parts whose answer changed.
"use strict";

const charts = {};
const palette = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                 "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"];
const kShownRuns = 1000; // runs of a failing check listed at once
const data = {};         // the latest answer of each API call
const drawn = {};        // the period and answer text each part was last drawn from

// The chosen days; a field left empty means today to the server.
function periodQuery() {
  const query = new URLSearchParams();
  for (const id of ["since", "until"]) {
    const day = document.getElementById(id).value;
    if (day) query.set(id, day);
  }
  return query.toString();
}

function percent(value) {
  return value == null ? "–" : (100 * value).toFixed(1) + " %";
}

function color(i) {
  return palette[i % palette.length];
}

// Draws a chart the first time, then only changes its data.
function draw(id, type, labels, datasets, options = {}) {
  if (typeof Chart === "undefined") return;
  let chart = charts[id];
  if (chart && chart.config.type !== type) {
    chart.destroy();
    chart = charts[id] = undefined;
  }
  if (chart) {
    chart.data.labels = labels;
    chart.data.datasets = datasets;
    chart.options.elements.point.radius = labels.length > 60 ? 0 : 3;
    chart.update("none");
    return;
  }
  // A long period's lines without a dot per day: drawing them costs more than they tell.
  const points = { radius: labels.length > 60 ? 0 : 3, hitRadius: 4 };
  // Which day labels fit is judged from a sample, not by measuring every label.
  const scales = options.scales ?? {};
  const axis = options.indexAxis === "y" ? "y" : "x";
  scales[axis] = { ...scales[axis], ticks: { sampleSize: 20, maxRotation: 0, autoSkipPadding: 12 } };
  options = { ...options, scales };
  charts[id] = new Chart(document.getElementById(id), {
    type,
    data: { labels, datasets },
    options: { animation: false, maintainAspectRatio: false, normalized: true,
               elements: { point: points }, ...options },
  });
}

// Rows grouped into one series per bench over sorted labels, looked up through maps.
function perBench(rows, labelOf, valueOf) {
  const labels = [...new Set(rows.map(labelOf))].sort();
  const index = new Map(labels.map((label, i) => [label, i]));
  const series = new Map();
  for (const row of rows) {
    if (!series.has(row.bench)) series.set(row.bench, new Array(labels.length).fill(null));
    series.get(row.bench)[index.get(labelOf(row))] = valueOf(row);
  }
  const benches = [...series.keys()].sort();
  return { labels, benches, series };
}

// The server's CSV of a table for the days shown, in the form of `tolvek --export csv`.
// `name` may carry a query of its own (runs-of-check?check=...).
function csvHref(name) {
  return `/csv/${name}${name.includes("?") ? "&" : "?"}${periodQuery()}`;
}

function csvButton(name) {
  return el("a", { class: "csv", href: csvHref(name), download: "", text: "CSV" });
}

// A table with its CSV button in place of the target's content; at most `shown` rows are
// placed in the page, the CSV has them all.
function showTable(targetId, name, columns, rows, empty = "None.", shown = Infinity) {
  const target = document.getElementById(targetId);
  if (!rows.length) {
    target.replaceChildren(el("p", { text: empty }));
    return;
  }
  const node = table(columns, rows.slice(0, shown));
  target.replaceChildren(csvButton(name), node);
  if (rows.length > shown)
    target.append(el("p", { class: "cut", text:
      `The first ${shown} of the ${rows.length} listed are shown; the CSV has all ${rows.length}.` }));
}

async function showRunsOfCheck(check) {
  const runs = await getJson(`/api/pareto/runs?check=${encodeURIComponent(check)}` +
                             `&limit=${kShownRuns + 1}&${periodQuery()}`);
  const cut = runs.length > kShownRuns;
  const target = document.getElementById("pareto-runs");
  const heading = el("h2", { text: `Runs failing “${check}”` });
  showTable("pareto-runs", `runs-of-check?check=${encodeURIComponent(check)}`, [
    ["Started", (r) => link("/run/" + encodeURIComponent(r.id), when(r.started))],
    ["Bench", (r) => r.bench],
    ["Serial number", (r) => unitLink(r.serial)],
    ["Verdict", (r) => el("span", { class: r.verdict, text: r.verdict })],
  ], runs.slice(0, kShownRuns));
  target.prepend(heading);
  if (cut)
    target.append(el("p", { class: "cut", text:
      `Only the newest ${kShownRuns} runs are listed; there are more. Choose fewer days to see the others.` }));
  target.scrollIntoView();
}

const parts = {
  summary(summary) {
    for (const key of ["runs", "passed", "failed", "aborted", "untested", "never_passed"])
      document.getElementById("fig-" + key).textContent = summary[key] ?? 0;
    for (const key of ["first_pass_yield", "final_yield"])
      document.getElementById("fig-" + key).textContent = percent(summary[key]);
  },

  yield() {
    const days = data.yield, byBench = data["bench-yield"];
    const { labels, benches, series } = perBench(byBench, (d) => d.day,
      (d) => d.first_pass_yield == null ? null : 100 * d.first_pass_yield);
    const overall = new Map(days.map((d) => [d.day, d.first_pass_yield]));
    draw("yield-chart", "line", labels, [{
      label: "line", borderColor: "#222", backgroundColor: "#222", borderWidth: 3,
      data: labels.map((day) => overall.get(day) == null ? null : 100 * overall.get(day)),
    }, ...benches.map((bench, i) => ({
      label: bench, borderColor: color(i), backgroundColor: color(i), borderWidth: 1,
      data: series.get(bench),
    }))], { spanGaps: true, scales: { y: { min: 0, max: 100 } } });
    // A year holds thousands of rows: the table is built when it is opened.
    const box = document.getElementById("bench-yield-box");
    const build = () => showTable("bench-yield", "first-pass-yield", [
      ["Bench", (d) => d.bench], ["Day", (d) => d.day], ["Runs", (d) => d.runs],
      ["Passed", (d) => d.passed], ["Failed", (d) => d.failed], ["Units", (d) => d.units],
      ["First passed", (d) => d.first_passed],
      ["First-pass yield", (d) => percent(d.first_pass_yield)],
    ], byBench);
    box.ontoggle = () => { if (box.open) build(); };
    if (box.open) build();
    else document.getElementById("bench-yield").replaceChildren();
  },

  throughput(rows) {
    const daily = rows.length > 0 && rows[0].day !== undefined;
    document.getElementById("throughput-title").textContent =
      daily ? "Runs per day per bench" : "Runs per hour per bench";
    const { labels, benches, series } = perBench(rows, (r) => r.day ?? r.hour, (r) => r.runs);
    // Stacked bars for a few days; a line per bench for many, which draws far faster.
    const bars = labels.length <= 200;
    draw("throughput-chart", bars ? "bar" : "line", labels, benches.map((bench, i) => ({
      label: bench, backgroundColor: color(i), borderColor: color(i), borderWidth: 1,
      data: series.get(bench),
    })), { scales: { x: { stacked: bars }, y: { stacked: bars, beginAtZero: true } } });
  },

  pareto() {
    const pareto = data.pareto, byBench = data["bench-pareto"];
    const labels = pareto.map((p) => p.check);
    const index = new Map(labels.map((check, i) => [check, i]));
    const series = new Map();
    for (const row of byBench) {
      if (!series.has(row.bench)) series.set(row.bench, new Array(labels.length).fill(0));
      if (index.has(row.check)) series.get(row.bench)[index.get(row.check)] = row.runs;
    }
    const benches = [...series.keys()].sort();
    draw("pareto-chart", "bar", labels, benches.map((bench, i) => ({
      label: bench, backgroundColor: color(i), data: series.get(bench),
    })), {
      indexAxis: "y",
      scales: { x: { stacked: true, beginAtZero: true }, y: { stacked: true } },
      onClick: (event, elements) => {
        if (elements.length) showRunsOfCheck(charts["pareto-chart"].data.labels[elements[0].index]);
      },
    });
    const perCheck = new Map();
    for (const row of byBench)
      perCheck.set(row.check, [...(perCheck.get(row.check) ?? []), `${row.bench}: ${row.runs}`]);
    showTable("pareto", "failing-checks", [
      ["Failing check", (p) => {
        const button = el("button", { class: "check", type: "button", text: p.check });
        button.addEventListener("click", () => showRunsOfCheck(p.check));
        return button;
      }],
      ["Runs", (p) => p.runs],
      ["By bench", (p) => (perCheck.get(p.check) ?? []).join(", ")],
    ], pareto, "No failing check.");
  },

  durations(rows) {
    const median = perBench(rows, (d) => d.day, (d) => d.median_ms);
    const p90 = perBench(rows, (d) => d.day, (d) => d.p90_ms);
    draw("duration-chart", "line", median.labels, median.benches.flatMap((bench, i) => [
      { label: `${bench} median`, borderColor: color(i), backgroundColor: color(i),
        data: median.series.get(bench) },
      { label: `${bench} p90`, borderColor: color(i), backgroundColor: color(i),
        borderDash: [6, 4], borderWidth: 1, data: p90.series.get(bench) },
    ]), { spanGaps: true, scales: { y: { beginAtZero: true, title: { display: true, text: "ms" } } } });
  },

  rates() {
    const kind = document.getElementById("rate-kind").value;
    const { labels, benches, series } = perBench(data.rates, (r) => r.day, (r) => r[kind]);
    draw("rate-chart", "line", labels, benches.map((bench, i) => ({
      label: bench, borderColor: color(i), backgroundColor: color(i), data: series.get(bench),
    })), { spanGaps: true, scales: { y: { beginAtZero: true } } });
  },

  neverPassed(units) {
    showTable("never-passed", "never-passed", [
      ["Serial number", (u) => unitLink(u.serial)],
      ["First run", (u) => when(u.first)],
      ["Last run", (u) => link("/run/" + encodeURIComponent(u.last_id), when(u.last))],
      ["Last verdict", (u) => el("span", { class: u.last_verdict, text: u.last_verdict })],
      ["Runs", (u) => u.runs],
    ], units, "Every unit first tested in these days has passed.", 100);
  },
};

// Which answers each part is drawn from; the durations of the chosen step alone.
function sources() {
  const step = encodeURIComponent(document.getElementById("duration-step").value);
  return {
    summary: ["summary"], yield: ["yield", "bench-yield"], throughput: ["throughput"],
    pareto: ["pareto", "bench-pareto"], durations: [`durations?step=${step}`],
    rates: ["rates"], neverPassed: ["never-passed"],
  };
}

async function refresh() {
  const q = periodQuery();
  document.getElementById("runs-csv").href = csvHref("runs");
  const from = sources();
  const names = [...new Set(Object.values(from).flat())];
  // The measurements' answers are asked for at the same time, not after these are drawn.
  const measures = loadMeasures(q);
  measures.catch(() => {}); // reported where it is awaited below
  const answers = await Promise.all(names.map((name) =>
    getJson(`/api/${name}${name.includes("?") ? "&" : "?"}${q}`)));
  const text = {};
  names.forEach((name, i) => {
    data[name] = answers[i];
    text[name] = JSON.stringify(answers[i]);
  });
  const redrawn = [];
  for (const [part, names] of Object.entries(from)) {
    const key = q + "\n" + names.map((name) => name + text[name]).join("\n");
    if (drawn[part] === key) continue;
    drawn[part] = key;
    const start = performance.now();
    parts[part](data[names[0]]);
    redrawn.push(`${part}:${Math.round(performance.now() - start)}`);
  }
  document.body.dataset.redrawn = redrawn.join(" ");
  await measures;
  // For the benchmark: the time from the page's start until it was first drawn whole.
  document.body.dataset.firstDrawnMs ??= String(Math.round(performance.now()));
  document.body.dataset.loaded = String(Number(document.body.dataset.loaded ?? 0) + 1);
}

function daysBefore(day, n) {
  const d = new Date(day + "T12:00:00");
  d.setDate(d.getDate() - n);
  return localDay(d);
}

document.addEventListener("DOMContentLoaded", () => {
  const params = new URLSearchParams(location.search);
  const today = localDay();
  // The last 7 days unless the address names others.
  const until = params.get("until") || today;
  const initial = { since: params.get("since") || daysBefore(until < today ? until : today, 6), until };
  for (const id of ["since", "until"]) {
    const field = document.getElementById(id);
    field.value = initial[id];
    field.addEventListener("change", () => refresh().catch((e) => setStatus(e.message)));
  }
  document.getElementById("duration-step").addEventListener("change",
    () => refresh().catch((e) => setStatus(e.message)));
  document.getElementById("rate-kind").addEventListener("change", () => parts.rates());
  refresh().catch((e) => setStatus(e.message));
  followChanges(refresh);
});
