// The Web Worker that packs: it runs the packer's engine (web.cpp, compiled
// to WebAssembly, whose code stands before this in the same function), so the
// page never waits on it.  The page sends one job: the chosen files as one
// Blob, one after another in the order the packer takes them (sending each
// File cost more than a second on thousands), with each one's path below what
// was dropped, size and time; the icon's bytes, the fields, and the language.
// Each file is mounted at /in as its range of that Blob.  What comes back is
// parts of the file, progress, the packer's own words, and the exit code.
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

// Reads from what was read ahead, else a piece at a time from the file.
function readFile(stream, buffer, offset, length, position) {
  const range = stream.node.contents;
  if (position >= range.size)
    return 0;
  const ahead = readAhead.get(range);
  if (ahead === undefined) {
    const piece = range.slice(position, position + length);
    buffer.set(readBlob(piece), offset);
    return piece.size;
  }
  const piece = ahead.subarray(position, position + length);
  buffer.set(piece, offset);
  return piece.length;
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
  if (Module.calledRun)
    pack();
  else
    Module.onRuntimeInitialized = pack;
};
