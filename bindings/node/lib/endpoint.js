'use strict';
// How events reach JavaScript. Every open endpoint routes its events to one
// shared queue of the library. The package's own event thread (lib/pump.js,
// a worker thread: nothing of libuv's pool) waits on that queue and posts
// each batch of events to Node's thread, which hands each to its endpoint
// and then lets the thread take the next batch. The library's threads never
// call into JavaScript and nothing waits on Node's thread, so closing from
// anywhere, an event handler included, cannot deadlock, and a closed
// endpoint (gone from the table) is never called.
// The queue and the thread last as long as the process; the thread keeps
// the process alive only while endpoints are open.
const path = require('path');
const { Worker } = require('worker_threads');
const { EventEmitter } = require('events');
const { native, dllPath, status, QuorvelError, check } = require('./native');

const EVENT = {
  DATA_READY: 0x0001, CONNECTION_WAITING: 0x0008, CLOSED: 0x0020,
  DEVICE_REMOVED: 0x1001, LINE_ERROR: 0x1002,
};
const BATCH = 256;  // events at most in one batch

const open = new Map();  // qv_handle -> endpoint
let queue = 0;           // the shared queue, from the first endpoint on
let pump = null;         // the event thread
let gate = null;         // gate[0]: 1 while Node's thread handles a batch

function start() {
  const api = native();
  const made = [0];
  check(api.qv_queue_open(made), 'qv_queue_open');
  queue = made[0];
  gate = new Int32Array(new SharedArrayBuffer(4));
  pump = new Worker(path.join(__dirname, 'pump.js'), {
    workerData: { dll: dllPath(), queue, gate: gate.buffer, batch: BATCH },
    stdout: false, stderr: false,
  });
  pump.on('message', handle);
  pump.on('error', (err) => { throw err; });
  pump.unref();
}

function attach(endpoint) {
  if (!queue) start();
  check(native().qv_set_queue(endpoint._handle, queue), 'qv_set_queue');
  open.set(endpoint._handle, endpoint);
  if (open.size === 1) pump.ref();
}

function detach(endpoint) {
  if (open.delete(endpoint._handle) && open.size === 0) pump.unref();
}

function deliver(source, event, detail) {
  const endpoint = open.get(source);
  if (!endpoint) return;  // closed since the event was queued
  try {
    endpoint._event(event, detail);
  } catch (err) {
    // A handler's exception is the host's, as from any event; delivery goes on.
    process.nextTick(() => { throw err; });
  }
}

// A batch from the event thread: [source, event, detail, ...].
function handle(batch) {
  if (!Array.isArray(batch)) {
    process.nextTick(() => { throw new QuorvelError(batch.failed, 'qv_wait_event'); });
    return;
  }
  try {
    for (let i = 0; i < batch.length; i += 3) deliver(batch[i], batch[i + 1], batch[i + 2]);
  } finally {
    Atomics.store(gate, 0, 0);
    Atomics.notify(gate, 0);
  }
}

// At exit, close what is still open (which ends the calls under way on
// libuv's pool, which Node waits for) and the queue, which ends the event
// thread's wait, so that the thread ends with the process rather than being
// cut off inside the library.
process.on('exit', () => {
  for (const endpoint of [...open.values()]) endpoint._release();
  if (queue) {
    native().qv_close(queue);
    queue = 0;
    Atomics.store(gate, 0, 0);
    Atomics.notify(gate, 0);
  }
});

class Endpoint extends EventEmitter {
  constructor(handle) {
    super();
    this._handle = handle;
    this._closed = false;
    try {
      attach(this);
    } catch (err) {
      native().qv_close(handle);
      throw err;
    }
  }

  get closed() { return this._closed; }

  // Closes the endpoint at once: calls under way end (their Promises reject
  // with ERROR_OPERATION_ABORTED), no event is emitted after 'close'.
  close() {
    if (this._closed) return;
    this._release();
    process.nextTick(() => this.emit('close', this._hadError || false));
  }

  _release() {
    if (this._closed) return;
    this._closed = true;
    detach(this);
    native().qv_close(this._handle);
  }

  // An error that ends the endpoint: 'error', then 'close'.
  _fail(err) {
    if (this._closed) return;
    this._hadError = true;
    this.close();
    this.emit('error', err);
  }

  _checkOpen(syscall) {
    if (this._closed) throw new QuorvelError(status.INVALID_HANDLE, syscall, 'the endpoint is closed');
  }

  _event() {}
}

module.exports = { Endpoint, EVENT };
