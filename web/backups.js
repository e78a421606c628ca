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

let dbPromise = null;

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

function openDb() {
  if (!dbPromise) {
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
      request.onsuccess = () => resolve(request.result);
      request.onerror = () => reject(request.error);
      request.onblocked = () => reject(new Error("another tab holds an older copy of this page open"));
    });
    dbPromise.catch(() => { dbPromise = null; });
  }
  return dbPromise;
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
    return false;
  }
}

// Stores `bytes` (a Uint8Array) as backup `name`, never over another: when
// the name is taken (another tab, the same second), under nextName(name),
// nextName(that), ... Resolves with the name stored; rejects when it cannot.
export async function storeBackup(name, bytes, nextName) {
  const db = await openDb();
  for (let tries = 0; tries < MAX_NAME_TRIES; tries++) {
    const tx = db.transaction(STORE, "readwrite");
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
  const tx = db.transaction(STORE, "readwrite");
  tx.objectStore(STORE).delete(name);
  await finished(tx);
}

// Every stored backup as {name, bytes, stored}, newest first.
export async function listBackups() {
  const db = await openDb();
  const tx = db.transaction(STORE, "readonly");
  const request = tx.objectStore(STORE).index(STORED_INDEX).getAll();
  await finished(tx);
  return request.result
    .map((b) => ({ name: b.name, bytes: b.bytes, stored: b.stored || 0 }))
    .sort((a, b) => b.stored - a.stored || (a.name < b.name ? 1 : -1));
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
