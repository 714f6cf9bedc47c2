// The page's binding to libseqmend in WebAssembly: one context, repairs and restorations from
// memory, each returned as plain data (verdict, rendered lines, repaired bytes, extra files).
import createSeqmend from './seqmend.js';

// Where the fields of seqmend_result sit; web/layout_check.c holds the build to these.
const RESULT_SIZE = 64;
const RESULT_VERDICT = 0;
const RESULT_CRLF_HINT = 4;
const RESULT_FAILED_STREAM = 8;
const RESULT_ERROR = 12;
const RESULT_EXTRA_COUNT = 16;
const FINDING_CODE = 0;
// seqmend_options: flags, then the two callbacks and their context, which the page leaves NULL.
const OPTIONS_SIZE = 16;
const OPTIONS_FLAGS = 0;

export const VERDICT = Object.freeze({ FAILED: -1, SOUND: 0, REPAIRED: 1 });
export const STREAM_MEMORY = 4;
// Write the normal form, which strict readers load (SEQMEND_NORMALIZE).
export const FLAG_NORMALIZE = 0x2;

const encoder = new TextEncoder();
const decoder = new TextDecoder();

export class Engine {
  // Loads the WebAssembly module and makes the context every repair of this page runs in.
  static async load() {
    const module = await createSeqmend();
    return new Engine(module);
  }

  constructor(module) {
    this.module = module;
    this.context = module._seqmend_context_new();
    this.result = module._malloc(RESULT_SIZE);
    this.sizeCell = module._malloc(4);
    this.options = module._malloc(OPTIONS_SIZE);
    this.lineSize = 512;
    this.line = module._malloc(this.lineSize);
    if (!this.context || !this.result || !this.sizeCell || !this.options || !this.line) {
      throw new Error('the repair engine could not get its memory');
    }
    module.HEAPU8.fill(0, this.options, this.options + OPTIONS_SIZE);
    this.version = this.readString(module._seqmend_version_string());
  }

  // Repairs the bytes of one file; name is the file's, as the lines show it. flags: 0 or
  // FLAG_NORMALIZE.
  repair(bytes, name, flags = 0) {
    return this.run(this.module._seqmend_repair_memory, bytes, name, flags);
  }

  // Undoes the damage of a text-mode transfer (every CR LF a transfer made of an LF).
  restore(bytes, name) {
    return this.run(this.module._seqmend_restore_memory, bytes, name, 0);
  }

  // One call of the library on a copy of bytes in its memory. Everything returned is copied out
  // of that memory, which the next call reuses and which may move as it grows.
  run(call, bytes, name, flags) {
    const m = this.module;
    const data = m._malloc(Math.max(bytes.length, 1));
    const nameBytes = encoder.encode(name);
    const namePointer = m._malloc(nameBytes.length + 1);
    if (!data || !namePointer) {
      m._free(data);
      m._free(namePointer);
      return outOfMemory(name);
    }
    m.HEAPU8.set(bytes, data);
    m.HEAPU8.set(nameBytes, namePointer);
    m.HEAPU8[namePointer + nameBytes.length] = 0;
    m.HEAPU32[(this.options + OPTIONS_FLAGS) >> 2] = flags;
    call(this.context, this.options, data, bytes.length, this.result);
    const cells = m.HEAP32;
    const base = this.result >> 2;
    const result = {
      verdict: cells[base + RESULT_VERDICT / 4],
      crlfHint: cells[base + RESULT_CRLF_HINT / 4] !== 0,
      failedStream: cells[base + RESULT_FAILED_STREAM / 4],
      error: cells[base + RESULT_ERROR / 4],
      lines: [],
      codes: [],
      output: null,
      extras: [],
    };
    const count = m._seqmend_finding_count(this.context);
    for (let i = 0; i < count; i++) {
      const finding = m._seqmend_finding_at(this.context, i);
      result.codes.push(m.HEAP32[(finding + FINDING_CODE) >> 2]);
      result.lines.push(this.render(finding, namePointer));
    }
    if (result.verdict === VERDICT.REPAIRED) {
      result.output = this.copyOut(m._seqmend_output(this.context, this.sizeCell));
    }
    const extraCount = m.HEAP32[base + RESULT_EXTRA_COUNT / 4];
    for (let number = 1; number <= extraCount; number++) {
      const extra = this.copyOut(m._seqmend_extra(this.context, number, this.sizeCell));
      if (extra) {
        result.extras.push({ number, bytes: extra });
      }
    }
    m._free(namePointer);
    m._free(data);
    return result;
  }

  // The line the command line prints for a finding, without its line end. A long file name gets
  // a buffer as long as the line.
  render(finding, namePointer) {
    const m = this.module;
    let length = m._seqmend_render(finding, namePointer, this.line, this.lineSize);
    if (length >= this.lineSize) {
      const bigger = m._malloc(length + 1);
      if (!bigger) {
        return '(a finding too long to show)';
      }
      m._free(this.line);
      this.line = bigger;
      this.lineSize = length + 1;
      length = m._seqmend_render(finding, namePointer, this.line, this.lineSize);
    }
    const text = decoder.decode(m.HEAPU8.subarray(this.line, this.line + length));
    return text.endsWith('\n') ? text.slice(0, -1) : text;
  }

  // A copy of the bytes the library handed out at pointer, their size in the size cell.
  copyOut(pointer) {
    if (!pointer) {
      return null;
    }
    const size = this.module.HEAPU32[this.sizeCell >> 2];
    return this.module.HEAPU8.slice(pointer, pointer + size);
  }

  readString(pointer) {
    const heap = this.module.HEAPU8;
    let end = pointer;
    while (heap[end] !== 0) {
      end++;
    }
    return decoder.decode(heap.subarray(pointer, end));
  }
}

// The result of a file larger than the memory the page can get: failed, with the reason.
function outOfMemory(name) {
  return {
    verdict: VERDICT.FAILED,
    crlfHint: false,
    failedStream: STREAM_MEMORY,
    error: 0,
    lines: [`${name}: not enough memory to repair this file in the page`],
    codes: [],
    output: null,
    extras: [],
  };
}
