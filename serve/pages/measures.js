// The line page's measurements: for the chosen measurement a histogram per bench with its
// limits drawn, mean, standard deviation and Cpk per bench and week, and a run chart of the
// latest runs with the limits each was judged by. Built inside <section id="measures">.
"use strict";

const measureCharts = [];
const measureColours = ["#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2",
                        "#7f7f7f", "#bcbd22", "#17becf", "#393b79"];
const measureLimitColour = "#d00000";
const measureMarginalColour = "#e69500";
const measureMarginalFill = "rgba(230, 149, 0, 0.15)";

// Vertical lines at the limits (red, solid) and at the marginal band's ends (amber, dashed),
// the marginal zones between them shaded: options.lines [{label, value, marginal}],
// options.zones [[from, to]] (null: the chart's edge), options.pixel(chart, value). Where
// each line was drawn is kept on the canvas (data-limit-lines, data-marginal-lines) for
// whoever checks it.
const measureLimitLines = {
  id: "measureLimitLines",
  afterDatasetsDraw(chart, args, options) {
    const { ctx, chartArea } = chart;
    const clamp = (x) => Math.min(chartArea.right, Math.max(chartArea.left, x));
    for (const [from, to] of options.zones || []) {
      const left = clamp(from == null ? chartArea.left : options.pixel(chart, from));
      const right = clamp(to == null ? chartArea.right : options.pixel(chart, to));
      if (!(right > left)) continue;
      ctx.save();
      ctx.fillStyle = measureMarginalFill;
      ctx.fillRect(left, chartArea.top, right - left, chartArea.bottom - chartArea.top);
      ctx.restore();
    }
    const drawn = { limit: [], marginal: [] };
    for (const line of options.lines || []) {
      const x = options.pixel(chart, line.value);
      if (!Number.isFinite(x) || x < chartArea.left - 1 || x > chartArea.right + 1) continue;
      const colour = line.marginal ? measureMarginalColour : measureLimitColour;
      ctx.save();
      ctx.strokeStyle = colour;
      ctx.lineWidth = 2;
      if (line.marginal) ctx.setLineDash([6, 4]);
      ctx.beginPath();
      ctx.moveTo(x, chartArea.top);
      ctx.lineTo(x, chartArea.bottom);
      ctx.stroke();
      ctx.fillStyle = colour;
      ctx.font = "11px sans-serif";
      ctx.fillText(`${line.label} ${line.value}`, x + 3, chartArea.top + (line.marginal ? 24 : 11));
      ctx.restore();
      // A point on a dash, not in a gap: 3 px below the top.
      (line.marginal ? drawn.marginal : drawn.limit).push({
        label: line.label, value: line.value, x: Math.round(x),
        y: Math.round(line.marginal ? chartArea.top + 3 : (chartArea.top + chartArea.bottom) / 2) });
    }
    chart.canvas.dataset.limitLines = JSON.stringify(drawn.limit);
    chart.canvas.dataset.marginalLines = JSON.stringify(drawn.marginal);
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

// The lines and marginal zones of limits {low, high, marginal_low, marginal_high}.
function measureLimits(l) {
  const lines = [["low", l.low, false], ["high", l.high, false],
                 ["marginal low", l.marginal_low, true], ["marginal high", l.marginal_high, true]]
    .filter(([, value]) => value != null)
    .map(([label, value, marginal]) => ({ label, value, marginal }));
  const zones = [];
  if (l.marginal_low != null) zones.push([l.low, l.marginal_low]);
  if (l.marginal_high != null) zones.push([l.marginal_high, l.high]);
  return { lines, zones };
}

function measureRange(s) {
  if (s.low == null && s.high == null) return "–";
  const band = s.marginal_low != null || s.marginal_high != null
    ? `, marginal ${s.marginal_low ?? ""}..${s.marginal_high ?? ""}` : "";
  return `${s.low ?? ""}..${s.high ?? ""}${band}`;
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
    el("p", {}, el("label", { text: "Measurement " }, el("select", { id: "measure-name" })), " ",
       el("label", { text: "histograms per " },
          el("select", { id: "measure-by" }, el("option", { value: "bench", text: "bench" }),
             el("option", { value: "slot", text: "slot" })))),
    el("div", { id: "measure-histograms", class: "charts" }),
    el("h2", { text: "Mean, standard deviation and Cpk per bench and week" }),
    el("div", { id: "measure-stats" }),
    el("h2", { text: "Run chart: the latest runs" }),
    el("div", { class: "chart" }, el("canvas", { id: "measure-runchart" })));
  for (const id of ["measure-name", "measure-by"])
    document.getElementById(id).addEventListener(
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
  // One histogram per bench, or per slot of each bench (slot "–": runs without a port).
  const bySlot = document.getElementById("measure-by").value === "slot";
  const shown = histogram.benches.flatMap((bench, i) => (bySlot
    ? bench.slots.map((slot) => ({ bench: bench.bench, slot: slot.slot, counts: slot.counts, i }))
    : [{ bench: bench.bench, counts: bench.counts, i }]));
  const limits = measureLimits(histogram);
  const boxes = shown.map((h) => {
    const canvas = el("canvas", { "data-bench": h.bench });
    if (h.slot != null) canvas.dataset.slot = h.slot;
    const title = h.slot == null ? `${name}, ${h.bench}` : `${name}, ${h.bench}, slot ${h.slot || "–"}`;
    const box = el("div", {}, el("h3", { text: title }), el("div", { class: "chart" }, canvas));
    return [box, canvas, h, measureColours[h.i % measureColours.length]];
  });
  document.getElementById("measure-histograms").replaceChildren(...boxes.map(([box]) => box));
  for (const [, canvas, h, colour] of boxes)
    measureChart(canvas, {
      type: "bar",
      data: { labels, datasets: [{ label: h.slot == null ? h.bench : `${h.bench} ${h.slot || "–"}`,
                                   backgroundColor: colour, data: h.counts,
                                   barPercentage: 1, categoryPercentage: 1 }] },
      options: {
        scales: { y: { beginAtZero: true, title: { display: true, text: "runs" } } },
        plugins: { measureLimitLines: { ...limits, pixel: measureBinPixel(edges) } },
      },
      plugins: [measureLimitLines],
    });

  document.getElementById("measure-stats").replaceChildren(table([
    ["Bench", (s) => s.bench], ["Week", (s) => s.week], ["Runs", (s) => s.runs],
    ["Mean", (s) => number(s.mean, 3)], ["Standard deviation", (s) => number(s.sd, 3)],
    ["Cpk", (s) => el("span", {
      class: s.cpk == null ? "" : s.cpk < 1 ? "failed" : s.cpk < 1.33 ? "marginal" : "passed",
      text: number(s.cpk, 2) })],
    ["Limits", (s) => measureRange(s)],
  ], stats.filter((s) => s.measurement === name)));

  const benches = [...new Set(runs.map((r) => r.bench))].sort();
  const limitLine = (key, label, colour = measureLimitColour, dash = []) => ({
    label, data: runs.map((r) => r[key]), borderColor: colour, backgroundColor: colour,
    stepped: true, pointRadius: 0, borderWidth: 2, borderDash: dash,
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
      })), limitLine("low", "low limit"), limitLine("high", "high limit"),
      limitLine("marginal_low", "low marginal", measureMarginalColour, [6, 4]),
      limitLine("marginal_high", "high marginal", measureMarginalColour, [6, 4])]
        .filter((d) => d.data.some((v) => v != null)),
    },
    options: { scales: { x: { ticks: { maxTicksLimit: 12 } }, y: { title: { display: true, text: name } } } },
  });
}
