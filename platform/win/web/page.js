// The page of Tarvex's web presenter. It draws what the program shows (the
// tray icon, balloons, menus and dialogs) from the state the server gives
// at "state", and posts what the person does to "act". Every text from the
// program becomes text in the page (text nodes, textContent, properties),
// never markup.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  // Dialog units to pixels, a little wider than the system font's.
  const DLU = 1.75;

  // An element with attributes, listeners ("on..."), its text ("text") and
  // children (strings become text nodes).
  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [name, value] of Object.entries(attrs || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (name === 'class') e.className = value;
      else if (name === 'text') e.textContent = value;
      else if (name.startsWith('on')) e.addEventListener(name.slice(2), value);
      else e.setAttribute(name, value === true ? '' : String(value));
    }
    for (const child of children) if (child !== null && child !== undefined) e.append(child);
    return e;
  }

  function setStatus(text, kind) {
    const status = $('status');
    status.textContent = text;
    status.className = kind;
  }

  // ---- What the person does ----

  // Posted one after another, in the order made, so that a check box
  // clicked before a button reaches the dialog before the button does.
  let sending = Promise.resolve();
  function post(fields) {
    sending = sending.then(async () => {
      try {
        const answer = await fetch('act', { method: 'POST', body: new URLSearchParams(fields) });
        if (!answer.ok) setStatus('Tarvex did not take that (' + answer.status + ')', 'warn');
      } catch (e) {
        setStatus('Cannot reach Tarvex', 'error');
      }
    });
    return sending;
  }

  // Typing is sent a moment after the last key, and before anything else.
  const typing = new Map();
  function typed(window, control, input) {
    const key = window + '/' + control;
    if (typing.has(key)) clearTimeout(typing.get(key).timer);
    const timer = setTimeout(() => sendTyping(key), 300);
    typing.set(key, { timer, window, control, input });
  }
  function sendTyping(key) {
    const t = typing.get(key);
    if (!t) return;
    clearTimeout(t.timer);
    typing.delete(key);
    post({ kind: 'type', window: t.window, control: t.control, text: t.input.value });
  }
  function act(fields) {
    for (const key of [...typing.keys()]) sendTyping(key);
    return post(fields);
  }

  // ---- The tray, its menus and balloons ----

  function picture(icon) {
    const description = icon ? icon.description : '';
    const p = el('span', { class: 'icon', 'aria-hidden': 'true' }, Array.from(description)[0] || '?');
    if (icon && icon.color) p.style.backgroundColor = icon.color;
    return p;
  }

  function renderTray(icons) {
    const items = icons.map((icon) => {
      const name = icon.icon ? icon.icon.description : 'Tarvex';
      const click = (mouse) => (e) => {
        e.preventDefault();
        act({ kind: 'tray', window: icon.window, icon: icon.id, mouse });
      };
      return el('div', { class: 'tray-icon', title: icon.tip },
        el('button', { class: 'picture', 'aria-label': name, onclick: click('left'),
                       ondblclick: click('double'), oncontextmenu: click('context') },
          picture(icon.icon)),
        el('div', { class: 'tray-text' },
          el('div', { class: 'description', text: name }),
          el('div', { class: 'tip', text: icon.tip })),
        el('div', { class: 'tray-actions' },
          el('button', { onclick: click('left'), text: 'Click' }),
          el('button', { onclick: click('double'), text: 'Double-click' }),
          el('button', { onclick: click('right'), text: 'Right-click' })));
    });
    if (!items.length) items.push(el('span', { class: 'tray-empty', text: 'No tray icon' }));
    $('tray').replaceChildren(...items);
  }

  function renderMenus(menus) {
    $('menus').replaceChildren(...menus.map((menu) => el('div', { class: 'menu', role: 'menu' },
      ...menu.items.map((item) => item.separator
        ? el('hr', { role: 'separator' })
        : el('button', { role: 'menuitem', text: item.text,
                         onclick: () => act({ kind: 'choose', window: menu.window, item: item.id }) })),
      el('hr'),
      el('button', { class: 'dismiss', text: 'Dismiss the menu',
                     onclick: () => act({ kind: 'dismiss', window: menu.window }) }))));
  }

  // As the tray shows one balloon at a time, the page shows the newest one
  // the person did not close: a pile of them would cover the dialogs.
  const closedBalloons = new Set();
  function renderBalloons(balloons) {
    $('balloons').replaceChildren(...balloons.slice(-1).filter((b) => !closedBalloons.has(b.number))
      .map((b) => {
        const card = el('div', { class: 'balloon ' + b.kind, role: 'status' },
          el('div', { class: 'balloon-title', text: b.title }),
          el('div', { class: 'balloon-text', text: b.text }));
        card.prepend(el('button', { class: 'close', 'aria-label': 'Close', text: '\u00d7',
                                    onclick: () => { closedBalloons.add(b.number); card.remove(); } }));
        return card;
      }));
  }

  // ---- Dialogs ----

  // A control's element, with its handlers; what it shows is set by
  // `apply`, so that a change of state updates the element in place. It is
  // found again by its place in the template (`index`): ids may repeat.
  function control(d, c, index, label) {
    const send = (fields) => act(Object.assign({ window: d.window, control: c.id }, fields));
    const tag = { 'data-index': index };
    switch (c.kind) {
      case 'button':
      case 'default-button':
        return el('button', Object.assign({ type: 'button', onclick: () => send({ kind: 'click' }) }, tag));
      case 'check-box':
      case 'radio': {
        const id = 'control-' + d.window + '-' + index;
        return el('div', Object.assign({ class: 'choice' }, tag),
          el('input', { id, type: c.kind === 'radio' ? 'radio' : 'checkbox', onclick: () => send({ kind: 'click' }) }),
          el('label', { for: id }));
      }
      case 'edit':
      case 'password': {
        const input = c.multiLine && c.kind === 'edit'
          ? el('textarea', Object.assign({ rows: Math.max(2, Math.round(c.height / 10)) }, tag))
          : el('input', Object.assign({ type: c.kind === 'password' ? 'password' : 'text',
                                        autocomplete: 'off', spellcheck: 'false' }, tag));
        if (label) input.setAttribute('aria-label', label);
        input.addEventListener('input', () => typed(d.window, c.id, input));
        input.addEventListener('change', () => sendTyping(d.window + '/' + c.id));
        return input;
      }
      case 'list-box':
      case 'combo-box': {
        const list = el('select', Object.assign({
          size: c.kind === 'list-box' ? Math.max(2, Math.min(8, c.items.length)) : null,
          'aria-label': label || null }, tag),
          ...c.items.map((text, i) => el('option', { value: String(i), text })));
        list.addEventListener('change', () => send({ kind: 'select', index: list.selectedIndex }));
        return list;
      }
      case 'group-box':
        return el('fieldset', Object.assign({ class: 'group' }, tag), el('legend'));
      case 'picture':
        return el('div', Object.assign({ class: 'picture' }, tag), picture(c.icon));
      case 'browser': {
        // The page a browser control shows, in a sandboxed frame: it has no
        // origin of its own, so it reaches nothing of this page's.
        const frame = el('iframe', Object.assign({
          class: 'browser', sandbox: FRAME_SANDBOX, referrerpolicy: 'no-referrer',
          title: label || d.title }, tag));
        frame.style.height = Math.round(Math.max(c.height, 40) * DLU) + 'px';
        frame.tarvex = { window: d.window, control: c.id, page: null, loaded: false, delivered: 0, scripts: [] };
        frame.addEventListener('load', () => {
          frame.tarvex.loaded = frame.tarvex.page !== null;
          deliverScripts(frame);
        });
        return frame;
      }
      default:
        return el('p', Object.assign({ class: 'static' }, tag));
    }
  }

  // What a control shows now: its text, check, selection, state.
  function apply(d, c, e) {
    switch (c.kind) {
      case 'button':
      case 'default-button':
        e.textContent = c.text;
        e.disabled = !c.enabled;
        e.classList.toggle('default', c.id === d.default);
        break;
      case 'check-box':
      case 'radio': {
        const input = e.querySelector('input');
        input.checked = c.checked;
        input.disabled = !c.enabled;
        e.querySelector('label').textContent = c.text;
        break;
      }
      case 'edit':
      case 'password':
        e.readOnly = c.readOnly;
        e.disabled = !c.enabled;
        // What the person is still typing stays.
        if (!typing.has(d.window + '/' + c.id) && e.value !== c.text) e.value = c.text;
        break;
      case 'list-box':
      case 'combo-box':
        e.disabled = !c.enabled;
        e.selectedIndex = c.selected;
        break;
      case 'group-box':
        e.querySelector('legend').textContent = c.text;
        break;
      case 'browser':
        showFramePage(e, d, c);
        break;
      case 'picture':
        e.title = c.icon ? c.icon.description : '';
        break;
      default:
        e.textContent = c.text;
        e.classList.toggle('bold', c.bold);
    }
  }

  // ---- Browser controls ----

  const FRAME_SANDBOX = 'allow-scripts allow-forms allow-popups allow-popups-to-escape-sandbox';

  // The control's page (c.page: number, entry, query, scripts), from the
  // server's "frame/WINDOW/CONTROL/PAGE/FILE"; a new page loads anew.
  function showFramePage(frame, d, c) {
    const f = frame.tarvex;
    const page = c.page;
    const number = page ? page.number : null;
    if (f.page !== number) {
      f.page = number;
      f.loaded = false;
      f.delivered = 0;
      const query = page && /^[A-Za-z0-9%&=._~+-]*$/.test(page.query) && page.query ? '?' + page.query : '';
      frame.src = page ? ['frame', d.window, c.id, page.number, encodeURIComponent(page.entry)].join('/') + query
                       : 'about:blank';
    }
    f.scripts = page ? page.scripts : [];
    deliverScripts(frame);
  }

  // The scripts the program appended to the page, as data: the page takes
  // what it knows and runs nothing else.
  function deliverScripts(frame) {
    const f = frame.tarvex;
    if (!f.loaded || !frame.contentWindow) return;
    while (f.delivered < f.scripts.length)
      frame.contentWindow.postMessage({ tarvex: 'script', text: f.scripts[f.delivered++] }, '*');
  }

  // A form the person filled in on a control's page, sent on to the dialog.
  window.addEventListener('message', (e) => {
    const frame = Array.from(document.querySelectorAll('iframe.browser')).find((x) => x.contentWindow === e.source);
    const m = e.data;
    if (!frame || frame.tarvex.page === null || !m || m.tarvex !== 'fill' || typeof m.fields !== 'object' ||
        m.fields === null) return;
    const fields = { kind: 'fill', window: frame.tarvex.window, control: frame.tarvex.control, page: frame.tarvex.page };
    for (const [id, value] of Object.entries(m.fields))
      if (/^[A-Za-z0-9_-]{1,64}$/.test(id) && typeof value === 'string') fields['field:' + id] = value;
    act(fields);
  });

  const inside = (c, r) => c.x >= r.x && c.y >= r.y && c.x < r.x + r.width && c.y < r.y + r.height;

  // The controls in template order: buttons in a row of their own, to the
  // right; what lies within a group box inside it.
  function buildDialog(d) {
    const body = el('div', { class: 'body' });
    const groups = [{ element: body, rect: null }];
    let row = null;
    let label = '';
    d.controls.forEach((c, index) => {
      if (!c.visible) return;
      while (groups.length > 1 && !inside(c, groups[groups.length - 1].rect)) groups.pop();
      const into = groups[groups.length - 1].element;
      const e = control(d, c, index, label);
      if (c.kind === 'button' || c.kind === 'default-button') {
        if (!row || into.lastChild !== row) into.append(row = el('div', { class: 'buttons' }));
        row.append(e);
      } else {
        into.append(e);
      }
      if (c.kind === 'group-box') groups.push({ element: e, rect: c });
      label = c.kind === 'static' ? c.text : '';
    });
    const box = el('section', { class: d.modal ? 'dialog modal' : 'dialog', role: 'dialog',
                                'aria-modal': d.modal ? 'true' : null,
                                'data-window': d.window, 'data-template': d.template },
      el('div', { class: 'titlebar' },
        el('span', { class: 'title' }),
        d.closeBox ? el('button', { class: 'close', 'aria-label': 'Close', title: 'Close',
                                    text: '\u00d7',
                                    onclick: () => act({ kind: 'close', window: d.window }) })
                   : null),
      body);
    box.style.width = Math.round(Math.max(d.width, 120) * DLU) + 'px';
    box.addEventListener('keydown', (e) => {
      const t = e.target;
      if (e.key === 'Escape') {
        e.preventDefault();
        act({ kind: 'key', window: d.window, key: 'escape' });
      } else if (e.key === 'Enter' && t.tagName !== 'BUTTON' && t.tagName !== 'TEXTAREA') {
        e.preventDefault();
        act({ kind: 'key', window: d.window, key: 'enter' });
      }
    });
    updateDialog(box, d);
    return box;
  }

  function updateDialog(box, d) {
    box.querySelector('.title').textContent = d.title;
    box.setAttribute('aria-label', d.title);
    d.controls.forEach((c, index) => {
      const e = c.visible && box.querySelector('[data-index="' + index + '"]');
      if (e) apply(d, c, e);
    });
  }

  // What makes a dialog's elements: when only the state of its controls
  // changed, the elements stay (a click under way is not lost).
  const shape = (d) => JSON.stringify([d.modal, d.width, d.controls.map((c) => c.visible &&
    [c.id, c.kind, c.multiLine, c.items, c.icon, c.kind === 'group-box' && [c.x, c.y, c.width, c.height]])]);

  // What had the focus in a dialog drawn again, given back (with what the
  // person is still typing there).
  function focusIn(box) {
    const a = document.activeElement;
    const owner = box && a && box.contains(a) && a.closest('[data-index]');
    if (!owner) return null;
    const text = a.tagName === 'TEXTAREA' || (a.tagName === 'INPUT' && (a.type === 'text' || a.type === 'password'));
    return { index: Number(owner.dataset.index), value: a.value,
             start: text ? a.selectionStart : null, end: text ? a.selectionEnd : null };
  }
  function restoreFocus(box, d, f) {
    const owner = box.querySelector('[data-index="' + f.index + '"]');
    const target = owner && (owner.querySelector('input') || owner);
    if (!target || target.disabled) return;
    const key = d.window + '/' + d.controls[f.index].id;
    if (typing.has(key)) {
      target.value = f.value;
      typing.get(key).input = target;
    }
    target.focus();
    if (f.start !== null && target.setSelectionRange) target.setSelectionRange(f.start, f.end);
  }

  const drawn = new Map();  // window -> { shape, element }
  function renderDialogs(dialogs) {
    const open = new Set(dialogs.map((d) => d.window));
    for (const [window, shown] of drawn) {
      if (!open.has(window)) {
        shown.element.remove();
        drawn.delete(window);
      }
    }
    let fresh = null;
    for (const d of dialogs) {
      const old = drawn.get(d.window);
      const now = shape(d);
      if (old && old.shape === now) {
        updateDialog(old.element, d);
        continue;
      }
      const focus = focusIn(old && old.element);
      const element = buildDialog(d);
      if (old) old.element.replaceWith(element);
      else fresh = element;
      drawn.set(d.window, { shape: now, element });
      if (focus) restoreFocus(element, d, focus);
    }
    // Modeless dialogs on the desktop, modal ones above it, the last on top.
    const place = (container, list) => {
      const want = list.map((d) => drawn.get(d.window).element);
      const have = Array.from(container.children);
      if (want.length !== have.length || want.some((e, i) => e !== have[i])) container.replaceChildren(...want);
    };
    const modal = dialogs.filter((d) => d.modal);
    place($('dialogs'), dialogs.filter((d) => !d.modal));
    place($('modal-layer'), modal);
    $('modal-layer').hidden = modal.length === 0;
    $('dialogs').inert = modal.length > 0;
    modal.forEach((d, i) => { drawn.get(d.window).element.inert = i !== modal.length - 1; });
    $('idle').hidden = dialogs.length > 0;
    // A dialog that comes up on top takes the focus, on its default button.
    const top = modal.length ? drawn.get(modal[modal.length - 1].window).element : fresh;
    if (fresh && fresh === top) {
      const first = ['button.default', '.body input', '.body select', '.body textarea', '.body button']
        .map((s) => fresh.querySelector(s + ':enabled')).find((e) => e);
      if (first) first.focus();
    }
  }

  // ---- The state ----

  const lastDrawn = {};
  function render(state) {
    const parts = { tray: renderTray, menus: renderMenus, balloons: renderBalloons, dialogs: renderDialogs };
    for (const [name, draw] of Object.entries(parts)) {
      const json = JSON.stringify(state[name]);
      if (lastDrawn[name] === json) continue;
      lastDrawn[name] = json;
      draw(state[name]);
    }
  }

  async function poll() {
    let version = 0;
    let failures = 0;
    for (;;) {
      let state;
      try {
        const answer = await fetch('state?since=' + version);
        if (!answer.ok) throw new Error('status ' + answer.status);
        state = await answer.json();
      } catch (e) {
        failures += 1;
        setStatus('Cannot reach Tarvex; trying again', 'error');
        await new Promise((resolve) => setTimeout(resolve, Math.min(5000, 250 * 2 ** failures)));
        continue;
      }
      failures = 0;
      version = state.version;
      render(state);
      if (!state.running) {
        setStatus('Tarvex has ended; this page can be closed', 'ended');
        return;
      }
      setStatus('Connected', 'ok');
    }
  }

  document.addEventListener('keydown', (e) => {
    // Escape outside the dialogs dismisses the menu shown last.
    const menus = $('menus').querySelectorAll('.dismiss');
    if (e.key === 'Escape' && menus.length && !e.target.closest('.dialog')) menus[menus.length - 1].click();
  });
  poll();
})();
