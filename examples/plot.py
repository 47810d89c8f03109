"""Renders two pictures of the example database to SVG with nothing but the standard library:
the history, forecast and interval of one store, and the anomalies found in another.

    python3 examples/plot.py [build-folder] [output-folder]

It runs the pinned shell (build/sqlite3) with the extension loaded and reads JSON rows back.
"""
import json
import os
import subprocess
import sys

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build"
OUT = sys.argv[2] if len(sys.argv) > 2 else "docs/img"
HERE = os.path.dirname(os.path.abspath(__file__))
DB = os.path.join(HERE, "example.db")


def query(sql):
    out = subprocess.run([os.path.join(BUILD, "sqlite3"), "-json", "-cmd", ".load " + os.path.join(BUILD, "vornel"),
                          DB, sql], check=True, capture_output=True, text=True).stdout
    return json.loads(out) if out.strip() else []


class Chart:
    W, H, PAD = 900, 340, 48

    def __init__(self, title, xs, ys):
        self.x0, self.x1 = min(xs), max(xs)
        lo, hi = min(ys), max(ys)
        margin = (hi - lo) * 0.05 or 1.0
        self.y0, self.y1 = lo - margin, hi + margin
        self.parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
                      'font-size="12">' % (self.W, self.H),
                      '<rect width="100%" height="100%" fill="white"/>',
                      '<text x="%d" y="20" font-size="15">%s</text>' % (self.PAD, title)]
        for i in range(5):
            v = self.y0 + (self.y1 - self.y0) * i / 4
            y = self.py(v)
            self.parts.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#eee"/>' % (self.PAD, self.W - 10, y, y))
            self.parts.append('<text x="4" y="%.1f" fill="#666">%.0f</text>' % (y + 4, v))

    def px(self, x):
        return self.PAD + (x - self.x0) / ((self.x1 - self.x0) or 1) * (self.W - self.PAD - 10)

    def py(self, y):
        return self.H - 30 - (y - self.y0) / ((self.y1 - self.y0) or 1) * (self.H - 70)

    def line(self, xs, ys, color, width=1.5):
        pts = " ".join("%.1f,%.1f" % (self.px(x), self.py(y)) for x, y in zip(xs, ys))
        self.parts.append('<polyline fill="none" stroke="%s" stroke-width="%s" points="%s"/>' % (color, width, pts))

    def band(self, xs, lo, hi, color):
        pts = [(self.px(x), self.py(y)) for x, y in zip(xs, hi)] + [(self.px(x), self.py(y)) for x, y in
                                                                    reversed(list(zip(xs, lo)))]
        self.parts.append('<polygon fill="%s" opacity="0.35" points="%s"/>' % (
            color, " ".join("%.1f,%.1f" % p for p in pts)))

    def dots(self, xs, ys, color):
        for x, y in zip(xs, ys):
            self.parts.append('<circle cx="%.1f" cy="%.1f" r="4" fill="%s"/>' % (self.px(x), self.py(y), color))

    def label(self, x, text, color):
        self.parts.append('<text x="%.1f" y="%d" fill="%s">%s</text>' % (self.px(x), self.H - 10, color, text))

    def save(self, path):
        with open(path, "w") as f:
            f.write("\n".join(self.parts + ["</svg>"]) + "\n")


def forecast_picture(path):
    hist = query("SELECT day, sales FROM sales WHERE store = 'S03' ORDER BY day DESC LIMIT 120")[::-1]
    fc = query("SELECT f.* FROM (SELECT forecast(day, sales, 28) AS doc FROM sales WHERE store = 'S03') AS d, "
               "forecast_rows(d.doc) AS f")
    xs = list(range(len(hist)))
    fx = [len(hist) - 1 + r["step"] for r in fc]
    ys = [r["sales"] for r in hist] + [r["lower_bound"] for r in fc] + [r["upper_bound"] for r in fc]
    c = Chart("Store S03: last 120 days and a 28-day forecast with its 95% interval", xs + fx, ys)
    c.band(fx, [r["lower_bound"] for r in fc], [r["upper_bound"] for r in fc], "#8ab4f8")
    c.line(xs, [r["sales"] for r in hist], "#333")
    c.line(fx, [r["forecast"] for r in fc], "#1a73e8", 2)
    c.label(0, hist[0]["day"], "#666")
    c.label(fx[-1] - 12, fc[-1]["forecast_timestamp"][:10], "#1a73e8")
    c.save(path)


def anomaly_picture(path):
    rows = query("SELECT a.* FROM (SELECT detect_anomalies(day, sales) AS doc FROM sales WHERE store = 'S07') AS d, "
                 "anomaly_rows(d.doc) AS a")
    xs = list(range(len(rows)))
    vals = [r["value"] for r in rows]
    c = Chart("Store S07: daily sales and the anomalies found", xs, vals)
    c.line(xs, vals, "#333", 1)
    hits = [(x, r["value"]) for x, r in zip(xs, rows) if r["is_anomaly"]]
    c.dots([h[0] for h in hits], [h[1] for h in hits], "#d93025")
    c.label(0, rows[0]["ts"][:10], "#666")
    c.label(xs[-1] - 60, rows[-1]["ts"][:10], "#666")
    c.save(path)


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    if not os.path.exists(DB):
        with open(os.path.join(HERE, "make_example_db.sql")) as f:
            subprocess.run([os.path.join(BUILD, "sqlite3"), DB], stdin=f, check=True, capture_output=True)
    forecast_picture(os.path.join(OUT, "forecast.svg"))
    anomaly_picture(os.path.join(OUT, "anomalies.svg"))
    print("wrote %s/forecast.svg and %s/anomalies.svg" % (OUT, OUT))
