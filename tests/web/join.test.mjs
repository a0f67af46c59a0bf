// `velmir-net join --web` in a real browser: a headless simulator with the
// plugin, join beside it, fake pilots near and far, all in a network
// namespace of its own (the plugin's port 7472 is fixed). Run by ctest:
//   scripts/netns-run node tests/web/join.test.mjs VELMIR_NET VELMIR_SIM OUTPUT_FOLDER
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import { Lab, freePort, listening, requireBrowser, shown as shownOn, waitFor } from './harness.mjs';

const playwright = requireBrowser();
const [net, sim, out] = process.argv.slice(2);
if (!net || !sim || !out) {
  console.log('usage: join.test.mjs VELMIR_NET VELMIR_SIM OUTPUT_FOLDER');
  process.exit(2);
}
const lab = new Lab(out);
let page;
const shown = () => shownOn(page);

before(async () => {
  const broker = await lab.broker();
  const root = path.join(out, 'join-root');
  fs.mkdirSync(root, { recursive: true });
  // The user aircraft circles 2 km around 47.0 8.0.
  lab.start(sim, ['--root', root, '--quiet', '--fps', '30', '--seconds', '200'], 'sim.log');
  const webPort = await freePort();
  lab.start(net, ['join', '--broker', broker, '--callsign', 'OWN1', '--root', root, '--json',
    '--web', '127.0.0.1:' + webPort, '--seconds', '200'], 'join.log');
  await waitFor('the page', () => listening(webPort), 10000);
  const command = lab.pilots(broker);
  await command({ pilot: { callsign: 'NEAR1', lat: 47.05, lon: 8.05, heading: 120, alt_m: 1500 } });
  await command({ pilot: { callsign: 'NEAR2', lat: 46.95, lon: 7.9, heading: 300, alt_m: 900 } });
  await command({ pilot: { callsign: 'FAR1', lat: 40.5, lon: 0.5, heading: 10, alt_m: 9000 } });
  page = await lab.browser(playwright);
  await page.goto('http://127.0.0.1:' + webPort + '/');
});

after(() => lab.close());

test('join --web shows the own aircraft followed, the pilots it hears in their slots, and its links',
  { timeout: 90000 }, async () => {
    const pilots = await waitFor('the own aircraft and both near pilots in slots', async () => {
      const s = await shown();
      const slotted = s.filter((p) => typeof p.data.slot === 'number').length;
      return s.some((p) => p.data.own) && slotted === 2 ? s : null;
    }, 30000);
    assert.deepEqual(pilots.map((p) => p.callsign).sort(), ['NEAR1', 'NEAR2', 'OWN1']);
    const own = pilots.find((p) => p.data.own);
    assert.equal(own.callsign, 'OWN1');
    assert.ok(Math.abs(own.lat - 47.0) < 0.05 && Math.abs(own.lng - 8.0) < 0.05, 'own at ' + own.lat + ' ' + own.lng);
    assert.equal(own.data.slot, null);
    const slots = pilots.filter((p) => !p.data.own).map((p) => p.data.slot);
    assert.ok(slots.every((s) => s >= 1 && s <= 40) && slots[0] !== slots[1], 'slots ' + slots);

    assert.equal(await page.evaluate(() => window.velmirMap.followed()), 'OWN1');
    // Followed: the own aircraft stays within the page's slack of the centre.
    const offset = await page.evaluate(() => {
      const m = window.velmirMap.map;
      const own = window.velmirMap.pilots().find((p) => p.data.own);
      return m.latLngToContainerPoint([own.lat, own.lng]).distanceTo(m.getSize().divideBy(2));
    });
    assert.ok(offset <= 60, 'own aircraft ' + offset + ' px from the centre');

    await waitFor('the station panel', () => page.isVisible('#station'), 5000);
    // One evaluation: $$eval queries and reads in two round trips, and the page
    // rebuilds the panel with every status, detaching what was queried.
    const fields = await page.evaluate(() => Object.fromEntries(
      [...document.querySelectorAll('#station-fields dt')].map((dt) => [dt.textContent, dt.nextElementSibling.textContent])));
    assert.equal(fields['Callsign'], 'OWN1');
    assert.match(fields['Broker'], /^up 127\.0\.0\.1:\d+$/);
    assert.equal(fields['Plugin'], 'answering');
    assert.equal(fields['Slots used'], '2');
    assert.ok(Number(fields['Published']) > 0 && Number(fields['Forwarded']) > 0);
    const heard = await page.evaluate(() =>
      [...document.querySelectorAll('#heard tbody tr')].map((r) => [...r.cells].map((c) => c.textContent)));
    assert.deepEqual(heard.map((r) => r[0]).sort(), ['NEAR1', 'NEAR2']);
    assert.ok(heard.every((r) => /^\d+$/.test(r[1])), 'slots in the table: ' + JSON.stringify(heard));
    await page.screenshot({ path: path.join(out, 'join.png') });
  });
