// tedious writing the rows of audit.many_rows ({n}, N'row {n}', {n}.25) into a new table of the
// TDS test server, for bench_mss_write to print beside the writer's numbers: by bulk load, or
// by one INSERT statement a row (the statements the writer sends).
//   TEDIOUS_DIR=<tests/tedious> node tedious_peer.js <port> <rows> <table> bulk|insert
// Prints "<rows written> <seconds>" (the load alone, after the login and the CREATE TABLE).
'use strict';

const path = require('path');
const { Connection, Request, TYPES } = require(path.join(process.env.TEDIOUS_DIR, 'node_modules', 'tedious'));

function run(connection, text) {
  return new Promise((resolve, reject) => {
    connection.execSql(new Request(text, (err) => (err ? reject(err) : resolve())));
  });
}

function bulk(connection, table, count) {
  return new Promise((resolve, reject) => {
    const load = connection.newBulkLoad(table, (err, n) => (err ? reject(err) : resolve(n)));
    load.addColumn('id', TYPES.Int, { nullable: false });
    load.addColumn('label', TYPES.NVarChar, { length: 40, nullable: false });
    load.addColumn('amount', TYPES.Decimal, { precision: 12, scale: 2, nullable: true });
    function* rows() {
      for (let n = 1; n <= count; ++n) yield [n, `row ${n}`, n + 0.25];
    }
    connection.execBulkLoad(load, rows());
  });
}

async function inserts(connection, table, count) {
  for (let n = 1; n <= count; ++n) {
    await run(connection, `INSERT INTO ${table}([id], [label], [amount]) VALUES( ${n}, N'row ${n}', ${n}.25)`);
  }
  return count;
}

async function main() {
  const [port, count] = process.argv.slice(2, 4).map(Number);
  const [table, mode] = process.argv.slice(4, 6);
  const connection = await new Promise((resolve, reject) => {
    const c = new Connection({
      server: '127.0.0.1',
      authentication: { type: 'default', options: { userName: 'sa', password: 'Velmora-Pw1' } },
      options: { port, database: 'velmora_shop', encrypt: false, trustServerCertificate: true,
                 requestTimeout: 0 },
    });
    c.on('connect', (err) => (err ? reject(err) : resolve(c)));
    c.connect();
  });
  await run(connection, `CREATE TABLE ${table} ([id] int NOT NULL PRIMARY KEY, ` +
                        '[label] nvarchar(40) NOT NULL, [amount] decimal(12,2) NULL)');
  const start = process.hrtime.bigint();
  const written = mode === 'insert' ? await inserts(connection, table, count) : await bulk(connection, table, count);
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  connection.close();
  console.log(`${written} ${seconds}`);
}

main().catch((err) => {
  console.log(`failed: ${err.message || err}`);
  process.exit(1);
});
