// The line page: figures, charts and tables of a period, redrawn when a run is added.
"use strict";

const charts = {};
const palette = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                 "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"];

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

// Draws a chart the first time, then only changes its data.
function draw(id, type, labels, datasets, options = {}) {
  if (typeof Chart === "undefined") return;
  const chart = charts[id];
  if (chart) {
    chart.data.labels = labels;
    chart.data.datasets = datasets;
    chart.update("none");
    return;
  }
  charts[id] = new Chart(document.getElementById(id), {
    type,
    data: { labels, datasets },
    options: { animation: false, maintainAspectRatio: false, ...options },
  });
}

async function showRunsOfCheck(check) {
  const runs = await getJson(`/api/pareto/runs?check=${encodeURIComponent(check)}&${periodQuery()}`);
  const target = document.getElementById("pareto-runs");
  target.replaceChildren(el("h2", { text: `Runs failing “${check}”` }), table([
    ["Started", (r) => link("/run/" + encodeURIComponent(r.id), when(r.started))],
    ["Bench", (r) => r.bench],
    ["Serial number", (r) => unitLink(r.serial)],
    ["Verdict", (r) => el("span", { class: r.verdict, text: r.verdict })],
  ], runs));
  target.scrollIntoView();
}

async function load() {
  const q = periodQuery();
  const [summary, days, hours, pareto, steps, rates] = await Promise.all(
    ["summary", "yield", "throughput", "pareto", "steps", "rates"].map(
      (name) => getJson(`/api/${name}?${q}`)));

  for (const key of ["runs", "passed", "failed", "aborted", "untested"])
    document.getElementById("fig-" + key).textContent = summary[key] ?? 0;
  document.getElementById("fig-first_pass_yield").textContent = percent(summary.first_pass_yield);

  draw("yield-chart", "line", days.map((d) => d.day), [{
    label: "first-pass yield, %", borderColor: palette[0], backgroundColor: palette[0],
    data: days.map((d) => d.first_pass_yield == null ? null : 100 * d.first_pass_yield),
  }], { scales: { y: { min: 0, max: 100 } } });

  const hourLabels = [...new Set(hours.map((h) => h.hour))].sort();
  const benches = [...new Set(hours.map((h) => h.bench))].sort();
  draw("throughput-chart", "bar", hourLabels, benches.map((bench, i) => ({
    label: bench, backgroundColor: palette[i % palette.length],
    data: hourLabels.map((hour) => hours.find((h) => h.hour === hour && h.bench === bench)?.runs ?? 0),
  })), { scales: { x: { stacked: true }, y: { stacked: true, beginAtZero: true } } });

  draw("pareto-chart", "bar", pareto.map((p) => p.check), [{
    label: "runs", backgroundColor: palette[3], data: pareto.map((p) => p.runs),
  }], {
    indexAxis: "y",
    onClick: (event, elements) => {
      if (elements.length) showRunsOfCheck(pareto[elements[0].index].check);
    },
  });
  document.getElementById("pareto").replaceChildren(table([
    ["Failing check", (p) => {
      const button = el("button", { class: "check", type: "button", text: p.check });
      button.addEventListener("click", () => showRunsOfCheck(p.check));
      return button;
    }],
    ["Runs", (p) => p.runs],
  ], pareto));

  document.getElementById("steps").replaceChildren(table([
    ["Bench", (s) => s.bench], ["Day", (s) => s.day], ["Step", (s) => s.step],
    ["Median, ms", (s) => number(s.median_ms, 0)], ["Runs", (s) => s.runs],
  ], steps));
  document.getElementById("rates").replaceChildren(table([
    ["Bench", (r) => r.bench], ["Day", (r) => r.day],
    ["Upload, MiB/s", (r) => number(r.upload_mib_s, 2)],
    ["Download, MiB/s", (r) => number(r.download_mib_s, 2)],
    ["Echo, ms", (r) => number(r.echo_ms, 1)],
  ], rates));
  await loadMeasures(q);
  document.body.dataset.loaded = String(Number(document.body.dataset.loaded ?? 0) + 1);
}

document.addEventListener("DOMContentLoaded", () => {
  const params = new URLSearchParams(location.search);
  for (const id of ["since", "until"]) {
    const field = document.getElementById(id);
    field.value = params.get(id) || localDay();
    field.addEventListener("change", () => load().catch((e) => setStatus(e.message)));
  }
  load().catch((e) => setStatus(e.message));
  followChanges(load);
});
