// One run: its facts, steps, journal, raw report and the whole record as JSON.
"use strict";

const runId = decodeURIComponent(location.pathname.slice("/run/".length));

function lines(value) {
  return [].concat(value ?? []).map((line) => (typeof line === "string" ? line : JSON.stringify(line))).join("\n");
}

document.addEventListener("DOMContentLoaded", async () => {
  document.getElementById("title").textContent = "Run " + runId;
  let record;
  try {
    record = await getJson("/api/run/" + encodeURIComponent(runId));
  } catch (e) {
    setStatus(e.message);
    return;
  }
  const facts = [
    ["Serial number", unitLink(record.serial ?? "")],
    ["Verdict", el("span", { class: record.verdict, text: record.verdict })],
    ["Started", when(record.started)], ["Finished", when(record.finished)],
    ["Bench", record.station?.host ?? ""], ["Unit address", record.address],
    ["Failures", record.failures], ["Message", record.message ?? ""],
    ["Echo, ms", number(record.measurements?.echo_ms, 1)],
    ["Upload, MiB/s", number(record.measurements?.upload_mib_s, 2)],
    ["Download, MiB/s", number(record.measurements?.download_mib_s, 2)],
  ];
  document.getElementById("facts").replaceChildren(table([["", ([name]) => name], ["", ([, value]) => value ?? ""]], facts));
  document.getElementById("steps").replaceChildren(table([
    ["Step", (s) => s.name], ["Duration, ms", (s) => s.ms],
    ["Passed", (s) => (s.passed ? "yes" : "no")],
  ], record.steps ?? []));
  // What each measurement was judged by when the run was made; none without limits.
  const judged = record.limits ?? [];
  document.getElementById("limits-section").hidden = judged.length === 0;
  const bound = (low, high) => (low == null && high == null ? "" : (low ?? "") + ".." + (high ?? ""));
  document.getElementById("limits").replaceChildren(table([
    ["Measurement", (j) => j.measurement], ["Value", (j) => j.value],
    ["Limits", (j) => bound(j.low, j.high)],
    ["Marginal band", (j) => bound(j.marginal_low, j.marginal_high)],
    ["Result", (j) => el("span", { class: j.result, text: j.result })],
  ], judged));
  document.getElementById("journal").textContent = lines(record.journal);
  document.getElementById("report").textContent = lines(record.report);
  document.getElementById("record").textContent = JSON.stringify(record, null, 2);
});
