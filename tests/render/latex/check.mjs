// Parses every formula of LaTeX files with KaTeX, errors on: each align*
// environment and each $...$ of the text. Prints nothing and exits 0 when
// all parse; else the file, the formula's start and KaTeX's message, and
// exits 1.
//
// Usage: node check.mjs FILE.tex...
import { readFileSync } from 'node:fs';
import katex from 'katex';

let failed = false;
for (const file of process.argv.slice(2)) {
  const text = readFileSync(file, 'utf8').split('\n').filter((line) => !line.startsWith('%')).join('\n');
  const formulas = [...text.matchAll(/\\begin\{align\*\}[\s\S]*?\\end\{align\*\}/g)].map((m) => m[0]);
  const body = text.replace(/\\begin\{align\*\}[\s\S]*?\\end\{align\*\}/g, '');
  formulas.push(...[...body.matchAll(/\$([^$]+)\$/g)].map((m) => m[1]));
  if (formulas.length === 0) {
    failed = true;
    process.stdout.write(`${file}: no formula\n`);
  }
  for (const formula of formulas) {
    try {
      katex.renderToString(formula, { displayMode: true, throwOnError: true, strict: 'error' });
    } catch (error) {
      failed = true;
      process.stdout.write(`${file}: ${formula.slice(0, 60)}: ${error.message}\n`);
    }
  }
}
process.exit(failed ? 1 : 0);
