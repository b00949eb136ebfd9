'use strict';
// Updates tab: upload a distribution (.run) or fetch the newest one from the
// update server, follow the updater's status file, list the installation
// snapshots and roll back to one. The updater runs detached; the page only
// polls update/status while it works.

const upd = { timer: 0, before: '', waiting: false, since: 0 };

const UPD_STATES = { none: 'оновлень ще не було', running: 'виконується', ok: 'готово', error: 'помилка' };

function updShowStatus(s) {
  const state = $('upd-state');
  state.textContent = UPD_STATES[s.state] || String(s.state || '');
  state.className = s.state === 'error' ? 'off' : (s.state === 'ok' ? 'on' : '');
  $('upd-step').textContent = s.step || '';
  $('upd-status-msg').textContent = s.msg || '';
  $('upd-version').textContent = s.version || '';
  $('upd-ts').textContent = fmtTime(s.ts);
}

// Reads the status; while an update started from this page has not
// finished yet (the file still shows the previous run, or "running"), asks
// again in a second.
async function updLoadStatus() {
  clearTimeout(upd.timer);
  const r = await api('GET', 'update/status');
  if (!r.json) return say('upd-msg', r.error, false);
  updShowStatus(r.json);
  const fresh = r.text !== upd.before;
  // An updater that never wrote a status (refused at once) is not waited
  // for beyond a minute.
  if (upd.waiting && !fresh && Date.now() - upd.since > 60000) {
    upd.waiting = false;
    say('upd-msg', 'Програма оновлення не відповіла — перевірте журнал /var/log/zqupdate.log', false);
  }
  const busy = r.json.state === 'running' || (upd.waiting && !fresh);
  if (upd.waiting && fresh && r.json.state !== 'running') {
    upd.waiting = false;
    say('upd-msg', r.json.msg || '', r.json.state === 'ok');
    updLoadSnapshots();
  }
  if (busy) upd.timer = setTimeout(updLoadStatus, 1000);
}

// Remembers the status as it was, so that the answer of the run started
// next can be told from it.
async function updBeforeStart() {
  const r = await api('GET', 'update/status');
  upd.before = r.text;
}

function updStarted(r) {
  say('upd-msg', r.error, r.ok);
  if (!r.ok) return;
  upd.waiting = true;
  upd.since = Date.now();
  updLoadStatus();
}

async function updUpload() {
  const file = $('upd-file').files[0];
  if (!file) return say('upd-msg', 'Оберіть файл дистрибутива (.run)', false);
  const full = $('upd-mode').value === 'full';
  const what = full ? 'повне оновлення стека (сервіси буде перезапущено)' : 'оновлення системних веб-сторінок';
  if (!confirm(`Запустити ${what} з «${file.name}»? Поточний стан буде збережено у знімок.`)) return;
  say('upd-msg', 'Надсилання файла…', true);
  await updBeforeStart();
  const r = await api('POST', 'update' + (full ? '?mode=full' : ''), await file.arrayBuffer());
  if (r.ok) $('upd-file').value = '';
  updStarted(r);
}

async function updCheck() {
  say('upd-check-msg', 'Запит до сервера оновлень…', true);
  $('upd-pull').disabled = true;
  const r = await api('GET', 'update/check');
  if (!r.ok || !r.json) return say('upd-check-msg', r.error, false);
  const c = r.json;
  const cur = `Встановлено ${c.current_version} (${c.current_built})`;
  const late = `на сервері ${c.latest_version} (${c.latest_built}, ${c.file}, ${fmtSize(Number(c.size) || 0)})`;
  say('upd-check-msg', `${cur}; ${late}. ` + (c.newer ? 'Є новіша версія.' : 'Оновлення не потрібне.'), true);
  $('upd-pull').disabled = !c.newer;
}

async function updPull() {
  if (!confirm('Завантажити новішу версію з сервера оновлень і встановити її? Сервіси буде перезапущено.')) return;
  say('upd-msg', 'Завантаження з сервера оновлень…', true);
  await updBeforeStart();
  updStarted(await api('POST', 'update/pull'));
}

async function updRollback(name) {
  if (!confirm(`Відкотити встановлення до знімка ${name}? Поточний стан буде збережено у новий знімок, сервіси буде перезапущено.`)) return;
  await updBeforeStart();
  updStarted(await api('POST', 'update/rollback', { snapshot: name }));
}

async function updLoadSnapshots() {
  const r = await api('GET', 'update/snapshots');
  const body = $('upd-snaps');
  body.replaceChildren();
  if (!r.ok || !r.json || !Array.isArray(r.json.snapshots)) return say('upd-snaps-msg', r.error, false);
  say('upd-snaps-msg', '');
  for (const s of r.json.snapshots) {
    const back = el('button', { type: 'button', className: 'danger', textContent: 'Відкотити' });
    back.addEventListener('click', () => updRollback(s.name));
    body.append(el('tr', {}, el('td', { textContent: s.name }), el('td', { className: 'num', textContent: fmtSize(s.size) }),
      el('td', { className: 'num', textContent: fmtTime(s.mtime) }), el('td', {}, back)));
  }
  if (!r.json.snapshots.length) body.append(el('tr', {}, el('td', { colSpan: 4, textContent: 'Знімків ще немає' })));
}

engTab('update', {
  init() {
    $('upd-upload').addEventListener('click', updUpload);
    $('upd-check').addEventListener('click', updCheck);
    $('upd-pull').addEventListener('click', updPull);
    $('upd-status-refresh').addEventListener('click', updLoadStatus);
    $('upd-snaps-refresh').addEventListener('click', updLoadSnapshots);
  },
  show() {
    updLoadStatus();
    updLoadSnapshots();
  },
  leave() { clearTimeout(upd.timer); },
});
