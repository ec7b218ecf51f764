#!/usr/bin/python3
"""The web page in a real headless browser against `reminders serve` on the
sample company: create a set with two rules, preview a message, send, read the
history, and a customer named as a script tag shown as text. Saves a
screenshot of every page."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import Select, WebDriverWait

TODAY = "2026-03-10"
HOSTILE = "<script>alert(1)</script>"


def run(binary, company, *args):
    subprocess.run([binary, "--file", company, "--today", TODAY, *args], check=True,
                   stdout=subprocess.DEVNULL)


def start_server(binary, company):
    server = subprocess.Popen([binary, "--file", company, "--today", TODAY, "serve"],
                              stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    match = re.search(r"(http://127\.0\.0\.1:\d+)/\?token=([0-9a-f]+)", line)
    if not match:
        server.kill()
        raise SystemExit("serve printed no address: %r" % line)
    return server, match.group(0), match.group(1)


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run",
                 "--disable-dev-shm-usage", "--window-size=1280,900", "--user-data-dir=" + profile):
        options.add_argument(flag)
    service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver")
    return webdriver.Chrome(service=service, options=options)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def no_alert(driver):
    try:
        driver.switch_to.alert
    except NoAlertPresentException:
        return
    raise AssertionError("a script from the company file ran")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--screenshots", required=True)
    args = parser.parse_args()
    os.makedirs(args.screenshots, exist_ok=True)
    stale = os.path.join(args.screenshots, "failure.png")
    if os.path.exists(stale):
        os.remove(stale)

    work = tempfile.mkdtemp(prefix="serve-e2e-")
    company = os.path.join(work, "company.db")
    run(args.bin, company, "init", "--sample")
    with open(os.path.join(work, "rename.csv"), "w") as f:
        f.write("id,name,parent,email,type,terms,hidden\n3,%s,,office@cedarridge.test,Wholesale,Net 30,0\n" % HOSTILE)
    run(args.bin, company, "import", "customers", os.path.join(work, "rename.csv"))

    server, url, origin = start_server(args.bin, company)
    driver = None
    try:
        driver = browser(os.path.join(work, "profile"))
        wait = WebDriverWait(driver, 20)

        def shot(name):
            driver.save_screenshot(os.path.join(args.screenshots, name + ".png"))

        # The address with the token leads to Today, without the token.
        driver.get(url)
        wait.until(ec.presence_of_element_located((By.ID, "due")))
        check("token" not in driver.current_url, "the token stays in the address bar")
        names = [td.text for td in driver.find_elements(By.CSS_SELECTOR, "td.customer")]
        check(HOSTILE in names, "the hostile customer name is not shown as text: %r" % names[:5])
        no_alert(driver)
        shot("today")

        # A set with two rules, made in the page.
        driver.get(origin + "/sets")
        driver.find_element(By.ID, "new-invoice-set").click()
        wait.until(ec.presence_of_element_located((By.ID, "set-form")))
        driver.find_element(By.NAME, "name").send_keys("Browser reminders")
        Select(driver.find_element(By.NAME, "group")).select_by_visible_text("All customers")
        driver.find_element(By.ID, "add-rule").click()
        rules = driver.find_elements(By.CSS_SELECTOR, "#rules .rule")
        check(len(rules) == 2, "adding a rule gave %d rules" % len(rules))
        for rule, (days, when) in zip(rules, (("2", "before"), ("12", "after"))):
            field = rule.find_element(By.NAME, "rule_days")
            field.clear()
            field.send_keys(days)
            Select(rule.find_element(By.NAME, "rule_when")).select_by_visible_text(when)
            rule.find_element(By.NAME, "rule_subject").send_keys("Invoice {{invoice}} for {{customer}}")
            rule.find_element(By.NAME, "rule_body").send_keys("Dear {{customer}}, {{amount}} is open.")
        preview = rules[1].find_element(By.CSS_SELECTOR, ".live-preview")
        wait.until(lambda d: "is open." in preview.text)
        check("{{" not in preview.text, "the live preview left placeholders: %r" % preview.text)
        shot("set-editor")
        driver.find_element(By.ID, "save-set").click()
        wait.until(ec.presence_of_element_located((By.ID, "sets")))
        rows = [r.text for r in driver.find_elements(By.CSS_SELECTOR, "#sets tr")]
        mine = [r for r in rows if "Browser reminders" in r]
        check(len(mine) == 1 and "2 days before; 12 days after" in mine[0], "the new set is not listed: %r" % rows)
        shot("sets")

        # The preview shows the message as it will be sent.
        driver.get(origin + "/")
        wait.until(ec.presence_of_element_located((By.ID, "due")))
        driver.find_element(By.CSS_SELECTOR, "a.preview").click()
        message = wait.until(ec.presence_of_element_located((By.ID, "message"))).text
        headers = message.lower()
        check("subject: " in headers and "to: " in headers and "message-id: " in headers,
              "the preview is not a message: %r" % message[:300])
        shot("preview")

        # Send everything due, then find it in the history.
        driver.get(origin + "/")
        wait.until(ec.presence_of_element_located((By.ID, "send-all"))).click()
        summary = wait.until(ec.presence_of_element_located((By.ID, "sent-summary"))).text
        check(re.search(r"Sent [1-9]\d* invoice reminder", summary), "nothing was sent: %r" % summary)
        driver.get(origin + "/history")
        history = [r.text for r in driver.find_elements(By.CSS_SELECTOR, "#history tr")][1:]
        check(history, "the history is empty after sending")
        check(any(HOSTILE in r for r in history), "the hostile name is not in the history as text")
        no_alert(driver)
        shot("history")

        for page in ("groups", "prefs", "outbox"):
            driver.get(origin + "/" + page)
            wait.until(ec.presence_of_element_located((By.TAG_NAME, "h1")))
            no_alert(driver)
            shot(page)
        print("web page checks passed; screenshots in", args.screenshots)
    except Exception:
        if driver:
            print("at", driver.current_url, file=sys.stderr)
            print(re.sub(r"\s+", " ", driver.find_element(By.TAG_NAME, "body").text)[:2000], file=sys.stderr)
            shot("failure")
        raise
    finally:
        if driver:
            driver.quit()
        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=60)
        except subprocess.TimeoutExpired:
            server.kill()
            status = "did not stop"
        shutil.rmtree(work, ignore_errors=True)
    if status != 0:
        raise SystemExit("reminders serve ended with %s" % status)


if __name__ == "__main__":
    main()
