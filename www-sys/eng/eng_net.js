'use strict';
// Network tab: NFS and SMB shares mounted under the mount root, optionally
// carrying the recorder's alternate trend folders. zqnet does the mounting;
// the list lives in config.yaml (network.mounts), which the supervisor
// watches too.

async function netLoad() {
  const r = await api('GET', 'net/status');
  const body = $('net-mounts');
  body.replaceChildren();
  if (!r.ok || !r.json) return say('net-msg', r.error, false);
  const s = r.json;
  for (const m of s.cfg_mounts || []) {
    const alt = [m.use_as_trend_alt ? 'альт. 1' : '', m.use_as_trend_alt2 ? 'альт. 2' : ''].filter(Boolean).join(', ');
    const btn = el('button', { type: 'button', className: 'light', textContent: 'Відмонтувати' });
    btn.dataset.name = m.name;
    btn.addEventListener('click', () => netUmount(m.name));
    const up = m.status === 'mounted';
    body.append(el('tr', {},
      el('td', { textContent: m.name }), el('td', { textContent: m.type.toUpperCase() }),
      el('td', { textContent: m.remote }), el('td', { textContent: m.mode }),
      el('td', { textContent: alt }),
      el('td', { className: up ? 'on' : 'off', textContent: up ? 'змонтовано' : 'не змонтовано' }),
      el('td', {}, btn)));
  }
  if (!(s.cfg_mounts || []).length) body.append(el('tr', {}, el('td', { colSpan: 7, textContent: 'Монтувань немає' })));
  netShares(s.shares || []);
  const p = s.packages || {};
  const yes = (b) => (b ? 'є' : 'немає');
  $('net-info').textContent = `zqnet: ${yes(s.zqnet)}; nfs-common: ${yes(p['nfs-common'])}; cifs-utils: ${yes(p['cifs-utils'])}; ` +
    `формати трендів: основний ${s.trend_formats ? s.trend_formats.main : '?'}`;
}

function netTypeChanged() {
  const smb = $('net-type').value === 'smb';
  for (const id of ['net-user', 'net-pass', 'net-servern']) $(id).closest('label').hidden = !smb;
  $('net-remote').placeholder = smb ? '//сервер/шара' : 'host:/шлях';
}

async function netAdd(ev) {
  ev.preventDefault();
  const type = $('net-type').value;
  const body = {
    type, remote: $('net-remote').value.trim(), name: $('net-name').value.trim(), mode: $('net-mode').value,
    use_as_alt: $('net-alt').checked, use_as_alt2: $('net-alt2').checked, alt_format: Number($('net-alt-format').value),
  };
  if (type === 'smb') {
    body.user = $('net-user').value;
    body.pass = $('net-pass').value;
    body.servern = $('net-servern').value.trim();
  }
  say('net-msg', 'Монтую…', true);
  const r = await api('POST', 'net/mount', body);
  if (!r.ok) return say('net-msg', r.error, false);
  $('net-pass').value = '';
  let text = `Змонтовано: ${r.json.mountpoint}`;
  if (r.json.altApplied) text += ' — альт-шлях трендів призначено, zqtrend перезапущено';
  if (r.json.warn) text += ' ' + r.json.warn;
  say('net-msg', text, !r.json.warn);
  netLoad();
}

async function netUmount(name) {
  if (!confirm(`Відмонтувати «${name}» і прибрати зі списку?`)) return;
  const r = await api('POST', 'net/umount', { name });
  say('net-msg', r.ok ? `«${name}»: ${r.error || 'відмонтовано'}` : r.error, r.ok);
  netLoad();
}

// Local folders exported over NFS or SMB (network.shares).
function netShares(list) {
  const body = $('net-shares');
  body.replaceChildren();
  for (const sh of list) {
    const btn = el('button', { type: 'button', className: 'light', textContent: 'Прибрати' });
    btn.dataset.name = sh.name;
    btn.addEventListener('click', () => netUnshare(sh.name));
    body.append(el('tr', {},
      el('td', { textContent: sh.name }), el('td', { textContent: sh.proto.toUpperCase() }),
      el('td', { textContent: sh.path }), el('td', { textContent: sh.mode }),
      el('td', { textContent: sh.smbuser ? `${sh.access}, ${sh.smbuser}` : sh.access }),
      el('td', {}, btn)));
  }
  if (!list.length) body.append(el('tr', {}, el('td', { colSpan: 6, textContent: 'Спільних папок немає' })));
}

async function netShare(ev) {
  ev.preventDefault();
  const body = {
    proto: $('share-proto').value, name: $('share-name').value.trim(), path: $('share-path').value.trim(),
    mode: $('share-mode').value, access: $('share-access').value.trim(),
  };
  if (body.proto === 'smb' && $('share-user').value.trim()) {
    body.smbuser = $('share-user').value.trim();
    body.pass = $('share-pass').value;
  }
  const r = await api('POST', 'net/share', body);
  $('share-pass').value = '';
  say('share-msg', r.ok ? r.json.msg : r.error, r.ok);
  netLoad();
}

async function netUnshare(name) {
  if (!confirm(`Закрити доступ до «${name}»?`)) return;
  const r = await api('POST', 'net/unshare', { name });
  say('share-msg', r.ok ? `«${name}»: ${r.json.msg}` : r.error, r.ok);
  netLoad();
}

engTab('net', {
  init() {
    $('net-refresh').addEventListener('click', netLoad);
    $('net-form').addEventListener('submit', netAdd);
    $('net-type').addEventListener('change', netTypeChanged);
    $('share-form').addEventListener('submit', netShare);
    netTypeChanged();
  },
  show() { netLoad(); },
});
