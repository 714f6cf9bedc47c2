// seqmend's page: files picked or dropped are repaired here, in WebAssembly; the results are
// shown as the command line prints them, with the repaired copies to download.
import { Engine, FLAG_NORMALIZE, VERDICT } from './engine.js';
import { zipStore } from './zip.js';

const input = document.getElementById('files');
const drop = document.getElementById('drop');
const status = document.getElementById('status');
const results = document.getElementById('results');
const summary = document.getElementById('summary');
const all = document.getElementById('all');
const list = document.getElementById('files-list');
const normalForm = document.getElementById('normal-form');

let engine = null;
// Blob URLs of the shown downloads, released when the next files replace them.
let urls = [];
// One entry per file shown: its name, its bytes and its current downloads [{name, bytes}].
let shown = [];
// Counts the choices of files; the reading of one stops when a newer one has begun.
let batch = 0;
// Counts the passes of repairs shown (data-batch of the results: the last one done).
let passes = 0;

const VERDICT_NAMES = { [VERDICT.SOUND]: 'sound', [VERDICT.REPAIRED]: 'repaired' };

function verdictName(verdict) {
  return VERDICT_NAMES[verdict] ?? 'failed';
}

function element(tag, attributes = {}, text = '') {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    node.setAttribute(key, value);
  }
  if (text) {
    node.textContent = text;
  }
  return node;
}

function objectUrl(bytes, type) {
  const url = URL.createObjectURL(new Blob([bytes], { type }));
  urls.push(url);
  return url;
}

// "song.mid" -> "song"; a name without an extension stays whole.
function stem(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? name.slice(0, dot) : name;
}

function plural(count, one, many) {
  return `${count} ${count === 1 ? one : many}`;
}

// The downloads of one file's repair: the repaired copy and each extra file found behind it.
function downloadsOf(name, result) {
  const files = [];
  if (result.verdict === VERDICT.REPAIRED && result.output) {
    files.push({ label: 'Repaired copy', name: `${stem(name)}-repaired.mid`, bytes: result.output });
  }
  for (const extra of result.extras) {
    files.push({
      label: `extra${extra.number}.mid (a further file found behind the data)`,
      name: `${stem(name)}-extra${extra.number}.mid`,
      bytes: extra.bytes,
    });
  }
  return files;
}

function verdictText(name, result) {
  if (result.verdict === VERDICT.SOUND) {
    return `${name} is sound: nothing to repair.`;
  }
  if (result.verdict === VERDICT.REPAIRED) {
    return `${name} contains errors; the repaired copy is ready below.`;
  }
  return `${name} could not be repaired.`;
}

// Fills a file's card with one outcome. restoration, when given, is eolmend's result on the
// original bytes, whose lines come first.
function showOutcome(card, entry, result, restoration) {
  card.replaceChildren();
  card.dataset.verdict = verdictName(result.verdict);
  card.append(element('h3', { tabindex: '-1' }, entry.name));
  card.append(element('p', { class: 'verdict' }, verdictText(entry.name, result)));
  if (restoration) {
    card.append(element('p', { class: 'restored' },
      'The line-end damage of a text-mode transfer was undone first; the repair below is of the ' +
        'restored bytes.'));
    card.append(findingList(restoration.lines, 'restoration'));
  }
  if (result.lines.length > 0) {
    card.append(findingList(result.lines, 'repair'));
  }
  // The offer comes before the downloads: with it taken, the repaired copy is a better one.
  if (result.crlfHint && !restoration) {
    card.append(restorationOffer(card, entry));
  }
  entry.downloads = downloadsOf(entry.name, result);
  if (entry.downloads.length > 0) {
    const links = element('ul', { class: 'downloads', 'aria-label': `Downloads for ${entry.name}` });
    for (const file of entry.downloads) {
      const item = element('li');
      const link = element('a', {
        class: 'download',
        href: objectUrl(file.bytes, 'audio/midi'),
        download: file.name,
        'data-file': file.name,
      }, `${file.label}: ${file.name} (${file.bytes.length.toLocaleString('en')} bytes)`);
      item.append(link);
      links.append(item);
    }
    card.append(links);
  }
}

function findingList(lines, kind) {
  const listNode = element('ol', { class: 'findings', 'data-kind': kind });
  for (const line of lines) {
    listNode.append(element('li', { 'data-finding': '' }, line));
  }
  return listNode;
}

// A file with CR LF pairs that did not repair cleanly may have gone through a text-mode transfer,
// which turned every LF byte into CR LF; no structural repair can undo that, eolmend's can.
function restorationOffer(card, entry) {
  const box = element('div', { class: 'hint' });
  box.append(element('p', {},
    'This file holds CR LF byte pairs. If it was sent as text (by e-mail, FTP in text mode or an ' +
      'old web form), every LF byte in it became CR LF, which shifts everything after it. ' +
      'Undoing that first usually gives a much better repair.'));
  const button = element('button', { type: 'button', class: 'secondary restore' },
    'Undo the line-end damage first, then repair');
  button.addEventListener('click', async () => {
    let restoration;
    let result;
    try {
      restoration = engine.restore(entry.bytes, entry.name);
      if (restoration.verdict === VERDICT.REPAIRED && restoration.output) {
        result = engine.repair(restoration.output, entry.name,
          normalForm.checked ? FLAG_NORMALIZE : 0);
      }
    } catch (error) {
      box.replaceChildren(element('p', { class: 'restore-failed' },
        `The restoration stopped in the page (${error.message}). The repair shown stands.`));
      engine = await Engine.load();
      return;
    }
    if (!result) {
      box.replaceChildren(element('p', { class: 'restore-failed' },
        'No line-end damage could be undone in this file (see the lines below). The repair ' +
          'shown stands.'));
      if (restoration.lines.length > 0) {
        box.append(findingList(restoration.lines, 'restoration'));
      }
      return;
    }
    // A restored file that needs no further repair is still a changed file: offer it.
    if (result.verdict === VERDICT.SOUND) {
      result.verdict = VERDICT.REPAIRED;
      result.output = restoration.output;
    }
    showOutcome(card, entry, result, restoration);
    updateAll();
    card.querySelector('h3').focus();
    status.textContent = `${entry.name}: line ends restored and repaired.`;
  });
  box.append(button);
  return box;
}

// One link with every download of the shown files, where there are several.
function updateAll() {
  all.replaceChildren();
  const files = [];
  const taken = new Set();
  for (const entry of shown) {
    for (const file of entry.downloads) {
      let name = file.name;
      for (let n = 2; taken.has(name); n++) {
        name = `${stem(file.name)} (${n}).mid`;
      }
      taken.add(name);
      files.push({ name, bytes: file.bytes });
    }
  }
  if (files.length < 2) {
    return;
  }
  const archive = zipStore(files);
  all.append(element('a', {
    class: 'download',
    id: 'zip',
    href: objectUrl(archive, 'application/zip'),
    download: 'seqmend-repaired.zip',
  }, `Download all ${files.length} files as one .zip (${archive.length.toLocaleString('en')} bytes)`));
}

function failure(line) {
  return { verdict: VERDICT.FAILED, crlfHint: false, lines: [line], output: null, extras: [] };
}

async function readBytes(file) {
  return new Uint8Array(await file.arrayBuffer());
}

// Reads the chosen files and repairs them; they replace the files shown before.
async function handleFiles(files) {
  if (!engine || files.length === 0) {
    return;
  }
  const thisBatch = ++batch;
  performance.mark('seqmend: files chosen');
  status.textContent = `Checking ${plural(files.length, 'file', 'files')}…`;
  const entries = [];
  for (const file of files) {
    const entry = { name: file.name, bytes: null, readError: null, downloads: [] };
    try {
      entry.bytes = await readBytes(file);
    } catch (error) {
      entry.readError = error.message;
    }
    if (thisBatch !== batch) {
      return;
    }
    entries.push(entry);
  }
  shown = entries;
  await repairShown();
}

// Repairs every file shown, with the options as they are set, and shows the outcomes.
async function repairShown() {
  const pass = ++passes;
  for (const url of urls) {
    URL.revokeObjectURL(url);
  }
  urls = [];
  list.replaceChildren();
  results.hidden = false;
  results.dataset.state = 'busy';
  const flags = normalForm.checked ? FLAG_NORMALIZE : 0;
  const counts = { sound: 0, repaired: 0, failed: 0 };
  for (const entry of shown) {
    const card = element('article', { class: 'file', 'data-name': entry.name });
    list.append(card);
    let result;
    if (entry.readError !== null) {
      result = failure(`${entry.name}: could not be read (${entry.readError})`);
    } else {
      try {
        result = engine.repair(entry.bytes, entry.name, flags);
      } catch (error) {
        // The WebAssembly instance has stopped (out of memory, say) and cannot be used again; the
        // next file gets a new one.
        result = failure(`${entry.name}: the repair stopped in the page (${error.message})`);
        engine = await Engine.load();
      }
    }
    showOutcome(card, entry, result, null);
    counts[verdictName(result.verdict)]++;
  }
  updateAll();
  const text = `${plural(shown.length, 'file', 'files')} checked: ${counts.sound} sound, ` +
    `${counts.repaired} repaired, ${counts.failed} could not be repaired.`;
  // The time from the files' choice to their results shown, for the browser's performance tools.
  performance.measure('seqmend: files repaired and shown', 'seqmend: files chosen');
  summary.textContent = text;
  status.textContent = 'Done: the results follow.';
  results.dataset.state = 'done';
  results.dataset.batch = String(pass);
}

input.addEventListener('change', () => {
  const files = [...input.files];
  // Emptied, so that choosing the same file again (after editing it, say) repairs it again.
  input.value = '';
  handleFiles(files);
});

// The files shown are repaired again as the option now asks.
normalForm.addEventListener('change', () => {
  if (engine && shown.length > 0) {
    performance.mark('seqmend: files chosen');
    repairShown();
  }
});

drop.addEventListener('click', () => input.click());
drop.addEventListener('keydown', (event) => {
  if (event.key === 'Enter' || event.key === ' ') {
    event.preventDefault();
    input.click();
  }
});
drop.addEventListener('dragover', (event) => {
  event.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  handleFiles([...event.dataTransfer.files]);
});
// A file dropped beside the zone would make the browser open it in place of this page.
window.addEventListener('dragover', (event) => event.preventDefault());
window.addEventListener('drop', (event) => event.preventDefault());

try {
  engine = await Engine.load();
  input.disabled = false;
  drop.setAttribute('aria-disabled', 'false');
  document.getElementById('version').textContent = `seqmend ${engine.version}.`;
  status.textContent = 'Ready. Nothing you choose leaves this computer.';
  document.body.dataset.ready = 'true';
} catch (error) {
  status.textContent = `The repair engine could not start in this browser: ${error.message}`;
}
