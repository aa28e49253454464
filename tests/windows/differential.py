#!/usr/bin/env python3
"""The builds' exports of the same random models, compared byte for byte.

    differential.py prepare WORK_DIR LINUX_BUILD_DIR COUNT BUILD...
        writes COUNT random models into WORK_DIR/models, exports each with the
        Linux build into WORK_DIR/linux/NAME/, and for each Windows BUILD name
        (say win32) writes the test host's list WORK_DIR/BUILD.list: each model
        and the name to choose for it, WORK_DIR/BUILD/NAME.3D, as Windows paths.
        The test host keeps each log there as NAME.log.
    differential.py compare WORK_DIR BUILD...
        prints one line, "windows differential: N models, 32-bit identical: A,
        64-bit identical: B" for the builds win32 and win64, writes what differs
        to WORK_DIR/differences.txt, and fails unless every model is identical.

A model's export is identical when the build wrote the same files as the
Linux build, byte for byte, the log after its two leading paths aside.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def windows_path(path):
    """Wine sees the whole file system as drive Z:."""
    return "Z:" + path.replace("/", "\\")


def model_names(work):
    return sorted(name[: -len(".hm.json")] for name in os.listdir(os.path.join(work, "models")))


def prepare(work, linux_build, count, builds):
    models = os.path.join(work, "models")
    subprocess.run([sys.executable, os.path.join(HERE, "random_models.py"), models, "--count", str(count)], check=True)
    exporter = os.path.join(os.path.abspath(linux_build), "vantrel-export")
    lists = {build: [] for build in builds}
    for name in model_names(work):
        model = os.path.join(models, name + ".hm.json")
        folder = os.path.join(work, "linux", name)
        os.makedirs(folder)
        done = subprocess.run([exporter, model, os.path.join(folder, name + ".3D"), "--full-log"], cwd=folder,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            sys.exit("%s: the Linux build's export failed (%d): %s" % (model, done.returncode, done.stderr.strip()))
        for build in builds:
            chosen = os.path.join(work, build, name + ".3D")
            lists[build].append("%s\t%s\r\n" % (windows_path(model), windows_path(chosen)))
    for build, lines in lists.items():
        os.makedirs(os.path.join(work, build))
        with open(os.path.join(work, build + ".list"), "w", newline="") as out:
            out.writelines(lines)


def log_rest(log_path, folder, name, to_path):
    """The log after its two leading paths, or None when it does not begin with them."""
    with open(log_path, "rb") as log:
        text = log.read()
    prefix = (to_path(os.path.join(folder, name + "_d.3d")) + to_path(os.path.join(folder, name + "_a.3d"))).encode()
    return text[len(prefix):] if text.startswith(prefix) else None


def difference(linux, windows, name):
    """What differs between the Linux export of one model and a Windows build's; None when nothing does."""
    files = sorted(os.listdir(linux))
    kept_as = {name + ".log": name + ".log"}  # the DLL host's log, kept under the program's name
    written = sorted(f for f in os.listdir(windows) if f.startswith(name) and f[len(name)] in "._")
    if written != sorted(kept_as.get(f, f) for f in files):
        return "wrote %s, the Linux build %s" % (written, files)
    for file in files:
        if file in kept_as:
            expected = log_rest(os.path.join(linux, file), linux, name, lambda p: p)
            got = log_rest(os.path.join(windows, kept_as[file]), windows, name, windows_path)
            if expected is None or got is None:
                return "a log does not begin with its paths"
        else:
            with open(os.path.join(linux, file), "rb") as a, open(os.path.join(windows, file), "rb") as b:
                expected, got = a.read(), b.read()
        if expected != got:
            at = next((i for i, (x, y) in enumerate(zip(expected, got)) if x != y), min(len(expected), len(got)))
            return "%s differs from byte %d (sizes %d, %d)" % (file, at, len(expected), len(got))
    return None


def compare(work, builds):
    names = model_names(work)
    identical = {}
    with open(os.path.join(work, "differences.txt"), "w") as report:
        for build in builds:
            identical[build] = 0
            for name in names:
                found = difference(os.path.join(work, "linux", name), os.path.join(work, build), name)
                if found:
                    report.write("%s %s: %s\n" % (build, name, found))
                else:
                    identical[build] += 1
    print("windows differential: %d models, 32-bit identical: %d, 64-bit identical: %d"
          % (len(names), identical.get("win32", 0), identical.get("win64", 0)))
    return all(count == len(names) for count in identical.values()) and len(names) > 0


def main():
    if len(sys.argv) >= 6 and sys.argv[1] == "prepare":
        prepare(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:])
    elif len(sys.argv) >= 4 and sys.argv[1] == "compare":
        sys.exit(0 if compare(sys.argv[2], sys.argv[3:]) else 1)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
