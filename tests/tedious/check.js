// A second TDS client for the TDS test server: tedious, written elsewhere, reads and bulk-loads
// through it, so the server's TDS is not only checked by the client it was written against.
//
//   node check.js read <port> <freetds.json>   reads dbo.all_types and compares every value with
//                                              FreeTDS's reading of it (the file)
//   node check.js bulk <port>                  bulk-loads dbo.bulk_types (every type tedious can
//                                              bulk-load) and reads it back
//
// tedious gives decimals and money as JavaScript numbers, real widened to a double, time,
// datetime2 and datetimeoffset as JavaScript dates (whole milliseconds: the digits beyond are
// dropped when reading, though sent when writing), and datetimeoffset as its instant without the
// offset; the comparisons below allow exactly that (docs/tds-test-server.md lists it).
'use strict';

const fs = require('fs');
const { Connection, Request, TYPES } = require('tedious');

function connect(port) {
  return new Promise((resolve, reject) => {
    const connection = new Connection({
      server: '127.0.0.1',
      authentication: { type: 'default', options: { userName: 'sa', password: 'Velmora-Pw1' } },
      options: {
        port,
        database: 'velmora_types',
        encrypt: false,
        trustServerCertificate: true,
        useUTC: true,
        connectTimeout: 10000,
        requestTimeout: 60000,
      },
    });
    connection.on('connect', (err) => (err ? reject(err) : resolve(connection)));
    connection.connect();
  });
}

function query(connection, text) {
  return new Promise((resolve, reject) => {
    const rows = [];
    let columns = [];
    const request = new Request(text, (err) => (err ? reject(err) : resolve({ columns, rows })));
    request.on('columnMetadata', (meta) => {
      columns = meta.map((c) => ({ name: c.colName, type: c.type.name, length: c.dataLength }));
    });
    request.on('row', (cells) => rows.push(cells.map((c) => c.value)));
    connection.execSql(request);
  });
}

// ---- reading FreeTDS's texts ----

// "[-]Y-MM-DD[ hh:mm:ss[.f]][ +hh:mm]" or "hh:mm:ss[.f]" as days and 100 ns ticks.
function parseMoment(text) {
  const m = /^(?:(\d+)-(\d\d)-(\d\d))?\s*(?:(\d\d):(\d\d)(?::(\d\d)(?:\.(\d+))?)?)?\s*(?:([+-])(\d\d):(\d\d))?$/.exec(
    text.trim());
  if (!m) throw new Error(`not a date or time: ${text}`);
  let day = 0;
  if (m[1] !== undefined) {
    const d = new Date(0);
    d.setUTCFullYear(Number(m[1]), Number(m[2]) - 1, Number(m[3]));
    day = Math.round(d.getTime() / 86400000);
  }
  const fraction = (m[7] || '').padEnd(7, '0');
  const ticks = ((Number(m[4] || 0) * 60 + Number(m[5] || 0)) * 60 + Number(m[6] || 0)) * 1e7 +
    Number(fraction);
  const offset = m[8] ? (m[8] === '-' ? -1 : 1) * (Number(m[9]) * 60 + Number(m[10])) : 0;
  return { day, ticks, offset };
}

// A tedious date as days and 100 ns ticks (UTC).
function momentOf(value) {
  const ms = value.getTime();
  const day = Math.floor(ms / 86400000);
  const delta = value.nanosecondDelta ? Math.round(value.nanosecondDelta * 1e7) : 0;
  return { day, ticks: (ms - day * 86400000) * 10000 + delta };
}

const hex = (buffer) => Buffer.from(buffer).toString('hex');

const ms = (ticks) => Math.floor(ticks / 10000);

// Whether tedious's value is FreeTDS's text, as far as tedious can represent it.
function same(type, value, text, length) {
  if (value === null || value === undefined || text === null) return (value ?? null) === text;
  switch (type) {
    case 'Bit': case 'BitN':
      return (value ? '1' : '0') === text;
    case 'TinyInt': case 'SmallInt': case 'Int': case 'BigInt': case 'IntN':
      return String(value) === text;
    case 'Decimal': case 'Numeric': case 'DecimalN': case 'NumericN':
    case 'Money': case 'SmallMoney': case 'MoneyN': {
      // a double: exact when the text has 15 significant digits or fewer, else within 4 ulps
      const n = Number(text);
      if (text.replace(/[-.]/g, '').replace(/^0+/, '').length <= 15) return n === value;
      return Math.abs(n - value) <= Math.abs(n) * 4 * Number.EPSILON;
    }
    case 'Real':
      return Math.fround(Number(text)) === value;
    case 'Float': case 'FloatN':
      return (length === 4 ? Math.fround(Number(text)) : Number(text)) === value;
    case 'Date': {
      const want = parseMoment(text);
      return momentOf(value).day === want.day;
    }
    case 'Time': case 'DateTime2': case 'DateTime': case 'SmallDateTime': case 'DateTimeN': {
      const want = parseMoment(text);
      const got = momentOf(value);
      return (type === 'Time' || got.day === want.day) && got.ticks === ms(want.ticks) * 10000;
    }
    case 'DateTimeOffset': {
      // tedious gives the instant only: compare it in UTC
      const want = parseMoment(text);
      const got = momentOf(value);
      const utc = want.day * 864e9 + ms(want.ticks) * 10000 - want.offset * 6e8;
      return got.day * 864e9 + got.ticks === utc;
    }
    case 'UniqueIdentifier':
      return String(value).toUpperCase() === text.toUpperCase();
    case 'Binary': case 'VarBinary': case 'Image': case 'BigBinary': case 'BigVarBinary':
    case 'UDT': case 'Timestamp':
      return hex(value) === text;
    case 'Variant':
      if (typeof value === 'number') return Number(text) === value;
      if (value instanceof Date) return momentOf(value).ticks === parseMoment(text).ticks;
      return String(value) === text;
    default:
      return String(value) === text;
  }
}

function shorten(v) {
  const s = v instanceof Buffer ? `0x${hex(v)}` : v instanceof Date ? v.toISOString() : String(v);
  return s.length > 80 ? `${s.slice(0, 80)}... (${s.length})` : s;
}

async function read(port, file) {
  const freetds = JSON.parse(fs.readFileSync(file, 'utf8'));
  const connection = await connect(port);
  const { columns, rows } = await query(connection, 'SELECT * FROM all_types');
  connection.close();
  const faults = [];
  if (rows.length !== freetds.rows.length)
    faults.push(`tedious read ${rows.length} rows, FreeTDS ${freetds.rows.length}`);
  columns.forEach((c, i) => {
    if (c.name !== freetds.columns[i]) faults.push(`column ${i}: ${c.name} vs ${freetds.columns[i]}`);
  });
  rows.forEach((row, r) => {
    row.forEach((value, i) => {
      const text = freetds.rows[r] ? freetds.rows[r][i] : undefined;
      if (!same(columns[i].type, value, text, columns[i].length))
        faults.push(`row ${r + 1} ${columns[i].name} (${columns[i].type}): tedious ${shorten(value)}, ` +
          `FreeTDS ${text === null ? 'NULL' : shorten(text)}`);
    });
  });
  return faults;
}

// ---- bulk load ----

const utc = (y, mo, d, h = 0, mi = 0, s = 0, ms = 0) => {
  const v = new Date(0);
  v.setUTCFullYear(y, mo - 1, d);
  v.setUTCHours(h, mi, s, ms);
  return v;
};
const withDelta = (date, delta) => Object.assign(date, { nanosecondDelta: delta });

// Every type tedious bulk-loads, its T-SQL and its options.
const bulkColumns = [
  ['id', 'int not null', TYPES.Int, {}],
  ['c_bit', 'bit', TYPES.Bit, {}],
  ['c_tinyint', 'tinyint', TYPES.TinyInt, {}],
  ['c_smallint', 'smallint', TYPES.SmallInt, {}],
  ['c_int', 'int', TYPES.Int, {}],
  ['c_bigint', 'bigint', TYPES.BigInt, {}],
  ['c_decimal', 'decimal(38,10)', TYPES.Decimal, { precision: 38, scale: 10 }],
  ['c_numeric', 'numeric(5,2)', TYPES.Numeric, { precision: 5, scale: 2 }],
  ['c_money', 'money', TYPES.Money, {}],
  ['c_smallmoney', 'smallmoney', TYPES.SmallMoney, {}],
  ['c_real', 'real', TYPES.Real, {}],
  ['c_float', 'float', TYPES.Float, {}],
  ['c_date', 'date', TYPES.Date, {}],
  ['c_time0', 'time(0)', TYPES.Time, { scale: 0 }],
  ['c_time7', 'time(7)', TYPES.Time, { scale: 7 }],
  ['c_smalldatetime', 'smalldatetime', TYPES.SmallDateTime, {}],
  ['c_datetime', 'datetime', TYPES.DateTime, {}],
  ['c_datetime2', 'datetime2(7)', TYPES.DateTime2, { scale: 7 }],
  ['c_datetimeoffset', 'datetimeoffset(7)', TYPES.DateTimeOffset, { scale: 7 }],
  ['c_char', 'char(10)', TYPES.Char, { length: 10 }],
  ['c_varchar', 'varchar(50)', TYPES.VarChar, { length: 50 }],
  ['c_varchar_max', 'varchar(max)', TYPES.VarChar, { length: Infinity }],
  ['c_nchar', 'nchar(10)', TYPES.NChar, { length: 10 }],
  ['c_nvarchar', 'nvarchar(50)', TYPES.NVarChar, { length: 50 }],
  ['c_nvarchar_max', 'nvarchar(max)', TYPES.NVarChar, { length: Infinity }],
  ['c_text', 'text', TYPES.Text, {}],
  ['c_ntext', 'ntext', TYPES.NText, {}],
  ['c_binary', 'binary(4)', TYPES.Binary, { length: 4 }],
  ['c_varbinary', 'varbinary(50)', TYPES.VarBinary, { length: 50 }],
  ['c_varbinary_max', 'varbinary(max)', TYPES.VarBinary, { length: Infinity }],
  ['c_image', 'image', TYPES.Image, {}],
  ['c_uniqueidentifier', 'uniqueidentifier', TYPES.UniqueIdentifier, {}],
];

const bigText = 'abcdefghij'.repeat(110000);
const bigUnicode = '😀x'.repeat(400000);
const bigBytes = Buffer.alloc(1100000, 0x5a);
bigBytes[7] = 0;

const bulkRows = [
  // tedious cuts money after multiplying by 10000 in doubles (12.3456 would arrive as 12.3455):
  // its money values here are exact in binary.
  [1, true, 42, -1234, 123456, '1234567890123', 12345.6789, 123.45, 12.25, 1.5, 0.1, 0.1,
    utc(2024, 2, 29), utc(1970, 1, 1, 13, 45, 30), withDelta(utc(1970, 1, 1, 13, 45, 30, 123), 0.0004567),
    utc(2024, 2, 29, 13, 45), utc(2024, 2, 29, 13, 45, 30, 997),
    withDelta(utc(2024, 2, 29, 13, 45, 30, 123), 0.0004567), utc(2024, 2, 29, 8, 15, 30, 123),
    'abc       ', 'hello, world', 'short', 'ab        ', 'Grüße 😀', '😀 max', 'legacy text',
    'legacy ünïcode 😀', Buffer.from([0, 1, 2, 3]), Buffer.from([0, 0xff, 0]), Buffer.from([0]),
    Buffer.from([0x89, 0x50, 0x4e, 0x47]), '6F9619FF-8B86-D011-B42D-00C04FC964FF'],
  [2, ...Array(bulkColumns.length - 1).fill(null)],
  [3, false, 0, -32768, -2147483648, '-9223372036854775808', -99999999.9999, -999.99,
    -922337203685477.5, -214748.3648, -3.4028234663852886e38, -1.7976931348623157e308,
    utc(1, 1, 1), utc(1970, 1, 1), utc(1970, 1, 1), utc(1900, 1, 1), utc(1753, 1, 1),
    utc(1, 1, 1), utc(1, 1, 1, 14), '          ', '', '', '          ', '', '', '', '',
    Buffer.from([0, 0, 0, 0]), Buffer.alloc(0), Buffer.alloc(0), Buffer.alloc(0),
    '00000000-0000-0000-0000-000000000000'],
  [4, true, 255, 32767, 2147483647, '9223372036854775807', 99999999.9999, 999.99,
    922337203685477.5, 214748.3647, 3.4028234663852886e38, 1.7976931348623157e308,
    utc(9999, 12, 31), utc(1970, 1, 1, 23, 59, 59), withDelta(utc(1970, 1, 1, 23, 59, 59, 999), 0.0009999),
    utc(2079, 6, 6, 23, 59), utc(9999, 12, 31, 23, 59, 59, 997),
    withDelta(utc(9999, 12, 31, 23, 59, 59, 999), 0.0009999), utc(9999, 12, 31, 9, 59, 59, 999),
    'xyz       ', 'Grüße', 'x', '日本語       ', '𝄞 music', '𝄞', 'x', '𝄞',
    Buffer.from([0xff, 0xff, 0xff, 0xff]), Buffer.from([0xff, 0xff, 0xff, 0xff]), Buffer.from([0xff]),
    Buffer.from([0xff]), 'FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF'],
  [5, ...Array(20).fill(null), bigText, null, null, bigUnicode, bigText, bigUnicode, null, null,
    bigBytes, bigBytes, null],
];

function bulkLoad(connection, rows) {
  return new Promise((resolve, reject) => {
    const load = connection.newBulkLoad('dbo.bulk_types', { keepNulls: true }, (err, count) =>
      (err ? reject(err) : resolve(count)));
    for (const [name, , type, options] of bulkColumns)
      load.addColumn(name, type, { nullable: name !== 'id', ...options });
    connection.execBulkLoad(load, rows);
  });
}

// What a value sent reads back as, in the column type tedious reports.
function sameAsSent(type, got, sent) {
  if (sent === null) return got === null;
  if (got === null) return false;
  if (sent instanceof Buffer) return hex(got) === hex(sent);
  if (sent instanceof Date) {
    // read back to the millisecond (FreeTDS checks the digits beyond)
    const a = momentOf(got), b = momentOf(sent);
    return (type === 'Time' || a.day === b.day) && a.ticks === ms(b.ticks) * 10000;
  }
  if (type === 'Real' || (type === 'FloatN' && Math.fround(sent) === got)) return Math.fround(sent) === got;
  if (typeof sent === 'number' && typeof got === 'number')
    return Math.abs(got - sent) <= Math.abs(sent) * 4 * Number.EPSILON;
  if (type === 'UniqueIdentifier') return String(got).toUpperCase() === String(sent).toUpperCase();
  return String(got) === String(sent) || (type === 'Bit' && got === sent);
}

async function bulk(port) {
  const connection = await connect(port);
  const definition = bulkColumns.map(([name, sql]) => `[${name}] ${sql}`).join(', ');
  await query(connection, `CREATE TABLE dbo.bulk_types (${definition})`);
  const count = await bulkLoad(connection, bulkRows);
  const faults = [];
  if (count !== bulkRows.length) faults.push(`bulk load reported ${count} rows`);
  const { columns, rows } = await query(connection, 'SELECT * FROM dbo.bulk_types');
  connection.close();
  if (rows.length !== bulkRows.length) faults.push(`read back ${rows.length} rows`);
  rows.forEach((row, r) => row.forEach((value, i) => {
    if (!sameAsSent(columns[i].type, value, bulkRows[r][i]))
      faults.push(`row ${r + 1} ${columns[i].name} (${columns[i].type}): sent ` +
        `${shorten(bulkRows[r][i])}, read ${value === null ? 'NULL' : shorten(value)}`);
  }));
  return faults;
}

async function main() {
  const [mode, port, file] = process.argv.slice(2);
  const faults = mode === 'read' ? await read(Number(port), file) : await bulk(Number(port));
  for (const f of faults) console.log(f);
  console.log(faults.length ? `${faults.length} differences` : 'same');
  process.exit(faults.length ? 1 : 0);
}

main().catch((err) => {
  console.log(`failed: ${err.stack || err}`);
  process.exit(2);
});
