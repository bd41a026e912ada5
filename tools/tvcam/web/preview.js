// tvcam preview: builds the property controls from /api/props, applies each
// change at once and shows the value the driver reads back, switches the
// stream's format and keeps the statistics up to date.
'use strict';

// Properties that are commands: a button sets them to 1.
const COMMANDS = new Set(['one_push', 'one_push_focus', 'software_trigger', 'auto_centre']);
// Enumerations with names for their values.
const ENUMS = {
  power_line_frequency: { 0: 'Disabled', 1: '50 Hz', 2: '60 Hz', 3: 'Auto' },
};
const STATS_PERIOD_MS = 500;
const PROPS_PERIOD_MS = 2000;

const $ = (id) => document.getElementById(id);

async function api(method, path, body) {
  const init = { method, headers: {} };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  let answer = null;
  try { answer = await res.json(); } catch (e) { answer = { error: res.statusText }; }
  return { ok: res.ok, status: res.status, answer };
}

function failureText(answer) {
  if (!answer) return 'no answer';
  return answer.error + (answer.status && !answer.error.includes(answer.status) ? ' (' + answer.status + ')' : '');
}

// ---- properties ----

const rows = new Map();  // name -> {prop, input, auto, readback, status, kind, busy, pending}

function kindOf(p) {
  if (!p.access.includes('set')) return 'readonly';
  if (COMMANDS.has(p.name)) return 'button';
  if (ENUMS[p.name] && p.min !== null) return 'select';
  if (p.min === null) return 'number';
  if (p.min === 0 && p.max === 1) return 'checkbox';
  return 'slider';
}

function makeRow(p) {
  const kind = kindOf(p);
  const row = document.createElement('div');
  row.className = 'prop';
  row.dataset.prop = p.name;
  row.dataset.kind = kind;
  const name = document.createElement('span');
  name.className = 'name';
  name.textContent = p.name;
  name.title = p.set + ':' + p.id + (p.min !== null ? '  range ' + p.min + '..' + p.max + ' step ' + p.step + ' default ' + p.default : '');
  let input = null;
  if (kind === 'slider') {
    input = document.createElement('input');
    input.type = 'range';
    input.min = p.min; input.max = p.max; input.step = Math.max(1, p.step); input.value = p.value;
    input.title = 'default ' + p.default;
  } else if (kind === 'checkbox') {
    input = document.createElement('input');
    input.type = 'checkbox';
    input.checked = p.value !== 0;
  } else if (kind === 'select') {
    input = document.createElement('select');
    for (let v = p.min; v <= p.max; v += Math.max(1, p.step)) {
      const o = document.createElement('option');
      o.value = v;
      o.textContent = ENUMS[p.name][v] !== undefined ? ENUMS[p.name][v] : String(v);
      input.appendChild(o);
    }
    input.value = p.value;
  } else if (kind === 'number') {
    input = document.createElement('input');
    input.type = 'number';
    input.value = p.value;
  } else if (kind === 'button') {
    input = document.createElement('button');
    input.type = 'button';
    input.textContent = 'Run';
  } else {
    input = document.createElement('span');
  }
  input.classList.add('control');
  const cell = document.createElement('span');
  cell.appendChild(input);
  const auto = document.createElement('input');
  auto.type = 'checkbox';
  auto.className = 'auto';
  const autoLabel = document.createElement('label');
  if (p.capabilities.includes('auto') && kind !== 'readonly') {
    auto.checked = p.flags.includes('auto');
    autoLabel.append(auto, ' auto');
  }
  const readback = document.createElement('span');
  readback.className = 'readback';
  const status = document.createElement('span');
  status.className = 'status';
  row.append(name, cell, readback, autoLabel, status);
  const r = { prop: p, input, auto, readback, status, kind, busy: false, pending: null };
  rows.set(p.name, r);
  show(r, p);

  if (kind === 'slider' || kind === 'number') {
    input.addEventListener('input', () => request(r, Number(input.value)));
    input.addEventListener('change', () => request(r, Number(input.value)));
  } else if (kind === 'checkbox') {
    input.addEventListener('change', () => request(r, input.checked ? 1 : 0));
  } else if (kind === 'select') {
    input.addEventListener('change', () => request(r, Number(input.value)));
  } else if (kind === 'button') {
    input.addEventListener('click', () => request(r, 1));
  }
  auto.addEventListener('change', () => request(r, auto.checked ? 'auto' : Number(r.prop.value)));
  return row;
}

// Shows a property as the driver reported it.
function show(r, p) {
  r.prop = p;
  r.readback.textContent = String(p.value);
  const isAuto = p.flags.includes('auto');
  r.auto.checked = isAuto;
  const editing = document.activeElement === r.input && r.busy;
  if (!editing) {
    if (r.kind === 'slider' || r.kind === 'number' || r.kind === 'select') r.input.value = p.value;
    if (r.kind === 'checkbox') r.input.checked = p.value !== 0;
    if (r.kind === 'readonly') r.input.textContent = '';
  }
}

let changes = 0;  // requests started, so that a refresh older than a change is not shown

// Sends the newest wish; one request per property at a time.
async function request(r, value) {
  r.changedAt = ++changes;
  r.pending = value;
  if (r.busy) return;
  r.busy = true;
  while (r.pending !== null) {
    const v = r.pending;
    r.pending = null;
    const { ok, answer } = await api('PUT', '/api/props/' + encodeURIComponent(r.prop.name), { value: v });
    if (ok) {
      r.status.textContent = '';
      show(r, answer);
    } else {
      r.status.textContent = 'refused: ' + failureText(answer);
      if (answer && answer.property) show(r, answer.property);
    }
  }
  r.busy = false;
  // Properties move together (a white balance switched to manual takes its
  // gains along): show the others as the driver now has them.
  loadProperties();
}

async function loadProperties() {
  const asked = changes;
  const { ok, answer } = await api('GET', '/api/props');
  if (!ok) return;
  const list = $('property-list');
  if (rows.size === 0) {
    for (const p of answer) list.appendChild(makeRow(p));
  } else {
    for (const p of answer) {
      const r = rows.get(p.name);
      if (r && !r.busy && !(r.changedAt > asked)) show(r, p);
    }
  }
}

async function loadSets() {
  const { ok, answer } = await api('GET', '/api/sets');
  if (!ok || answer.sets.length === 0) return;
  const select = $('set-select');
  select.innerHTML = '';
  for (const s of answer.sets) {
    const o = document.createElement('option');
    o.value = s.index;
    o.textContent = s.name;
    select.appendChild(o);
  }
  select.value = answer.selected;
  $('named-sets').hidden = false;
  select.addEventListener('change', async () => {
    const res = await api('PUT', '/api/sets', { select: Number(select.value) });
    $('set-status').textContent = res.ok ? '' : failureText(res.answer);
  });
  $('set-load').addEventListener('click', async () => {
    const res = await api('PUT', '/api/sets', { load: true });
    $('set-status').textContent = res.ok ? '' : failureText(res.answer);
    loadProperties();
  });
}

// ---- formats ----

let formats = [];

function fillSelect(select, values, current) {
  select.innerHTML = '';
  for (const v of values) {
    const o = document.createElement('option');
    o.value = v;
    o.textContent = v;
    select.appendChild(o);
  }
  if (current !== undefined && values.includes(current)) select.value = current;
}

function sizeText(f) { return f.width + 'x' + f.height; }
function fpsText(x) { return String(Math.round(x * 100) / 100); }

function chosenFormat() {
  return formats.find((f) => f.format === $('format-select').value && sizeText(f) === $('size-select').value);
}

function refreshSizes(size) {
  const names = formats.filter((f) => f.format === $('format-select').value).map(sizeText);
  fillSelect($('size-select'), [...new Set(names)], size);
  refreshRates();
}

function refreshRates(fps) {
  const f = chosenFormat();
  if (!f) return;
  fillSelect($('fps-select'), f.fps_range ? [fpsText(f.default_fps)] : f.fps.map(fpsText), fps || fpsText(f.default_fps));
}

async function loadFormats() {
  const { ok, answer } = await api('GET', '/api/formats');
  if (!ok) return;
  formats = answer.formats;
  const current = formats[answer.current.index];
  fillSelect($('format-select'), [...new Set(formats.map((f) => f.format))], current.format);
  refreshSizes(sizeText(current));
  refreshRates(fpsText(answer.current.fps));
}

async function applyFormat() {
  const f = chosenFormat();
  if (!f) return;
  $('format-status').textContent = 'restarting…';
  const res = await api('PUT', '/api/formats', { index: f.index, fps: Number($('fps-select').value) });
  $('format-status').textContent = res.ok ? '' : failureText(res.answer);
  // A new connection, so the picture's size follows the format at once.
  $('video').src = '/stream.mjpg?' + Date.now();
}

// ---- statistics ----

async function loadStats() {
  const { ok, answer: s } = await api('GET', '/api/stats');
  if (!ok) return;
  $('camera-name').textContent = s.device + ' (' + s.camera + ')';
  $('stat-format').textContent = s.format.format + ' ' + s.format.width + 'x' + s.format.height + ' at ' +
    fpsText(s.format.fps) + ' fps' + (s.streaming ? '' : ' (stopped)');
  $('stat-delivered').textContent = s.delivered;
  $('stat-dropped').textContent = s.dropped;
  $('stat-fps').textContent = s.measured_fps > 0 ? fpsText(s.measured_fps) + ' fps' : '-';
  $('stat-display').textContent = s.displayed + ' / ' + s.display_skipped;
  const faults = Object.entries(s.faults_sent).map(([k, v]) => k + ' ' + v);
  $('stat-faults').textContent = faults.length ? faults.join(', ') : 'none';
  const error = s.error || s.display_error;
  $('stat-error-row').hidden = !error;
  $('stat-error').textContent = error ? error + (s.restarts ? ' (restarted ' + s.restarts + ' times)' : '') : '';
  const l = s.loops;
  $('loops').hidden = !l;
  $('loops-none').hidden = !!l;
  if (l) {
    $('loop-brightness').textContent = l.brightness;
    $('loop-exposure').textContent = l.exposure;
    $('loop-gain').textContent = (l.gain / 64).toFixed(2) + ' (' + l.gain + ')';
    $('loop-wb').textContent = l.white_balance.map((g) => (g / 64).toFixed(2)).join(' / ');
    $('loop-temperature').textContent = l.temperature + ' K';
  }
}

async function start() {
  $('format-select').addEventListener('change', () => refreshSizes());
  $('size-select').addEventListener('change', () => refreshRates());
  $('format-apply').addEventListener('click', applyFormat);
  await Promise.all([loadFormats(), loadProperties(), loadSets(), loadStats()]);
  document.body.dataset.ready = 'true';
  setInterval(loadStats, STATS_PERIOD_MS);
  setInterval(loadProperties, PROPS_PERIOD_MS);
}

start();
