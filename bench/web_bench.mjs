// The page that packs, timed in Debian's headless Chromium on one folder, and
// the memory of the browser's processes while it packs, sampled ten times a
// second as their proportional set sizes (PSS: a page shared by n processes
// counts 1/n in each, so Chromium's code is counted once, not once a
// process): the peak of all of them together, the same before packing
// began, and the peak of the largest one.  Prints
// "seconds peak-MiB idle-MiB largest-process-MiB page-file joining-seconds":
// the time from the click to the file, the page's file (beside FOLDER), and
// the time from choosing the folder to the page's Blob of the files (made
// while the fields are filled in).
//   node web_bench.mjs TOP FOLDER [--smallest]
// With --open, FOLDER is a self-extracting file the page opens instead; it
// prints "list-seconds rows test-seconds zip-seconds peak-MiB idle-MiB
// zip-bytes test-cpu-seconds": from choosing the file to its listing, the
// test, and the .zip with the browser's peak memory while it is made; and
// the processor time all the browser's processes took for the test (less
// swayed than the time by what else the machine runs).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {createRequire} from 'node:module';

const [top, folder, smallest] = process.argv.slice(2);
const require = createRequire(path.join(top, 'tests/web/package.json'));
const puppeteer = require('puppeteer-core');
const downloads = fs.mkdtempSync(path.join(os.tmpdir(), 'kvxwebbench.'));

// The processes below a process, itself first.
function tree(pid) {
  const children = new Map();
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry))
      continue;
    try {
      const parent = Number(fs.readFileSync(`/proc/${entry}/stat`, 'utf8').split(') ')[1].split(' ')[1]);
      children.set(parent, [...(children.get(parent) || []), Number(entry)]);
    } catch {}
  }
  const all = [];
  for (const stack = [pid]; stack.length > 0;) {
    const p = stack.pop();
    all.push(p);
    stack.push(...(children.get(p) || []));
  }
  return all;
}

// The processor time of a process and of each one below it (user and
// system, in the kernel's ticks of 1/100 s), in seconds.
function treeSeconds(pid) {
  let ticks = 0;
  for (const p of tree(pid)) {
    try {
      const fields = fs.readFileSync(`/proc/${p}/stat`, 'utf8').split(') ')[1].split(' ');
      ticks += Number(fields[11]) + Number(fields[12]);
    } catch {}
  }
  return ticks / 100;
}

// The PSS of a process and of each one below it, in bytes.
function treeMemory(pid) {
  const sizes = [];
  for (const p of tree(pid)) {
    try {
      sizes.push(Number(/Pss:\s+(\d+)/.exec(fs.readFileSync(`/proc/${p}/smaps_rollup`, 'utf8'))[1]) * 1024);
    } catch {}
  }
  return {total: sizes.reduce((a, b) => a + b, 0), largest: Math.max(0, ...sizes)};
}

const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  env: {...process.env, TZ: 'Asia/Tokyo', LC_ALL: 'C.UTF-8'},
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--accept-lang=en-US'],
});
const page = await browser.newPage();
const session = await page.createCDPSession();
await session.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: downloads});
await page.goto('file://' + path.join(top, 'build/web/index.html'));
const mib = (n) => (n / 1048576).toFixed(0);

// Peak memory of the browser's processes while `action` runs.
async function sampled(action) {
  const memory = {peak: 0, largest: 0};
  const sampler = setInterval(() => {
    const now = treeMemory(browser.process().pid);
    memory.peak = Math.max(memory.peak, now.total), memory.largest = Math.max(memory.largest, now.largest);
  }, 100);
  await action();
  clearInterval(sampler);
  return memory;
}

// Times one run of the open part, from `action` to its end.
async function openRun(action) {
  const before = await page.evaluate(() => Number(document.body.dataset.openEnded || 0));
  const started = process.hrtime.bigint();
  await action();
  await page.waitForFunction((n) => Number(document.body.dataset.openEnded || 0) > n, {timeout: 0, polling: 20}, before);
  return Number(process.hrtime.bigint() - started) / 1e9;
}

if (smallest === '--open') {
  const listing = await openRun(async () => (await page.$('#open-file')).uploadFile(folder));
  const rows = await page.$$eval('#open-list tr', (rows) => rows.length);
  const cpu = treeSeconds(browser.process().pid);
  const testing = await openRun(() => page.click('#open-test'));
  const testCpu = treeSeconds(browser.process().pid) - cpu;
  const idle = treeMemory(browser.process().pid).total;
  let zipping = 0;
  const memory = await sampled(async () => (zipping = await openRun(() => page.click('#open-zip'))));
  const saved = path.join(downloads, path.basename(folder).replace(/\.exe$/i, '') + '.zip');
  for (let i = 0; i < 600 && !fs.existsSync(saved); i++)
    await new Promise((resolve) => setTimeout(resolve, 100));
  const bytes = fs.existsSync(saved) ? fs.statSync(saved).size : 0;
  await browser.close();
  fs.rmSync(downloads, {recursive: true, force: true});
  console.log(`${listing.toFixed(2)} ${rows} ${testing.toFixed(2)} ${zipping.toFixed(2)} ${mib(memory.peak)} ${mib(idle)} ${bytes} ` +
              testCpu.toFixed(2));
  process.exit(0);
}
const chosen = process.hrtime.bigint();
await (await page.$('#folder')).uploadFile(folder);
await page.waitForFunction(() => document.getElementById('chosen').textContent !== '');
// The page joins the files into one Blob while the fields are filled in.
await page.waitForFunction(() => document.body.dataset.joined !== undefined, {timeout: 0, polling: 50});
const joining = Number(process.hrtime.bigint() - chosen) / 1e9;
if (smallest === '--smallest')
  await page.click('#smallest');
const idle = treeMemory(browser.process().pid).total;
let peak = 0, largest = 0;
const sampler = setInterval(() => {
  const now = treeMemory(browser.process().pid);
  peak = Math.max(peak, now.total), largest = Math.max(largest, now.largest);
}, 100);
const started = process.hrtime.bigint();
await page.click('#make');
await page.waitForFunction(() => Number(document.body.dataset.ended || 0) > 0, {timeout: 0, polling: 200});
const seconds = Number(process.hrtime.bigint() - started) / 1e9;
clearInterval(sampler);
await page.click('#download');
const saved = path.join(downloads, 'setup.exe');
for (let i = 0; i < 600 && !fs.existsSync(saved); i++)
  await new Promise((resolve) => setTimeout(resolve, 100));
// The page's file is kept beside the folder, to compare byte for byte.
const kept = path.join(path.dirname(folder), 'page.exe');
if (fs.existsSync(saved))
  fs.renameSync(saved, kept);
await browser.close();
fs.rmSync(downloads, {recursive: true, force: true});
console.log(`${seconds.toFixed(2)} ${mib(peak)} ${mib(idle)} ${mib(largest)} ${kept} ${joining.toFixed(2)}`);
