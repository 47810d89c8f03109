"""Builds the vornel wheel from a built library with the standard library alone (no network, no
build backend): python3 packaging/make_wheel.py LIBRARY PLATFORM_TAG VERSION OUT_DIR.
A wheel is a zip archive with the package, a METADATA, a WHEEL tag file and a RECORD of hashes."""
import base64
import hashlib
import os
import re
import sys
import zipfile

lib, plat, version_text, out_dir = sys.argv[1:5]
root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# v0.0.1-alpha.6 -> 0.0.1a6 (the Python spelling of the same version).
m = re.fullmatch(r"v?(\d+\.\d+\.\d+)(?:-(alpha|beta|rc)\.(\d+))?", version_text.strip())
if not m:
    sys.exit("make_wheel: cannot turn version %r into a Python version" % version_text)
version = m.group(1) + ({"alpha": "a", "beta": "b", "rc": "rc"}[m.group(2)] + m.group(3) if m.group(2) else "")
lib_name = "vornel.dll" if lib.endswith(".dll") else "vornel.so"

with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
    readme = f.read()
metadata = f"""Metadata-Version: 2.1
Name: vornel
Version: {version}
Summary: Forecasting, anomaly detection, back-testing and tabular inference as a loadable SQLite extension
License: see the project
Requires-Python: >=3.8
Description-Content-Type: text/markdown

{readme}"""
wheel = f"""Wheel-Version: 1.0
Generator: vornel make_wheel.py
Root-Is-Purelib: false
Tag: py3-none-{plat}
"""
info = f"vornel-{version}.dist-info"
with open(lib, "rb") as f:
    lib_bytes = f.read()
with open(os.path.join(root, "python", "vornel", "__init__.py"), "rb") as f:
    init_bytes = f.read()
files = [("vornel/__init__.py", init_bytes), (f"vornel/{lib_name}", lib_bytes),
         (f"{info}/METADATA", metadata.encode()), (f"{info}/WHEEL", wheel.encode()),
         (f"{info}/top_level.txt", b"vornel\n")]

def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"

record = "".join(record_line(n, d) for n, d in files) + f"{info}/RECORD,,\n"
files.append((f"{info}/RECORD", record.encode()))

os.makedirs(out_dir, exist_ok=True)
path = os.path.join(out_dir, f"vornel-{version}-py3-none-{plat}.whl")
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    for name, data in files:
        # A fixed timestamp and modes: the same inputs give the same wheel, byte for byte.
        zi = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
        zi.external_attr = (0o755 if name.endswith((".so", ".dll")) else 0o644) << 16
        zi.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(zi, data)
print(path)
