// The Web Worker that packs: it runs the packer's engine (web.cpp, compiled
// to WebAssembly, whose code stands before this in the same function), so the
// page never waits on it.  The page sends one job: the chosen files as one
// Blob, one after another in the order the packer takes them (sending each
// File cost more than a second on thousands), with each one's path below what
// was dropped, size and time; the icon's bytes, the fields, and the language.
// Each file is mounted at /in as its range of that Blob.  What comes back is
// parts of the file, progress, the packer's own words, and the exit code.
// Or the page sends a self-extracting file to open: to list, to test, or to
// extract into a folder the page writes or into a .zip (fflate, whose code
// stands before this too).
function Range(all, start, size) {
  return {
    all, start, size,
    slice: (from, to) => all.slice(start + from, start + Math.min(to, size)),
  };
}

// Files read ahead: each node's bytes, from one read of the whole batch.
const readAhead = new Map();

// Reads a Blob whole.  A file changed or gone since it was chosen cannot be
// read: that is an input/output error to the packer, which names the file.
function readBlob(blob) {
  try {
    return new Uint8Array(WORKERFS.reader.readAsArrayBuffer(blob));
  } catch (error) {
    throw new FS.ErrnoError(29);
  }
}

// Reads the files a batch of small files is about to read in one round trip
// to the browser (one per file took as long as compressing them), and drops
// what the batch before read ahead.  Files next to each other in the Blob
// are read as one slice.
function kvxReadAhead(paths) {
  readAhead.clear();
  const ranges = paths.map((path) => FS.lookupPath(path).node.contents);
  const slices = [];
  for (let i = 0; i < ranges.length;) {
    let j = i + 1;
    while (j < ranges.length && ranges[j].start === ranges[j - 1].start + ranges[j - 1].size)
      j++;
    const last = ranges[j - 1];
    slices.push(ranges[i].all.slice(ranges[i].start, last.start + last.size));
    i = j;
  }
  let bytes;
  try {
    bytes = readBlob(new Blob(slices));
  } catch (error) {
    return;  // each file is read by itself, and the one that fails is named
  }
  let at = 0;
  for (const range of ranges) {
    readAhead.set(range, bytes.subarray(at, at + range.size));
    at += range.size;
  }
}

// Reads of less than a few megabytes (an entry's header and names, a piece
// of its data) come from a window of the file read in one go: each read
// costs a round trip to the browser (about a millisecond), so the listing of
// thousands of entries reads the file in a few dozen windows, not once an
// entry (8,000 entries took 6 s so, and 0.4 s in windows of 8 MiB).
const WindowBytes = 8 << 20;
let readWindow = {range: null, start: 0, bytes: new Uint8Array(0)};
function readWindowed(range, position, length) {
  const w = readWindow;
  if (w.range !== range || position < w.start || position + length > w.start + w.bytes.length)
    readWindow = {range, start: position, bytes: readBlob(range.slice(position, position + WindowBytes))};
  return readWindow.bytes.subarray(position - readWindow.start, position - readWindow.start + length);
}

// Reads from what was read ahead, else from a window, else a piece at a
// time from the file.
function readFile(stream, buffer, offset, length, position) {
  const range = stream.node.contents;
  if (position >= range.size)
    return 0;
  const ahead = readAhead.get(range);
  if (ahead === undefined && length >= WindowBytes) {
    const piece = range.slice(position, position + length);
    buffer.set(readBlob(piece), offset);
    return piece.size;
  }
  const piece = ahead !== undefined ? ahead.subarray(position, position + length)
    : readWindowed(range, position, Math.min(length, range.size - position));
  buffer.set(piece, offset);
  return piece.length;
}

// ---- Extracted entries: into the folder the page writes, or into a .zip ----

// Parts of a megabyte: the bytes a part holds wait in the worker until it is
// handed, on top of what the browser holds.
const PartBytes = 1 << 20;

// Hands bytes to the page as Blobs of a megabyte.
class Parts {
  constructor(kind) {
    this.kind = kind;
    this.held = [];
    this.bytes = 0;
  }
  add(bytes) {
    this.held.push(bytes);
    this.bytes += bytes.length;
    if (this.bytes >= PartBytes)
      this.hand();
  }
  hand() {
    if (this.held.length > 0)
      postMessage({[this.kind]: new Blob(this.held)});
    this.held = [];
    this.bytes = 0;
  }
}

// The folder: each entry's path, its bytes, and its end; the page writes them.
class FolderOut {
  constructor() {
    this.parts = new Parts('data');
  }
  open(path) {
    postMessage({entry: path});
  }
  write(bytes) {
    this.parts.add(bytes);
  }
  close(whole) {
    this.parts.hand();
    postMessage({close: whole});
  }
  end() {}
}

// The .zip, written by fflate as the entries come: what the file compresses
// is deflated (level 1: the .zip stays near the file's size, and it is the
// browser's memory until it is downloaded), what it stores is stored; names
// in UTF-8 with their flag, each entry's time as the file holds it.  fflate
// takes no bytes back, so an entry goes in only once its data has checked
// out whole and of the size it claims: held here until it ends (the engine
// decodes no more than that size), or, when it is larger than the engine
// holds (web.cpp), checked whole before it is extracted.  A damaged entry is
// left out, and the .zip ends before it.
class ZipOut {
  constructor() {
    this.parts = new Parts('part');
    this.zip = new fflate.Zip((error, bytes, final) => {
      if (error)
        throw error;
      this.parts.add(bytes);
      if (final)
        this.parts.hand();
    });
    this.entry = null;
    this.added = 0;
    this.broken = false;  // an entry checked whole read otherwise the second time
  }
  open(path, when, compressed, checked) {
    this.entry = {path, when, compressed, held: [], file: null, refused: false};
    // fflate writes the years to 2099 (a .zip's date goes to 2107): an entry
    // dated later is left out, and said so, rather than given another date.
    const year = when !== null ? when.getFullYear() : 1980;
    if (year > 2099) {
      this.entry.refused = true;
      postMessage({late: {name: path, year}});
    } else if (checked) {
      this.start();
    }
  }
  // Adds the entry to the .zip.
  start() {
    const e = this.entry;
    e.file = e.compressed ? new fflate.ZipDeflate(e.path, {level: 1}) : new fflate.ZipPassThrough(e.path);
    // The entry's own date and time: fflate writes the time's local fields,
    // which are the entry's (a time that a change to summer time skips is
    // an hour later).  An entry with no valid time has the earliest a .zip holds.
    e.file.mtime = e.when !== null ? e.when : new Date(1980, 0, 1);
    this.zip.add(e.file);
    for (const bytes of e.held)
      e.file.push(bytes);
    e.held = [];
  }
  write(bytes) {
    const e = this.entry;
    if (e.refused)
      return;
    if (e.file !== null)
      e.file.push(bytes);
    else
      e.held.push(bytes);
  }
  close(whole) {
    const e = this.entry;
    if (e.file === null && whole && !e.refused)
      this.start();
    this.entry = null;
    if (e.file === null)
      return;
    this.broken = this.broken || !whole;
    e.file.push(new Uint8Array(0), true);
    this.added += whole ? 1 : 0;
  }
  end() {
    if (!this.broken)
      this.zip.end();
    postMessage({added: this.added, broken: this.broken});
  }
}

let extracting = null;
// An entry's DOS date and time as the worker's local time (which fflate
// writes back as the same fields), or null where they are no date and time.
function dosTime(date, time) {
  const [year, month, day] = [(date >> 9) + 1980, (date >> 5) & 15, date & 31];
  const [hour, minute, second] = [time >> 11, (time >> 5) & 63, (time & 31) * 2];
  if (day < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59)
    return null;
  return new Date(year, month - 1, day, hour, minute, second);
}
function kvxEntryOpen(path, dosDate, dosTimeField, compressed, checked) {
  extracting.open(path, dosTime(dosDate, dosTimeField), compressed, checked);
}
function kvxEntryWrite(bytes) {
  extracting.write(bytes);
}
function kvxEntryClose(whole) {
  extracting.close(whole);
}

// Opens a self-extracting file: mounted in the current folder under its own
// name, so that the reader's words name it as the user knows it; then lists,
// tests or extracts it.
function openFile(job) {
  FS.mkdir('/open');
  FS.mount(WORKERFS, {blobs: [{name: job.file.name, data: Range(job.file, 0, job.file.size)}]}, '/open');
  FS.chdir('/open');
  if (job.open === 'extract')
    extracting = job.zip ? new ZipOut() : new FolderOut();
  const code = job.open === 'extract'
    ? Module.ccall('kvx_extract', 'number', ['string', 'number'], [job.file.name, job.zip ? 1 : 0])
    : Module.ccall('kvx_' + job.open, 'number', ['string'], [job.file.name]);
  if (extracting !== null)
    extracting.end();
  postMessage({done: code});
}

self.onmessage = (event) => {
  const job = event.data;
  const pack = () => {
    if (job.japanese)
      Module._kvx_use_japanese();
    // A file there is no symbolic link: said as the system says it (EINVAL),
    // so that paths resolve (the mount says EPERM, and realpath fails).
    WORKERFS.node_ops.readlink = () => {
      throw new FS.ErrnoError(28);
    };
    WORKERFS.stream_ops.read = readFile;
    if (job.open) {
      openFile(job);
      return;
    }
    FS.mkdir('/in');
    let start = 0;
    const blobs = job.files.map((f) => ({name: f.path, data: Range(job.all, (start += f.size) - f.size, f.size)}));
    FS.mount(WORKERFS, {blobs}, '/in');
    // Times in milliseconds since 1970, UTC.
    for (const f of job.files)
      FS.utime('/in/' + f.path, f.lastModified, f.lastModified);
    // Names as they were dropped, as the command line names them from the
    // folder that holds them.
    FS.chdir('/in');
    const fields = Object.assign({}, job.fields, {inputs: job.inputs});
    if (job.icon) {
      FS.mkdir('/icon');
      fields.icon = '/icon/' + job.icon.name;
      FS.writeFile(fields.icon, new Uint8Array(job.icon.bytes));
    }
    postMessage({done: Module.ccall('kvx_pack', 'number', ['string'], [JSON.stringify(fields)])});
  };
  // Whatever goes wrong in here ends the run, with what it was.
  const run = () => {
    try {
      pack();
    } catch (error) {
      postMessage({failed: String((error && error.message) || error)});
      postMessage({done: 1});
    }
  };
  if (Module.calledRun)
    run();
  else
    Module.onRuntimeInitialized = run;
};
