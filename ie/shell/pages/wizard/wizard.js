// The setup wizard's page. The client reads its answer from the fields
// (_flag: "done" or "cancel"; _have_account, _username, _password and
// _remempw: "on" to remember the password). Shown in the client's dialog,
// the page sits in a sandboxed frame of the client's own page, and hands the
// fields to it as a message; the client's page sends them on to the dialog.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const query = new URLSearchParams(location.search);

  // The client's page is the frame's parent, at the address this page came
  // from (the frame itself has no origin of its own).
  function send(fields) {
    for (const [id, value] of Object.entries(fields)) $(id).value = value;
    if (window.parent === window) return;
    const target = /^https?:$/.test(location.protocol) ? new URL(location.href).origin : '*';
    window.parent.postMessage({ tarvex: 'fill', fields }, target);
  }

  function show(id, text) {
    $(id).textContent = text;
    $(id).hidden = !text;
  }

  $('_username').value = query.get('_username') || '';
  ($('_username').value ? $('_password') : $('_username')).focus();

  $('wizard').addEventListener('submit', (e) => {
    e.preventDefault();
    const user = $('_username').value.trim();
    const password = $('_password').value;
    if (!user || !password) {
      show('problem', 'Enter your user name and password.');
      return;
    }
    show('problem', '');
    show('sent', 'Signing in\u2026');
    send({ _flag: 'done', _have_account: '1', _username: user, _password: password,
           _remempw: $('_remempw').checked ? 'on' : '' });
  });

  $('cancel').addEventListener('click', () => {
    show('sent', '');
    send({ _flag: 'cancel' });
  });
})();
