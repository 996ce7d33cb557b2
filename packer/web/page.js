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

function say(text, kind) {
  if (kind === 'summary') {
    $('status').textContent = text.trim();
    return;
  }
  const item = document.createElement('li');
  item.textContent = text;
  item.className = kind;
  $('problems').append(item);
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
  // The worker's code stands in the page, for a page opened from a file
  // may start a worker only from a Blob.
  worker = new Worker(URL.createObjectURL(new Blob(['(' + kvxWorker.toString() + ')()'], {type: 'text/javascript'})));
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
