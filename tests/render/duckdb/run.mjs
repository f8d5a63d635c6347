// Runs SQL files in one in-memory DuckDB, with extension autoloading off (no
// network): the first sets up, each other is a query whose rows are printed
// one a line, fields apart by commas, doubles as the shortest text that
// reads back as the same double (NaN, Infinity, -Infinity), NULL as nothing;
// "--" ends each query's rows. A query that fails prints "ERROR: " and why,
// and the run goes on to the next. With --time, each query's "--" line also
// gives the seconds it took (for the benchmark; tests do not time).
//
// Usage: node run.mjs [--time] SETUP.sql QUERY.sql...
import { readFileSync } from 'node:fs';
import { DuckDBInstance } from '@duckdb/node-api';

const instance = await DuckDBInstance.create(':memory:', {
  autoload_known_extensions: 'false',
  autoinstall_known_extensions: 'false',
});
const connection = await instance.connect();
const timed = process.argv[2] === '--time';
const [setup, ...queries] = process.argv.slice(timed ? 3 : 2);
await connection.run(readFileSync(setup, 'utf8'));
const text = (v) => (v === null ? '' : String(v));
let failed = false;
for (const file of queries) {
  const began = performance.now();
  try {
    const reader = await connection.runAndReadAll(readFileSync(file, 'utf8'));
    for (const row of reader.getRows()) process.stdout.write(row.map(text).join(',') + '\n');
  } catch (error) {
    failed = true;
    process.stdout.write('ERROR: ' + error.message.split('\n')[0] + '\n');
  }
  process.stdout.write(timed ? `-- ${(performance.now() - began) / 1000}\n` : '--\n');
}
process.exitCode = failed ? 1 : 0;
