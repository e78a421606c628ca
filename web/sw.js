// The served site's offline copy. Every file of one build lives in one cache
// and is answered from there first, so the page loads with no network. A new
// build installs beside the running one and waits: the page offers it, and
// it takes over when the page asks, or once every tab of the site is closed.
// The build fills in the cache's name and each file's SHA-256.
const CACHE = '@PELAGO_SITE_CACHE@';
const FILES = {/*@PELAGO_SITE_FILES@*/};
const CACHE_PREFIX = 'pelagoxcon-';
const TAKE_OVER = 'take-over';
const INDEX = 'index.html';

self.addEventListener('install', (event) => {
  event.waitUntil(fillCache());
});

self.addEventListener('activate', (event) => {
  event.waitUntil(dropOtherBuilds().then(() => self.clients.claim()));
});

self.addEventListener('message', (event) => {
  if (event.data === TAKE_OVER) self.skipWaiting();
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || !request.url.startsWith(self.registration.scope)) return;
  event.respondWith(answer(request));
});

// Fetches every file past the browser's own cache and checks it against
// this build's digest before anything is stored: a server half-way through
// a deploy fails the install (the running build stays), it never leaves a
// cache that mixes two builds.
async function fillCache() {
  const names = Object.keys(FILES);
  const responses = await Promise.all(names.map(fetchChecked));
  await caches.delete(CACHE);  // what a failed install may have left
  try {
    const cache = await caches.open(CACHE);
    await Promise.all(names.map((name, i) => cache.put(new URL(name, self.registration.scope), responses[i])));
  } catch (error) {
    await caches.delete(CACHE);
    throw error;
  }
}

// The response for `name`, once its bytes match the build's digest. A host
// may redirect (index.html to the folder): the browser refuses a redirected
// response for a page, so the final bytes are kept as `name`'s own.
async function fetchChecked(name) {
  const response = await fetch(new Request(name, { cache: 'reload' }));
  if (!response.ok) throw new Error(`${name}: HTTP ${response.status}`);
  const body = await response.arrayBuffer();
  const digest = await crypto.subtle.digest('SHA-256', body);
  const hex = Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
  if (hex !== FILES[name]) throw new Error(`${name} is not this build's`);
  // The body is decoded: the server's encoding and length were the wire's.
  const headers = new Headers(response.headers);
  headers.delete('Content-Encoding');
  headers.delete('Content-Length');
  const { status, statusText } = response;
  return new Response(body, { status, statusText, headers });
}

async function dropOtherBuilds() {
  for (const name of await caches.keys()) {
    if (name.startsWith(CACHE_PREFIX) && name !== CACHE) await caches.delete(name);
  }
}

// This build's copy first; the network only for what the build does not
// hold. The site's folder itself is its index page.
async function answer(request) {
  const url = new URL(request.url);
  url.search = '';
  url.hash = '';
  if (url.href === self.registration.scope) url.href += INDEX;
  const cached = await caches.match(url.href, { cacheName: CACHE });
  return cached || fetch(request);
}
