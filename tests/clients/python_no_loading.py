"""On a Python whose sqlite3 cannot load extensions, vornel.load names the cause and the fix
instead of failing with an AttributeError. The connection stands in for such a build: it is a
real connection object of a type without the loading methods."""
import sqlite3
import vornel


class NoLoading:
    def __init__(self):
        self.con = sqlite3.connect(":memory:")

    def execute(self, sql):
        return self.con.execute(sql)


try:
    vornel.load(NoLoading())
    raise SystemExit("no error on a connection that cannot load extensions")
except vornel.ExtensionLoadingUnavailable as e:
    text = str(e)
    for part in ("built without extension loading", "--enable-loadable-sqlite-extensions", "pysqlite3"):
        assert part in text, text
print("python without extension loading: explained")
