'use strict';
// MQTT tab: the bridge's state, its broker settings and the map mqtt.json
// (publications, subscriptions, value requests). Uses the helpers of eng.js.
// Rows are the map's own objects edited in place, so members this page does
// not show survive a save.

const mq = { map: {}, pub: [], sub: [] };

const MQ_STATUS_LABELS = [
  ['broker', 'Брокер'], ['tls', 'TLS'], ['client_id', 'Client id'], ['prefix', 'Префікс'],
  ['pub_sent', 'Надіслано публікацій'], ['sub_rx', 'Отримано підписок'], ['get_answered', 'Відповідей на get'],
  ['report_sent', 'Надіслано звітів'], ['n_pub', 'Публікацій у карті'], ['n_sub', 'Підписок у карті'],
  ['ts', 'Оновлено'],
];

async function mqLoadStatus() {
  const r = await api('GET', 'mqtt/status');
  const body = $('mq-status');
  body.replaceChildren();
  const state = $('mq-state');
  if (!r.ok || !r.json) {
    state.className = 'off';
    state.textContent = r.error;
    return;
  }
  const s = r.json;
  state.className = s.connected ? 'on' : 'off';
  state.textContent = s.connected ? 'підключено' : 'не підключено';
  for (const [k, label] of MQ_STATUS_LABELS) {
    let v = s[k];
    if (k === 'ts') v = v ? new Date(Number(v)).toLocaleString('uk-UA') : '';
    if (k === 'tls') v = v ? 'так' : 'ні';
    body.append(el('tr', {}, el('th', { textContent: label }), el('td', { className: 'num', textContent: String(v ?? '') })));
  }
}

async function mqLoadSettings() {
  const r = await api('GET', 'mqtt/settings');
  if (!r.ok || !r.json) return say('mq-settings-msg', r.error, false);
  const s = r.json;
  $('mq-broker').value = s.broker || '';
  $('mq-ca-file').value = s.ca_file || '';
  $('mq-tls-insecure').checked = !!s.tls_insecure;
  $('mq-client-id').value = s.client_id || '';
  $('mq-user').value = s.user || '';
  $('mq-pass').value = '';
  $('mq-pass').placeholder = s.pass_set ? 'збережено (порожньо — без змін)' : '';
  $('mq-pass-clear').checked = false;
  $('mq-prefix').value = s.prefix || '';
  $('mq-dir').value = s.dir || '';
  $('mq-keepalive').value = s.keepalive_s || '';
  $('mq-takt').value = s.takt_ms || '';
  say('mq-settings-msg', s.has ? '' : 'У config.yaml немає секції mqtt — збереження її створить', !!s.has);
}

async function mqSaveSettings(ev) {
  ev.preventDefault();
  const body = {
    broker: $('mq-broker').value.trim(), ca_file: $('mq-ca-file').value.trim(),
    tls_insecure: $('mq-tls-insecure').checked, client_id: $('mq-client-id').value.trim(),
    user: $('mq-user').value, pass: $('mq-pass').value, pass_clear: $('mq-pass-clear').checked,
    prefix: $('mq-prefix').value.trim(), dir: $('mq-dir').value.trim(),
    keepalive_s: $('mq-keepalive').value.trim(), takt_ms: $('mq-takt').value.trim(),
  };
  const r = await api('POST', 'mqtt/settings', body);
  say('mq-settings-msg', r.error, r.ok);
  if (r.ok) mqLoadSettings().then(() => say('mq-settings-msg', r.error, true));
}

async function mqLoadTags() {
  const r = await api('GET', 'mqtt/tags');
  if (!r.ok || !r.json || !Array.isArray(r.json.tags)) return;
  $('mq-tags').replaceChildren(...r.json.tags.flatMap((t) => [
    el('option', { value: t.id, label: t.name }),
    ...(t.name ? [el('option', { value: t.name, label: t.id })] : []),
  ]));
}

// One editable cell bound to a member of the row; numbers are kept as
// numbers, an empty field drops the member (the bridge's default applies).
function mqField(row, key, kind) {
  const inp = el('input', { value: row[key] == null ? '' : String(row[key]) });
  if (kind === 'num') inp.inputMode = 'decimal';
  else inp.className = key === 'topic' ? 'wide' : 'text';
  if (key === 'tag') inp.setAttribute('list', 'mq-tags');
  inp.dataset.key = key;
  inp.addEventListener('input', () => {
    const v = inp.value.trim();
    if (kind !== 'num') row[key] = inp.value;
    else if (v === '') delete row[key];
    else row[key] = Number(v.replace(',', '.'));
  });
  return el('td', {}, inp);
}

function mqRow(list, row, numKeys) {
  const tr = el('tr', { id: 'mq-' + list + '-row-' + row.id });
  const en = el('input', { type: 'checkbox', checked: row.enabled !== false && row.enabled !== 0 });
  en.addEventListener('change', () => { row.enabled = en.checked; });
  const qos = el('select', {}, el('option', { value: '0', textContent: '0' }), el('option', { value: '1', textContent: '1' }));
  qos.value = row.qos ? '1' : '0';
  qos.addEventListener('change', () => { row.qos = Number(qos.value); });
  tr.append(el('td', { className: 'num', textContent: row.id }), el('td', {}, en), mqField(row, 'tag'),
    mqField(row, 'topic'), el('td', {}, qos));
  if (list === 'pub') {
    const retain = el('input', { type: 'checkbox', checked: !!row.retain });
    retain.addEventListener('change', () => { row.retain = retain.checked; });
    tr.append(el('td', {}, retain));
  }
  for (const k of numKeys) tr.append(mqField(row, k, 'num'));
  const del = el('button', { type: 'button', className: 'danger', textContent: 'Видалити' });
  del.addEventListener('click', () => {
    mq[list] = mq[list].filter((r) => r !== row);
    tr.remove();
  });
  tr.append(el('td', {}, del));
  return tr;
}

function mqRender() {
  $('mq-pub').replaceChildren(...mq.pub.map((r) => mqRow('pub', r, ['deadband', 'min_ms', 'max_ms'])));
  $('mq-sub').replaceChildren(...mq.sub.map((r) => mqRow('sub', r, ['stale_ms'])));
  const g = mq.map.get && typeof mq.map.get === 'object' ? mq.map.get : {};
  $('mq-get-enabled').checked = g.enabled !== false;
  $('mq-get-allow').value = Array.isArray(g.allow) ? g.allow.join(', ') : '';
}

// Every row gets an explicit id (its position when it had none, as the
// bridge counts) so that the check's messages point at the row.
function mqTakeList(v) {
  const rows = Array.isArray(v) ? v.filter((e) => e && typeof e === 'object') : [];
  rows.forEach((r, i) => { if (typeof r.id !== 'number') r.id = i + 1; });
  return rows;
}

async function mqLoadMap() {
  const r = await api('GET', 'mqtt');
  if (!r.ok || !r.json || typeof r.json !== 'object') return say('mq-msg', r.error || 'mqtt.json не читається', false);
  mq.map = r.json;
  mq.pub = mqTakeList(mq.map.pub);
  mq.sub = mqTakeList(mq.map.sub);
  $('mq-errors').replaceChildren();
  mqRender();
  say('mq-msg', `Публікацій: ${mq.pub.length}, підписок: ${mq.sub.length}`, true);
}

function mqAdd(list) {
  const top = mq[list].reduce((m, r) => Math.max(m, Number(r.id) || 0), 0);
  const row = { id: top + 1, tag: '', topic: '', enabled: true };
  mq[list].push(row);
  const tr = mqRow(list, row, list === 'pub' ? ['deadband', 'min_ms', 'max_ms'] : ['stale_ms']);
  $('mq-' + list).append(tr);
  tr.querySelector('input[data-key=tag]').focus();
}

function mqMarkErrors(errors) {
  for (const tr of document.querySelectorAll('#mq-pub tr, #mq-sub tr')) tr.classList.remove('changed');
  $('mq-errors').replaceChildren(...errors.map((e) => {
    const li = el('li', { className: 'err', textContent: (e.id ? `id ${e.id}: ` : '') + e.msg });
    const list = String(e.msg).startsWith('sub') ? 'sub' : 'pub';
    const tr = $('mq-' + list + '-row-' + e.id);
    if (tr) {
      tr.classList.add('changed');
      li.addEventListener('click', () => tr.querySelector('input[data-key=tag]').focus());
    }
    return li;
  }));
}

async function mqSaveMap() {
  for (const list of ['pub', 'sub']) {
    for (const r of mq[list]) {
      for (const k of ['deadband', 'min_ms', 'max_ms', 'stale_ms']) {
        if (k in r && !Number.isFinite(r[k])) return say('mq-msg', `${list} id ${r.id}: ${k} — не число`, false);
      }
    }
  }
  const allow = $('mq-get-allow').value.split(',').map((s) => s.trim()).filter((s) => s);
  const get = Object.assign({}, mq.map.get && typeof mq.map.get === 'object' ? mq.map.get : {},
    { enabled: $('mq-get-enabled').checked, allow });
  const map = Object.assign({ version: 1 }, mq.map, { pub: mq.pub, sub: mq.sub, get });
  const r = await api('POST', 'mqtt', map);
  if (r.json && Array.isArray(r.json.errors)) {
    mqMarkErrors(r.json.errors);
    return say('mq-msg', `Карту не збережено: помилок ${r.json.errors.length}`, false);
  }
  if (!r.ok) return say('mq-msg', r.error, false);
  mq.map = map;
  mqMarkErrors([]);
  say('mq-msg', 'Збережено — натисніть «Застосувати», щоб zqmqtt перечитав карту', true);
}

async function mqReload() {
  if (!confirm('Надіслати zqmqtt сигнал перечитати карту? Збережена карта набуде чинності.')) return;
  const r = await api('POST', 'sys/reload-module', { name: 'zqmqtt' });
  say('mq-msg', r.error, r.ok);
  if (r.ok) setTimeout(mqLoadStatus, 2500);
}

engTab('mqtt', {
  init() {
    $('mq-status-refresh').addEventListener('click', mqLoadStatus);
    $('mq-settings').addEventListener('submit', mqSaveSettings);
    $('mq-load').addEventListener('click', mqLoadMap);
    $('mq-save').addEventListener('click', mqSaveMap);
    $('mq-reload').addEventListener('click', mqReload);
    $('mq-pub-add').addEventListener('click', () => mqAdd('pub'));
    $('mq-sub-add').addEventListener('click', () => mqAdd('sub'));
    mqLoadSettings();
    mqLoadMap();
  },
  show() {
    mqLoadStatus();
    mqLoadTags();
  },
});
