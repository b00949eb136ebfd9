'use strict';
// Backups tab: the supervisor's daily archive settings, a request for an
// archive now (the list is watched until it appears), downloads, and the
// server's quick copies of config.yaml and channels.json with restore.

const bk = { names: new Set(), watch: 0 };

function bkFillSettings(j) {
  $('bk-enabled').checked = !!j.enabled;
  $('bk-schedule').value = j.schedule || '02:00';
  $('bk-keep').value = j.keep || 30;
  $('bk-dir').textContent = j.dir || '';
}

// Reloads settings and archives; with keepForm the engineer's unsaved
// entries in the form stay as they are.
async function loadBackups(keepForm) {
  const r = await api('GET', 'backup');
  if (!r.ok || !r.json) {
    say('bk-msg', r.error, false);
    return null;
  }
  if (!keepForm) bkFillSettings(r.json);
  const list = $('bk-list');
  list.replaceChildren();
  const backups = r.json.backups || [];
  for (const b of backups) {
    const get = el('button', { type: 'button', className: 'light', textContent: 'Завантажити' });
    get.addEventListener('click', () => downloadBackup(b.name));
    list.append(el('tr', {}, el('td', { textContent: b.name }), el('td', { textContent: fmtSize(b.size) }),
      el('td', { textContent: fmtTime(b.mtime) }), el('td', {}, get)));
  }
  if (!backups.length) list.append(el('tr', {}, el('td', { colSpan: 4, textContent: 'Архівів ще немає' })));
  return backups;
}

async function saveBackupSettings(ev) {
  ev.preventDefault();
  const schedule = $('bk-schedule').value.trim();
  if (!/^\d{1,2}:\d{1,2}$/.test(schedule)) return say('bk-msg', 'Розклад має бути ГГ:ХХ (00:00..23:59)', false);
  const body = { enabled: $('bk-enabled').checked, schedule, keep: $('bk-keep').value.trim() };
  const r = await api('POST', 'backup/config', body);
  say('bk-msg', r.ok ? 'Налаштування збережено' : r.error, r.ok);
  if (r.ok) loadBackups(false);
}

// Asks the supervisor for an archive, then looks at the list every 2 s for
// up to two minutes until a new one shows up.
async function backupNow() {
  const before = await loadBackups(true);
  bk.names = new Set((before || []).map((b) => b.name));
  const r = await api('POST', 'backup/now');
  if (!r.ok) return say('bk-msg', r.error, false);
  say('bk-msg', 'Архів створюється…', true);
  const watch = ++bk.watch;
  for (let i = 0; i < 60 && watch === bk.watch; i++) {
    await new Promise((res) => setTimeout(res, 2000));
    const now = await loadBackups(true);
    const fresh = (now || []).find((b) => !bk.names.has(b.name));
    if (fresh) return say('bk-msg', `Архів створено: ${fresh.name} (${fmtSize(fresh.size)})`, true);
  }
  if (watch === bk.watch) say('bk-msg', 'Архів не з’явився за 2 хв — перевірте журнал zqsup', false);
}

async function downloadBackup(name) {
  const r = await api('GET', 'backup/get?f=' + encodeURIComponent(name), undefined, { blob: true });
  if (!r.ok || !r.blob) return say('bk-msg', r.error, false);
  const a = el('a', { href: URL.createObjectURL(r.blob), download: name });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  say('bk-msg', `Завантажено: ${name} (${r.blob.size} байт)`, true);
}

async function loadStamps() {
  const r = await api('GET', 'backups');
  const body = $('bk-stamps');
  body.replaceChildren();
  if (!r.ok || !Array.isArray(r.json)) return say('bk-copy-msg', r.error, false);
  for (const s of r.json) {
    const restore = el('button', { type: 'button', className: 'danger', textContent: 'Відновити' });
    restore.addEventListener('click', () => restoreStamp(s));
    body.append(el('tr', {}, el('td', { textContent: s.display }), el('td', {}, restore)));
  }
  if (!r.json.length) body.append(el('tr', {}, el('td', { colSpan: 2, textContent: 'Копій ще немає' })));
}

async function quickCopy() {
  const r = await api('POST', 'backup');
  say('bk-copy-msg', r.error, r.ok);
  loadStamps();
}

async function restoreStamp(s) {
  if (!confirm(`Відновити config.yaml і channels.json з копії ${s.display}? Поточні файли буде збережено поруч (.pre_…).`)) return;
  const r = await api('POST', 'restore', { stamp: s.stamp });
  say('bk-copy-msg', r.ok ? r.error + '. Щоб програми їх прочитали: «Перечитати конфігурацію» на вкладці «Стан».' : r.error, r.ok);
}

engTab('backup', {
  init() {
    $('bk-settings').addEventListener('submit', saveBackupSettings);
    $('bk-now').addEventListener('click', backupNow);
    $('bk-refresh').addEventListener('click', () => loadBackups(true));
    $('bk-quick').addEventListener('click', quickCopy);
  },
  show() {
    loadBackups(false);
    loadStamps();
  },
  leave() { bk.watch++; },
});
