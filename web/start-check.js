// A classic script, so that it runs where the page's module cannot: when
// the module never starts, Status says why instead of "Loading…". The
// module marks the page as started (data-started on <html>) first thing.
(function () {
  'use strict';
  var NEEDS_SERVER = 'This copy of the page needs a web server. Open PelagoXcon.html instead: it works from disk.';
  var firstError = null;
  var loaded = false;
  // WebKit may fire `load` before it runs the module: only this long
  // without a start, or an error on the way, means the page failed.
  var START_WAIT_MS = 10000;

  // Known before the first paint, so that the page keeps its layout when
  // the module starts: without a serial port to reach (no Web Serial, or
  // framed by another site), the adapter's controls never show.
  if (!navigator.serial || window.top !== window) document.documentElement.classList.add('no-serial');

  function started() {
    return document.documentElement.hasAttribute('data-started');
  }

  function fromDisk(script) {
    return location.protocol === 'file:' && !!script && script.hasAttribute('src');
  }

  function say(text) {
    var status = document.getElementById('status');
    if (status) status.textContent = text;
  }

  function moduleScript() {
    return document.querySelector('script[type="module"]');
  }

  // A module that could not be fetched fires `error` on its element, which
  // does not bubble: caught on the way down instead.
  window.addEventListener('error', function (event) {
    if (started()) return;
    if (event.target === moduleScript()) {
      say(fromDisk(event.target) ? NEEDS_SERVER
        : 'This page could not load its scripts; reload it, or check that every file of ' +
          'the site is on the server.');
    } else if (event.message && !firstError) {
      firstError = event.message;
      if (loaded) failed();
    }
  }, true);

  function failed() {
    if (started()) return;
    if (firstError) {
      say('This page could not start (' + firstError + '); reload it, or use a current browser.');
    } else {
      say('This page could not start its scripts; use a current browser with JavaScript on.');
    }
  }

  window.addEventListener('load', function () {
    loaded = true;
    if (started()) return;
    if (fromDisk(moduleScript())) {
      say(NEEDS_SERVER);
    } else if (firstError) {
      failed();
    } else {
      setTimeout(failed, START_WAIT_MS);
    }
  });
}());
