// The served site's offline copy: registers its service worker (sw.js) and,
// when a new build has installed, offers it with a Reload button instead of
// letting it take over a page at work. The one-file page has no worker and
// opened from a file cannot have one: both simply go without.
const WORKER = 'sw.js';
const TAKE_OVER = 'take-over';  // the message sw.js answers with skipWaiting
// While an action runs the adapter part makes the editor's toolbar inert;
// a new build waits for it to end.
const BUSY_MARK = '#editor .toolbar';
const NOT_UPDATED = '(the offline copy could not be updated)';

let version = '';  // the footer's version line, as the core names it
let updateFailed = false;  // the last build found could not be installed

// Shows `text` ("PelagoXcon X.Y") as the footer's version line, with the
// note of a failed update after it.
export function showVersion(text, doc = document) {
  version = text;
  doc.getElementById('version').textContent = updateFailed ? `${version} ${NOT_UPDATED}`.trim() : version;
}

// Registers the worker when the page is served over http(s) and the worker
// file is there; resolves once that is settled (never rejects).
export async function startOffline(doc = document) {
  if (!('serviceWorker' in navigator) || !/^https?:$/.test(location.protocol)) return;
  try {
    const registration = navigator.serviceWorker.controller
      ? await navigator.serviceWorker.getRegistration()
      : await registerIfServed();
    if (registration) offerNewBuilds(registration, doc);
  } catch (error) {
    // Without a worker the page works as before, online only.
  }
}

async function registerIfServed() {
  // GET, not HEAD: some static servers answer only GET.
  const probe = await fetch(WORKER, { cache: 'no-store' });
  if (!probe.ok) return null;
  return navigator.serviceWorker.register(WORKER);
}

// Shows the banner whenever a build waits behind the one running this page.
function offerNewBuilds(registration, doc) {
  const banner = doc.getElementById('new-version');
  const reload = doc.getElementById('reload');
  const offer = () => {
    if (registration.waiting && navigator.serviceWorker.controller) banner.hidden = false;
  };
  offer();
  // A build whose install fails (a file missing or not its own on the
  // server) turns redundant without ever being installed.
  const follow = (worker) => {
    if (!worker) return;
    let installed = false;
    worker.addEventListener('statechange', () => {
      if (worker.state === 'installed') installed = true;
      if (worker.state === 'installed' || (worker.state === 'redundant' && !installed)) {
        updateFailed = !installed;
        showVersion(version, doc);
        offer();
      }
    });
  };
  follow(registration.installing);
  registration.addEventListener('updatefound', () => follow(registration.installing));
  reload.addEventListener('click', () => takeNewBuild(registration));
  keepIdle(reload, doc);
}

// The waiting build takes over every tab of the site; this one then loads it.
function takeNewBuild(registration) {
  const waiting = registration.waiting;
  if (!waiting) {
    location.reload();  // another tab already took it
    return;
  }
  navigator.serviceWorker.addEventListener('controllerchange', () => location.reload(), { once: true });
  waiting.postMessage(TAKE_OVER);
}

// Disables `button` while an action runs.
function keepIdle(button, doc) {
  const mark = doc.querySelector(BUSY_MARK);
  if (!mark) return;
  const follow = () => { button.disabled = mark.inert; };
  new MutationObserver(follow).observe(mark, { attributes: true, attributeFilter: ['inert'] });
  follow();
}
