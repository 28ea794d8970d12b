'use strict';
// How events reach JavaScript. Every open endpoint routes its events to one
// shared queue of the library; a single wait on that queue runs on one of
// koffi's worker threads (qv_wait_event with no time limit). When it
// returns, Node's own thread takes the event and every other one queued
// (waiting 0 ms), hands each to its endpoint, and waits again. The
// listener threads never call into JavaScript: nothing waits on Node's
// thread, so closing from anywhere, an event handler included, cannot
// deadlock, and a closed endpoint (gone from the table) is never called.
// The wait runs only while endpoints are open: closing the last one closes
// the queue, which ends the wait, and nothing else keeps the process alive.
const { EventEmitter } = require('events');
const { native, status, INFINITE, QuorvelError, check } = require('./native');

const EVENT = {
  DATA_READY: 0x0001, CONNECTION_WAITING: 0x0008, CLOSED: 0x0020,
  DEVICE_REMOVED: 0x1001, LINE_ERROR: 0x1002,
};

const open = new Map();  // qv_handle -> endpoint
let queue = 0;           // the shared queue while endpoints are open
let waiting = false;

function attach(endpoint) {
  const api = native();
  if (!queue) {
    const made = [0];
    check(api.qv_queue_open(made), 'qv_queue_open');
    queue = made[0];
  }
  check(api.qv_set_queue(endpoint._handle, queue), 'qv_set_queue');
  open.set(endpoint._handle, endpoint);
  wait();
}

function detach(endpoint) {
  open.delete(endpoint._handle);
  if (open.size === 0 && queue) {
    const closing = queue;
    queue = 0;
    native().qv_close(closing);  // ends the wait under way
  }
}

function deliver(source, event, detail) {
  const endpoint = open.get(source);
  if (!endpoint) return;  // closed since the event was queued
  try {
    endpoint._event(event, detail);
  } catch (err) {
    // A handler's exception is the host's, as from any event; the wait goes on.
    process.nextTick(() => { throw err; });
  }
}

function wait() {
  if (waiting || !queue) return;
  waiting = true;
  const mine = queue;
  const source = [0];
  const event = [0];
  const detail = [0];
  native().qv_wait_event.async(mine, INFINITE, source, event, detail, (err, code) => {
    waiting = false;
    if (err) throw err;
    if (mine !== queue) return wait();  // that queue was closed; another may be open
    if (code === 0) deliver(source[0], event[0], detail[0]);
    // Everything else queued now, without another trip through a worker.
    while (queue === mine) {
      code = native().qv_wait_event(mine, 0, source, event, detail);
      if (code) break;
      deliver(source[0], event[0], detail[0]);
    }
    if (code && code !== status.WAIT_TIMEOUT && queue === mine) {
      process.nextTick(() => { throw new QuorvelError(code, 'qv_wait_event'); });
      return;
    }
    wait();
  });
}

// At exit, close what is still open: that ends every call under way on a
// worker thread, which Node waits for before the process can end.
process.on('exit', () => {
  for (const endpoint of [...open.values()]) endpoint._release();
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
