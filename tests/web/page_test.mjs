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
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [top, packer, chromium, shots] = process.argv.slice(2);
fs.mkdirSync(shots, {recursive: true});
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kvxpage.'));
const zone = 'Asia/Tokyo';  // the page converts times in its zone, the packer in TZ
let passed = 0, failed = 0;
function check(name, ok, detail = '') {
  if (ok) {
    passed++;
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

function cli(args) {
  return execFileSync(packer, args, {env: {...process.env, TZ: zone, LC_ALL: 'C.UTF-8'}, stdio: 'pipe'});
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
           excludes: '*.bak', name: 'サンプル.exe'},
    icon: path.join(top, 'tools/demo/icon.png'),
  };
  const made = await packInPage(page, examples, demo, downloads);
  await page.screenshot({path: path.join(shots, 'web-page-ja.png'), fullPage: true});
  cli(['-q', '-o', path.join(work, 'cli.exe'), '--title', 'KVX サンプル', '--message', 'サンプルのファイルを解凍します。',
       '--dest', 'C:\\KVXサンプル', '--icon', demo.icon, '--exclude', '*.bak', examples]);
  const expected = fs.readFileSync(path.join(work, 'cli.exe'));
  check('the examples, downloaded as サンプル.exe', made.bytes !== null && made.name === 'サンプル.exe', made.said);
  check('the page\'s file is byte for byte kvxsfx-pack\'s', made.bytes !== null && expected.equals(made.bytes),
        `${made.bytes ? made.bytes.length : 0} bytes against ${expected.length}`);

  const many = path.join(work, 'many');
  manyFiles(many, 3000);
  const packedMany = await packInPage(page, many, {text: {name: 'many.exe'}, smallest: true}, downloads);
  cli(['-q', '--smallest', '-o', path.join(work, 'many.exe'), many]);
  check('3,000 files with ① and ～ in their names and one of 2.6 MB, --smallest, as kvxsfx-pack makes them',
        packedMany.bytes !== null && fs.readFileSync(path.join(work, 'many.exe')).equals(packedMany.bytes),
        packedMany.said);

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
  await browser.close();
} finally {
  fs.rmSync(work, {recursive: true, force: true});
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
