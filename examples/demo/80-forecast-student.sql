-- title: Forecast students: distil a quantile perceptron from theta-classic and let it compete
-- Training windows from store S01 (first 600 days): the 14 days before each window's end, then
-- the teacher's 0.1 / 0.5 / 0.9 quantiles for 7 days (theta-classic's 80% interval and forecast
-- over the preceding 8 weeks).
CREATE TEMP TABLE s01 AS
SELECT row_number() OVER (ORDER BY day) - 1 AS i, day, sales FROM sales WHERE store = 'S01';
CREATE TEMP TABLE teacher AS
SELECT w.e AS e, forecast(s.day, s.sales, 7, '{"model":"theta-classic","confidence_level":0.8}') AS doc
FROM (SELECT i AS e FROM s01 WHERE i BETWEEN 56 AND 593) AS w
JOIN s01 AS s ON s.i BETWEEN w.e - 56 AND w.e - 1
GROUP BY w.e;
CREATE TEMP VIEW windows AS
SELECT (SELECT sales FROM s01 WHERE i = e - 14) AS c1,
       (SELECT sales FROM s01 WHERE i = e - 13) AS c2,
       (SELECT sales FROM s01 WHERE i = e - 12) AS c3,
       (SELECT sales FROM s01 WHERE i = e - 11) AS c4,
       (SELECT sales FROM s01 WHERE i = e - 10) AS c5,
       (SELECT sales FROM s01 WHERE i = e - 9) AS c6,
       (SELECT sales FROM s01 WHERE i = e - 8) AS c7,
       (SELECT sales FROM s01 WHERE i = e - 7) AS c8,
       (SELECT sales FROM s01 WHERE i = e - 6) AS c9,
       (SELECT sales FROM s01 WHERE i = e - 5) AS c10,
       (SELECT sales FROM s01 WHERE i = e - 4) AS c11,
       (SELECT sales FROM s01 WHERE i = e - 3) AS c12,
       (SELECT sales FROM s01 WHERE i = e - 2) AS c13,
       (SELECT sales FROM s01 WHERE i = e - 1) AS c14,
       json_extract(doc, '$.rows[0].lower_bound'), json_extract(doc, '$.rows[0].forecast'), json_extract(doc, '$.rows[0].upper_bound'),
       json_extract(doc, '$.rows[1].lower_bound'), json_extract(doc, '$.rows[1].forecast'), json_extract(doc, '$.rows[1].upper_bound'),
       json_extract(doc, '$.rows[2].lower_bound'), json_extract(doc, '$.rows[2].forecast'), json_extract(doc, '$.rows[2].upper_bound'),
       json_extract(doc, '$.rows[3].lower_bound'), json_extract(doc, '$.rows[3].forecast'), json_extract(doc, '$.rows[3].upper_bound'),
       json_extract(doc, '$.rows[4].lower_bound'), json_extract(doc, '$.rows[4].forecast'), json_extract(doc, '$.rows[4].upper_bound'),
       json_extract(doc, '$.rows[5].lower_bound'), json_extract(doc, '$.rows[5].forecast'), json_extract(doc, '$.rows[5].upper_bound'),
       json_extract(doc, '$.rows[6].lower_bound'), json_extract(doc, '$.rows[6].forecast'), json_extract(doc, '$.rows[6].upper_bound')
FROM teacher ORDER BY e;

SELECT model_id, substr(content_hash, 1, 16) || '…' AS content_hash, train_rows, round(train_rmse, 3) AS train_rmse
FROM distill_forecast('SELECT * FROM windows',
  '{"context":14,"horizon":7,"student_id":"s01-student","hidden":32,"epochs":400,"quantiles":[0.1,0.5,0.9]}');

-- The student by name, from the day after its training period, next to its teacher.
SELECT step, substr(s.forecast_timestamp, 1, 10) AS day,
       round(s.forecast, 1) AS student, round(s.lower_bound, 1) || ' .. ' || round(s.upper_bound, 1) AS student_80,
       round(t.forecast, 1) AS teacher, round(t.lower_bound, 1) || ' .. ' || round(t.upper_bound, 1) AS teacher_80
FROM forecast_rows((SELECT forecast(day, sales, 7, '{"model":"s01-student","confidence_level":0.8}') FROM sales
                    WHERE store = 'S01' AND day < '2024-08-23')) AS s
JOIN forecast_rows((SELECT forecast(day, sales, 7, '{"model":"theta-classic","confidence_level":0.8}') FROM sales
                    WHERE store = 'S01' AND day BETWEEN '2024-06-28' AND '2024-08-22')) AS t USING (step);

-- In automatic mode the registered student competes with the statistical models on every store
-- (scored by rolling-origin error like them).
SELECT json_extract(doc, '$.model') AS chosen_model, count(*) AS stores
FROM (SELECT store, forecast(day, sales, 7) AS doc FROM sales GROUP BY store)
GROUP BY 1 ORDER BY 2 DESC;
