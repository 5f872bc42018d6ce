#!/usr/bin/env python3
"""Draws a learning curve written by `qxvisor eval --stream --csv FILE` as a
standalone SVG, with the set-up page's own drawing code (headless Chromium,
the page opened from its file; nothing is fetched), so that the curve in the
docs looks as the accuracy panel shows it.

    /usr/bin/python3 scripts/learning-curve-svg.py docs/learning-curve.csv docs/learning-curve.svg
"""
import csv
import os
import sys

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "qxvisor", "serve_page.html")

# The page's curve, cut loose from the page: its style rules go inside the SVG.
EXTRACT = """
drawCurve(arguments[0]);
const chart = document.getElementById('eval-curve').cloneNode(true);
for (const name of ['hidden', 'class', 'id']) chart.removeAttribute(name);
chart.setAttribute('xmlns', 'http://www.w3.org/2000/svg');
chart.setAttribute('width', '560'); chart.setAttribute('height', '250');
const rules = [...document.styleSheets[0].cssRules].map(r => r.cssText)
  .filter(t => t.startsWith('.curve ') && !t.startsWith('.curve {')).map(t => t.replace(/\\.curve /g, ''));
const style = document.createElementNS('http://www.w3.org/2000/svg', 'style');
style.textContent = 'svg { background: #fff; } ' + rules.join(' ');
chart.insertBefore(style, chart.firstChild);
return new XMLSerializer().serializeToString(chart);
"""


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: learning-curve-svg.py CURVE.csv OUT.svg")
    with open(sys.argv[1]) as table:
        points = [{"block": n + 1, "weighings": int(row["weighings"]), "top1": float(row["block_top1"]),
                   "top5": float(row["block_top5"]), "samples": int(row["samples"])}
                  for n, row in enumerate(csv.DictReader(table))]
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
    try:
        driver.get("file://" + os.path.abspath(PAGE))
        with open(sys.argv[2], "w") as out:
            out.write(driver.execute_script(EXTRACT, points) + "\n")
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
