// A unit's page: every run of the serial number in the address, newest first, the runs
// of the day in ?day= marked, and the label's barcode drawn again.
"use strict";

// null when the address is not a percent-encoded serial number (a mistyped link).
const serial = (() => {
  try {
    return decodeURIComponent(location.pathname.slice("/unit/".length));
  } catch {
    return null;
  }
})();
const markedDay = new URLSearchParams(location.search).get("day");

// The label's barcode text: the serial with a-z in upper case, "-", the date as ddmmyy.
function labelText(day) {
  const [year, month, date] = day.split("-");
  return serial.replace(/[a-z]/g, (c) => c.toUpperCase()) + "-" + date + month + year.slice(2);
}

function showBarcode(day) {
  const text = labelText(day);
  const image = document.getElementById("barcode");
  image.addEventListener("error", () => { image.hidden = true; });
  image.src = "/label/" + encodeURIComponent(text) + ".svg";
  document.getElementById("barcode-text").textContent = text;
}

// The run's journal and raw report, fetched when first opened.
function details(run) {
  const box = el("details", {}, el("summary", { text: "journal and report" }));
  box.addEventListener("toggle", async () => {
    if (box.dataset.loaded) return;
    box.dataset.loaded = "1";
    const record = await getJson("/api/run/" + encodeURIComponent(run.id));
    box.append(el("pre", { class: "journal", text: [].concat(record.journal ?? []).join("\n") }),
               el("pre", { class: "report", text: [].concat(record.report ?? []).join("\n") }));
  });
  return box;
}

async function load() {
  const runs = await getJson("/api/unit/" + encodeURIComponent(serial));
  const rows = table([
    ["Started", (r) => link("/run/" + encodeURIComponent(r.id), when(r.started))],
    ["Bench", (r) => r.bench],
    ["Verdict", (r) => el("span", { class: r.verdict, text: r.verdict })],
    ["Failures", (r) => (r.failures ?? []).join("; ")],
    ["Message", (r) => r.message ?? ""],
    ["", details],
  ], runs);
  runs.forEach((run, i) => {
    if (markedDay && run.started.startsWith(markedDay))
      rows.tBodies[0].rows[i].classList.add("marked");
  });
  document.getElementById("runs").replaceChildren(
    runs.length ? rows : el("p", { class: "none", text: "No runs of this serial number." }));
  // A label is drawn again only for a unit that was tested.
  document.querySelector(".barcode").hidden = !runs.length;
  document.getElementById("barcode-text").textContent = "";
  if (!runs.length) return;
  document.getElementById("serial").textContent = runs[0].serial;
  showBarcode(markedDay || runs[0].started.slice(0, 10));
}

document.addEventListener("DOMContentLoaded", () => {
  if (serial === null) {
    document.getElementById("serial").textContent = "Not a serial number";
    document.querySelector(".barcode").hidden = true;
    document.getElementById("runs").replaceChildren(el("p", { class: "none", text:
      "This address does not name a serial number (a % not followed by two hex digits)." +
      " Search for the serial number above." }));
    return;
  }
  document.getElementById("serial").textContent = serial;
  document.title = "tolvek: " + serial;
  load().catch((e) => setStatus(e.message));
  followChanges(load);
});
