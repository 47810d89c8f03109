"""Forecasting and back-testing a panel sharded by series over a dask.distributed cluster.

    python3 examples/scale-out/scale_out.py [--series 20000] [--days 365] [--shards 8] [--dir DIR]

Builds the panel once as a single SQLite file and once as SHARDS files (series s lives in shard
s % SHARDS), runs forecast and backtest over the single file in this process, then over the
shards on a local cluster with one worker and with two workers (one process and one thread each;
every worker loads the extension through the vornel Python package), checks that the cluster's
rows equal the single-process rows exactly, and prints wall and CPU times."""
import argparse
import logging
import os
import sqlite3
import time

import vornel

FORECAST = "SELECT series_id, forecast(day, value, 14) FROM sales GROUP BY series_id ORDER BY series_id"
# One backtest call reads at most 2,097,152 rows, so a bigger file is back-tested in parts, each
# a set of whole series (series_id % parts).
BACKTEST = ("SELECT CAST(series_key AS INTEGER), fold, cutoff_timestamp, model, mae, rmse, mase, smape, coverage "
            "FROM backtest('SELECT series_id, day, value FROM sales WHERE series_id %% %d = %d', 14, "
            "'{\"group_cols\":\"series_id\",\"folds\":3}')")
BACKTEST_ROWS = 2097152
# A weekly pattern, a trend and noise that differ per series; pure SQL so every shard can build
# its own part without shipping rows around.
PANEL = """
CREATE TABLE sales(series_id INTEGER, day TEXT, value REAL);
WITH RECURSIVE s(i) AS (SELECT ?1 UNION ALL SELECT i + ?2 FROM s WHERE i + ?2 < ?3),
               d(j) AS (SELECT 0 UNION ALL SELECT j + 1 FROM d WHERE j + 1 < ?4)
INSERT INTO sales
SELECT i, date('2024-01-01', '+' || j || ' days'),
       50 + i % 37 + 0.02 * (i % 11) * j + 8 * ((j + i) % 7 = 5) + ((i * 7919 + j * 104729) % 1000) / 100.0
FROM s, d ORDER BY i, j;
"""


def build(path, first, step, series, days):
    con = sqlite3.connect(path)
    con.executescript("DROP TABLE IF EXISTS sales;")
    create, insert = PANEL.strip().split(";\n", 1)
    con.execute(create)
    con.execute(insert.rstrip(";\n"), (first, step, series, days))
    con.commit()
    con.close()


def run_file(path):
    """One task: the rows of both queries for one database file, and the CPU seconds spent."""
    cpu = time.process_time()
    con = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    vornel.load(con)
    forecasts = con.execute(FORECAST).fetchall()
    parts = -(-con.execute("SELECT count(*) FROM sales").fetchone()[0] // BACKTEST_ROWS)
    folds = sorted(r for part in range(parts) for r in con.execute(BACKTEST % (parts, part)))
    con.close()
    return forecasts, folds, time.process_time() - cpu


def on_cluster(workers, shards):
    from dask.distributed import Client, LocalCluster
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("vornel").loadable_path())  # every worker imports the package
        start = time.perf_counter()
        parts = client.gather(client.map(run_file, shards, pure=False))
        wall = time.perf_counter() - start
    forecasts = sorted(r for p in parts for r in p[0])
    folds = sorted(r for p in parts for r in p[1])
    return forecasts, folds, wall, sum(p[2] for p in parts)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=20000)
    ap.add_argument("--days", type=int, default=365)
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--dir", default="scale-out-data")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    whole = os.path.abspath(os.path.join(args.dir, "panel.db"))
    shards = [os.path.abspath(os.path.join(args.dir, "shard-%d.db" % k)) for k in range(args.shards)]
    build(whole, 0, 1, args.series, args.days)
    for k, path in enumerate(shards):
        build(path, k, args.shards, args.series, args.days)

    start = time.perf_counter()
    forecasts, folds, cpu = run_file(whole)
    single = time.perf_counter() - start
    print("single process: %d forecasts, %d folds, %.1f s wall, %.1f s CPU" % (len(forecasts), len(folds), single, cpu))
    walls = {}
    for workers in (1, 2):
        got_f, got_b, wall, cpu = on_cluster(workers, shards)
        if got_f != forecasts or got_b != folds:
            raise SystemExit("%d workers: the rows differ from the single-process run" % workers)
        walls[workers] = wall
        print("%d worker(s): rows equal to the single process; %.1f s wall, %.1f s CPU in tasks" % (workers, wall, cpu))
    print("speed-up 1 -> 2 workers: %.2fx (wall time; other work on the machine shifts it)" % (walls[1] / walls[2]))


if __name__ == "__main__":
    main()
