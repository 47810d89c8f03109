// Node.js with better-sqlite3 loads the extension and runs the core functions.
const path = require('path');
const Database = require(path.join(process.argv[2], 'node_modules', 'better-sqlite3'));
const so = process.argv[3];
const db = new Database(':memory:');
db.loadExtension(so);
const version = JSON.parse(db.prepare('SELECT vornel_version() AS v').get().v);
if (version.runtimes[1] !== 'tree') throw new Error('unexpected version document ' + JSON.stringify(version));
let reported = false;
try {
  db.prepare("SELECT forecast('SELECT 1', 3) AS f").get();
} catch (e) {
  reported = e.message.startsWith('VORNEL_ERR_SCHEMA: forecast does not take a query string');
}
if (!reported) throw new Error('misuse was not reported');
console.log('node client: ok (sqlite ' + db.prepare('SELECT sqlite_version() AS v').get().v + ')');
