-- Full-precision documents over forty generated series: every libm-backed path (interval
-- quantiles, anomaly probabilities, the sub-PCA rotation, student softmax and tanh) printed to
-- seventeen digits, so that any bit that differs between platforms shows.
CREATE TABLE p(k INTEGER, day TEXT, v REAL);
WITH RECURSIVE s(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM s WHERE i < 39),
               d(j) AS (SELECT 0 UNION ALL SELECT j + 1 FROM d WHERE j < 119)
INSERT INTO p
SELECT i, date('2024-01-01', '+' || j || ' days'),
       20 + i + 0.37 * j * ((i % 5) - 2) + 7 * ((j + i) % 7 = 3) + ((i * 7919 + j * 104729) % 1000) / 97.0
       + CASE WHEN j = 100 - i THEN 40 ELSE 0 END
FROM s, d;
SELECT k, forecast(day, v, 10) FROM p GROUP BY k;
SELECT k, forecast(day, v, 10, '{"model":"tsb"}') FROM p GROUP BY k;
SELECT k, forecast(day, v, 10, '{"model":"ets"}') FROM p GROUP BY k;
SELECT k, forecast(day, v, 10, '{"model":"theta-m3"}') FROM p GROUP BY k;
SELECT k, forecast(day, abs(v) + 1, 10, '{"model":"auto-extended","transform":"log"}') FROM p GROUP BY k;
SELECT k, ts, value, forecast, lower_bound, upper_bound, is_anomaly, anomaly_probability, status
FROM (SELECT DISTINCT k FROM p) AS g, anomaly_rows((SELECT detect_anomalies(day, v) FROM p WHERE p.k = g.k));
SELECT k, detect_anomalies(day, v, '{"model":"sub-pca"}') FROM p GROUP BY k;
SELECT * FROM backtest('SELECT k, day, v FROM p', 7, '{"group_cols":"k","folds":4,"interval_method":"conformal"}');
CREATE TABLE f AS SELECT k, day, v, v - lag(v) OVER w AS dv, lag(v, 7) OVER w AS v7,
  CASE WHEN v > 30 + k THEN 'high' ELSE 'low' END AS level FROM p WINDOW w AS (PARTITION BY k ORDER BY day);
SELECT model_id, content_hash FROM distill_vornel('SELECT v, dv, v7, level FROM f WHERE dv IS NOT NULL AND v7 IS NOT NULL AND k < 30',
  '{"target":"level","student_id":"deep-mlp","student_kind":"mlp"}');
SELECT model_id, content_hash FROM distill_vornel('SELECT v, dv, v7, level FROM f WHERE dv IS NOT NULL AND v7 IS NOT NULL AND k < 30',
  '{"target":"level","student_id":"deep-gbt","student_kind":"gbt"}');
SELECT * FROM vornel(NULL, 'SELECT rowid AS row_ref, v, dv, v7 FROM f WHERE k >= 30 AND dv IS NOT NULL AND v7 IS NOT NULL', '{"model":"deep-mlp"}');
SELECT * FROM vornel(NULL, 'SELECT rowid AS row_ref, v, dv, v7 FROM f WHERE k >= 30 AND dv IS NOT NULL AND v7 IS NOT NULL', '{"model":"deep-gbt"}');
