#!/usr/bin/env python3
"""The set-up page in a real browser: headless Chromium driven through
chromedriver. Loads the page served by `qxvisor serve` on 127.0.0.1 with a
simulated camera, drags a crop rectangle, recognises the tray, confirms the
product and runs an accuracy check; checks coordinate.json and the learned
sample, and saves a screenshot of every panel.

Exit status 77 (skipped) only when no browser or driver is installed.
"""
import argparse
import json
import os
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

SKIP = 77
DEADLINE_S = 100  # the whole run; ctest's own timeout is above it


def skip(reason):
    print("SKIP: " + reason + " (scripts/install-deps.sh installs chromium, chromium-driver, python3-selenium)")
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip("python3-selenium is not installed for " + sys.executable)


def find_program(*names):
    for name in names:
        found = shutil.which(name) or (os.path.exists("/usr/bin/" + name) and "/usr/bin/" + name)
        if found:
            return found
    return None


def photos(shared, kind, count, first=0):
    folder = os.path.join(shared, "data/grocery", kind)
    return [os.path.join(folder, name) for name in sorted(os.listdir(folder))[first:first + count]]


def prepare(work, args):
    """Learned bananas (1001, in the catalogue) and carrots (1002), a banana on
    the simulated tray, and two small photo trees for the accuracy run."""
    for code, kind in (("1001", "train/Fruit/Banana"), ("1002", "train/Vegetables/Carrots")):
        os.makedirs(os.path.join(work, "pic_data", code))
        for n, photo in enumerate(photos(args.shared, kind, 3)):
            shutil.copy(photo, os.path.join(work, "pic_data", code, "%d.jpg" % n))
    db = sqlite3.connect(os.path.join(work, "catalogue.db"))
    db.execute("CREATE TABLE qx_goods (pluNo, name, unitPrice, priceUnitDes, imageUrl, keywordPinyin)")
    db.executemany("INSERT INTO qx_goods VALUES (?, ?, ?, 'kg', NULL, ?)",
                   [("1001", "Banana", "1.99", "xj"), ("1002", "Carrots", "0.99", "hlb")])
    db.commit()
    db.close()
    with open(os.path.join(work, "dev.ini"), "w") as ini:
        ini.write("[default]\ncatalogDb = catalogue.db\nsaveImage = 1\n")
    # Kinds that look alike, so that the chart has mistakes to show.
    for kind in ("Fruit/Lemon", "Fruit/Lime", "Fruit/Nectarine", "Fruit/Peach"):
        for tree, first, count in (("train", 0, 1), ("test", 10, 3)):
            os.makedirs(os.path.join(work, tree, os.path.basename(kind)))
            for n, photo in enumerate(photos(args.shared, "train/" + kind, count, first)):
                shutil.copy(photo, os.path.join(work, tree, os.path.basename(kind), "%d.jpg" % n))
    banana = photos(args.shared, "train/Fruit/Banana", 1)[0]
    os.makedirs(os.path.join(work, "frames"))
    subprocess.run([args.frames_tool, banana, os.path.join(work, "frames"), "150", "70", "340", "340", "8"],
                   check=True, timeout=30)
    subprocess.run([args.tool, "learn"], cwd=work, check=True, timeout=60, stdout=subprocess.DEVNULL)


def start_server(work, tool):
    env = dict(os.environ, QX_CAMERA_SOURCE="frames/%03d.jpg")
    server = subprocess.Popen([tool, "serve", "--port", "0"], cwd=work, env=env, stdout=subprocess.PIPE)
    ready, _, _ = select.select([server.stdout], [], [], 30)
    line = server.stdout.readline().decode() if ready else ""
    if "http://127.0.0.1:" not in line:
        server.kill()
        raise RuntimeError("qxvisor serve did not start: " + line)
    return server, line.split("open ")[1].split()[0]


def learned_samples(work, code):
    db = sqlite3.connect("file:%s?mode=ro" % os.path.join(work, "featurexYz.db"), uri=True)
    try:
        return db.execute("select count(*) from feature_code where coalesce(deleted, 0) = 0 and code = ?",
                          (code,)).fetchone()[0]
    finally:
        db.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--frames-tool", required=True)
    parser.add_argument("--shared", required=True)
    parser.add_argument("--screenshots", help="folder for one PNG per panel")
    args = parser.parse_args()

    browser = find_program("chromium", "chromium-browser", "google-chrome")
    driver_path = find_program("chromedriver")
    if not browser or not driver_path:
        skip("no Chromium browser or chromedriver found")

    def out_of_time(signum, frame):
        raise TimeoutError("the browser test took longer than %d s" % DEADLINE_S)
    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(DEADLINE_S)

    work = tempfile.mkdtemp(prefix="qx-setup-page-")
    server = driver = None
    try:
        prepare(work, args)
        server, url = start_server(work, args.tool)
        options = webdriver.ChromeOptions()
        options.binary_location = browser
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1000,1300", "--force-device-scale-factor=1", "--hide-scrollbars"):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service(executable_path=driver_path), options=options)
        driver.set_page_load_timeout(20)
        driver.set_script_timeout(20)
        wait = WebDriverWait(driver, 20)
        driver.get(url)

        def shot(panel):
            if args.screenshots:
                os.makedirs(args.screenshots, exist_ok=True)
                element = driver.find_element(By.ID, "panel-" + panel)
                driver.execute_script("arguments[0].scrollIntoView()", element)
                element.screenshot(os.path.join(args.screenshots, panel + ".png"))

        def text_of(element_id):
            return driver.find_element(By.ID, element_id).text

        # Camera and crop: drag the tray's rectangle on the live picture and save it.
        wait.until(lambda d: d.execute_script("return document.getElementById('frame').naturalWidth") == 640)
        overlay = driver.find_element(By.ID, "overlay")
        driver.execute_script("arguments[0].scrollIntoView()", overlay)
        # Offsets count from the element's centre (320, 240): press at (150, 70), release at (490, 410).
        ActionChains(driver).move_to_element_with_offset(overlay, -170, -170).click_and_hold() \
            .move_by_offset(200, 200).move_by_offset(140, 140).release().perform()
        driver.find_element(By.ID, "save-crop").click()
        wait.until(lambda d: text_of("crop-msg") != "")
        assert text_of("crop-msg") == "Crop rectangle saved.", text_of("crop-msg")
        with open(os.path.join(work, "coordinate.json")) as stored:
            crop = json.load(stored)
        stored = (crop["x"], crop["y"], crop["width"], crop["height"])
        shown = tuple(int(driver.find_element(By.ID, f).get_attribute("value")) for f in ("cx", "cy", "cw", "ch"))
        assert stored == shown, (stored, shown)
        assert all(abs(a - b) <= 1 for a, b in zip(stored, (150, 70, 340, 340))), stored  # within a pixel's rounding
        time.sleep(1.0)  # the tray picture follows the new rectangle
        wait.until(lambda d: d.execute_script("return document.getElementById('tray').naturalWidth") == 340)
        shot("camera")

        # Try it: recognise the banana on the tray and confirm it.
        before = learned_samples(work, "1001")
        driver.find_element(By.ID, "detect").click()
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#candidates button"))
        first = driver.find_elements(By.CSS_SELECTOR, "#candidates button")[0]
        assert first.text == "1. 1001 Banana", first.text
        driver.find_element(By.CSS_SELECTOR, "#candidates button[data-code='1001']").click()
        wait.until(lambda d: text_of("confirm-msg") != "")
        assert "learned, now %d sample(s)" % (before + 1) in text_of("confirm-msg"), text_of("confirm-msg")
        assert learned_samples(work, "1001") == before + 1
        filed = [n for n in os.listdir(os.path.join(work, "pic_data/1001")) if n not in ("0.jpg", "1.jpg", "2.jpg")]
        assert len(filed) == 1, filed  # the confirmed tray picture
        wait.until(lambda d: d.execute_script("return document.getElementById('recognition').naturalWidth") > 0)
        shot("try")

        # Learned products: the confirmed picture among the thumbnails.
        wait.until(lambda d: any(img.get_attribute("alt") == filed[0]
                                 for img in d.find_elements(By.CSS_SELECTOR, "#products img")))
        wait.until(lambda d: d.execute_script(
            "return [...document.querySelectorAll('#products img')].every(i => i.complete && i.naturalWidth > 0)"))
        shot("products")

        # Accuracy: one picture learned per kind, three tested.
        shots = driver.find_element(By.ID, "shots")
        shots.clear()
        shots.send_keys("1")
        driver.find_element(By.ID, "eval").click()
        WebDriverWait(driver, 60).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#eval-chart tr")) == 4)
        assert "over 12 pictures" in text_of("eval-msg"), text_of("eval-msg")
        shot("accuracy")

        # Status: the learned samples and the day's log.
        wait.until(lambda d: "Learned samples" in text_of("status") and text_of("log") != "")
        shot("status")
        print("set-up page: crop dragged and stored, banana recognised and learned, accuracy charted")
        return 0
    finally:
        signal.alarm(0)
        if driver:
            driver.quit()
        if server:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
