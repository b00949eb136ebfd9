'use strict';
// Engineering editor. The page holds no secrets and is served without a
// login; every API call carries the engineer's credential (the password as
// Basic, or a personal token as Bearer), kept in sessionStorage only.
// Each tab is a <section class="tab"> of index.html plus one engTab() call
// here; the tab bar is built from the sections in page order.

const AUTH_KEY = 'zqeng.auth';
let auth = sessionStorage.getItem(AUTH_KEY) || '';
const tabs = {};
let currentTab = '';

function $(id) { return document.getElementById(id); }

function el(tag, props, ...children) {
  const e = document.createElement(tag);
  Object.assign(e, props || {});
  for (const c of children) if (c != null) e.append(c);
  return e;
}

function say(id, text, ok) {
  const m = $(id);
  m.textContent = text || '';
  m.className = 'msg' + (text ? (ok ? ' ok' : ' bad') : '');
}

function fmtTime(sec) {
  if (!sec || sec <= 0) return '';
  const d = new Date(sec * 1000);
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())} ${p(d.getHours())}:${p(d.getMinutes())}`;
}

function fmtSize(n) {
  if (n < 1024) return n + ' Б';
  if (n < 1048576) return (n / 1024).toFixed(1) + ' КіБ';
  return (n / 1048576).toFixed(1) + ' МіБ';
}

function fmtUptime(s) {
  if (!s) return '';
  const d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24, m = Math.floor(s / 60) % 60;
  return (d ? d + ' д ' : '') + (d || h ? h + ' год ' : '') + m + ' хв';
}

// The server's own words: "msg" when it gives one, else "error".
function messageOf(res) {
  const j = res.json;
  if (j && typeof j === 'object' && !Array.isArray(j)) {
    if (j.msg) return String(j.msg);
    if (j.error) return String(j.error);
  }
  if (res.ok) return '';
  return res.text || (res.status ? 'HTTP ' + res.status : 'Немає зв\'язку з сервером');
}

// One API call. body: undefined (none), an ArrayBuffer (ZIP upload) or a
// value sent as JSON. Resolves to {status, ok, json, text, blob, error}.
async function api(method, path, body, opts) {
  opts = opts || {};
  const headers = { 'X-Requested-With': 'zq-eng' };
  if (auth) headers.Authorization = auth;
  let payload;
  if (body instanceof ArrayBuffer) {
    payload = body;
    headers['Content-Type'] = 'application/zip';
  } else if (body !== undefined) {
    payload = JSON.stringify(body);
    headers['Content-Type'] = 'application/json';
  }
  const res = { status: 0, ok: false, json: null, text: '', blob: null, error: '' };
  let r;
  try {
    r = await fetch('/api/eng/' + path, { method, headers, body: payload, credentials: 'omit', cache: 'no-store' });
  } catch (e) {
    res.error = 'Немає зв\'язку з сервером';
    return res;
  }
  res.status = r.status;
  res.ok = r.ok;
  if (opts.blob && r.ok) {
    res.blob = await r.blob();
  } else {
    res.text = await r.text();
    try { res.json = JSON.parse(res.text); } catch (e) { res.json = null; }
  }
  if (res.json && res.json.ok === false) res.ok = false;
  res.error = messageOf(res);
  if (r.status === 401 && !opts.login) logout('Сесія недійсна — увійдіть знову');
  return res;
}

// ---- login ----

function basicHeader(password) {
  const bytes = new TextEncoder().encode(':' + password);
  let s = '';
  bytes.forEach((b) => { s += String.fromCharCode(b); });
  return 'Basic ' + btoa(s);
}

async function login(ev) {
  ev.preventDefault();
  const secret = $('login-secret').value;
  if (!secret) return;
  auth = $('login-kind-token').checked ? 'Bearer ' + secret.trim() : basicHeader(secret);
  $('login-btn').disabled = true;
  const r = await api('GET', 'whoami', undefined, { login: true });
  $('login-btn').disabled = false;
  if (r.status === 401) {
    auth = '';
    say('login-msg', 'Невірний пароль або токен', false);
    return;
  }
  if (r.status === 0 || r.status === 403 || r.status === 429 || r.status >= 500) {
    auth = '';
    say('login-msg', r.error, false);
    return;
  }
  sessionStorage.setItem(AUTH_KEY, auth);
  $('login-secret').value = '';
  say('login-msg', '');
  enterApp(r.json && r.json.ok ? r.json : null);
}

function logout(reason) {
  auth = '';
  sessionStorage.removeItem(AUTH_KEY);
  hideNewToken();
  $('app').hidden = true;
  $('login-view').hidden = false;
  $('logout').hidden = true;
  $('who').textContent = '';
  say('login-msg', reason || '', false);
}

function enterApp(me) {
  $('login-view').hidden = true;
  $('app').hidden = false;
  $('logout').hidden = false;
  $('who').textContent = me ? `${me.name} (${me.role})` : '';
  const first = location.hash.slice(1);
  selectTab(tabs[first] ? first : Object.keys(tabs)[0]);
}

// ---- tabs ----

function engTab(id, handlers) {
  const section = $('tab-' + id);
  const t = { id, section, init: handlers.init, show: handlers.show, leave: handlers.leave, ready: false };
  tabs[id] = t;
  const b = el('button', { type: 'button', id: 'tabbtn-' + id, textContent: section.dataset.title });
  b.addEventListener('click', () => selectTab(id));
  $('tabs').append(b);
  section.hidden = true;
}

function selectTab(id) {
  const prev = tabs[currentTab];
  if (prev && prev.leave && currentTab !== id) prev.leave();
  currentTab = id;
  for (const t of Object.values(tabs)) {
    t.section.hidden = t.id !== id;
    $('tabbtn-' + t.id).classList.toggle('active', t.id === id);
  }
  history.replaceState(null, '', '#' + id);
  const t = tabs[id];
  if (!t.ready) {
    t.ready = true;
    if (t.init) t.init();
  }
  if (t.show) t.show();
}

// ---- Status: processes, logs, operator actions ----

const RELOADABLE = ['zqcalc', 'zqmqtt', 'zqalarm'];

async function signalAction(path, body, question) {
  if (question && !confirm(question)) return;
  const r = await api('POST', path, body);
  say('st-msg', r.error, r.ok);
  setTimeout(loadProcesses, 1500);
}

async function loadProcesses() {
  const r = await api('GET', 'sys/status');
  const body = $('st-procs');
  body.replaceChildren();
  if (!r.ok || !Array.isArray(r.json)) return say('st-msg', r.error, false);
  for (const p of r.json) {
    const actions = el('td');
    const restart = el('button', { type: 'button', className: 'danger', textContent: 'Перезапустити' });
    restart.addEventListener('click', () => signalAction('sys/restart', { name: p.name },
      `Перезапустити ${p.name}? Програма зупиниться, супервізор запустить її знову.`));
    actions.append(restart);
    if (RELOADABLE.includes(p.name)) {
      const reload = el('button', { type: 'button', className: 'light', textContent: 'Перечитати' });
      reload.addEventListener('click', () => signalAction('sys/reload-module', { name: p.name }));
      actions.append(' ', reload);
    }
    body.append(el('tr', {},
      el('td', { textContent: p.name }),
      el('td', { className: 'num', textContent: p.pid || '' }),
      el('td', { className: 'state ' + (p.running ? 'on' : 'off'), textContent: p.running ? 'працює' : 'не працює' }),
      el('td', { className: 'num', textContent: fmtUptime(p.uptime_s) }),
      el('td', { textContent: p.version || '' }),
      el('td', { className: 'cmd', textContent: p.cmdline || '' }),
      actions));
  }
}

async function loadLogList() {
  const r = await api('GET', 'logs/list');
  const sel = $('log-files');
  sel.replaceChildren();
  if (!r.ok || !r.json || !Array.isArray(r.json.files)) return;
  const files = r.json.files.slice().sort((a, b) => (b.mtime || 0) - (a.mtime || 0));
  for (const f of files) sel.append(el('option', { value: f.name, textContent: `${f.name} (${fmtSize(f.size || 0)})` }));
}

async function showLog() {
  const name = $('log-files').value;
  if (!name) return;
  const r = await api('GET', `logs/read?name=${encodeURIComponent(name)}&tail=${$('log-tail').value}`);
  $('log-text').textContent = r.ok ? r.text : r.error;
  $('log-text').scrollTop = $('log-text').scrollHeight;
}

async function loadCtlDates() {
  const r = await api('GET', 'ctrllog/dates');
  const sel = $('ctl-dates');
  sel.replaceChildren();
  if (!r.ok || !r.json || !Array.isArray(r.json.dates)) return;
  for (const d of r.json.dates) {
    sel.append(el('option', { value: d, textContent: `${d.slice(0, 4)}-${d.slice(4, 6)}-${d.slice(6, 8)}` }));
  }
}

async function showCtl() {
  const date = $('ctl-dates').value;
  const r = await api('GET', 'ctrllog' + (date ? '?date=' + encodeURIComponent(date) : ''));
  $('ctl-head').replaceChildren();
  $('ctl-body').replaceChildren();
  if (!r.ok || !r.json || !Array.isArray(r.json.records)) return say('ctl-msg', r.error || 'Немає записів', false);
  const recs = r.json.records;
  say('ctl-msg', recs.length ? '' : 'За цей день записів немає', true);
  const cols = [];
  for (const rec of recs) {
    if (rec && typeof rec === 'object') for (const k of Object.keys(rec)) if (!cols.includes(k)) cols.push(k);
  }
  if (cols.length) $('ctl-head').append(el('tr', {}, ...cols.map((c) => el('th', { textContent: c }))));
  for (const rec of recs) {
    const cells = rec && typeof rec === 'object'
      ? cols.map((c) => el('td', { textContent: rec[c] == null ? '' : String(rec[c]) }))
      : [el('td', { textContent: String(rec) })];
    $('ctl-body').append(el('tr', {}, ...cells));
  }
}

engTab('status', {
  init() {
    $('st-refresh').addEventListener('click', loadProcesses);
    $('st-notify').addEventListener('click', () => signalAction('notify-scales', {}));
    $('st-reload-ini').addEventListener('click', () => signalAction('sys/reload-ini', {},
      'Перечитати конфігурацію? Супервізор перестворить базу і перезапустить усі програми.'));
    $('log-show').addEventListener('click', showLog);
    $('ctl-show').addEventListener('click', showCtl);
    loadLogList();
    loadCtlDates();
  },
  show: loadProcesses,
});

// ---- Configuration: editor with line numbers, check, save ----

const CODE_LINE_PX = 20;  // the editor's fixed line height (eng.css --code-line)

// A textarea with a line-number gutter and a list of check messages; a
// message with a line marks that number and jumps to the line when clicked.
// Shared by every tab that edits a text file.
function codeEditor(textId, linesId, issuesId) {
  const ed = { marks: {}, ta: $(textId), gutter: $(linesId), list: $(issuesId) };
  ed.renderGutter = () => {
    const n = ed.ta.value.split('\n').length;
    let html = '';
    for (let i = 1; i <= n; i++) {
      const m = ed.marks[i];
      html += m ? `<span class="${m}">${i}</span>\n` : i + '\n';
    }
    ed.gutter.innerHTML = html;  // digits and fixed class names only
    ed.gutter.scrollTop = ed.ta.scrollTop;
  };
  ed.jumpToLine = (line) => {
    const ta = ed.ta;
    const lines = ta.value.split('\n');
    const idx = Math.min(Math.max(line, 1), lines.length) - 1;
    let start = 0;
    for (let i = 0; i < idx; i++) start += lines[i].length + 1;
    ta.focus();
    ta.setSelectionRange(start, start + lines[idx].length);
    ta.scrollTop = Math.max(0, idx * CODE_LINE_PX - ta.clientHeight / 3);
    ed.gutter.scrollTop = ta.scrollTop;
  };
  // result: {errors: [{line, msg}], warnings: [...]}.
  ed.showIssues = (result) => {
    ed.list.replaceChildren();
    ed.marks = {};
    const add = (items, cls) => {
      for (const it of items || []) {
        const line = Number(it.line) || 0;
        const li = el('li', { className: cls, textContent: (line ? `Рядок ${line}: ` : '') + it.msg });
        li.dataset.line = line;
        if (line) {
          li.addEventListener('click', () => ed.jumpToLine(line));
          if (!ed.marks[line] || cls === 'err') ed.marks[line] = cls;
        }
        ed.list.append(li);
      }
    };
    add(result.errors, 'err');
    add(result.warnings, 'warn');
    ed.renderGutter();
  };
  // Gutter follows typing and scrolling; onInput runs after each edit.
  ed.attach = (onInput) => {
    ed.ta.addEventListener('input', () => { ed.renderGutter(); if (onInput) onInput(); });
    ed.ta.addEventListener('scroll', () => { ed.gutter.scrollTop = ed.ta.scrollTop; });
  };
  return ed;
}

const cfg = { loaded: false, checkedText: null, hasErrors: false };
const cfgEd = codeEditor('cfg-text', 'cfg-lines', 'cfg-issues');

function renderGutter() { cfgEd.renderGutter(); }

function updateSaveButton() {
  $('cfg-save').disabled = cfg.hasErrors && cfg.checkedText === $('cfg-text').value;
}

function jumpToLine(line) { cfgEd.jumpToLine(line); }

function showIssues(result) { cfgEd.showIssues(result); }

async function loadConfig() {
  const r = await api('GET', 'config');
  if (r.status !== 200) return say('cfg-msg', r.error, false);
  $('cfg-text').value = r.text;
  cfg.loaded = true;
  cfg.checkedText = null;
  cfg.hasErrors = false;
  showIssues({});
  updateSaveButton();
  say('cfg-msg', '');
}

// Runs the server's check; the result, or null when it did not answer one.
async function checkConfig() {
  const text = $('cfg-text').value;
  const r = await api('POST', 'config/validate', { text });
  const j = r.json;
  if (!j || !Array.isArray(j.errors)) {
    say('cfg-msg', r.error, false);
    return null;
  }
  cfg.checkedText = text;
  cfg.hasErrors = j.errors.length > 0;
  showIssues(j);
  updateSaveButton();
  const w = (j.warnings || []).length;
  if (cfg.hasErrors) say('cfg-msg', `Помилок: ${j.errors.length}, попереджень: ${w}. Клацніть рядок, щоб перейти до нього.`, false);
  else say('cfg-msg', w ? `Помилок немає, попереджень: ${w}` : 'Помилок немає', true);
  return j;
}

async function saveConfig() {
  const checked = await checkConfig();
  if (!checked) return;
  if (checked.errors.length) {
    say('cfg-msg', 'Збереження заборонено: спершу виправте помилки', false);
    return;
  }
  const r = await api('POST', 'config', { text: $('cfg-text').value });
  if (r.json && Array.isArray(r.json.errors)) showIssues(r.json);
  say('cfg-msg', r.error || (r.ok ? 'збережено' : ''), r.ok);
}

engTab('config', {
  init() {
    const ta = $('cfg-text');
    cfgEd.attach(updateSaveButton);
    ta.addEventListener('keydown', (ev) => {
      // YAML takes no tabs: the Tab key inserts two spaces.
      if (ev.key === 'Tab' && !ev.ctrlKey && !ev.altKey) {
        ev.preventDefault();
        ta.setRangeText('  ', ta.selectionStart, ta.selectionEnd, 'end');
        renderGutter();
      }
    });
    $('cfg-load').addEventListener('click', () => {
      if (ta.value !== cfg.checkedText && cfg.loaded && !confirm('Відкинути зміни і завантажити файл з сервера?')) return;
      loadConfig();
    });
    $('cfg-check').addEventListener('click', checkConfig);
    $('cfg-save').addEventListener('click', saveConfig);
  },
  show() { if (!cfg.loaded) loadConfig(); },
});

// ---- Tokens ----

function hideNewToken() {
  $('tok-value').textContent = '';
  $('tok-new').hidden = true;
}

async function tokenAction(path, body, question) {
  if (question && !confirm(question)) return;
  const r = await api('POST', path, body);
  say('tok-msg', r.error, r.ok);
  loadTokens();
}

async function loadTokens() {
  const r = await api('GET', 'tokens');
  const body = $('tok-list');
  body.replaceChildren();
  if (!r.ok || !r.json || !Array.isArray(r.json.tokens)) return say('tok-msg', r.error, false);
  const now = Date.now() / 1000;
  for (const t of r.json.tokens) {
    const expired = t.expires > 0 && t.expires < now;
    const state = t.disabled ? 'вимкнено' : expired ? 'прострочено' : 'активний';
    const toggle = el('button', { type: 'button', className: 'light', textContent: t.disabled ? 'Увімкнути' : 'Вимкнути' });
    toggle.addEventListener('click', () => tokenAction('tokens/disable', { name: t.name, action: t.disabled ? 'enable' : 'disable' }));
    const del = el('button', { type: 'button', className: 'danger', textContent: 'Видалити' });
    del.addEventListener('click', () => tokenAction('tokens/delete', { name: t.name },
      `Видалити токен «${t.name}»? Хто ним користується, втратить доступ.`));
    body.append(el('tr', {},
      el('td', { textContent: t.name }),
      el('td', { textContent: t.role }),
      el('td', { className: 'num', textContent: t.expires > 0 ? fmtTime(t.expires) : 'безстроково' }),
      el('td', { className: 'num', textContent: t.created || '' }),
      el('td', { className: 'num', textContent: t.last_used || '' }),
      el('td', { className: 'num', textContent: t.last_ip || '' }),
      el('td', { className: t.disabled || expired ? 'off' : 'on', textContent: state }),
      el('td', {}, toggle, ' ', del)));
  }
}

async function createToken(ev) {
  ev.preventDefault();
  hideNewToken();
  const day = $('tok-expires').value;
  const expires = day ? Math.floor(new Date(day + 'T23:59:59').getTime() / 1000) : 0;
  const r = await api('POST', 'tokens', { name: $('tok-name').value.trim(), role: $('tok-role').value.trim(), expires });
  if (!r.ok || !r.json || !r.json.token) return say('tok-msg', r.error, false);
  $('tok-value').textContent = r.json.token;
  $('tok-new').hidden = false;
  say('tok-msg', `Токен «${$('tok-name').value.trim()}» створено`, true);
  $('tok-name').value = '';
  loadTokens();
}

async function copyToken() {
  const text = $('tok-value').textContent;
  try {
    await navigator.clipboard.writeText(text);
  } catch (e) {
    const range = document.createRange();
    range.selectNodeContents($('tok-value'));
    getSelection().removeAllRanges();
    getSelection().addRange(range);
    document.execCommand('copy');
  }
  say('tok-msg', 'Скопійовано. Збережіть токен у надійному місці.', true);
}

engTab('tokens', {
  init() {
    $('tok-refresh').addEventListener('click', loadTokens);
    $('tok-form').addEventListener('submit', createToken);
    $('tok-copy').addEventListener('click', copyToken);
    $('tok-hide').addEventListener('click', hideNewToken);
  },
  show: loadTokens,
  leave: hideNewToken,  // a new token is shown once, never again
});

// ---- Channels and PLC groups ----

const CH_NUMERIC = ['code_min', 'code_max', 'el_min', 'el_max', 'phys_min', 'phys_max'];
const CH_COLUMNS = {
  a: ['name', 'desc', 'unit', 'code_min', 'code_max', 'el_min', 'el_max', 'el_unit', 'phys_min', 'phys_max',
    'equipment', 'loop', 'device_type', 'area', 'plc_tag', 'group'],
  d: ['name', 'desc', 'phys_min', 'phys_max', 'equipment', 'loop', 'device_type', 'area', 'plc_tag', 'group'],
};
const CH_READONLY = ['plc_tag', 'group'];
const CH_LABELS = {
  name: 'Ім\'я', desc: 'Опис', unit: 'Од.', code_min: 'Код мін', code_max: 'Код макс', el_min: 'Ел. мін',
  el_max: 'Ел. макс', el_unit: 'Ел. од.', phys_min: 'Фіз. мін', phys_max: 'Фіз. макс', equipment: 'Обладнання',
  loop: 'Контур', device_type: 'Тип приладу', area: 'Ділянка', plc_tag: 'Тег ПЛК', group: 'Група',
};
const ch = { which: 'a', rows: [], capacity: 1 };

function channelRow(row) {
  const tr = el('tr');
  const markChanged = () => { row._changed = true; tr.classList.add('changed'); };
  const nn = el('input', { value: row.nn, type: 'number', min: 1, max: 32767, disabled: !row._new });
  nn.addEventListener('input', () => { row.nn = Number(nn.value); markChanged(); });
  tr.append(el('td', {}, nn));
  for (const c of CH_COLUMNS[ch.which]) {
    const inp = el('input', { value: row[c] == null ? '' : row[c], disabled: CH_READONLY.includes(c) });
    if (CH_NUMERIC.includes(c)) inp.inputMode = 'decimal';
    else inp.className = c === 'desc' ? 'wide' : 'text';
    inp.addEventListener('input', () => { row[c] = inp.value; markChanged(); });
    tr.append(el('td', {}, inp));
  }
  if (row._changed) tr.classList.add('changed');
  return tr;
}

function renderChannels() {
  $('ch-head').replaceChildren(el('tr', {}, el('th', { textContent: 'nn' }),
    ...CH_COLUMNS[ch.which].map((c) => el('th', { textContent: CH_LABELS[c] || c, title: c }))));
  $('ch-body').replaceChildren(...ch.rows.map(channelRow));
}

async function loadChannels() {
  const which = $('ch-file').value;
  const r = await api('GET', 'channels?file=' + which);
  if (!r.json || !Array.isArray(r.json.rows)) return say('ch-msg', r.error, false);
  ch.which = which;
  ch.rows = r.json.rows;
  ch.capacity = r.json.capacity || 1;
  renderChannels();
  say('ch-msg', `Каналів: ${ch.rows.length}`, true);
}

function addChannel() {
  const top = ch.rows.reduce((m, r) => Math.max(m, Number(r.nn) || 0), ch.capacity - 1);
  const row = { nn: top + 1, _new: true, _changed: true };
  ch.rows.push(row);
  $('ch-body').append(channelRow(row));
}

async function saveChannels() {
  const changed = ch.rows.filter((r) => r._changed);
  if (!changed.length) return say('ch-msg', 'Змін немає', true);
  const rows = changed.map((r) => {
    const out = { nn: Number(r.nn) };
    for (const c of CH_COLUMNS[ch.which]) {
      if (CH_READONLY.includes(c) || r[c] == null) continue;
      out[c] = CH_NUMERIC.includes(c) ? Number(String(r[c]).replace(',', '.')) : String(r[c]);
    }
    return out;
  });
  const r = await api('POST', 'save?file=' + ch.which, { rows });
  say('ch-msg', r.ok ? r.error + ' — натисніть «Застосувати», щоб супервізор прийняв зміни' : r.error, r.ok);
  if (r.ok) for (const row of changed) { row._changed = false; row._new = false; }
  if (r.ok) renderChannels();
}

async function applyChannels() {
  const r = await api('POST', 'notify-scales', {});
  say('ch-msg', r.error, r.ok);
}

async function loadGroups() {
  const r = await api('GET', 'logix-groups');
  const body = $('grp-body');
  body.replaceChildren();
  if (!r.ok || !Array.isArray(r.json)) return say('grp-msg', r.error, false);
  for (const g of r.json) {
    const ip = el('input', { value: g.ipaddr || '' });
    const path = el('input', { value: g.connpath || '' });
    const takt = el('input', { value: g.takt, type: 'number', min: 1 });
    const save = el('button', { type: 'button', textContent: 'Зберегти' });
    save.addEventListener('click', async () => {
      const res = await api('POST', 'logix-group?id=' + encodeURIComponent(g.id),
        { ipaddr: ip.value.trim(), connpath: path.value, takt: Number(takt.value) });
      say('grp-msg', res.error, res.ok);
    });
    body.append(el('tr', {}, el('td', { className: 'num', textContent: g.id }), el('td', {}, ip),
      el('td', {}, path), el('td', {}, takt), el('td', {}, save)));
  }
  if (!r.json.length) say('grp-msg', 'У config.yaml немає груп logix', true);
}

engTab('channels', {
  init() {
    $('ch-load').addEventListener('click', loadChannels);
    $('ch-file').addEventListener('change', loadChannels);
    $('ch-add').addEventListener('click', addChannel);
    $('ch-save').addEventListener('click', saveChannels);
    $('ch-apply').addEventListener('click', applyChannels);
    $('grp-load').addEventListener('click', loadGroups);
    loadChannels();
  },
  show: loadGroups,
});

// ---- Web pages: version, deploy, download, snapshots, rollback ----

async function loadWww() {
  const v = await api('GET', 'www/version');
  $('www-version').textContent = v.ok && v.json ? `Версія ${v.json.version}, файлів: ${v.json.files}` : v.error;
  const r = await api('GET', 'www/snapshots');
  const body = $('www-snaps');
  body.replaceChildren();
  if (!r.ok || !Array.isArray(r.json)) return;
  for (const s of r.json) {
    const back = el('button', { type: 'button', className: 'danger', textContent: 'Відкотити' });
    back.addEventListener('click', () => rollback(s.id));
    body.append(el('tr', {}, el('td', { textContent: s.id }), el('td', { className: 'num', textContent: fmtSize(s.size) }),
      el('td', { className: 'num', textContent: fmtTime(s.mtime) }), el('td', {}, back)));
  }
  if (!r.json.length) body.append(el('tr', {}, el('td', { colSpan: 4, textContent: 'Знімків ще немає' })));
}

async function deployWww() {
  const file = $('www-file').files[0];
  if (!file) return say('www-msg', 'Оберіть ZIP-архів', false);
  const dir = $('www-dir').value.trim();
  const where = dir ? `у підтеку «${dir}»` : 'у корінь сторінок';
  if (!confirm(`Розгорнути «${file.name}» ${where}? Поточні сторінки буде збережено у знімок.`)) return;
  say('www-msg', 'Розгортання…', true);
  const r = await api('POST', 'www/deploy' + (dir ? '?dir=' + encodeURIComponent(dir) : ''), await file.arrayBuffer());
  if (r.ok && r.json) {
    say('www-msg', `Розгорнуто файлів: ${r.json.files} (${r.json.dir}); попередні сторінки — у знімку ${r.json.snapshot}`, true);
    $('www-file').value = '';
  } else {
    say('www-msg', r.error, false);
  }
  loadWww();
}

async function rollback(id) {
  const q = id ? `Відкотити сторінки до знімка ${id}?` : 'Відкотити сторінки до останнього знімка?';
  if (!confirm(q + ' Поточні сторінки буде збережено у новий знімок.')) return;
  const r = await api('POST', 'www/rollback', { id: id || '' });
  say('www-msg', r.ok && r.json ? `Відновлено знімок ${r.json.restored}; попередній стан — у знімку ${r.json.safety}` : r.error, r.ok);
  loadWww();
}

async function pullWww() {
  const r = await api('GET', 'www/pull', undefined, { blob: true });
  if (!r.ok || !r.blob) return say('www-msg', r.error, false);
  const a = el('a', { href: URL.createObjectURL(r.blob), download: 'www.zip' });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

engTab('www', {
  init() {
    $('www-refresh').addEventListener('click', loadWww);
    $('www-deploy').addEventListener('click', deployWww);
    $('www-pull').addEventListener('click', pullWww);
    $('www-rollback-last').addEventListener('click', () => rollback(''));
  },
  show: loadWww,
});

// ---- start ----

$('login-form').addEventListener('submit', login);
$('logout').addEventListener('click', () => logout(''));
for (const r of document.querySelectorAll('input[name=login-kind]')) {
  r.addEventListener('change', () => {
    $('login-secret').placeholder = $('login-kind-token').checked ? 'Особистий токен (64 символи)' : 'Пароль';
  });
}
if (auth) {
  api('GET', 'whoami').then((r) => { if (r.status !== 401) enterApp(r.json && r.json.ok ? r.json : null); });
}
