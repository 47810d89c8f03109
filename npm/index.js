'use strict';
// The vornel SQLite extension for Node.js: the path of the library built for this machine, and a
// loader for better-sqlite3 connections.
const fs = require('fs');
const path = require('path');

const FILES = { linux: 'vornel.so', win32: 'vornel.dll' };

function getLoadablePath() {
  const platform = `${process.platform}-${process.arch}`;
  const file = path.join(__dirname, 'lib', platform, FILES[process.platform] || 'vornel.so');
  if (!fs.existsSync(file)) {
    const built = fs.existsSync(path.join(__dirname, 'lib')) ? fs.readdirSync(path.join(__dirname, 'lib')) : [];
    throw new Error(`vornel: no library for ${platform} in this package (it holds ${built.join(', ') || 'none'}); ` +
                    'build from source on this machine with `make` and load build/vornel directly');
  }
  return file;
}

// Loads the extension into a better-sqlite3 Database (or any object with loadExtension(path)).
function load(db) {
  if (!db || typeof db.loadExtension !== 'function') {
    throw new TypeError('vornel.load expects a better-sqlite3 Database (an object with loadExtension)');
  }
  db.loadExtension(getLoadablePath());
  return db;
}

module.exports = { getLoadablePath, load };
