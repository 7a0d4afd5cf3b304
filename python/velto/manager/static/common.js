// The tracker manager page, shared pieces: the run's token, the state this
// page keeps, and requests to the server. The page's scripts are loaded in
// order by index.html: common.js, live.js, calibration.js, app.js.
'use strict';

const TOKEN = document.querySelector('meta[name="velto-token"]').content;
const EYE_COLOURS = { left: '#60a5fa', right: '#f87171' };

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

// Fills `box` with "name value" pairs, the names bold; values are set as text.
function fillFigures(box, parts) {
  box.textContent = '';
  for (const [name, value] of parts) {
    const span = document.createElement('span');
    span.innerHTML = '<b></b> ';
    span.firstChild.textContent = name;
    span.append(value);
    box.append(span);
  }
}
