// The page that packs, in Debian's headless Chromium, opened from a file as a
// distributor would open it: examples/ chosen with the folder picker and the
// fields filled as the demo fills them, an icon and an exclusion, then the
// file downloaded under the name given; it must be byte for byte what
// kvxsfx-pack makes of the same files with the same options.  So must a
// folder of thousands of small files whose names hold characters only code
// page 932 has (～, ①).  A name that Shift-JIS cannot hold shows the packer's
// own words, and nothing is downloaded.  Screenshots of the page in Japanese
// and in English are saved in SHOTS (for docs/).
//   node page_test.mjs TOP PACKER CHROMIUM SHOTS
import {execFileSync} from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [top, packer, chromium, shots] = process.argv.slice(2);
fs.mkdirSync(shots, {recursive: true});

// A page older than its sources would test the code before the change (it
// happened once): the test stops and says which source is newer, looking
// through every folder below them (the stub's sources, the vendored fflate).
function newest(dir) {
  return fs.readdirSync(dir, {withFileTypes: true, recursive: true}).filter((e) => e.isFile())
    .map((e) => ({file: path.join(e.parentPath || e.path, e.name), time: fs.statSync(path.join(e.parentPath || e.path, e.name)).mtimeMs}))
    .reduce((a, b) => (b.time > a.time ? b : a), {time: 0});
}
{
  const built = Math.min(...['engine.js', 'catalogue.js', 'index.html', 'page.js', 'page.css']
    .map((name) => fs.existsSync(path.join(top, 'build/web', name)) ? fs.statSync(path.join(top, 'build/web', name)).mtimeMs : 0));
  const source = ['packer/web', 'packer/lib', 'packer/format', 'packer/bzip2', 'po', 'tools/web', 'src']
    .map((dir) => newest(path.join(top, dir))).reduce((a, b) => (b.time > a.time ? b : a));
  if (source.time > built) {
    console.log(`FAIL: build/web is older than ${path.relative(top, source.file)}: run make web`);
    process.exit(1);
  }
}
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kvxpage.'));
const zone = 'Asia/Tokyo';  // the page converts times in its zone, the packer in TZ
let passed = 0, failed = 0;
function check(name, ok, detail = '') {
  if (ok) {
    passed++;
    if (process.env.KVX_VERBOSE)
      console.log(`ok: ${name}`);
  } else {
    failed++;
    console.log(`FAIL: ${name}${detail ? '\n' + detail : ''}`);
  }
}

// A folder of small files, some in folders, some named with characters that
// only code page 932 holds, with times a few seconds apart, and among them
// one file of several blocks, read a piece at a time.
function manyFiles(dir, count) {
  const big = Buffer.alloc(2600000);
  for (let i = 0, x = 1; i < big.length; i++) {
    x = (x * 1103515245 + 12345) >>> 0;
    big[i] = i % 300000 < 150000 ? 97 + ((x >>> 16) % 7) : x >>> 24;
  }
  fs.mkdirSync(path.join(dir, 'd3'), {recursive: true});
  fs.writeFileSync(path.join(dir, 'd3', 'big.bin'), big);
  for (let i = 0; i < count; i++) {
    const name = path.join(dir, `d${i % 17}`, i % 5 === 0 ? `①～${i}.txt` : `f${i}.txt`);
    fs.mkdirSync(path.dirname(name), {recursive: true});
    fs.writeFileSync(name, `file ${i}\n`.repeat(1 + (i * 7919) % 300));
    const when = new Date(Date.UTC(2024, 0, 1) + i * 3000);
    fs.utimesSync(name, when, when);
  }
}

function cli(args, env = {}) {
  return execFileSync(packer, args, {env: {...process.env, TZ: zone, LC_ALL: 'C.UTF-8', ...env}, stdio: 'pipe'});
}
// What the packer says in Japanese, on standard output or as a problem.
function cliJapanese(args, cwd) {
  try {
    return execFileSync(packer, args, {env: {...process.env, TZ: zone, LANG: 'ja_JP.UTF-8', LC_ALL: '', LANGUAGE: ''},
                                       cwd, stdio: 'pipe'}).toString();
  } catch (error) {
    return error.stderr.toString().replace(/^kvxsfx-pack: /gm, '');
  }
}

// The files below a folder: path with '/', bytes.
function filesOf(dir, prefix = '') {
  return fs.readdirSync(dir, {withFileTypes: true}).flatMap((e) => e.isDirectory()
    ? filesOf(path.join(dir, e.name), prefix + e.name + '/')
    : [{path: prefix + e.name, bytes: fs.readFileSync(path.join(dir, e.name))}]);
}

// A self-extracting file judged by the format as written, not by the
// packer's reader: the payload after the 53,248-byte stub, each entry's
// checksum (the signed sum of its header and names), names in code page 932,
// and its data, stored or a bzip2 stream decoded by Debian's bzip2.
function readByFormat(bytes) {
  const entries = [];
  for (let at = 53248; at < bytes.length;) {
    const head = bytes.subarray(at, at + 28);
    const dirLength = head.readUInt16LE(24), fileLength = head.readUInt16LE(26), packed = head.readUInt32LE(8);
    const names = bytes.subarray(at + 28, at + 28 + dirLength + fileLength);
    let sum = 0;
    for (const b of [...head.subarray(4), ...names])
      sum = (sum + (b << 24 >> 24)) >>> 0;
    const data = bytes.subarray(at + 28 + names.length, at + 28 + names.length + packed);
    const method = head.readUInt16LE(22);
    const bzip2 = method === 1 || (method === 0 && data.subarray(0, 3).toString() === 'BZh');
    entries.push({
      ok: head.subarray(4, 8).equals(Buffer.from('BZ2\0', 'binary')) && sum === head.readUInt32LE(0),
      path: new TextDecoder('shift_jis').decode(names).replace(/\\/g, '/'),
      unpacked: head.readUInt32LE(12),
      bytes: bzip2 ? execFileSync('bzip2', ['-dc'], {input: data, maxBuffer: 1 << 30}) : Buffer.from(data),
    });
    at += 28 + names.length + packed;
  }
  return entries;
}

// An entry as the format writes it (header, names, data), its checksum the
// signed sum of the header after it and the names; by default stored, dated
// 2024-01-01.  For files no packer would make.
function entryBytes({dir = '', name, data, packed = data.length, unpacked = data.length, method = 2, date = (44 << 9) | (1 << 5) | 1}) {
  const names = Buffer.from(dir + name, 'latin1'), head = Buffer.alloc(28);
  head.write('BZ2\0', 4, 'binary');
  [[8, packed], [12, unpacked]].forEach(([at, n]) => head.writeUInt32LE(n, at));
  [[16, date], [20, 0x20], [22, method], [24, dir.length], [26, name.length]].forEach(([at, n]) => head.writeUInt16LE(n, at));
  let sum = 0;
  for (const b of [...head.subarray(4), ...names])
    sum = (sum + (b << 24 >> 24)) >>> 0;
  head.writeUInt32LE(sum, 0);
  return Buffer.concat([head, names, data]);
}

// The page's file against the folder it was made of, by the format.
function sameAsFolder(bytes, folder) {
  const entries = readByFormat(bytes), files = filesOf(folder);
  const want = new Map(files.map((f) => [f.path, f.bytes]));
  const bad = entries.filter((e) => !e.ok || !want.has(e.path) || !want.get(e.path).equals(e.bytes) ||
                                    e.unpacked !== e.bytes.length);
  return {ok: entries.length === want.size && bad.length === 0,
          detail: `${entries.length} entries, ${want.size} files; wrong: ${bad.slice(0, 5).map((e) => e.path).join(', ')}`};
}

async function launch(language) {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    // Chromium needs a locale to draw text: a bare container has none.
    env: {...process.env, TZ: zone, LC_ALL: 'C.UTF-8'},
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', `--lang=${language}`, `--accept-lang=${language}`,
           '--window-size=900,1000'],
  });
}

async function openPage(browser, downloads) {
  const page = await browser.newPage();
  await page.setViewport({width: 900, height: 1000});
  page.on('pageerror', (error) => console.log(`page error: ${error.message}`));
  const session = await page.createCDPSession();
  await session.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: downloads});
  await page.goto('file://' + path.join(top, 'build/web/index.html'));
  return page;
}

// Packs `folder` in the page with the fields given; the bytes downloaded, or
// null when no download came, with what the page said.
async function packInPage(page, folder, fields, downloads) {
  await page.evaluate(() => document.getElementById('fields').reset());
  for (const [id, value] of Object.entries(fields.text || {})) {
    await page.$eval('#' + id, (element) => (element.value = ''));
    await page.type('#' + id, value);
  }
  if (fields.smallest)
    await page.click('#smallest');
  const input = await page.$('#folder');
  await input.uploadFile(folder);
  if (fields.icon)
    await (await page.$('#icon')).uploadFile(fields.icon);
  await page.waitForFunction((name) => document.getElementById('chosen').textContent.endsWith(': ' + name), {},
                             path.basename(folder));
  if (fields.beforeMake)
    fields.beforeMake();
  const ended = await page.evaluate(() => Number(document.body.dataset.ended || 0));
  await page.click('#make');
  await page.waitForFunction((before) => Number(document.body.dataset.ended || 0) > before, {timeout: 600000}, ended);
  const said = await page.$eval('main', (main) => main.innerText);
  if (await page.$eval('#download', (link) => link.hidden))
    return {bytes: null, said};
  const name = await page.$eval('#download', (link) => link.download);
  const saved = path.join(downloads, name);
  fs.rmSync(saved, {force: true});
  await page.click('#download');
  for (let i = 0; i < 600 && !fs.existsSync(saved); i++)
    await new Promise((resolve) => setTimeout(resolve, 100));
  return {bytes: fs.existsSync(saved) ? fs.readFileSync(saved) : null, said, name};
}

// ---- Opening a self-extracting file in the page -----------------------------

const openEnded = (page) => page.evaluate(() => Number(document.body.dataset.openEnded || 0));
const openSays = (page) => page.evaluate(() => ({
  rows: [...document.querySelectorAll('#open-list tr')].map((tr) => [...tr.cells].map((td) => td.textContent)),
  status: document.getElementById('open-status').textContent,
  problems: [...document.querySelectorAll('#open-problems li')].map((li) => li.textContent).join('\n'),
}));
// Chooses a file in the open part, or presses one of its buttons, and waits
// for the run to end.
async function openRun(page, action) {
  const before = await openEnded(page);
  await action();
  await page.waitForFunction((n) => Number(document.body.dataset.openEnded || 0) > n, {timeout: 600000}, before);
  return openSays(page);
}
const choose = (page, file) => openRun(page, async () => (await page.$('#open-file')).uploadFile(file));
const press = (page, id) => openRun(page, () => page.click('#' + id));

// A screenshot of the open part, with the top of its list.
async function shootOpen(page, name) {
  const box = await (await page.$('#open')).boundingBox();
  await page.screenshot({path: path.join(shots, name), clip: {...box, height: Math.min(box.height, 760)}, captureBeyondViewport: true});
}

// The .zip the page downloads, read by Python's zipfile: each entry's name,
// its UTF-8 flag, date and time, and bytes.
async function zipOf(page, downloads, name) {
  const saved = path.join(downloads, name);
  fs.rmSync(saved, {force: true});
  const said = await press(page, 'open-zip');
  // The page starts the download itself; where the browser holds it back
  // as one download too many, the link is there to click.
  for (let i = 0; i < 600 && !fs.existsSync(saved); i++) {
    if (i === 50)
      await page.click('#open-save');
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  const read = `import json, sys, zipfile, base64
z = zipfile.ZipFile(sys.argv[1])
print(json.dumps([{'name': i.filename, 'utf8': bool(i.flag_bits & 0x800), 'time': '%04d-%02d-%02d %02d:%02d:%02d' % i.date_time,
                   'bytes': base64.b64encode(z.read(i)).decode()} for i in z.infolist()]))`;
  const entries = fs.existsSync(saved) ? JSON.parse(execFileSync('python3', ['-c', read, saved], {maxBuffer: 1 << 30})) : [];
  return {said, entries: entries.map((e) => ({...e, bytes: Buffer.from(e.bytes, 'base64')}))};
}

// Extracts into a folder: the browser's folder picker answered by a folder
// of the test's own that keeps what the page writes.  Each written file's
// path and bytes.
async function intoFolder(page) {
  await page.evaluate(() => {
    window.written = {};
    const folder = (prefix) => ({
      getDirectoryHandle: async (name) => folder(prefix + name + '/'),
      getFileHandle: async (name) => ({
        createWritable: async () => {
          const parts = [];
          return {write: async (blob) => parts.push(blob), close: async () => (window.written[prefix + name] = parts),
                  abort: async () => {}};
        },
      }),
      removeEntry: async (name) => delete window.written[prefix + name],
    });
    window.showDirectoryPicker = async () => folder('');
  });
  const said = await press(page, 'open-folder');
  const files = await page.evaluate(() => Promise.all(Object.entries(window.written).map(([name, parts]) =>
    new Promise((resolve) => {
      const reader = new FileReader();
      reader.onload = () => resolve({name, bytes: reader.result.split(',')[1]});
      reader.readAsDataURL(new Blob(parts));
    }))));
  return {said, entries: files.map((f) => ({...f, bytes: Buffer.from(f.bytes, 'base64')}))};
}

// Files written into a folder against the listing's and the folder's.
function folderMatches(written, listed, folder) {
  const files = new Map(filesOf(folder).map((f) => [f.path, f.bytes]));
  const wrong = written.entries.filter((e) => !listed.some((l) => l.path === e.name) || !files.get(e.name).equals(e.bytes));
  return {ok: written.entries.length === listed.length && wrong.length === 0,
          detail: `${written.entries.length} files written, ${listed.length} listed; wrong: ` +
                  wrong.slice(0, 5).map((e) => e.name).join(', ') + '\n' + written.said.problems};
}

// The .zip's entries against the listing's and the folder's: names, UTF-8
// flags, times as the entries hold them, bytes.
function zipMatches(zip, listed, folder) {
  const files = new Map(filesOf(folder).map((f) => [f.path, f.bytes]));
  const wrong = zip.entries.filter((e, i) => !listed[i] || e.name !== listed[i].path || e.time !== listed[i].time ||
    e.utf8 !== /[^\x00-\x7f]/.test(e.name) || !files.has(e.name) || !files.get(e.name).equals(e.bytes));
  return {ok: zip.entries.length === listed.length && wrong.length === 0,
          detail: `${zip.entries.length} entries in the .zip, ${listed.length} listed; wrong: ` +
                  wrong.slice(0, 5).map((e) => `${e.name} ${e.time} ${e.utf8}`).join(', ') + '\n' + zip.said.problems};
}

// A folder with Japanese names, a file of several blocks and a .zip (which
// the packer stores), packed by the command line; the page lists it as
// list --json does, tests it as test does, and its .zip holds the folder.
// Then the same file damaged in the data of its large entry, and signed.
async function openTests(page, folder, downloads) {
  const file = path.join(work, 'opened.exe');
  const dialog = ['KVX サンプル', 'サンプルのファイルを解凍します。', 'C:\\KVXサンプル'];
  cli(['-q', '--title', dialog[0], '--message', dialog[1], '--dest', dialog[2], '-o', file, folder]);
  const listing = JSON.parse(cli(['list', '--json', file]).toString());
  const listed = await choose(page, file);
  const rows = listing.entries.map((e) => [e.path, e.unpacked.toLocaleString('en'), e.time, e.method.startsWith('stored') ? '無圧縮' : '圧縮']);
  check('the page lists the file as list --json does', JSON.stringify(listed.rows) === JSON.stringify(rows),
        `${listed.rows.length} rows, ${rows.length} entries\n${listed.problems}`);
  check('the .zip in it is listed as stored', listed.rows.some((r) => r[0].endsWith('.zip') && r[3] === '無圧縮'));
  const shown = await page.$$eval('#open-title, #open-message, #open-destination', (all) => all.map((e) => e.textContent));
  check('the dialog\'s title, message and destination', JSON.stringify(shown) === JSON.stringify(dialog), shown.join('\n'));
  await shootOpen(page, 'web-open-ja.png');
  const tested = await press(page, 'open-test');
  check('the page tests it as test does', tested.status === cliJapanese(['test', 'opened.exe'], work).trim() && tested.problems === '',
        tested.status + tested.problems);
  const zip = await zipOf(page, downloads, 'opened.zip');
  const zipped = zipMatches(zip, listing.entries, folder);
  check('its .zip, read by Python, holds the folder: names, UTF-8 flags, times, bytes', zipped.ok, zipped.detail);
  const written = folderMatches(await intoFolder(page), listing.entries, folder);
  check('extracted into a folder, it is the folder', written.ok, written.detail);

  // Cancel while the page still writes what the worker has long finished:
  // the first write waits, and nothing is written after the cancel.
  await page.evaluate(() => {
    window.written = {};
    window.showDirectoryPicker = async () => {
      const folder = (prefix) => ({
        getDirectoryHandle: async (name) => folder(prefix + name + '/'),
        getFileHandle: async (name) => ({createWritable: async () => ({
          write: () => new Promise((resolve) => (window.release = resolve)),
          close: async () => (window.written[prefix + name] = true), abort: async () => {}}),
        }),
        removeEntry: async () => {},
      });
      return folder('');
    };
  });
  const cancelledWrites = await openRun(page, async () => {
    await page.click('#open-folder');
    await page.waitForFunction(() => window.release !== undefined);
    await new Promise((resolve) => setTimeout(resolve, 500));  // the worker ends meanwhile
    await page.click('#open-cancel');
    await page.evaluate(() => window.release());
  });
  check('a folder\'s writes cancelled after the worker ended: said, nothing more written',
        cancelledWrites.status === '中止しました。' && await page.evaluate(() => Object.keys(window.written).length === 0),
        cancelledWrites.status + cancelledWrites.problems);

  // Damaged inside the large entry's data: the entries before it extract,
  // and the page says where it stopped, in the packer's words.
  const damaged = path.join(work, 'damaged.exe');
  const bytes = fs.readFileSync(file);
  const large = listing.entries.findIndex((e) => e.path.endsWith('big.bin'));
  let at = 53248;
  for (let i = 0; i < large; i++)
    at += 28 + bytes.readUInt16LE(at + 24) + bytes.readUInt16LE(at + 26) + bytes.readUInt32LE(at + 8);
  bytes[at + 28 + bytes.readUInt16LE(at + 24) + bytes.readUInt16LE(at + 26) + (bytes.readUInt32LE(at + 8) >> 1)] ^= 0x55;
  fs.writeFileSync(damaged, bytes);
  await choose(page, damaged);
  const testedDamaged = await press(page, 'open-test');
  const cliTest = cliJapanese(['test', 'damaged.exe'], work).trim();
  check('a damaged file: the test names the entry in the packer\'s words',
        cliTest.includes('big.bin') && testedDamaged.problems === cliTest, `${testedDamaged.problems}\npacker: ${cliTest}`);
  const zipDamaged = await zipOf(page, downloads, 'damaged.zip');
  const before = zipMatches(zipDamaged, listing.entries.slice(0, large), folder);
  check('a damaged file: the .zip holds the entries before the damage, and says where it stopped',
        before.ok && zipDamaged.said.problems.includes('big.bin') && zipDamaged.said.status.includes('止まりました'),
        before.detail + '\n' + zipDamaged.said.status);
  const writtenDamaged = folderMatches(await intoFolder(page), listing.entries.slice(0, large), folder);
  check('a damaged file: into a folder, the entries before the damage, not the damaged one', writtenDamaged.ok,
        writtenDamaged.detail);

  // The payload after another stub: read as the stub reads it, all the same.
  const otherStub = fs.readFileSync(file);
  otherStub.fill(0xcc, 4096, 8192);
  fs.writeFileSync(path.join(work, 'other-stub.exe'), otherStub);
  const listedOther = await choose(page, path.join(work, 'other-stub.exe'));
  check('the payload after another stub lists alike', JSON.stringify(listedOther.rows) === JSON.stringify(rows),
        listedOther.problems);

  // What is not a self-extracting file: the packer's words, and no list.
  const notOne = await choose(page, path.join(folder, 'd2', '資料.zip'));
  check('a file that is not self-extracting: the packer\'s words, no list',
        notOne.rows.length === 0 && notOne.problems === cliJapanese(['list', '資料.zip'], path.join(folder, 'd2')).trim(),
        notOne.problems);

  // Signed with osslsigncode: the same entries, and the signature said.
  const keys = path.join(work, 'key.pem'), certificate = path.join(work, 'certificate.pem'), signed = path.join(work, 'signed.exe');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=kvxsfx test', '-days', '2',
                           '-keyout', keys, '-out', certificate], {stdio: 'pipe'});
  execFileSync('osslsigncode', ['sign', '-certs', certificate, '-key', keys, '-in', file, '-out', signed], {stdio: 'pipe'});
  const listedSigned = await choose(page, signed);
  check('a signed file: the same entries, and its signature', JSON.stringify(listedSigned.rows) === JSON.stringify(rows) &&
        listedSigned.status.includes('Authenticode'), listedSigned.status + listedSigned.problems);
  const testedSigned = await press(page, 'open-test');
  check('a signed file tests as test does', testedSigned.status === cliJapanese(['test', 'signed.exe'], work).trim(),
        testedSigned.status + testedSigned.problems);

  // Files no packer makes, each after the stub: names holding '\\' and a
  // doubled one, an entry dated 2105 (a .zip's dates end at 2099 in fflate),
  // and a stream that decodes to more than its entry claims.
  const stub = fs.readFileSync(file).subarray(0, 53248);
  const hostile = path.join(work, 'hostile.exe');
  const y1200 = execFileSync('bzip2', ['-9c'], {input: Buffer.alloc(1200, 'y')});
  fs.writeFileSync(hostile, Buffer.concat([stub, ...[
    {name: 'a.txt', data: Buffer.from('a')}, {name: 'sub\\x.txt', data: Buffer.from('x')},
    {dir: 'e\\\\', name: 'f.txt', data: Buffer.from('f')}, {name: 'late.txt', data: Buffer.from('late'), date: (125 << 9) | (1 << 5) | 1},
    {name: 'bomb.txt', data: y1200, unpacked: 10, method: 1}].map(entryBytes)]));
  await choose(page, hostile);
  const zipHostile = await zipOf(page, downloads, 'hostile.zip');
  const extractedJa = (n) => `${n} 個のファイルを解凍しました\n下の問題の箇所で止まりました。それより前のファイルは解凍しています。`;
  check('names split as the stub splits them, a date past 2099 left out of the .zip, a stream too long a problem',
        JSON.stringify(zipHostile.entries.map((e) => e.name)) === '["a.txt","sub/x.txt","e/f.txt"]' &&
        zipHostile.said.problems === '「late.txt」: 日付が 2105 年で、.zip に記録できる 2099 年より後のため、.zip に入れませんでした\n' +
          '「bomb.txt」: 展開すると、記録された 10 バイトより大きくなります' && zipHostile.said.status === extractedJa(3),
        zipHostile.entries.map((e) => e.name).join(', ') + '\n' + zipHostile.said.status + '\n' + zipHostile.said.problems);
  const writtenHostile = await intoFolder(page);
  check('into a folder: the same names, the late file, no bomb, and the files written counted',
        JSON.stringify(writtenHostile.entries.map((e) => e.name).sort()) === '["a.txt","e/f.txt","late.txt","sub/x.txt"]' &&
        writtenHostile.said.status === extractedJa(4), writtenHostile.said.status + writtenHostile.said.problems);

  // A file past 2 GiB (sparse here): the entry after 2.2 GB of zeros is read
  // where it lies (the engine's offsets are 64-bit).
  const huge = path.join(work, 'huge.exe'), zeros = 2200 * 2 ** 20;
  const head = Buffer.concat([stub, entryBytes({name: 'zeros.bin', data: Buffer.alloc(0), packed: zeros, unpacked: zeros})]);
  const after = entryBytes({name: 'after.txt', data: Buffer.from('after')});
  const fd = fs.openSync(huge, 'w');
  fs.writeSync(fd, head);
  fs.writeSync(fd, after, 0, after.length, head.length + zeros);
  fs.closeSync(fd);
  const listedHuge = await choose(page, huge);
  check('a file of 2.2 GB lists the entry past 2 GiB', JSON.stringify(listedHuge.rows.map((r) => r[0])) === '["zeros.bin","after.txt"]',
        listedHuge.rows.map((r) => r[0]).join(', ') + listedHuge.problems);
  fs.rmSync(huge);

  // An entry larger than the page holds, damaged at 90 % of its stream, and
  // a stored one cut short (it claims 30 MiB): the .zip never holds a byte of either.
  const text = Buffer.alloc(17 << 20);
  for (let i = 0, x = 7; i < text.length; i++)
    text[i] = (x = (x * 1103515245 + 12345) >>> 0) % 61 === 0 ? 10 : 97 + (x >>> 27);
  const stream = execFileSync('bzip2', ['-9c'], {input: text, maxBuffer: 1 << 30});
  stream[Math.floor(stream.length * 0.9)] ^= 0x10;
  for (const [name, last] of [['big.txt', {name: 'big.txt', data: stream, unpacked: text.length, method: 1}],
                              ['cut.bin', {name: 'cut.bin', data: text, packed: 30 << 20, unpacked: 30 << 20}]]) {
    const largeFile = path.join(work, `${name}.exe`);  // a name of its own: the same one chosen again is no change
    fs.writeFileSync(largeFile, Buffer.concat([stub, entryBytes({name: 'first.txt', data: Buffer.from('first')}), entryBytes(last)]));
    await choose(page, largeFile);
    const zipLarge = await zipOf(page, downloads, `${name}.zip`);
    check(`a damaged entry of 17 MiB (${name}): the .zip holds what came before it and none of it`,
          JSON.stringify(zipLarge.entries.map((e) => e.name)) === '["first.txt"]' && zipLarge.said.problems.includes(name) &&
          zipLarge.said.status === extractedJa(1), zipLarge.said.status + zipLarge.said.problems);
  }

  // A test cancelled midway: the page says so, and is ready again.
  const slow = path.join(work, 'slow');
  fs.mkdirSync(slow);
  fs.writeFileSync(path.join(slow, 'text.txt'), crypto.randomBytes(12 << 20).map((b) => 97 + (b & 15)));
  cli(['-q', '-o', path.join(work, 'slow.exe'), slow]);
  await choose(page, path.join(work, 'slow.exe'));
  const cancelled = await openRun(page, async () => {
    await page.click('#open-test');
    await page.waitForFunction(() => document.getElementById('open-progress').value > 0);
    await page.click('#open-cancel');
  });
  check('a test cancelled midway: said, and the page ready again', cancelled.status === '中止しました。' &&
        await page.$eval('#open-test', (button) => !button.disabled), cancelled.status + cancelled.problems);
  return file;
}

const downloads = path.join(work, 'downloads');
fs.mkdirSync(downloads);
try {
  // Japanese: the examples as the demo packs them, and a folder of many files.
  let browser = await launch('ja');
  let page = await openPage(browser, downloads);
  check('the page speaks Japanese', (await page.$eval('h1', (h) => h.textContent)).includes('自己解凍ファイル'));
  const examples = path.join(work, 'examples');
  fs.cpSync(path.join(top, 'examples'), examples, {recursive: true, preserveTimestamps: true});
  fs.writeFileSync(path.join(examples, '古い.bak'), 'left out');
  const demo = {
    text: {title: 'KVX サンプル', message: 'サンプルのファイルを解凍します。', destination: 'C:\\KVXサンプル',
           launch: 'お読みください.txt', excludes: '*.bak', epoch: '1700000000', name: 'サンプル.exe'},
    icon: path.join(top, 'tools/demo/icon.png'),
  };
  const made = await packInPage(page, examples, demo, downloads);
  await page.screenshot({path: path.join(shots, 'web-page-ja.png'), fullPage: true});
  cli(['-q', '-o', path.join(work, 'cli.exe'), '--title', 'KVX サンプル', '--message', 'サンプルのファイルを解凍します。',
       '--dest', 'C:\\KVXサンプル', '--launch', 'お読みください.txt', '--icon', demo.icon, '--exclude', '*.bak', examples],
      {SOURCE_DATE_EPOCH: '1700000000'});
  const expected = fs.readFileSync(path.join(work, 'cli.exe'));
  check('the examples, downloaded as サンプル.exe', made.bytes !== null && made.name === 'サンプル.exe', made.said);
  check('the page\'s file is byte for byte kvxsfx-pack\'s', made.bytes !== null && expected.equals(made.bytes),
        `${made.bytes ? made.bytes.length : 0} bytes against ${expected.length}`);
  fs.rmSync(path.join(examples, '古い.bak'));
  const judged = sameAsFolder(made.bytes || Buffer.alloc(0), examples);
  check('the page\'s file, read by the format and Debian\'s bzip2, holds the examples', judged.ok, judged.detail);
  fs.writeFileSync(path.join(examples, '古い.bak'), 'left out');

  const many = path.join(work, 'many');
  manyFiles(many, 3000);
  const packedMany = await packInPage(page, many, {text: {name: 'many.exe'}, smallest: true}, downloads);
  cli(['-q', '--smallest', '-o', path.join(work, 'many.exe'), many]);
  check('3,000 files with ① and ～ in their names and one of 2.6 MB, --smallest, as kvxsfx-pack makes them',
        packedMany.bytes !== null && fs.readFileSync(path.join(work, 'many.exe')).equals(packedMany.bytes),
        packedMany.said);
  const judgedMany = sameAsFolder(packedMany.bytes || Buffer.alloc(0), many);
  check('the 3,000 files, read by the format and Debian\'s bzip2', judgedMany.ok, judgedMany.detail);

  // A folder with Japanese names, a file of several blocks and a stored .zip.
  const toOpen = path.join(work, 'opened');
  manyFiles(toOpen, 120);
  execFileSync('python3', ['-c', 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").writestr("a.txt", "zip " * 1000)',
                           path.join(toOpen, 'd2', '資料.zip')]);
  const opened = await openTests(page, toOpen, downloads);

  // A name that Shift-JIS cannot hold: the packer's words, and no file.
  const bad = path.join(work, 'bad');
  fs.mkdirSync(bad);
  fs.writeFileSync(path.join(bad, 'café.txt'), 'x');
  const refused = await packInPage(page, bad, {text: {name: 'bad.exe'}}, downloads);
  let cliSaid = '';
  try {
    execFileSync(packer, ['-o', path.join(work, 'bad.exe'), bad],
                 {env: {...process.env, LANG: 'ja_JP.UTF-8', LC_ALL: '', LANGUAGE: ''}, cwd: work, stdio: 'pipe'});
  } catch (error) {
    cliSaid = error.stderr.toString();
  }
  const words = cliSaid.replace(/^kvxsfx-pack: /, '').replace(/「[^」]*」/g, '').trim();
  check('a name Shift-JIS cannot hold: the packer\'s words, no download',
        refused.bytes === null && words !== '' && refused.said.replace(/「[^」]*」/g, '').includes(words),
        `page: ${refused.said}\npacker: ${cliSaid}`);

  // A file changed after it was chosen cannot be read any more: the packer's
  // words with its name, and no file.
  const changing = path.join(work, 'changing');
  fs.mkdirSync(changing);
  fs.writeFileSync(path.join(changing, 'a.txt'), 'before');
  fs.writeFileSync(path.join(changing, 'b.txt'), 'b');
  const changed = await packInPage(page, changing, {text: {name: 'changed.exe'}, beforeMake: () => {
    fs.writeFileSync(path.join(changing, 'a.txt'), 'after, and longer');
    fs.utimesSync(path.join(changing, 'a.txt'), new Date(2030, 0, 1), new Date(2030, 0, 1));
  }}, downloads);
  check('a file changed after it was chosen: cannot be read, no download',
        changed.bytes === null && changed.said.includes('「changing/a.txt」を読み込めません'), changed.said);
  await browser.close();

  // English where the browser's language is not Japanese.
  browser = await launch('en-US');
  page = await openPage(browser, downloads);
  check('the page speaks English', (await page.$eval('h1', (h) => h.textContent)) === 'Make a self-extracting file for Windows');
  const english = await packInPage(page, examples, demo, downloads);
  await page.screenshot({path: path.join(shots, 'web-page-en.png'), fullPage: true});
  check('the same bytes from the English page', english.bytes !== null && expected.equals(english.bytes), english.said);
  const listedEnglish = await choose(page, opened);
  check('the English page lists the file too', listedEnglish.rows.length > 100 && listedEnglish.status.includes('entries'),
        listedEnglish.status);
  await shootOpen(page, 'web-open-en.png');
  await browser.close();
} finally {
  fs.rmSync(work, {recursive: true, force: true});
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
