#!/usr/bin/python3
"""The console's page in a real browser: headless Chromium opens it against
the console and three simulated stations, logs in, starts a session on one
station, sees its card turn rented with the minutes counting down, ends it,
adopts a station that reported by itself and removes it again, and saves a
screenshot of the room.

  browser_test.py --console PROGRAM --agent PROGRAM --screenshot FILE.png
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

STATIONS = [
    ("PC 1", "127.0.0.11", "Counter-Strike"),
    ("PC 2", "127.0.0.12", "Dota 2"),
    # A name with markup in it must show as text.
    ("<img src=x onerror=alert(1)>", "127.0.0.13", None),
]


def start(args, log):
    return subprocess.Popen(args, stdout=open(log, "wb"), stderr=subprocess.STDOUT)


def wait_for(predicate, seconds, what):
    end = time.time() + seconds
    while time.time() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--console", required=True)
    parser.add_argument("--agent", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="zalvo-browser-")
    children = []
    driver = None
    try:
        with open(os.path.join(work, "room.txt"), "w", encoding="utf-8") as room:
            for i, (name, address, program) in enumerate(STATIONS):
                station = os.path.join(work, "station-%d" % i)
                os.makedirs(station)
                with open(os.path.join(station, "windows.txt"), "w", encoding="utf-8") as w:
                    if program:
                        w.write("65552 1200 F %s\n" % program)
                    w.write("65560 1320 - Explorer\n")
                children.append(start([args.agent, "--station", station, "--sample",
                                       "--tick-ms", "100", "--quiet", "--bind", address],
                                      os.path.join(work, "agent-%d.log" % i)))
                room.write('"%s" %s %d 1\n' % (name, address, i + 1))
        db = os.path.join(work, "console.db")
        subprocess.run([args.console, "--db", db, "--set-operator", "anna"],
                       input=b"right horse\n", check=True, stdout=subprocess.DEVNULL)
        console_log = os.path.join(work, "console.log")
        children.append(start([args.console, "--db", db, "--room", os.path.join(work, "room.txt"),
                               "--listen", "127.0.0.1:0", "--bind", "127.0.0.1",
                               "--keepalive-ms", "9900"], console_log))

        def port():
            with open(console_log, encoding="utf-8") as f:
                m = re.search(r"http://127\.0\.0\.1:(\d+)/", f.read())
            return m and m.group(1)
        url = "http://127.0.0.1:%s/" % wait_for(port, 10, "the console")

        options = webdriver.ChromeOptions()
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1280,900",
                     "--user-data-dir=" + os.path.join(work, "chromium")]:
            options.add_argument(flag)
        options.binary_location = "/usr/bin/chromium"
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_page_load_timeout(20)
        wait = WebDriverWait(driver, 20)

        driver.get(url)
        wait.until(EC.visibility_of_element_located((By.ID, "login-name"))).send_keys("anna")
        driver.find_element(By.ID, "login-password").send_keys("right horse")
        driver.find_element(By.ID, "login-button").click()

        def card(address):
            return driver.find_element(By.CSS_SELECTOR, '.card[data-address="%s"]' % address)
        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".card.online")) == 3)
        marked = card("127.0.0.13")
        assert marked.find_element(By.CLASS_NAME, "name").text == STATIONS[2][0]
        assert not marked.find_elements(By.TAG_NAME, "img"), "a station name became markup"
        wait.until(lambda d: "COUNTER-STRIKE" in card("127.0.0.11").text)

        # A PC that is not in the room's file reports: shown as unknown.
        stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        stranger.bind(("127.0.0.14", 0))
        stranger.sendto(b"PING", ("127.0.0.1", 6868))
        stranger.close()
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, '.card.unknown[data-address="127.0.0.14"]'))

        pc1 = card("127.0.0.11")
        pc1.find_element(By.CSS_SELECTOR, "input[type=checkbox]").click()
        minutes = driver.find_element(By.ID, "minutes")
        minutes.clear()
        minutes.send_keys("30")
        driver.find_element(By.CSS_SELECTOR, 'button[data-act="start"]').click()
        wait.until(lambda d: "rented" in card("127.0.0.11").get_attribute("class"))
        left = lambda: card("127.0.0.11").find_element(By.CLASS_NAME, "left").text
        first = wait_for(lambda: re.match(r"(\d+):(\d\d) left", left()), 5, "the minutes left")
        seconds = int(first.group(1)) * 60 + int(first.group(2))
        assert 1790 <= seconds <= 1800, left()
        later = wait_for(lambda: (lambda m: m and int(m.group(1)) * 60 + int(m.group(2)) < seconds and m)(
            re.match(r"(\d+):(\d\d) left", left())), 5, "the countdown")
        assert later
        # The session is on record for today.
        wait.until(lambda d: "PC 1" in d.find_element(By.ID, "session-rows").text)

        os.makedirs(os.path.dirname(os.path.abspath(args.screenshot)), exist_ok=True)
        driver.save_screenshot(args.screenshot)

        # The window list of another station, with a kill button per window.
        card("127.0.0.12").find_element(By.XPATH, ".//button[text()='Windows']").click()
        wait.until(lambda d: "DOTA 2" in d.find_element(By.ID, "windows-list").text)
        assert len(driver.find_elements(By.CSS_SELECTOR, "#windows-list button")) == 2
        driver.find_element(By.XPATH, "//dialog//button[text()='Close']").click()

        # Ending a rented station's session asks first.
        driver.find_element(By.CSS_SELECTOR, 'button[data-act="end"]').click()
        wait.until(EC.alert_is_present()).accept()
        wait.until(lambda d: "free" in card("127.0.0.11").get_attribute("class"))

        # Adopted, it is a station like the others; removed, it is gone once
        # the operator confirms.
        card("127.0.0.14").find_element(By.XPATH, ".//button[text()='Adopt']").click()
        wait.until(lambda d: "unknown" not in card("127.0.0.14").get_attribute("class"))
        card("127.0.0.14").find_element(By.XPATH, ".//button[text()='Remove']").click()
        wait.until(EC.alert_is_present()).dismiss()
        assert card("127.0.0.14"), "a dismissed removal removed the station"
        card("127.0.0.14").find_element(By.XPATH, ".//button[text()='Remove']").click()
        wait.until(EC.alert_is_present()).accept()
        wait.until(lambda d: not d.find_elements(By.CSS_SELECTOR, '.card[data-address="127.0.0.14"]'))
        assert card("127.0.0.11").find_element(By.CLASS_NAME, "left").text == "—"
        wait_for(lambda: "LockWorkStation" in open(os.path.join(work, "station-0", "journal.log"),
                                                   encoding="utf-8").read(), 5, "the station's lock")
        print("browser test passed; screenshot", args.screenshot)
        return 0
    finally:
        if driver:
            driver.quit()
        for child in children:
            child.send_signal(signal.SIGTERM)
        for child in children:
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
