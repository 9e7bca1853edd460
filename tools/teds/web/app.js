// The page of `teds serve`: scan table, data-sheet form with the encoder's
// preview, write, lock and decode. Every API call carries the token of the
// URL the server printed.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const $ = (id) => document.getElementById(id);

async function api(path, body) {
  const init = { headers: { 'X-Teds-Token': token } };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(path, init);
  let data = {};
  try {
    data = await response.json();
  } catch (e) {
    data = { error: 'the server sent no JSON (' + response.status + ')' };
  }
  if (!response.ok) throw new Error(data.error || ('HTTP ' + response.status));
  return data;
}

function show(element, text) {
  element.textContent = text;
  element.hidden = !text;
}

// ---- Scan table ----

const FAULTS = ['bad checksum', 'parse error', 'failed', 'skipped'];
let scanTimer = null;

function cell(row, text, className) {
  const td = document.createElement('td');
  td.textContent = text === null || text === undefined ? '' : String(text);
  if (className) td.className = className;
  row.appendChild(td);
}

function renderRows(rows) {
  const body = $('scan-table').tBodies[0];
  body.textContent = '';
  for (const r of rows) {
    const tr = document.createElement('tr');
    tr.dataset.where = r.where;
    tr.dataset.rom = r.rom || '';
    // A transducer was reported (its manufacturer ID is known): it has a data sheet.
    const sensor = r.rom !== null && r.manufacturerID !== null;
    if (sensor) tr.classList.add('sensor');
    if (r.overdue) tr.classList.add('overdue');
    if (FAULTS.includes(r.status)) tr.classList.add('fault');
    if (r.status === 'empty') tr.classList.add('empty');
    const version = r.versionLetter === null ? '' : r.versionLetter + (r.versionNumber ?? '');
    const sensitivity = r.sensitivity === null
      ? '' : Number(r.sensitivity.toPrecision(6)) + ' ' + (r.sensitivityUnit || '');
    cell(tr, r.where);
    cell(tr, r.rom, 'rom');
    cell(tr, r.manufacturerID);
    cell(tr, r.modelNumber);
    cell(tr, version);
    cell(tr, r.serialNumber);
    cell(tr, sensitivity);
    cell(tr, r.direction);
    cell(tr, r.calDate);
    cell(tr, r.calDue === null ? '' : r.calDue + (r.overdue ? ' OVERDUE' : ''), 'due');
    cell(tr, r.status + (r.detail ? ': ' + r.detail : ''), 'status');
    if (sensor) tr.addEventListener('click', () => openSheet(r.where, r.rom));
    body.appendChild(tr);
  }
}

function renderScan(state) {
  renderRows(state.rows);
  const last = state.progress.length ? state.progress[state.progress.length - 1] : '';
  const progress = $('progress');
  progress.textContent = state.running ? 'Scanning… ' + last
                                       : state.done ? 'Scan done: ' + state.rows.length + ' rows' : '';
  progress.dataset.state = state.running ? 'running' : state.done ? 'done' : 'idle';
  $('scan-button').disabled = state.running;
}

async function pollScan() {
  try {
    const state = await api('/api/scan');
    renderScan(state);
    show($('scan-error'), '');
    scanTimer = state.running ? setTimeout(pollScan, 250) : null;
  } catch (e) {
    show($('scan-error'), e.message);
    scanTimer = null;
  }
}

async function startScan() {
  try {
    renderScan(await api('/api/scan', {}));
    if (!scanTimer) scanTimer = setTimeout(pollScan, 250);
  } catch (e) {
    show($('scan-error'), e.message);
  }
}

// ---- Data sheet form ----

let current = null;  // {where, rom, sheet, limits}
let previewTimer = null;
let previewOk = false;
let previewedSheet = '';

// Values that restate another and must agree with it; the form edits the
// values, so the restatements are left out of what it sends.
const RESTATED = ['calDateText', 'directionText', 'signText'];
const CHOICES = { direction: ['X', 'Y', 'Z'], sign: ['POSITIVE', 'NEGATIVE'] };

function fieldsOf(sheet, limits) {
  const fields = [];
  for (const limit of limits) {
    if (limit.basic) {
      if (sheet.basicTeds && limit.name in sheet.basicTeds) {
        fields.push({ limit, group: 'basicTeds', index: null, label: limit.name });
      }
      continue;
    }
    sheet.templates.forEach((t, i) => {
      if (t[limit.name] === null || t[limit.name] === undefined) return;
      const label = sheet.templates.length > 1 ? 'templates[' + i + '].' + limit.name : limit.name;
      fields.push({ limit, group: 'templates', index: i, label });
    });
  }
  return fields;
}

function shownValue(field, record) {
  const name = field.limit.name;
  if (name === 'calDate') return record.calDateText;
  if (name in CHOICES) return CHOICES[name][record[name]] ?? String(record[name]);
  return String(record[name]);
}

function recordOf(sheet, field) {
  return field.group === 'basicTeds' ? sheet.basicTeds : sheet.templates[field.index];
}

function rangeText(limit) {
  const unit = limit.unit ? ' ' + limit.unit : '';
  let text = limit.kind === 'text'
    ? (limit.high === 1 ? '1 character' : 'up to ' + limit.highText + ' characters')
    : limit.lowText + ' to ' + limit.highText + unit;
  if (limit.note) text += ' (' + limit.note + ')';
  return text;
}

// The value typed, as the data sheet takes it; `valid` tells whether it is
// within the field's range.
function readField(field, input) {
  const limit = field.limit;
  const text = input.value.trim();
  if (limit.name in CHOICES) return { value: text, valid: CHOICES[limit.name].includes(text) };
  if (limit.kind === 'text') {
    return { value: input.value, valid: input.value.length <= limit.high };
  }
  if (limit.kind === 'date') {
    const valid = /^\d{4}-\d{2}-\d{2}$/.test(text) && text >= limit.lowText && text <= limit.highText;
    return { value: text, valid };
  }
  const number = Number(text);
  if (text === '' || !Number.isFinite(number)) return { value: text, valid: false };
  const whole = limit.kind !== 'integer' || Number.isInteger(number);
  return { value: number, valid: whole && number >= limit.low && number <= limit.high };
}

function buildSheet() {
  const sheet = JSON.parse(JSON.stringify(current.sheet));
  for (const t of sheet.templates) for (const key of RESTATED) delete t[key];
  let allValid = true;
  for (const field of current.fields) {
    const read = readField(field, field.input);
    recordOf(sheet, field)[field.limit.name] = read.value;
    field.input.classList.toggle('invalid', !read.valid);
    field.rangeCell.classList.toggle('invalid', !read.valid);
    allValid = allValid && read.valid;
  }
  return { sheet, allValid };
}

function updateButtons(allValid) {
  $('write-button').disabled = !(allValid && previewOk);
}

function schedulePreview() {
  const { sheet, allValid } = buildSheet();
  // Leaving a field fires no new preview when nothing changed, so that the
  // click on Write that left it still finds Write enabled.
  const text = JSON.stringify(sheet);
  if (text === previewedSheet && previewOk) return;
  previewedSheet = text;
  previewOk = false;
  updateButtons(allValid);
  clearTimeout(previewTimer);
  previewTimer = setTimeout(runPreview, 250);
}

async function runPreview() {
  const { sheet, allValid } = buildSheet();
  const asked = current;
  let result;
  try {
    result = await api('/api/preview', { sheet });
  } catch (e) {
    result = { ok: false, error: e.message };
  }
  if (asked !== current) return;
  previewOk = result.ok;
  show($('sheet-error'), result.ok ? '' : result.error);
  $('preview-report').textContent = result.ok ? result.report : '';
  $('preview-image').textContent = result.ok ? result.image : '';
  $('preview-application').textContent = result.ok ? result.application : '';
  $('preview-memory').textContent = result.ok ? result.memory : '';
  for (const field of current.fields) {
    const back = result.ok && result.readBack ? recordOf(result.readBack, field) : null;
    field.readBackCell.textContent = back ? shownValue(field, back) : '';
  }
  $('sheet-section').dataset.preview = result.ok ? 'ok' : 'error';
  updateButtons(allValid);
}

function inputFor(field, record) {
  const name = field.limit.name;
  let input;
  if (name in CHOICES) {
    input = document.createElement('select');
    for (const choice of CHOICES[name]) {
      const option = document.createElement('option');
      option.value = option.textContent = choice;
      input.appendChild(option);
    }
  } else {
    input = document.createElement('input');
    input.type = 'text';
  }
  input.name = field.label;
  input.id = 'field-' + field.label;
  input.value = shownValue(field, record);
  input.addEventListener('input', schedulePreview);
  input.addEventListener('change', schedulePreview);
  return input;
}

async function openSheet(where, rom) {
  let data;
  try {
    data = await api('/api/sheet', { where, rom });
  } catch (e) {
    show($('scan-error'), e.message);
    return;
  }
  for (const tr of $('scan-table').tBodies[0].rows) {
    tr.classList.toggle('selected', tr.dataset.where === where && tr.dataset.rom === rom);
  }
  previewedSheet = '';
  current = { where, rom: data.rom, sheet: data.sheet, fields: fieldsOf(data.sheet, data.limits) };
  $('sheet-rom').textContent = data.rom;
  $('sheet-where').textContent = where;
  const body = $('sheet-fields').tBodies[0];
  body.textContent = '';
  for (const field of current.fields) {
    const tr = document.createElement('tr');
    const record = recordOf(data.sheet, field);
    const label = document.createElement('td');
    label.textContent = field.label;
    tr.appendChild(label);
    const valueCell = document.createElement('td');
    field.input = inputFor(field, record);
    valueCell.appendChild(field.input);
    tr.appendChild(valueCell);
    cell(tr, field.limit.unit);
    cell(tr, rangeText(field.limit), 'range');
    field.rangeCell = tr.lastChild;
    cell(tr, '', 'readback');
    field.readBackCell = tr.lastChild;
    body.appendChild(tr);
  }
  $('write-report').textContent = '(nothing written yet)';
  $('write-report').className = 'report';
  $('sheet-section').hidden = false;
  schedulePreview();
}

async function writeSheet() {
  const { sheet, allValid } = buildSheet();
  if (!allValid) return;
  const report = $('write-report');
  report.className = 'report';
  report.textContent = 'Writing ' + current.rom + '…';
  $('write-button').disabled = true;
  try {
    const result = await api('/api/write', { where: current.where, rom: current.rom, sheet });
    report.textContent = (result.report + result.messages).trim();
    report.className = 'report ' + (result.ok ? 'ok' : 'failed');
  } catch (e) {
    report.textContent = e.message;
    report.className = 'report failed';
  }
  updateButtons(allValid);
}

// ---- Lock ----

function askLock() {
  $('lock-rom').textContent = current.rom;
  $('lock-where').textContent = current.where;
  $('lock-dialog').hidden = false;
  $('lock-cancel').focus();
}

async function confirmLock() {
  $('lock-dialog').hidden = true;
  const report = $('write-report');
  report.className = 'report';
  report.textContent = 'Locking ' + current.rom + '…';
  try {
    const result = await api('/api/lock',
                             { where: current.where, rom: current.rom, confirmRom: $('lock-rom').textContent });
    report.textContent = (result.report + result.messages).trim();
    report.className = 'report ' + (result.ok ? 'ok' : 'failed');
  } catch (e) {
    report.textContent = e.message;
    report.className = 'report failed';
  }
}

// ---- Decode ----

async function decode() {
  show($('decode-error'), '');
  $('decode-output').hidden = true;
  try {
    const doc = await api('/api/decode', { text: $('decode-text').value });
    const lines = doc.pages.map((p) => p.text || (p.good ? 'checksum good' : 'checksum bad'));
    if (doc.parseError) lines.push('Template Parse Error : ' + doc.parseError);
    for (const t of doc.transducers) {
      lines.push(t.report.trimEnd());
      for (const e of t.errors) lines.push(e);
    }
    show($('decode-output'), lines.join('\n'));
  } catch (e) {
    show($('decode-error'), e.message);
  }
}

document.addEventListener('DOMContentLoaded', () => {
  $('scan-button').addEventListener('click', startScan);
  $('write-button').addEventListener('click', writeSheet);
  $('lock-button').addEventListener('click', askLock);
  $('lock-cancel').addEventListener('click', () => { $('lock-dialog').hidden = true; });
  $('lock-confirm').addEventListener('click', confirmLock);
  $('close-sheet').addEventListener('click', () => {
    $('sheet-section').hidden = true;
    current = null;
  });
  $('decode-button').addEventListener('click', decode);
  startScan();
});
