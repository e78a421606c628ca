// Copies of the adapter's settings area kept in the browser (IndexedDB),
// under the names the console tool gives its backups, so they outlive the
// page and a reload.

const DB_NAME = "pelagoxcon";
// 1: the store of backups by name. 2: an index by the time each was stored
// (records of version 1 without one count as oldest).
const DB_VERSION = 2;
const STORE = "backups";
const STORED_INDEX = "stored";
const MAX_NAME_TRIES = 1000;

const STRICT = { durability: "strict" };  // a backup is on disk before it counts as kept
const BLOCKED_TEXT = "Close the other tabs of this page to reach its backups.";
const SUPERSEDED_TEXT = "A newer copy of this page was opened; reload this tab to go on.";

let dbPromise = null;  // the open request's, settling when the store opens
let reachable = null;  // what callers get: rejects at once while the open is blocked
let blocked = false;
let superseded = false;  // a newer copy of the page took the store: closed for good
let notice = () => {};

// Brings a database of any older version up to DB_VERSION, keeping every
// backup it holds.
function upgrade(request, oldVersion) {
  const db = request.result;
  const store = oldVersion < 1
    ? db.createObjectStore(STORE, { keyPath: "name" })
    : request.transaction.objectStore(STORE);
  if (oldVersion < 2) {
    store.createIndex(STORED_INDEX, "stored");
    store.openCursor().onsuccess = (event) => {
      const cursor = event.target.result;
      if (!cursor) return;
      if (typeof cursor.value.stored !== "number") cursor.update({ ...cursor.value, stored: 0 });
      cursor.continue();
    };
  }
}

// Has `onNotice(text)` told why the backups are out of reach: another tab
// holds an older copy's store open, or a newer copy took it over; with ''
// once a blocked store has opened after all.
export function watchBackups(onNotice) {
  notice = onNotice;
}

function openDb() {
  if (superseded) return Promise.reject(new Error(SUPERSEDED_TEXT));
  if (!dbPromise) {
    // An older tab that keeps the store open holds the upgrade back until it
    // is closed; the open waits for that, but nobody waits on the open.
    let reportBlocked;
    const whenBlocked = new Promise((resolve, reject) => { reportBlocked = reject; });
    dbPromise = new Promise((resolve, reject) => {
      if (!("indexedDB" in globalThis) || !globalThis.indexedDB) {
        reject(new Error("this browser keeps no data for pages (IndexedDB is unavailable)"));
        return;
      }
      let request;
      try {
        request = indexedDB.open(DB_NAME, DB_VERSION);
      } catch (error) {
        reject(error);
        return;
      }
      request.onupgradeneeded = (event) => upgrade(request, event.oldVersion);
      request.onsuccess = () => {
        const db = request.result;
        db.onversionchange = () => {
          db.close();
          superseded = true;
          notice(SUPERSEDED_TEXT);
        };
        resolve(db);
        reachable = dbPromise;
        if (blocked) {
          blocked = false;
          notice("");
        }
      };
      request.onerror = () => reject(request.error);
      request.onblocked = () => {
        blocked = true;
        reportBlocked(new Error(BLOCKED_TEXT));
        notice(BLOCKED_TEXT);
      };
    });
    reachable = Promise.race([dbPromise, whenBlocked]);
    reachable.catch(() => {});
    dbPromise.catch(() => { dbPromise = null; });
  }
  return reachable;
}

// Resolves once the transaction's writes are on disk as far as the browser
// goes; rejects with the browser's reason (a full quota, private mode).
function finished(tx) {
  return new Promise((resolve, reject) => {
    tx.oncomplete = () => resolve();
    tx.onabort = () => reject(tx.error || new Error("the browser refused to store it"));
    tx.onerror = () => reject(tx.error || new Error("the browser refused to store it"));
  });
}

// Whether this browser keeps backups for the page: false when IndexedDB is
// missing or will not open (a page from disk, a private window).
export async function backupsKept() {
  try {
    await openDb();
    return true;
  } catch (error) {
    return blocked;  // kept, and reachable once the other tabs are closed
  }
}

// Stores `bytes` (a Uint8Array) as backup `name`, never over another: when
// the name is taken (another tab, the same second), under nextName(name),
// nextName(that), ... Resolves with the name stored; rejects when it cannot.
export async function storeBackup(name, bytes, nextName) {
  const db = await openDb();
  for (let tries = 0; tries < MAX_NAME_TRIES; tries++) {
    const tx = db.transaction(STORE, "readwrite", STRICT);
    const request = tx.objectStore(STORE).add({ name, bytes: new Uint8Array(bytes), stored: Date.now() });
    try {
      await finished(tx);
      return name;
    } catch (error) {
      const why = request.error || error;
      if (why.name !== "ConstraintError" || !nextName) throw why;
      name = nextName(name);
    }
  }
  throw new Error("no free name was left for it");
}

// Removes backup `name`.
export async function deleteBackup(name) {
  const db = await openDb();
  const tx = db.transaction(STORE, "readwrite", STRICT);
  tx.objectStore(STORE).delete(name);
  await finished(tx);
}

// Every stored backup as {name, bytes, stored}, newest first: by the time
// stored, then (records of version 1 all have 0) by their names' stamps,
// `newer(a, b)` > 0 when name a says it was made after name b.
export async function listBackups(newer) {
  const db = await openDb();
  const tx = db.transaction(STORE, "readonly");
  const request = tx.objectStore(STORE).index(STORED_INDEX).getAll();
  await finished(tx);
  return request.result
    .map((b) => ({ name: b.name, bytes: b.bytes, stored: b.stored || 0 }))
    .sort((a, b) => b.stored - a.stored || newer(b.name, a.name) || (a.name < b.name ? 1 : -1));
}

// Hands `bytes` to the browser as a download named `name`.
export function downloadBytes(name, bytes) {
  const url = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
  const link = document.createElement("a");
  link.href = url;
  link.download = name;
  link.hidden = true;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}
