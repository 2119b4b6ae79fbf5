// The demonstration pages of the local server, driven through Debian's
// Chromium: usage: node demo-pages.mjs SERVER_BINARY TEMPLATES_DIR
import { spawn, execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [serverBinary, templates] = process.argv.slice(2);
const chromiumBinary = ['/usr/lib/chromium/chromium', '/usr/bin/chromium'].find(existsSync);
const work = mkdtempSync(join(tmpdir(), 'torvane-browser-'));

let failures = 0;
function check(condition, what) {
  console.log(`${condition ? 'PASS' : 'FAIL'}: ${what}`);
  if (!condition) failures++;
}

// The commands the demo server printed so far.
const commands = [];
function startServer(allowedOrigin) {
  return new Promise((resolve, reject) => {
    const server = spawn(serverBinary, ['--templates', templates, '--port', '0', '--allow-origin', allowedOrigin],
                         { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    server.stdout.on('data', (chunk) => {
      out += chunk;
      const lines = out.split('\n');
      out = lines.pop();
      for (const line of lines) {
        const match = line.match(/listening on (http:\/\/[^\s]+)/);
        if (match) resolve({ server, base: match[1].replace(/\/$/, '') });
        if (line.startsWith('command ')) commands.push(line.slice(8));
      }
    });
    server.on('exit', (code) => reject(new Error(`demo server ended with ${code}`)));
  });
}

// Pages of other sites: one page on each of two loopback ports.
function startSite(page) {
  return new Promise((resolve) => {
    const site = createServer((request, response) => {
      response.writeHead(200, { 'Content-Type': 'text/html; charset=UTF-8' });
      response.end(page);
    });
    site.listen(0, '127.0.0.1', () => resolve({ site, origin: `http://localhost:${site.address().port}` }));
  });
}
const blank = '<!DOCTYPE html><title>site</title><iframe name="sink"></iframe>';
const other = await startSite(blank);
const allowed = await startSite(blank);

const { server, base } = await startServer(allowed.origin);
const timer = setTimeout(() => { console.log('FAIL: timed out'); server.kill(); process.exit(1); }, 120000);
const browser = await chromium.launch({
  executablePath: chromiumBinary,
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-dev-shm-usage'],
});

try {
  // The form: shown, posted, and echoed as text, never as markup.
  {
    const page = await browser.newPage();
    await page.goto(`${base}/form`);
    check(await page.locator('input[name=name]').count() === 1, 'the form page shows the name field');
    const hostile = '<img src=x onerror="window.pwned=1">';
    await page.fill('input[name=name]', 'Ana & "Rui"');
    await page.fill('input[name=city]', hostile);
    await Promise.all([page.waitForNavigation(), page.click('input[type=submit]')]);
    const text = await page.evaluate(() => document.body.innerText);
    check(text.includes('Name = Ana & "Rui"'), `the posted name is echoed (${JSON.stringify(text)})`);
    check(text.includes(`City = ${hostile}`), 'the posted city is echoed as text');
    check(await page.locator('img').count() === 0, 'the echoed markup made no element');
    check(await page.evaluate(() => window.pwned) === undefined, 'the echoed markup ran no script');
    await page.close();
  }

  // A JPEG through the upload form comes back byte for byte, as image/jpeg.
  {
    const jpeg = join(work, 'photo.jpg');
    execFileSync('convert', ['-seed', '7', '-size', '800x600', 'plasma:fractal', '-quality', '92', jpeg]);
    const sent = readFileSync(jpeg);
    const page = await browser.newPage();
    await page.goto(`${base}/files`);
    await page.setInputFiles('input[name=file1]', jpeg);
    const [response] = await Promise.all([
      page.waitForResponse((r) => r.request().method() === 'POST'),
      page.click('input[type=submit]'),
    ]);
    const received = await response.body();
    check(response.headers()['content-type'] === 'image/jpeg', 'the upload comes back as image/jpeg');
    check(received.equals(sent), `the upload comes back byte-identical (${received.length} of ${sent.length} bytes)`);
    await page.waitForLoadState();
    const width = await page.evaluate(() => document.images.length ? document.images[0].naturalWidth : 0);
    check(width === 800, `the browser shows the returned image (${width} px wide)`);

    // Submitted without choosing a file.
    await page.goto(`${base}/files`);
    const [empty] = await Promise.all([
      page.waitForResponse((r) => r.request().method() === 'POST'),
      page.click('input[type=submit]'),
    ]);
    check((await empty.body()).toString() === 'upload failed', 'without a file the answer is "upload failed"');
    await page.close();
  }

  // The session page: a new session first, its start time after a reload.
  {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(`${base}/sessions`);
    const first = await page.evaluate(() => document.body.innerText);
    check(first === 'New session started. Reload this page now.', `a first visit starts a session (${first})`);
    const cookies = await context.cookies();
    check(cookies.some((c) => c.name === 'sessionid'), 'the browser keeps the session cookie');
    await page.reload();
    const second = await page.evaluate(() => document.body.innerText);
    check(/^Your session started \S+ \S+ +\d+ \d\d:\d\d:\d\d \d{4}$/.test(second), `a reload shows the start time (${second})`);
    await context.close();
  }

  // The template page in the language variant the browser asks for, with
  // the request path and headers as text.
  for (const [locale, phrase] of [['de-DE', 'Ihr Browser hat diese Kopfzeilen gesendet'],
                                  ['en-US', 'Your browser sent these request headers']]) {
    const context = await browser.newContext({ locale });
    const page = await context.newPage();
    await page.goto(`${base}/template/<b>bold</b>`);
    const text = await page.evaluate(() => document.body.innerText);
    check(text.includes(phrase), `${locale}: the page is in the asked language`);
    check(text.includes('/template/<b>bold</b>'), `${locale}: the path is shown as text`);
    check(await page.locator('td b').count() + await page.locator('p b').count() === 0, `${locale}: the path made no element`);
    const headers = await page.$$eval('tr td:first-child', (cells) => cells.map((c) => c.textContent));
    check(headers.includes('user-agent') && headers.includes('accept-language'), `${locale}: the request headers are listed`);
    await context.close();
  }
  // Who may command: a page of another site gets nothing through, with an
  // image, a no-cors fetch, a form POST or a JSON POST; the allowed site's
  // JSON POST runs once, and the page reads its answer.
  {
    const page = await browser.newPage();
    await page.goto(`${other.origin}/`);
    const outcomes = await page.evaluate(async (target) => {
      const image = await new Promise((resolve) => {
        const img = new Image();
        img.onload = () => resolve('loaded');
        img.onerror = () => resolve('error');
        img.src = `${target}/?comando=image`;
      });
      const noCors = await fetch(`${target}/?comando=nocors`, { mode: 'no-cors' }).then(() => 'sent', () => 'failed');
      const form = await new Promise((resolve) => {
        const sink = document.querySelector('iframe');
        sink.onload = () => resolve('posted');
        const f = document.createElement('form');
        f.method = 'POST';
        f.action = `${target}/?comando=form`;
        f.target = 'sink';
        document.body.appendChild(f);
        f.submit();
      });
      const json = await fetch(`${target}/?comando=json`, {
        method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"a":1}',
      }).then((r) => `status ${r.status}`, () => 'refused');
      return { image, noCors, form, json };
    }, base);
    check(outcomes.json === 'refused', `another site's JSON POST is refused by the browser (${outcomes.json})`);
    await page.goto(`${allowed.origin}/`);
    const answer = await page.evaluate(async (target) => {
      const r = await fetch(`${target}/?comando=allowed`, {
        method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"a":1}',
      });
      return r.json();
    }, base);
    check(answer.comando === 'allowed' && answer.status === true, `the allowed site reads the answer (${JSON.stringify(answer)})`);
    for (let i = 0; i < 50 && !commands.some((c) => c.includes('allowed')); i++)
      await new Promise((resolve) => setTimeout(resolve, 100));
    const fromSites = commands.filter((c) => /image|nocors|form|json|allowed/.test(c));
    check(fromSites.length === 1 && fromSites[0].includes('"comando":"allowed"'),
          `only the allowed site's command reached the page (${JSON.stringify(fromSites)})`);
    await page.close();
  }
} catch (error) {
  console.log(`FAIL: ${error.stack}`);
  failures++;
} finally {
  clearTimeout(timer);
  await browser.close();
  server.kill();
  other.site.close();
  allowed.site.close();
  rmSync(work, { recursive: true, force: true });
}
console.log(failures ? `${failures} failed` : 'all passed');
process.exit(failures ? 1 : 0);
