// The tracker manager page. The server owns the state; this page shows it
// and asks for changes. Live data arrives as Server-Sent Events thinned to
// this page's frame rate and is drawn in requestAnimationFrame.
'use strict';

const TOKEN = document.querySelector('meta[name="velto-token"]').content;
const FIVE_POINTS = [[0.5, 0.5], [0.1, 0.1], [0.1, 0.9], [0.9, 0.1], [0.9, 0.9]];
const NINE_POINTS = [[0.5, 0.5], [0.1, 0.1], [0.5, 0.1], [0.9, 0.1], [0.1, 0.5], [0.9, 0.5],
                     [0.1, 0.9], [0.5, 0.9], [0.9, 0.9]];
const EYE_COLOURS = { left: '#60a5fa', right: '#f87171' };
const TRAIL_MS = 300;

const $ = (id) => document.getElementById(id);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Figures other scripts (the browser test, the benchmark) read.
const stats = window.veltoStats = { latencies: [], frames: 0, drawn: 0, fps: null };
const live = { gaze: null, trail: [], offset: 0, figures: null, status: null, drawnT: null };
let tracker = null;   // the server's /api/tracker answer

// ------------------------------------------------------------------ requests

async function api(method, path, body) {
  const options = { method, headers: { 'X-Velto-Token': TOKEN } };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  let data = null;
  try { data = await response.json(); } catch (e) { data = { error: response.statusText }; }
  if (!response.ok) {
    const error = new Error(data.error || ('HTTP ' + response.status));
    error.http = response.status;
    error.data = data;
    throw error;
  }
  return data;
}

function say(element, text, isError) {
  element.textContent = text || '';
  element.classList.toggle('error', !!isError);
}

function explain(error) {
  const data = error.data || {};
  if (data.status !== undefined && data.status !== null) {
    return 'Refused: ' + data.error + ' (status ' + data.status + ', ' + data.status_name + ')';
  }
  return (error.http === 501 ? 'Not available yet: ' : 'Refused: ') + error.message;
}

// ------------------------------------------------------------------ trackers and settings

async function loadTrackers(find) {
  const data = await api(find ? 'POST' : 'GET', find ? '/api/trackers/find' : '/api/trackers');
  const list = $('trackers');
  list.textContent = '';
  for (const t of data.trackers) {
    const item = document.createElement('li');
    item.className = t.selected ? 'selected' : '';
    item.dataset.address = t.address;
    const title = document.createElement('div');
    title.innerHTML = '<b></b> <span class="detail"></span>';
    title.firstChild.textContent = t.name;
    title.lastChild.textContent = t.model + ', serial ' + t.serial_number;
    const detail = document.createElement('div');
    detail.className = 'detail';
    detail.textContent = t.address + ' · firmware ' + t.firmware_version + ' · ' +
      (t.capabilities.length ? t.capabilities.join(', ').replace(/_/g, ' ') : 'no extra capabilities');
    item.append(title, detail);
    item.addEventListener('click', () => selectTracker(t.address));
    list.append(item);
  }
  if (!data.trackers.length) say($('message'), 'No eye tracker found. Connect one and press "Find again".', true);
  await loadTracker();
}

async function selectTracker(address) {
  try {
    await api('POST', '/api/trackers/select', { address });
    await loadTrackers(false);
    say($('message'), 'Using ' + address);
  } catch (error) {
    say($('message'), explain(error), true);
  }
}

function fillSelect(select, values, current, label) {
  select.textContent = '';
  for (const value of values) {
    const option = document.createElement('option');
    option.value = value;
    option.textContent = label ? label(value) : value;
    option.selected = value === current;
    select.append(option);
  }
}

const hz = (value) => String(Math.round(value * 1000) / 1000);

async function loadTracker() {
  try {
    tracker = await api('GET', '/api/tracker');
  } catch (error) {
    tracker = null;
    return;
  }
  $('name').value = tracker.name;
  fillSelect($('frequency'), tracker.frequencies, tracker.frequency, hz);
  fillSelect($('mode'), tracker.modes, tracker.mode);
  $('validate').title = tracker.can_validate ? '' : 'validation comes with a later velto version';
}

async function changeSetting(body, what) {
  const note = $('settings-message');
  try {
    tracker = await api('POST', '/api/tracker/settings', body);
    say(note, what + ' set.');
  } catch (error) {
    say(note, explain(error), true);
  }
  await loadTracker();
}

// ------------------------------------------------------------------ live stream

function measureFrameRate() {
  return new Promise((resolve) => {
    const times = [];
    const step = (t) => {
      times.push(t);
      if (times.length < 21) return requestAnimationFrame(step);
      const period = (times[20] - times[0]) / 20;
      resolve(Math.max(1, Math.min(240, Math.round(1000 / period))));
    };
    requestAnimationFrame(step);
    setTimeout(() => resolve(60), 2000);  // a hidden tab draws no frames
  });
}

function openStream(fps) {
  const source = new EventSource('/api/stream?fps=' + fps + '&token=' + encodeURIComponent(TOKEN));
  source.onmessage = (event) => {
    const frame = JSON.parse(event.data);
    stats.frames++;
    if (frame.type === 'hello') {
      live.gaze = null; live.trail = []; live.offset = frame.offset_us || 0;
      return;
    }
    if (frame.offset_us !== undefined && frame.offset_us !== null) live.offset = frame.offset_us;
    if (frame.gaze) {
      live.gaze = frame.gaze;
      const now = performance.now();
      for (const p of frame.trail || []) live.trail.push([now, p]);
      while (live.trail.length && now - live.trail[0][0] > TRAIL_MS) live.trail.shift();
    }
    if (frame.images) showImages(frame.images);
    if (frame.figures) live.figures = frame.figures;
    if (frame.status) showStatus(frame.status);
  };
  source.onerror = () => say($('message'), 'Connection to the server lost; retrying…', true);
  source.onopen = () => { if ($('message').classList.contains('error')) say($('message'), ''); };
}

function showImages(images) {
  for (const image of images) {
    let element = document.getElementById('camera-' + image.camera);
    if (!element) {
      element = document.createElement('img');
      element.id = 'camera-' + image.camera;
      element.alt = 'eye image, camera ' + image.camera;
      $('images').append(element);
    }
    element.src = image.src;
  }
}

// ------------------------------------------------------------------ drawing

function centrality(box) {
  const d = Math.max(Math.abs(box[0] - 0.5), Math.abs(box[1] - 0.5), Math.abs(box[2] - 0.5));
  return d < 0.25 ? 'good' : d < 0.4 ? 'fair' : 'bad';
}
const QUALITY_COLOURS = { good: '#10b981', fair: '#f59e0b', bad: '#ef4444' };

function positionHint(gaze) {
  const boxes = gaze ? ['left', 'right'].map((e) => gaze[e].box).filter((b) => b) : [];
  if (!boxes.length) return ['No eyes found: sit in front of the screen', 'bad'];
  const mean = [0, 1, 2].map((i) => boxes.reduce((s, b) => s + b[i], 0) / boxes.length);
  const [x, y, z] = mean;
  const moves = [];
  if (z > 0.7) moves.push('move closer');
  else if (z < 0.3) moves.push('move back');
  if (x > 0.7) moves.push('move left');
  else if (x < 0.3) moves.push('move right');
  if (y < 0.3) moves.push('move down');
  else if (y > 0.7) moves.push('move up');
  const one = boxes.length === 1 ? ' (one eye seen)' : '';
  if (!moves.length) return ['Good position: stay like this' + one, centrality(mean)];
  const text = moves.join(', ');
  return [text.charAt(0).toUpperCase() + text.slice(1) + one, centrality(mean)];
}

function clear(canvas) {
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, canvas.width, canvas.height);
  return g;
}

function eyeDot(g, x, y, eye, colour) {
  g.beginPath();
  g.arc(x, y, 9, 0, 2 * Math.PI);
  g.fillStyle = colour;
  g.fill();
  g.fillStyle = '#111827';
  g.font = 'bold 10px sans-serif';
  g.textAlign = 'center';
  g.textBaseline = 'middle';
  g.fillText(eye === 'left' ? 'L' : 'R', x, y);
}

function drawFront(gaze) {
  const canvas = $('front');
  const g = clear(canvas);
  const m = 20, w = canvas.width - 2 * m, h = canvas.height - 2 * m;
  g.strokeStyle = '#9ca3af';
  g.strokeRect(m, m, w, h);
  g.strokeStyle = '#374151';
  g.strokeRect(m + w * 0.25, m + h * 0.25, w * 0.5, h * 0.5);
  if (!gaze) return;
  for (const eye of ['left', 'right']) {
    const box = gaze[eye].box;
    if (box) eyeDot(g, m + box[0] * w, m + box[1] * h, eye, QUALITY_COLOURS[centrality(box)]);
  }
}

function drawTop(gaze) {
  const canvas = $('top');
  const g = clear(canvas);
  const m = 20, h = canvas.height - 2 * m, full = canvas.width - 2 * m;
  // The box widens away from the tracker: front and back widths from its corners.
  let ratio = 0.7;
  if (tracker && tracker.track_box) {
    const b = tracker.track_box;
    const front = b.front_lower_right[0] - b.front_lower_left[0];
    const back = b.back_lower_right[0] - b.back_lower_left[0];
    if (back > 0 && front > 0) ratio = Math.min(1, front / back);
  }
  const widthAt = (z) => full * (ratio + (1 - ratio) * z);
  const point = (x, z) => [canvas.width / 2 + (x - 0.5) * widthAt(z), m + h - z * h];
  g.strokeStyle = '#9ca3af';
  g.beginPath();
  [[0, 0], [1, 0], [1, 1], [0, 1]].forEach(([x, z], i) => {
    const [px, py] = point(x, z);
    if (i) g.lineTo(px, py); else g.moveTo(px, py);
  });
  g.closePath();
  g.stroke();
  g.fillStyle = '#9ca3af';
  g.fillRect(canvas.width / 2 - 25, canvas.height - 8, 50, 5);  // the tracker
  if (!gaze) return;
  for (const eye of ['left', 'right']) {
    const box = gaze[eye].box;
    if (box) {
      const [px, py] = point(box[0], box[2]);
      eyeDot(g, px, py, eye, QUALITY_COLOURS[centrality(box)]);
    }
  }
}

function areaRect(canvas, margin) {
  const area = tracker ? tracker.display_area : { width: 16, height: 9 };
  const scale = Math.min((canvas.width - 2 * margin) / area.width, (canvas.height - 2 * margin) / area.height);
  const w = area.width * scale, h = area.height * scale;
  return { x: (canvas.width - w) / 2, y: (canvas.height - h) / 2, w, h };
}

function drawGaze(gaze) {
  const canvas = $('gaze');
  const g = clear(canvas);
  const r = areaRect(canvas, 12);
  g.strokeStyle = '#e5e7eb';
  g.lineWidth = 2;
  g.strokeRect(r.x, r.y, r.w, r.h);
  g.lineWidth = 1;
  const now = performance.now();
  live.trail.forEach(([t, p]) => {
    const alpha = Math.max(0, 1 - (now - t) / TRAIL_MS) * 0.6;
    [['left', 0], ['right', 2]].forEach(([eye, i]) => {
      if (p[i] === null) return;
      g.globalAlpha = alpha;
      g.fillStyle = EYE_COLOURS[eye];
      g.beginPath();
      g.arc(r.x + p[i] * r.w, r.y + p[i + 1] * r.h, 3, 0, 2 * Math.PI);
      g.fill();
    });
  });
  g.globalAlpha = 1;
  if (!gaze) return;
  for (const eye of ['left', 'right']) {
    const p = gaze[eye].point;
    if (p) eyeDot(g, r.x + p[0] * r.w, r.y + p[1] * r.h, eye, EYE_COLOURS[eye]);
  }
}

function percentile(values, q) {
  if (!values.length) return null;
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

function showFigures() {
  const f = live.figures, gaze = live.gaze;
  const parts = [];
  const pct = (v) => (v === null || v === undefined) ? '–' : (100 * v).toFixed(1) + ' %';
  if (f) {
    parts.push(['rate', (f.rate_hz === null ? '–' : f.rate_hz.toFixed(0)) + ' / ' + hz(f.frequency_hz || 0) + ' Hz']);
    parts.push(['data loss', pct(f.loss)]);
    parts.push(['valid left', pct(f.left_valid)]);
    parts.push(['valid right', pct(f.right_valid)]);
  }
  if (gaze) {
    parts.push(['now', (gaze.left.valid ? 'L ✓' : 'L ✗') + ' ' + (gaze.right.valid ? 'R ✓' : 'R ✗')]);
    const pupils = ['left', 'right'].map((e) => gaze[e].pupil === null ? '–' : gaze[e].pupil.toFixed(2));
    parts.push(['pupils', pupils.join(' / ') + ' mm']);
  }
  const recent = stats.latencies.slice(-120);
  const p50 = percentile(recent, 0.5);
  if (p50 !== null) parts.push(['sample → screen', (p50 / 1000).toFixed(1) + ' ms']);
  const box = $('gaze-figures');
  box.textContent = '';
  for (const [name, value] of parts) {
    const span = document.createElement('span');
    span.innerHTML = '<b></b> ';
    span.firstChild.textContent = name;
    span.append(value);
    box.append(span);
  }
}

let lastFigures = 0;
function draw() {
  const gaze = live.gaze;
  drawFront(gaze);
  drawTop(gaze);
  drawGaze(gaze);
  if (gaze && gaze.t !== live.drawnT) {
    live.drawnT = gaze.t;
    stats.drawn++;
    // The sample's system time stamp against the system clock now (wall
    // clock plus the server's system-minus-wall offset).
    const nowUs = (performance.timeOrigin + performance.now()) * 1000 + live.offset;
    stats.latencies.push(nowUs - gaze.t);
    if (stats.latencies.length > 20000) stats.latencies.splice(0, 10000);
  }
  const [hint, quality] = positionHint(gaze);
  const element = $('hint');
  if (element.textContent !== hint) element.textContent = hint;
  element.className = 'hint ' + quality;
  const now = performance.now();
  if (now - lastFigures > 250) { showFigures(); lastFigures = now; }
  requestAnimationFrame(draw);
}

// ------------------------------------------------------------------ calibration

let sequence = null;   // { aborted } while a target sequence runs

async function runSequence(kind) {
  const note = $('cal-message');
  if (sequence) return;
  const points = $('points').value === '9' ? NINE_POINTS : FIVE_POINTS;
  try {
    await api('POST', kind === 'validation' ? '/api/validation/start' : '/api/calibration/start');
  } catch (error) {
    say(note, explain(error), true);
    return;
  }
  sequence = { aborted: false };
  const overlay = $('cal-overlay'), target = $('cal-target');
  overlay.hidden = false;
  try { await document.documentElement.requestFullscreen(); } catch (e) { /* a window will do */ }
  let result = null;
  try {
    await sleep(400);
    for (const [x, y] of points) {
      if (sequence.aborted) throw new Error('stopped with Esc');
      target.classList.remove('shrink');
      target.style.left = (x * overlay.clientWidth) + 'px';
      target.style.top = (y * overlay.clientHeight) + 'px';
      target.dataset.x = x; target.dataset.y = y;
      await sleep(550);            // the target moves there
      target.classList.add('shrink');
      await sleep(650);            // the eyes settle on it
      if (sequence.aborted) throw new Error('stopped with Esc');
      await api('POST', '/api/calibration/point', { x, y });
    }
    result = await api('POST', '/api/calibration/compute');
    say(note, (kind === 'validation' ? 'Validation' : 'Calibration') + ' done.');
  } catch (error) {
    say(note, error.data ? explain(error) : 'Stopped: ' + error.message, true);
  } finally {
    await api('POST', '/api/calibration/stop').catch(() => {});
    sequence = null;  // before leaving full screen: that is no abort
    if (document.fullscreenElement) { try { await document.exitFullscreen(); } catch (e) { /* gone */ } }
    overlay.hidden = true;
  }
  if (result) showResult(result);
}

function fmt(value) { return value === null || value === undefined ? '–' : value.toFixed(2); }

function showResult(result) {
  const holder = $('cal-result');
  holder.textContent = '';
  const table = document.createElement('table');
  table.id = 'quality';
  const head = table.createTHead();
  const top = head.insertRow();
  for (const [label, span] of [['', 1], ['left eye (degrees)', 4], ['right eye (degrees)', 4]]) {
    const th = document.createElement('th'); th.colSpan = span; th.textContent = label; top.append(th);
  }
  const names = head.insertRow();
  for (const label of ['target', 'accuracy', 'RMS', 'SD', 'n', 'accuracy', 'RMS', 'SD', 'n']) {
    const th = document.createElement('th'); th.textContent = label; names.append(th);
  }
  const body = table.createTBody();
  const row = (label, left, right, className) => {
    const tr = body.insertRow();
    if (className) tr.className = className;
    const cells = [label];
    for (const given of [left, right]) {
      const q = given || {};
      cells.push(fmt(q.accuracy_deg), fmt(q.precision_rms_deg), fmt(q.precision_sd_deg),
                 (q.valid_samples === undefined ? '–' : q.valid_samples + '/' + q.samples));
    }
    for (const c of cells) tr.insertCell().textContent = c;
  };
  for (const p of result.points || []) {
    row('(' + p.target[0].toFixed(2) + ', ' + p.target[1].toFixed(2) + ')', p.left, p.right);
  }
  row('overall', result.left, result.right, 'overall');
  holder.append(table);
  drawSamples(result);
}

function drawSamples(result) {
  const canvas = $('cal-plot');
  canvas.hidden = false;
  const g = clear(canvas);
  const r = areaRect(canvas, 12);
  g.strokeStyle = '#e5e7eb';
  g.strokeRect(r.x, r.y, r.w, r.h);
  const samples = result.samples || [];
  // Offsets are small next to the screen: drawn magnified, and said so.
  let largest = 0;
  for (const s of samples) {
    for (const eye of ['left', 'right']) {
      if (s[eye + '_valid']) largest = Math.max(largest, Math.hypot(s[eye][0] - s.target[0], s[eye][1] - s.target[1]));
    }
  }
  const zoom = largest > 0 ? Math.max(1, Math.min(10, Math.floor(0.06 / largest))) : 1;
  const at = (t, p) => [r.x + (t[0] + (p[0] - t[0]) * zoom) * r.w, r.y + (t[1] + (p[1] - t[1]) * zoom) * r.h];
  for (const s of samples) {
    for (const eye of ['left', 'right']) {
      if (!s[eye + '_valid']) continue;
      const [tx, ty] = at(s.target, s.target), [px, py] = at(s.target, s[eye]);
      g.strokeStyle = EYE_COLOURS[eye];
      g.globalAlpha = 0.6;
      g.beginPath(); g.moveTo(tx, ty); g.lineTo(px, py); g.stroke();
      g.globalAlpha = 1;
      g.fillStyle = EYE_COLOURS[eye];
      g.beginPath(); g.arc(px, py, 3, 0, 2 * Math.PI); g.fill();
    }
  }
  const targets = {};
  for (const s of samples) targets[s.target.join(',')] = s.target;
  for (const t of (result.points || []).map((p) => p.target).concat(Object.values(targets))) {
    const [x, y] = at(t, t);
    g.strokeStyle = '#fff';
    g.beginPath(); g.moveTo(x - 7, y); g.lineTo(x + 7, y); g.moveTo(x, y - 7); g.lineTo(x, y + 7); g.stroke();
  }
  g.font = '11px sans-serif';
  g.textAlign = 'left';
  let x = r.x + 6;
  for (const [label, colour] of [['+ target', '#d1d5db'], ['● left', EYE_COLOURS.left], ['● right', EYE_COLOURS.right],
                                 [zoom > 1 ? 'offsets drawn ×' + zoom : '', '#d1d5db']]) {
    g.fillStyle = colour;
    g.fillText(label, x, r.y + r.h - 6);
    x += g.measureText(label).width + 14;
  }
}

async function listCalibrationFiles() {
  const data = await api('GET', '/api/calibration/files');
  fillSelect($('cal-files'), data.files, null);
}

async function saveOrLoad(action) {
  const note = $('cal-message');
  try {
    const data = await api('POST', '/api/calibration/' + action, { file: $('cal-file').value });
    say(note, (action === 'save' ? 'Saved ' : 'Loaded ') + data.bytes + ' bytes: ' + data.path);
    await listCalibrationFiles();
  } catch (error) {
    say(note, explain(error), true);
  }
}

// ------------------------------------------------------------------ recording

function defaultFolder() {
  const d = new Date();
  const two = (n) => String(n).padStart(2, '0');
  return 'recording-' + d.getFullYear() + two(d.getMonth() + 1) + two(d.getDate()) + '-' +
    two(d.getHours()) + two(d.getMinutes()) + two(d.getSeconds());
}

async function recording(action) {
  const note = $('rec-message');
  try {
    let state;
    if (action === 'start') {
      state = await api('POST', '/api/recording/start', { folder: $('rec-folder').value });
      say(note, 'Recording into ' + state.folder);
    } else {
      state = await api('POST', '/api/recording/stop');
      say(note, 'Stopped: ' + state.gaze_rows + ' gaze rows in ' + state.folder);
      $('rec-folder').value = defaultFolder();
    }
    showRecording(state);
  } catch (error) {
    say(note, explain(error), true);
  }
}

async function addMarker() {
  const note = $('rec-message');
  try {
    const state = await api('POST', '/api/recording/marker', { label: $('marker-label').value || 'marker' });
    say(note, 'Marker ' + state.markers + ' added.');
  } catch (error) {
    say(note, explain(error), true);
  }
}

function showRecording(state) {
  const running = !!state.running;
  $('rec-start').disabled = running;
  $('rec-stop').disabled = !running;
  $('marker').disabled = !running;
  const box = $('rec-figures');
  box.textContent = '';
  const shown = running ? state : state.last;
  if (!shown) return;
  const events = Object.keys(shown.events || {}).reduce((s, k) => s + shown.events[k], 0);
  const lost = shown.missing_samples;
  const loss = (lost === null || lost === undefined) ? '–' :
    (shown.gaze_rows + lost ? (100 * lost / (shown.gaze_rows + lost)).toFixed(2) + ' %' : '0 %');
  const parts = [[running ? 'recording' : 'last recording', shown.relative],
                 ['time', shown.seconds.toFixed(1) + ' s'], ['gaze rows', String(shown.gaze_rows)],
                 ['expected', shown.expected_rows === null ? '–' : '≈' + shown.expected_rows],
                 ['data loss', loss], ['events', String(events)], ['markers', String(shown.markers)]];
  if (shown.write_error) parts.push(['write error', shown.write_error]);
  for (const [name, value] of parts) {
    const span = document.createElement('span');
    span.innerHTML = '<b></b> ';
    span.firstChild.textContent = name;
    span.append(value);
    box.append(span);
  }
  box.dataset.rows = shown.gaze_rows;
  box.dataset.running = running;
}

function showStatus(status) {
  live.status = status;
  showRecording(status.recording);
  // A calibration left running by a closed tab can be ended from here.
  $('cal-stop').hidden = !(status.calibration.running && !sequence);
  if (status.tracker && tracker && tracker.description.address !== status.tracker) loadTrackers(false);
}

// ------------------------------------------------------------------ wiring

function wire() {
  $('find').addEventListener('click', () => loadTrackers(true).catch((e) => say($('message'), explain(e), true)));
  $('name-apply').addEventListener('click', () => changeSetting({ name: $('name').value }, 'Name'));
  $('frequency').addEventListener('change', () => changeSetting({ frequency: Number($('frequency').value) }, 'Frequency'));
  $('mode').addEventListener('change', () => changeSetting({ mode: $('mode').value }, 'Mode'));
  $('calibrate').addEventListener('click', () => runSequence('calibration'));
  $('validate').addEventListener('click', () => runSequence('validation'));
  $('cal-stop').addEventListener('click', () => api('POST', '/api/calibration/stop')
    .then(() => say($('cal-message'), 'Calibration mode left.'), (e) => say($('cal-message'), explain(e), true)));
  $('cal-save').addEventListener('click', () => saveOrLoad('save'));
  $('cal-load').addEventListener('click', () => saveOrLoad('load'));
  $('rec-start').addEventListener('click', () => recording('start'));
  $('rec-stop').addEventListener('click', () => recording('stop'));
  $('marker').addEventListener('click', addMarker);
  $('rec-folder').value = defaultFolder();
  // Esc in full screen is taken by the browser to leave it: that stops too.
  document.addEventListener('fullscreenchange', () => {
    if (!document.fullscreenElement && sequence) sequence.aborted = true;
  });
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape' && sequence) sequence.aborted = true;
    const typing = /^(INPUT|SELECT|TEXTAREA)$/.test(document.activeElement.tagName);
    if (!typing && (event.key === 'm' || event.key === 'M') && !$('marker').disabled) addMarker();
  });
}

async function start() {
  wire();
  try {
    await loadTrackers(false);
    await listCalibrationFiles();
  } catch (error) {
    say($('message'), explain(error), true);
  }
  requestAnimationFrame(draw);
  stats.fps = await measureFrameRate();
  openStream(stats.fps);
  document.body.dataset.ready = 'yes';
}

start();
