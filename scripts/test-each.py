"""Runs every Qt Test function of every ctest test alone; see scripts/test-each.

Runs in the build folder, inside the network namespace that scripts/test-each
set up (window tests start their own X display: tests/own-display). Reads the
tests, their commands and environments from ctest itself, so that it runs
exactly what ctest would run.
"""
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import time

jobs = max(1, int(os.environ.get("SPINDRA_EACH_JOBS", "1")))
name_filter = re.compile(os.environ.get("SPINDRA_EACH_FILTER", ""))
out_dir = os.path.abspath("test-each")
shutil.rmtree(out_dir, ignore_errors=True)
os.makedirs(out_dir)

listing = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], check=True,
                                    capture_output=True, text=True).stdout)


def test_environment(props):
    env = dict(os.environ)
    for entry in props.get("ENVIRONMENT", []):
        key, _, value = entry.partition("=")
        env[key] = value
    return env


tests = []
for test in listing["tests"]:
    if not name_filter.search(test["name"]) or not test.get("command"):
        continue
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    if props.get("DISABLED"):
        continue
    tests.append({
        "name": test["name"],
        "command": test["command"],
        "env": test_environment(props),
        "cwd": props.get("WORKING_DIRECTORY", os.getcwd()),
        "timeout": float(props.get("TIMEOUT", 1500)),
    })


def list_functions(test):
    """The test's function names, or None when it is not a Qt Test."""
    try:
        done = subprocess.run(test["command"] + ["-functions"], env=test["env"], cwd=test["cwd"],
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return None
    names = [line.strip() for line in done.stdout.splitlines() if line.strip()]
    if done.returncode != 0 or not names or not all(n.endswith("()") for n in names):
        return None
    return [n[:-2] for n in names]


def run(test, function):
    label = test["name"] + (" " + function if function else "")
    tmp = os.path.join(out_dir, "tmp", label.replace(" ", "."))
    os.makedirs(tmp)
    env = dict(test["env"], TMPDIR=tmp)
    command = test["command"] + ([function] if function else [])
    start = time.monotonic()
    try:
        done = subprocess.run(command, env=env, cwd=test["cwd"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=test["timeout"])
        output, failed = done.stdout, done.returncode != 0
        verdict = "FAIL (exit %d)" % done.returncode if failed else "ok"
    except subprocess.TimeoutExpired as timeout:
        output, failed = timeout.stdout or b"", True
        verdict = "FAIL (timed out after %gs)" % test["timeout"]
    seconds = time.monotonic() - start
    if failed:
        with open(os.path.join(out_dir, label.replace(" ", ".") + ".log"), "wb") as log:
            log.write(output)
    else:
        shutil.rmtree(tmp, ignore_errors=True)
    return label, failed, "%-60s %s  %.1fs" % (label, verdict, seconds)


units = []
for test in tests:
    functions = list_functions(test)
    if functions is None:
        units.append((test, None))
    else:
        units.extend((test, f) for f in functions)

print("test-each: %d functions in %d tests, %d at a time" % (len(units), len(tests), jobs),
      flush=True)
failures = []
with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
    for label, failed, line in pool.map(lambda unit: run(*unit), units):
        print(line, flush=True)
        if failed:
            failures.append(label)

if failures:
    print("\ntest-each: %d of %d failed alone (output in %s):" % (len(failures), len(units),
                                                                  out_dir))
    for label in failures:
        print("  " + label)
    sys.exit(1)
print("\ntest-each: all %d passed alone" % len(units))
