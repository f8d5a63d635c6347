// Scores CSV files with ONNX models in onnxruntime (its CPU engine): each
// file's first line names the columns, each later line is a row whose
// fields from the column FIRST on are the model's inputs, read as strtod
// reads them (inf, nan; an empty field or NA is NaN). Prints, for each
// model in turn, one prediction a line as the shortest text that reads
// back as the same double (NaN, Infinity, -Infinity), then "--". With
// --time, the rows are scored REPEAT times in one session and the seconds
// of each run go to standard error instead (for the benchmark; tests do
// not time).
//
// Usage: node run.mjs [--time REPEAT] MODEL.onnx DATA.csv FIRST [MODEL.onnx DATA.csv FIRST]...
import { readFileSync } from 'node:fs';
import ort from 'onnxruntime-node';

const timed = process.argv[2] === '--time';
const repeat = timed ? Number(process.argv[3]) : 1;
const jobs = process.argv.slice(timed ? 4 : 2);

const field = (text) => {
  const t = text.trim().toLowerCase();
  if (t === '' || t === 'na' || /^[+-]?nan$/.test(t)) return NaN;
  if (/^[+-]?inf(inity)?$/.test(t)) return t.startsWith('-') ? -Infinity : Infinity;
  return Number(t);
};

for (let job = 0; job + 2 < jobs.length; job += 3) {
  const [modelPath, dataPath, first] = [jobs[job], jobs[job + 1], Number(jobs[job + 2])];
  const lines = readFileSync(dataPath, 'utf8').split('\n').slice(1).filter((line) => line !== '');
  const session = await ort.InferenceSession.create(modelPath);
  const width = session.inputMetadata?.[0]?.shape?.[1] ?? lines[0].split(',').length - first;
  const values = new Float64Array(lines.length * width);
  lines.forEach((line, row) => {
    const fields = line.split(',');
    for (let m = 0; m < width; ++m) values[row * width + m] = field(fields[first + m] ?? '');
  });
  const input = new ort.Tensor('float64', values, [lines.length, width]);
  for (let run = 0; run < repeat; ++run) {
    const began = performance.now();
    const output = (await session.run({ input }))[session.outputNames[0]].data;
    if (timed) process.stderr.write(((performance.now() - began) / 1000).toFixed(4) + '\n');
    else process.stdout.write(Array.from(output, String).join('\n') + (output.length ? '\n' : ''));
  }
  if (!timed) process.stdout.write('--\n');
}
