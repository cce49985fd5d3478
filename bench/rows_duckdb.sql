-- The peer of corvane-diff rows in bench/rows.py: which rows differ between two JSON Lines files
-- keyed by /id. DuckDB reads and types both files itself (its column types from a sample of the
-- rows), joins them on the key and compares each pair of rows as a whole, as JSON text of the
-- typed row. It says only which rows differ, not what changed in them.
-- {a} and {b} are replaced by the paths.
CREATE TEMP TABLE a AS SELECT * FROM read_json('{a}', format = 'newline_delimited');
CREATE TEMP TABLE b AS SELECT * FROM read_json('{b}', format = 'newline_delimited');
SELECT
    count(*) FILTER (WHERE b.id IS NULL) AS only_in_a,
    count(*) FILTER (WHERE a.id IS NULL) AS only_in_b,
    count(*) FILTER (WHERE a.id IS NOT NULL AND b.id IS NOT NULL
                     AND to_json(a) IS DISTINCT FROM to_json(b)) AS changed
FROM a FULL OUTER JOIN b ON a.id = b.id;
