// The map page in a real browser: Debian's chromium, driven headless by
// playwright-core, against mosquitto, fake pilots (publish.py) and
// `velmir-net map`, all on loopback. Run by ctest (label web):
//   node tests/web/map.test.mjs VELMIR_NET_BINARY OUTPUT_FOLDER
// Exits 77 (skipped) when chromium or the page's node modules are missing.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';

import { Lab, freePort, listening, requireBrowser, shown as shownOn, waitFor } from './harness.mjs';

const playwright = requireBrowser();
const [binary, out] = process.argv.slice(2);
if (!binary || !out) {
  console.log('usage: map.test.mjs VELMIR_NET_BINARY OUTPUT_FOLDER');
  process.exit(2);
}
const lab = new Lab(out);
let page, command;
const shown = () => shownOn(page);
// The open details as {name: value}; read in one go in the page.
const detailFields = () => page.evaluate(() => {
  const list = document.getElementById('details-fields');
  const names = [...list.querySelectorAll('dt')].map((e) => e.textContent);
  const values = [...list.querySelectorAll('dd')].map((e) => e.textContent);
  if (names.length !== values.length) throw new Error('details half drawn: ' + list.outerHTML);
  return Object.fromEntries(names.map((n, i) => [n, values[i]]));
});
const screenshot = (name) => page.screenshot({ path: path.join(out, name + '.png') });

before(async () => {
  const broker = await lab.broker();
  const mapPort = await freePort();
  lab.start(binary, ['map', '--broker', broker, '--listen', '127.0.0.1:' + mapPort, '--seconds', '240'],
    'map.log');
  await waitFor('the map', () => listening(mapPort), 10000);
  command = lab.pilots(broker);
  page = await lab.browser(playwright);
  await page.goto('http://127.0.0.1:' + mapPort + '/');
  await waitFor('the base map', () => page.evaluate(() => window.velmirMap.state.baseReady), 20000);
});

after(() => lab.close());

const WORLD = [
  { callsign: 'ZRH1', lat: 47.4582, lon: 8.5555, heading: 0, alt_m: 3048 },
  { callsign: 'SYD2', lat: -33.9461, lon: 151.1772, heading: 90, alt_m: 10668 },
  { callsign: 'GIG3', lat: -22.81, lon: -43.2506, heading: 225.5, alt_m: 1500 },
  { callsign: 'ANC4', lat: 61.1744, lon: -149.9964, heading: 315, alt_m: 6000 },
  { callsign: 'NRT5', lat: 35.772, lon: 140.3929, heading: 180, alt_m: 0 },
];

test('the page shows exactly the pilots published, each where it is, turned to its heading',
  { timeout: 60000 }, async () => {
    for (const p of WORLD) await command({ pilot: p });
    const pilots = await waitFor('five pilots', async () => {
      const s = await shown();
      return s.length === WORLD.length ? s : null;
    }, 10000);
    assert.deepEqual(pilots.map((p) => p.callsign).sort(), WORLD.map((p) => p.callsign).sort());
    for (const want of WORLD) {
      const got = pilots.find((p) => p.callsign === want.callsign);
      assert.ok(Math.abs(got.lat - want.lat) < 1e-5, want.callsign + ' latitude ' + got.lat);
      assert.ok(Math.abs(got.lng - want.lon) < 1e-5, want.callsign + ' longitude ' + got.lng);
      assert.equal(got.rotation, want.heading, want.callsign + ' heading');
      assert.equal(got.transform, 'rotate(' + want.heading + 'deg)');
      assert.match(got.label, new RegExp('^' + want.callsign + ' Cub'));
    }
    assert.equal(await page.textContent('#online'), '5 online');
    await screenshot('world');
  });

test('a click on a pilot opens its details', { timeout: 60000 }, async () => {
  await page.evaluate(() => window.velmirMap.map.setView([47.4582, 8.5555], 9, { animate: false }));
  const box = await waitFor('ZRH1 on screen', async () => {
    const where = await page.evaluate(() => {
      const p = window.velmirMap.pilots().find((q) => q.callsign === 'ZRH1');
      const r = p.element.querySelector('svg').getBoundingClientRect();
      return { x: r.x + r.width / 2, y: r.y + r.height / 2 };
    });
    return where.x > 0 ? where : null;
  }, 5000);
  await page.mouse.click(box.x, box.y);
  await waitFor('the details', () => page.isVisible('#details'), 5000);
  assert.equal(await page.textContent('#details-callsign'), 'ZRH1');
  const fields = await detailFields();
  assert.equal(fields['Tail number'], 'ZRH1');
  assert.equal(fields['Model'], 'Aircraft/Test/Cub.acf');
  assert.equal(fields['Altitude'], '10000 ft');
  assert.equal(fields['Position'], '47.45820, 8.55550');
  assert.equal(fields['Origin'], 'local');
  assert.match(fields['Last heard'], /^\d+\.\d s ago$/);
  await screenshot('details');
});

test('searching a callsign centres the map on it', { timeout: 60000 }, async () => {
  await page.fill('#search-text', 'syd2');
  await page.press('#search-text', 'Enter');
  const centre = await page.evaluate(() => window.velmirMap.map.getCenter());
  assert.ok(Math.abs(centre.lat - -33.9461) < 1e-3 && Math.abs(centre.lng - 151.1772) < 1e-3,
    'centre ' + JSON.stringify(centre));
  assert.equal(await page.textContent('#details-callsign'), 'SYD2');
  await page.fill('#search-text', 'NOPE');
  await page.press('#search-text', 'Enter');
  assert.equal(await page.textContent('#search-result'), 'not online');
  await screenshot('search');
});

test('names from the network are shown as text and run nothing', { timeout: 60000 }, async () => {
  // As long as the identity's fields allow: tail 39 bytes, name 19.
  const evil = '<img src=x onerror=window.pwned=1>';
  const name = '<b onclick=alert()>';
  await command({ pilot: { callsign: 'EVIL', lat: 46.2, lon: 6.1, heading: 30, tail: evil, name,
    model: 'Aircraft/<script>window.pwned=2</script>.acf' } });
  await waitFor('EVIL', async () => (await shown()).some((p) => p.callsign === 'EVIL'), 10000);
  await page.fill('#search-text', 'EVIL');
  await page.press('#search-text', 'Enter');
  const fields = await detailFields();
  assert.equal(fields['Tail number'], evil);
  assert.equal(fields['Name'], name);
  assert.equal(fields['Model'], 'Aircraft/<script>window.pwned=2</script>.acf');
  await new Promise((r) => setTimeout(r, 500)); // an onerror would have fired by now
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await page.evaluate(() => document.querySelectorAll('img[src="x"], #map script, #details b').length), 0);
  assert.equal(page.dialogSeen, undefined);
  await screenshot('untrusted-names');
});

test('a moving pilot glides between its samples', { timeout: 60000 }, async () => {
  // 100 m/s due east; samples once a second, the page draws in between.
  await command({ pilot: { callsign: 'MOVE', lat: 0.5, lon: 10.5, heading: 90, speed: 100 } });
  await waitFor('MOVE', async () => (await shown()).some((p) => p.callsign === 'MOVE'), 10000);
  // Close enough that 15 m (150 ms at 100 m/s) are several pixels: the page
  // moves a marker only when it moved on screen.
  const at = (await shown()).find((p) => p.callsign === 'MOVE');
  await page.evaluate(([lat, lng]) => window.velmirMap.map.setView([lat, lng + 0.003], 16, { animate: false }),
    [at.lat, at.lng]);
  const track = [];
  for (let i = 0; i < 12; i++) {
    track.push((await shown()).find((p) => p.callsign === 'MOVE').lng);
    await new Promise((r) => setTimeout(r, 150));
  }
  const steps = track.slice(1).map((v, i) => v - track[i]);
  assert.ok(steps.every((s) => s >= -1e-7), 'never jumps back: ' + steps);
  // 100 m/s is 0.000898 degrees of longitude a second at the equator: in
  // 150 ms about 0.000135. No single step may be a whole second's jump.
  assert.ok(steps.filter((s) => s > 0).length >= 8, 'moves in most frames: ' + steps);
  assert.ok(Math.max(...steps) < 0.0006, 'no jumps: ' + steps);
  await screenshot('moving');
  await command({ leave: 'MOVE' });
});

test('a pilot that leaves or falls silent is gone within 10 s', { timeout: 60000 }, async () => {
  const t0 = Date.now();
  await command({ leave: 'ANC4' });
  await command({ silence: 'NRT5' });
  await waitFor('ANC4 gone', async () => !(await shown()).some((p) => p.callsign === 'ANC4'), 10000);
  const leftAfter = Date.now() - t0;
  await waitFor('NRT5 gone', async () => !(await shown()).some((p) => p.callsign === 'NRT5'), 10500);
  const silentAfter = Date.now() - t0;
  assert.ok(leftAfter < 3000, 'a cleared identity takes at most a publish period: ' + leftAfter);
  assert.ok(silentAfter > 6000, 'silence for a few samples is no departure: ' + silentAfter);
  const rest = (await shown()).map((p) => p.callsign).sort();
  assert.deepEqual(rest, ['EVIL', 'GIG3', 'SYD2', 'ZRH1']);
  await screenshot('departed');
});

test('many pilots at once: all shown, counted, and labelled (the picture in docs/map.png)',
  { timeout: 60000 }, async () => {
    const fleet = [];
    for (let i = 0; i < 24; i++) {
      fleet.push({
        callsign: 'EU' + String(i).padStart(2, '0'),
        lat: 44 + (i % 6) * 1.7 + (i % 5) * 0.23, lon: -2 + Math.floor(i / 6) * 4.1 + (i % 4) * 0.9,
        heading: (i * 47) % 360, alt_m: (i % 8) * 1500, speed: 60 + (i % 5) * 40,
        model: ['Aircraft/Laminar Research/Cessna 172SP/Cessna_172SP.acf',
          'Aircraft/Laminar Research/Boeing 737-800/b738.acf',
          'Aircraft/Laminar Research/Cirrus SF50/SF50.acf'][i % 3],
      });
    }
    for (const p of fleet) await command({ pilot: p });
    const before = (await shown()).length;
    await waitFor('the fleet', async () => (await shown()).length === before + fleet.length, 10000);
    assert.equal(await page.textContent('#online'), before + fleet.length + ' online');
    await page.evaluate(() => window.velmirMap.map.setView([48.5, 5.5], 6, { animate: false }));
    await page.fill('#search-text', 'EU07');
    await page.press('#search-text', 'Enter');
    await page.evaluate(() => window.velmirMap.map.setView([48.5, 5.5], 6, { animate: false }));
    await new Promise((r) => setTimeout(r, 2500)); // trails grow, the base map is drawn
    await screenshot('europe');
  });
