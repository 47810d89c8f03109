-- title: Forecasting: two weeks ahead for every store and every item
-- One forecast document per store, the model picked per series by rolling-origin error.
SELECT store,
       json_extract(doc, '$.model') AS model,
       json_extract(doc, '$.status') AS status,
       round(json_extract(doc, '$.rows[0].forecast'), 1) AS day_1,
       round(json_extract(doc, '$.rows[6].forecast'), 1) AS day_7,
       round(json_extract(doc, '$.rows[13].forecast'), 1) AS day_14
FROM (SELECT store, forecast(day, sales, 14) AS doc FROM sales GROUP BY store)
ORDER BY store LIMIT 8;

-- The document of one store expanded into rows: weekly pattern and 95% intervals.
SELECT step, substr(forecast_timestamp, 1, 10) AS day,
       round(forecast, 1) AS forecast, round(lower_bound, 1) AS lower, round(upper_bound, 1) AS upper, status
FROM forecast_rows((SELECT forecast(day, sales, 14) FROM sales WHERE store = 'S01'));

-- Intermittent demand: which model wins per item, and the flat TSB rate with conformal intervals.
SELECT item,
       json_extract(forecast(day, qty, 7), '$.model') AS auto_model,
       round(json_extract(forecast(day, qty, 7, '{"model":"tsb"}'), '$.rows[0].forecast'), 3) AS tsb_rate,
       round(json_extract(forecast(day, qty, 7, '{"model":"tsb","interval_method":"conformal","confidence_level":0.8}'),
                          '$.rows[0].upper_bound'), 2) AS conformal_upper_80
FROM item_sales GROUP BY item ORDER BY item LIMIT 6;

-- Only the last 8 weeks, and a short history that cannot be forecast.
SELECT json_extract(forecast(day, sales, 7, '{"context_limit":56}'), '$.status') AS last_8_weeks,
       (SELECT forecast(day, sales, 7) FROM sales WHERE store = 'S02' AND day < '2023-01-06') AS five_days
FROM sales WHERE store = 'S02';
