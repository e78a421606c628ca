// Copies of the adapter's settings area kept in the browser (IndexedDB),
// under the names the console tool gives its backups, so they outlive the
// page and a reload.

const DB_NAME = "pelagoxcon";
const DB_VERSION = 1;
const STORE = "backups";

let dbPromise = null;

function openDb() {
  if (!dbPromise) {
    dbPromise = new Promise((resolve, reject) => {
      if (!("indexedDB" in globalThis)) {
        reject(new Error("this browser keeps no data for pages (IndexedDB is unavailable)"));
        return;
      }
      const request = indexedDB.open(DB_NAME, DB_VERSION);
      request.onupgradeneeded = () => request.result.createObjectStore(STORE, { keyPath: "name" });
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

// Stores `bytes` (a Uint8Array) as backup `name`; rejects when it cannot.
export async function storeBackup(name, bytes) {
  const db = await openDb();
  const tx = db.transaction(STORE, "readwrite");
  tx.objectStore(STORE).put({ name, bytes: new Uint8Array(bytes), stored: Date.now() });
  await finished(tx);
}

// Every stored backup as {name, bytes}, newest first.
export async function listBackups() {
  const db = await openDb();
  const tx = db.transaction(STORE, "readonly");
  const request = tx.objectStore(STORE).getAll();
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
