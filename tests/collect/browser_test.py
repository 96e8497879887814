#!/usr/bin/env python3
"""The operator's page in a real browser (headless Chromium through Selenium).

usage: browser_test.py ORVANT_COLLECT UPLOADER CATALOGUE ARTIFACTS_DIR

Starts `ORVANT_COLLECT serve` on 127.0.0.1 with a scratch store, the
operator's password and CATALOGUE; sends takes spoken by espeak-ng (one of
them too quiet) with the recording program's own upload code (UPLOADER);
then the browser is refused without the password (401), logs in, opens the
upload from the table, finds the phrases' captions, the flags and the
waveforms, plays a take to its end, checks the coverage page, that every
text has a contrast of at least 4.5:1 and that a phone-sized window needs
no sideways scrolling, and saves a screenshot of each page in ARTIFACTS_DIR.
Exits 77 (skipped) when Chromium or its driver is not installed.
"""
import base64, json, os, shutil, signal, subprocess, sys, tempfile, time, urllib.error, urllib.request

BIN, UPLOADER, CATALOGUE, ARTIFACTS = (os.path.abspath(a) for a in sys.argv[1:5])
PASSWORD = "correct horse battery"
SPEAKER = "<b>Zo\u00eb</b> & \"M\u00fcller\""
OTHER = "Ana Sousa"
TAKES = [("g01.wav", "Hello, world.", 1.0), ("g02.wav", "Good morning!", 0.005), ("n01.wav", "One, two, three.", 1.0)]

# Contrast of every element's own text against the background it stands on
# (the first ancestor with an opaque background), by WCAG 2.x.
CONTRAST_JS = r"""
function rgb(s){const m=s.match(/[\d.]+/g).map(Number);return {r:m[0],g:m[1],b:m[2],a:m.length>3?m[3]:1};}
function lum(c){const f=v=>{v/=255;return v<=0.03928?v/12.92:Math.pow((v+0.055)/1.055,2.4);};
  return 0.2126*f(c.r)+0.7152*f(c.g)+0.0722*f(c.b);}
function bg(el){for(let e=el;e;e=e.parentElement){const c=rgb(getComputedStyle(e).backgroundColor);if(c.a>0.99)return c;}
  return {r:255,g:255,b:255,a:1};}
const worst=[];
for(const el of document.querySelectorAll('body *')){
  const own=[...el.childNodes].some(n=>n.nodeType===3&&n.textContent.trim());
  if(!own||el.closest('svg')||!el.getClientRects().length)continue;
  const a=lum(rgb(getComputedStyle(el).color)),b=lum(bg(el));
  const ratio=(Math.max(a,b)+0.05)/(Math.min(a,b)+0.05);
  worst.push([ratio,el.tagName+' '+el.textContent.trim().slice(0,30)]);
}
worst.sort((x,y)=>x[0]-y[0]);return worst.slice(0,3);
"""


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True)


def main():
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        webdriver = None
    if not chromium or not driver or webdriver is None:
        print("SKIP: needs chromium, chromium-driver and python3-selenium (Debian packages)")
        return 77
    tmp = tempfile.mkdtemp(prefix="orvant-browser-")
    server = browser = None
    problems = []
    try:
        rec, store = os.path.join(tmp, "recorded"), os.path.join(tmp, "store")
        os.makedirs(rec)
        for name, text, volume in TAKES:
            raw = os.path.join(tmp, "raw.wav")
            run("espeak-ng", "-w", raw, text)
            run("sox", raw, "-r", "22050", "-c", "2", "-b", "16", os.path.join(rec, name), "vol", str(volume), "pad",
                "0.3", "0.3")
        with open(os.path.join(tmp, "pw"), "w") as f:
            f.write(PASSWORD + "\n")
        server = subprocess.Popen([BIN, "serve", "--store", store, "--listen", "127.0.0.1:0", "--allow-root",
                                   "--operator-password-file", os.path.join(tmp, "pw"), "--catalogue", CATALOGUE],
                                  stdout=subprocess.PIPE, stderr=open(os.path.join(tmp, "server.log"), "w"), text=True)
        line = server.stdout.readline()
        if "listening on" not in line:
            print("FAIL: the server did not start:", line, open(os.path.join(tmp, "server.log")).read())
            return 1
        base = line.strip().split()[-1]
        files = [os.path.join(rec, n) for n in ["info.txt"] + [t[0] for t in TAKES]]
        # Another speaker first (two of the takes), then the hostile name.
        for who, takes in ((OTHER, files[1:3]), (SPEAKER, files[1:])):
            with open(files[0], "w", encoding="utf-8", newline="") as f:
                f.write(f"Speakername={who}\r\nCountry=Germany\r\nRegion=Bayern\r\n")
            up = subprocess.run([UPLOADER, base + "/phpu/sndupload.php", files[0], *takes], capture_output=True,
                                text=True)
            if up.returncode != 0:
                print("FAIL: upload refused:", up.stdout, up.stderr)
                return 1
            time.sleep(1.1)  # the uploads' times (whole seconds) tell them apart in the table

        # Independently of the browser: no password, a wrong one.
        for auth in (None, "operator:wrong"):
            req = urllib.request.Request(base + "/")
            if auth:
                req.add_header("Authorization", "Basic " + base64.b64encode(auth.encode()).decode())
            try:
                urllib.request.urlopen(req)
                problems.append(f"{auth}: the page was served")
            except urllib.error.HTTPError as e:
                if e.code != 401 or "Basic" not in e.headers.get("WWW-Authenticate", ""):
                    problems.append(f"{auth}: status {e.code}")

        opts = webdriver.ChromeOptions()
        opts.binary_location = chromium
        for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                  "--autoplay-policy=no-user-gesture-required", "--window-size=1280,900"):
            opts.add_argument(a)
        opts.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        browser = webdriver.Chrome(service=Service(driver), options=opts)
        browser.set_page_load_timeout(30)

        def statuses(url):
            out = []
            for entry in browser.get_log("performance"):
                m = json.loads(entry["message"])["message"]
                if m["method"] == "Network.responseReceived" and m["params"]["response"]["url"] == url:
                    out.append(m["params"]["response"]["status"])
            return out

        def wait_for(what, script, seconds=30):
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                value = browser.execute_script(script)
                if value:
                    return value
                time.sleep(0.1)
            problems.append(f"timed out waiting for {what}")
            return None

        def check_page(name):
            worst = browser.execute_script(CONTRAST_JS)
            if worst and worst[0][0] < 4.5:
                problems.append(f"{name}: contrast {worst[0][0]:.2f} for {worst[0][1]!r}")
            browser.save_screenshot(os.path.join(ARTIFACTS, f"operator-{name}.png"))
            browser.set_window_size(390, 844)  # a phone
            browser.save_screenshot(os.path.join(ARTIFACTS, f"operator-{name}-phone.png"))
            wide = browser.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
            if wide > 0:
                problems.append(f"{name}: {wide} px wider than a phone's window")
            browser.set_window_size(1280, 900)

        # Refused without the password.
        browser.get(base + "/")
        # (Headless Chromium shows its own error page for a refused login.)
        refused = statuses(base + "/")
        if refused != [401] or browser.find_elements(By.ID, "uploads") or SPEAKER in browser.page_source:
            problems.append(f"without a password: statuses {refused}")

        # The password on every request from now on, the audio's included.
        browser.execute_cdp_cmd("Network.enable", {})
        browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {
            "Authorization": "Basic " + base64.b64encode(f"operator:{PASSWORD}".encode()).decode()}})
        browser.get(base + "/")
        speakers = lambda: [r.find_elements(By.TAG_NAME, "td")[1].text
                            for r in browser.find_elements(By.CSS_SELECTOR, "#uploads tbody tr")]
        if speakers() != [SPEAKER, OTHER]:  # newest first
            problems.append(f"uploads table: {speakers()}")
        check_page("uploads")
        # Sorted by name on the server: "<" comes before letters; a second
        # click turns the order round.
        for want in ([SPEAKER, OTHER], [OTHER, SPEAKER]):
            browser.find_element(By.LINK_TEXT, "Speaker").click()
            if speakers() != want:
                problems.append(f"sorted by speaker: {speakers()}, want {want}")
        browser.find_element(By.NAME, "q").send_keys("zo\u00eb\n")  # the filter form
        wait_for("the filter", "return location.search.includes('q=')")
        if speakers() != [SPEAKER]:
            problems.append(f"filtered: {speakers()}")
        browser.find_element(By.CSS_SELECTOR, "#uploads tbody a").click()
        wait_for("the upload page", "return location.pathname === '/upload'")
        sections = browser.find_elements(By.CSS_SELECTOR, "section.take")
        seen = [(s.find_element(By.TAG_NAME, "h2").text, s.find_element(By.CSS_SELECTOR, "p:nth-of-type(2)").text)
                for s in sections]
        want = [("Hello, world.", "Checks: no flags"), ("Good morning!", "Checks: too quiet"),
                ("One, two, three.", "Checks: no flags")]
        if seen != want:
            problems.append(f"takes shown {seen}, want {want}")
        traces = browser.find_elements(By.CSS_SELECTOR, "section.take svg.wave path.trace")
        if len(traces) != len(TAKES) or any(len(t.get_attribute("d")) < 1000 for t in traces):
            problems.append("a take has no waveform")
        if SPEAKER not in browser.find_element(By.TAG_NAME, "h1").text:
            problems.append(f"heading {browser.find_element(By.TAG_NAME, 'h1').text!r}")
        check_page("upload")
        # Play the first take to its end; the player fetches it by ranges.
        browser.execute_script("const a=document.querySelector('audio'); a.muted=true; a.play();")
        if wait_for("the take to play to its end", "return document.querySelector('audio').ended", 60):
            duration = browser.execute_script("return document.querySelector('audio').duration")
            if not 1.0 < duration < 3.0:
                problems.append(f"played a take of {duration} s")
        take_url = browser.execute_script("return document.querySelector('audio').currentSrc")
        got = statuses(take_url)
        if not got or any(s not in (200, 206) for s in got) or 206 not in got:
            problems.append(f"the take was fetched with statuses {got}")

        browser.get(base + "/coverage")
        cells = [r.find_elements(By.TAG_NAME, "td") for r in browser.find_elements(By.CSS_SELECTOR, "#coverage tbody tr")]
        cover = [(c[0].text, c[2].text, c[3].text) for c in cells]
        recorded = [c for c in cover if c[1] != "0"]
        if cover and (cover[0][1] != "0" or sorted(recorded) != sorted(
                [("Hello, world.", "2", "0"), ("Good morning!", "2", "2"), ("One, two, three.", "1", "0")])):
            problems.append(f"coverage {cover}")
        check_page("coverage")
    finally:
        if browser:
            browser.quit()
        if server:
            server.send_signal(signal.SIGTERM)
            try:
                code = server.wait(30)
                if code != 0:
                    problems.append(f"server exit {code}")
            except subprocess.TimeoutExpired:
                server.kill()
                problems.append("the server did not stop")
        shutil.rmtree(tmp, ignore_errors=True)
    for p in problems:
        print("FAIL:", p)
    print(f"browser session: {len(problems)} problems; screenshots in {ARTIFACTS}")
    return 1 if problems else 0


if __name__ == "__main__":
    os.makedirs(sys.argv[4], exist_ok=True)
    sys.exit(main())
