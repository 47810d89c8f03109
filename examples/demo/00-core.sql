-- title: The extension is loaded
SELECT json_extract(vornel_version(), '$.extension') AS version,
       vornel_ulid('2024-01-01T00:00:00Z') AS first_ulid_of_2024;
SELECT 'forecast(''SELECT ...'', 7) says:' AS misuse;
.mode list
SELECT forecast('SELECT day, sales FROM sales', 7);
