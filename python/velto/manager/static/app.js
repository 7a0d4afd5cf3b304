// The tracker manager page. The server owns the state; this page shows it
// and asks for changes. This script comes last (after common.js, live.js and
// calibration.js): trackers and settings, recording, status, and the start.
'use strict';

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
  if (!running && shown.intact !== undefined) {
    parts.push(['intact', shown.intact ? 'yes' : 'no' + (shown.damage.length ? ': ' + shown.damage.join('; ') : '')]);
  }
  fillFigures(box, parts);
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
