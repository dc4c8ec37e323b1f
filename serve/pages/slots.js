// The line page's section per bench and slot (network port): first-pass yield and failing
// checks, and the runs of one slot on demand. Redrawn whenever the page has loaded anew.
"use strict";

function slotPeriod() {
  const query = new URLSearchParams();
  for (const id of ["since", "until"]) {
    const day = document.getElementById(id)?.value;
    if (day) query.set(id, day);
  }
  return query;
}

function slotName(slot) {
  return slot == null ? "no port" : slot;
}

async function showRunsOfSlot(bench, slot) {
  const query = slotPeriod();
  query.set("bench", bench);
  query.set("slot", slot ?? "");
  const runs = await getJson("/api/slots/runs?" + query.toString());
  const target = document.getElementById("slot-runs");
  target.replaceChildren(el("h3", { text: `Runs of ${bench}, ${slotName(slot)}` }), table([
    ["Started", (r) => link("/run/" + encodeURIComponent(r.id), when(r.started))],
    ["Serial number", (r) => r.serial ? unitLink(r.serial) : "–"],
    ["Verdict", (r) => el("span", { class: r.verdict, text: r.verdict })],
  ], runs));
  target.scrollIntoView();
}

async function loadSlots() {
  const slots = await getJson("/api/slots?" + slotPeriod().toString());
  document.getElementById("slots").replaceChildren(table([
    ["Bench", (s) => s.bench],
    ["Slot", (s) => {
      const button = el("button", { class: "slot", type: "button", text: slotName(s.slot) });
      button.addEventListener("click", () => showRunsOfSlot(s.bench, s.slot));
      return button;
    }],
    ["Runs", (s) => s.runs], ["Passed", (s) => s.passed], ["Failed", (s) => s.failed],
    ["First-pass yield", (s) => s.first_pass_yield == null ? "–"
      : `${(100 * s.first_pass_yield).toFixed(1)} % (${s.first_passed}/${s.units})`],
    ["Failing checks", (s) => s.checks.map((c) => `${c.check} (${c.runs})`).join(", ") || "–"],
  ], slots));
  // For the benchmark, as the rest of the page's firstDrawnMs.
  document.body.dataset.slotsDrawnMs ??= String(Math.round(performance.now()));
}

document.addEventListener("DOMContentLoaded", () => {
  // The page's own loader counts its loads in data-loaded: each one after the first brings
  // the slots anew; the first page's slots are asked for at once, beside its other answers.
  const reload = () => loadSlots().catch((e) => setStatus(e.message));
  new MutationObserver(() => {
    if (document.body.dataset.loaded !== "1") reload();
  }).observe(document.body, { attributeFilter: ["data-loaded"] });
  reload();
});
