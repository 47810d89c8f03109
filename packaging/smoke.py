"""Runs every docs/ example through a SQLite shell for some platform (native, under qemu-user or
under wine) and compares its output with the page; then lists the content hash of every student
the pages distilled and a digest of smoke_documents.sql's full-precision output, for comparison
across platforms.

    python3 packaging/smoke.py HASHES_OUT LIBRARY SHELL [RUNNER...]

Each page runs in a fresh database file, one shell process per block, so a failing example
reports its own error. Exit status 1 when an example differs."""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

hashes_out, library, shell = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
runner = sys.argv[4:]
root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
load = os.path.splitext(os.path.abspath(library))[0]


def blocks(page):
    out, tag, body = [], None, []
    with open(page, encoding="utf-8") as f:
        for line in f:
            if line.startswith("```"):
                if tag is None:
                    tag, body = line[3:].strip(), []
                else:
                    out.append((tag, "".join(body)))
                    tag = None
            elif tag is not None:
                body.append(line)
    return out


def run(db, sql):
    script = ".nullvalue NULL\n.load %s\n%s\n" % (load, sql)
    p = subprocess.run(runner + [shell, "-bail", db], input=script.encode(), capture_output=True,
                       cwd=root, env=dict(os.environ, WINEDEBUG="-all"))
    out = p.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    err = p.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
    # Wine's own notices (a new prefix being set up) are not the shell's.
    err = "\n".join(l for l in err.splitlines() if not re.match(r"^([0-9a-f]{4}:(err|fixme):|wine: )", l))
    m = re.search(r"(?:Runtime error|Parse error|Error) near line \d+: (.*?)(?:\n|$)", err)
    if m:
        return out + "Error: " + m.group(1), False
    if p.returncode != 0 or err.strip():
        return out + "Error: " + err.strip(), False
    return out, True


if runner and os.path.basename(runner[0]).startswith("wine"):
    # One wine server for the whole run (it ends itself a minute after the last block) rather
    # than a new one, with its services, for every block.
    subprocess.run([os.path.join(os.path.dirname(runner[0]) or ".", "wineserver"), "-p60"], check=False)

failures, examples, hashes = 0, 0, []
with tempfile.TemporaryDirectory() as tmp:
    for name in sorted(os.listdir(os.path.join(root, "docs"))):
        if not name.endswith(".md"):
            continue
        bs = blocks(os.path.join(root, "docs", name))
        db = os.path.join(tmp, name + ".db")
        for i, (tag, body) in enumerate(bs):
            if tag != "sql":
                continue
            got, ok = run(db, body)
            if i + 1 < len(bs) and bs[i + 1][0] == "output":
                examples += 1
                want = bs[i + 1][1]
                if got.rstrip("\n ") != want.rstrip("\n "):
                    failures += 1
                    print("%s: example differs:\n%s\n--- expected\n%s\n--- got\n%s" % (name, body, want, got))
            elif not ok:
                failures += 1
                print("%s: setup failed: %s\n%s" % (name, got, body))
        if os.path.exists(db):
            got, ok = run(db, "SELECT model_id, content_hash FROM _vornel_models WHERE content_hash IS NOT NULL"
                              " AND EXISTS (SELECT 1 FROM sqlite_master WHERE name = '_vornel_models') ORDER BY 1;")
            if ok:
                hashes += [line for line in got.splitlines() if line]
    # Full-precision documents from every libm-backed path, kept beside the hashes for diffing.
    with open(os.path.join(root, "packaging", "smoke_documents.sql"), encoding="utf-8") as f:
        got, ok = run(os.path.join(tmp, "documents.db"), f.read())
    if not ok:
        failures += 1
        print("smoke_documents.sql failed: %s" % got.splitlines()[-1])
    with open(hashes_out + ".documents", "w") as f:
        f.write(got)
    hashes.append("documents|%s" % hashlib.sha256(got.encode()).hexdigest())
with open(hashes_out, "w") as f:
    f.write("".join(h + "\n" for h in sorted(set(hashes))))
print("%s: %d of %d docs examples match, %d distinct model hashes in %s"
      % (" ".join(runner + [os.path.basename(shell)]), examples - failures, examples, len(set(hashes)), hashes_out))
sys.exit(1 if failures else 0)
