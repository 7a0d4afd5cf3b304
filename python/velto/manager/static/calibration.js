// The tracker manager page, calibration: the full-screen target sequence of
// a calibration or validation, its result table and sample plot, and
// calibration files.
'use strict';

const FIVE_POINTS = [[0.5, 0.5], [0.1, 0.1], [0.1, 0.9], [0.9, 0.1], [0.9, 0.9]];
const NINE_POINTS = [[0.5, 0.5], [0.1, 0.1], [0.5, 0.1], [0.9, 0.1], [0.1, 0.5], [0.9, 0.5],
                     [0.1, 0.9], [0.5, 0.9], [0.9, 0.9]];

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
