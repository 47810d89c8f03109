-- title: Back-testing the statistical models on the example data
-- Every store and every intermittent item is replayed from 20 rolling cut-offs, 14 days ahead,
-- once per model; auto chooses a model per series from the same folds. Lower MASE is better
-- (1.0 is the error of a one-step naive guess).
SELECT m.value AS model,
       count(DISTINCT b.series_key) AS series,
       count(*) AS folds,
       round(avg(b.mase), 3) AS mean_mase,
       round(avg(b.smape), 3) AS mean_smape,
       round(avg(b.coverage), 3) AS coverage_95
FROM json_each('["theta-classic","stub-seasonal-naive","tsb","auto"]') AS m,
     backtest('SELECT store, day, sales FROM sales UNION ALL SELECT item, day, qty FROM item_sales', 14,
              json_object('group_cols', 'store', 'model', m.value)) AS b
GROUP BY m.value
ORDER BY mean_mase;
-- Which model auto chose, by kind of series.
SELECT CASE WHEN series_key LIKE 'S%' THEN 'stores' ELSE 'items' END AS kind,
       model AS chosen_by_auto,
       count(DISTINCT series_key) AS series,
       round(avg(mase), 3) AS mean_mase
FROM backtest('SELECT store, day, sales FROM sales UNION ALL SELECT item, day, qty FROM item_sales', 14,
              '{"group_cols":"store","model":"auto"}')
GROUP BY 1, 2
ORDER BY 1 DESC, 3 DESC;
