#!/usr/bin/python3
"""The web console in a real browser: headless Debian chromium driven by selenium, against a
gateway fed by kelvara-netsim. With --screenshots DIR it also saves a picture of each page."""

import argparse
import json
import re
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

DEMO = "4B454C5600000001"  # Boiler room climate, TH sensor
ADDED = "4B454C5600000002"  # Cold store climate, added through the form
ADMIN_PASSWORD = "b0iler,room"
VIEWER_PASSWORD = "look only"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def need_peers():
    for program, package in (("chromium", "chromium"), ("chromedriver", "chromium-driver"), ("mbpoll", "mbpoll")):
        if not shutil.which(program):
            fail("%s is missing: install the Debian package %s" % (program, package))
    try:
        import selenium  # noqa: F401
    except ImportError:
        fail("selenium is missing: install the Debian package python3-selenium")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# Most waits only bound a loop: on a machine busy with other work they get three times as long.
# A wait that is itself what the page promises (a value within 3 s of its uplink) is kept exact.
BOUND_SLACK = 3


def wait_for(what, condition, seconds, exact=False):
    from selenium.common.exceptions import StaleElementReferenceException, NoSuchElementException
    bound = seconds if exact else seconds * BOUND_SLACK
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        try:
            value = condition()
        except (StaleElementReferenceException, NoSuchElementException):
            # The page changed under the look: look again.
            value = None
        if value:
            return value
        time.sleep(0.05)
    fail("%s within %s s" % (what, bound))


class Gateway:
    def __init__(self, build, source, work):
        self.kelvara = os.path.join(build, "kelvara")
        self.work = work
        self.web_port = free_port()
        self.modbus_port = free_port()
        self.added_port = free_port()
        os.makedirs(os.path.join(work, "deviceFolder"))
        for template in ("th-sensor.json", "pulse-counter.json", "status-reporter.json"):
            shutil.copy(os.path.join(source, "examples", template), os.path.join(work, "deviceFolder"))
        self.netsim = subprocess.Popen(
            [os.path.join(build, "tools", "netsim", "kelvara-netsim"), "--port", "0", "--login", "demo", "--password",
             "kelvara", "--devices", os.path.join(source, "examples", "demo-devices.json"), "--rate", "10",
             "--duration", "120"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.netsim.stdout.readline().strip()
        if not line.startswith("listening on port "):
            fail("the simulator did not start: " + line)
        netsim_port = int(line.rsplit(" ", 1)[1])
        with open(os.path.join(work, "settings.conf"), "w") as settings:
            settings.write("[server]\nip=127.0.0.1\nport=%d\nlogin=demo\npassword=kelvara\n"
                           "[web]\nlisten=127.0.0.1:%d\n" % (netsim_port, self.web_port))
        self.run("web", "user", "add", "boss", "--admin", "--password-stdin", stdin=ADMIN_PASSWORD + "\n")
        self.run("web", "user", "add", "guest", "--password-stdin", stdin=VIEWER_PASSWORD + "\n")
        self.token = self.run("web", "token", "add", "tests").strip()
        self.run("devices", "add", "--dev-eui", DEMO, "--template", "TH sensor", "--name", "Boiler room climate",
                 "--port", str(self.modbus_port), "--start", "0")
        self.process = subprocess.Popen([self.kelvara, "--headless", "--workdir", work], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        wait_for("the console answering", lambda: self.status_of("/login") == 200, 10)

    def run(self, *arguments, stdin=None):
        done = subprocess.run([self.kelvara, *arguments, "--workdir", self.work], input=stdin, capture_output=True,
                              text=True, timeout=30)
        if done.returncode != 0:
            fail("kelvara %s: %s" % (" ".join(arguments), done.stderr))
        return done.stdout

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.web_port, path)

    def status_of(self, path, method="GET", data=None, token=None):
        request = urllib.request.Request(self.url(path), data=data, method=method)
        if token:
            request.add_header("Authorization", "Bearer " + token)
        try:
            with urllib.request.urlopen(request, timeout=5) as response:
                return response.status
        except urllib.error.HTTPError as error:
            return error.code
        except OSError:
            return 0

    def api(self, path):
        request = urllib.request.Request(self.url("/api/v1/" + path))
        request.add_header("Authorization", "Bearer " + self.token)
        with urllib.request.urlopen(request, timeout=5) as response:
            return json.load(response)

    def api_once_there(self, path):
        """None while the resource answers 404: a device just added reaches the console's
        snapshot of the devices a moment after the page moved on to it."""
        try:
            return self.api(path)
        except urllib.error.HTTPError as error:
            if error.code == 404:
                return None
            raise

    def stop(self):
        for process in (self.process, self.netsim):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


def browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--user-data-dir=" + profile,
                 "--window-size=1280,900"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def log_in(driver, gateway, user, password):
    from selenium.webdriver.common.by import By
    driver.get(gateway.url("/login"))
    driver.find_element(By.ID, "user").send_keys(user)
    driver.find_element(By.ID, "password").send_keys(password)
    driver.find_element(By.ID, "login-button").click()


def log_out(driver):
    from selenium.webdriver.common.by import By
    driver.find_element(By.ID, "logout").click()
    wait_for("the log-in form after log-out", lambda: driver.current_url.endswith("/login"), 5)


def value_cell(driver, name):
    # Read in one go in the page: the table is redrawn under a reader that walks it cell by cell.
    return driver.execute_script(
        "for (const row of document.querySelectorAll('#registers tbody tr'))"
        "  if (row.cells[2].textContent === arguments[0]) return row.cells[4].textContent;"
        "return null;", name)


def check(driver, gateway, shots):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    log_in(driver, gateway, "boss", ADMIN_PASSWORD)
    wait_for("the overview after log-in", lambda: driver.current_url.endswith("/overview"), 5)
    wait_for("the overview's figures", lambda: driver.find_element(By.ID, "st-server").text.endswith("connected"), 5)
    if shots:
        driver.save_screenshot(os.path.join(shots, "web_overview.png"))

    driver.get(gateway.url("/devices"))
    wait_for("the demo device listed", lambda: "Boiler room climate" in driver.find_element(By.ID, "devices").text, 5)
    if shots:
        driver.save_screenshot(os.path.join(shots, "web_devices.png"))

    # A new uplink's value is on the device page within 3 s.
    driver.get(gateway.url("/device?eui=" + DEMO))
    wait_for("the register values", lambda: value_cell(driver, "Frame counter"), 5)
    before = gateway.api("devices/%s/uplinks" % DEMO)[-1]["fcnt"]
    wait_for("a new uplink", lambda: gateway.api("devices/%s/uplinks" % DEMO)[-1]["fcnt"] != before, 10)
    arrived = time.monotonic()
    fcnt = gateway.api("devices/%s/uplinks" % DEMO)[-1]["fcnt"]
    # Uplinks come faster than the page polls: this one's frame counter, or a later one's.
    def shows_fcnt():
        shown = value_cell(driver, "Frame counter") or ""
        return shown.isdigit() and int(shown) >= fcnt
    wait_for("frame counter %d on the page" % fcnt, shows_fcnt, 3, exact=True)
    print("value on the page %.2f s after its uplink" % (time.monotonic() - arrived))

    # The trend: the chosen value's points as the history answers them, drawn on the canvas,
    # and one more as the next uplink arrives.
    def trend_points():
        match = re.match(r"^Temperature x0\.1: (\d+) points$", driver.find_element(By.ID, "trend-caption").text)
        return int(match.group(1)) if match else None
    wait_for("the temperature's trend", lambda: trend_points(), 5)
    Select(driver.find_element(By.ID, "trend-range")).select_by_visible_text("hour")
    shown = trend_points()
    answered = gateway.api("devices/%s/history?value=%s" % (DEMO, urllib.parse.quote("Temperature x0.1")))
    if answered["unit"] != "" or not answered["points"] or "value" not in answered["points"][0]:
        fail("the history's answer: %s" % answered)
    wait_for("a point more on the trend", lambda: (trend_points() or 0) > shown, 10)
    # Pixels of the line's colour: the points are drawn, not only the axes.
    drawn = driver.execute_script(
        "const c = document.getElementById('trend-chart');"
        "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
        "let n = 0;"
        "for (let i = 0; i < d.length; i += 4)"
        "  if (Math.abs(d[i] - 31) < 12 && Math.abs(d[i + 1] - 119) < 12 && Math.abs(d[i + 2] - 180) < 12 && d[i + 3] > 200) ++n;"
        "return n;")
    if drawn < 20:
        fail("the trend shows %d pixels of its line" % drawn)
    axis = driver.execute_script("return Chart.getChart('trend-chart').options.scales.y.title.text;")
    if axis != "Temperature x0.1":
        fail("the trend's axis reads %r" % axis)
    if shots:
        wait_for("the uplink list", lambda: driver.find_elements(By.CSS_SELECTOR, "#uplinks tbody tr"), 5)
        driver.save_screenshot(os.path.join(shots, "web_device.png"))

    # A device added through the form is read by mbpoll.
    driver.get(gateway.url("/add"))
    wait_for("the templates", lambda: driver.find_elements(By.CSS_SELECTOR, "#add-template option"), 5)
    driver.find_element(By.ID, "ask-server").click()
    wait_for("the server's devices", lambda: ADDED in driver.find_element(By.ID, "candidates").text, 5)
    if shots:
        driver.save_screenshot(os.path.join(shots, "web_add.png"))
    driver.find_element(By.CSS_SELECTOR, "button.pick[data-eui='%s']" % ADDED).click()
    Select(driver.find_element(By.ID, "add-template")).select_by_value("TH sensor")
    driver.find_element(By.ID, "add-port").send_keys(str(gateway.added_port))
    driver.find_element(By.ID, "add-button").click()
    wait_for("the added device's page", lambda: ("eui=" + ADDED) in driver.current_url, 5)
    wait_for("an uplink of the added device", lambda: gateway.api_once_there("devices/%s/uplinks" % ADDED), 10)
    expected = wait_for("the added device's battery", lambda: next(
        (r["raw"] for r in gateway.api_once_there("devices/%s/registers" % ADDED) or [] if r["name"] == "Battery"
         and r["timeMs"]), None), 5)
    polled = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(gateway.added_port), "-a", "1", "-0", "-r", "8", "-c",
                             "1", "-t", "4:hex", "-1", "127.0.0.1"], capture_output=True, text=True, timeout=10)
    if ("[8]: \t0x%s" % expected) not in polled.stdout:
        fail("mbpoll read %r, the console shows 0x%s" % (polled.stdout, expected))

    driver.get(gateway.url("/log"))
    wait_for("the log", lambda: "Web console at" in driver.find_element(By.ID, "log").text, 5)
    if shots:
        driver.save_screenshot(os.path.join(shots, "web_log.png"))
    log_out(driver)
    if shots:
        driver.save_screenshot(os.path.join(shots, "web_login.png"))

    # A viewer sees no control that changes, and the API refuses the change.
    log_in(driver, gateway, "guest", VIEWER_PASSWORD)
    wait_for("the viewer's overview", lambda: driver.current_url.endswith("/overview"), 5)
    driver.get(gateway.url("/device?eui=" + DEMO))
    wait_for("the viewer's device page", lambda: value_cell(driver, "Frame counter"), 5)
    if driver.find_elements(By.ID, "remove-device") or driver.find_elements(By.ID, "nav-add"):
        fail("a viewer is shown a control that changes the device list")
    status = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch('/api/v1/devices/%s', {method: 'DELETE', headers: {'X-CSRF-Token': document.body.dataset.csrf}})"
        ".then(r => done(r.status));" % DEMO)
    if status != 403:
        fail("a viewer's DELETE answered %s, not 403" % status)
    log_out(driver)

    # After log-out every page leads to the log-in form.
    for path in ("/", "/overview", "/devices", "/device?eui=" + DEMO, "/add", "/log"):
        driver.get(gateway.url(path))
        if not driver.current_url.endswith("/login"):
            fail("%s after log-out shows %s" % (path, driver.current_url))

    # Five wrong passwords: 429, for the right one too.
    for attempt in range(5):
        log_in(driver, gateway, "boss", "wrong %d" % attempt)
        expected = "Too many failed log-ins" if attempt == 4 else "Wrong name or password"
        wait_for("'%s' after wrong password %d" % (expected, attempt + 1),
                 lambda: expected in driver.find_element(By.TAG_NAME, "body").text, 5)
    code = gateway.status_of("/login", "POST", ("user=boss&password=" + ADMIN_PASSWORD).encode())
    if code != 429:
        fail("a log-in after five failures answered %s, not 429" % code)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--screenshots")
    arguments = parser.parse_args()
    need_peers()
    work = tempfile.mkdtemp(prefix="kelvara-web-")
    gateway = None
    driver = None
    try:
        gateway = Gateway(arguments.build, arguments.source, os.path.join(work, "gateway"))
        driver = browser(os.path.join(work, "profile"))
        check(driver, gateway, arguments.screenshots)
    finally:
        if driver:
            driver.quit()
        if gateway:
            gateway.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
