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
const MIDI = [...EXAMPLES, ...midiFiles(CORPUS)];
const example = (name) => path.join(ROOT, 'examples', name);
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

// One track of the given events after a header; the length field is the events' count.
const smf = (events, tail = '') => Buffer.concat([Buffer.from('4d546864000000060000000100604d54726b', 'hex'),
  Buffer.from([0, 0, 0, events.length, ...events]), Buffer.from(tail)]);
// A sound file whose LF bytes (its track length among them) a text-mode transfer damages.
const PROGRAMS = writeScratch('programs.mid', smf([0x00, 0xc0, 0x0a, 0x0a, 0xc0, 0x0b, 0x00, 0xff, 0x2f, 0x00]));

// A card against the command line's run on the same bytes under the same name.
function assertSameAsNative(card, native, label = card.name) {
  assert.deepEqual([card.verdict, card.lines], [native.verdict, native.lines], label);
  const stem = card.name.replace(/\.[^.]*$/, '');
  const expected = Object.fromEntries(Object.entries(native.extras).map(([name, bytes]) => [`${stem}-${name}`, bytes]));
  if (native.verdict === 'repaired') {
    expected[`${stem}-repaired.mid`] = native.output;
    assert.equal(card.offersRestoration, native.hint, `${label}: the CR LF offer`);
  } else {
    assert.deepEqual(card.restorationLines, [], label);
  }
  assert.deepEqual(card.downloads, expected, `${label}: downloads`); // nothing for a sound file
}

// Files no MIDI at all, of the shapes users drop by mistake.
const NOT_MIDI = [
  ['empty.mid', ''], ['notes.txt', 'Chorus: C G Am F\r\nVerse: C F C G\r\n'], ['MThd-only.mid', 'MThd'],
  ['cover.png', '\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x10\0\0\0\x10\x08\x06\0\0\0\x1f\xf3\xff\x61'],
].map(([name, text]) => writeScratch(name, Buffer.from(text, 'latin1')));

test('every example, corpus file and non-MIDI file: as the command line, then as `seqmend -normalize`', async (t) => {
  const files = [...MIDI, ...NOT_MIDI];
  const page = await openPage(browser.context, server.url);
  await pickFiles(page, files);
  for (const [options, pass] of [[[], 1], [['-normalize'], 2]]) {
    await waitForBatch(page, pass);
    const cards = await readCards(page);
    assert.deepEqual(cards.map((card) => card.name), files.map((file) => path.basename(file)));
    for (const [i, file] of files.entries()) {
      assertSameAsNative(cards[i], runNative('seqmend', file, path.basename(file), options), path.relative(ROOT, file));
    }
    assert.deepEqual(cards.slice(-NOT_MIDI.length).map((card) => card.verdict), NOT_MIDI.map(() => 'failed'));
    const verdicts = cards.map((card) => card.verdict);
    t.diagnostic(`${files.length} files equal to ${['seqmend', ...options].join(' ')}: ` +
      ['sound', 'repaired', 'failed'].map((v) => `${verdicts.filter((x) => x === v).length} ${v}`).join(', '));
    await page.check('#normal-form'); // the files shown are repaired again
  }
  await page.close();
});

test('CR LF: the page offers the restoration; it is eolmend then seqmend, or refuses as eolmend does', async () => {
  // PROGRAMS and two sound files of the examples and corpus, damaged; and CR LF pairs that belong
  // to the data, in a file repaired for trailing garbage, so that the hint applies.
  const sound = MIDI.filter((file) =>
    fs.readFileSync(file).includes(0x0a) && runNative('seqmend', file).verdict === 'sound');
  const victims = [PROGRAMS, ...sound.slice(0, 2)].map((file) => fs.readFileSync(file));
  const files = victims.map((bytes, i) => writeScratch(`crlf-${i}.mid`, lfToCrLf(bytes)));
  const natural = smf([0x00, 0x90, 0x0d, 0x0a, 0x60, 0x80, 0x0d, 0x00, 0x00, 0xff, 0x2f, 0x00], 'xyz');
  files.push(writeScratch('natural.mid', natural));
  const page = await openPage(browser.context, server.url);
  await pickFiles(page, files);
  for (const [i, file] of files.entries()) {
    const [plain, eol, name] = [runNative('seqmend', file), runNative('eolmend', file), path.basename(file)];
    const card = (await readCards(page))[i];
    assert.ok(plain.hint && card.offersRestoration, `${name}: the hint and the offer`);
    assertSameAsNative(card, plain);
    const node = page.locator('article.file').nth(i);
    await node.locator('button.restore').click();
    await node.locator(eol.verdict === 'failed' ? '.restore-failed' : 'ol[data-kind="restoration"]').waitFor();
    const restored = (await readCards(page))[i];
    assert.deepEqual(restored.restorationLines, eol.lines, `${name}: restoration lines`);
    assert.equal(restored.offersRestoration, false);
    if (eol.verdict === 'failed') {
      assertSameAsNative({ ...restored, offersRestoration: true }, plain); // the repair stands
      continue;
    }
    const then = runNative('seqmend', writeScratch(`restored-${name}`, eol.output), name);
    assert.deepEqual(restored.lines, then.lines, `${name}: lines of the repair after the restoration`);
    const back = then.verdict === 'repaired' ? then.output : eol.output;
    assert.ok(back.equals(victims[i]), `${name}: the original is back`);
    assert.ok(restored.downloads[`crlf-${i}-repaired.mid`].equals(victims[i]), `${name}: the page's bytes`);
  }
  await page.close();
});

test('offline after load: no request while files are repaired, restored, zipped; the .zip holds all', async () => {
  const page = await openPage(browser.context, server.url);
  const requests = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('websocket', (socket) => requests.push(socket.url()));
  const zipPath = path.join(scratch, 'all.zip');
  await browser.context.setOffline(true);
  try {
    // The same name twice: the archive keeps both.
    const again = writeScratch('damaged.mid', fs.readFileSync(example('appended.mid')));
    await pickFiles(page, [...EXAMPLES, again, writeScratch('crlf.mid', lfToCrLf(fs.readFileSync(PROGRAMS)))]);
    await page.locator('button.restore').first().click();
    await page.locator('ol[data-kind="restoration"]').first().waitFor();
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#zip')]);
    await download.saveAs(zipPath);
  } finally {
    await browser.context.setOffline(false);
  }
  assert.deepEqual(requests, []);
  const listing = spawnSync('/usr/bin/python3', ['-c', `import json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    assert z.testzip() is None
    print(json.dumps({i.filename: z.read(i).hex() for i in z.infolist()}))`, zipPath]);
  assert.equal(listing.status, 0, listing.stderr.toString());
  const entries = JSON.parse(listing.stdout.toString());
  const downloads = (await readCards(page)).flatMap((card) => Object.values(card.downloads));
  assert.deepEqual(Object.values(entries).sort(), downloads.map((bytes) => bytes.toString('hex')).sort());
  assert.ok('damaged-repaired.mid' in entries && 'damaged-repaired (2).mid' in entries);
  await page.close();
});

test('keyboard alone, a drop, the same file again, and a UTF-8 name longer than any line buffer', async () => {
  const page = await openPage(browser.context, server.url);
  const choosing = page.waitForEvent('filechooser'); // listened for before any key
  for (let i = 0; i < 5 && (await page.evaluate(() => document.activeElement.id)) !== 'drop'; i++) {
    await page.keyboard.press('Tab');
  }
  await page.keyboard.press('Enter');
  const chooser = await choosing;
  assert.equal(chooser.isMultiple(), true);
  const name = `${'Übung-'.repeat(120)}.mid`; // 840 bytes: longer than Linux allows on disk
  const bytes = fs.readFileSync(example('damaged.mid'));
  await chooser.setFiles({ name, mimeType: 'audio/midi', buffer: bytes });
  await waitForBatch(page, 1);
  const native = runNative('seqmend', example('damaged.mid'), 'short.mid');
  assert.deepEqual((await readCards(page))[0].lines, native.lines.map((line) => line.replace(/^short\.mid/, name)));
  assert.equal(await page.getAttribute('#summary', 'aria-live'), 'polite');
  assert.match(await page.textContent('#summary'), /1 file checked: 0 sound, 1 repaired/);

  const transfer = await page.evaluateHandle((data) => {
    const dt = new DataTransfer();
    dt.items.add(new File([new Uint8Array(data)], 'dropped.mid'));
    return dt;
  }, [...bytes]);
  await page.dispatchEvent('#drop', 'drop', { dataTransfer: transfer });
  await waitForBatch(page, 2);
  assertSameAsNative((await readCards(page))[0], runNative('seqmend', example('damaged.mid'), 'dropped.mid'));

  await pickFiles(page, [example('damaged.mid')]);
  await pickFiles(page, [example('damaged.mid')]);
  assert.deepEqual((await readCards(page)).map((card) => card.verdict), ['repaired']);
  await page.close();
});

test('at a phone\'s width nothing needs scrolling sideways; the screenshot for the README', async () => {
  const page = await openPage(browser.context, server.url);
  await page.setViewportSize({ width: 360, height: 740 });
  const shown = ['damaged.mid', 'appended.mid', 'sound.mid', 'not-midi.mid'].map(example);
  await pickFiles(page, [...shown, writeScratch('sent-as-text.mid', lfToCrLf(fs.readFileSync(PROGRAMS)))]);
  const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
  assert.ok(widths[0] <= widths[1], `the page is ${widths[0]} px wide in a ${widths[1]} px window`);
  await page.setViewportSize({ width: 900, height: 900 });
  fs.mkdirSync(path.join(ROOT, 'docs'), { recursive: true });
  await page.screenshot({ path: path.join(ROOT, 'docs/web-page.png'), fullPage: true });
  await page.close();
});
