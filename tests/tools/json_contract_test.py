#!/usr/bin/env python3
"""zksndctl's JSON contract, checked on what it writes under Wine, against tessaline-emu and with no
service at all: every command's --json output is one document (JSON Lines for watch and log tail
--follow) valid against its schema in docs/schemas/; a non-zero exit comes with an "error" whose code
is the exit status, and exit 0 with none; the exit-code table of docs/tools.md lists exactly the codes
that `zksndctl --help` gives.

Usage: json_contract_test.py WINE_RUN BIN_DIR SOURCE_DIR"""
import json
import os
import re
import subprocess
import tempfile
import sys
import warnings

import jsonschema  # Debian's python3-jsonschema (scripts/install-deps.sh)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from emulator import start_emulator  # noqa: E402  (tests/support)

WINE_RUN, BIN, SRC = sys.argv[1:4]
SCHEMAS = os.path.join(SRC, "docs", "schemas")
CONTROL = "jsontest%d" % os.getpid()
SETTINGS = "json-contract-settings.bin"  # in BIN, the programs' working folder
failures = []


def validator(name):
    store = {}
    for f in os.listdir(SCHEMAS):
        with open(os.path.join(SCHEMAS, f), encoding="utf-8") as fh:
            schema = json.load(fh)
        store[schema["$id"]] = schema
    schema = store["https://zksndapi.invalid/schemas/%s.schema.json" % name]
    with warnings.catch_warnings():  # RefResolver: the API python3-jsonschema 4.10 has; newer ones warn
        warnings.simplefilter("ignore", DeprecationWarning)
        resolver = jsonschema.RefResolver.from_schema(schema, store=store)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema, resolver=resolver)


def run(program, *args, timeout=120):
    # Output through files, not pipes: a Wine helper the program happens to
    # start (wineserver, a background service) inherits its standard handles
    # and lives on, and a pipe would then never reach its end.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.run([WINE_RUN, program] + list(args), cwd=BIN, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return p.returncode, out.read().decode("utf-8"), err.read().decode("utf-8", "replace")


def check(schema, args, codes, lines=False):
    """Runs zksndctl --json ARGS: exit code among codes, output valid against the schema."""
    # The library through the contract monitor (tests/tools/MonitoredApi.cpp), unless a row names its own
    # or asks for the versions: a broken callback rule fails the row.
    monitor = [] if "--dll" in args or "--version" in args else ["--dll", "zksndapi_monitored.dll"]
    code, out, err = run("zksndctl.exe", "--json", *monitor, *args)
    where = "zksndctl --json %s (exit %d)" % (" ".join(args), code)
    if "callback contract" in err:
        failures.append("%s: %s" % (where, err))
    if code not in codes:
        failures.append("%s: exit code not in %s\n%s\nstandard error:\n%s" % (where, codes, out, err))
    try:
        docs = [json.loads(l) for l in out.splitlines() if l.strip()] if lines else [json.loads(out)]
    except ValueError as e:
        return failures.append("%s: not %s: %s\n%s" % (where, "JSON Lines" if lines else "one JSON document", e, out))
    if not docs:
        return failures.append("%s: no output" % where)
    v = validator(schema)
    for doc in docs:
        for e in v.iter_errors(doc):
            failures.append("%s: %s at %s\n%s" % (where, e.message, list(e.absolute_path), out))
    error = docs[-1].get("error") if isinstance(docs[-1], dict) else None
    if (error or {}).get("code", 0) != code:
        failures.append("%s: the error's code is not the exit status\n%s" % (where, out))
    return docs


def documented_exit_codes():
    with open(os.path.join(SRC, "docs", "tools.md"), encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("## zksndctl"):]
    table = section[section.index("### Exit codes"):]
    table = table[:table.index("\n\n", table.index("|"))]
    return sorted(int(m) for m in re.findall(r"^\| (\d+) \|", table, re.M))


def expect_causes(docs):
    """Every failed row of a status document carries its cause, as a string."""
    if docs and not all(isinstance(c["cause"], str) for c in docs[0]["checks"] if c["result"] == "failed"):
        failures.append("zksndctl --json status: a failed row without its cause\n%s" % docs[0])


def with_emulator(*options):
    # Served, not listed: with --drop-after a list may be cut at every try.
    emu, serving = start_emulator([WINE_RUN, "tessaline-emu.exe", "--control", CONTROL] + list(options),
                                  os.path.join(BIN, "json-contract-emu.txt"), cwd=BIN)
    try:
        if not serving:
            return failures.append("tessaline-emu did not start")
        if options:  # a fault: the failed rows carry their cause
            return expect_causes(check("status", ["--timeout", "2000", "status"], {45}))
        check("devices", ["devices"], {0})
        check("set-default", ["set-default", "1"], {0})
        check("set-default", ["set-default", "99"], {9})
        check("settings-get", ["settings", "get"], {0})
        check("settings-get", ["settings", "get", "--out", SETTINGS], {0})
        check("settings-set", ["settings", "set", SETTINGS], {0})
        check("settings-set", ["settings", "set", "nothere.bin"], {5})
        check("status", ["status"], {0})
        check("watch", ["watch", "--seconds", "2"], {0}, lines=True)
    finally:
        run("tessaline-emu.exe", "--signal", CONTROL, "stop")
        try:
            emu.wait(60)
        except subprocess.TimeoutExpired:
            emu.kill()
            failures.append("tessaline-emu did not stop")
        if os.path.exists(os.path.join(BIN, SETTINGS)):
            os.remove(os.path.join(BIN, SETTINGS))


def main():
    with_emulator()
    with_emulator("--drop-after", "2")  # each connection breaks after the settings reply
    expect_causes(check("status", ["--timeout", "1000", "status"], {41}))  # no pipe
    check("watch", ["--timeout", "1000", "watch", "--seconds", "1"], {30}, lines=True)
    check("devices", ["--timeout", "1000", "devices"], {30})
    check("devices", ["--dll", "nothere.dll", "devices"], {3})
    check("locked", ["locked"], {0})
    check("log-where", ["log", "where"], {0, 8})
    check("log-tail", ["log", "tail", "-n", "5"], {0, 8})  # 8: no log file in this prefix yet
    check("log-tail-follow", ["log", "tail", "--follow", "--seconds", "1"], {0, 8}, lines=True)
    check("log-level", ["log", "level"], {0})
    check("version", ["--version"], {0})
    check("version", ["--dll", "nothere.dll", "--version"], {3})
    check("usage-error", ["frobnicate"], {2})
    check("usage-error", ["set-default", "1", "--out", "x"], {2})
    help_doc = check("help", ["--help"], {0})
    listed = sorted(c["code"] for c in help_doc[0]["exitCodes"]) if help_doc else []
    if listed != documented_exit_codes():
        failures.append("docs/tools.md's exit codes %s differ from zksndctl --help's %s"
                        % (documented_exit_codes(), listed))
    for f in failures:
        print("FAILED: " + f)
    print("json contract: %s" % ("broken" if failures else "kept"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
