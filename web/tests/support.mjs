// What the page's tests and bench share: a static server for the built site, the system's
// chromium, the page driven through its own controls, and the native programs run in a scratch
// folder as a user runs them.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const SITE = path.resolve(process.env.SEQMEND_WEB_SITE ?? path.join(ROOT, 'build-web/site'));
export const NATIVE = path.resolve(process.env.SEQMEND_NATIVE_DIR ?? path.join(ROOT, 'build-release'));
export const CORPUS = path.join(ROOT, '../shared/corpus-ext');

// Module scripts and streamed WebAssembly load only with their own types.
const TYPES = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
};

// Serves the site folder as any static server would, on 127.0.0.1 at a free port.
export async function serveSite(folder = SITE) {
  const server = http.createServer((request, response) => {
    const name = path.basename(new URL(request.url, 'http://localhost').pathname) || 'index.html';
    const file = path.join(folder, name);
    if (!fs.existsSync(file)) {
      return response.writeHead(404).end();
    }
    response.writeHead(200, { 'Content-Type': TYPES[path.extname(name)] ?? 'application/octet-stream' });
    response.end(fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}/`, close: () => new Promise((done) => server.close(done)) };
}

// Debian's chromium, headless, in a fresh context; nothing here downloads a browser.
export async function launchBrowser() {
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update'],
  });
  const context = await browser.newContext({ acceptDownloads: true, viewport: { width: 900, height: 900 } });
  return { context, close: () => browser.close() };
}

// A new tab on the page, once its engine is ready.
export async function openPage(context, url) {
  const page = await context.newPage();
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]');
  return page;
}

export async function waitForBatch(page, batch) {
  await page.waitForFunction((n) => Number(document.getElementById('results').dataset.batch) >= n,
    batch, { timeout: 120000 });
}

// Picks files (paths or { name, mimeType, buffer }) with the page's file input and waits until all
// of them are shown.
export async function pickFiles(page, files) {
  const before = await page.$eval('#results', (node) => Number(node.dataset.batch ?? 0));
  await page.setInputFiles('#files', files);
  await waitForBatch(page, before + 1);
}

// Every file's card as the page shows it: name, verdict, the finding lines of its repair and of a
// restoration, whether it offers one, and the bytes behind each download link.
export async function readCards(page) {
  const cards = await page.$$eval('article.file', (nodes) => Promise.all(nodes.map(async (node) => {
    const lines = (kind) => [...node.querySelectorAll(`ol[data-kind="${kind}"] li`)].map((li) => li.textContent);
    const downloads = await Promise.all([...node.querySelectorAll('a.download')].map(async (link) =>
      [link.dataset.file, [...new Uint8Array(await (await fetch(link.href)).arrayBuffer())]]));
    const { name, verdict } = node.dataset;
    const offersRestoration = node.querySelector('button.restore') !== null;
    const [repair, restoration] = [lines('repair'), lines('restoration')];
    return { name, verdict, lines: repair, restorationLines: restoration, offersRestoration, downloads };
  })));
  return cards.map((card) => ({
    ...card, downloads: Object.fromEntries(card.downloads.map(([name, bytes]) => [name, Buffer.from(bytes)])),
  }));
}

const HINT = ['if the results are not sufficient then try eolmend,', 'because this file might contain cr/lf problems'];

// Runs `program options... name out.mid` on a copy of the file, named `name`, in a scratch folder.
// Returns the finding lines (stdout without the verdict and the hint), the verdict as the page
// names it, whether the hint was printed, the output, and the extra files by name.
export function runNative(program, file, name = path.basename(file), options = []) {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'seqmend-web-native-'));
  const read = (entry) => fs.readFileSync(path.join(scratch, entry));
  try {
    fs.copyFileSync(file, path.join(scratch, name));
    const run = spawnSync(path.join(NATIVE, program), [...options, name, 'out.mid'], { cwd: scratch });
    if (run.error) {
      throw run.error;
    }
    const text = run.stdout.toString('utf8');
    const stdout = text === '' ? [] : text.replace(/\n$/, '').split('\n');
    const verdicts = [`${name} is ok.`, `${name} contains errors. Fixed output written to out.mid`];
    const extras = fs.readdirSync(scratch).filter((entry) => /^extra\d+\.mid$/.test(entry));
    return {
      lines: stdout.filter((line) => !verdicts.includes(line) && !HINT.includes(line)),
      verdict: run.status !== 0 ? 'failed' : stdout.includes(verdicts[0]) ? 'sound' : 'repaired',
      hint: stdout.includes(HINT[0]),
      output: fs.existsSync(path.join(scratch, 'out.mid')) ? read('out.mid') : null,
      extras: Object.fromEntries(extras.map((entry) => [entry, read(entry)])),
    };
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

// Every MIDI file of a folder tree, sorted.
export function midiFiles(folder) {
  const names = fs.existsSync(folder) ? fs.readdirSync(folder, { recursive: true }) : [];
  return names.filter((name) => /\.(mid|midi|smf|kar|rmi)$/i.test(name)).map((name) => path.join(folder, name)).sort();
}

// The damage of a text-mode transfer: every LF byte becomes CR LF.
export function lfToCrLf(bytes) {
  return Buffer.from(bytes.toString('latin1').replaceAll('\n', '\r\n'), 'latin1');
}
