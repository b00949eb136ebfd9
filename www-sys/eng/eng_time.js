'use strict';
// Time tab: the host's time zone, NTP synchronisation and clock. The server
// has zqnet make the changes; a zone change also stores the zone's standard
// offset for the PLC clocks.

async function tmLoad() {
  const r = await api('GET', 'sys/time-config');
  const body = $('tm-state');
  body.replaceChildren();
  if (!r.ok || !r.json) return say('tm-msg', r.error, false);
  const s = r.json;
  const off = s.offset_min > -100000 ? (s.offset_min >= 0 ? '+' : '') + s.offset_min + ' хв' : 'невідомо';
  const rows = [
    ['Часовий пояс', s.timezone || 'невідомо'], ['Зміщення (зимовий час)', off],
    ['Синхронізація NTP', s.ntp ? 'увімкнено' : 'вимкнено'], ['Синхронізовано', s.ntp_synced ? 'так' : 'ні'],
    ['Сервер NTP', s.ntp_server || '(типовий)'], ['Час сервера', s.now],
  ];
  for (const [k, v] of rows) body.append(el('tr', {}, el('th', { textContent: k }), el('td', { textContent: v })));
  if (s.timezone) $('tm-zone').value = s.timezone;
  $('tm-ntp-on').checked = !!s.ntp;
  $('tm-ntp-server').value = s.ntp_server || '';
  if (!$('tm-clock').value) $('tm-clock').value = s.now || '';
}

async function tmLoadZones() {
  const r = await api('GET', 'sys/timezones');
  if (!r.ok || !Array.isArray(r.json)) return say('tm-msg', r.error, false);
  const sel = $('tm-zone');
  const keep = sel.value;
  sel.replaceChildren(...r.json.map((z) => el('option', { value: z, textContent: z })));
  if (keep) sel.value = keep;
}

async function tmSetZone() {
  const zone = $('tm-zone').value;
  if (!zone) return;
  const r = await api('POST', 'sys/timezone', { zone });
  if (!r.ok) return say('tm-msg', r.error, false);
  const off = r.json.offset_min > -100000 ? ` (зміщення ${r.json.offset_min} хв записано для ПЛК)` : '';
  say('tm-msg', `Часовий пояс: ${r.json.zone}${off}`, true);
  tmLoad();
}

async function tmSetNtp() {
  const r = await api('POST', 'sys/ntp', { enabled: $('tm-ntp-on').checked, server: $('tm-ntp-server').value.trim() });
  say('tm-msg', r.ok ? 'Синхронізацію часу змінено' : r.error, r.ok);
  if (r.ok) tmLoad();
}

async function tmSetClock() {
  const datetime = $('tm-clock').value.trim();
  if (!/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/.test(datetime)) return say('tm-msg', 'Формат: РРРР-ММ-ДД ГГ:ХХ:СС', false);
  if (!confirm(`Встановити годинник сервера на ${datetime}?`)) return;
  const r = await api('POST', 'sys/clock', { datetime });
  say('tm-msg', r.ok ? 'Годинник встановлено' : r.error, r.ok);
  if (r.ok) tmLoad();
}

engTab('time', {
  init() {
    $('tm-refresh').addEventListener('click', tmLoad);
    $('tm-zone-set').addEventListener('click', tmSetZone);
    $('tm-ntp-set').addEventListener('click', tmSetNtp);
    $('tm-clock-set').addEventListener('click', tmSetClock);
    tmLoadZones().then(tmLoad);
  },
  show() { if (tabs.time.ready) tmLoad(); },
});
