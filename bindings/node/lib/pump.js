'use strict';
// The package's event thread (a worker of its own, not one of libuv's
// pool): it waits on the shared event queue, takes every event queued with
// the first, and posts them to Node's thread as one batch. It takes the
// next batch only once Node's thread has handled this one, so events that
// come meanwhile coalesce in the library's queue. It ends when the queue is
// closed (at the process's exit).
const { workerData, parentPort } = require('worker_threads');
const koffi = require('koffi');

const { dll, queue, gate: shared, batch: most } = workerData;
const lib = koffi.load(dll);
const out = (type) => koffi.out(koffi.pointer(type));
const waitEvent = lib.func('__stdcall', 'qv_wait_event', 'uint32_t',
  ['uintptr_t', 'uint32_t', out('uintptr_t'), out('uint32_t'), out('uint32_t')]);
const INFINITE = 0xFFFFFFFF;
const BUSY = 1;  // gate[0] while Node's thread has a batch

const gate = new Int32Array(shared);
const source = [0];
const event = [0];
const detail = [0];

for (;;) {
  Atomics.wait(gate, 0, BUSY);
  const code = waitEvent(queue, INFINITE, source, event, detail);
  if (code) {
    // ERROR_OPERATION_ABORTED or ERROR_INVALID_HANDLE: the queue was closed.
    if (code !== 995 && code !== 6) parentPort.postMessage({ failed: code });
    break;
  }
  const batch = [source[0], event[0], detail[0]];
  while (batch.length < most * 3 && waitEvent(queue, 0, source, event, detail) === 0) {
    batch.push(source[0], event[0], detail[0]);
  }
  Atomics.store(gate, 0, BUSY);
  parentPort.postMessage(batch);
}
