// Node.js with better-sqlite3 loads the extension and runs a forecast, an anomaly query and vornel().
// Arguments: the folder holding better-sqlite3, then the library's path, or "package" and the
// project the vornel package is installed in.
const path = require('path');
const assert = require('assert');
const Database = require(path.resolve(process.argv[2], 'node_modules', 'better-sqlite3'));
const db = new Database(':memory:');
if (process.argv[3] === 'package') {
  const vornel = require(path.resolve(process.argv[4], 'node_modules', 'vornel'));
  assert.ok(require('fs').existsSync(vornel.getLoadablePath()));
  assert.strictEqual(vornel.load(db), db);
} else {
  db.loadExtension(process.argv[3]);
}

const version = JSON.parse(db.prepare('SELECT vornel_version() AS v').get().v);
assert.strictEqual(version.runtimes[1], 'tree');
assert.throws(() => db.prepare("SELECT forecast('SELECT 1', 3) AS f").get(),
              /^SqliteError: VORNEL_ERR_SCHEMA: forecast does not take a query string/);

db.exec(`
CREATE TABLE s(day TEXT, v REAL);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 119)
INSERT INTO s SELECT date('2024-01-01', '+' || i || ' days'), 100 + 10 * (i % 7) + (CASE WHEN i = 90 THEN 80 ELSE 0 END) FROM n;
CREATE TABLE c(id INTEGER, x REAL, label TEXT);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 59)
INSERT INTO c SELECT i, i, CASE WHEN i < 30 THEN 'low' ELSE 'high' END FROM n;
`);

const doc = JSON.parse(db.prepare('SELECT forecast(day, v, 7) AS d FROM s').get().d);
assert.strictEqual(doc.status, 'ok');
assert.strictEqual(doc.rows.length, 7);
const first = db.prepare('SELECT step, forecast_timestamp FROM forecast_rows((SELECT forecast(day, v, 7) FROM s))').get();
assert.deepStrictEqual(first, { step: 1, forecast_timestamp: '2024-04-30T00:00:00Z' });

const flagged = db.prepare('SELECT ts FROM anomaly_rows((SELECT detect_anomalies(day, v) FROM s)) WHERE is_anomaly')
                  .all().map(r => r.ts);
assert.ok(flagged.includes('2024-03-31T00:00:00Z'), flagged);

const pred = db.prepare(`SELECT row_ref, prediction FROM vornel('SELECT x, label FROM c',
  'SELECT id AS row_ref, x FROM c WHERE id IN (2, 57)', '{"target":"label"}') ORDER BY row_ref`).all();
assert.deepStrictEqual(pred.map(p => p.prediction), ['low', 'high']);
console.log('node client: ok (sqlite ' + db.prepare('SELECT sqlite_version() AS v').get().v + ')');
