-- The bundled example database, generated deterministically (no downloads, no randomness):
-- pseudo-random numbers come from an integer hash of the row's coordinates.
--   sales(store, day, sales)       24 stores x 730 days: trend, weekly and yearly season,
--                                  promotions, noise; spikes in S07, a level shift in S13
--   item_sales(item, day, qty)     12 intermittent-demand items x 730 days
--   customers(...)                 2,000 customers for tabular tasks (churn, lifetime value)
PRAGMA journal_mode = OFF;
PRAGMA synchronous = OFF;
DROP TABLE IF EXISTS sales;
DROP TABLE IF EXISTS item_sales;
DROP TABLE IF EXISTS customers;
DROP TABLE IF EXISTS _vornel_models;

-- u(a, b): a uniform number in [0, 1) from two integers.
CREATE TEMP VIEW IF NOT EXISTS nums AS
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 2999) SELECT i FROM n;

CREATE TABLE sales(store TEXT NOT NULL, day TEXT NOT NULL, sales REAL, PRIMARY KEY (store, day));
INSERT INTO sales
SELECT printf('S%02d', s.i + 1),
       date('2023-01-01', '+' || d.i || ' days'),
       round(
         (40.0 + 7.0 * s.i)                                            -- store level
         * (1.0 + 0.0006 * d.i)                                        -- trend
         * (CASE (d.i + 0) % 7 WHEN 5 THEN 1.35 WHEN 6 THEN 1.25 WHEN 0 THEN 0.85 ELSE 1.0 END)
         * (1.0 + 0.15 * sin(2 * pi() * d.i / 365.25))                 -- yearly season
         * (CASE WHEN (d.i + 3 * s.i) % 45 < 3 THEN 1.3 ELSE 1.0 END)  -- promotions
         * (CASE WHEN s.i = 12 AND d.i >= 560 THEN 1.45 ELSE 1.0 END)  -- level shift in S13
         * (CASE WHEN s.i = 6 AND d.i IN (200, 410, 655) THEN 3.0 ELSE 1.0 END) -- spikes in S07
         + 6.0 * ((((s.i * 7919 + d.i * 104729) * 2654435761) % 4294967296) / 4294967296.0
                + (((s.i * 15485863 + d.i * 32452843) * 2246822519) % 4294967296) / 4294967296.0 - 1.0),
         2)
FROM nums AS s, nums AS d
WHERE s.i < 24 AND d.i < 730;

CREATE TABLE item_sales(item TEXT NOT NULL, day TEXT NOT NULL, qty REAL, PRIMARY KEY (item, day));
INSERT INTO item_sales
SELECT printf('I%02d', s.i + 1),
       date('2023-01-01', '+' || d.i || ' days'),
       CASE WHEN ((((s.i * 2971 + d.i * 7727) * 2654435761) % 4294967296) / 4294967296.0) < 0.08 + 0.02 * (s.i % 4)
            THEN 1 + ((s.i * 31 + d.i * 17) % 5) ELSE 0 END
FROM nums AS s, nums AS d
WHERE s.i < 12 AND d.i < 730;

CREATE TABLE customers(
  id INTEGER PRIMARY KEY, age REAL, tenure_months REAL, monthly_spend REAL, support_calls REAL,
  plan TEXT, region TEXT, churned TEXT, lifetime_value REAL, split TEXT);
INSERT INTO customers
SELECT id, age, tenure, spend, calls, plan, region,
       CASE WHEN 0.9 * calls - 0.06 * tenure + (CASE plan WHEN 'basic' THEN 0.8 WHEN 'plus' THEN 0.0 ELSE -0.6 END)
                 + 2.0 * (u4 - 0.5) > 0.6 THEN 'yes' ELSE 'no' END,
       round(spend * tenure * (CASE plan WHEN 'pro' THEN 1.2 ELSE 1.0 END) + 50 * (u4 - 0.5), 2),
       CASE WHEN id % 5 = 0 THEN 'apply' ELSE 'train' END
FROM (
  SELECT i + 1 AS id,
         round(18 + 60 * u1) AS age,
         round(1 + 71 * u2) AS tenure,
         round(15 + 85 * u3 + CASE WHEN i % 3 = 2 THEN 40 ELSE 0 END, 2) AS spend,
         (i * 7 + (i / 13)) % 6 AS calls,
         CASE i % 3 WHEN 0 THEN 'basic' WHEN 1 THEN 'plus' ELSE 'pro' END AS plan,
         CASE (i / 7) % 4 WHEN 0 THEN 'north' WHEN 1 THEN 'south' WHEN 2 THEN 'east' ELSE 'west' END AS region,
         u4
  FROM (
    SELECT i,
           (((i * 2654435761 + 12345) % 4294967296) / 4294967296.0) AS u1,
           (((i * 2246822519 + 777) % 4294967296) / 4294967296.0) AS u2,
           (((i * 3266489917 + 4242) % 4294967296) / 4294967296.0) AS u3,
           (((i * 668265263 + 99991) % 4294967296) / 4294967296.0) AS u4
    FROM nums WHERE i < 2000));
