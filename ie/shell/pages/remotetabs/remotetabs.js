// The open tabs of the user's other computers. The client calls
// UpdateRemoteTabDisplay(index, data) with what it read from the service
// (null when it could not read it):
//   {NAME: {mids: {MID: {clientName, windows: [{tabs: [{url, title}]}]}},
//           MID: {length}, length}}
// one member per computer name. The titles and addresses were typed on
// other computers: each goes into the page as text, never as markup, and
// only an http or https address becomes a link.
'use strict';

const TARVEX_LONGEST_TEXT = 300;

// Text of a value that should be text; long texts cut.
function tarvexText(value) {
  const text = typeof value === 'string' ? value : (typeof value === 'number' ? String(value) : '');
  const chars = Array.from(text);
  return chars.length > TARVEX_LONGEST_TEXT ? chars.slice(0, TARVEX_LONGEST_TEXT).join('') + '\u2026' : text;
}

// The address as a link target when it is http or https; null otherwise.
function tarvexWebAddress(value) {
  if (typeof value !== 'string') return null;
  try {
    const url = new URL(value);
    return url.protocol === 'http:' || url.protocol === 'https:' ? url.href : null;
  } catch (e) {
    return null;
  }
}

// An element with a class and children (strings become text nodes). Text
// from elsewhere sits in <bdi>, so a right-to-left mark in it turns nothing
// around it.
function tarvexElement(tag, className, ...children) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  for (const child of children) {
    if (typeof child === 'string') {
      const isolate = document.createElement('bdi');
      isolate.appendChild(document.createTextNode(child));
      e.appendChild(isolate);
    } else if (child) {
      e.appendChild(child);
    }
  }
  return e;
}

function tarvexTab(tab) {
  const target = tarvexWebAddress(tab && tab.url);
  // A web address is shown as the link goes (a right-to-left mark in it
  // written as its escape), anything else as it came.
  const address = tarvexText(target || (tab && tab.url));
  const title = tarvexText(tab && tab.title) || address || '(untitled)';
  let name;
  if (target) {
    name = tarvexElement('a', 'title', title);
    name.href = target;
    name.target = '_blank';
    name.rel = 'noopener noreferrer';
  } else {
    name = tarvexElement('span', 'title', title);
  }
  return tarvexElement('li', 'tab', name, tarvexElement('div', 'address', address));
}

function tarvexComputer(name, entry) {
  const tabs = [];
  const mids = entry && typeof entry.mids === 'object' && entry.mids ? entry.mids : {};
  for (const mid of Object.keys(mids)) {
    const windows = mids[mid] && Array.isArray(mids[mid].windows) ? mids[mid].windows : [];
    for (const browserWindow of windows) {
      if (browserWindow && Array.isArray(browserWindow.tabs))
        for (const tab of browserWindow.tabs) tabs.push(tab);
    }
  }
  const count = tabs.length === 1 ? '1 tab' : tabs.length + ' tabs';
  const list = tarvexElement('ul', 'tabs');
  for (const tab of tabs) list.appendChild(tarvexTab(tab));
  return tarvexElement('section', 'computer',
    tarvexElement('h2', null, tarvexText(name), tarvexElement('span', 'count', ' (' + count + ')')),
    tabs.length ? list : tarvexElement('p', 'note', 'No tabs open.'));
}

function UpdateRemoteTabDisplay(index, data) {
  const shown = document.getElementById('tabs');
  const parts = [];
  if (data === null || typeof data !== 'object' || Array.isArray(data)) {
    parts.push(tarvexElement('p', 'problem', 'The open tabs of your other computers could not be loaded. Try again later.'));
    parts[0].setAttribute('role', 'alert');
  } else {
    for (const name of Object.keys(data).sort((a, b) => a.localeCompare(b)))
      parts.push(tarvexComputer(name, data[name]));
    if (!parts.length) parts.push(tarvexElement('p', 'note', 'No tabs are open on your other computers.'));
  }
  shown.replaceChildren(...parts);
}

// Shown in the client's dialog, the page sits in a sandboxed frame of the
// client's own page, which hands it the client's script as a message: only
// a call of UpdateRemoteTabDisplay with JSON data is taken, as data.
window.addEventListener('message', (e) => {
  if (e.source !== window.parent || !e.data || e.data.tarvex !== 'script' || typeof e.data.text !== 'string') return;
  const call = /^UpdateRemoteTabDisplay\((\d+), ([\s\S]*)\);$/.exec(e.data.text);
  if (!call) return;
  let data = null;
  try {
    data = JSON.parse(call[2]);
  } catch (err) {
    data = null;
  }
  UpdateRemoteTabDisplay(Number(call[1]), data);
});
