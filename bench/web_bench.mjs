// Benchmark of the page: the time to repair a 1 MiB file in the page (Debian's chromium, headless)
// beside the native command's on the same machine and file, and the page's whole weight
// compressed (gzip -9 of every file of the site). Prints a markdown table. Not a test: it judges
// nothing, it reports the numbers the page is held to (at most 3 times the native time, at most
// 200 KiB).
//
// usage: node bench/web_bench.mjs        (after scripts/build-web and the release preset's build;
//                                         run from the root of the checkout, npm ci done in web/)
// environment: BENCH_RUNS (runs per input and side, default 7), SEQMEND_WEB_SITE,
// SEQMEND_NATIVE_DIR (as for the page's tests).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { performance } from 'node:perf_hooks';

import {
  NATIVE, ROOT, SITE, launchBrowser, openPage, pickFiles, serveSite,
} from '../web/tests/support.mjs';

const runs = Number(process.env.BENCH_RUNS ?? 7);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'seqmend-web-bench-'));

// The benchmark's own generators (bench/make_inputs.py) at 1 MiB: a sound file of dense events
// and a damaged one (wrong lengths, garbage between tracks, lost ends of track).
const INPUTS = {
  'sound-1M.mid': 'sound_file(1 << 20, 4, 1)',
  'damaged-1M.mid': 'damaged_file(1 << 20, 8, 99)',
};

function makeInput(name, call) {
  const file = path.join(work, name);
  const script = `import sys; sys.path.insert(0, ${JSON.stringify(path.join(ROOT, 'bench'))})
import make_inputs as m
sys.stdout.buffer.write(m.${call})`;
  const run = spawnSync('python3', ['-c', script], { maxBuffer: 64 << 20 });
  if (run.status !== 0) {
    throw new Error(`python3 could not make ${name}: ${run.stderr}`);
  }
  fs.writeFileSync(file, run.stdout);
  return file;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

// The command as a user runs it, process start included: `seqmend in.mid out.mid`.
function nativeTime(file) {
  const times = [];
  for (let i = 0; i < runs; i++) {
    fs.rmSync(path.join(work, 'out.mid'), { force: true });
    const start = performance.now();
    const run = spawnSync(path.join(NATIVE, 'seqmend'), [path.basename(file), 'out.mid'], { cwd: work });
    times.push(performance.now() - start);
    if (run.status !== 0) {
      throw new Error(`seqmend failed on ${file}: ${run.stdout}${run.stderr}`);
    }
  }
  return median(times);
}

// In the page: from the file's choice to its results shown (read, copied into WebAssembly,
// repaired, rendered, the download made), as the page measures it; and the same seen from the
// test driver, which adds handing the file to the browser.
async function pageTimes(page, file) {
  const inside = [];
  const outside = [];
  for (let i = 0; i < runs; i++) {
    const start = performance.now();
    await pickFiles(page, [file]);
    outside.push(performance.now() - start);
    inside.push(await page.evaluate(() =>
      performance.getEntriesByName('seqmend: files repaired and shown').at(-1).duration));
  }
  return { inside: median(inside), outside: median(outside) };
}

function gzipSize(file) {
  const run = spawnSync('gzip', ['-9c', file], { maxBuffer: 64 << 20 });
  return run.stdout.length;
}

const server = await serveSite();
const browser = await launchBrowser();
try {
  const page = await openPage(browser.context, server.url);
  console.log(`| input | native seqmend (ms) | page (ms) | page / native | page, driver's view (ms) |`);
  console.log('|---|---:|---:|---:|---:|');
  for (const [name, call] of Object.entries(INPUTS)) {
    const file = makeInput(name, call);
    const native = nativeTime(file);
    const { inside, outside } = await pageTimes(page, file);
    console.log(`| ${name} | ${native.toFixed(1)} | ${inside.toFixed(1)} | ` +
      `${(inside / native).toFixed(2)}x | ${outside.toFixed(1)} |`);
  }
  console.log(`\nmedians of ${runs} runs; native times include starting the process`);

  console.log('\n| site file | bytes | gzip -9 |');
  console.log('|---|---:|---:|');
  let raw = 0;
  let packed = 0;
  for (const name of fs.readdirSync(SITE).sort()) {
    const file = path.join(SITE, name);
    const size = fs.statSync(file).size;
    const gz = gzipSize(file);
    raw += size;
    packed += gz;
    console.log(`| ${name} | ${size} | ${gz} |`);
  }
  console.log(`| **whole page** | ${raw} | ${packed} (${(packed / 1024).toFixed(1)} KiB) |`);
} finally {
  await browser.close();
  await server.close();
  fs.rmSync(work, { recursive: true, force: true });
}
