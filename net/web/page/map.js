// The map page of velmir-net: every pilot from /api/events on a Leaflet map.
// Everything in the data comes from strangers: it is only ever set as text
// (textContent), never as markup.
'use strict';
(function () {
  const TRAIL_POINTS = 30;
  const EXTRAPOLATE_MAX_MS = 10000; // past this a pilot is drawn where last heard
  const CORRECT_MS = 1000; // a new sample's jump is smoothed over this
  const KT_TO_MS = 0.514444;
  const FOLLOW_SLACK_PX = 40;
  const MAX_LABELS = 300; // more pilots in view: no labels, no trails (crowding())
  const MOVE_MIN_PX = 0.5; // a marker is moved only when it moved this far on screen
  const SVG_NS = 'http://www.w3.org/2000/svg';
  const PLANE = 'M14 1 L16 10 L26 15 L26 17 L16 15 L15.5 22 L19 25 L19 26.5 L14 25.5 ' +
                'L9 26.5 L9 25 L12.5 22 L12 15 L2 17 L2 15 L12 10 Z';

  const map = L.map('map', { worldCopyJump: true, minZoom: 2 }).setView([30, 0], 3);
  // The offline base map lies beneath the tiles: it shows wherever they fail.
  map.createPane('base').style.zIndex = 150;
  L.tileLayer('https://tile.openstreetmap.org/{z}/{x}/{y}.png', {
    maxZoom: 19,
    attribution: '&copy; OpenStreetMap contributors',
  }).addTo(map);
  const state = { baseReady: false, kind: null, status: null, count: 0, events: 0 };
  // Drawn on a canvas: as SVG, the coastlines make every zoom slow.
  const baseRenderer = L.canvas({ pane: 'base', padding: 0.2 });
  fetch('lib/countries-110m.json').then((r) => r.json()).then((world) => {
    L.geoJSON(topojson.feature(world, world.objects.land), {
      pane: 'base', renderer: baseRenderer, interactive: false,
      style: { stroke: false, fillColor: '#efe9dc', fillOpacity: 1 },
    }).addTo(map);
    L.geoJSON(topojson.mesh(world, world.objects.countries, (a, b) => a !== b), {
      pane: 'base', renderer: baseRenderer, interactive: false, style: { color: '#b59', weight: 0.8, opacity: 0.6 },
    }).addTo(map);
    state.baseReady = true;
  });

  const pilots = new Map(); // callsign -> entry
  let chosen = null; // callsign whose details are open
  let followed = null;
  let crowded = false;

  function $(id) { return document.getElementById(id); }

  // Ground: grey; then green through blue to violet up to FL400.
  function altitudeColour(p) {
    if (p.on_ground) return '#888';
    const f = Math.max(0, Math.min(1, p.alt_ft / 40000));
    return 'hsl(' + Math.round(120 + f * 160) + ', 80%, 45%)';
  }
  function modelType(model) {
    if (!model) return '';
    const file = model.split(/[\\/]/).pop();
    return file.replace(/\.acf$/i, '');
  }
  function flightLevel(ft) { return 'FL' + String(Math.max(0, Math.round(ft / 100))).padStart(3, '0'); }
  function direction(p) { return p.track_deg === null ? p.heading_deg : p.track_deg; }

  function makeSymbol() {
    const root = document.createElement('div');
    root.className = 'ac';
    const svg = document.createElementNS(SVG_NS, 'svg');
    svg.setAttribute('viewBox', '0 0 28 28');
    const path = document.createElementNS(SVG_NS, 'path');
    path.setAttribute('d', PLANE);
    svg.appendChild(path);
    const label = document.createElement('div');
    label.className = 'label';
    root.appendChild(svg);
    root.appendChild(label);
    return { root, svg, path, label };
  }

  function labelText(p) {
    const type = modelType(p.model);
    const slot = typeof p.slot === 'number' ? ' slot ' + p.slot : '';
    return p.callsign + (type ? ' ' + type : '') + '\n' +
      (p.on_ground ? 'GND' : flightLevel(p.alt_ft)) + ' ' + Math.round(p.gs_kt) + ' kt' + slot;
  }

  function upsert(p, now) {
    let e = pilots.get(p.callsign);
    if (!e) {
      const symbol = makeSymbol();
      const marker = L.marker([p.lat, p.lon], {
        icon: L.divIcon({ html: symbol.root, className: 'ac-icon', iconSize: [28, 28], iconAnchor: [14, 14] }),
        keyboard: false,
      });
      const trail = L.polyline([], { color: '#334', weight: 1.5, opacity: 0.6, interactive: false });
      e = { symbol, marker, trail, shown: null, seq: null, onMap: false };
      marker.on('click', () => choose(p.callsign));
      pilots.set(p.callsign, e);
    }
    const before = e.shown;
    e.data = p;
    // The sample was taken age_ms before this arrived.
    e.at = now - p.age_ms;
    e.correction = null;
    if (before) {
      const predicted = predict(e, now);
      e.correction = { lat: before.lat - predicted.lat, lng: before.lng - predicted.lng, at: now };
    }
    if (e.seq !== p.seq) {
      e.trail.addLatLng([p.lat, p.lon]);
      const points = e.trail.getLatLngs();
      if (points.length > TRAIL_POINTS) e.trail.setLatLngs(points.slice(-TRAIL_POINTS));
      e.seq = p.seq;
    }
    if (e.rotation !== p.heading_deg) {
      e.symbol.svg.style.transform = 'rotate(' + p.heading_deg + 'deg)';
      e.rotation = p.heading_deg;
    }
    e.symbol.path.setAttribute('fill', altitudeColour(p));
    e.symbol.label.textContent = labelText(p);
    e.symbol.root.classList.toggle('own', p.own === true);
    if (chosen === p.callsign) showDetails();
  }

  function remove(callsign) {
    const e = pilots.get(callsign);
    if (!e) return;
    map.removeLayer(e.marker);
    map.removeLayer(e.trail);
    e.symbol.root.remove();
    pilots.delete(callsign);
    if (chosen === callsign) choose(null);
    if (followed === callsign) followed = null;
  }

  // Where a pilot is now, from its last sample, speed and direction.
  function predict(e, now) {
    const p = e.data;
    const dt = Math.min(Math.max(0, now - e.at), EXTRAPOLATE_MAX_MS) / 1000;
    const metres = p.gs_kt * KT_TO_MS * dt;
    const rad = direction(p) * Math.PI / 180;
    const north = metres * Math.cos(rad), east = metres * Math.sin(rad);
    const lat = p.lat + north / 111320;
    const lng = p.lon + east / (111320 * Math.max(0.01, Math.cos(p.lat * Math.PI / 180)));
    return { lat, lng };
  }

  function frame() {
    const now = performance.now();
    // Only markers in (or near) the view are on the map: Leaflet would keep
    // every other one in the page, and each costs the browser to draw.
    const view = map.getBounds().pad(0.2);
    for (const e of pilots.values()) {
      const pos = predict(e, now);
      if (e.correction) {
        const left = 1 - (now - e.correction.at) / CORRECT_MS;
        if (left > 0) {
          pos.lat += e.correction.lat * left;
          pos.lng += e.correction.lng * left;
        } else {
          e.correction = null;
        }
      }
      e.shown = pos;
      const visible = view.contains(pos) || e.data.callsign === chosen;
      if (visible !== e.onMap) {
        if (visible) {
          e.marker.addTo(map);
          if (!crowded) e.trail.addTo(map);
        } else {
          map.removeLayer(e.marker);
          map.removeLayer(e.trail);
        }
        e.onMap = visible;
        e.drawnAt = null;
      }
      if (!visible) continue;
      // Thousands of markers in a world view barely move a pixel a second:
      // touching each one every frame would cost more than drawing them.
      const at = map.latLngToLayerPoint(pos);
      if (!e.drawnAt || Math.abs(at.x - e.drawnAt.x) >= MOVE_MIN_PX || Math.abs(at.y - e.drawnAt.y) >= MOVE_MIN_PX) {
        e.marker.setLatLng(pos);
        e.drawnAt = at;
      }
    }
    // Following: recentre when the pilot has drifted a little, not every
    // frame, which would redraw the base map sixty times a second.
    if (followed && pilots.has(followed)) {
      const at = map.latLngToContainerPoint(pilots.get(followed).shown);
      if (at.distanceTo(map.getSize().divideBy(2)) > FOLLOW_SLACK_PX) {
        map.panTo(pilots.get(followed).shown, { animate: false });
      }
    }
    requestAnimationFrame(frame);
  }

  function field(list, name, value) {
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    dd.textContent = value === null || value === undefined || value === '' ? '–' : String(value);
    list.append(dt, dd);
  }

  function showDetails() {
    const e = pilots.get(chosen);
    if (!e) return;
    const p = e.data;
    $('details-callsign').textContent = p.callsign;
    const list = $('details-fields');
    list.replaceChildren();
    field(list, 'Name', p.name);
    field(list, 'Tail number', p.tail);
    field(list, 'Model', p.model);
    field(list, 'Position', p.lat.toFixed(5) + ', ' + p.lon.toFixed(5));
    field(list, 'Altitude', Math.round(p.alt_ft) + ' ft' + (p.on_ground ? ' (ground)' : ''));
    field(list, 'Ground speed', Math.round(p.gs_kt) + ' kt');
    field(list, 'Vertical speed', Math.round(p.vs_fpm) + ' ft/min');
    field(list, 'Heading', Math.round(p.heading_deg) + '°');
    field(list, 'Last heard', (p.age_ms / 1000).toFixed(1) + ' s ago');
    field(list, 'Origin', p.origin);
    if ('slot' in p) field(list, 'Slot', p.own ? 'own aircraft' : p.slot === null ? 'no slot' : p.slot);
    $('follow').textContent = followed === chosen ? 'Stop following' : 'Follow';
  }

  function choose(callsign) {
    if (chosen && pilots.has(chosen)) pilots.get(chosen).symbol.root.classList.remove('chosen');
    chosen = callsign;
    $('details').hidden = !callsign;
    if (!callsign) return;
    pilots.get(callsign).symbol.root.classList.add('chosen');
    showDetails();
  }

  function showStation() {
    const s = state.status;
    if (state.kind !== 'join' || !s) return;
    $('station').hidden = false;
    const list = $('station-fields');
    list.replaceChildren();
    field(list, 'Callsign', s.callsign);
    field(list, 'Broker', (s.broker.connected ? 'up ' : 'DOWN ') + s.broker.address);
    field(list, 'Plugin', s.plugin ? 'answering' : 'SILENT');
    const c = s.counters;
    field(list, 'Slots used', c.slots_used);
    field(list, 'Published', c.published);
    field(list, 'Received', c.received);
    field(list, 'Dropped', c.dropped);
    field(list, 'Forwarded', c.forwarded);
    const rows = [];
    for (const e of pilots.values()) {
      const p = e.data;
      if (p.own) continue;
      const tr = document.createElement('tr');
      for (const v of [p.callsign, p.slot === null ? '–' : p.slot, Math.round(p.alt_ft), (p.age_ms / 1000).toFixed(1)]) {
        const td = document.createElement('td');
        td.textContent = String(v);
        tr.appendChild(td);
      }
      rows.push(tr);
    }
    document.querySelector('#heard tbody').replaceChildren(...rows);
  }

  // Many pilots in view: symbols only. Labels would cover the map, and
  // thousands of trails redrawn with every sample stall the browser.
  function crowding() {
    const bounds = map.getBounds();
    let inView = 0;
    for (const e of pilots.values()) if (e.shown && bounds.contains(e.shown)) inView++;
    const now = inView > MAX_LABELS;
    if (now === crowded) return;
    crowded = now;
    map.getContainer().classList.toggle('crowded', crowded);
    for (const e of pilots.values()) {
      if (crowded) map.removeLayer(e.trail);
      else if (e.onMap) e.trail.addTo(map);
    }
  }
  // Layer points change with every zoom and pan: markers must be placed anew.
  map.on('zoomend viewreset moveend', () => {
    for (const e of pilots.values()) e.drawnAt = null;
    crowding();
  });

  function applyCommon(doc) {
    state.events++;
    crowding();
    state.status = doc.status;
    state.count = doc.count;
    $('online').textContent = doc.count + ' online';
    const link = $('link');
    const up = doc.status && doc.status.broker && doc.status.broker.connected;
    link.textContent = up ? 'broker ' + doc.status.broker.address : 'broker down';
    link.classList.toggle('down', !up);
    if (doc.kind !== state.kind) {
      state.kind = doc.kind;
      if (doc.kind === 'join') {
        $('title').textContent = 'Velmir: ' + doc.status.callsign;
        followed = doc.status.callsign; // the own aircraft, centred
        map.setZoom(9);
      }
    }
  }

  const events = new EventSource('api/events');
  events.addEventListener('snapshot', (m) => {
    const doc = JSON.parse(m.data);
    const now = performance.now();
    const present = new Set(doc.pilots.map((p) => p.callsign));
    for (const callsign of [...pilots.keys()]) if (!present.has(callsign)) remove(callsign);
    for (const p of doc.pilots) upsert(p, now);
    applyCommon(doc);
    showStation();
  });
  events.addEventListener('update', (m) => {
    const doc = JSON.parse(m.data);
    const now = performance.now();
    for (const callsign of doc.remove) remove(callsign);
    for (const p of doc.upsert) upsert(p, now);
    applyCommon(doc);
    showStation();
  });
  events.onerror = () => {
    $('link').textContent = 'map server lost, retrying';
    $('link').classList.add('down');
  };

  function find(text) {
    const wanted = text.trim().toUpperCase();
    if (!wanted) return null;
    if (pilots.has(wanted)) return wanted;
    for (const callsign of [...pilots.keys()].sort()) if (callsign.startsWith(wanted)) return callsign;
    return null;
  }
  $('search').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const callsign = find($('search-text').value);
    $('search-result').textContent = callsign ? '' : 'not online';
    if (!callsign) return;
    if (followed && followed !== callsign) followed = null;
    map.setView(pilots.get(callsign).shown || [pilots.get(callsign).data.lat, pilots.get(callsign).data.lon],
      Math.max(map.getZoom(), 8), { animate: false });
    choose(callsign);
  });
  $('details-close').addEventListener('click', () => choose(null));
  $('follow').addEventListener('click', () => {
    followed = followed === chosen ? null : chosen;
    showDetails();
  });
  map.on('dragstart', () => { followed = null; if (chosen) showDetails(); });

  // For the browser tests and anyone scripting the page.
  window.velmirMap = {
    map, state,
    pilots() {
      return [...pilots.values()].map((e) => ({
        callsign: e.data.callsign, lat: e.marker.getLatLng().lat, lng: e.marker.getLatLng().lng,
        rotation: e.rotation, data: e.data, element: e.symbol.root, shown: e.shown,
      }));
    },
    followed() { return followed; },
    chosen() { return chosen; },
  };
  requestAnimationFrame(frame);
}());
