-- title: The model registry: built-in models and registering a weights file
-- Registering a file hashes it and records its path; the first write also creates the
-- registry with the built-in models.
SELECT vornel_register('churn-onnx',
         '{"runtime":"onnx","kind":"tabular-fm","weights_uri":"tests/registry/data/example-weights.bin",'
         || '"io_spec":{"inputs":["age","tenure_months","monthly_spend","plan"],"output":"churned"}}') AS content_hash;
SELECT model_id, kind, runtime, coalesce(weights_uri, '') AS weights_uri,
       substr(content_hash, 1, 16) || '...' AS content_hash, license
FROM _vornel_models ORDER BY created_at, rowid;
