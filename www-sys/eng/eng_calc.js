'use strict';
// Calculation tab: the program of zqcalc (checked by the server with the
// engine's own parser, saved as calc.st.import and applied on the engine's
// reload), its own tags, its published variables and a form that sets one.

const calc = { loaded: false, checkedText: null, hasErrors: false, vars: [] };
const calcEd = codeEditor('calc-text', 'calc-lines', 'calc-issues');

function calcSaveButton() {
  $('calc-save').disabled = calc.hasErrors && calc.checkedText === $('calc-text').value;
}

async function loadCalcProgram() {
  const r = await api('GET', 'calc-st');
  if (r.status !== 200) return say('calc-msg', r.error, false);
  $('calc-text').value = r.text;
  calc.loaded = true;
  calc.checkedText = null;
  calc.hasErrors = false;
  calcEd.showIssues({});
  calcSaveButton();
  say('calc-msg', '');
}

// The checker's answer as the editor's lists: the error first, then warnings.
function calcIssues(j) {
  const errors = j.ok === false && j.error ? [{ line: j.line, msg: j.error }] : [];
  const warnings = (j.warnings || []).map((w) => ({ line: w.line, msg: w.msg }));
  return { errors, warnings };
}

// Runs the server's check (nothing is written); the answer, or null.
async function checkCalc() {
  const text = $('calc-text').value;
  const r = await api('POST', 'calc-st?dry=1', { text });
  const j = r.json;
  if (!j || typeof j.ok !== 'boolean' || (!j.ok && !('line' in j))) {
    say('calc-msg', r.error, false);
    return null;
  }
  const issues = calcIssues(j);
  calc.checkedText = text;
  calc.hasErrors = !j.ok;
  calcEd.showIssues(issues);
  calcSaveButton();
  if (!j.ok) {
    say('calc-msg', j.line ? `Рядок ${j.line}: ${j.error}` : j.error, false);
    if (j.line) calcEd.jumpToLine(j.line);
  } else {
    const w = issues.warnings.length;
    say('calc-msg', `Помилок немає: змінних ${j.vars}, комірок ${j.cells}` + (w ? `, попереджень: ${w}` : ''), true);
  }
  return j;
}

async function saveCalc() {
  const checked = await checkCalc();
  if (!checked) return;
  if (!checked.ok) {
    say('calc-msg', 'Збереження заборонено: спершу виправте помилки', false);
    return;
  }
  const r = await api('POST', 'calc-st', { text: $('calc-text').value });
  if (r.json && r.json.ok === false && 'line' in r.json) calcEd.showIssues(calcIssues(r.json));
  say('calc-msg', r.error || (r.ok ? 'збережено' : ''), r.ok);
}

async function reloadCalc() {
  if (!confirm('Перечитати програму і налаштування zqcalc зараз?')) return;
  const r = await api('POST', 'sys/reload-module', { name: 'zqcalc' });
  say('calc-msg', r.error, r.ok);
  setTimeout(loadCalcVars, 1500);
}

async function loadCalcTags() {
  const r = await api('GET', 'calc/tags');
  const body = $('calc-tags');
  body.replaceChildren();
  if (!r.ok || !r.json) return say('calc-vars-msg', r.error, false);
  for (const t of r.json.tags || [])
    body.append(el('tr', {}, el('td', { textContent: t.id }), el('td', { textContent: t.name }),
      el('td', { textContent: t.type })));
  if (!body.children.length) body.append(el('tr', {}, el('td', { colSpan: 3, textContent: 'Власних тегів немає' })));
}

function fmtValue(v) {
  if (v === null || v === undefined) return 'BAD';
  if (!Array.isArray(v)) return String(v);
  const shown = v.slice(0, 16).map((x) => (x === null ? 'BAD' : String(x)));
  return '[' + shown.join(', ') + (v.length > 16 ? `, … (${v.length})` : '') + ']';
}

function pickVar(v) {
  $('calc-set-name').value = v.name;
  $('calc-set-idx').value = Array.isArray(v.v) ? '0' : '';
  $('calc-set-idx').disabled = !Array.isArray(v.v);
  $('calc-set-value').value = Array.isArray(v.v) ? '' : (v.v === null ? '' : String(v.v));
  $('calc-set-value').focus();
}

async function loadCalcVars() {
  const r = await api('GET', 'calc/vars');
  const body = $('calc-vars');
  body.replaceChildren();
  calc.vars = (r.json && Array.isArray(r.json.vars)) ? r.json.vars : [];
  if (!r.ok) say('calc-vars-msg', r.error, false);
  for (const v of calc.vars) {
    const tr = el('tr', { title: 'Клацніть, щоб вибрати' }, el('td', { textContent: v.name }), el('td', { textContent: v.type }),
      el('td', { textContent: fmtValue(v.v) }));
    tr.style.cursor = 'pointer';
    tr.addEventListener('click', () => pickVar(v));
    body.append(tr);
  }
  if (!calc.vars.length) body.append(el('tr', {}, el('td', { colSpan: 3, textContent: 'zqcalc ще не опублікував змінних (vars.json)' })));
}

async function setCalcVar(ev) {
  ev.preventDefault();
  const name = $('calc-set-name').value.trim();
  const value = Number($('calc-set-value').value.trim().replace(',', '.'));
  const idxText = $('calc-set-idx').disabled ? '' : $('calc-set-idx').value.trim();
  if (!name) return say('calc-set-msg', 'Вкажіть змінну', false);
  if ($('calc-set-value').value.trim() === '' || !Number.isFinite(value)) return say('calc-set-msg', 'Значення має бути числом', false);
  const body = { name, value };
  if (idxText !== '') body.idx = Number(idxText);
  const label = name + (idxText !== '' ? `[${idxText}]` : '');
  if (!confirm(`Встановити ${label} = ${value} у працюючому zqcalc?`)) return;
  const r = await api('POST', 'calc/set-var', body);
  say('calc-set-msg', r.ok ? `${label} = ${value}: команду передано` : r.error, r.ok);
  if (r.ok) setTimeout(loadCalcVars, 1500);
}

engTab('calc', {
  init() {
    calcEd.attach(calcSaveButton);
    $('calc-load').addEventListener('click', () => {
      if (calc.loaded && $('calc-text').value !== calc.checkedText && !confirm('Відкинути зміни і завантажити програму з сервера?')) return;
      loadCalcProgram();
    });
    $('calc-check').addEventListener('click', checkCalc);
    $('calc-save').addEventListener('click', saveCalc);
    $('calc-reload').addEventListener('click', reloadCalc);
    $('calc-tags-refresh').addEventListener('click', loadCalcTags);
    $('calc-vars-refresh').addEventListener('click', loadCalcVars);
    $('calc-set').addEventListener('submit', setCalcVar);
  },
  show() {
    if (!calc.loaded) loadCalcProgram();
    loadCalcTags();
    loadCalcVars();
  },
});
