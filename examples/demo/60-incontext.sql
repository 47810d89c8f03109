-- title: In-context churn classification and lifetime-value regression with knn5-incontext
-- The training rows are the model: each 'apply' customer is labelled by its five nearest
-- 'train' customers (numeric and categorical features, standardised on the spot).
WITH scored AS (
  SELECT v.prediction, v.confidence, c.churned
  FROM vornel('SELECT age, tenure_months, monthly_spend, support_calls, plan, region, churned FROM customers WHERE split = ''train''',
              'SELECT id, age, tenure_months, monthly_spend, support_calls, plan, region FROM customers WHERE split = ''apply''',
              '{"target":"churned"}') AS v
  JOIN customers AS c ON c.id = v.row_ref)
SELECT count(*) AS apply_rows,
       sum(prediction = churned) AS correct,
       round(avg(prediction = churned), 3) AS accuracy,
       round(avg(confidence), 3) AS mean_confidence
FROM scored;

SELECT row_ref AS id, prediction AS churn, confidence, status
FROM vornel('SELECT age, tenure_months, monthly_spend, support_calls, plan, region, churned FROM customers WHERE split = ''train''',
            'SELECT id, age, tenure_months, monthly_spend, support_calls, plan, region FROM customers WHERE split = ''apply'' ORDER BY id LIMIT 5',
            '{"target":"churned"}');

SELECT row_ref AS id, round(CAST(prediction AS REAL), 1) AS predicted_value,
       round(c.lifetime_value, 1) AS actual_value
FROM vornel('SELECT age, tenure_months, monthly_spend, plan, lifetime_value FROM customers WHERE split = ''train''',
            'SELECT id, age, tenure_months, monthly_spend, plan FROM customers WHERE split = ''apply'' ORDER BY id LIMIT 5',
            '{"target":"lifetime_value","task":"regress"}') AS v
JOIN customers AS c ON c.id = v.row_ref;
