"""Python's sqlite3 module loads the extension and runs the core functions."""
import json
import sqlite3
import sys

so = sys.argv[1]
con = sqlite3.connect(":memory:")
con.enable_load_extension(True)
con.load_extension(so[:-3] if so.endswith(".so") else so)
version = json.loads(con.execute("SELECT vornel_version()").fetchone()[0])
assert version["runtimes"] == ["stat", "tree"], version
try:
    con.execute("SELECT forecast('SELECT 1', 3)").fetchall()
    raise SystemExit("misuse was not reported")
except sqlite3.OperationalError as e:
    assert str(e).startswith("VORNEL_ERR_SCHEMA: forecast does not take a query string"), e
print("python client: ok (sqlite %s)" % sqlite3.sqlite_version)
