-- title: Anomalies: surprising days in every store, by one-step forecasts and by sub-PCA
-- One anomaly document per store; each day is compared with a forecast from the days before it.
-- Promotions (three days every 45) are surprises too, so every store has a few dozen flags.
SELECT store, count(*) AS days, sum(is_anomaly) AS anomalies,
       round(max(anomaly_probability), 4) AS top_probability
FROM (SELECT store, detect_anomalies(day, sales) AS d FROM sales GROUP BY store), anomaly_rows(d)
GROUP BY store ORDER BY store LIMIT 6;

-- The three planted spikes of S07 are the days furthest outside their 99 % band (measured in
-- half-widths of the band).
SELECT substr(ts, 1, 10) AS day, round(value, 1) AS sales, round(forecast, 1) AS forecast,
       round((value - forecast) / (upper_bound - forecast), 1) AS band_widths
FROM anomaly_rows((SELECT detect_anomalies(day, sales) FROM sales WHERE store = 'S07'))
WHERE is_anomaly ORDER BY abs((value - forecast) / (upper_bound - forecast)) DESC LIMIT 4;

-- The level shift of S13 on 2024-07-14: the first two days are flagged, then the forecast adapts.
SELECT substr(ts, 1, 10) AS day, round(value, 1) AS sales, round(forecast, 1) AS forecast,
       round(upper_bound, 1) AS upper, is_anomaly, round(anomaly_probability, 4) AS probability
FROM anomaly_rows((SELECT detect_anomalies(day, sales) FROM sales WHERE store = 'S13'))
WHERE ts BETWEEN '2024-07-12' AND '2024-07-18';

-- Sub-PCA scores each day by how badly the weeks around it fit the usual weekly shapes; the
-- probability is the day's rank among all days, so a stricter threshold keeps only the extremes.
SELECT store, substr(ts, 1, 10) AS day, round(value, 1) AS sales, round(anomaly_probability, 4) AS rank
FROM (SELECT store, detect_anomalies(day, sales, '{"model":"sub-pca","anomaly_prob_threshold":0.997}') AS d
      FROM sales WHERE store IN ('S07', 'S13') GROUP BY store), anomaly_rows(d)
WHERE is_anomaly ORDER BY store, day;

-- The last 60 days only, and a history too short to score.
SELECT json_extract(detect_anomalies(day, sales, '{"context_limit":60}'), '$.status') AS last_60_days,
       (SELECT detect_anomalies(day, sales) FROM sales WHERE store = 'S02' AND day < '2023-01-06') AS five_days
FROM sales WHERE store = 'S02';
