#!/usr/bin/env python3
"""`teds serve` in a real browser: headless Chromium driven by Selenium.

Serves a bench with three channels, opens the printed URL and goes through
the page as a user would: the scan table with an overdue row, a sensor's data
sheet with the preview, a write and a rescan that shows it (and the saved
bench that holds it), an out-of-range value that writes nothing, the lock's
confirmation, the decode panel, and the API's refusals of calls without the
token or from another site. A screenshot of each page goes to --artifacts.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

TODAY = "2024-06-01"
BUILT_IN_ROM = "14 3A 7F 1B 05 00 00 B6"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def crc8(data):
    """The 1-Wire CRC-8 of a ROM's first seven bytes."""
    crc = 0
    for byte in data:
        for _ in range(8):
            mix = (crc ^ byte) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
            byte >>= 1
    return crc


def rom(serial):
    body = [0x14] + [(serial >> (8 * i)) & 0xFF for i in range(6)]
    return " ".join("%02X" % b for b in body + [crc8(body)])


def run(teds, *args, stdin=None):
    result = subprocess.run([teds, *args], input=stdin, capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        fail("teds %s: exit %d: %s" % (" ".join(args), result.returncode, result.stderr))
    return result.stdout


def make_bench(teds, path):
    """The built-in bench's sensor (calibration due 2020-12-31: overdue) on
    channel 0, and two more, calibrated recently, on channels 1 and 2."""
    bench = json.loads(run(teds, "bench"))
    first = bench["channels"][0]
    part = first["devices"][0]
    decoded = json.loads(run(teds, "decode", "--json", "--ds2430a", part["application"], part["memory"]))
    # The date changes: the text that restates it goes.
    del decoded["transducers"][0]["templates"][0]["calDateText"]
    sheet = json.dumps(decoded)
    for channel, serial, cal_date in ((1, 0x2A0001, "2024-03-01"), (2, 0x2A0002, "2024-04-15")):
        out = run(teds, "encode", "--sheet", "-", "--set", "serialNumber=%d" % (200000 + channel),
                  "--set", "calDate=" + cal_date, "--rom", rom(serial), stdin=sheet)
        line = next(l for l in out.splitlines() if l.startswith("Bench device: "))
        device = json.loads(line[len("Bench device: "):])
        bench["channels"].append({"channel": channel, "relay": first["relay"], "devices": [device]})
    with open(path, "w") as f:
        json.dump(bench, f, indent=2)
    return [part["rom"], rom(0x2A0001), rom(0x2A0002)]


def start_server(teds, bench):
    server = subprocess.Popen(
        [teds, "serve", "--bench", bench, "--save-bench", bench, "--port", "0", "--poll-ms", "20",
         "--today", TODAY],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    url = server.stdout.readline().strip()
    if not url.startswith("http://127.0.0.1:"):
        server.kill()
        fail("teds serve printed no URL: %r %s" % (url, server.stderr.read()))
    return server, url


def open_browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        fail("Selenium is missing: install python3-selenium (scripts/install-deps.sh --tests)")
    for program in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.path.exists(program):
            fail(program + " is missing: install chromium and chromium-driver "
                 "(scripts/install-deps.sh --tests)")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1100"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class Page:
    """The page in the browser, with waits for what the tests look for."""

    def __init__(self, driver, artifacts):
        from selenium.webdriver.common.by import By
        self.driver = driver
        self.artifacts = artifacts
        self.by = By

    def find(self, css):
        return self.driver.find_element(self.by.CSS_SELECTOR, css)

    def all(self, css):
        return self.driver.find_elements(self.by.CSS_SELECTOR, css)

    def wait(self, what, check, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                if check():
                    return
            except Exception:  # an element replaced while looked at
                pass
            time.sleep(0.1)
        self.screenshot("failed")
        fail("waited %d s for %s" % (timeout, what))

    def screenshot(self, name):
        path = os.path.join(self.artifacts, "serve-%s.png" % name)
        self.driver.save_screenshot(path)
        print("screenshot: " + path)

    def row(self, rom_text):
        return next(r for r in self.all("#scan-table tbody tr") if r.get_attribute("data-rom") == rom_text)

    def scan_done(self):
        return self.find("#progress").get_attribute("data-state") == "done"

    def set_field(self, name, value):
        field = self.find("#field-" + name)
        field.clear()
        field.send_keys(value)

    def readback(self, name):
        field = self.find("#field-" + name)
        return field.find_element(self.by.XPATH, "../../td[@class='readback']").text


def api_status(url, path, headers):
    base = url.split("/?")[0]
    request = urllib.request.Request(base + path, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def check_flows(page, url, roms, bench):
    driver = page.driver
    driver.get(url)
    page.wait("the first scan", page.scan_done)
    rows = page.all("#scan-table tbody tr")
    if len(rows) != 3:
        fail("the table has %d rows, not 3" % len(rows))
    for r in roms:
        page.row(r)
    overdue = page.row(roms[0])
    if "overdue" not in overdue.get_attribute("class") or "OVERDUE" not in overdue.text:
        fail("the built-in sensor's row is not shown as overdue: " + overdue.text)
    if any("overdue" in page.row(r).get_attribute("class") for r in roms[1:]):
        fail("a sensor calibrated this year is shown as overdue")
    page.screenshot("scan")

    # A sensor's data sheet: change sensRef and calDate, see the preview.
    page.row(roms[0]).click()
    page.wait("the data sheet", lambda: not page.find("#sheet-section").get_attribute("hidden"))
    page.set_field("sensRef", "0.0205")
    page.set_field("calDate", "2024-05-20")
    page.wait("the preview of the new values",
              lambda: page.readback("calDate") == "2024-05-20" and
              page.readback("sensRef").startswith("0.0205"))
    if "2024-05-20" not in page.find("#preview-report").text:
        fail("the read-back report does not show the new calibration date")
    if "V/(m/s^2)" not in page.find("#sheet-fields").text:
        fail("the form does not show sensRef's unit")
    page.screenshot("sheet")

    # Write, then rescan: the table and the saved bench hold the new values.
    page.find("#write-button").click()
    page.wait("the write's report", lambda: "ok" in page.find("#write-report").get_attribute("class").split()
              or "failed" in page.find("#write-report").get_attribute("class").split(), timeout=60)
    if "failed" in page.find("#write-report").get_attribute("class"):
        fail("the write failed: " + page.find("#write-report").text)
    page.screenshot("write")
    page.find("#scan-button").click()
    page.wait("the rescan", lambda: page.scan_done() and "2024-05-20" in page.row(roms[0]).text)
    if "overdue" in page.row(roms[0]).get_attribute("class"):
        fail("the rewritten sensor is still shown as overdue")
    page.screenshot("rescan")
    saved = subprocess.run([args.teds, "query", "--bench", bench, "--channel", "0", "--poll-ms", "0",
                            "--quiet"], capture_output=True, text=True, timeout=60).stdout
    if "2024-05-20" not in saved:
        fail("the saved bench does not hold the new calibration date:\n" + saved)

    # An out-of-range value shows the range and writes nothing.
    with open(bench) as f:
        before = f.read()
    page.row(roms[1]).click()
    page.wait("the second sensor's sheet", lambda: roms[1] in page.find("#sheet-rom").text)
    page.set_field("sensRef", "500")
    page.wait("the refusal", lambda: "outside" in page.find("#sheet-error").text)
    field = page.find("#field-sensRef")
    range_cell = field.find_element(page.by.XPATH, "../../td[contains(@class,'range')]")
    if "invalid" not in field.get_attribute("class") or "invalid" not in range_cell.get_attribute("class"):
        fail("the out-of-range value is not marked")
    if " to " not in range_cell.text or not page.find("#write-button").get_attribute("disabled"):
        fail("the range is not shown or Write is not disabled: " + range_cell.text)
    page.screenshot("out-of-range")

    # Locking asks first, naming the ROM and saying it is irreversible.
    page.find("#lock-button").click()
    page.wait("the lock's confirmation", lambda: not page.find("#lock-dialog").get_attribute("hidden"))
    dialog = page.find("#lock-dialog").text
    if roms[1] not in dialog or "irreversible" not in dialog:
        fail("the lock's confirmation does not name the ROM and say it is irreversible: " + dialog)
    page.screenshot("lock")
    page.find("#lock-cancel").click()
    page.wait("the dialog to close", lambda: page.find("#lock-dialog").get_attribute("hidden"))
    time.sleep(0.5)
    with open(bench) as f:
        if f.read() != before:
            fail("the bench changed although nothing was written")

    # Decode a pasted DS2430A dump.
    part = json.loads(before)["channels"][0]["devices"][0]
    page.find("#decode-text").send_keys(part["application"] + "\n" + part["memory"])
    page.find("#decode-button").click()
    page.wait("the decoded report", lambda: "Transducer" in page.find("#decode-output").text)
    page.screenshot("decode")

    # The API refuses calls without the token and from other sites.
    token = url.split("token=")[1]
    if api_status(url, "/api/scan", {}) != 403:
        fail("an API call without the token was not refused with 403")
    if api_status(url, "/api/scan", {"X-Teds-Token": token, "Origin": "http://evil.example"}) != 403:
        fail("an API call from a foreign Origin was not refused with 403")
    if api_status(url, "/api/scan", {"X-Teds-Token": token}) != 200:
        fail("an API call with the token was refused")


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("--teds", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    os.makedirs(args.artifacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="teds_serve_browser_")
    bench = os.path.join(work, "bench.json")
    roms = make_bench(args.teds, bench)
    driver = open_browser()
    server, url = start_server(args.teds, bench)
    try:
        check_flows(Page(driver, args.artifacts), url, roms, bench)
    finally:
        driver.quit()
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            fail("teds serve did not stop on SIGTERM")
        shutil.rmtree(work, ignore_errors=True)
    if status != 0:
        fail("teds serve ended with exit status %d: %s" % (status, server.stderr.read()))
    print("ok")


if __name__ == "__main__":
    main()
