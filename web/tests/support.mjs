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

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript',
  '.css': 'text/css',
  '.wasm': 'application/wasm',
};

// Serves the site folder as any static server would, on 127.0.0.1 at a free port.
export async function serveSite(folder = SITE) {
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://localhost');
    const name = url.pathname === '/' ? 'index.html' : path.basename(url.pathname);
    const file = path.join(folder, name);
    if (!fs.existsSync(file)) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': TYPES[path.extname(name)] ?? 'application/octet-stream' });
    response.end(fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    url: `http://127.0.0.1:${server.address().port}/`,
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

// Debian's chromium, headless, in a fresh profile; nothing here downloads a browser.
export async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'seqmend-web-profile-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    acceptDownloads: true,
    viewport: { width: 900, height: 900 },
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
  });
  return {
    context,
    close: async () => {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// A new tab on the page, once its engine is ready.
export async function openPage(context, url) {
  const page = await context.newPage();
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]');
  return page;
}

// Picks files with the page's file input and waits until all of them are shown.
export async function pickFiles(page, files) {
  const before = await page.$eval('#results', (node) => Number(node.dataset.batch ?? 0));
  await page.setInputFiles('#files', files);
  await waitForBatch(page, before + 1);
}

export async function waitForBatch(page, batch) {
  await page.waitForFunction((n) => Number(document.getElementById('results').dataset.batch) >= n,
    batch, { timeout: 120000 });
}

// Every file's card as the page shows it: name, verdict, the finding lines of its repair and of a
// restoration, whether it offers one, and the bytes behind each download link.
export async function readCards(page) {
  const cards = await page.$$eval('article.file', async (nodes) => {
    const base64 = (buffer) => {
      const bytes = new Uint8Array(buffer);
      let text = '';
      for (let i = 0; i < bytes.length; i += 0x8000) {
        text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
      }
      return btoa(text);
    };
    const lines = (node, kind) =>
      [...node.querySelectorAll(`ol[data-kind="${kind}"] li`)].map((li) => li.textContent);
    const out = [];
    for (const node of nodes) {
      const downloads = {};
      for (const link of node.querySelectorAll('a.download')) {
        downloads[link.dataset.file] = base64(await (await fetch(link.href)).arrayBuffer());
      }
      out.push({
        name: node.dataset.name,
        verdict: node.dataset.verdict,
        lines: lines(node, 'repair'),
        restorationLines: lines(node, 'restoration'),
        offersRestoration: node.querySelector('button.restore') !== null,
        downloads,
      });
    }
    return out;
  });
  for (const card of cards) {
    for (const [name, data] of Object.entries(card.downloads)) {
      card.downloads[name] = Buffer.from(data, 'base64');
    }
  }
  return cards;
}

const HINT_LINES = [
  'if the results are not sufficient then try eolmend,',
  'because this file might contain cr/lf problems',
];

// Runs `program options... name out.mid` on a copy of the file named `name` in a scratch folder.
// Returns the
// exit status, the finding lines (stdout without the verdict and the hint), the verdict as the
// page names it, whether the hint was printed, the output, and the extra files by name.
export function runNative(program, file, name = path.basename(file), options = []) {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'seqmend-web-native-'));
  try {
    fs.copyFileSync(file, path.join(scratch, name));
    const run = spawnSync(path.join(NATIVE, program), [...options, name, 'out.mid'], { cwd: scratch });
    if (run.error) {
      throw run.error;
    }
    const stdout = run.stdout.toString('utf8').split('\n');
    if (stdout.at(-1) === '') {
      stdout.pop();
    }
    const verdictLines = [`${name} is ok.`, `${name} contains errors. Fixed output written to out.mid`];
    const outPath = path.join(scratch, 'out.mid');
    const extras = {};
    for (const entry of fs.readdirSync(scratch).sort()) {
      if (/^extra\d+\.mid$/.test(entry)) {
        extras[entry] = fs.readFileSync(path.join(scratch, entry));
      }
    }
    return {
      status: run.status,
      lines: stdout.filter((line) => !verdictLines.includes(line) && !HINT_LINES.includes(line)),
      verdict: run.status !== 0 ? 'failed' : stdout.includes(verdictLines[0]) ? 'sound' : 'repaired',
      hint: stdout.includes(HINT_LINES[0]),
      output: fs.existsSync(outPath) ? fs.readFileSync(outPath) : null,
      extras,
    };
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

// Every MIDI file of a folder tree, sorted.
export function midiFiles(folder) {
  if (!fs.existsSync(folder)) {
    return [];
  }
  const found = [];
  for (const entry of fs.readdirSync(folder, { withFileTypes: true })) {
    const file = path.join(folder, entry.name);
    if (entry.isDirectory()) {
      found.push(...midiFiles(file));
    } else if (/\.(mid|midi|smf|kar|rmi)$/i.test(entry.name)) {
      found.push(file);
    }
  }
  return found.sort();
}

// The damage of a text-mode transfer: every LF byte becomes CR LF.
export function lfToCrLf(bytes) {
  const out = [];
  for (const byte of bytes) {
    if (byte === 0x0a) {
      out.push(0x0d);
    }
    out.push(byte);
  }
  return Buffer.from(out);
}
