// The page in Debian's chromium, driven through its own controls: its findings and repaired bytes
// against the command line's, the CR LF restoration, files that are no MIDI, the downloads and
// the .zip, the keyboard, a phone's width, and no network request after load.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

import {
  CORPUS, ROOT, launchBrowser, lfToCrLf, midiFiles, openPage, pickFiles, readCards, runNative,
  serveSite, waitForBatch,
} from './support.mjs';

const EXAMPLES = midiFiles(path.join(ROOT, 'examples'));
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'seqmend-web-test-'));
let server;
let browser;

before(async () => {
  server = await serveSite();
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.close();
  fs.rmSync(scratch, { recursive: true, force: true });
});

function writeScratch(name, bytes) {
  const file = path.join(scratch, name);
  fs.writeFileSync(file, bytes);
  return file;
}

// A card against the command line's run on the same bytes under the same name.
function assertSameAsNative(card, native) {
  assert.deepEqual(card.lines, native.lines, 'finding lines');
  assert.equal(card.verdict, native.verdict, 'verdict');
  const stem = card.name.replace(/\.[^.]*$/, '');
  const expected = {};
  if (native.verdict === 'repaired') {
    expected[`${stem}-repaired.mid`] = native.output;
  }
  for (const [name, bytes] of Object.entries(native.extras)) {
    expected[`${stem}-${name}`] = bytes;
  }
  assert.deepEqual(Object.keys(card.downloads).sort(), Object.keys(expected).sort(), 'downloads');
  for (const [name, bytes] of Object.entries(expected)) {
    assert.ok(card.downloads[name].equals(bytes), `${name}: the page's bytes differ`);
  }
  if (native.verdict === 'repaired') {
    assert.equal(card.offersRestoration, native.hint, 'the CR LF offer');
  }
}

// Files no MIDI at all, of the shapes users drop by mistake.
const NOT_MIDI = [
  ['empty.mid', Buffer.alloc(0)],
  ['notes.txt', Buffer.from('Chorus: C G Am F\r\nVerse: C F C G\r\n')],
  ['cover.png', Buffer.from('89504e470d0a1a0a0000000d49484452000000100000001008060000001ff3ff61', 'hex')],
  ['MThd-only.mid', Buffer.from('MThd')],
];

test('every example, every corpus file and files that are no MIDI: the page prints and writes what the command line does', async (t) => {
  const corpus = midiFiles(CORPUS);
  if (corpus.length === 0) {
    t.diagnostic(`no corpus at ${CORPUS}; the examples and the generated files only`);
  }
  const files = [...EXAMPLES, ...corpus, ...NOT_MIDI.map(([name, bytes]) => writeScratch(name, bytes))];
  const page = await openPage(browser.context, server.url);
  await pickFiles(page, files);
  const cards = await readCards(page);
  assert.equal(cards.length, files.length);
  const verdicts = { sound: 0, repaired: 0, failed: 0 };
  for (const [i, file] of files.entries()) {
    const card = cards[i];
    assert.equal(card.name, path.basename(file));
    const label = file.startsWith(scratch) ? path.basename(file) : path.relative(ROOT, file);
    await t.test(label, () => {
      assertSameAsNative(card, runNative('seqmend', file));
      if (card.verdict !== 'repaired') {
        assert.equal(card.restorationLines.length, 0);
      }
      if (card.verdict === 'sound') {
        assert.deepEqual(Object.keys(card.downloads), [], 'a sound file offers nothing');
      }
    });
    verdicts[card.verdict]++;
  }
  for (const [name] of NOT_MIDI) {
    const card = cards.find((c) => c.name === name);
    assert.equal(card.verdict, 'failed', name);
    assert.deepEqual(Object.keys(card.downloads), [], `${name} offers nothing`);
  }
  t.diagnostic(`${files.length} files equal to the command line's: ${verdicts.sound} sound, ` +
    `${verdicts.repaired} repaired, ${verdicts.failed} failed`);
  await page.close();
});

test('the normal form, chosen on the page: every example and corpus file as `seqmend -normalize`', async (t) => {
  const files = [...EXAMPLES, ...midiFiles(CORPUS)];
  const page = await openPage(browser.context, server.url);
  await pickFiles(page, files);
  await page.check('#normal-form'); // the files shown are repaired again
  await waitForBatch(page, 2);
  const cards = await readCards(page);
  let changed = 0;
  for (const [i, file] of files.entries()) {
    const native = runNative('seqmend', file, path.basename(file), ['-normalize']);
    await t.test(path.relative(ROOT, file), () => assertSameAsNative(cards[i], native));
    changed += native.lines.length !== runNative('seqmend', file).lines.length ? 1 : 0;
  }
  t.diagnostic(`${files.length} files equal to seqmend -normalize; ${changed} with more lines than the ordinary repair`);
  await page.close();
});

// Sound files with LF bytes, to be damaged as a text-mode transfer damages them: a small one made
// here, whose track length is 0x0A, and the first two of the examples and the corpus.
function crlfVictims() {
  const events = [
    0x00, 0xc0, 0x0a, // program 10
    0x0a, 0xc0, 0x0b, // program 11, 10 ticks later
    0x00, 0xff, 0x2f, 0x00, // end of track; the track's length is 10
  ];
  const made = writeScratch('programs.mid', Buffer.concat([
    Buffer.from('4d546864000000060000000100604d54726b', 'hex'),
    Buffer.from([0, 0, 0, events.length, ...events]),
  ]));
  const found = [...EXAMPLES, ...midiFiles(CORPUS)]
    .filter((file) => fs.readFileSync(file).includes(0x0a))
    .filter((file) => runNative('seqmend', file).verdict === 'sound');
  return [made, ...found.slice(0, 2)];
}

test('CR LF damage: the page offers the restoration, and after it equals eolmend then seqmend', async (t) => {
  const victims = crlfVictims();
  assert.ok(victims.length > 0, 'no sound file with an LF byte to damage');
  const damaged = victims.map((file) =>
    writeScratch(`crlf-${path.basename(file)}`, lfToCrLf(fs.readFileSync(file))));
  const page = await openPage(browser.context, server.url);
  await pickFiles(page, damaged);
  for (const [i, file] of damaged.entries()) {
    await t.test(path.basename(file), async () => {
      const name = path.basename(file);
      const plain = runNative('seqmend', file);
      const card = (await readCards(page))[i];
      assert.equal(plain.hint, true, 'the command line hints at eolmend');
      assert.equal(card.offersRestoration, true, 'the page offers the restoration');
      assertSameAsNative(card, plain);

      await page.locator(`article.file >> nth=${i}`).locator('button.restore').click();
      await page.locator(`article.file >> nth=${i}`).locator('ol[data-kind="restoration"]').waitFor();
      const restored = (await readCards(page))[i];
      const eol = runNative('eolmend', file);
      assert.equal(eol.verdict, 'repaired');
      assert.deepEqual(restored.restorationLines, eol.lines, 'restoration lines');
      const then = runNative('seqmend', writeScratch(`restored-${name}`, eol.output), name);
      assert.deepEqual(restored.lines, then.lines, 'lines of the repair after the restoration');
      const expected = then.verdict === 'repaired' ? then.output : eol.output;
      const stem = name.replace(/\.[^.]*$/, '');
      assert.ok(restored.downloads[`${stem}-repaired.mid`].equals(expected), 'restored bytes');
      assert.ok(expected.equals(fs.readFileSync(victims[i])), 'the original file is back');
      assert.equal(restored.offersRestoration, false);
    });
  }
  await page.close();
});

test('CR LF pairs that belong to the data: the restoration refuses, and the repair stands', async () => {
  const events = [0x00, 0x90, 0x0d, 0x0a, 0x60, 0x80, 0x0d, 0x00, 0x00, 0xff, 0x2f, 0x00];
  const file = writeScratch('natural.mid', Buffer.concat([
    Buffer.from('4d546864000000060000000100604d54726b', 'hex'),
    Buffer.from([0, 0, 0, events.length, ...events]),
    Buffer.from('xyz'), // trailing garbage: the file is repaired, and the hint applies
  ]));
  const page = await openPage(browser.context, server.url);
  await pickFiles(page, [file]);
  const [before] = await readCards(page);
  assert.equal(before.offersRestoration, true);
  await page.click('button.restore');
  await page.locator('.restore-failed').waitFor();
  const [after] = await readCards(page);
  const eol = runNative('eolmend', file);
  assert.equal(eol.verdict, 'failed');
  assert.deepEqual(after.restorationLines, eol.lines);
  assertSameAsNative({ ...after, offersRestoration: true }, runNative('seqmend', file));
  await page.close();
});

test('several files: the .zip holds every download, byte for byte', async () => {
  const page = await openPage(browser.context, server.url);
  // The same name twice: the archive keeps both.
  const again = writeScratch('damaged.mid', fs.readFileSync(path.join(ROOT, 'examples/appended.mid')));
  await pickFiles(page, [...EXAMPLES, again]);
  const cards = await readCards(page);
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#zip')]);
  const zipPath = path.join(scratch, 'all.zip');
  await download.saveAs(zipPath);
  const listing = spawnSync('/usr/bin/python3', ['-c', `
import json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    assert z.testzip() is None
    print(json.dumps({i.filename: z.read(i).hex() for i in z.infolist()}))
`, zipPath]);
  assert.equal(listing.status, 0, listing.stderr.toString());
  const entries = JSON.parse(listing.stdout.toString());
  const expected = cards.flatMap((card) => Object.entries(card.downloads));
  assert.equal(Object.keys(entries).length, expected.length);
  const byHex = new Set(Object.values(entries));
  for (const [name, bytes] of expected) {
    assert.ok(byHex.has(bytes.toString('hex')), `${name} is in the archive`);
  }
  assert.ok('damaged-repaired.mid' in entries && 'damaged-repaired (2).mid' in entries);
  await page.close();
});

test('after load the page makes no network request, whatever it is asked to do', async () => {
  const page = await browser.context.newPage();
  await page.goto(server.url);
  await page.waitForSelector('body[data-ready="true"]');
  const requests = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('websocket', (socket) => requests.push(socket.url()));
  // Offline from here on: the page must not need the network for anything it does.
  await browser.context.setOffline(true);
  try {
    const damaged = writeScratch('crlf.mid', lfToCrLf(fs.readFileSync(crlfVictims()[0])));
    await pickFiles(page, [...EXAMPLES, damaged]);
    await page.locator('button.restore').first().click();
    await page.locator('ol[data-kind="restoration"]').first().waitFor();
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#zip')]);
    await download.path();
  } finally {
    await browser.context.setOffline(false);
  }
  assert.deepEqual(requests, []);
  assert.equal(await page.$$eval('article.file[data-verdict="repaired"]', (cards) => cards.length) > 0, true);
  await page.close();
});

test('a file name longer than any line buffer, in UTF-8, is rendered whole', async () => {
  const name = `${'Übung-'.repeat(120)}.mid`; // 840 bytes: longer than Linux allows on disk
  const file = path.join(ROOT, 'examples/damaged.mid');
  const page = await openPage(browser.context, server.url);
  const before = await page.$eval('#results', (node) => Number(node.dataset.batch ?? 0));
  await page.setInputFiles('#files', { name, mimeType: 'audio/midi', buffer: fs.readFileSync(file) });
  await waitForBatch(page, before + 1);
  const [card] = await readCards(page);
  const native = runNative('seqmend', file, 'short.mid');
  assert.deepEqual(card.lines, native.lines.map((line) => line.replace(/^short\.mid/, name)));
  await page.close();
});

test('the same file chosen again is repaired again', async () => {
  const page = await openPage(browser.context, server.url);
  const file = path.join(ROOT, 'examples/damaged.mid');
  await pickFiles(page, [file]);
  await pickFiles(page, [file]);
  const cards = await readCards(page);
  assert.equal(cards.length, 1);
  assert.equal(cards[0].verdict, 'repaired');
  await page.close();
});

test('keyboard alone: Tab reaches the drop zone, Enter opens the file chooser', async () => {
  const page = await openPage(browser.context, server.url);
  // Listened for before any key: the browser is told to hand the chooser over asynchronously.
  const choosing = page.waitForEvent('filechooser');
  let focused = '';
  for (let i = 0; i < 5 && focused !== 'drop'; i++) {
    await page.keyboard.press('Tab');
    focused = await page.evaluate(() => document.activeElement.id);
  }
  assert.equal(focused, 'drop');
  await page.keyboard.press('Enter');
  const chooser = await choosing;
  assert.equal(chooser.isMultiple(), true);
  await chooser.setFiles(path.join(ROOT, 'examples/damaged.mid'));
  await waitForBatch(page, 1);
  const [card] = await readCards(page);
  assert.equal(card.verdict, 'repaired');
  assert.equal(await page.getAttribute('#summary', 'aria-live'), 'polite');
  assert.match(await page.textContent('#summary'), /1 file checked: 0 sound, 1 repaired/);
  await page.close();
});

test('files dropped on the zone are repaired like files picked', async () => {
  const page = await openPage(browser.context, server.url);
  const bytes = [...fs.readFileSync(path.join(ROOT, 'examples/damaged.mid'))];
  const transfer = await page.evaluateHandle((data) => {
    const dt = new DataTransfer();
    dt.items.add(new File([new Uint8Array(data)], 'dropped.mid'));
    return dt;
  }, bytes);
  await page.dispatchEvent('#drop', 'drop', { dataTransfer: transfer });
  await waitForBatch(page, 1);
  const [card] = await readCards(page);
  const native = runNative('seqmend', path.join(ROOT, 'examples/damaged.mid'), 'dropped.mid');
  assertSameAsNative(card, native);
  await page.close();
});

test('at a phone\'s width nothing needs scrolling sideways; the screenshot for the README', async () => {
  const page = await openPage(browser.context, server.url);
  await page.setViewportSize({ width: 360, height: 740 });
  const shown = ['damaged.mid', 'appended.mid', 'sound.mid', 'not-midi.mid'];
  const damaged = writeScratch('sent-as-text.mid', lfToCrLf(fs.readFileSync(crlfVictims()[0])));
  await pickFiles(page, [...shown.map((name) => path.join(ROOT, 'examples', name)), damaged]);
  const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
  assert.ok(widths[0] <= widths[1], `the page is ${widths[0]} px wide in a ${widths[1]} px window`);
  await page.setViewportSize({ width: 900, height: 900 });
  fs.mkdirSync(path.join(ROOT, 'docs'), { recursive: true });
  await page.screenshot({ path: path.join(ROOT, 'docs/web-page.png'), fullPage: true });
  await page.close();
});
