-- title: Distilling tabular students from the in-context teacher
-- Each student learns the churn labels that the five-nearest-neighbour teacher gives the
-- training customers; the last fifth of them is held out and scored against the real labels.
SELECT model_id, train_rows, round(holdout_metric, 3) AS holdout_accuracy, substr(content_hash, 1, 16) || '...' AS content_hash
FROM distill_vornel('SELECT age, tenure_months, monthly_spend, support_calls, churned FROM customers WHERE split = ''train''',
                    '{"target":"churned","student_id":"churn-tree","teacher":"knn5-incontext"}')
UNION ALL
SELECT model_id, train_rows, round(holdout_metric, 3), substr(content_hash, 1, 16) || '...'
FROM distill_vornel('SELECT age, tenure_months, monthly_spend, support_calls, churned FROM customers WHERE split = ''train''',
                    '{"target":"churned","student_id":"churn-gbt","teacher":"knn5-incontext","student_kind":"gbt"}')
UNION ALL
SELECT model_id, train_rows, round(holdout_metric, 3), substr(content_hash, 1, 16) || '...'
FROM distill_vornel('SELECT age, tenure_months, monthly_spend, support_calls, churned FROM customers WHERE split = ''train''',
                    '{"target":"churned","student_id":"churn-mlp","teacher":"knn5-incontext","student_kind":"mlp"}');
-- A regression student for the lifetime value (holdout RMSE).
SELECT model_id, train_rows, round(holdout_metric, 2) AS holdout_rmse
FROM distill_vornel('SELECT tenure_months, monthly_spend, lifetime_value FROM customers WHERE split = ''train''',
                    '{"target":"lifetime_value","task":"regress","student_id":"ltv-gbt","student_kind":"gbt"}');
-- The students now label the customers held back for scoring, without the teacher.
SELECT s.model_id, round(avg(v.prediction = c.churned), 3) AS accuracy_on_apply_rows
FROM (SELECT 'churn-tree' AS model_id UNION ALL SELECT 'churn-gbt' UNION ALL SELECT 'churn-mlp') AS s,
     vornel(NULL, 'SELECT id, age, tenure_months, monthly_spend, support_calls FROM customers WHERE split = ''apply''',
            json_object('model', s.model_id)) AS v
JOIN customers AS c ON c.id = v.row_ref
GROUP BY s.model_id ORDER BY s.model_id;
