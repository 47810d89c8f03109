"""The vornel SQLite extension, packaged: forecasting, anomaly detection, back-testing and
tabular inference in plain SQL.

    import sqlite3, vornel
    con = sqlite3.connect("mydata.db")
    vornel.load(con)
    con.execute("SELECT vornel_version()").fetchone()
"""
import os
import sys

__all__ = ["loadable_path", "load", "ExtensionLoadingUnavailable"]

_HERE = os.path.dirname(os.path.abspath(__file__))
_NAMES = {"win32": "vornel.dll", "darwin": "vornel.dylib"}


class ExtensionLoadingUnavailable(RuntimeError):
    """This Python's sqlite3 module cannot load extensions at all."""


def loadable_path():
    """The full path of the extension library inside this package, for any host's load call
    (sqlite3's load_extension, the shell's .load, sqlite-utils --load-extension)."""
    path = os.path.join(_HERE, _NAMES.get(sys.platform, "vornel.so"))
    if not os.path.exists(path):
        raise FileNotFoundError(
            "vornel: the extension library is missing from the package (%s); reinstall the "
            "wheel built for this platform" % path)
    return path


def load(conn):
    """Loads the extension into an open sqlite3 connection (or any connection object with
    enable_load_extension and load_extension, such as pysqlite3's). Extension loading is switched
    on only for the load and off again afterwards."""
    if not hasattr(conn, "enable_load_extension") or not hasattr(conn, "load_extension"):
        raise ExtensionLoadingUnavailable(
            "vornel: this Python's sqlite3 module was built without extension loading (%s has no "
            "enable_load_extension), so no SQLite extension can be loaded into it. Use a Python "
            "whose sqlite3 supports it (Debian's and Ubuntu's /usr/bin/python3, the python.org "
            "installers and conda's python do), rebuild this one with "
            "--enable-loadable-sqlite-extensions (pyenv: PYTHON_CONFIGURE_OPTS="
            "\"--enable-loadable-sqlite-extensions\" pyenv install <version>), or install "
            "pysqlite3 and connect with pysqlite3.dbapi2 instead of sqlite3."
            % ("%s (Python %s at %s)" % (type(conn).__name__, sys.version.split()[0], sys.executable)))
    path = loadable_path()
    conn.enable_load_extension(True)
    try:
        conn.load_extension(path)
    finally:
        conn.enable_load_extension(False)
