// The line page's measurements: for the chosen measurement a histogram per bench with its
// limits drawn, mean, standard deviation and Cpk per bench and week, and a run chart of the
// latest runs with the limits each was judged by. Built inside <section id="measures">.
"use strict";

const measureCharts = [];
const measureColours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2",
                        "#7f7f7f", "#bcbd22", "#17becf", "#393b79"];
const measureLimitColour = "#d00000";

// Vertical lines at the limits: options.lines [{label, value}], options.pixel(chart, value).
// Where each was drawn is kept on the canvas (data-limit-lines) for whoever checks it.
const measureLimitLines = {
  id: "measureLimitLines",
  afterDatasetsDraw(chart, args, options) {
    const { ctx, chartArea } = chart;
    const drawn = [];
    for (const line of options.lines || []) {
      const x = options.pixel(chart, line.value);
      if (!Number.isFinite(x) || x < chartArea.left - 1 || x > chartArea.right + 1) continue;
      ctx.save();
      ctx.strokeStyle = measureLimitColour;
      ctx.lineWidth = 2;
      ctx.beginPath();
      ctx.moveTo(x, chartArea.top);
      ctx.lineTo(x, chartArea.bottom);
      ctx.stroke();
      ctx.fillStyle = measureLimitColour;
      ctx.font = "11px sans-serif";
      ctx.fillText(`${line.label} ${line.value}`, x + 3, chartArea.top + 11);
      ctx.restore();
      drawn.push({ label: line.label, value: line.value, x: Math.round(x),
                   y: Math.round((chartArea.top + chartArea.bottom) / 2) });
    }
    chart.canvas.dataset.limitLines = JSON.stringify(drawn);
  },
};

// The x pixel of a value on a histogram of equal bins between edges.
function measureBinPixel(edges) {
  return (chart, value) => {
    const x = chart.scales.x, n = edges.length - 1;
    const width = n > 1 ? x.getPixelForValue(1) - x.getPixelForValue(0) : x.width;
    const left = x.getPixelForValue(0) - width / 2;
    return left + (value - edges[0]) / (edges[n] - edges[0]) * n * width;
  };
}

function measureLimits(low, high) {
  return [low == null ? null : { label: "low", value: low },
          high == null ? null : { label: "high", value: high }].filter(Boolean);
}

function measureRange(low, high) {
  return low == null && high == null ? "–" : `${low ?? ""}..${high ?? ""}`;
}

function measureChart(canvas, config) {
  if (typeof Chart === "undefined") return;
  measureCharts.push(new Chart(canvas, {
    ...config,
    options: { animation: false, maintainAspectRatio: false, ...config.options },
  }));
}

function measureSkeleton(section) {
  if (section.dataset.built) return;
  section.dataset.built = "1";
  section.append(
    el("h2", { text: "Measurements" }),
    el("p", {}, el("label", { text: "Measurement " }, el("select", { id: "measure-name" }))),
    el("div", { id: "measure-histograms", class: "charts" }),
    el("h2", { text: "Mean, standard deviation and Cpk per bench and week" }),
    el("div", { id: "measure-stats" }),
    el("h2", { text: "Run chart: the latest runs" }),
    el("div", { class: "chart" }, el("canvas", { id: "measure-runchart" })));
  document.getElementById("measure-name").addEventListener(
    "change", () => loadMeasures(periodQuery()).catch((e) => setStatus(e.message)));
}

// Fetches and draws the measurements of the period `query` ("since=...&until=...").
async function loadMeasures(query) {
  const section = document.getElementById("measures");
  if (!section) return;
  measureSkeleton(section);
  const stats = await getJson(`/api/measures?${query}`);
  const select = document.getElementById("measure-name");
  const names = [...new Set(stats.map((s) => s.measurement))];
  const wanted = select.value || stats.find((s) => s.low != null || s.high != null)?.measurement;
  select.replaceChildren(...names.map((name) => el("option", { value: name, text: name })));
  section.hidden = names.length === 0;
  for (const chart of measureCharts.splice(0)) chart.destroy();
  if (!names.length) return;
  select.value = names.includes(wanted) ? wanted : names[0];
  const name = select.value;
  const measure = encodeURIComponent(name);
  const [histogram, runs] = await Promise.all([
    getJson(`/api/histogram?measurement=${measure}&${query}`),
    getJson(`/api/runchart?measurement=${measure}&${query}`)]);

  const edges = histogram.edges;
  const labels = edges.slice(0, -1).map((from, i) => `${from}–${edges[i + 1]}`);
  const boxes = histogram.benches.map((bench, i) => {
    const canvas = el("canvas", { "data-bench": bench.bench });
    const box = el("div", {}, el("h3", { text: `${name}, ${bench.bench}` }),
                   el("div", { class: "chart" }, canvas));
    return [box, canvas, bench, measureColours[i % measureColours.length]];
  });
  document.getElementById("measure-histograms").replaceChildren(...boxes.map(([box]) => box));
  for (const [, canvas, bench, colour] of boxes)
    measureChart(canvas, {
      type: "bar",
      data: { labels, datasets: [{ label: bench.bench, backgroundColor: colour,
                                   data: bench.counts, barPercentage: 1, categoryPercentage: 1 }] },
      options: {
        scales: { y: { beginAtZero: true, title: { display: true, text: "runs" } } },
        plugins: { measureLimitLines: { lines: measureLimits(histogram.low, histogram.high),
                                        pixel: measureBinPixel(edges) } },
      },
      plugins: [measureLimitLines],
    });

  document.getElementById("measure-stats").replaceChildren(table([
    ["Bench", (s) => s.bench], ["Week", (s) => s.week], ["Runs", (s) => s.runs],
    ["Mean", (s) => number(s.mean, 3)], ["Standard deviation", (s) => number(s.sd, 3)],
    ["Cpk", (s) => el("span", {
      class: s.cpk == null ? "" : s.cpk < 1 ? "failed" : s.cpk < 1.33 ? "marginal" : "passed",
      text: number(s.cpk, 2) })],
    ["Limits", (s) => measureRange(s.low, s.high)],
  ], stats.filter((s) => s.measurement === name)));

  const benches = [...new Set(runs.map((r) => r.bench))].sort();
  const limitLine = (key, label) => ({
    label, data: runs.map((r) => r[key]), borderColor: measureLimitColour,
    backgroundColor: measureLimitColour, stepped: true, pointRadius: 0, borderWidth: 2,
  });
  measureChart(document.getElementById("measure-runchart"), {
    type: "line",
    data: {
      labels: runs.map((r) => when(r.started)),
      datasets: [...benches.map((bench, i) => ({
        label: bench, showLine: false, pointRadius: 2,
        backgroundColor: measureColours[i % measureColours.length],
        borderColor: measureColours[i % measureColours.length],
        data: runs.map((r) => (r.bench === bench ? r.value : null)),
      })), limitLine("low", "low limit"), limitLine("high", "high limit")]
        .filter((d) => d.data.some((v) => v != null)),
    },
    options: { scales: { x: { ticks: { maxTicksLimit: 12 } }, y: { title: { display: true, text: name } } } },
  });
}
