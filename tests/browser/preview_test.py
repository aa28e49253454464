#!/usr/bin/python3
"""The preview page in a real browser: Debian's Chromium, headless, through
chromedriver. Exports the totem and the skinned sample with --preview, finishes
the sets by hand as a user would (textures, a sequence line of their own), writes
their pages again with vantrel-view, and checks each page against the C++ reader.

Usage: preview_test.py BUILD_DIR [--keep DIR]
Saves the totem's first frame as docs/preview.png."""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import zlib

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BACKGROUND = (43, 47, 54)  # the page's clear colour, rgb(0.169, 0.184, 0.212)
WINDOW = (1280, 720)


def run(arguments, cwd):
    result = subprocess.run(arguments, cwd=cwd, capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(arguments)} exited {result.returncode}:\n{result.stdout}{result.stderr}")
    return result


def decode_png(data):
    """Width, height and rows of RGB tuples of an 8-bit, non-interlaced PNG
    (what Chromium's screenshots are)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, chunks, header = 8, [], None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0, f"unexpected PNG kind {header}"
    channels = 4 if colour == 6 else 3
    raw = zlib.decompress(b"".join(chunks))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up, corner = previous[i], previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return width, height, rows


def write_palettised_bmp(path, width, height, palette, entry_at):
    """An 8-bit palettised BMP, as the engine imports textures."""
    padding = (4 - width % 4) % 4
    pixels = bytearray()
    for y in reversed(range(height)):
        pixels += bytes(entry_at(x, y) for x in range(width)) + b"\0" * padding
    colours = b"".join(bytes((b, g, r, 0)) for r, g, b in palette) + bytes(4 * (256 - len(palette)))
    offset = 54 + len(colours)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    with open(path, "wb") as out:
        out.write(header + info + colours + pixels)


def check_texels(browser, export, view, work):
    """Two flat triangles side by side, each corner of a triangle at one
    coordinate byte, on a masked texture: entries 0 (a hole) up to texel 127,
    blue up to 254, red at 255. Byte 64 must show the background through the
    hole; byte 254 read as b/256 lands between two blue texels (b/255 would
    blend in the red one)."""
    folder = os.path.join(work, "texels")
    os.makedirs(os.path.join(folder, "textures"))
    quad = lambda x0: [{"position": [x0 + dx, dy, 0.0], "uv": [0.5, 0.5]} for dx, dy in ((0, 0), (1, 0), (0, 1))]
    model = {"meshes": [{"name": "Panel", "vertices": quad(0.0) + quad(1.5), "triangles": [[0, 1, 2], [3, 4, 5]]}],
             "materials": [{"name": "Panel", "diffuseTexture": "Texels.bmp"}], "totalFrames": 1}
    with open(os.path.join(folder, "Texels.hm.json"), "w") as out:
        json.dump(model, out)
    run([export, "Texels.hm.json", "Texels.3D"], folder)
    data = bytearray(open(os.path.join(folder, "Texels_d.3d"), "rb").read())
    for triangle, byte in ((0, 64), (1, 254)):
        record = 48 + 16 * triangle
        data[record + 8:record + 14] = bytes([byte, 0] * 3)
    open(os.path.join(folder, "Texels_d.3d"), "wb").write(bytes(data))
    write_palettised_bmp(os.path.join(folder, "textures", "Texels.bmp"), 256, 2,
                         [(0, 0, 0), (40, 60, 230), (230, 40, 40)],
                         lambda x, y: 0 if x < 128 else 1 if x < 255 else 2)
    script = open(os.path.join(folder, "Texels.uc"), encoding="latin-1").read()
    assert "FLAGS=2" in script, "the class no longer imports its textures masked"
    run([view, "Texels.uc"], folder)
    url, errors, requests = browser.open(os.path.join(folder, "Texels.html"))
    assert errors == [], errors
    d = browser.driver
    d.execute_script("window.preview.look(0, 0.9)")  # from above and in front: the panel is seen whichever way it lies
    browser.show(0)
    points = d.execute_script(
        "const p = window.preview.positions(0);"
        "return [0, 1].map(t => window.preview.canvasPoint([0, 1, 2].map(i => "
        "(p[9 * t + i] + p[9 * t + 3 + i] + p[9 * t + 6 + i]) / 3)));")
    width, height, pixels = browser.canvas_pixels()
    hole, texel = [pixels[int(y)][int(x)] for x, y in points]
    assert max(abs(a - b) for a, b in zip(hole, BACKGROUND)) <= 24, f"entry 0 of a masked texture is drawn: {hole}"
    assert texel[2] > 80 and texel[0] < 40, f"byte 254 did not sample blue texels alone (b/256): {texel}"


def script_sequences(script_path):
    """The sequences of a script class, read here independently of the C++
    reader: every #exec MESH SEQUENCE line, in file order."""
    found = []
    with open(script_path, encoding="latin-1") as text:
        for line in text:
            if re.match(r"\s*#exec\s+MESH\s+SEQUENCE\b", line, re.I):
                values = dict((k.upper(), v) for k, v in re.findall(r"(\w+)=(\S+)", line))
                found.append({"name": values["SEQ"], "firstFrame": int(values["STARTFRAME"]),
                              "frameCount": int(values["NUMFRAMES"])})
    return found


def add_sequence_lines(script_path, lines):
    """Pastes lines below the comment that invites them, as a user would."""
    with open(script_path, "rb") as f:
        text = f.read().decode("latin-1")
    anchor = "here to define additional animation sections\r\n"
    assert anchor in text, "the script class has no invitation to add sequences"
    text = text.replace(anchor, anchor + "".join(line + "\r\n" for line in lines))
    with open(script_path, "wb") as f:
        f.write(text.encode("latin-1"))


def as_float32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


class Browser:
    def __init__(self, profile):
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--disable-default-apps", "--disable-extensions", "--enable-unsafe-swiftshader",
                         "--use-angle=swiftshader", f"--user-data-dir={profile}",
                         f"--window-size={WINDOW[0]},{WINDOW[1]}"]:
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.driver.set_script_timeout(60)
        # The page's size, whatever the headless window's frame takes.
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": WINDOW[0], "height": WINDOW[1], "deviceScaleFactor": 1, "mobile": False})

    def open(self, page):
        """Loads the page and waits for window.preview. Returns the console
        errors and the addresses of every request the page made."""
        driver = self.driver
        driver.get("about:blank")
        driver.get_log("browser")
        driver.get_log("performance")  # what came before this page
        url = "file://" + os.path.abspath(page)
        driver.get(url)
        deadline = time.time() + 60
        while time.time() < deadline:
            state = driver.execute_script("return window.preview ? 'ready' : window.previewError || null")
            if state:
                break
            time.sleep(0.1)
        assert state == "ready", f"the page did not become ready: {state}"
        errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        requests = []
        for entry in driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                requests.append(message["params"]["request"]["url"])
        return url, errors, requests

    def show(self, frame):
        self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "window.preview.show(arguments[0]).then(() => done(true), e => done(String(e)));", frame)

    def canvas_pixels(self):
        return decode_png(self.driver.find_element("id", "view").screenshot_as_png)

    def quit(self):
        self.driver.quit()


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, function):
        try:
            function()
            self.passed += 1
            print(f"ok    {name}")
        except Exception:
            self.failed += 1
            print(f"FAIL  {name}\n" + "".join("      " + line for line in traceback.format_exc().splitlines(True)))


def check_page(browser, view, page, script, expected_sequences, screenshot_to=None):
    url, errors, requests = browser.open(page)
    assert errors == [], f"console errors: {errors}"
    # Blob addresses are the page's own images, made in memory.
    strangers = [r for r in requests if r != url and not r.startswith("blob:")]
    assert strangers == [], f"requests other than the page itself: {strangers}"
    assert requests[0] == url, f"the page itself was not the first request: {requests}"

    d = browser.driver
    preview = d.execute_script("const p = window.preview; return {frameCount: p.frameCount, "
                               "vertexCount: p.vertexCount, sequences: p.sequences, problems: p.problems};")
    assert preview["problems"] == [], f"the page lists problems: {preview['problems']}"

    # The sequences as the script class has them, hand-added lines included,
    # in window.preview and in the page's list.
    assert script_sequences(script) == expected_sequences, "the script class was not edited as meant"
    assert preview["sequences"] == expected_sequences, preview["sequences"]
    listed = d.execute_script("return [...document.querySelectorAll('#sequences .sequence')].map(b => "
                              "({name: b.dataset.name, firstFrame: +b.dataset.firstFrame, "
                              "frameCount: +b.dataset.frameCount}))")
    assert listed == expected_sequences, listed

    # The decoded positions equal the C++ reader's, bit for bit as 32-bit floats.
    frames = preview["frameCount"]
    chosen = sorted({0, 1, frames // 4, frames // 3, frames // 2, frames - 1})
    reference = json.loads(run([view, script, "--dump-positions", ",".join(map(str, chosen))], ".").stdout)
    for frame in chosen:
        ours = reference[str(frame)]
        theirs = d.execute_script("return window.preview.positions(arguments[0])", frame)
        assert len(ours) == 3 * preview["vertexCount"] == len(theirs), (len(ours), len(theirs))
        differing = [i for i, (a, b) in enumerate(zip(ours, theirs)) if as_float32(a) != as_float32(b)]
        assert not differing, f"frame {frame}: {len(differing)} coordinates differ, first at {differing[0]}"

    # Frame 0 shows the model in the middle of the view; another frame differs.
    browser.show(0)
    width, height, first = browser.canvas_pixels()
    middle = [first[y][x] for y in range(height // 4, 3 * height // 4) for x in range(width // 4, 3 * width // 4)]
    model = [p for p in middle if max(abs(a - b) for a, b in zip(p, BACKGROUND)) > 24]
    assert len(model) > len(middle) // 20, f"only {len(model)} of {len(middle)} pixels in the middle show the model"
    if screenshot_to:
        d.save_screenshot(screenshot_to)
    # The frame whose positions differ most from frame 0 (a looping clip may
    # come back to it half way).
    other = max(chosen, key=lambda f: sum(abs(a - b) for a, b in zip(reference[str(f)], reference["0"])))
    browser.show(other)
    _, _, later = browser.canvas_pixels()
    changed = sum(1 for a, b in zip(first, later) for p, q in zip(a, b) if p != q)
    assert changed > width * height // 200, f"frame {other} looks like frame 0 ({changed} pixels differ)"
    assert d.execute_script("return window.preview.frame") == other
    assert d.find_element("id", "frame-number").text.startswith(f"frame {other}")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    export, view = os.path.join(build, "vantrel-export"), os.path.join(build, "vantrel-view")
    work = tempfile.mkdtemp(prefix="vantrel-browser-")
    checks = Checks()
    browser = Browser(os.path.join(work, "profile"))
    try:
        totem = os.path.join(work, "totem")
        os.makedirs(os.path.join(totem, "textures"))
        run([export, "--preview", os.path.join(ROOT, "examples", "totem.gltf"), "Totem.3D"], totem)

        # The page of the export as it is: it plays, with the texture the
        # export wrote beside the set.
        texture = re.search(r"FILE=textures\\(\S+)", open(os.path.join(totem, "Totem.uc"), encoding="latin-1").read())
        def export_page():
            url, errors, requests = browser.open(os.path.join(totem, "Totem.html"))
            assert errors == [] and [r for r in requests if not r.startswith("blob:")] == [url], (errors, requests)
            assert texture and os.path.isfile(os.path.join(totem, texture.group(1)))
            assert browser.driver.execute_script("return window.preview.problems") == []
        checks.check("vantrel-export --preview: the totem's page loads with the texture it wrote", export_page)

        # As a user finishes the set: the texture in textures/, a sequence of
        # their own beside the clips' the export wrote.
        shutil.move(os.path.join(totem, texture.group(1)), os.path.join(totem, "textures"))
        add_sequence_lines(os.path.join(totem, "Totem.uc"),
                           ["#exec MESH SEQUENCE MESH=Totem SEQ=Landing STARTFRAME=80 NUMFRAMES=12"])
        run([view, "Totem.uc"], totem)
        os.makedirs(os.path.join(ROOT, "docs"), exist_ok=True)
        checks.check("totem: the page matches the set, with the clips and a hand-added sequence", lambda: check_page(
            browser, view, os.path.join(totem, "Totem.html"), os.path.join(totem, "Totem.uc"),
            [{"name": "All", "firstFrame": 0, "frameCount": 92},
             {"name": "Landing", "firstFrame": 80, "frameCount": 12},
             {"name": "Sway", "firstFrame": 0, "frameCount": 61}, {"name": "Hop", "firstFrame": 61, "frameCount": 31}],
            os.path.join(ROOT, "docs", "preview.png")))

        checks.check("a masked texture's entry 0 is a hole, and a coordinate byte b samples at b/256",
                     lambda: check_texels(browser, export, view, work))

        sample = os.path.join(work, "sample")
        os.makedirs(os.path.join(sample, "textures"))
        run([export, "--preview", os.path.join(ROOT, "examples", "sample.hm.json"), "Sample.3D"], sample)
        for name in ("SampleBody.bmp", "SampleArm.bmp"):
            shutil.copy(os.path.join(ROOT, "examples", name), os.path.join(sample, "textures"))
        add_sequence_lines(os.path.join(sample, "Sample.uc"),
                           ["#exec MESH SEQUENCE MESH=Sample SEQ=Wave STARTFRAME=10 NUMFRAMES=20 RATE=15"])
        # A mesh origin set by hand, as far off as the model is wide: drawn
        # without it, the model would sit beside the box the camera frames.
        with open(os.path.join(sample, "Sample.uc"), "rb") as f:
            text = f.read().decode("latin-1")
        text, count = re.subn(r"#exec MESH ORIGIN MESH=Sample X=0 Y=0 Z=0", "#exec MESH ORIGIN MESH=Sample X=200 Y=-150 Z=90", text)
        assert count == 1, "the script class has no MESH ORIGIN line"
        with open(os.path.join(sample, "Sample.uc"), "wb") as f:
            f.write(text.encode("latin-1"))
        run([view, "Sample.3D"], sample)
        checks.check("sample: the page matches the set, its mesh origin moved", lambda: check_page(
            browser, view, os.path.join(sample, "Sample.html"), os.path.join(sample, "Sample.uc"),
            [{"name": "All", "firstFrame": 0, "frameCount": 48}, {"name": "Wave", "firstFrame": 10, "frameCount": 20}]))
    finally:
        browser.quit()
        if "--keep" not in sys.argv:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("kept", work)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
