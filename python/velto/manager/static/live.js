// The tracker manager page, live data: the Server-Sent Events stream
// (thinned to this page's frame rate) and what is drawn from it in
// requestAnimationFrame: positioning views, live gaze, figures, eye images.
'use strict';

const TRAIL_MS = 300;

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
  fillFigures($('gaze-figures'), parts);
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
