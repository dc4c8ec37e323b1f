#!/usr/bin/env python3
"""The line view in a real browser: headless chromium, driven over the DevTools protocol
(--remote-debugging-pipe), against `tolvek --serve` on an archive of runs that `tolvek
--run` made against the stand-in unit. Run inside scripts/in-unit-netns.

Usage: browser_test.py TOLVEK SOURCE_DIR ARTEFACT_DIR
       browser_test.py --year TOLVEK ARCHIVE SINCE UNTIL [PICTURE]   (for scripts/bench-serve:
       prints how long the line page over those days takes to be drawn, exits 1 past 2 s)
"""

import base64
import datetime
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse

YEAR = sys.argv[1] == "--year"
TOLVEK, SOURCE, ARTEFACTS = sys.argv[2:5] if YEAR else sys.argv[1:4]
UNIT = "192.168.1.178"
SCRIPT = "<script>alert(1)</script>"
IMG = "<img src=x onerror=alert(2)>"

# The archive the pages show: serial number, stand-in scenario, verdict. The first run of
# a unit decides its first pass; the second run of 0123456789ABCDEF is a retest.
RUNS = [
    ("0123456789ABCDEF", "fail-test", "failed"),
    ("0123456789ABCDEF", "pass", "passed"),
    (SCRIPT, "pass", "passed"),
    (IMG, "fail-test", "failed"),
    ("a1b2c3", "ftp-corrupt", "failed"),
]
LATE_RUN = ("LATE0001", "pass", "passed")  # made while the line page is open

passed, failures = [], []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    (passed if condition else failures).append(what)


def make_run(archive, serial, scenario, work, extra=(), unit_extra=()):
    # Start times are kept to the second: each run starts in a second of its own, so
    # which of a unit's runs came first is known.
    time.sleep(1 - time.time() % 1)
    log = os.path.join(work, "unit.log")
    unit = subprocess.Popen(["python3", os.path.join(SOURCE, "standin/tolvek_unit.py"),
                             "--address", UNIT, "--scenario", scenario, "--serial", serial,
                             "--log", log, *unit_extra], stdout=subprocess.PIPE, text=True)
    try:
        unit.stdout.readline()  # "ready ..."
        subprocess.run([TOLVEK, "--run", UNIT, "--archive", archive, "--quiet", *extra],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    finally:
        unit.terminate()
        unit.wait(10)


class Browser:
    """Headless chromium and one page of it, over the DevTools protocol's pipe."""

    def __init__(self, profile):
        to_browser, self.send_end = os.pipe()
        self.read_end, from_browser = os.pipe()

        def fds():  # the protocol's pipe is fd 3 (commands) and fd 4 (answers)
            commands, answers = os.dup(to_browser), os.dup(from_browser)
            os.dup2(commands, 3)
            os.dup2(answers, 4)

        self.process = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-pipe", "--user-data-dir=" + profile, "--window-size=1280,1400",
             "--no-first-run", "--disable-extensions", "about:blank"],
            preexec_fn=fds, pass_fds=(3, 4),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(domain + ".enable", session=True)
        # Before any script of a page: notes every element a page ever gets that is not
        # its own, even one removed again at once.
        self.call("Page.addScriptToEvaluateOnNewDocument", session=True, source="""
            window.injected = [];
            new MutationObserver((changes) => {
              for (const change of changes) for (const node of change.addedNodes) {
                if (node.nodeType !== 1) continue;
                for (const e of [node, ...node.querySelectorAll("*")])
                  if (e.matches('script:not([src^="/static/"]), img[src="x"], [onerror]'))
                    window.injected.push(e.outerHTML);
              }
            }).observe(document, { childList: true, subtree: true });""")

    def close(self):
        self.process.kill()
        self.process.wait()

    def message(self, deadline):
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("the browser does not answer")
            chunk = os.read(self.read_end, 1 << 20)
            if not chunk:
                raise EOFError("the browser went away")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, session=False, **params):
        self.next_id += 1
        command = {"id": self.next_id, "method": method, "params": params}
        if session:
            command["sessionId"] = self.session
        os.write(self.send_end, json.dumps(command).encode() + b"\0")
        deadline = time.monotonic() + 30
        while True:
            answer = self.message(deadline)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]
            self.events.append(answer)

    def open(self, url):
        self.call("Page.navigate", session=True, url=url)
        self.wait("document.readyState === 'complete'")

    def js(self, expression):
        result = self.call("Runtime.evaluate", session=True, expression=expression,
                           returnByValue=True, awaitPromise=True)
        return result["result"].get("value")

    def wait(self, expression, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.js(expression):
                return True
            time.sleep(0.1)
        return False

    def type(self, text):
        """Key by key, as a barcode scanner acting as a keyboard types, then Enter."""
        for c in text:
            self.call("Input.dispatchKeyEvent", session=True, type="keyDown", text=c, key=c)
            self.call("Input.dispatchKeyEvent", session=True, type="keyUp", key=c)
        enter = dict(key="Enter", code="Enter", windowsVirtualKeyCode=13)
        self.call("Input.dispatchKeyEvent", session=True, type="keyDown", text="\r", **enter)
        self.call("Input.dispatchKeyEvent", session=True, type="keyUp", **enter)

    def screenshot(self, path, **clip):
        extra = dict(clip={**clip, "scale": 1}, captureBeyondViewport=True) if clip else {}
        data = self.call("Page.captureScreenshot", session=True, format="png", **extra)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def event_count(self, method):
        return sum(1 for e in self.events if e.get("method") == method)

    def policy_violations(self):
        """Messages of the Content-Security-Policy refusing something a page tried."""
        return [e for e in self.events if "Content Security Policy" in json.dumps(e)]


def figures(browser):
    return browser.js("Object.fromEntries([...document.querySelectorAll('.figure')]"
                      ".map(e => [e.id.slice(4), e.textContent]))")


def yield_figures(archive):
    """Today's line of `tolvek --yield`, by its column names, as the page writes them."""
    lines = subprocess.run([TOLVEK, "--yield", "--archive", archive], capture_output=True,
                           text=True).stdout.split("\n\n")[0].splitlines()
    names = lines[0].split()[1:-2]  # between "day" and "first-pass yield"
    values = lines[-1].split()[1:]
    figures = dict(zip(names, values))
    figures["first_pass_yield"] = values[len(names)].replace("%", " %")
    return figures


def main():
    os.makedirs(ARTEFACTS, exist_ok=True)
    work = tempfile.mkdtemp(prefix="tolvek-browser-")
    archive = os.path.join(work, "runs.sqlite")
    # The first unit's two runs go through a port of their own: a rack slot.
    for i, (serial, scenario, _) in enumerate(RUNS):
        make_run(archive, serial, scenario, work, ["--interface", "lo"] if i < 2 else [])

    server = subprocess.Popen([TOLVEK, "--serve", "--listen", "127.0.0.1:0", "--archive", archive],
                              stdout=subprocess.PIPE, text=True)
    base = server.stdout.readline().split()[-1].rstrip("/")
    browser = Browser(os.path.join(work, "profile"))
    try:
        # The line page: today's figures equal the runs made, the charts are drawn.
        browser.open(base + "/")
        check(browser.wait("document.body.dataset.loaded"), "the line page loads its data")
        verdicts = [v for _, _, v in RUNS]
        units = {}
        for serial, _, verdict in RUNS:
            units.setdefault(serial, verdict)
        first_passed = sum(v == "passed" for v in units.values())
        want = {"runs": str(len(RUNS)), "passed": str(verdicts.count("passed")),
                "failed": str(verdicts.count("failed")), "aborted": "0",
                "first_pass_yield": f"{100 * first_passed / len(units):.1f} %"}
        got = figures(browser)
        check(all(got.get(k) == v for k, v in want.items()), f"figures {got} equal {want}")
        check(yield_figures(archive) == {k: got[k] for k in yield_figures(archive)},
              "the figures equal what tolvek --yield prints")
        check(browser.js("Object.values(Chart.instances).filter(c => ['yield-chart', "
                         "'throughput-chart', 'pareto-chart', 'duration-chart', 'rate-chart']"
                         ".includes(c.canvas.id)).length") == 5, "the five line charts are drawn")
        never = browser.js("[...document.querySelectorAll('#never-passed tbody tr')]"
                           ".map(r => [r.cells[0].textContent, decodeURIComponent(r.querySelector('a').pathname)])")
        want_never = sorted([s, "/unit/" + s] for s in units
                            if all(v == "failed" for s2, _, v in RUNS if s2 == s))
        check(sorted(never or []) == want_never,
              f"the units that never passed {never} are listed, linking to their pages")
        last = {serial: verdict for serial, _, verdict in RUNS}
        final = f"{100 * sum(v == 'passed' for v in last.values()) / len(last):.1f} %"
        check(got.get("never_passed") == str(len(want_never)) and got.get("final_yield") == final,
              f"the final yield {final} and the count of units that never passed are shown")
        # Every table downloads as CSV from the server with its rows, the unit's text as text.
        downloads = os.path.join(work, "downloads")
        browser.call("Browser.setDownloadBehavior", behavior="allow", downloadPath=downloads)
        browser.js("document.querySelector('#never-passed a.csv').click()")
        deadline = time.monotonic() + 10
        files = []
        while time.monotonic() < deadline and not [f for f in files if f.endswith(".csv")]:
            time.sleep(0.1)
            files = os.listdir(downloads) if os.path.isdir(downloads) else []
        csv_text = ""
        for name in files:
            if name.endswith(".csv"):
                with open(os.path.join(downloads, name), newline="") as f:
                    csv_text = f.read()
        check(csv_text.startswith("serial,first,last,last_id,last_verdict,runs\r\n")
              and IMG in csv_text and csv_text.count("\r\n") == len(want_never) + 1,
              f"the never-passed table downloads as CSV ({csv_text[:80]!r})")
        check(browser.js("[...document.querySelectorAll('canvas')].every(c => c.width > 0 && "
                         "c.getContext('2d').getImageData(0, 0, c.width, c.height).data"
                         ".some(v => v !== 0))"), "every chart has drawn pixels")
        check(browser.js("document.activeElement.id") == "search-text", "the search field has the focus")
        browser.screenshot(os.path.join(ARTEFACTS, "line-page.png"))

        # Per slot: the page's rows say what `tolvek --yield --by slot` prints; a slot's
        # button lists its runs.
        check(browser.wait("document.querySelectorAll('#slots tbody tr').length === 2"),
              "the slots table has the slot and the runs without a port")
        page = browser.js("[...document.querySelectorAll('#slots tbody tr')]"
                          ".map(r => [...r.cells].map(c => c.textContent))")
        cli = [line.split() for line in subprocess.run(
            [TOLVEK, "--yield", "--by", "slot", "--archive", archive],
            capture_output=True, text=True).stdout.splitlines()[1:]]
        check(len(cli) == 2 and all(
            row[1] == {"-": "no port"}.get(line[1], line[1]) and row[2:5] == line[2:5]
            and line[8] in row[5] for row, line in zip(page, cli)),
            f"the slot rows {page} agree with tolvek --yield --by slot {cli}")
        browser.js("[...document.querySelectorAll('#slots button.slot')]"
                   ".find(b => b.textContent === 'lo').click()")
        check(browser.wait("document.querySelectorAll('#slot-runs tbody tr').length === 2"),
              "the slot's button lists its two runs")

        # The Pareto's bar of the failing self-test opens its runs; hostile serials show as text.
        top = browser.js("fetch('/api/pareto').then(r => r.json())")[0]
        check(top["runs"] == 2, f"the most frequent failing check {top} has the two runs")
        browser.js("document.querySelector('#pareto button.check').click()")
        check(browser.wait(f"document.querySelector('#pareto-runs')?.textContent.includes({json.dumps(IMG)})"),
              "the runs behind the bar show the hostile serial number as text")

        check(browser.wait("/\\d\\d:\\d\\d:\\d\\d [+-]\\d\\d:\\d\\d/.test("
                           "document.querySelector('#pareto-runs tbody td').textContent)"),
              "run times show with their offset from UTC")

        # A run made while the page is open appears within 10 s; what it did not change
        # (no failing check, no unit that never passed) is not drawn again.
        make_run(archive, *LATE_RUN[:2], work)
        check(browser.wait(f"document.getElementById('fig-runs').textContent === '{len(RUNS) + 1}'", 10),
              "a new run appears on the open page within 10 s")
        redrawn = browser.js("document.body.dataset.redrawn")
        check("summary" in redrawn and "pareto" not in redrawn and "neverPassed" not in redrawn,
              f"only the parts the run changed are drawn again ({redrawn})")

        # The label's barcode text and Enter open the unit's page with today's runs marked.
        label = "0123456789ABCDEF-" + datetime.date.today().strftime("%d%m%y")
        browser.js("document.getElementById('search-text').focus()")
        browser.type(label)
        check(browser.wait("location.pathname === '/unit/0123456789ABCDEF' && "
                           "document.querySelectorAll('tr.marked').length === 2"),
              "the scanned label opens the unit page with the day's two runs marked")
        check(browser.wait("document.getElementById('barcode').naturalWidth > 0"),
              "the unit page draws the label's barcode")
        browser.screenshot(os.path.join(ARTEFACTS, "unit-page.png"))
        browser.type("A1B2C3")
        check(browser.wait("location.pathname === '/unit/A1B2C3' && "
                           "document.querySelectorAll('#runs tbody tr').length === 1"),
              "a serial typed in another letter case finds the unit")

        # A serial number never tested, and an address that names none, say so.
        browser.open(base + "/unit/NOSUCH")
        check(browser.wait("document.querySelector('#runs p')?.textContent === 'No runs of this serial number.'"
                           " && document.querySelector('.barcode').hidden"),
              "an unknown serial number says there are no runs and draws no label")
        browser.open(base + "/unit/%E0%A4%A")
        check(browser.wait("document.querySelector('#runs p')?.textContent.includes('does not name a serial')"),
              "a malformed unit address shows a message")

        # Hostile serial numbers: shown as those characters, nothing of them runs.
        for serial in (SCRIPT, IMG):
            browser.open(base + "/unit/" + urllib.parse.quote(serial, safe=""))
            check(browser.wait(f"document.getElementById('serial').textContent === {json.dumps(serial)} && "
                               "document.querySelectorAll('#runs tbody tr').length === 1"),
                  f"the unit page shows {serial} as text")
            check(browser.js("window.injected") == [], "no element of it ever entered the page")
        check(browser.event_count("Page.javascriptDialogOpening") == 0, "no script of a serial ran")
        check(browser.policy_violations() == [], "no page tried anything its policy forbids")

        # The barcode drawn again reads back as the label's text.
        browser.open(f"{base}/label/{label}.svg")
        picture = os.path.join(ARTEFACTS, "label-barcode.png")
        browser.screenshot(picture)
        read = subprocess.run(["zbarimg", "-q", "--raw", picture], capture_output=True, text=True)
        check(read.stdout.strip() == label, f"the barcode reads {read.stdout.strip()!r}")

        # A run judged by limits: its page shows what each measurement was judged by.
        limits = os.path.join(work, "limits.ini")
        with open(limits, "w") as f:
            f.write("[Limits]\nstep_ms.report = ..600000\nstep_ms.report.marginal = ..-1\n")
        make_run(archive, "LIMITS01", "pass", work, ["--limits", limits])
        history = subprocess.run([TOLVEK, "--history", "LIMITS01", "--archive", archive],
                                 capture_output=True, text=True).stdout.split()
        browser.open(base + "/run/" + (history[-1] if history else "none"))
        check(browser.wait("!document.getElementById('limits-section').hidden && document."
                           "querySelector('#limits span.marginal')?.textContent === 'marginal'"),
              "the run page shows the marginal measurement and its limits")
    finally:
        browser.close()
        server.terminate()
        check(server.wait(10) == 0, "the server ends on SIGTERM with status 0")
    measurement_charts(work)
    print(f"{len(passed)} passed, {len(failures)} failed")
    return 1 if failures else 0


def year_page(archive, since, until, picture=None):
    """The line page over a long period of a large archive: the time until drawn whole;
    with `picture`, a PNG of the whole page (the README's)."""
    work = tempfile.mkdtemp(prefix="tolvek-year-")
    server = subprocess.Popen([TOLVEK, "--serve", "--listen", "127.0.0.1:0", "--archive", archive],
                              stdout=subprocess.PIPE, text=True)
    base = server.stdout.readline().split()[-1].rstrip("/")
    browser = Browser(os.path.join(work, "profile"))
    try:
        seconds = []
        for _ in range(3):  # the first also warms the server's and the system's caches
            browser.open("about:blank")
            browser.call("Page.navigate", session=True, url=f"{base}/?since={since}&until={until}")
            # Drawn whole: the figures, charts and measurements, and the slots' table.
            if not browser.wait("document.body?.dataset.firstDrawnMs"
                                " && document.body.dataset.slotsDrawnMs", 120):
                print("bench-serve: chromium did not draw the line page within 120 s")
                return 1
            seconds.append(max(int(browser.js(f"document.body.dataset.{key}"))
                               for key in ("firstDrawnMs", "slotsDrawnMs")) / 1000)
        if picture:
            height = browser.js("document.documentElement.scrollHeight")
            browser.call("Emulation.setDeviceMetricsOverride", session=True, width=1280,
                         height=height, deviceScaleFactor=1, mobile=False)
            time.sleep(1)  # the charts redraw at the new size on the next frames
            browser.screenshot(picture)
        else:
            browser.screenshot(os.path.join(work, "year.png"))
        best = min(seconds[1:])
        # Where the last load's time went: each part's drawing, each answer's arrival.
        parts = browser.js("document.body.dataset.redrawn")
        answers = browser.js("performance.getEntriesByType('resource')"
                             ".filter(e => e.name.includes('/api/'))"
                             ".map(e => new URL(e.name).pathname.slice(5) + ':'"
                             " + Math.round(e.responseEnd)).join(' ')")
        print(f"bench-serve: chromium drawing (ms): {parts}; answers in at (ms): {answers}",
              flush=True)
        print(f"bench-serve: chromium draws the line page of {since} to {until} in {best:.2f} s"
              f" (first {seconds[0]:.2f} s; goal 2 s); picture {work}/year.png", flush=True)
        return 0 if best <= 2 else 1
    finally:
        browser.close()
        server.terminate()
        server.wait(10)


def measurement_charts(work):
    """An archive of three runs whose FTP the stand-in paces to 3, 4 and 5 MiB/s, judged by
    upload_mib_s = 2.5..6: the line page's histogram shows their counts and the limits."""
    archive = os.path.join(work, "measured.sqlite")
    limits = os.path.join(work, "upload-limits.ini")
    with open(limits, "w") as f:
        f.write("[Limits]\nupload_mib_s = 2.5..6\nupload_mib_s.marginal = 3.5..\n")
    for n, rate in enumerate(("3", "4", "5")):
        make_run(archive, f"RATE{n}", "pass", work, ["--limits", limits], ["--ftp-rate", rate])
    server = subprocess.Popen([TOLVEK, "--serve", "--listen", "127.0.0.1:0", "--archive", archive],
                              stdout=subprocess.PIPE, text=True)
    base = server.stdout.readline().split()[-1].rstrip("/")
    browser = Browser(os.path.join(work, "profile-measures"))
    try:
        browser.open(base + "/")
        check(browser.wait("document.body.dataset.loaded && "
                           "document.getElementById('measure-name')?.value === 'upload_mib_s'"),
              "the line page shows the measurement judged by limits")
        api = browser.js("fetch('/api/histogram?measurement=upload_mib_s').then(r => r.json())")
        check(api["low"] == 2.5 and api["high"] == 6 and len(api["benches"]) == 1
              and sum(api["benches"][0]["counts"]) == 3,
              f"the histogram holds the three runs and the limits: {api}")
        shown = browser.js("Object.values(Chart.instances).filter(c => c.canvas.dataset.bench)"
                           ".map(c => c.data.datasets[0].data)")
        check(shown == [b["counts"] for b in api["benches"]], f"the bars {shown} are its counts")
        lines = json.loads(browser.js("document.querySelector('#measure-histograms canvas')"
                                      "?.dataset.limitLines ?? '[]'"))
        check([line["value"] for line in lines] == [2.5, 6], f"limit lines at 2.5 and 6: {lines}")
        # Each line is there in the picture: red pixels at the place it was drawn.
        red = browser.js(
            "(() => { const c = document.querySelector('#measure-histograms canvas');"
            " const lines = JSON.parse(c.dataset.limitLines); const r = devicePixelRatio;"
            " return lines.map(l => { const p = c.getContext('2d').getImageData("
            " Math.round(l.x * r), Math.round(l.y * r), 1, 1).data;"
            " return p[0] > 180 && p[1] < 60 && p[2] < 60; }); })()")
        check(red == [True, True], f"both limit lines are drawn in red: {red}")
        # The marginal band's end apart from them: an amber dashed line, its zone shaded.
        marginal = json.loads(browser.js("document.querySelector('#measure-histograms canvas')"
                                         "?.dataset.marginalLines ?? '[]'"))
        check([line["value"] for line in marginal] == [3.5] and api["marginal_low"] == 3.5,
              f"a marginal line at 3.5: {marginal}")
        amber = browser.js(
            "(() => { const c = document.querySelector('#measure-histograms canvas');"
            " const r = devicePixelRatio; const at = (x, y) => [...c.getContext('2d')"
            ".getImageData(Math.round(x * r), Math.round(y * r), 1, 1).data];"
            " const l = JSON.parse(c.dataset.marginalLines)[0];"
            " const low = JSON.parse(c.dataset.limitLines)[0];"
            " const zone = []; for (let x = low.x + 3; x < l.x - 2; x += 2)"
            " zone.push(at(x, l.y + 10));"
            " return {line: at(l.x, l.y), zone}; })()")
        # Between the bars the shaded zone is white tinted amber (red above blue).
        line, zone = amber["line"], amber["zone"]
        check(line[0] > 180 and 100 < line[1] < 190 and line[2] < 60
              and any(p[0] > p[2] + 15 and p[1] > p[2] + 5 for p in zone),
              f"the marginal line is drawn in amber and its zone shaded: {line}, {zone[:4]}")
        check(browser.js("document.querySelectorAll('#measure-stats tbody tr').length") == 1,
              "one row of mean, sd and Cpk for the bench's week")
        check(browser.js("Object.values(Chart.instances).some(c => c.canvas.id === "
                         "'measure-runchart' && c.data.datasets.some(d => d.label === "
                         "'high limit'))"), "the run chart draws the limit the runs had")
        check(browser.js("Object.values(Chart.instances).some(c => c.canvas.id === "
                         "'measure-runchart' && c.data.datasets.some(d => d.label === "
                         "'low marginal' && d.borderDash.length && d.data.includes(3.5)))"),
              "the run chart draws the marginal band the runs had, dashed")
        box = browser.js("(() => { const r = document.getElementById('measures')"
                         ".getBoundingClientRect(); return {x: r.left, y: r.top + scrollY,"
                         " width: r.width, height: r.height}; })()")
        browser.screenshot(os.path.join(ARTEFACTS, "measures.png"), **box)
        # Per slot: one histogram for each slot of each bench, its counts the slot's.
        browser.js("(() => { const s = document.getElementById('measure-by'); s.value = 'slot';"
                   " s.dispatchEvent(new Event('change')); return true; })()")
        slots = [slot["counts"] for bench in api["benches"] for slot in bench["slots"]]
        check(browser.wait("document.querySelector('#measure-histograms canvas[data-slot]') "
                           "!== null") and browser.js(
                  "Object.values(Chart.instances).filter(c => c.canvas.dataset.slot != null)"
                  ".map(c => c.data.datasets[0].data)") == slots and len(slots) == 1,
              f"per slot, the histograms are the slots' counts: {slots}")
        check(browser.policy_violations() == [], "the measurements break no page policy")
    finally:
        browser.close()
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    sys.exit(year_page(*sys.argv[3:7]) if YEAR else main())
