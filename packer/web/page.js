// The page that packs: it gathers the files (dropped, or chosen with the
// folder picker) with their paths, and the fields; a Web Worker runs the
// packer's engine on them (worker.js); the file comes back in parts, which
// become a Blob to download under the name the user gives.  Texts come from
// the packer's catalogue (po/ja.po, in catalogue.js): Japanese, unless the
// browser's language is not.
'use strict';

const japanese = /^ja\b/i.test((navigator.languages && navigator.languages[0]) || navigator.language || 'ja');
const t = (english) => (japanese && kvxCatalogue[english]) || english;
const tn = (one, many, n) => (japanese && kvxCatalogue[one]) || (n === 1 ? one : many);
const fill = (text, values) => text.replace(/\{(\w+)\}/g, (all, name) => (name in values ? values[name] : all));
const $ = (id) => document.getElementById(id);

// The page's own texts, by the element that shows each.
const texts = {
  heading: t('Make a self-extracting file for Windows'),
  promise: t('The files are packed here, in this browser: nothing is sent anywhere.'),
  'drop-hint': t('Drop a folder or files here, or'),
  'folder-label': t('Choose a folder…'),
  'title-label': t('Title'),
  'message-label': t('Message'),
  'destination-label': t('Destination'),
  'launch-label': t('File to open after extracting'),
  'icon-label': t('Icon (PNG or ICO)'),
  'excludes-label': t('Leave out (one pattern a line)'),
  'epoch-label': t('No file time later than (SOURCE_DATE_EPOCH)'),
  'smallest-label': t('Make it as small as possible (slower)'),
  'name-label': t('File name'),
  make: t('Make'),
  cancel: t('Cancel'),
  download: t('Download'),
  'open-heading': t('Open a self-extracting file'),
  'open-promise': t('See what it holds, test it, and extract it here, without Windows: nothing is sent anywhere.'),
  'open-hint': t('Drop a self-extracting file here, or'),
  'open-file-label': t('Choose a file…'),
  'open-dialog-says': t('Its dialog says:'),
  'open-test': t('Test'),
  'open-folder': t('Extract into a folder…'),
  'open-zip': t('Download as .zip'),
  'open-cancel': t('Cancel'),
  'open-path-head': t('Path'),
  'open-size-head': t('Size'),
  'open-time-head': t('Date'),
  'open-method-head': t('Stored or compressed'),
};
document.documentElement.lang = japanese ? 'ja' : 'en';
document.title = texts.heading;
for (const [id, text] of Object.entries(texts))
  $(id).textContent = text;

// What to pack: each file with its path below what was chosen, and the
// names that were chosen (folders or files), in the order the packer takes
// them; and all the files as one Blob, made as soon as they are chosen.
let chosen = {files: [], inputs: [], all: null};

// The order the packer takes files in: by name at every level of folders.
// The worker reads files next to each other in one go, so the closer the
// order, the fewer reads; any order packs the same file.
function packingOrder(a, b) {
  const x = a.path.split('/'), y = b.path.split('/');
  for (let i = 0; i < Math.min(x.length, y.length); i++)
    if (x[i] !== y[i])
      return x[i] < y[i] ? -1 : 1;
  return x.length - y.length;
}

// The files as one Blob, made a few hundred at a time while the user fills
// in the fields: joining each file costs the browser a round trip, and
// thousands at once would stop the page for seconds.
async function join(files) {
  const pieces = [];
  for (let i = 0; i < files.length; i += 500) {
    pieces.push(new Blob(files.slice(i, i + 500).map((f) => f.file)));
    await new Promise((resolve) => setTimeout(resolve, 0));
  }
  document.body.dataset.joined = files.length;
  return new Blob(pieces);
}

function choose(files, inputs) {
  files.sort(packingOrder);
  chosen = {files, inputs: [...new Set(inputs)].sort(), all: join(files)};
  $('chosen').textContent = files.length === 0 ? ''
    : fill(tn('{count} file chosen', '{count} files chosen', files.length), {count: files.length.toLocaleString('en')}) +
      ': ' + chosen.inputs.join(', ');
  $('download').hidden = true;
}

$('folder').addEventListener('change', (event) => {
  const files = Array.from(event.target.files).map((file) => ({path: file.webkitRelativePath || file.name, file}));
  choose(files, files.map((f) => f.path.split('/')[0]));
});

// A dropped item, as files with their paths: a folder is walked, its
// reader giving some entries at a time.
async function walk(entry, into) {
  if (entry.isFile) {
    const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
    into.push({path: entry.fullPath.replace(/^\//, ''), file});
    return;
  }
  const reader = entry.createReader();
  for (;;) {
    const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (batch.length === 0)
      return;
    for (const child of batch)
      await walk(child, into);
  }
}

const drop = $('drop');
drop.addEventListener('dragover', (event) => {
  event.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', async (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  const entries = Array.from(event.dataTransfer.items).map((item) => item.webkitGetAsEntry()).filter(Boolean);
  const files = [];
  for (const entry of entries)
    await walk(entry, files);
  choose(files, entries.map((entry) => entry.name));
});
drop.addEventListener('keydown', (event) => {
  if (event.key === 'Enter' || event.key === ' ') {
    event.preventDefault();
    $('folder').click();
  }
});

// ---- Packing -------------------------------------------------------------------

let worker = null;

// The worker's code stands in the page, for a page opened from a file may
// start a worker only from a Blob.
function newWorker() {
  return new Worker(URL.createObjectURL(new Blob(['(' + kvxWorker.toString() + ')()'], {type: 'text/javascript'})));
}

function say(text, kind) {
  if (kind === 'summary') {
    $('status').textContent = text.trim();
    return;
  }
  addProblem('problems', text, kind);
}

// A problem or warning, as a line of the list with that id.
function addProblem(list, text, kind) {
  const item = document.createElement('li');
  item.textContent = text;
  item.className = kind;
  $(list).append(item);
}

// The state, and how many runs have ended (so a script driving the page can
// tell a run that ended from one not yet begun).
function busy(on) {
  document.body.dataset.state = on ? 'packing' : 'ready';
  if (!on)
    document.body.dataset.ended = Number(document.body.dataset.ended || 0) + 1;
  $('make').disabled = on;
  $('cancel').hidden = !on;
  for (const element of $('fields').elements)
    if (element.id !== 'cancel' && element.id !== 'make')
      element.disabled = on;
}

// The file as it comes: parts of a few megabytes, each a Blob whose bytes the
// browser holds, joined into one Blob when the file is complete.
class Parts {
  constructor() {
    this.parts = [];
  }
  add(part) {
    this.parts.push(part);
  }
  settle() {
    return new Blob(this.parts, {type: 'application/vnd.microsoft.portable-executable'});
  }
}

function finish(code, parts) {
  worker.terminate();
  worker = null;
  busy(false);
  if (code !== 0) {
    $('status').textContent = t('The file was not made.');
    return;
  }
  const link = $('download');
  if (link.href)
    URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(parts.settle());
  link.download = $('name').value || 'setup.exe';
  link.hidden = false;
  link.focus();
}

async function make(event) {
  event.preventDefault();
  busy(true);
  $('problems').replaceChildren();
  $('download').hidden = true;
  if (chosen.files.length === 0) {
    busy(false);
    $('status').textContent = t('Choose files to pack first.');
    return;
  }
  const icon = $('icon').files[0];
  const job = {
    japanese,
    all: await chosen.all,
    files: chosen.files.map((f) => ({path: f.path, size: f.file.size, lastModified: f.file.lastModified})),
    inputs: chosen.inputs,
    icon: icon ? {name: icon.name, bytes: await icon.arrayBuffer()} : null,
    fields: {
      output: $('name').value || 'setup.exe',
      title: $('title').value,
      message: $('message').value,
      destination: $('destination').value,
      launch: $('launch').value,
      excludes: $('excludes').value.split('\n').map((line) => line.trim()).filter(Boolean),
      smallest: $('smallest').checked,
      sourceDateEpoch: $('epoch').value.trim(),
    },
  };
  const parts = new Parts();
  $('progress').value = 0;
  $('status').textContent = '';
  worker = newWorker();
  worker.onmessage = ({data}) => {
    if (data.part) {
      parts.add(data.part);
    } else if (data.progress) {
      $('progress').value = data.progress.bytes ? data.progress.bytesDone / data.progress.bytes : 0;
      $('status').textContent = data.progress.text;
    } else if (data.say) {
      say(data.say, data.kind);
    } else if ('done' in data) {
      finish(data.done, parts);
    }
  };
  worker.onerror = (error) => {
    say(error.message, 'problem');
    finish(1, parts);
  };
  worker.postMessage(job);
}

$('fields').addEventListener('submit', make);
$('cancel').addEventListener('click', () => {
  if (worker === null)
    return;
  worker.terminate();
  worker = null;
  busy(false);
  $('status').textContent = t('Cancelled; nothing was made.');
});
$('name').addEventListener('input', () => {
  $('download').download = $('name').value || 'setup.exe';
});

// ---- Opening a self-extracting file ------------------------------------------
// The packer's own reader, in a worker of its own, lists the file as soon as
// it is chosen; Test decodes and checks every entry; the entries are
// extracted into a folder the user picks (where the browser can write one)
// or into a .zip to download.

let opened = null;  // the chosen file
let openWorker = null;
let openStop = null;  // ends the run in hand with an exit code: 3 when cancelled
const Cancelled = 3;
const hasFolders = typeof window.showDirectoryPicker === 'function';
$('open-folder').hidden = !hasFolders;

function openSay(text, kind) {
  addProblem('open-problems', text, kind);
}

// The state of the open part, and how many of its runs have ended.
function openBusy(on) {
  document.body.dataset.openState = on ? 'working' : 'ready';
  if (!on)
    document.body.dataset.openEnded = Number(document.body.dataset.openEnded || 0) + 1;
  for (const id of ['open-test', 'open-folder', 'open-zip'])
    $(id).disabled = on || opened === null;
  $('open-file').disabled = on;
  $('open-cancel').hidden = !on;
}

// Runs the reader on the chosen file: 'list', 'test' or 'extract' (into a
// .zip, or to `entries`, which writes them into a folder).  Resolves to the
// exit code, with what came back.
function runOpen(kind, entries = null) {
  const run = {code: null, listing: null, parts: [], extracted: 0, broken: false};
  $('open-problems').replaceChildren();
  $('open-progress').value = 0;
  openWorker = newWorker();
  const ran = new Promise((resolve) => {
    openStop = (code) => {
      if (run.code === null)
        run.code = code;
      resolve(run);
    };
    openWorker.onmessage = ({data}) => {
      if (data.listing !== undefined) {
        run.listing = JSON.parse(data.listing);
      } else if (data.progress) {
        $('open-progress').value = opened.size ? data.progress.bytesDone / opened.size : 0;
      } else if (data.say) {
        if (data.kind === 'summary')
          $('open-status').textContent = data.say.trim();
        else
          openSay(data.say, data.kind);
      } else if (data.part) {
        run.parts.push(data.part);
      } else if (data.entry !== undefined) {
        entries.open(data.entry);
      } else if (data.data) {
        entries.write(data.data);
      } else if ('close' in data) {
        entries.close(data.close);
      } else if (data.added !== undefined) {
        run.extracted = data.added;
        run.broken = data.broken;
      } else if (data.late) {
        openSay(fill(t('{name}: dated {year}, later than a .zip holds (2099); left out of the .zip'), data.late), 'problem');
      } else if (data.failed !== undefined) {
        openSay(fill(t('The run stopped on an error in the page: {error}'), {error: data.failed}), 'problem');
      } else if ('done' in data) {
        openStop(data.done);
      }
    };
    openWorker.onerror = (error) => {
      openSay(error.message, 'problem');
      openStop(1);
    };
  });
  openWorker.postMessage({japanese, open: kind, file: opened, zip: entries === null});
  return ran.then((done) => {
    openWorker.terminate();
    openWorker = null;
    if (done.code === Cancelled)
      $('open-status').textContent = t('Cancelled.');
    return done;
  });
}

// The listing as the table, one row an entry, made in one go.
const escapeHtml = (text) => String(text).replace(/[&<>"]/g, (c) => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;'})[c]);
function showListing(listing) {
  const c = listing.configuration;
  $('open-title').textContent = c.title || 'KVX ファイルの解凍';
  $('open-message').textContent = c.message || '解凍します';
  $('open-destination').textContent = c.destination || t('(the folder that holds the file)');
  $('open-launch').textContent = c.launch ? fill(t('File to open after extracting') + ': {text}', {text: c.launch}) : '';
  $('open-shows').hidden = false;
  const rows = listing.entries.map((e) => '<tr><td>' + escapeHtml(e.path) + '</td><td>' + e.unpacked.toLocaleString('en') +
    '</td><td>' + escapeHtml(e.time === null ? t('(invalid time)') : e.time) + '</td><td>' +
    escapeHtml(/^stored/.test(e.method) ? t('stored') : t('compressed')) + '</td></tr>');
  $('open-list').tBodies[0].innerHTML = rows.join('');
  $('open-head').hidden = false;
}

async function openChosen(file) {
  if (openWorker !== null || !file)
    return;
  opened = file;
  $('open-chosen').textContent = file.name;
  $('open-shows').hidden = true;
  $('open-head').hidden = true;
  $('open-list').tBodies[0].replaceChildren();
  $('open-save').hidden = true;
  $('open-status').textContent = '';
  openBusy(true);
  const run = await runOpen('list');
  const listing = run.listing;
  if (listing !== null && listing.configuration) {
    showListing(listing);
    const count = listing.entries.length;
    let status = fill(tn('{count} entry', '{count} entries', count), {count: count.toLocaleString('en')});
    if (listing.signature)
      status += '\n' + fill(t('signature: {type}, certificate table of {size} bytes at offset {offset}'),
                            {type: listing.signature.type, size: listing.signature.size, offset: listing.signature.offset});
    $('open-status').textContent = status;
  } else {
    opened = null;
  }
  openBusy(false);
}

$('open-file').addEventListener('change', (event) => openChosen(event.target.files[0]));
const openDrop = $('open-drop');
openDrop.addEventListener('dragover', (event) => {
  event.preventDefault();
  openDrop.classList.add('over');
});
openDrop.addEventListener('dragleave', () => openDrop.classList.remove('over'));
openDrop.addEventListener('drop', (event) => {
  event.preventDefault();
  openDrop.classList.remove('over');
  openChosen(event.dataTransfer.files[0]);
});
openDrop.addEventListener('keydown', (event) => {
  if (event.key === 'Enter' || event.key === ' ') {
    event.preventDefault();
    $('open-file').click();
  }
});

$('open-test').addEventListener('click', async () => {
  openBusy(true);
  $('open-status').textContent = t('Testing…');
  const run = await runOpen('test');
  if (run.code !== 0 && run.code !== Cancelled)
    $('open-status').textContent = t('The test found a problem: see below.');
  openBusy(false);
});

// What an extraction says when it ends: how many files, and where it stopped.
function extracted(run) {
  if (run.code === Cancelled)
    return;
  const count = fill(tn('{count} file extracted', '{count} files extracted', run.extracted),
                     {count: run.extracted.toLocaleString('en')});
  $('open-status').textContent = run.code === 0 ? count
    : count + '\n' + t('It stopped at the problem below; what came before it was extracted.');
}

$('open-zip').addEventListener('click', async () => {
  openBusy(true);
  $('open-save').hidden = true;
  $('open-status').textContent = t('Extracting…');
  const run = await runOpen('extract');
  if (run.broken) {
    openSay(t('An entry read otherwise the second time (the file changed?); no .zip was made.'), 'problem');
    run.extracted = 0;
  } else if (run.code !== Cancelled && run.parts.length > 0) {
    const link = $('open-save');
    if (link.href)
      URL.revokeObjectURL(link.href);
    link.href = URL.createObjectURL(new Blob(run.parts, {type: 'application/zip'}));
    link.download = opened.name.replace(/\.exe$/i, '') + '.zip';
    link.textContent = fill(t('Download {file}'), {file: link.download});
    link.hidden = false;
    link.click();
  }
  extracted(run);
  openBusy(false);
});

// Writes the entries the worker extracts into a folder the user picked, one
// after another: the reader has checked every name, and each part of a path
// is a folder or file of the picked one, created as needed.  The browser
// gives the files the time they are written.
class FolderWriter {
  constructor(root) {
    this.root = root;
    this.done = Promise.resolve();
    this.file = null;
    this.failed = false;
    this.written = 0;  // files written whole
  }
  then(step) {
    this.done = this.done.then(() => (this.failed ? undefined : step())).catch((error) => {
      this.failed = true;
      openSay(fill(t('{file}: cannot be written'), {file: this.file ? this.file.path : ''}) + ' (' + error.message + ')',
              'problem');
      openStop(1);
    });
  }
  open(path) {
    this.then(async () => {
      const parts = path.split('/');
      let folder = this.root;
      for (const part of parts.slice(0, -1))
        folder = await folder.getDirectoryHandle(part, {create: true});
      this.file = {path, folder, name: parts[parts.length - 1]};
      const handle = await folder.getFileHandle(this.file.name, {create: true});
      this.file.writable = await handle.createWritable();
    });
  }
  write(blob) {
    this.then(() => this.file.writable.write(blob));
  }
  // A damaged entry's file is removed: only what can be trusted stays.
  close(whole) {
    this.then(async () => {
      if (whole) {
        await this.file.writable.close();
        this.written++;
      } else {
        await this.file.writable.abort();
        await this.file.folder.removeEntry(this.file.name);
      }
      this.file = null;
    });
  }
  async abort() {
    if (this.file && this.file.writable)
      await this.file.writable.abort().catch(() => {});
  }
}

let folderWriter = null;
$('open-folder').addEventListener('click', async () => {
  let root;
  try {
    root = await window.showDirectoryPicker({mode: 'readwrite'});
  } catch (error) {
    return;  // no folder picked
  }
  openBusy(true);
  $('open-status').textContent = t('Extracting…');
  folderWriter = new FolderWriter(root);
  const run = await runOpen('extract', folderWriter);
  await folderWriter.done;
  run.extracted = folderWriter.written;
  if (folderWriter.cancelled) {
    await folderWriter.abort();
    run.code = Cancelled;
    $('open-status').textContent = t('Cancelled.');
  } else if (folderWriter.failed) {
    run.code = 1;
  }
  folderWriter = null;
  extracted(run);
  openBusy(false);
});

// Cancels the run, and the writes into a folder that may outlast the worker.
$('open-cancel').addEventListener('click', async () => {
  if (folderWriter !== null)
    folderWriter.failed = folderWriter.cancelled = true;
  if (openWorker !== null)
    openStop(Cancelled);
});
