// What the browser tests share: processes on loopback, waiting, the fake
// pilots (publish.py) and headless chromium that reaches nothing else.
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

export const here = path.dirname(fileURLToPath(import.meta.url));
export const source = path.resolve(here, '../..');
const CHROMIUM = '/usr/bin/chromium';

// Exits 77 (ctest: skipped) when the browser or its driver is missing.
export function requireBrowser() {
  let playwright;
  try {
    playwright = createRequire(path.join(source, 'net/web/page/package.json'))('playwright-core');
  } catch {
    console.log('skipped: playwright-core is not installed (scripts/setup runs npm ci in net/web/page)');
    process.exit(77);
  }
  if (!fs.existsSync(CHROMIUM)) {
    console.log('skipped: ' + CHROMIUM + ' is missing (apt-get install chromium)');
    process.exit(77);
  }
  return playwright;
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
    s.on('error', reject);
  });
}

export async function waitFor(what, predicate, timeoutMs) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 100));
  }
}

export function listening(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1', () => { s.end(); resolve(true); });
    s.on('error', () => resolve(false));
  });
}

export class Lab {
  constructor(out) {
    this.out = out;
    this.children = [];
    fs.mkdirSync(out, { recursive: true });
  }

  start(command, args, log) {
    const child = spawn(command, args, { stdio: ['pipe', 'pipe', 'pipe'] });
    const file = fs.createWriteStream(path.join(this.out, log));
    child.stdout.pipe(file);
    child.stderr.pipe(file);
    this.children.push(child);
    return child;
  }

  async broker() {
    const port = await freePort();
    const config = fs.readFileSync(path.join(source, 'config/broker/local.conf'), 'utf8')
      .replace(/^listener .*$/m, 'listener ' + port + ' 127.0.0.1');
    fs.writeFileSync(path.join(this.out, 'broker.conf'), config);
    this.start('/usr/sbin/mosquitto', ['-c', path.join(this.out, 'broker.conf')], 'broker.log');
    await waitFor('the broker', () => listening(port), 10000);
    return '127.0.0.1:' + port;
  }

  // The fake pilots; command() resolves when they took the command.
  pilots(broker) {
    const child = this.start('python3', [path.join(here, 'publish.py'), broker], 'pilots.log');
    child.stdout.unpipe();
    const acks = [];
    readline.createInterface({ input: child.stdout }).on('line', () => acks.shift()?.());
    return (object) => {
      child.stdin.write(JSON.stringify(object) + '\n');
      return new Promise((resolve) => acks.push(resolve));
    };
  }

  async browser(playwright) {
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velmir-map-chromium-'));
    this.context = await playwright.chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM,
      headless: true,
      viewport: { width: 1200, height: 800 },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    // Nothing leaves this machine: the tile server's requests fail, as they
    // do offline, and the page must fall back to its own base map.
    await this.context.route('**/*', (route) => {
      const url = new URL(route.request().url());
      return url.hostname === '127.0.0.1' ? route.continue() : route.abort();
    });
    const page = this.context.pages()[0] || await this.context.newPage();
    page.on('dialog', (d) => { page.dialogSeen = d.message(); d.dismiss(); });
    return page;
  }

  async close() {
    await this.context?.close();
    for (const child of this.children.reverse()) child.kill('SIGTERM');
  }
}

// What the page shows of each pilot, read back from its Leaflet markers.
export function shown(page) {
  return page.evaluate(() => window.velmirMap.pilots().map((p) => ({
    callsign: p.callsign, lat: p.lat, lng: p.lng, rotation: p.rotation,
    transform: p.element.querySelector('svg').style.transform, label: p.element.textContent,
    data: p.data,
  })));
}
