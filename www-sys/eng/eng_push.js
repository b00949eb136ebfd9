'use strict';
// Trend push tab: each trend server's state as zqtrend reports it, the
// servers' tokens (sent once, never shown back), back-fill requests for past
// days and the list of servers in config.yaml. Uses the helpers of eng.js.

const push = { dests: [], cfg: [], timer: 0 };

// Status older than this means zqtrend has stopped writing it.
const PUSH_STALE_MS = 30000;

function pushBytes(n) {
  n = Number(n) || 0;
  if (n >= 1073741824) return (n / 1073741824).toFixed(1) + ' ГіБ';
  return fmtSize(n);
}

function pushYmd(n) {
  const s = String(n || '');
  return s.length === 8 ? `${s.slice(0, 4)}-${s.slice(4, 6)}-${s.slice(6, 8)}` : '';
}

function pushState(d) {
  if (!d.seen) return ['off', 'немає даних від zqtrend'];
  if (d.blocked) return ['off', 'заблоковано: сервер відмовив (перевірте токен)'];
  if (d.up) return ['on', 'працює'];
  return ['off', 'немає зв\'язку'];
}

function pushBackfillText(b) {
  if (!b || (!b.active && !b.total)) return '—';
  const counts = `передано ${b.pushed}, повних ${b.complete}, пропущено ${b.skipped}, конфліктів ${b.conflict}`;
  if (b.active) return `іде: ${b.done} з ${b.total} днів (зараз ${pushYmd(b.cur)}); ${counts}; ${pushBytes(b.bytes)}`;
  return `завершено ${b.done} з ${b.total} днів; ${counts}; ${pushBytes(b.bytes)}`;
}

function pushRow(d) {
  const [cls, text] = pushState(d);
  const token = d.has_token ? 'збережено ' + (d.token_hint || '') : d.config_token ? 'лише в config.yaml' : 'немає';
  const space = d.remote_total ? `${pushBytes(d.remote_free)} вільно з ${pushBytes(d.remote_total)}` : '';
  return el('tr', {},
    el('td', { className: 'cmd', textContent: d.url + (d.deflate ? ' (deflate)' : '') }),
    el('td', { className: 'state ' + cls, textContent: text }),
    el('td', { className: 'num', textContent: d.seen ? pushBytes(d.lag_bytes) : '' }),
    el('td', { className: 'num', textContent: d.last_ok_ms ? new Date(d.last_ok_ms).toLocaleString('uk-UA') : '' }),
    el('td', { className: 'num', textContent: d.seen ? String(d.fail_streak) : '' }),
    el('td', { className: 'num', textContent: space }),
    el('td', { textContent: token.trim() }),
    el('td', { textContent: pushBackfillText(d.bf) }));
}

// Keeps the chosen entry of a server list when the list is rebuilt.
function pushFillSelect(id, urls) {
  const sel = $(id);
  const was = sel.value;
  sel.replaceChildren(...urls.map((u) => el('option', { value: u, textContent: u })));
  if (urls.includes(was)) sel.value = was;
}

async function pushLoad() {
  const r = await api('GET', 'push');
  const body = $('push-dests');
  if (!r.ok || !r.json || !Array.isArray(r.json.dests)) {
    body.replaceChildren();
    $('push-updated').textContent = r.error;
    return null;
  }
  const s = r.json;
  push.dests = s.dests;
  body.replaceChildren(...s.dests.map(pushRow));
  if (!s.dests.length) {
    body.append(el('tr', {}, el('td', { colSpan: 8, textContent: 'Сервери трендів не задано — додайте їх нижче' })));
  }
  const age = s.status_ms ? s.now_ms - s.status_ms : 0;
  $('push-updated').className = age > PUSH_STALE_MS ? 'off' : '';
  $('push-updated').textContent = !s.status_ms ? 'zqtrend ще не звітував'
    : age > PUSH_STALE_MS ? `стан застарів: оновлено ${new Date(s.status_ms).toLocaleString('uk-UA')}`
      : `оновлено ${new Date(s.status_ms).toLocaleTimeString('uk-UA')}`;
  const warn = $('push-warn');
  warn.hidden = s.v2 || !s.dests.length;
  warn.textContent = 'Основна тека трендів пише не версію 2 (mainpath_format: 2) — zqtrend нічого не передає.';
  $('push-local').textContent = !s.mainpath ? 'Основна тека трендів (mainpath_linux) не задана'
    : s.local_total ? `Локальна тека ${s.mainpath}: вільно ${pushBytes(s.local_free)} з ${pushBytes(s.local_total)}`
      : `Локальна тека ${s.mainpath} недоступна`;
  const urls = s.dests.map((d) => d.url);
  pushFillSelect('push-token-url', urls);
  pushFillSelect('push-bf-url', urls);
  const q = s.backfill_request;
  say('push-bf-pending', q ? `Очікує zqtrend: ${q.url}, ${pushYmd(q.from)} — ${pushYmd(q.to)}${q.verify ? ', з перевіркою CRC' : ''}` : '', true);
  return s;
}

// ---- settings: the servers of trends.push ----

function pushCfgRow(d) {
  const url = el('input', { value: d.url, className: 'wide' });
  url.dataset.key = 'url';
  url.addEventListener('input', () => { d.url = url.value.trim(); });
  const def = el('input', { type: 'checkbox', checked: !!d.deflate });
  def.dataset.key = 'deflate';
  def.addEventListener('change', () => { d.deflate = def.checked; });
  const del = el('button', { type: 'button', className: 'danger', textContent: 'Прибрати' });
  const tr = el('tr', {}, el('td', {}, url), el('td', {}, def), el('td', {}, del));
  del.addEventListener('click', () => {
    push.cfg = push.cfg.filter((x) => x !== d);
    tr.remove();
  });
  return tr;
}

function pushCfgRender() {
  $('push-cfg').replaceChildren(...push.cfg.map(pushCfgRow));
}

function pushCfgAdd() {
  if (push.cfg.length >= 2) return say('push-cfg-msg', 'zqtrend передає щонайбільше на два сервери', false);
  const d = { url: 'http://', deflate: false };
  push.cfg.push(d);
  const tr = pushCfgRow(d);
  $('push-cfg').append(tr);
  tr.querySelector('input').focus();
}

async function pushCfgSave() {
  if (!confirm('Зберегти сервери трендів у config.yaml? zqtrend буде перезапущено.')) return;
  const r = await api('POST', 'push/settings', { dests: push.cfg.map((d) => ({ url: d.url, deflate: d.deflate })) });
  say('push-cfg-msg', r.error, r.ok);
  if (!r.ok) return;
  const s = await pushLoad();
  if (s) {
    push.cfg = s.dests.map((d) => ({ url: d.url, deflate: d.deflate }));
    pushCfgRender();
  }
}

// ---- token and back-fill ----

async function pushTokenSave(ev) {
  ev.preventDefault();
  const url = $('push-token-url').value;
  if (!url) return say('push-token-msg', 'Спершу додайте сервер трендів', false);
  const r = await api('POST', 'push/token', { url, token: $('push-token').value });
  say('push-token-msg', r.error, r.ok);
  if (r.ok) $('push-token').value = '';
  pushLoad();
}

async function pushTokenDel() {
  const url = $('push-token-url').value;
  if (!url || !confirm(`Видалити токен сервера ${url}? zqtrend буде перезапущено.`)) return;
  const r = await api('POST', 'push/token/del', { url });
  say('push-token-msg', r.error, r.ok);
  pushLoad();
}

async function pushBackfill(ev) {
  ev.preventDefault();
  const url = $('push-bf-url').value;
  const from = $('push-bf-from').value.replaceAll('-', '');
  const to = $('push-bf-to').value.replaceAll('-', '');
  if (!url) return say('push-bf-msg', 'Спершу додайте сервер трендів', false);
  const r = await api('POST', 'push/backfill', { url, from, to, verify: $('push-bf-verify').checked });
  say('push-bf-msg', r.error, r.ok);
  pushLoad();
}

engTab('push', {
  init() {
    $('push-refresh').addEventListener('click', pushLoad);
    $('push-token-form').addEventListener('submit', pushTokenSave);
    $('push-token-del').addEventListener('click', pushTokenDel);
    $('push-bf-form').addEventListener('submit', pushBackfill);
    $('push-add').addEventListener('click', pushCfgAdd);
    $('push-save').addEventListener('click', pushCfgSave);
    pushLoad().then((s) => {
      push.cfg = s ? s.dests.map((d) => ({ url: d.url, deflate: d.deflate })) : [];
      pushCfgRender();
    });
  },
  show() {
    pushLoad();
    clearInterval(push.timer);
    push.timer = setInterval(pushLoad, 5000);
  },
  leave() { clearInterval(push.timer); },
});
