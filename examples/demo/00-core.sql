-- title: The extension is loaded
-- shows-error
SELECT json_extract(vornel_version(), '$.extension') AS version,
       vornel_ulid('2024-01-01T00:00:00Z') AS first_ulid_of_2024;
SELECT 'forecast is an aggregate; given a query string it explains itself:' AS misuse;
.mode list
SELECT forecast('SELECT day, sales FROM sales', 7);
