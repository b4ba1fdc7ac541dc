'use strict';
// The console's pages: each asks the JSON API and polls its change counters (at most two
// looks a second), fetching again only what changed.

const page = document.body.dataset.page;
const admin = document.body.dataset.role === 'admin';
const csrf = document.body.dataset.csrf;
const POLL_MS = 500;
const MAX_ROWS = 500;

function escaped(text) {
  return String(text === null || text === undefined ? '' : text)
    .replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;').replace(/"/g, '&quot;');
}

// _raw sends _body as it is (a file's text) instead of as JSON.
async function api(method, path, body, raw) {
  const response = await fetch('/api/v1/' + path, {
    method: method,
    credentials: 'same-origin',
    headers: { 'Content-Type': raw ? 'text/plain' : 'application/json', 'X-CSRF-Token': csrf },
    body: body === undefined ? undefined : (raw ? body : JSON.stringify(body)),
  });
  if (response.status === 401) {
    window.location = '/login';
    throw new Error('logged out');
  }
  const text = await response.text();
  let data = null;
  try { data = JSON.parse(text); } catch (e) { data = text; }
  if (!response.ok)
    throw new Error(data && data.error ? data.error : 'HTTP ' + response.status);
  return data;
}

// Calls _refresh now and whenever the counter _which ('devices' or 'log') moves.
function live(which, refresh, everyMs) {
  let seen = null;
  let lastRefresh = 0;
  async function look() {
    try {
      const changes = await api('GET', 'changes');
      const now = Date.now();
      if (changes[which] !== seen || (everyMs && now - lastRefresh >= everyMs)) {
        seen = changes[which];
        lastRefresh = now;
        await refresh();
      }
    } catch (e) {
      if (e.message === 'logged out')
        return;
    }
    setTimeout(look, POLL_MS);
  }
  look();
}

function ageText(seconds) {
  if (seconds === null || seconds === undefined)
    return 'never';
  if (seconds < 120)
    return seconds + ' s ago';
  if (seconds < 7200)
    return Math.round(seconds / 60) + ' min ago';
  return Math.round(seconds / 3600) + ' h ago';
}

function timeText(ms) {
  return ms === null || ms === undefined ? 'never' : new Date(ms).toLocaleString();
}

function durationText(seconds) {
  const d = Math.floor(seconds / 86400);
  const h = Math.floor(seconds % 86400 / 3600);
  const m = Math.floor(seconds % 3600 / 60);
  return (d ? d + ' d ' : '') + h + ' h ' + m + ' min';
}

function markCurrent() {
  const link = document.getElementById('nav-' + (page === 'device' ? 'devices' : page));
  if (link)
    link.classList.add('current');
}

function overviewPage() {
  const set = (id, text) => { document.getElementById(id).textContent = text; };
  live('devices', async () => {
    const s = await api('GET', 'status');
    set('st-server', s.serverKind + ': ' + s.serverStatus);
    set('st-uptime', durationText(s.uptimeSeconds));
    set('st-version', s.version);
    set('st-minute', s.uplinksLastMinute);
    set('st-hour', s.uplinksLastHour);
    set('st-refused', s.uplinksRefused);
    set('st-rate', s.modbusRequestsPerSecond.toFixed(1));
    set('st-connections', s.modbusConnections);
    set('st-saving', s.saving ? 'yes' : 'NO: ' + s.savingProblem);
  }, 2000);
}

function devicesPage() {
  const filter = document.getElementById('filter');
  const body = document.querySelector('#devices tbody');
  let devices = [];
  function render() {
    const words = filter.value.toLowerCase().split(/\s+/).filter(w => w);
    const matching = devices.filter(d => {
      const text = (d.name + ' ' + d.devEui + ' ' + d.template + ' ' + d.port).toLowerCase();
      return words.every(w => text.includes(w));
    });
    const rows = matching.slice(0, MAX_ROWS).map(d =>
      '<tr data-eui="' + escaped(d.devEui) + '"><td><a href="/device?eui=' + escaped(d.devEui) + '">' + escaped(d.name) +
      '</a></td><td>' + escaped(d.devEui) + '</td><td>' + escaped(d.template) + '</td><td class="num">' + d.port +
      '</td><td class="num">' + d.unitId + '</td><td class="num">' + d.startAddress + '</td><td>' + ageText(d.ageSeconds) +
      '</td><td class="num">' + escaped(d.rssi) + '</td><td class="num">' + escaped(d.snr) + '</td><td class="num">' +
      d.uplinks + '</td><td class="num">' + d.lost + '</td><td class="num">' + d.errors + '</td><td>' +
      (d.stale ? '<span class="stale">STALE</span>' : '') + '</td></tr>');
    body.innerHTML = rows.join('');
    document.getElementById('shown').textContent = matching.length > MAX_ROWS
      ? 'the first ' + MAX_ROWS + ' of ' + matching.length + ' shown: type to narrow'
      : matching.length + ' of ' + devices.length;
  }
  filter.addEventListener('input', render);
  live('devices', async () => {
    devices = await api('GET', 'devices');
    render();
  }, 5000);
}

// Chart.js comes from the console's own /static/chart.js, loaded once, on the page that draws.
let chartLibrary = null;
function loadChartLibrary() {
  if (!chartLibrary)
    chartLibrary = new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = '/static/chart.js';
      script.onload = () => resolve(window.Chart);
      script.onerror = () => reject(new Error('chart.js did not load'));
      document.head.appendChild(script);
    });
  return chartLibrary;
}

const TREND_COLOUR = 'rgb(31, 119, 180)';
const TREND_BAND = 'rgba(31, 119, 180, 0.2)';

// The trend of one chosen value of the device over the last hour, day or week, drawn again
// whenever the device's values change.
function trendOf(eui) {
  const valueBox = document.getElementById('trend-value');
  const rangeBox = document.getElementById('trend-range');
  const caption = document.getElementById('trend-caption');
  let chart = null;
  let drawing = false;
  async function draw() {
    if (drawing)
      return;
    drawing = true;
    try {
      const seconds = Number(rangeBox.value);
      const to = Date.now();
      const query = 'from=' + Math.floor((to - seconds * 1000) / 1000) + '&to=' + Math.ceil(to / 1000) + '&points=500' +
        (valueBox.value ? '&value=' + encodeURIComponent(valueBox.value) : '');
      const history = await api('GET', 'devices/' + encodeURIComponent(eui) + '/history?' + query);
      const names = history.values.map(v => v.name);
      if (names.join('\n') !== Array.from(valueBox.options).map(o => o.value).join('\n'))
        valueBox.innerHTML = names.map(n => '<option>' + escaped(n) + '</option>').join('');
      valueBox.value = history.value;
      if (!history.value) {
        caption.textContent = 'no history yet';
        return;
      }
      const label = history.value + (history.unit ? ' [' + history.unit + ']' : '');
      caption.textContent = label + ': ' + history.points.length + (history.bucketed ? ' buckets (min, mean, max)' : ' points');
      const datasets = history.bucketed ? [
        { label: 'max', data: history.points.map(p => ({ x: p.ms, y: p.max })), borderColor: TREND_BAND, pointRadius: 0, fill: '+2', backgroundColor: TREND_BAND },
        { label: 'mean', data: history.points.map(p => ({ x: p.ms, y: p.mean })), borderColor: TREND_COLOUR, pointRadius: 0 },
        { label: 'min', data: history.points.map(p => ({ x: p.ms, y: p.min })), borderColor: TREND_BAND, pointRadius: 0 },
      ] : [
        { label: label, data: history.points.map(p => ({ x: p.ms, y: p.value })), borderColor: TREND_COLOUR, backgroundColor: TREND_COLOUR, pointRadius: 2 },
      ];
      const Chart = await loadChartLibrary();
      if (!chart) {
        chart = new Chart(document.getElementById('trend-chart'), {
          type: 'line',
          data: { datasets: datasets },
          options: {
            animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
            plugins: { legend: { display: false } },
            scales: {
              x: { type: 'linear', min: history.fromMs, max: history.toMs, ticks: { callback: ms => new Date(ms).toLocaleTimeString() } },
              y: { title: { display: true, text: label } },
            },
          },
        });
      } else {
        chart.data.datasets = datasets;
        chart.options.scales.x.min = history.fromMs;
        chart.options.scales.x.max = history.toMs;
        chart.options.scales.y.title.text = label;
        chart.update('none');
      }
    } catch (e) {
      caption.textContent = 'trend: ' + e.message;
    } finally {
      drawing = false;
    }
  }
  valueBox.addEventListener('change', draw);
  rangeBox.addEventListener('change', draw);
  return draw;
}

function devicePage() {
  const eui = new URLSearchParams(window.location.search).get('eui') || '';
  let scalingFilled = false;
  const drawTrend = trendOf(eui);
  async function refresh() {
    let d;
    try {
      d = await api('GET', 'devices/' + encodeURIComponent(eui));
    } catch (e) {
      document.getElementById('device-name').textContent = 'No device ' + eui;
      return;
    }
    document.getElementById('device-name').textContent = d.name;
    document.getElementById('device-summary').textContent = d.devEui + ' · ' + d.template + ' · port ' + d.port +
      ' · unit ID ' + d.unitId + ' · from register ' + d.startAddress + ' · last uplink ' + ageText(d.ageSeconds) +
      ' · RSSI ' + (d.rssi === null ? '-' : d.rssi) + ' · SNR ' + (d.snr === null ? '-' : d.snr) + ' · ' + d.uplinks +
      ' uplinks, ' + d.lost + ' lost, ' + d.errors + ' errors' + (d.stale ? ' · STALE' : '');
    document.getElementById('downlink-status').textContent = (d.writable ? 'writes on' : 'writes off') +
      (d.lastDownlink ? '; last: ' + d.lastDownlink.text + ' (' + timeText(d.lastDownlink.timeMs) + ')' : '');
    const registers = await api('GET', 'devices/' + encodeURIComponent(eui) + '/registers');
    document.querySelector('#registers tbody').innerHTML = registers.map(r =>
      '<tr><td class="num">' + r.address + '</td><td>' + escaped(r.register) + '</td><td>' + escaped(r.name) +
      '</td><td>0x' + escaped(r.raw) + '</td><td class="num value">' + escaped(r.value) + '</td><td>' + escaped(r.unit) +
      '</td><td>' + timeText(r.timeMs) + '</td></tr>').join('');
    const uplinks = await api('GET', 'devices/' + encodeURIComponent(eui) + '/uplinks');
    document.querySelector('#uplinks tbody').innerHTML = uplinks.reverse().map(u =>
      '<tr><td>' + timeText(u.timeMs) + '</td><td class="num">' + u.fcnt + '</td><td class="num">' + u.rssi +
      '</td><td class="num">' + u.snr + '</td><td>' + escaped(u.payload) + '</td><td' +
      (u.accepted ? '>' + escaped(Object.entries(u.values).map(([k, v]) => k + ' = ' + v).join(', '))
                  : ' class="refused">' + escaped(u.refusal)) + '</td></tr>').join('');
    if (admin && !scalingFilled) {
      scalingFilled = true;
      fillEdit(d, registers);
    }
    drawTrend();
  }
  function fillEdit(d, registers) {
    document.getElementById('edit-unit').value = d.unitId;
    document.getElementById('edit-order').value = d.wordOrder;
    document.getElementById('edit-stale').value = d.staleAfter;
    document.getElementById('edit-policy').value = d.stalePolicy;
    document.getElementById('edit-writable').checked = d.writable;
    document.querySelector('#scaling tbody').innerHTML = registers.map(r =>
      '<tr data-address="' + r.address + '"><td class="num">' + r.address + '</td><td>' + escaped(r.name) +
      '</td><td><input class="multiplier" type="number" step="any" value="' + r.multiplier +
      '"></td><td><input class="added" type="number" step="any" value="' + r.added +
      '"></td><td><input class="unit" value="' + escaped(r.unit) + '"></td></tr>').join('');
  }
  if (admin) {
    const message = document.getElementById('edit-message');
    document.getElementById('edit-form').addEventListener('submit', async (event) => {
      event.preventDefault();
      const registers = Array.from(document.querySelectorAll('#scaling tbody tr')).map(row => ({
        address: Number(row.dataset.address),
        multiplier: Number(row.querySelector('.multiplier').value),
        added: Number(row.querySelector('.added').value),
        unit: row.querySelector('.unit').value,
      }));
      try {
        await api('PATCH', 'devices/' + encodeURIComponent(eui), {
          unitId: Number(document.getElementById('edit-unit').value),
          wordOrder: document.getElementById('edit-order').value,
          staleAfter: Number(document.getElementById('edit-stale').value),
          stalePolicy: document.getElementById('edit-policy').value,
          writable: document.getElementById('edit-writable').checked,
          registers: registers,
        });
        message.textContent = 'Saved.';
      } catch (e) {
        message.textContent = e.message;
      }
    });
    document.getElementById('remove-device').addEventListener('click', async () => {
      if (!window.confirm('Remove ' + eui + '? Its values are no longer served.'))
        return;
      try {
        await api('DELETE', 'devices/' + encodeURIComponent(eui));
        window.location = '/devices';
      } catch (e) {
        message.textContent = e.message;
      }
    });
  }
  live('devices', refresh, 5000);
}

async function addPage() {
  const message = document.getElementById('add-message');
  const templates = await api('GET', 'templates');
  document.getElementById('add-template').innerHTML = templates.map(t =>
    '<option value="' + escaped(t.template) + '">' + escaped(t.template) + '</option>').join('');
  document.getElementById('import-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const note = document.getElementById('import-message');
    const file = document.getElementById('import-file').files[0];
    if (!file)
      return;
    try {
      const answer = await api('POST', 'import', await file.text(), true);
      note.textContent = 'imported ' + answer.imported + ' devices';
    } catch (e) {
      note.textContent = e.message;
    }
  });
  document.getElementById('ask-server').addEventListener('click', async () => {
    const note = document.getElementById('ask-message');
    note.textContent = 'waiting…';
    try {
      const answer = await api('GET', 'candidates');
      note.textContent = answer.devices.length + (answer.heard ? ' heard since start' : ' listed by the server');
      document.querySelector('#candidates tbody').innerHTML = answer.devices.map(d =>
        '<tr><td>' + escaped(d.devEui) + '</td><td>' + escaped(d.name) + '</td><td>' + escaped(d.template) +
        '</td><td><button type="button" class="pick" data-eui="' + escaped(d.devEui) + '" data-name="' +
        escaped(d.name) + '" data-template="' + escaped(d.template) + '">Use</button></td></tr>').join('');
    } catch (e) {
      note.textContent = e.message;
    }
  });
  document.getElementById('candidates').addEventListener('click', (event) => {
    const pick = event.target.closest('button.pick');
    if (!pick)
      return;
    document.getElementById('add-eui').value = pick.dataset.eui;
    document.getElementById('add-name').value = pick.dataset.name;
    document.getElementById('add-template').value = pick.dataset.template;
  });
  document.getElementById('add-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const value = id => document.getElementById(id).value;
    try {
      const added = await api('POST', 'devices', {
        devEui: value('add-eui'), template: value('add-template'), name: value('add-name'),
        port: Number(value('add-port')), startAddress: Number(value('add-start')), unitId: Number(value('add-unit')),
        wordOrder: value('add-order'), staleAfter: Number(value('add-stale')), stalePolicy: value('add-policy'),
        writable: document.getElementById('add-writable').checked,
      });
      window.location = '/device?eui=' + encodeURIComponent(added.devEui);
    } catch (e) {
      message.textContent = e.message;
    }
  });
}

function logPage() {
  const level = document.getElementById('level');
  const out = document.getElementById('log');
  let lines = [];
  function render() {
    const wanted = level.value;
    const shown = wanted ? lines.filter(l => l.includes(wanted + ':')) : lines;
    const atBottom = out.scrollTop + out.clientHeight >= out.scrollHeight - 4;
    out.textContent = shown.join('\n');
    if (atBottom)
      out.scrollTop = out.scrollHeight;
  }
  level.addEventListener('change', render);
  live('log', async () => {
    lines = await api('GET', 'log?lines=500');
    render();
  });
}

markCurrent();
({ overview: overviewPage, devices: devicesPage, device: devicePage, add: addPage, log: logPage })[page]();
