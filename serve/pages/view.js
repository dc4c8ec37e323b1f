// What every page of the line view shares: building the page from data (always as text,
// never as markup), fetching the API, and the search field a label scanner types into.
"use strict";

// An element with text content (never parsed as markup) and children.
function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === "text") node.textContent = value == null ? "" : String(value);
    else node.setAttribute(name, value);
  }
  for (const child of children) node.append(child);
  return node;
}

async function getJson(url) {
  const answer = await fetch(url, { cache: "no-store" });
  if (!answer.ok) throw new Error(`${url}: ${answer.status}`);
  return answer.json();
}

function setStatus(text) {
  const status = document.getElementById("status");
  if (status) status.textContent = text;
}

// A table of rows; each column is [heading, value of a row]. A value that is a node is
// placed as it is, anything else as text.
function table(columns, rows) {
  const head = el("tr", {}, ...columns.map(([heading]) => el("th", { text: heading })));
  const body = rows.map((row) => el("tr", {}, ...columns.map(([, value]) => {
    const v = value(row);
    return v instanceof Node ? el("td", {}, v) : el("td", { text: v });
  })));
  const headed = columns.some(([heading]) => heading);
  return el("table", {}, ...(headed ? [el("thead", {}, head)] : []), el("tbody", {}, ...body));
}

function number(value, digits) {
  return value == null ? "–" : Number(value).toFixed(digits);
}

function link(href, text) {
  return el("a", { href, text });
}

function unitLink(serial) {
  return link("/unit/" + encodeURIComponent(serial), serial);
}

// The label's barcode text is the serial number, "-" and the print date ddmmyy: it opens
// the unit's page with that day's runs marked. Anything else is taken as a serial number.
function searchTarget(text) {
  text = text.trim();
  const label = /^(.+)-(\d\d)(\d\d)(\d\d)$/.exec(text);
  if (label)
    return `/unit/${encodeURIComponent(label[1])}?day=20${label[4]}-${label[3]}-${label[2]}`;
  return "/unit/" + encodeURIComponent(text);
}

// "2026-12-09T08:20:00+01:00" as "2026-12-09 08:20:00".
function when(started) {
  return String(started ?? "").slice(0, 19).replace("T", " ");
}

function localDay(date = new Date()) {
  const pad = (n) => String(n).padStart(2, "0");
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`;
}

// Calls `load` again whenever the data changes. One change feed per browser: an event
// stream (GET /api/changes) whose first event is the store's change text at once, then one
// event whenever a run is added; "failure" events say the store does not answer. A browser
// keeps at most six connections to a server, so of its open pages only the one holding the
// lock reads the feed and tells the others; when it closes, another takes over. The browser
// opens the stream again by itself when it drops, and a changed text then loads again.
function followChanges(load) {
  let last = null;
  const seen = async (change) => {
    setStatus("");
    const moved = last !== null && change !== last;
    last = change;
    if (moved) {
      try { await load(); } catch (e) { setStatus(e.message); }
    }
  };
  const failed = (reason) => setStatus("The database does not answer: " + reason);
  const channel = "BroadcastChannel" in window ? new BroadcastChannel("tolvek-changes") : null;
  const read = () => {
    const feed = new EventSource("/api/changes");
    feed.onmessage = (event) => {
      channel?.postMessage({ change: event.data });
      seen(event.data);
    };
    feed.addEventListener("failure", (event) => {
      channel?.postMessage({ failure: event.data });
      failed(event.data);
    });
    feed.onerror = () => setStatus("The server does not answer; trying again");
  };
  if (!channel || !navigator.locks) {
    read();
    return;
  }
  channel.onmessage = ({ data }) => (data.failure != null ? failed(data.failure) : seen(data.change));
  // Where the page stands until the reading page next tells of a change.
  getJson("/api/changes").then(({ change }) => { if (last === null) last = change; }, () => {});
  navigator.locks.request("tolvek-changes", () => {
    read();
    return new Promise(() => {}); // held while this page is open
  });
}

document.addEventListener("DOMContentLoaded", () => {
  const form = document.getElementById("search");
  const field = document.getElementById("search-text");
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    if (field.value.trim()) location.assign(searchTarget(field.value));
  });
  field.focus();
});
